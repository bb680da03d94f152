// Cancelling a blocked call from another thread: it ends at once with NET_CANCELLED, it reaches
// only the calls of its own target, and cleanup refuses while a call of its client is blocked.

#include <future>
#include <memory>

#include "net_test_helpers.h"

namespace {

using namespace nettest;

// Every operation below would block for 30 seconds; cancelled, it must end well before.
constexpr int32_t LONG_TIMEOUT = 30;
constexpr double PROMPT_SECONDS = 5.0;

struct TargetDeleter {
    void operator()(PlatCancelTarget* target) const { PlatCancelTargetDestroy(target); }
};
using Target = std::unique_ptr<PlatCancelTarget, TargetDeleter>;

Target MakeTarget() {
    Target target(PlatCancelTargetCreate());
    EXPECT_NE(target, nullptr);
    return target;
}

// Runs call on a thread bound to target and returns its result.
std::future<int32_t> StartBound(PlatCancelTarget* target, std::function<int32_t()> call) {
    return std::async(std::launch::async, [target, call = std::move(call)] {
        PlatCancelScope scope(target);
        return call();
    });
}

// Waits until the call on target blocks, cancels it, and returns its result and how long it
// took from the cancellation to its end.
std::pair<int32_t, double> CancelWhenBlocked(PlatCancelTarget* target,
                                             std::future<int32_t>& running) {
    EXPECT_TRUE(WaitUntil([&] { return PlatIsBlocking(target); }));
    const auto cancelled = Clock::now();
    EXPECT_EQ(PlatCancelBlockingCall(target), 0);
    EXPECT_EQ(running.wait_for(std::chrono::duration<double>(PROMPT_SECONDS)),
              std::future_status::ready);
    const int32_t result = running.get();
    return {result, SecondsSince(cancelled)};
}

class CancellationTest : public NetTest {};

TEST_F(CancellationTest, BlockedReceiveEndsCancelled) {
    SocketPair pair;
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        char buffer[64];
        return TcpRecv(pair.server, buffer, sizeof buffer, LONG_TIMEOUT, -1);
    });
    auto [result, seconds] = CancelWhenBlocked(target.get(), running);
    EXPECT_EQ(result, NET_CANCELLED);
    EXPECT_LT(seconds, PROMPT_SECONDS);
}

TEST_F(CancellationTest, BlockedReplyReadEndsCancelled) {
    SocketPair pair;
    SendText(pair.client, "220-Hello\r\n");
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        char reply[2048];
        return TnReadAnswerCode(pair.server, reply, sizeof reply, LONG_TIMEOUT, -1);
    });
    auto [result, seconds] = CancelWhenBlocked(target.get(), running);
    EXPECT_EQ(result, NET_CANCELLED);
    EXPECT_LT(seconds, PROMPT_SECONDS);
}

TEST_F(CancellationTest, BlockedAcceptEndsCancelled) {
    LoopbackListener listener;
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        int32_t accepted = -1;
        return TcpAccept(&accepted, listener.socket, LONG_TIMEOUT);
    });
    auto [result, seconds] = CancelWhenBlocked(target.get(), running);
    EXPECT_EQ(result, NET_CANCELLED);
    EXPECT_LT(seconds, PROMPT_SECONDS);
}

TEST_F(CancellationTest, BlockedConnectEndsCancelled) {
    // A listener whose queue of unaccepted connections is full lets further connects hang.
    LoopbackListener listener(1);
    Target target = MakeTarget();
    std::vector<int32_t> connected;
    auto running = StartBound(target.get(), [&] {
        for (int i = 0; i < 64; ++i) {
            int32_t s = -1;
            uint16_t port = listener.port;
            const int32_t result = TcpConnect(&s, "127.0.0.1", nullptr, &port);
            if (result != NET_OK) {
                return result;
            }
            connected.push_back(s);
        }
        return NET_OK;
    });
    auto [result, seconds] = CancelWhenBlocked(target.get(), running);
    EXPECT_EQ(result, NET_CANCELLED);
    EXPECT_LT(seconds, PROMPT_SECONDS);
    for (int32_t& s : connected) {
        TcpClose(&s);
    }
}

TEST_F(CancellationTest, CancellationReachesOnlyItsOwnTarget) {
    SocketPair first;
    SocketPair second;
    Target firstTarget = MakeTarget();
    Target secondTarget = MakeTarget();
    char firstBuffer[16];
    char secondBuffer[16];
    auto firstCall = StartBound(firstTarget.get(), [&] {
        return TcpRecv(first.server, firstBuffer, sizeof firstBuffer, LONG_TIMEOUT, -1);
    });
    auto secondCall = StartBound(secondTarget.get(), [&] {
        return TcpRecv(second.server, secondBuffer, sizeof secondBuffer, LONG_TIMEOUT, -1);
    });
    ASSERT_TRUE(WaitUntil([&] { return PlatIsBlocking(secondTarget.get()); }));
    auto [result, seconds] = CancelWhenBlocked(firstTarget.get(), firstCall);
    EXPECT_EQ(result, NET_CANCELLED);
    EXPECT_LT(seconds, PROMPT_SECONDS);

    // The second call is still waiting, and takes the data when it comes.
    EXPECT_TRUE(PlatIsBlocking(secondTarget.get()));
    SendText(second.client, "ok");
    ASSERT_EQ(secondCall.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(secondCall.get(), 2);
    EXPECT_EQ(std::string(secondBuffer, 2), "ok");
}

TEST_F(CancellationTest, CleanupRefusesAndCancelsWhileItsClientIsBlocked) {
    SocketPair pair;
    Target target = MakeTarget();
    auto running = StartBound(target.get(), [&] {
        char buffer[16];
        return TcpRecv(pair.server, buffer, sizeof buffer, LONG_TIMEOUT, -1);
    });
    ASSERT_TRUE(WaitUntil([&] { return PlatIsBlocking(target.get()); }));

    PlatCancelScope scope(target.get());
    ASSERT_EQ(NetInit(), NET_OK);
    const int32_t starts = PlatSocketStartCount();
    const auto start = Clock::now();
    EXPECT_EQ(NetCleanup(), NET_ERROR);
    ASSERT_EQ(running.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(running.get(), NET_CANCELLED);
    EXPECT_LT(SecondsSince(start), PROMPT_SECONDS);
    // Nothing was closed or shut down; a second attempt succeeds.
    EXPECT_EQ(PlatSocketStartCount(), starts);
    EXPECT_TRUE(NetLookupSocket(pair.server, nullptr));
    EXPECT_EQ(NetCleanup(), NET_OK);
    EXPECT_EQ(PlatSocketStartCount(), starts - 1);
}

}  // namespace
