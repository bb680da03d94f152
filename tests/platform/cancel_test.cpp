// Cancelling a blocked call from another thread: it ends within 100 ms with PLAT_WSAEINTR, it
// reaches only calls blocked on its own target at that moment, and a request that finds nobody
// blocked is dropped instead of hitting a later call.

#include <future>
#include <memory>
#include <vector>

#include "platform_fixture.h"

namespace {

using namespace plattest;

constexpr int32_t LONG_WAIT_MS = 30000;
constexpr double PROMPT_MS = 100.0;

struct TargetDeleter {
    void operator()(PlatCancelTarget* target) const { PlatCancelTargetDestroy(target); }
};
using Target = std::unique_ptr<PlatCancelTarget, TargetDeleter>;

Target MakeTarget() {
    Target target(PlatCancelTargetCreate());
    EXPECT_NE(target, nullptr);
    return target;
}

struct Outcome {
    int32_t result;
    int32_t error;
};

// Runs call on a thread bound to target; the outcome carries that thread's last socket error.
std::future<Outcome> StartBound(PlatCancelTarget* target, std::function<int32_t()> call) {
    return std::async(std::launch::async, [target, call = std::move(call)] {
        PlatCancelScope scope(target);
        const int32_t result = call();
        return Outcome{result, PlatLastSocketError()};
    });
}

// Waits until a call blocks on target, cancels it, and checks that it ended cancelled and soon.
void ExpectCancelledPromptly(PlatCancelTarget* target, std::future<Outcome>& running) {
    ASSERT_TRUE(WaitUntil([&] { return PlatIsBlocking(target); }));
    const auto cancelled = Clock::now();
    ASSERT_EQ(PlatCancelBlockingCall(target), 0);
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    const double ms = MillisecondsSince(cancelled);
    const Outcome outcome = running.get();
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.error, PLAT_WSAEINTR);
    EXPECT_LT(ms, PROMPT_MS);
    EXPECT_FALSE(PlatIsBlocking(target));
}

class CancelTest : public PlatformTest {};

TEST_F(CancelTest, BlockedReceiveEndsInterrupted) {
    Pair pair;
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        char buffer[16];
        return PlatRecv(pair.server, buffer, sizeof buffer, 0);
    });
    ExpectCancelledPromptly(target.get(), running);
}

TEST_F(CancelTest, BlockedAcceptEndsInterrupted) {
    Listener listener;
    Target target = MakeTarget();
    auto running =
        StartBound(target.get(), [&] { return PlatAccept(listener.socket, nullptr, nullptr); });
    ExpectCancelledPromptly(target.get(), running);
}

TEST_F(CancelTest, SendBlockedOnAFullConnectionEndsInterrupted) {
    Pair pair;
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        // Nobody reads: sooner or later the buffers are full and the send waits.
        std::vector<char> block(65536, 'x');
        for (;;) {
            if (PlatSend(pair.client, block.data(), static_cast<int32_t>(block.size()), 0) < 0) {
                return -1;
            }
        }
    });
    ExpectCancelledPromptly(target.get(), running);
}

TEST_F(CancelTest, PauseEndsInterrupted) {
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [] { return PlatPause(LONG_WAIT_MS); });
    ExpectCancelledPromptly(target.get(), running);
}

TEST_F(CancelTest, CancellationReachesOnlyItsOwnTarget) {
    Pair first;
    Pair second;
    Target firstTarget = MakeTarget();
    Target secondTarget = MakeTarget();
    auto firstCall =
        StartBound(firstTarget.get(), [&] { return PlatWaitReadable(first.server, LONG_WAIT_MS); });
    auto secondCall = StartBound(secondTarget.get(),
                                 [&] { return PlatWaitReadable(second.server, LONG_WAIT_MS); });
    ASSERT_TRUE(WaitUntil([&] { return PlatIsBlocking(secondTarget.get()); }));
    ExpectCancelledPromptly(firstTarget.get(), firstCall);

    // The other call still waits, and sees its data when it comes.
    EXPECT_EQ(secondCall.wait_for(200ms), std::future_status::timeout);
    EXPECT_TRUE(PlatIsBlocking(secondTarget.get()));
    ASSERT_EQ(PlatSend(second.client, "ok", 2, 0), 2);
    ASSERT_EQ(secondCall.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(secondCall.get().result, 1);
}

TEST_F(CancelTest, RequestThatFindsNobodyBlockedIsDropped) {
    Pair pair;
    Target target = MakeTarget();
    EXPECT_EQ(PlatCancelBlockingCall(target.get()), -1);
    EXPECT_EQ(PlatLastSocketError(), PLAT_WSAEINVAL);

    // A later call on the target waits its full time.
    auto running = StartBound(target.get(), [&] { return PlatWaitReadable(pair.server, 300); });
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(running.get().result, 0);
}

TEST_F(CancelTest, EachRequestEndsOneCallAndLeavesNothingBehind) {
    Pair pair;
    Target target = MakeTarget();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto running =
            StartBound(target.get(), [&] { return PlatWaitReadable(pair.server, LONG_WAIT_MS); });
        ExpectCancelledPromptly(target.get(), running);
    }
    // After all those requests, a new call is not woken by anything left over.
    auto running = StartBound(target.get(), [&] { return PlatWaitReadable(pair.server, 300); });
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(running.get().result, 0);
    // And a bound call still sees its socket become ready.
    running = StartBound(target.get(), [&] { return PlatWaitReadable(pair.server, 5000); });
    ASSERT_EQ(PlatSend(pair.client, "x", 1, 0), 1);
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(running.get().result, 1);
}

TEST_F(CancelTest, CallsOfAnUnboundThreadCannotBeCancelled) {
    Pair pair;
    Target target = MakeTarget();
    auto running =
        std::async(std::launch::async, [&] { return PlatWaitReadable(pair.server, 300); });
    EXPECT_FALSE(PlatIsBlocking(target.get()));
    EXPECT_EQ(PlatCancelBlockingCall(target.get()), -1);
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(running.get(), 0);
}

}  // namespace
