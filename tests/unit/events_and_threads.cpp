// The synchronisation the reader thread is built on: auto-reset events, the
// two-event wait, and threads that can be waited for and started again.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace rivu::platform {
namespace {

TEST(Event, SignalIsConsumedByOneWaitAndResetClearsIt) {
    Event event;
    ASSERT_TRUE(event.Valid());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Set();  // not counted: still one signal
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));

    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(10));
}

TEST(Event, WaitForEitherReportsWhichAndConsumesOnlyThat) {
    Event first;
    Event second;
    EXPECT_EQ(WaitForEither(first, second, 10), kWaitTimedOut);

    second.Set();
    EXPECT_EQ(WaitForEither(first, second, kWaitForever), 1);
    EXPECT_FALSE(second.Wait(0));

    // Both signalled: the first wins and the second keeps its signal.
    first.Set();
    second.Set();
    EXPECT_EQ(WaitForEither(first, second, 0), 0);
    EXPECT_TRUE(second.Wait(0));
}

void SignalAfterDelay(void* argument) {
    SleepMilliseconds(30);
    static_cast<Event*>(argument)->Set();
}

TEST(Event, WaitEndsWhenAnotherThreadSignals) {
    Event first;
    Event second;
    Thread thread;
    ASSERT_TRUE(thread.Start(SignalAfterDelay, &second));
    EXPECT_EQ(WaitForEither(first, second, kWaitForever), 1);
    thread.Join();
}

struct Gate {
    Event open;
    std::atomic<int> runs{0};
};

void RunUntilOpened(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    gate->open.Wait(kWaitForever);
    gate->runs.fetch_add(1);
}

TEST(Thread, WaitForReportsTheEndAndJoinAllowsAnotherStart) {
    Gate gate;
    Thread thread;
    EXPECT_TRUE(thread.WaitFor(0));  // never started
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(thread.Start(RunUntilOpened, &gate));
        EXPECT_TRUE(thread.Started());
        EXPECT_FALSE(thread.Start(RunUntilOpened, &gate));  // one thread at a time
        thread.SetAboveNormalPriority();
        EXPECT_FALSE(thread.WaitFor(20));
        gate.open.Set();
        EXPECT_TRUE(thread.WaitFor(kWaitForever));
        thread.Join();
        EXPECT_FALSE(thread.Started());
        EXPECT_EQ(gate.runs.load(), round);
    }
}

TEST(Clock, SteadyMillisecondsFollowSleeps) {
    const std::int64_t start = SteadyMilliseconds();
    SleepMilliseconds(25);
    EXPECT_GE(SteadyMilliseconds() - start, 20);
}

}  // namespace
}  // namespace rivu::platform
