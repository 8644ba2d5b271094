// The synchronisation the reader thread is built on: auto-reset events, the
// two-event wait, threads that can be waited for and started again, and the
// count of a port handle's users that Close waits for.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/handle_users.h"
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

#ifndef _WIN32
// An event whose descriptor poll reports as failed (a pipe's write end whose
// reader is gone: POLLERR) can never be signalled: the wait ends at its limit,
// it does not spin on past it.
TEST(Event, AWaitOnAFailedDescriptorEndsWithinItsLimit) {
    Event event;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    ASSERT_EQ(dup2(ends[1], static_cast<int>(event.Native())), static_cast<int>(event.Native()));
    close(ends[1]);
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(event.Wait(50));
    EXPECT_FALSE(event.Wait(kWaitForever));
    EXPECT_LT(SteadyMilliseconds() - start, 1000);
}
#endif

std::vector<NativeHandle> closedHandles;
void RecordClose(NativeHandle handle) { closedHandles.push_back(handle); }

// A user that stays past Close's drain keeps the handle open under it, and
// closes it when it leaves: the port is not held for good.
TEST(HandleUsers, ADetachedHandleIsClosedByItsLastUser) {
    closedHandles.clear();
    HandleUsers users;
    ASSERT_TRUE(users.Enter());
    ASSERT_TRUE(users.Enter());
    EXPECT_FALSE(users.BlockAndDrain(5));
    EXPECT_FALSE(users.Enter());  // turned away while closing
    EXPECT_TRUE(users.Detach(7, RecordClose));
    EXPECT_FALSE(users.Detach(8, RecordClose));  // one waits at a time; the other stays open
    users.Unblock();
    users.Leave();
    EXPECT_TRUE(closedHandles.empty());
    users.Leave();
    EXPECT_EQ(closedHandles, std::vector<NativeHandle>{7});

    // Users that left before the handle was detached: it is closed at once.
    ASSERT_TRUE(users.Enter());
    EXPECT_FALSE(users.BlockAndDrain(5));
    users.Leave();
    EXPECT_TRUE(users.Detach(9, RecordClose));
    EXPECT_EQ(closedHandles, (std::vector<NativeHandle>{7, 9}));
    EXPECT_FALSE(users.HasDetached());
    users.Unblock();
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
