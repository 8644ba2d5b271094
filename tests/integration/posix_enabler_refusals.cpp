// Instruments the enabler must refuse: one that never answers and a Rivu
// CODA. Both take the full handshake wait (16 s), so they run side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/enabler_under_test.h"
#include "tests/support/posix_simulated_port.h"

namespace rivu::test {
namespace {

using sim::InstrumentKind;
using sim::SimulatorConfig;
constexpr unsigned int kNoDevice = 0xFFFFFFFFu;

TEST(EnablerRefusals, SilentInstrumentAndRivuCodaFailAfterTheHandshakeWait) {
    SimulatorConfig silentConfig = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    silentConfig.faults.Set(sim::Fault::kSilent);
    SimulatorConfig codaConfig = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    codaConfig.faults.Set(sim::Fault::kRivuCoda);
    SimulatedPort silent(silentConfig, "ksc00001", "FTDIBUS\\VID_0403+PID_6001+KSC00001A\\0000");
    SimulatedPort rivuCoda(codaConfig, "ksc00002", "FTDIBUS\\VID_0403+PID_6001+KSC00002A\\0000");
    ASSERT_EQ(SimulatedPort::Publish({&silent, &rivuCoda}), "");

    host::EnablerLibrary& enabler = Enabler();
    int index = -1;
    ASSERT_EQ(enabler.FindDevice(&index, "KSC"), 1);
    ASSERT_EQ(enabler.FindDevice(&index, "KSC"), 1);

    int results[2] = {-1, -1};
    const auto start = std::chrono::steady_clock::now();
    std::thread first([&] { results[0] = enabler.Initialise(0); });
    std::thread second([&] { results[1] = enabler.Initialise(1); });
    first.join();
    second.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_GE(seconds, 15.9);
    EXPECT_LT(seconds, 25.0);
    EXPECT_EQ(enabler.IsFailed(0), 1);
    EXPECT_EQ(enabler.IsFailed(1), 1);

    // The refused model's own message is read by its index, once.
    EXPECT_EQ(enabler.LastError(1), "Rivu CODA Monitor is not supported by Vexamora.");
    EXPECT_EQ(enabler.GetLastErrorMsg(1, nullptr), 1);
    EXPECT_EQ(enabler.LastError(0), "");
    EXPECT_EQ(enabler.LastError(kNoDevice),
              "The device is not responding. Please power cycle the device and restart Vexamora.");

    // The silent one only ever heard the start of the handshake; the CODA
    // was not asked for its parameters.
    EXPECT_EQ(silent.Instrument().Received(), std::vector<std::string>{"S"});
    const auto heard = rivuCoda.Instrument().Received();
    EXPECT_EQ(heard, (std::vector<std::string>{"S", "V"}));

    EXPECT_EQ(enabler.CloseAll(), 1);
    SimulatedPort::Unpublish();
}

}  // namespace
}  // namespace rivu::test
