// Sockets through the platform layer: data both ways, end of stream, waits and their time-outs,
// refused connections, urgent data in Winsock's meaning, blocking sends, name look-ups and the
// counted start of the socket library.

#include <algorithm>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "platform_fixture.h"

namespace {

using namespace plattest;

class SocketsTest : public PlatformTest {};

TEST_F(SocketsTest, DataArrivesWholeAndThePeerIsTheOtherEnd) {
    Pair pair;
    ASSERT_EQ(PlatSend(pair.client, "hello", 5, 0), 5);
    ASSERT_EQ(PlatWaitReadable(pair.server, 5000), 1);
    ASSERT_TRUE(WaitUntil([&] {
        uint32_t count = 0;
        return PlatBytesWaiting(pair.server, &count) == 0 && count == 5;
    }));
    char buffer[16] = {};
    EXPECT_EQ(PlatRecv(pair.server, buffer, sizeof buffer, PLAT_MSG_PEEK), 5);
    EXPECT_EQ(PlatRecv(pair.server, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    uint32_t clientAddr = 0, peerAddr = 0;
    uint16_t clientPort = 0, peerPort = 0;
    ASSERT_EQ(PlatGetSockName(pair.client, &clientAddr, &clientPort), 0);
    ASSERT_EQ(PlatGetPeerName(pair.server, &peerAddr, &peerPort), 0);
    EXPECT_EQ(peerAddr, PlatInetAddr("127.0.0.1"));
    EXPECT_EQ(peerAddr, clientAddr);
    EXPECT_EQ(peerPort, clientPort);
}

TEST_F(SocketsTest, EndOfStreamWakesAWaitAndReadsAsZero) {
    Pair pair;
    auto waiting =
        std::async(std::launch::async, [&] { return PlatWaitReadable(pair.server, 5000); });
    PlatSocketClose(pair.client);
    pair.client = PLAT_NO_SOCKET;
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1);
    char c;
    EXPECT_EQ(PlatRecv(pair.server, &c, 1, 0), 0);
}

TEST_F(SocketsTest, WaitsEndAfterTheirTimeAndZeroOnlyPolls) {
    Pair pair;
    auto start = Clock::now();
    EXPECT_EQ(PlatWaitReadable(pair.server, 0), 0);
    EXPECT_LT(MillisecondsSince(start), 100.0);

    start = Clock::now();
    EXPECT_EQ(PlatWaitReadable(pair.server, 300), 0);
    const double waited = MillisecondsSince(start);
    EXPECT_GE(waited, 250.0);
    EXPECT_LT(waited, 2000.0);

    // An idle connected socket can take data at once.
    EXPECT_EQ(PlatWaitWritable(pair.client, 1000), 1);

    start = Clock::now();
    EXPECT_EQ(PlatPause(100), 0);
    EXPECT_GE(MillisecondsSince(start), 80.0);
}

// Listening ports chosen without the system's search: never one that another listener holds,
// and each takes its own connections.
TEST_F(SocketsTest, ListeningPortsAreFreeAndDistinct) {
    auto makeListener = [](uint16_t port) {
        PlatSocket s = PlatSocketCreate();
        EXPECT_EQ(PlatSetReuseAddr(s, true), 0);
        const int32_t bound = port == 0 ? PlatBindListeningPort(s, 0) : PlatBind(s, 0, port);
        if (bound != 0 || PlatListen(s, 4) != 0) {
            PlatSocketClose(s);
            return PLAT_NO_SOCKET;
        }
        return s;
    };
    auto portOf = [](PlatSocket s) {
        uint16_t port = 0;
        EXPECT_EQ(PlatGetSockName(s, nullptr, &port), 0);
        return HostOrder(port);
    };
    std::vector<PlatSocket> listeners;
    listeners.push_back(makeListener(0));
    ASSERT_NE(listeners.back(), PLAT_NO_SOCKET);
    // Another listener on the port after it, where the next choice goes first where ports are
    // taken in turn: the choice must move on, not fail.
    const uint16_t taken = static_cast<uint16_t>(portOf(listeners.back()) + 1);
    PlatSocket other = makeListener(HostOrder(taken));  // the swap is its own inverse
    for (int i = 0; i < 20; ++i) {
        listeners.push_back(makeListener(0));
        ASSERT_NE(listeners.back(), PLAT_NO_SOCKET) << PlatLastSocketError();
    }
    std::vector<uint16_t> ports;
    for (PlatSocket l : listeners) {
        ports.push_back(portOf(l));
        EXPECT_NE(ports.back(), 0);
        if (other != PLAT_NO_SOCKET) {
            EXPECT_NE(ports.back(), taken);
        }
    }
    std::vector<uint16_t> sorted = ports;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    for (PlatSocket l : listeners) {
        uint16_t port = 0;
        ASSERT_EQ(PlatGetSockName(l, nullptr, &port), 0);
        PlatSocket c = PlatSocketCreate();
        EXPECT_EQ(PlatConnect(c, PlatInetAddr("127.0.0.1"), port), 0);
        PlatSocket a = PlatAccept(l, nullptr, nullptr);
        EXPECT_NE(a, PLAT_NO_SOCKET);
        PlatSocketClose(a);
        PlatSocketClose(c);
        PlatSocketClose(l);
    }
    if (other != PLAT_NO_SOCKET) {
        PlatSocketClose(other);
    }
}

TEST_F(SocketsTest, ConnectToAClosedPortIsRefused) {
    Listener listener;
    const uint16_t port = listener.port;
    listener.Close();
    PlatSocket s = PlatSocketCreate();
    ASSERT_NE(s, PLAT_NO_SOCKET);
    EXPECT_EQ(PlatConnect(s, PlatInetAddr("127.0.0.1"), port), -1);
    EXPECT_EQ(PlatLastSocketError(), PLAT_WSAECONNREFUSED);
    EXPECT_EQ(PlatSocketClose(s), 0);
}

TEST_F(SocketsTest, UrgentByteIsReportedReadOutOfBandAndNotInline) {
    Pair pair;
    bool noUrgentData = false;
    ASSERT_EQ(PlatAtMark(pair.server, &noUrgentData), 0);
    EXPECT_TRUE(noUrgentData);
    // With nothing urgent waiting, an out-of-band receive fails at once instead of blocking.
    char c = 0;
    EXPECT_EQ(PlatRecv(pair.server, &c, 1, PLAT_MSG_OOB), -1);

    ASSERT_EQ(PlatSend(pair.client, "ab", 2, 0), 2);
    ASSERT_EQ(PlatSend(pair.client, "U", 1, PLAT_MSG_OOB), 1);
    ASSERT_TRUE(WaitUntil([&] {
        return PlatAtMark(pair.server, &noUrgentData) == 0 && !noUrgentData;
    })) << "the urgent byte was never reported";

    EXPECT_EQ(PlatRecv(pair.server, &c, 1, PLAT_MSG_OOB), 1);
    EXPECT_EQ(c, 'U');
    ASSERT_EQ(PlatAtMark(pair.server, &noUrgentData), 0);
    EXPECT_TRUE(noUrgentData);
    char normal[8] = {};
    EXPECT_EQ(PlatRecv(pair.server, normal, sizeof normal, 0), 2);
    EXPECT_EQ(std::string(normal, 2), "ab");
}

TEST_F(SocketsTest, SendsBlockWhileThePeerIsSlowAndLoseNothing) {
    Pair pair;
    // Far more than both socket buffers hold, so the sender has to wait for the reader.
    std::vector<char> data(4 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    }
    auto sender = std::async(std::launch::async, [&] {
        size_t sent = 0;
        while (sent < data.size()) {
            const int32_t n = PlatSend(pair.client, data.data() + sent,
                                       static_cast<int32_t>(data.size() - sent), 0);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    });
    std::vector<char> received;
    received.reserve(data.size());
    char chunk[65536];
    while (received.size() < data.size()) {
        ASSERT_EQ(PlatWaitReadable(pair.server, 5000), 1);
        const int32_t n = PlatRecv(pair.server, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0) << PlatLastSocketError();
        received.insert(received.end(), chunk, chunk + n);
    }
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(sender.get());
    EXPECT_TRUE(received == data);
}

TEST_F(SocketsTest, LingeringCloseWithUnsentDataStillDeliversIt) {
    Pair pair;
    ASSERT_EQ(PlatSetLinger(pair.client, true, 5), 0);
    std::vector<char> data(256 * 1024, 'k');
    auto sender = std::async(std::launch::async, [&] {
        size_t sent = 0;
        while (sent < data.size()) {
            const int32_t n = PlatSend(pair.client, data.data() + sent,
                                       static_cast<int32_t>(data.size() - sent), 0);
            if (n <= 0) {
                return -1;
            }
            sent += static_cast<size_t>(n);
        }
        const int32_t closed = PlatSocketClose(pair.client);
        pair.client = PLAT_NO_SOCKET;
        return closed;
    });
    size_t total = 0;
    char chunk[65536];
    for (;;) {
        ASSERT_EQ(PlatWaitReadable(pair.server, 5000), 1);
        const int32_t n = PlatRecv(pair.server, chunk, sizeof chunk, 0);
        ASSERT_GE(n, 0) << PlatLastSocketError();
        if (n == 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    EXPECT_EQ(total, data.size());
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sender.get(), 0);
}

TEST_F(SocketsTest, NamesAddressesAndServicesResolve) {
    uint16_t port = 0;
    ASSERT_EQ(PlatLookupService("ftp", &port), 0);
    EXPECT_EQ(HostOrder(port), 21);
    EXPECT_EQ(PlatLookupService("no-such-service", &port), -1);

    const uint32_t loopback = PlatInetAddr("127.0.0.1");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&loopback);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[3], 1);
    EXPECT_EQ(PlatInetAddr("no such host!"), PLAT_INADDR_NONE);
    EXPECT_EQ(PlatInetAddr(""), PLAT_INADDR_NONE);

    char text[16];
    PlatInetNtoa(PlatInetAddr("127.0.0.20"), text);
    EXPECT_STREQ(text, "127.0.0.20");

    uint32_t addr = 0;
    ASSERT_EQ(PlatLookupHost("localhost", &addr), 0);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&addr)[0], 127);
}

TEST(SocketStartupTest, StartsAreCountedAndACleanupTooManyFails) {
    const int32_t before = PlatSocketStartCount();
    ASSERT_EQ(PlatSocketStartup(), 0);
    ASSERT_EQ(PlatSocketStartup(), 0);
    EXPECT_EQ(PlatSocketStartCount(), before + 2);
    EXPECT_EQ(PlatSocketCleanup(), 0);
    EXPECT_EQ(PlatSocketCleanup(), 0);
    EXPECT_EQ(PlatSocketStartCount(), before);
    if (before == 0) {
        EXPECT_EQ(PlatSocketCleanup(), -1);
        EXPECT_EQ(PlatLastSocketError(), PLAT_WSANOTINITIALISED);
    }
}

}  // namespace
