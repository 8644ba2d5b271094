// rivu.dll and rivu-host.exe under Wine, as the host application uses them:
// virtual FTDI COM ports registered with Wine's setup API, a simulated
// instrument (rivu-sim on the Linux side) behind each, and the ftd2xx.dll
// double in the system directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "rivu-sim/simulator_config.h"
#include "tests/support/child_host.h"
#include "tests/support/enabler_under_test.h"
#include "tests/support/test_support.h"
#include "tests/support/wine_com_ports.h"
#include "tests/support/wine_unix_command.h"

namespace rivu {
namespace {

namespace fs = std::filesystem;
constexpr unsigned int kNoDevice = 0xFFFFFFFFu;

fs::path SystemDirectory() {
    wchar_t directory[MAX_PATH] = {};
    GetSystemDirectoryW(directory, MAX_PATH);
    return directory;
}

struct Environment {
    test::WineComPorts ports;
    std::wstring monitorPath, codaPath;
    fs::path scratch;
    bool simulatorsRunning = false;
};
Environment* environment = nullptr;

class WineEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        environment = new Environment;
        environment->scratch = test::WinePathOf("/tmp/rivu-wine-e2e-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(environment->scratch);
        // Wine lists interfaces by key name: the monitor (ksc...) comes first.
        environment->monitorPath = environment->ports.Add(L"FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000", L"COM41");
        environment->codaPath = environment->ports.Add(L"FTDIBUS\\VID_0403+PID_6001+ZVCCODA0001A\\0000", L"COM42");
        environment->simulatorsRunning =
            environment->ports.MapToSimulators({"--kind rivu", "--kind coda --cycle-delay-ms 500"});
        std::error_code ignored;
        fs::copy_file(test::WinePathOf(RIVU_FTD2XX_DOUBLE), SystemDirectory() / L"ftd2xx.dll",
                      fs::copy_options::overwrite_existing, ignored);
    }

    static void TearDownTestSuite() {
        test::Enabler().CloseAll();
        std::error_code ignored;
        fs::remove(SystemDirectory() / L"ftd2xx.dll", ignored);
        fs::remove_all(environment->scratch, ignored);
        delete environment;  // ends the simulators, removes the ports
        environment = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(environment->monitorPath.empty());
        ASSERT_FALSE(environment->codaPath.empty());
        ASSERT_TRUE(environment->simulatorsRunning) << "rivu-sim did not start (RIVU_SIM_PROGRAM)";
    }
    void TearDown() override { EXPECT_EQ(test::Enabler().CloseAll(), 1); }
};

// First in the suite: after the tests that run child processes of this
// program with the driver loaded, Wine's loader was seen to loop for good in
// its import fix-ups when this test loaded the driver library again.
TEST_F(WineEndToEnd, WithoutTheDriverLibraryNothingIsFoundAndTheUserIsTold) {
    host::EnablerLibrary& enabler = test::Enabler();
    const fs::path driver = SystemDirectory() / L"ftd2xx.dll";
    const fs::path away = SystemDirectory() / L"ftd2xx.dll.away";
    ASSERT_TRUE(MoveFileW(driver.c_str(), away.c_str()));
    int index = 5;
    EXPECT_EQ(enabler.FindDevice(&index, ""), 0);
    EXPECT_EQ(enabler.FindDevice(&index, ""), 0);
    EXPECT_EQ(index, 5);
    EXPECT_EQ(enabler.GetLastErrorMsg(kNoDevice, nullptr), 170);
    EXPECT_EQ(enabler.LastError(kNoDevice),
              "The device driver is not installed.\nPlease plug in your device and restart Vexamora.\n\n"
              "Refer to the Device Enabler Installation Guide\nif you continue to see this message.");
    EXPECT_EQ(enabler.CloseAll(), 1);
    // After CloseAll the binding is made again: with the driver back, ports are found.
    ASSERT_TRUE(MoveFileW(away.c_str(), driver.c_str()));
    EXPECT_EQ(enabler.FindDevice(&index, ""), 1);
}

// Start, samples, stop, several times in one process: every round reaches
// Running and delivers exactly the rows the monitor sent from its start.
TEST_F(WineEndToEnd, DllFindsThePortsAndDeliversTheMonitorsValuesExactly) {
    host::EnablerLibrary& enabler = test::Enabler();
    int index = -1;
    ASSERT_EQ(enabler.FindDevice(&index, ""), 1);
    ASSERT_EQ(enabler.FindDevice(&index, ""), 1);
    EXPECT_EQ(enabler.FindDevice(&index, ""), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(enabler.CloseAll(), 1);

    ASSERT_EQ(enabler.FindDevice(&index, "KSC"), 1);
    ASSERT_EQ(enabler.Initialise(index), 1) << enabler.LastError(kNoDevice);

    char text[64] = {};
    RivuCommandRecord record{};
    record.text = text;
    record.textSize = sizeof text;
    ASSERT_EQ(enabler.DeviceCommand(index, RIVU_CMD_SERIAL_NUMBER, &record), 1);
    EXPECT_STREQ(text, "01234");  // from the interface path
    ASSERT_EQ(enabler.DeviceCommand(index, RIVU_CMD_CHANNEL_COUNT, &record), 1);
    const int channels = record.value;
    ASSERT_EQ(channels, 10);

    const sim::SimulatorConfig config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu);
    const sim::DataModel model(config.channels, config.repeatEvery);
    const std::size_t wanted = 100;
    static char buffer[32768];
    for (int round = 1; round <= 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
        test::Samples samples;
        auto enough = [&] {
            for (int c = 1; c <= channels; ++c) {
                if (samples[c].size() < wanted) return false;
            }
            return true;
        };
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!enough() && std::chrono::steady_clock::now() < end) {
            if (enabler.ReadLine(index, buffer, sizeof buffer, 20) == 1) {
                ASSERT_TRUE(test::TakeDelivery(buffer, samples)) << buffer;
            }
        }
        RivuCommandRecord stop{};
        EXPECT_EQ(enabler.DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);

        for (int c = 1; c <= channels; ++c) {
            ASSERT_GE(samples[c].size(), wanted) << "channel " << c;
            for (std::size_t row = 0; row < wanted; ++row) {
                ASSERT_EQ(samples[c][row], model.Ticks(c, row)) << "channel " << c << " row " << row;
            }
        }
        // The rows that arrive while the stop completes belong to this round.
        Sleep(300);
        enabler.FlushReadBuffer(index);
    }
}

// A host that ends (returns from main, or unloads the enabler) while the
// monitor streams and without CloseAll, run as a child process and timed from
// here: the process ends, and the enabler hands control back, within 2 s.
TEST_F(WineEndToEnd, HostThatLeavesTheMonitorStreamingEndsAtOnce) {
    for (const char* ending : {"return", "unload"}) {
        SCOPED_TRACE(ending);
        const test::ChildHostRun run = test::RunChildHost(ending);
        ASSERT_TRUE(run.ended) << run.output;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        test::ExpectChildHostEndedAtOnce(run);
        // The port is free again at once.
        const HANDLE port = CreateFileW(environment->monitorPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
}

TEST_F(WineEndToEnd, RivuHostRecordsTheCodaWithCommentsThroughCom) {
    const fs::path output = environment->scratch / L"host-output.txt";
    const fs::path csv = environment->scratch / L"coda.csv";
    const fs::path log = environment->scratch / L"enabler.log";
    std::wstring command = L"\"" + test::WinePathOf(test::HostProgramPath()) + L"\" --select ZVCCODA --seconds 8" +
                           L" --csv \"" + csv.wstring() + L"\" --log \"" + log.wstring() + L"\"";
    const test::ChildHostRun run = test::RunWithOutputFile(command, output.wstring(), 90000);
    const std::string& shown = run.output;
    ASSERT_TRUE(run.ended) << shown;
    EXPECT_EQ(run.exitCode, 0) << shown;
    EXPECT_NE(shown.find("Zarvonic CODA by Zarvonic NZ Ltd."), std::string::npos) << shown;
    EXPECT_NE(shown.find("serial number 0001"), std::string::npos) << shown;
    EXPECT_NE(shown.find(": Systolic BP = "), std::string::npos) << shown;
    EXPECT_NE(shown.find(": Diastolic BP = "), std::string::npos) << shown;
    const std::string comments = test::ReadWholeFile((environment->scratch / L"coda-comments.csv").string());
    EXPECT_NE(comments.find(",8,\"Systolic BP = "), std::string::npos) << comments;

    // The enabler's lines reached the host's log service.
    const std::string lines = test::ReadWholeFile(log.string());
    EXPECT_NE(lines.find(": devicePath: \\\\?\\ftdibus#vid_0403+pid_6001+zvccoda0001a"), std::string::npos) << lines;
    EXPECT_NE(lines.find(": version: V,"), std::string::npos) << lines;

    // The recording's facts ("# name: value"), then the header, then the rows.
    std::istringstream rows(test::ReadWholeFile(csv.string()));
    std::string header;
    while (std::getline(rows, header) && header.rfind("# ", 0) == 0) {
    }
    EXPECT_NE(header.find("\"VPR (mmHg)\""), std::string::npos) << header;
    std::size_t count = 0;
    for (std::string row; std::getline(rows, row);) ++count;
    EXPECT_GT(count, 100u);
}

}  // namespace
}  // namespace rivu

// The test program is also the child host of the test above.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == rivu::test::kChildHostFlag) return rivu::test::PlayChildHost(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
