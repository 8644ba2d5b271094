// A real pair of connected ports: framing, line settings, exclusivity, baud
// rates, and the reader thread of a device from start to stop.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "protocol/channel_record.h"
#include "protocol/reply_dispatcher.h"
#include "serial/com_port.h"
#include "serial/rivu_serial.h"
#include "serial/sample_delivery.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"
#include "tests/support/port_pair.h"

namespace rivu {
namespace {

using test::PortPair;

// Ports log their failures: the host's log service comes first.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

constexpr int kReplyWaitMs = 2000;

// Polls a condition for up to two seconds.
template <typename Condition>
bool Eventually(Condition condition) {
    const std::int64_t deadline = platform::SteadyMilliseconds() + 2000;
    while (!condition()) {
        if (platform::SteadyMilliseconds() > deadline) return false;
        platform::SleepMilliseconds(5);
    }
    return true;
}

// Wine opens a serial device as often as asked, whatever the share mode.
bool UnderWine() {
    platform::DynamicLibrary ntdll;
    return ntdll.Load(u"ntdll.dll") && ntdll.Resolve("wine_get_version") != nullptr;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pair.Problem().empty()) << pair.Problem(); }
    PortPair pair;
};

TEST_F(SerialPortTest, CommandsAreFramedWholeAndNeverTruncated) {
    COMPort port;
    ASSERT_EQ(port.Open(pair.DevicePath(), 115200), kOk);

    EXPECT_TRUE(port.SendCommand("S"));
    EXPECT_EQ(pair.Receive(3, kReplyWaitMs), ":S\n");

    const std::string longest(COMPort::kMaxCommandLength, '1');
    EXPECT_TRUE(port.SendCommand(longest.c_str()));
    EXPECT_EQ(pair.Receive(longest.size() + 2, kReplyWaitMs), ":" + longest + "\n");

    const std::string tooLong(COMPort::kMaxCommandLength + 1, '1');
    EXPECT_FALSE(port.SendCommand(tooLong.c_str()));
    EXPECT_FALSE(port.SendCommand(nullptr));
    EXPECT_EQ(pair.Drain(100), "");
}

TEST_F(SerialPortTest, OpensAt115200EightNoneOne) {
    COMPort port;
    ASSERT_EQ(port.Open(pair.DevicePath(), 115200), kOk);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetBaudRate(), 115200);
    platform::LineSettings line;
    ASSERT_TRUE(port.Port().ReadLineSettings(line));
    EXPECT_EQ(line.baudRate, 115200);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 0);
}

TEST_F(SerialPortTest, PortIsExclusiveUntilClosed) {
    if (UnderWine()) GTEST_SKIP() << "Wine does not enforce the exclusive share mode on serial devices";
    COMPort first;
    ASSERT_EQ(first.Open(pair.DevicePath(), 115200), kOk);
    COMPort second;
    EXPECT_EQ(second.Open(pair.DevicePath(), 115200), kFail);
    EXPECT_FALSE(second.IsOpen());

    // The refused open did not disturb the owner.
    EXPECT_TRUE(first.SendCommand("V"));
    EXPECT_EQ(pair.Receive(3, kReplyWaitMs), ":V\n");

    first.Close();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(second.Open(pair.DevicePath(), 115200), kOk);
}

// The log says why, in the system's words.
TEST_F(SerialPortTest, MissingPortFailsToOpen) {
#ifdef _WIN32
    const std::u16string missing = u"\\\\.\\COM199";
    const std::string why = "!!! port \\\\.\\COM199 not opened: CreateFileW failed: error 2 (";
#else
    const std::u16string missing = u"/dev/rivu-no-such-port";
    const std::string why = "!!! port /dev/rivu-no-such-port not opened: open failed: error 2 (No such file or directory)";
#endif
    test::LogCapture::Instance().Clear();
    COMPort port;
    EXPECT_EQ(port.Open(missing, 115200), kFail);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.SendCommand("S"));
    const std::vector<std::string> logged = test::LogCapture::Instance().Lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind(why, 0), 0u) << logged[0];
}

#ifndef _WIN32
// A limited wait for received characters never outlasts its limit: it times
// out, and a signal that interrupts it ends it at once as another event (the
// reader then waits again) rather than restarting it.
TEST_F(SerialPortTest, LimitedWaitsEndWithinTheirLimit) {
    COMPort port;
    ASSERT_EQ(port.Open(pair.DevicePath(), 115200), kOk);
    platform::Event rx, stop;
    std::int64_t start = platform::SteadyMilliseconds();
    EXPECT_EQ(port.Port().WaitForReceived(rx, stop, 100), platform::RxWait::TimedOut);
    EXPECT_GE(platform::SteadyMilliseconds() - start, 99);

    // Without SA_RESTART the handler makes poll fail with EINTR. The signal
    // repeats until the wait ends, so one sent before the wait began counts
    // for nothing.
    struct sigaction quiet {}, previous {};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> waited{false};
    std::thread interrupter([&] {
        while (!waited) {
            pthread_kill(waiter, SIGUSR1);
            platform::SleepMilliseconds(20);
        }
    });
    start = platform::SteadyMilliseconds();
    EXPECT_EQ(port.Port().WaitForReceived(rx, stop, 10000), platform::RxWait::OtherEvent);
    EXPECT_LT(platform::SteadyMilliseconds() - start, 5000);
    waited = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_TRUE(pair.Send("x"));
    EXPECT_EQ(port.Port().WaitForReceived(rx, stop, 2000), platform::RxWait::Received);
}
#endif

TEST_F(SerialPortTest, TryingARateLeavesTheLineAsItWas) {
    COMPort port;
    ASSERT_EQ(port.Open(pair.DevicePath(), 115200), kOk);
    platform::LineSettings line;

    EXPECT_TRUE(port.CanUseBaudRate(9600));
    EXPECT_EQ(port.GetBaudRate(), 115200);
    ASSERT_TRUE(port.Port().ReadLineSettings(line));
    EXPECT_EQ(line.baudRate, 115200);

    // SetBaudRate(0) keeps the line's rate but stores 0 ...
    EXPECT_TRUE(port.SetBaudRate(0));
    EXPECT_EQ(port.GetBaudRate(), 0);
    ASSERT_TRUE(port.Port().ReadLineSettings(line));
    EXPECT_EQ(line.baudRate, 115200);

    // ... and a later trial still hands the line back at that rate.
    EXPECT_TRUE(port.CanUseBaudRate(9600));
    EXPECT_EQ(port.GetBaudRate(), 0);
    ASSERT_TRUE(port.Port().ReadLineSettings(line));
    EXPECT_EQ(line.baudRate, 115200);

    EXPECT_TRUE(port.SetBaudRate(9600));
    EXPECT_EQ(port.GetBaudRate(), 9600);
    ASSERT_TRUE(port.Port().ReadLineSettings(line));
    EXPECT_EQ(line.baudRate, 9600);
}

TEST_F(SerialPortTest, RatesOnAClosedPortFailAndKeepTheStoredRate) {
    COMPort never;
    EXPECT_FALSE(never.SetBaudRate(115200));
    EXPECT_FALSE(never.CanUseBaudRate(115200));
    EXPECT_EQ(never.GetBaudRate(), 0);

    COMPort closed;
    ASSERT_EQ(closed.Open(pair.DevicePath(), 115200), kOk);
    closed.Close();
    EXPECT_FALSE(closed.SetBaudRate(9600));
    EXPECT_FALSE(closed.CanUseBaudRate(9600));
    EXPECT_EQ(closed.GetBaudRate(), 115200);
}

// The device end of a pair, opened and read by its reader thread.
class DeviceTest : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        test::LogCapture::Instance().Clear();
    }

    // A device on the pair's device end, kept until the test ends.
    RivuSerial& Device(const std::u16string& identity = u"") {
        made.push_back(test::NewDevice(pair.DevicePath(), identity));
        return *made.back();
    }

    void StartDevice(RivuSerial& device) {
        ASSERT_EQ(device.Open(device.devicePath, 115200), kOk);
        ASSERT_TRUE(device.StartReaderThread(HandleReply));
    }

    // The start of the handshake: the device answers the instrument's "S"
    // echo with "V" through the reader thread and the dispatcher.
    void ExpectLinesDelivered(RivuSerial& device) {
        device.protocolState.store(kAwaitStopEcho);
        ASSERT_TRUE(pair.Send("S\r\n"));
        EXPECT_EQ(pair.Receive(3, kReplyWaitMs), ":V\n");
        EXPECT_TRUE(Eventually([&] { return device.protocolState.load() == kAwaitVersion; }));
        EXPECT_TRUE(device.dataEvent.Wait(kReplyWaitMs));
    }

    std::vector<std::unique_ptr<RivuSerial>> made;
};

TEST_F(DeviceTest, CreationLogsThePathAndNeverOpenedDeviceSendsNothing) {
    {
        RivuSerial& device = Device(u"ZVCCODA0001A");
        EXPECT_FALSE(device.IsOpen());
        EXPECT_TRUE(device.isZvcCoda);
        EXPECT_EQ(device.cuffChannel.load(), -1);
        EXPECT_EQ(device.uploadTimeout, 450);
        EXPECT_EQ(device.maxLineLength, 2048);
        made.clear();
    }
    EXPECT_EQ(pair.Drain(100), "");
    const std::vector<std::string> logged = test::LogCapture::Instance().Lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "devicePath: " + std::string(pair.DevicePath().begin(), pair.DevicePath().end()));
}

TEST_F(DeviceTest, ReaderDeliversLinesAndCloseStopsItOnce) {
    RivuSerial& device = Device();
    StartDevice(device);
    ExpectLinesDelivered(device);
    EXPECT_FALSE(device.failed.load());

    device.Close();
    EXPECT_EQ(pair.Receive(3, kReplyWaitMs), ":X\n");
    EXPECT_TRUE(device.readerThread.WaitFor(0));
    EXPECT_FALSE(device.IsOpen());

    // A second Close neither signals the stop event again nor waits for a
    // thread. The first signal is left unconsumed when the reader saw the stop
    // request before its wait: take it first.
    device.stopEvent.Wait(0);
    device.Close();
    EXPECT_FALSE(device.stopEvent.Wait(0));

    // A device closed already is destroyed without a second "X" and pause
    // (the library's unload closes each device before it destroys it).
    test::MemoryDevice memory;
    memory.device.Close();
    EXPECT_EQ(memory.recorder.Take(), ":X\n");
    const std::int64_t closedAt = memory.clock.now;
    memory.owned.reset();
    EXPECT_EQ(memory.clock.now, closedAt);
    EXPECT_EQ(memory.recorder.Take(), "");
}

TEST_F(DeviceTest, ACodaReaderNotesWhenItsLinesWereRead) {
    // A CODA's upload time-out is judged by the time its lines were read.
    RivuSerial& device = Device(u"ZVCCODA0001A");
    const std::int64_t before = platform::SteadyMilliseconds();
    StartDevice(device);
    device.protocolState.store(kAwaitStopEcho);
    ASSERT_TRUE(pair.Send("S\r\n"));
    EXPECT_EQ(pair.Receive(5, kReplyWaitMs), ":WN5\n");
    device.Close();  // joins the reader: its fields can be read from here
    EXPECT_GE(device.linesReadAt, before);
    EXPECT_LE(device.linesReadAt, platform::SteadyMilliseconds());
}

TEST_F(DeviceTest, ReopenedDeviceGetsAFreshReaderThatStillStops) {
    RivuSerial& device = Device();
    StartDevice(device);
    device.Close();
    pair.Drain(50);

    StartDevice(device);
    EXPECT_FALSE(device.stopRequested.load());
    ExpectLinesDelivered(device);
    device.Close();
    EXPECT_TRUE(device.readerThread.WaitFor(0));
}

TEST_F(DeviceTest, CloseStopsTheReaderWhileThePeerKeepsSending) {
    RivuSerial& device = Device();
    StartDevice(device);
    std::atomic<bool> sending{true};
    std::thread chatter([&] {
        std::string noise(64, 'n');
        noise.replace(62, 2, "\r\n");
        while (sending.load()) pair.Send(noise);
    });
    platform::SleepMilliseconds(50);
    device.Close();
    EXPECT_TRUE(device.readerThread.WaitFor(0));
    EXPECT_FALSE(device.failed.load());
    sending.store(false);
    chatter.join();
}

TEST_F(DeviceTest, StreamedRowsArriveWholeAndInOrderOnAHealthyPort) {
    RivuSerial& device = Device();
    std::vector<std::unique_ptr<ChannelRecord>> batch;
    batch.push_back(std::make_unique<ChannelRecord>("A", 1000, -1000, 20000, "mL", 0));
    batch.push_back(std::make_unique<ChannelRecord>("B", 1000, -1000, 20000, "mL", 0));
    device.channels.Append(std::move(batch));
    device.paramCount = 2;
    device.protocolState.store(kRunning);
    StartDevice(device);

    constexpr int kRows = 3000;
    std::string rows;
    for (int i = 0; i < kRows; ++i) rows += std::to_string(i % 1000) + "," + std::to_string(-(i % 1000)) + "\r\n";
    ASSERT_TRUE(pair.Send(rows));

    // Drain through the host's line format while the rows arrive.
    std::vector<int> first;
    std::vector<int> second;
    std::vector<char> buffer(4096);
    const std::int64_t deadline = platform::SteadyMilliseconds() + 20000;
    while ((first.size() < kRows || second.size() < kRows) && platform::SteadyMilliseconds() < deadline) {
        if (!TakeSampleLines(device, buffer.data(), static_cast<int>(buffer.size()))) {
            // An empty current channel is not skipped: in a live stream the
            // next row fills it. After the last row the test moves on itself.
            device.currentChannel.store((device.currentChannel.load() + 1) % 2);
            platform::SleepMilliseconds(1);
            continue;
        }
        for (const char* line = buffer.data(); *line != '\0';) {
            char* end = nullptr;
            const long channel = std::strtol(line + 1, &end, 10);
            std::vector<int>& values = channel == 1 ? first : second;
            while (*end == ',') values.push_back(static_cast<int>(std::strtol(end + 1, &end, 10)));
            line = end + 1;  // past the line feed
        }
    }
    for (std::size_t i = 0; i < first.size(); ++i) ASSERT_EQ(first[i], static_cast<int>(i % 1000)) << i;
    for (std::size_t i = 0; i < second.size(); ++i) ASSERT_EQ(second[i], -static_cast<int>(i % 1000)) << i;
    EXPECT_EQ(first.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(second.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(device.channels.ByNumber(1)->SamplesHeld(), 0u);
    EXPECT_EQ(device.channels.ByNumber(2)->SamplesHeld(), 0u);
    EXPECT_FALSE(device.failed.load());
}

TEST_F(DeviceTest, PortFaultMarksTheDeviceFailedAndCloseStillStopsIt) {
    RivuSerial& device = Device();
    StartDevice(device);
    device.Port().Close();  // the handle goes away under the reader
    EXPECT_TRUE(Eventually([&] { return device.failed.load(); }));
    device.Close();
    EXPECT_TRUE(device.readerThread.WaitFor(0));
}

#ifndef _WIN32
TEST_F(DeviceTest, VanishedPeerMarksTheDeviceFailedWithoutHanging) {
    RivuSerial& device = Device();
    StartDevice(device);
    ASSERT_TRUE(pair.ClosePeer());
    EXPECT_TRUE(Eventually([&] { return device.failed.load(); }));
    device.Close();
    EXPECT_TRUE(device.readerThread.WaitFor(0));
}
#endif

}  // namespace
}  // namespace rivu
