// Start-up counting, the socket registry, closing and flushing.

#include <atomic>
#include <future>
#include <latch>
#include <memory>

#include "net_test_helpers.h"

namespace {

using namespace nettest;

class SocketTableTest : public NetTest {};

TEST_F(SocketTableTest, EveryInitIsEndedByOneCleanup) {
    const int32_t before = PlatSocketStartCount();
    ASSERT_EQ(NetInit(), NET_OK);
    ASSERT_EQ(NetInit(), NET_OK);
    EXPECT_EQ(PlatSocketStartCount(), before + 2);
    EXPECT_EQ(NetCleanup(), NET_OK);
    EXPECT_EQ(NetCleanup(), NET_OK);
    EXPECT_EQ(PlatSocketStartCount(), before);
}

TEST_F(SocketTableTest, ParallelRegistrationsNeverShareAnEntry) {
    constexpr int THREADS = 8;
    constexpr int PER_THREAD = 60;
    constexpr int32_t FIRST = 100000;
    const int before = NetRegisteredSocketCount();
    uint32_t owners[THREADS] = {};
    std::latch start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            owners[t] = PlatCurrentThreadId();
            start.arrive_and_wait();
            for (int i = 0; i < PER_THREAD; ++i) {
                NetRegisterSocket(FIRST + t * PER_THREAD + i, SOCKET_KIND_CONNECTED + t % 2);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(NetRegisteredSocketCount(), before + THREADS * PER_THREAD);
    for (int t = 0; t < THREADS; ++t) {
        for (int i = 0; i < PER_THREAD; ++i) {
            const int32_t s = FIRST + t * PER_THREAD + i;
            SocketTableEntry entry{};
            ASSERT_TRUE(NetLookupSocket(s, &entry)) << s;
            EXPECT_EQ(entry.socket, s);
            EXPECT_EQ(entry.kind, SOCKET_KIND_CONNECTED + t % 2);
            EXPECT_EQ(entry.ownerThread, owners[t]);
            NetReleaseSocket(s);
        }
    }
    EXPECT_EQ(NetRegisteredSocketCount(), before);
}

// NetCleanup under a session's cancel target closes that session's sockets and nothing else:
// not another session's, not those the thread opened outside any session.
TEST_F(SocketTableTest, CleanupClosesOnlyTheCallersSockets) {
    PlatCancelTarget* mine = PlatCancelTargetCreate();
    PlatCancelTarget* other = PlatCancelTargetCreate();
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(other, nullptr);
    std::unique_ptr<SocketPair> ofMine, ofOther;
    {
        PlatCancelScope scope(mine);
        ofMine = std::make_unique<SocketPair>();
    }
    {
        PlatCancelScope scope(other);
        ofOther = std::make_unique<SocketPair>();
    }
    SocketPair outside;
    ASSERT_EQ(NetInit(), NET_OK);
    {
        PlatCancelScope scope(mine);
        EXPECT_EQ(NetCleanup(), NET_OK);
    }
    EXPECT_FALSE(NetLookupSocket(ofMine->client, nullptr));
    EXPECT_FALSE(NetLookupSocket(ofMine->server, nullptr));
    ofMine->client = ofMine->server = -1;  // closed already: the numbers may be reused
    for (int32_t s : {ofOther->client, ofOther->server, outside.client, outside.server}) {
        EXPECT_TRUE(NetLookupSocket(s, nullptr)) << s;
    }
    ofOther.reset();
    PlatCancelTargetDestroy(mine);
    PlatCancelTargetDestroy(other);
}

TEST_F(SocketTableTest, FullTableLeavesNewSocketsWorkingButUnregistered) {
    constexpr int32_t FIRST = 200000;
    const int free = SOCKET_TABLE_SIZE - NetRegisteredSocketCount();
    for (int i = 0; i < free; ++i) {
        NetRegisterSocket(FIRST + i, SOCKET_KIND_ACCEPTED);
    }
    NetRegisterSocket(FIRST + free, SOCKET_KIND_ACCEPTED);
    EXPECT_EQ(NetRegisteredSocketCount(), SOCKET_TABLE_SIZE);
    EXPECT_FALSE(NetLookupSocket(FIRST + free, nullptr));
    {
        SocketPair pair;
        EXPECT_FALSE(NetLookupSocket(pair.client, nullptr));
        SendText(pair.client, "still works");
        char buffer[32];
        EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 5, -1), 11);
    }
    for (int i = 0; i < free; ++i) {
        NetReleaseSocket(FIRST + i);
    }
    EXPECT_EQ(NetRegisteredSocketCount(), SOCKET_TABLE_SIZE - free);
}

TEST_F(SocketTableTest, CloseFreesTheEntryAndClearsTheVariable) {
    int32_t none = -1;
    EXPECT_EQ(TcpClose(&none), NET_OK);
    EXPECT_EQ(none, -1);

    SocketPair pair;
    SocketTableEntry entry{};
    ASSERT_TRUE(NetLookupSocket(pair.client, &entry));
    EXPECT_EQ(entry.kind, SOCKET_KIND_CONNECTED);
    ASSERT_TRUE(NetLookupSocket(pair.server, &entry));
    EXPECT_EQ(entry.kind, SOCKET_KIND_ACCEPTED);
    const int32_t client = pair.client;
    EXPECT_EQ(TcpClose(&pair.client), NET_OK);
    EXPECT_EQ(pair.client, -1);
    EXPECT_FALSE(NetLookupSocket(client, nullptr));
    char buffer[8];
    EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 5, -1), NET_CLOSED);
}

TEST_F(SocketTableTest, CloseWithUnreadInputStillEndsTheConnectionInOrder) {
    SocketPair pair;
    SendText(pair.server, "unread input");
    WaitArrived(pair.client);
    ASSERT_EQ(TcpClose(&pair.client), NET_OK);
    // Without the flush the close would reset the connection and the peer would see an error.
    char buffer[8];
    EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 5, -1), NET_CLOSED);
}

TEST_F(SocketTableTest, CleanupClosesOnlyTheSocketsOfItsOwnThread) {
    LoopbackListener listener;
    // The connecting side belongs to another thread, the accepted side to this one.
    auto connected = std::async(std::launch::async, [&] {
        int32_t s = -1;
        uint16_t port = listener.port;
        EXPECT_EQ(TcpConnect(&s, "127.0.0.1", nullptr, &port), NET_OK);
        return s;
    });
    int32_t accepted = -1;
    ASSERT_EQ(TcpAccept(&accepted, listener.socket, 5), NET_OK);
    ASSERT_EQ(connected.wait_for(5s), std::future_status::ready);
    int32_t other = connected.get();

    ASSERT_EQ(NetInit(), NET_OK);
    const int32_t starts = PlatSocketStartCount();
    EXPECT_EQ(NetCleanup(), NET_OK);
    EXPECT_EQ(PlatSocketStartCount(), starts - 1);
    EXPECT_FALSE(NetLookupSocket(accepted, nullptr));
    EXPECT_TRUE(NetLookupSocket(other, nullptr));
    char buffer[8];
    EXPECT_EQ(TcpRecv(other, buffer, sizeof buffer, 5, -1), NET_CLOSED);
    EXPECT_EQ(TcpClose(&other), NET_OK);
}

TEST_F(SocketTableTest, FlushDiscardsWhatHasArrived) {
    SocketPair pair;
    EXPECT_EQ(TcpFlush(pair.server), NET_ERROR);  // nothing pending
    const std::string junk(200, 'j');
    SendText(pair.client, junk);
    ASSERT_TRUE(WaitUntil([&] {
        uint32_t waiting = 0;
        return PlatBytesWaiting(pair.server, &waiting) == 0 && waiting == junk.size();
    }));
    DebugCapture capture;
    {
        TraceMaskScope mask(TRACE_DUMP);
        EXPECT_EQ(TcpFlush(pair.server), 1);
    }
    // Read in 64-byte chunks: 64, 64, 64 and 8.
    const std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), 3u * 4u + 1u);
    EXPECT_EQ(pieces.back(),
              "Flushed 6A 6A 6A 6A 6A 6A 6A 6A " + std::string(28, ' ') + "jjjjjjjj\r\n");
    EXPECT_EQ(TcpIsDataAvail(pair.server), 0);
    SendText(pair.client, "after");
    EXPECT_EQ(RestAfterClose(pair.server, &pair.client), "after");
}

TEST_F(SocketTableTest, FlushDiscardsUrgentData) {
    SocketPair pair;
    ASSERT_EQ(TcpSend(pair.client, "ab!", 3, 1, -1), NET_OK);
    WaitArrived(pair.server);
    ASSERT_TRUE(WaitUntil([&] { return TcpIsOOBDataAvail(pair.server) == 1; }));
    EXPECT_EQ(TcpFlush(pair.server), 1);
    EXPECT_EQ(TcpIsOOBDataAvail(pair.server), 0);
    EXPECT_EQ(TcpIsDataAvail(pair.server), 0);
}

TEST_F(SocketTableTest, FlushStopsAtWhatWasWaitingWhenItBegan) {
    SocketPair pair;
    constexpr size_t TOTAL = 16u << 20;
    constexpr size_t BLOCK = 64u << 10;
    // The sender keeps the connection full for much longer than the flush takes; a flush that
    // read until nothing is waiting would eat the whole stream.
    auto sender = std::async(std::launch::async, [&] {
        const std::string block(BLOCK, 's');
        for (size_t sent = 0; sent < TOTAL; sent += BLOCK) {
            if (TcpSend(pair.client, block.data(), BLOCK, 0, -1) != NET_OK) {
                return false;
            }
        }
        return TcpClose(&pair.client) == NET_OK;
    });
    WaitArrived(pair.server);
    EXPECT_EQ(TcpFlush(pair.server), 1);

    size_t rest = 0;
    std::vector<char> buffer(BLOCK);
    for (;;) {
        const int32_t n = TcpRecv(pair.server, buffer.data(), BLOCK, 10, -1);
        ASSERT_GE(n, 0);
        if (n == 0) {
            break;
        }
        rest += static_cast<size_t>(n);
    }
    ASSERT_EQ(sender.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(sender.get());
    EXPECT_GT(rest, 0u);
    EXPECT_LT(rest, TOTAL);
}

}  // namespace
