#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/thread.h"
#include "protocol/channel_list.h"
#include "serial/com_port.h"
#include "serial/device_identity.h"
#include "serial/receive_ring.h"
#include "support/zvc_string.h"

namespace rivu {

// A text shared between the reader thread and host threads.
class SharedText {
public:
    ZVC::ZVCString Get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    void Set(ZVC::ZVCString text) {
        std::lock_guard lock(mutex_);
        text_ = std::move(text);
    }
    bool IsEmpty() const {
        std::lock_guard lock(mutex_);
        return text_.IsEmpty();
    }
    // Returns the text and leaves the empty text in its place.
    ZVC::ZVCString Take() {
        std::lock_guard lock(mutex_);
        ZVC::ZVCString taken = std::move(text_);
        text_ = ZVC::ZVCString();
        return taken;
    }
    // Takes the text as Take does when it has at most maxLength characters;
    // otherwise leaves it in place and returns false.
    bool TakeIfAtMost(std::size_t maxLength, ZVC::ZVCString& taken) {
        std::lock_guard lock(mutex_);
        if (text_.Length() > maxLength) return false;
        taken = std::move(text_);
        text_ = ZVC::ZVCString();
        return true;
    }

private:
    mutable std::mutex mutex_;
    ZVC::ZVCString text_;
};

// The protocol states (see protocol/reply_dispatcher.cpp).
enum ProtocolState : std::int32_t {
    kIdle = 0,
    kAwaitStopEcho = 1,
    kAwaitWaveStopEcho = 2,
    kAwaitVersion = 3,
    kAwaitIdentEcho = 4,
    kAwaitParams = 5,
    kAwaitUploadRates = 6,
    kAwaitUploadEcho = 7,
    kAwaitChannelNames = 8,
    kAwaitChannelUnits = 9,
    kAwaitChannelMax = 10,
    kAwaitChannelMin = 11,
    kReady = 12,
    kAwaitWaveInfo = 13,
    kAwaitStartEcho = 14,
    kAwaitWaveArmEcho = 15,
    kAwaitWaveStopEcho2 = 18,
    kAwaitStopEcho2 = 19,
    kRunning = 20,
};

// Everything of one instrument: its port, reader thread and events, receive
// ring, protocol state, channels and the texts it reported. Fields shared
// between the reader thread and host threads are atomics or SharedText.
class RivuSerial : public COMPort {
public:
    static constexpr std::int32_t kRxRingSize = 8192;
    static constexpr std::int32_t kRxRingMask = kRxRingSize - 1;

    // Creation for the port at path with what discovery found out about it:
    // the "devicePath: " (and "interfacePath: ") log line, the three events.
    // Never opens the port.
    RivuSerial(const std::u16string& path, const DeviceIdentity& identity);
    ~RivuSerial() override;

    // Sends "X", pauses 20 ms, stops the reader thread once (500 ms join),
    // closes the port.
    void Close() override;

    // Starts a fresh reader thread (after a previous one has ended) at above
    // normal priority, with the stop request re-armed; it hands every
    // complete line to handler.
    bool StartReaderThread(LineHandler handler);

    // The device's fields: instrument flags, host objects, the upload and
    // waveform bookkeeping of a CODA, the four description replies, the
    // channels, the reader thread and its events, the receive ring and the
    // protocol state. Shared with host threads: the atomics and SharedText.
    std::atomic<bool> wrongFirmware{false};
    std::atomic<bool> notResponding{false};
    void* samplingInterface = nullptr;      // IHostSampling, owned reference
    void* controllingProxy = nullptr;       // borrowed from the host
    std::int32_t rowCount = 0;
    std::int32_t cycleStartRow = 0;
    mutable std::mutex uploadRatesMutex;
    std::map<std::int32_t, std::int32_t> uploadRates;  // period us -> rate position
    std::atomic<std::int32_t> samplePeriodUs{0};
    SharedText channelNamesReply;
    SharedText channelUnitsReply;
    SharedText channelMaxReply;
    SharedText channelMinReply;
    std::atomic<std::int32_t> cuffChannel{-1};
    std::atomic<std::int32_t> vprChannel{-1};
    std::int32_t rowsAhead = 0;
    std::int32_t waveformLength = 0;
    bool uploadPending = false;
    std::int64_t uploadTimerStart = 0;
    std::int64_t uploadTimeout = 450;
    bool cycleStartSeen = false;
    std::atomic<std::uint32_t> currentChannel{0};
    ChannelList channels;
    // The reader thread's copy of channels, for the rows it stores.
    ChannelList::Cached rowChannels;
    bool hasTimeColumn = false;
    std::u16string devicePath;
    std::string serialNumber;
    platform::Thread readerThread;
    platform::Event rxEvent;
    platform::Event stopEvent;
    platform::Event dataEvent;
    std::atomic<bool> failed{false};
    std::int32_t maxLineLength = 2048;
    std::atomic<bool> stopRequested{false};
    std::string interfaceVersion;
    std::string firmwareVersion;
    std::string modelName;
    std::uint32_t paramCount = 0;
    SharedText lastError;
    // The size GetLastErrorMsg last reported for lastError to a call without
    // a buffer (0: none): the host's buffer is that large.
    std::atomic<std::int32_t> lastErrorSizeTold{0};
    std::uint8_t rxRing[kRxRingSize] = {};
    std::int32_t rxWrite = 0;
    std::int32_t rxRead = 0;
    bool echoSeen = false;
    std::atomic<std::int32_t> protocolState{kIdle};
    bool isZvcCoda = false;

    // A line that overflowed the receive ring is being discarded up to its
    // line feed.
    bool discardingOverlongLine = false;

    // The port's path in the setup API's form (\\?\ftdibus#...): the source
    // of serialNumber and of the unique id. The same as devicePath where ports
    // are opened by that path (Windows); on POSIX devicePath is the /dev node.
    std::u16string interfacePath;
    // Data rows are being dropped for their field count; the first one of a
    // run was logged.
    bool droppingDataRows = false;
    // Results dropped because uploads no longer complete have been logged in
    // this run (reset when sampling starts).
    bool droppedResultsLogged = false;
    // Data rows dropped whole since the channels' rings filled (0: none).
    std::uint64_t rowsDroppedFull = 0;
    // The sampling period of the run, fixed when sampling starts: rows are
    // placed in time with it (0: none fixed, the VPR channel's own period).
    std::int32_t runPeriodUs = 0;
    // Held by the reader while it handles the echo of a CODA stop (which
    // reports an upload still pending) and by a start that ends a stop whose
    // echo never came, so the two never act on the per-run fields together.
    std::mutex stopStepMutex;
    // Times on the device's clock, kept by the reader thread: when the lines
    // now being handled were read, and the last moment the port was seen
    // without them (the end of the read before, or a wait that timed out), the
    // earliest they can have arrived.
    std::int64_t linesReadAt = 0;
    std::int64_t linesArrivedAfter = 0;
    // The last moment the reader saw the port with nothing more to read.
    std::int64_t portSeenDrainedAt = 0;
    // The last pass ended early: complete lines of it wait in the ring.
    bool linesLeftBehind = false;
    // The last read failed and was logged (logged again only after a read
    // that worked).
    bool readFailureLogged = false;
    // The time the device reads and the waits it makes; borrowed, the
    // system's unless a harness puts its own in place before use.
    DeviceClock* clock = &SystemDeviceClock();
    // Where the reader thread hands each complete line (the protocol's
    // dispatcher); set by StartReaderThread before the thread runs.
    LineHandler lineHandler = nullptr;
};

}  // namespace rivu
