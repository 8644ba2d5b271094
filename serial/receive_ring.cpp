#include "serial/receive_ring.h"

#include <algorithm>
#include <cstring>

#include "platform/system_error.h"
#include "serial/rivu_serial.h"
#include "support/log.h"

namespace rivu {
namespace {

constexpr std::int32_t kRingSize = RivuSerial::kRxRingSize;
constexpr std::int32_t kRingMask = RivuSerial::kRxRingMask;
constexpr std::int32_t kMaxHeld = kRingSize - 1;
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr std::uint8_t kCarriageReturn = 0x0D;

std::int32_t Held(const RivuSerial& device) { return (device.rxWrite - device.rxRead) & kRingMask; }

// The white space of C isspace in the "C" locale.
bool IsBlank(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Appends up to the ring's free room; returns how many bytes were taken.
std::size_t Store(RivuSerial& device, const std::uint8_t* bytes, std::size_t count) {
    const auto stored = static_cast<std::int32_t>(std::min<std::size_t>(count, kMaxHeld - Held(device)));
    if (stored == 0) return 0;  // nothing to copy, and bytes may be null
    const std::int32_t first = std::min(stored, kRingSize - device.rxWrite);
    std::memcpy(device.rxRing + device.rxWrite, bytes, static_cast<std::size_t>(first));
    device.rxWrite = (device.rxWrite + first) & kRingMask;
    std::memcpy(device.rxRing + device.rxWrite, bytes + first, static_cast<std::size_t>(stored - first));
    device.rxWrite = (device.rxWrite + stored - first) & kRingMask;
    return static_cast<std::size_t>(stored);
}

// Distance from rxRead to the first held line feed, or -1.
std::int32_t FindLineFeed(const RivuSerial& device) {
    const std::int32_t held = Held(device);
    const std::int32_t first = std::min(held, kRingSize - device.rxRead);
    const std::uint8_t* tail = device.rxRing + device.rxRead;
    if (const void* found = std::memchr(tail, kLineFeed, static_cast<std::size_t>(first))) {
        return static_cast<std::int32_t>(static_cast<const std::uint8_t*>(found) - tail);
    }
    if (const void* found = std::memchr(device.rxRing, kLineFeed, static_cast<std::size_t>(held - first))) {
        return first + static_cast<std::int32_t>(static_cast<const std::uint8_t*>(found) - device.rxRing);
    }
    return -1;
}

// Cuts every complete line out of the ring. Only lines ending in CR LF reach
// the handler, without leading blanks and without CR LF. Blank lines, lines
// without the CR and lines followed by LF CR are dropped. Ends early with the
// handler's non-zero result; the lines behind stay in the ring.
HResult CutLines(RivuSerial& device, LineHandler handler) {
    // A line is shorter than the ring; the byte after the CR becomes a NUL.
    char line[kRingSize];
    for (;;) {
        const std::int32_t length = FindLineFeed(device);
        if (length < 0) return kOk;

        const std::int32_t first = std::min(length, kRingSize - device.rxRead);
        std::memcpy(line, device.rxRing + device.rxRead, static_cast<std::size_t>(first));
        std::memcpy(line + first, device.rxRing, static_cast<std::size_t>(length - first));
        line[length] = '\0';

        device.rxRead = (device.rxRead + length + 1) & kRingMask;
        bool carriageReturnAfter = false;
        if (device.rxRead != device.rxWrite && device.rxRing[device.rxRead] == kCarriageReturn) {
            device.rxRead = (device.rxRead + 1) & kRingMask;
            carriageReturnAfter = true;
        }

        std::int32_t start = 0;
        while (start < length && IsBlank(static_cast<std::uint8_t>(line[start]))) ++start;
        const std::int32_t textLength = length - start;
        if (textLength >= 2 && static_cast<std::uint8_t>(line[length - 1]) == kCarriageReturn && !carriageReturnAfter) {
            const HResult result = handler(device, line + start, static_cast<std::size_t>(textLength - 1));
            if (result != kOk) return result;
        }
    }
}

HResult StoreAndCut(RivuSerial& device, const std::uint8_t* bytes, std::size_t count, LineHandler handler) {
    std::size_t offset = 0;
    for (;;) {
        if (device.discardingOverlongLine) {
            // Everything up to the line feed that ends the overlong line goes.
            const void* end = offset < count ? std::memchr(bytes + offset, kLineFeed, count - offset) : nullptr;
            if (end == nullptr) return kOk;
            offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - bytes) + 1;
            device.discardingOverlongLine = false;
        }

        offset += Store(device, bytes + offset, count - offset);
        const HResult result = CutLines(device, handler);
        if (result != kOk) {
            // The lines behind wait for the next pass; what does not fit is lost.
            Store(device, bytes + offset, count - offset);
            return result;
        }

        if (Held(device) == kMaxHeld) {
            // A full ring without a line feed can never complete a line.
            device.rxRead = device.rxWrite;
            device.discardingOverlongLine = true;
            LogEvent("!!! ", std::string_view("line longer than the receive ring dropped up to its line feed"));
            continue;
        }
        if (offset == count) return kOk;
    }
}

}  // namespace

void NoteRead(RivuSerial& device, std::int64_t readAt, bool drained) {
    if (!device.linesLeftBehind) device.linesArrivedAfter = device.portSeenDrainedAt;
    device.linesReadAt = readAt;
    if (drained) device.portSeenDrainedAt = readAt;
}

void NotePortQuiet(RivuSerial& device, std::int64_t now) { device.portSeenDrainedAt = now; }

HResult StoreAndCutLines(RivuSerial& device, const std::uint8_t* bytes, std::size_t count, LineHandler handler) {
    const HResult result = StoreAndCut(device, bytes, count, handler);
    device.linesLeftBehind = result != kOk;
    return result;
}

HResult ReceivePass(RivuSerial& device) {
    std::uint8_t buffer[kRingSize];
    platform::ClearFailure();
    const std::size_t count = device.Port().ReadAvailable(buffer, kMaxHeld);
    // Judged at once: a reply the lines below send may record its own result.
    // The message is built only for a failure: this runs for every row.
    const bool readFailed = platform::FailureRecorded();
    if (readFailed && !device.readFailureLogged) LogSystemFailure(u"port " + device.devicePath + u" not read");
    device.readFailureLogged = readFailed;
    // Only a CODA's waveform upload asks when lines arrived. The first clock
    // read after a wake is among the dearest steps of a row, so a Rivu
    // monitor's rows go without it.
    if (device.isZvcCoda) {
        NoteRead(device, device.clock->SteadyMilliseconds(), !readFailed && count < static_cast<std::size_t>(kMaxHeld));
    }
    return StoreAndCutLines(device, buffer, count, device.lineHandler);
}

}  // namespace rivu
