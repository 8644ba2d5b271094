#include "rivu-host/device_report.h"

#include <cstdio>

namespace rivu::host {
namespace {

// The text padded with spaces to width columns, counting a UTF-8 character
// ("µL", "SpO₂") as one column.
std::string Padded(const std::string& text, std::size_t width) {
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
    return text + std::string(columns < width ? width - columns : 0, ' ');
}

}  // namespace

std::string CommandText(EnablerLibrary& enabler, unsigned int index, int code, int argument) {
    char text[2048] = {};
    RivuCommandRecord record{};
    record.text = text;
    record.textSize = sizeof text;
    record.argument = argument;
    if (!enabler.DeviceCommand(index, code, &record)) return {};
    text[sizeof text - 1] = '\0';
    return text;
}

bool CommandValue(EnablerLibrary& enabler, unsigned int index, int code, int& value, int argument) {
    RivuCommandRecord record{};
    record.argument = argument;
    if (!enabler.DeviceCommand(index, code, &record)) return false;
    value = record.value;
    return true;
}

bool QueryDevice(EnablerLibrary& enabler, unsigned int index, DeviceReport& report, std::string& error) {
    report.model = CommandText(enabler, index, RIVU_CMD_DEVICE_NAME);
    report.vendor = CommandText(enabler, index, RIVU_CMD_VENDOR_NAME);
    report.firmware = CommandText(enabler, index, RIVU_CMD_FIRMWARE_VERSION);
    report.serialNumber = CommandText(enabler, index, RIVU_CMD_SERIAL_NUMBER);
    enabler.GetUniqueID(index, &report.uniqueId);
    CommandValue(enabler, index, RIVU_CMD_SAMPLE_PERIOD, report.samplePeriodUs);

    int count = 0;
    if (!CommandValue(enabler, index, RIVU_CMD_CHANNEL_COUNT, count)) {
        error = "the device did not describe its channels";
        return false;
    }
    report.channels.clear();
    for (int number = 1; number <= count; ++number) {
        ChannelInfo channel;
        channel.name = CommandText(enabler, index, RIVU_CMD_CHANNEL_NAME, number);
        channel.title = CommandText(enabler, index, RIVU_CMD_CHANNEL_TITLE, number);
        channel.scalingText = CommandText(enabler, index, RIVU_CMD_CHANNEL_SCALING, number);
        if (!ParseBaseScaling(channel.scalingText, channel.scaling)) {
            error = "channel " + std::to_string(number) + " has no usable scaling: \"" + channel.scalingText + "\"";
            return false;
        }
        report.channels.push_back(channel);
    }
    return true;
}

void PrintReport(const DeviceReport& report, unsigned int index, std::FILE* out) {
    const std::string where = "  port " + (report.port.empty() ? std::string("(not known)") : report.port) +
                              ", identity " + (report.identity.empty() ? std::string("(none)") : report.identity);
    if (!report.problem.empty()) {
        std::fprintf(out, "Device %u: cannot be used\n%s\n  %s\n", index, where.c_str(), report.problem.c_str());
        return;
    }
    std::fprintf(out, "Device %u: %s by %s\n%s\n", index, report.model.c_str(), report.vendor.c_str(), where.c_str());
    std::fprintf(out, "  firmware %s, serial number %s, unique id %d, sample period %d us\n", report.firmware.c_str(),
                 report.serialNumber.empty() ? "(none)" : report.serialNumber.c_str(), report.uniqueId,
                 report.samplePeriodUs);
    std::fprintf(out, "  offered sample periods (us): %s\n", PeriodList(report.offeredPeriodsUs).c_str());
    std::fprintf(out, "  %-3s %-20s %-20s %-12s %s\n", "#", "name", "title", "unit", "scaling");
    for (std::size_t i = 0; i < report.channels.size(); ++i) {
        const ChannelInfo& channel = report.channels[i];
        std::fprintf(out, "  %-3zu %s %s %s %s\n", i + 1, Padded(channel.name, 20).c_str(),
                     Padded(channel.title, 20).c_str(), Padded(channel.scaling.unit, 12).c_str(),
                     channel.scalingText.c_str());
    }
}

std::string PeriodList(const std::vector<int>& periodsUs) {
    if (periodsUs.empty()) return "none reported";
    std::string list;
    for (int period : periodsUs) list += (list.empty() ? "" : ", ") + std::to_string(period);
    return list;
}

}  // namespace rivu::host
