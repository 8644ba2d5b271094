#include "protocol/reply_dispatcher.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "coda/data_lines.h"
#include "coda/upload_rates.h"
#include "coda/waveform_upload.h"
#include "platform/code_pages.h"
#include "protocol/channel_catalogue.h"
#include "protocol/fields.h"
#include "serial/rivu_serial.h"
#include "support/log.h"

namespace rivu {

namespace {

constexpr char kUnknownModel[] = "Unknown Rivu Device";
constexpr char kZvcModel[] = "Zarvonic CODA";
constexpr char kRivuCodaModel[] = "CODA";
constexpr char16_t kZvcMark[] = u"ZVC";
constexpr char16_t kRivuCodaAsZvc[] = u"Rivu CODA reported as Zarvonic CODA. Rivu CODA is not supported by Vexamora.";
constexpr char16_t kRivuCodaMonitor[] = u"Rivu CODA Monitor is not supported by Vexamora.";
constexpr char16_t kZvcUnmarked[] = u"Zarvonic CODA failed to report itself as an Zarvonic CODA.";

constexpr std::size_t kMinVersionFields = 5;
constexpr std::size_t kMinWaveInfoFields = 12;
// "U" and one digit per parameter must fit the longest frame the port sends whole.
constexpr std::size_t kMaxParams = COMPort::kMaxCommandLength - 1;

// Lines up to this length are widened on the stack (a data row is about 50
// characters).
constexpr std::size_t kAsciiLineLimit = 512;

// Widens a line of printable and control ASCII other than NUL into out; false
// for a longer line or one with a NUL or a byte of 0x80 or more, which the
// code page must decode (the code-page conversion also ends at a NUL).
bool WidenAscii(const char* text, std::size_t length, char16_t (&out)[kAsciiLineLimit], std::u16string_view& line) {
    if (text == nullptr || length > kAsciiLineLimit) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0 || byte >= 0x80) return false;
        out[i] = byte;
    }
    line = std::u16string_view(out, length);
    return true;
}

bool StartsWith(std::u16string_view line, std::u16string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

std::u16string Widen(std::string_view ascii) { return platform::AnsiToWide(ascii.data(), ascii.size()); }

// An instrument whose start-up replies cannot be used: the reason goes to the
// log and, for the host, to lastError and the failed flag, so that IsFailed
// and GetLastErrorMsg tell at once instead of commands waiting for a
// catalogue that never comes.
void RefuseDevice(RivuSerial& device, const std::string& logText, std::u16string_view message) {
    LogEvent("!!! ", logText);
    device.lastError.Set(ZVC::ZVCString(message));
    device.failed.store(true);
}

// Moves to the next state unless a host thread changed the state since the
// line was taken up (a start or stop command wins over the reply). The state
// is stored before the step's command is sent.
bool Advance(RivuSerial& device, std::int32_t from, std::int32_t to) {
    return device.protocolState.compare_exchange_strong(from, to);
}

bool AdvanceAndSend(RivuSerial& device, std::int32_t from, std::int32_t to, const char* command) {
    if (!Advance(device, from, to)) return false;
    device.SendCommand(command);
    return true;
}

HResult HandleVersionReply(RivuSerial& device, std::u16string_view line) {
    LogEvent("version: ", line);
    std::vector<std::u16string> fields = SplitFields(line);
    if (fields.size() < kMinVersionFields) {
        LogEvent("!!! ", "version reply smaller than expected, bailing...");
        return kFail;
    }
    std::string interfaceVersion = platform::WideToAnsi(fields[4]);
    device.firmwareVersion = platform::WideToAnsi(fields[1]) + "." + platform::WideToAnsi(fields[2]) + "." +
                             platform::WideToAnsi(fields[3]) + "." + interfaceVersion;
    device.interfaceVersion = interfaceVersion;
    device.modelName = fields.size() >= 6 ? platform::WideToAnsi(fields[5]) : kUnknownModel;
    const bool zvcMark = fields.size() >= 8 && fields[7] == kZvcMark;

    if (!device.isZvcCoda) {
        if (device.modelName == kRivuCodaModel) {
            ZVC::ZVCString message(zvcMark ? kRivuCodaAsZvc : kRivuCodaMonitor);
            LogEvent("!!! ", message.View());
            device.lastError.Set(std::move(message));
            return kFail;
        }
        AdvanceAndSend(device, kAwaitVersion, kAwaitParams, "F");
        return kOk;
    }
    // A Zarvonic CODA without its mark is noted, not refused.
    if (!zvcMark) {
        LogEvent("!!! ", kZvcUnmarked);
        device.lastError.Set(ZVC::ZVCString(kZvcUnmarked));
    }
    device.modelName = kZvcModel;
    AdvanceAndSend(device, kAwaitVersion, kAwaitIdentEcho, "ZvC");
    return kOk;
}

HResult HandleParamsReply(RivuSerial& device, std::u16string_view line) {
    if (StartsWith(line, u"F")) {
        device.echoSeen = true;
        return kOk;
    }
    if (!device.echoSeen) return kOk;
    device.echoSeen = false;
    LogEvent("params: ", line);
    std::size_t count = 1;
    for (char16_t c : line) count += c == u',' ? 1 : 0;
    if (count > kMaxParams) {
        const std::string limit = std::to_string(kMaxParams);
        RefuseDevice(
            device,
            "params reply has " + std::to_string(count) + " fields, more than " + limit + " cannot be acknowledged",
            u"The device reports " + Widen(std::to_string(count)) + u" parameters, more than the " + Widen(limit) +
                u" that can be used. Please contact support.");
        return kFail;
    }
    device.paramCount = static_cast<std::uint32_t>(count);
    Advance(device, kAwaitParams, kAwaitUploadRates);
    return kOk;
}

HResult HandleUploadRatesReply(RivuSerial& device, std::u16string_view line) {
    LogEvent("upload rates: ", line);
    HandleUploadRates(device, line);
    // Acknowledges every parameter: "U1111" for four.
    std::string command = "U" + std::string(device.paramCount, '1');
    AdvanceAndSend(device, kAwaitUploadRates, kAwaitUploadEcho, command.c_str());
    return kOk;
}

HResult HandleChannelNames(RivuSerial& device, std::u16string_view line) {
    if (StartsWith(line, u"I")) {
        device.echoSeen = true;
        return kOk;
    }
    if (!device.echoSeen) return kOk;
    device.echoSeen = false;
    device.channelNamesReply.Set(ZVC::ZVCString(line));
    LogEvent("channel names: ", line);
    Advance(device, kAwaitChannelNames, kAwaitChannelUnits);
    return kOk;
}

HResult HandleChannelMin(RivuSerial& device, std::u16string_view line) {
    LogEvent("channel minVals: ", line);
    // Data rows carry paramCount values, so a description with more columns
    // describes channels that never get data; it is refused before anything
    // is built for it, as are descriptions the catalogue cannot use.
    const ZVC::ZVCString names = device.channelNamesReply.Get();
    std::string problem = DescriptionProblem(names.View(), device.channelUnitsReply.Get().View(),
                                             device.channelMaxReply.Get().View(), line);
    const std::size_t columns = CountFields(names.View());
    if (problem.empty() && columns > device.paramCount) {
        problem =
            std::to_string(columns) + " columns, but the params reply announced " + std::to_string(device.paramCount);
    }
    // The list is published, or the refusal recorded, before the line is
    // stored: host commands wait for all four lines and then read the channels.
    const bool built = problem.empty() && BuildChannelCatalogue(device, line, &problem);
    if (!built) {
        RefuseDevice(device, "channel description refused: " + problem,
                     u"The device's channel description cannot be used (" + Widen(problem) +
                         u"). Please power cycle the device and restart Vexamora.");
    }
    device.channelMinReply.Set(ZVC::ZVCString(line));
    if (!built) return kFail;
    Advance(device, kAwaitChannelMin, kReady);
    return kOk;
}

HResult HandleWaveInfo(RivuSerial& device, std::u16string_view line) {
    if (!StartsWith(line, u"WI5")) return kOk;
    std::vector<std::u16string> fields = SplitFields(line);
    if (fields.size() < kMinWaveInfoFields) return kFail;
    device.waveformLength = ParseInteger(fields[2]);
    AdvanceAndSend(device, kAwaitWaveInfo, kAwaitStartEcho, "B");
    return kOk;
}

HResult HandleRunningLine(RivuSerial& device, std::u16string_view line) {
    CheckUploadTimeout(device);
    if (StartsWith(line, u"w5")) {
        return device.isZvcCoda ? HandleWaveformLine(device, line) : kOk;
    }
    if (StartsWith(line, u"m")) {
        return device.isZvcCoda ? HandleMeasurementLine(device, line) : kOk;
    }
    // HandleDataLine drops a row without paramCount fields (a params line with
    // a final comma counts one more than its rows carry). The first row of a
    // run of such rows is logged with the reason; the run ends at a row that
    // is taken.
    const std::size_t fields = CountFields(line);
    if (fields != device.paramCount) {
        if (!device.droppingDataRows) {
            device.droppingDataRows = true;
            const std::string reason = "data rows dropped: " + std::to_string(fields) +
                                       " fields, the params reply announced " + std::to_string(device.paramCount) +
                                       "; the first: ";
            LogEvent("!!! ", Widen(reason) + std::u16string(line));
        }
    } else {
        device.droppingDataRows = false;
    }
    return HandleDataLine(device, line);
}

// Entering Running starts a new run of data rows.
void StartRunning(RivuSerial& device, std::int32_t from) {
    device.droppingDataRows = false;
    Advance(device, from, kRunning);
}

}  // namespace

HResult HandleReply(RivuSerial& device, const char* text, std::size_t length) {
    // Instrument lines are plain ASCII, which reads the same in every ANSI
    // code page: such a line is widened here without a string per line.
    char16_t asciiLine[kAsciiLineLimit];
    std::u16string decoded;
    std::u16string_view line;
    if (!WidenAscii(text, length, asciiLine, line)) {
        decoded = platform::AnsiToWide(text, length);
        line = decoded;
    }

    switch (device.protocolState.load()) {
        case kAwaitStopEcho:
            if (StartsWith(line, u"S")) {
                if (device.isZvcCoda) {
                    AdvanceAndSend(device, kAwaitStopEcho, kAwaitWaveStopEcho, "WN5");
                } else {
                    AdvanceAndSend(device, kAwaitStopEcho, kAwaitVersion, "V");
                }
            }
            return kOk;
        case kAwaitWaveStopEcho:
            if (StartsWith(line, u"WN5")) AdvanceAndSend(device, kAwaitWaveStopEcho, kAwaitVersion, "V");
            return kOk;
        case kAwaitVersion:
            return StartsWith(line, u"V") ? HandleVersionReply(device, line) : kOk;
        case kAwaitIdentEcho:
            if (StartsWith(line, u"A")) AdvanceAndSend(device, kAwaitIdentEcho, kAwaitParams, "F");
            return kOk;
        case kAwaitParams:
            return HandleParamsReply(device, line);
        case kAwaitUploadRates:
            return HandleUploadRatesReply(device, line);
        case kAwaitUploadEcho:
            if (StartsWith(line, u"U")) AdvanceAndSend(device, kAwaitUploadEcho, kAwaitChannelNames, "I");
            return kOk;
        case kAwaitChannelNames:
            return HandleChannelNames(device, line);
        case kAwaitChannelUnits:
            device.channelUnitsReply.Set(ZVC::ZVCString(line));
            LogEvent("channel units: ", line);
            Advance(device, kAwaitChannelUnits, kAwaitChannelMax);
            return kOk;
        case kAwaitChannelMax:
            device.channelMaxReply.Set(ZVC::ZVCString(line));
            LogEvent("channel maxVals: ", line);
            Advance(device, kAwaitChannelMax, kAwaitChannelMin);
            return kOk;
        case kAwaitChannelMin:
            return HandleChannelMin(device, line);
        case kAwaitWaveInfo:
            return HandleWaveInfo(device, line);
        case kAwaitStartEcho:
            if (StartsWith(line, u"B")) {
                if (device.isZvcCoda) {
                    AdvanceAndSend(device, kAwaitStartEcho, kAwaitWaveArmEcho, "WA5");
                } else {
                    StartRunning(device, kAwaitStartEcho);
                }
            }
            return kOk;
        case kAwaitWaveArmEcho:
            if (StartsWith(line, u"WA5")) StartRunning(device, kAwaitWaveArmEcho);
            return kOk;
        case kAwaitWaveStopEcho2:
            if (StartsWith(line, u"WN5")) {
                // A start may end this step meanwhile (its echo was late).
                std::lock_guard lock(device.stopStepMutex);
                if (device.protocolState.load() != kAwaitWaveStopEcho2) return kOk;
                // Reported once: a second stop must not report the same upload again.
                ReportIncompleteUpload(device);
                AdvanceAndSend(device, kAwaitWaveStopEcho2, kAwaitStopEcho2, "S");
            }
            return kOk;
        case kAwaitStopEcho2:
            if (StartsWith(line, u"S")) Advance(device, kAwaitStopEcho2, kReady);
            return kOk;
        case kRunning:
            return HandleRunningLine(device, line);
        default:
            // Idle, Ready and unknown states: every line is dropped.
            return kOk;
    }
}

}  // namespace rivu
