#include "coda/host_commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "coda/waveform_upload.h"
#include "platform/code_pages.h"
#include "serial/rivu_serial.h"
#include "support/com_call.h"
#include "support/host_interface.h"
#include "support/log.h"

namespace rivu {
namespace {

constexpr int kDescriptionWaitSteps = 15;
constexpr std::uint32_t kDescriptionWaitStepMs = 1000;
// A start waits about 5 s for the Running state, looking every millisecond:
// the instrument streams as soon as it has echoed, and the host reads nothing
// until the start returns.
constexpr std::uint32_t kStartWaitMs = 251 * 20;
constexpr std::uint32_t kStartLookMs = 1;
// A start that finds a stop under way waits this many steps of 20 ms (about
// 2 s) for the stop's echoes to bring the instrument back to Ready.
constexpr std::uint32_t kStopWaitStepMs = 20;
constexpr int kStopWaitSteps = 100;
constexpr std::int32_t kMaxRatePosition = 99;  // "P%d" has room for two digits

constexpr char kRivuVendor[] = "Rivu Scientific";
constexpr char kZvcVendor[] = "Zarvonic NZ Ltd.";
constexpr char16_t kUnsupported[] = u"^Unsupported HPX command";

bool ChannelDescriptionStored(const RivuSerial& device) {
    return !device.channelNamesReply.IsEmpty() && !device.channelUnitsReply.IsEmpty() &&
           !device.channelMaxReply.IsEmpty() && !device.channelMinReply.IsEmpty();
}

// Waits up to 15 s for the handshake to have described the channels.
bool WaitForChannelDescription(RivuSerial& device) {
    for (int step = 0;; ++step) {
        if (ChannelDescriptionStored(device)) return true;
        if (step == kDescriptionWaitSteps) return false;
        device.clock->Sleep(kDescriptionWaitStepMs);
    }
}

// Copies a text reply with its NUL. An empty text leaves the buffer alone; a
// text that does not fit writes nothing and the command fails.
bool WriteText(RivuCommandRecord* record, const std::string& text) {
    if (text.empty() || record == nullptr || record->text == nullptr) return true;
    if (record->textSize <= 0 || text.size() + 1 > static_cast<std::size_t>(record->textSize)) return false;
    std::memcpy(record->text, text.c_str(), text.size() + 1);
    return true;
}

void WriteValue(RivuCommandRecord* record, std::int32_t value) {
    if (record != nullptr) record->value = value;
}

ChannelRecord* ChannelArgument(RivuSerial& device, const RivuCommandRecord* record) {
    return record != nullptr ? device.channels.ByNumber(record->argument) : nullptr;
}

// Sends "P<position>"; positions above 99 do not fit the command and are refused.
bool SendRatePosition(RivuSerial& device, std::int32_t position) {
    if (position < 0 || position > kMaxRatePosition) return false;
    char command[4];
    std::snprintf(command, sizeof command, "P%d", static_cast<int>(position));
    return device.SendCommand(command);
}

bool LookUpRatePosition(RivuSerial& device, std::int32_t microseconds, std::int32_t& position) {
    std::lock_guard lock(device.uploadRatesMutex);
    const auto found = device.uploadRates.find(microseconds);
    if (found == device.uploadRates.end()) return false;
    position = found->second;
    return true;
}

bool FormatSamplePeriod(RivuSerial& device, RivuCommandRecord* record) {
    const std::int32_t period = device.samplePeriodUs.load();
    const bool written = WriteText(record, std::to_string(period));
    std::int32_t position = 0;
    if (LookUpRatePosition(device, period, position) && SendRatePosition(device, position)) {
        device.samplePeriodUs.store(period);
    }
    return written;
}

bool IsStopping(std::int32_t state) { return state == kAwaitWaveStopEcho2 || state == kAwaitStopEcho2; }

// Waits, bounded, while the device is stopping; returns the state it found last.
std::int32_t WaitWhileStopping(RivuSerial& device) {
    std::int32_t state = device.protocolState.load();
    for (int step = 0; IsStopping(state) && step < kStopWaitSteps; ++step) {
        device.clock->Sleep(kStopWaitStepMs);
        state = device.protocolState.load();
    }
    return state;
}

// A stop whose echo the instrument never sent (lost on the line) must not
// leave a device that can no longer start. Stopping a CODA (state 18) reports
// an upload still pending when the echo comes, so its stop is sent once more
// and awaited first; whatever stop is still under way after that is ended
// here, as its echo would have ended it. The reader handles the state-18
// echo under stopStepMutex, so the two never act on it together; in 19 it
// touches no per-run field.
void EndStuckStop(RivuSerial& device) {
    if (device.protocolState.load() == kAwaitWaveStopEcho2) {
        LogEvent("!!! ", "start: the instrument did not echo the stop; sending it again");
        device.SendCommand("WN5");
        WaitWhileStopping(device);
    }
    std::lock_guard lock(device.stopStepMutex);
    std::int32_t state = device.protocolState.load();
    while (IsStopping(state)) {
        if (!device.protocolState.compare_exchange_strong(state, kReady)) continue;
        LogEvent("!!! ", "start: the instrument did not finish stopping; taken back to Ready");
        if (state == kAwaitWaveStopEcho2) ReportIncompleteUpload(device);  // as the echo would have
        break;
    }
}

// Takes the per-run fields over from the reader thread before a start resets
// them. The reader uses them while Running and while stopping, so a start
// waits, bounded, for a stop to finish, and ends it itself when it does not.
// A start that is still under way (13 to 15, from an earlier start that gave
// up) is taken back to Ready in one step, so the reader cannot reach Running
// in the middle of the reset. Returns false when sampling already runs: the
// host asked for sampling and has it, so the start succeeds without a reset.
bool ClaimForStart(RivuSerial& device) {
    if (IsStopping(WaitWhileStopping(device))) EndStuckStop(device);
    for (std::int32_t state = device.protocolState.load();;) {
        if (state == kRunning) {
            LogEvent("start: ", "sampling is already running");
            return false;
        }
        if (state < kReady || state > kAwaitWaveArmEcho) return true;  // the reader keeps off the per-run fields
        if (device.protocolState.compare_exchange_strong(state, kReady)) return true;
    }
}

bool StartSampling(RivuSerial& device) {
    if (!ClaimForStart(device)) return true;  // already running
    RefreshSamplingInterface(device);
    device.currentChannel.store(0);
    device.rowCount = 0;
    device.cycleStartRow = 0;
    device.rowsAhead = 0;
    device.uploadPending = false;
    device.cycleStartSeen = false;
    device.droppedResultsLogged = false;
    device.runPeriodUs = device.samplePeriodUs.load();
    device.rowsDroppedFull = 0;

    // The state goes first so that an immediate echo meets a reader that
    // already waits for it.
    if (device.isZvcCoda) {
        device.protocolState.store(kAwaitWaveInfo);
        device.SendCommand("WI5");
    } else {
        device.protocolState.store(kAwaitStartEcho);
        device.SendCommand("B");
    }
    for (std::uint32_t slept = 0; slept < kStartWaitMs; slept += kStartLookMs) {
        device.clock->Sleep(kStartLookMs);
        if (device.protocolState.load() == kRunning) return true;
    }
    return false;
}

void StopSampling(RivuSerial& device) {
    if (device.isZvcCoda) {
        device.protocolState.store(kAwaitWaveStopEcho2);
        device.SendCommand("WN5");
    } else {
        device.protocolState.store(kAwaitStopEcho2);
        device.SendCommand("S");
    }
}

bool RefuseUnsupported(RivuCommandRecord* record) {
    if (record != nullptr && record->text != nullptr) {
        const std::string text = platform::WideToOem(kUnsupported);
        if (record->textSize > 0 && text.size() + 1 <= static_cast<std::size_t>(record->textSize)) {
            std::memcpy(record->text, text.c_str(), text.size() + 1);
        }
    }
    return false;
}

}  // namespace

void RefreshSamplingInterface(RivuSerial& device) {
    if (device.samplingInterface != nullptr) {
        Release(device.samplingInterface);
        device.samplingInterface = nullptr;
    }
    if (device.controllingProxy == nullptr) return;

    void* hostObject = nullptr;
    CallSlot<HResult>(device.controllingProxy, kProxyGetObjectSlot, &hostObject);
    if (hostObject == nullptr) return;
    void* session = nullptr;
    QueryInterface(hostObject, kIID_IHostSession, &session);
    Release(hostObject);
    if (session == nullptr) return;

    void* samplingObject = nullptr;
    CallSlot<HResult>(session, kSessionGetObjectSlot, &samplingObject);
    if (samplingObject != nullptr) {
        void* sampling = nullptr;
        QueryInterface(samplingObject, kIID_IHostSampling, &sampling);
        if (device.samplingInterface != nullptr) Release(device.samplingInterface);
        device.samplingInterface = sampling;
        Release(samplingObject);
    }
    Release(session);
}

bool SelectSamplePeriod(RivuSerial& device, std::int32_t microseconds) {
    std::int32_t position = 0;
    if (!LookUpRatePosition(device, microseconds, position)) return false;
    if (!SendRatePosition(device, position)) return false;
    device.samplePeriodUs.store(microseconds);
    return true;
}

bool HandleHostCommand(RivuSerial& device, std::int32_t code, RivuCommandRecord* record) {
    if (!WaitForChannelDescription(device)) {
        device.notResponding.store(true);
        return false;
    }

    switch (code) {
        case RIVU_CMD_DEVICE_NAME:
            return WriteText(record, device.modelName);
        case RIVU_CMD_MAX_LINE_LENGTH:
            WriteValue(record, device.maxLineLength);
            return true;
        case RIVU_CMD_VENDOR_NAME:
            return WriteText(record, device.isZvcCoda ? kZvcVendor : kRivuVendor);
        case RIVU_CMD_FIRMWARE_VERSION:
            return WriteText(record, device.firmwareVersion);
        case RIVU_CMD_SERIAL_NUMBER:
            return WriteText(record, device.serialNumber);
        case RIVU_CMD_CHANNEL_COUNT:
            WriteValue(record, static_cast<std::int32_t>(device.channels.Count()));
            return true;
        case RIVU_CMD_CHANNEL_NAME:
        case RIVU_CMD_CHANNEL_SCALING:
        case RIVU_CMD_CHANNEL_TITLE: {
            ChannelRecord* channel = ChannelArgument(device, record);
            if (channel == nullptr) return false;
            const std::string& text = code == RIVU_CMD_CHANNEL_NAME      ? channel->Name()
                                      : code == RIVU_CMD_CHANNEL_SCALING ? channel->BaseScaling()
                                                                         : channel->Title();
            return WriteText(record, text);
        }
        case RIVU_CMD_SAMPLE_PERIOD:
        case RIVU_CMD_SAMPLE_PERIOD_2:
            WriteValue(record, device.samplePeriodUs.load());
            return true;
        case RIVU_CMD_SAMPLE_PERIOD_TEXT:
            return FormatSamplePeriod(device, record);
        case RIVU_CMD_SET_SAMPLE_PERIOD:
            return record != nullptr && SelectSamplePeriod(device, record->argument);
        case RIVU_CMD_START_SAMPLING:
            return StartSampling(device);
        case RIVU_CMD_STOP_SAMPLING:
            StopSampling(device);
            return true;
        case RIVU_CMD_DATA_FORMAT:
            return WriteText(record, "text");
        case RIVU_CMD_DISABLE_CHANNEL:
        case RIVU_CMD_ENABLE_CHANNEL: {
            ChannelRecord* channel = ChannelArgument(device, record);
            if (channel == nullptr) return false;
            channel->SetEnabled(code == RIVU_CMD_ENABLE_CHANNEL);
            return true;
        }
        case RIVU_CMD_IS_CHANNEL_ENABLED: {
            ChannelRecord* channel = ChannelArgument(device, record);
            return channel != nullptr && channel->IsEnabled();
        }
        case RIVU_CMD_CAPABILITY_56:
            WriteValue(record, 1);
            return true;
        default:
            return RefuseUnsupported(record);
    }
}

}  // namespace rivu
