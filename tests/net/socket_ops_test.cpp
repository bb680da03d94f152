// Connect, listen, accept, send and receive on real loopback sockets: results, time-outs, ports
// and what the peer sees.

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "net_test_helpers.h"
#include "socket_steps.h"

namespace {

using namespace nettest;

class SocketOpsTest : public NetTest {};

TEST_F(SocketOpsTest, ConnectToClosedPortFailsAndStillReportsThePort) {
    LoopbackListener listener;
    const uint16_t closedPort = listener.port;
    listener.Close();
    const int registered = NetRegisteredSocketCount();
    int32_t s = 1234;
    uint16_t port = closedPort;
    EXPECT_EQ(TcpConnect(&s, "127.0.0.1", nullptr, &port), NET_CONNECT_FAILED);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(port, closedPort);
    EXPECT_EQ(NetRegisteredSocketCount(), registered);
}

TEST_F(SocketOpsTest, MissingPortIsRefusedBeforeTheHostIsResolved) {
    int32_t s = 1234;
    uint16_t zero = 0;
    // The host text would not resolve: the port is checked first.
    EXPECT_EQ(TcpConnect(&s, "no such host!", nullptr, &zero), NET_BAD_PORT);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(TcpConnect(&s, "no such host!", nullptr, nullptr), NET_BAD_PORT);
    EXPECT_EQ(TcpConnect(&s, "no such host!", "no-such-service", &zero), NET_BAD_PORT);
    uint16_t port = 21;
    EXPECT_EQ(TcpConnect(&s, "no such host!", nullptr, &port), NET_HOST_UNKNOWN);
    EXPECT_EQ(s, -1);
}

TEST_F(SocketOpsTest, Ipv6LiteralsConnectAndEveryAddressIsTriedInTurn) {
    int32_t listening = -1;
    uint16_t port = 0;
    ASSERT_EQ(TcpGetListenSocket(&listening, nullptr, &port, 4, PLAT_AF_INET6), NET_OK);
    PlatAddress loopback6;
    ASSERT_EQ(PlatParseAddress("::1", &loopback6), 0);
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        int32_t client = -1;
        int32_t server = -1;
        uint16_t p = port;
        ASSERT_EQ(TcpConnect(&client, host, nullptr, &p, 5), NET_OK);
        ASSERT_EQ(TcpAccept(&server, listening, 5), NET_OK);
        PlatAddress peer;
        ASSERT_EQ(PlatGetPeerAddress(server, &peer, nullptr), 0);
        EXPECT_TRUE(PlatSameAddress(peer, loopback6));
        SendText(client, "six");
        char text[8] = {};
        EXPECT_EQ(TcpRecv(server, text, sizeof text, 5, -1), 3);
        EXPECT_STREQ(text, "six");
        TcpClose(&client);
        TcpClose(&server);
    }
    TcpCloseWithoutPause(&listening);
    for (const char* bad : {"[127.0.0.1]", "[::1", "[]", "::1]"}) {
        int32_t s = -1;
        uint16_t p = port;
        EXPECT_EQ(TcpConnect(&s, bad, nullptr, &p, 2), NET_HOST_UNKNOWN) << bad;
    }

    // Nothing listens on ::1 at the IPv4 listener's port: that attempt is refused and the next
    // address gets its turn.
    LoopbackListener listener;
    PlatAddress both[2];
    ASSERT_EQ(PlatParseAddress("::1", &both[0]), 0);
    ASSERT_EQ(PlatParseAddress("127.0.0.1", &both[1]), 0);
    uint16_t networkPort = 0;
    ASSERT_EQ(PlatGetSockName(listener.socket, nullptr, &networkPort), 0);
    int32_t s = -1;
    ASSERT_EQ(NetConnectAny(&s, both, 2, networkPort, 5), NET_OK);
    PlatAddress peer;
    ASSERT_EQ(PlatGetPeerAddress(s, &peer, nullptr), 0);
    EXPECT_TRUE(PlatSameAddress(peer, both[1]));
    TcpClose(&s);
    listener.Close();
    EXPECT_EQ(NetConnectAny(&s, both, 2, networkPort, 5), NET_CONNECT_FAILED);
    EXPECT_EQ(s, -1);
}

TEST_F(SocketOpsTest, NameLookupGivesAddressesAndCanBeCancelled) {
    PlatAddress found[PLAT_MAX_ADDRESSES];
    const int32_t count = PlatResolveHost("localhost", found, PLAT_MAX_ADDRESSES, 10000);
    ASSERT_GE(count, 1);
    char text[PLAT_ADDRESS_TEXT_SIZE];
    ASSERT_TRUE(PlatFormatAddress(found[0], text, sizeof text));
    EXPECT_TRUE(std::string(text) == "127.0.0.1" || std::string(text) == "::1") << text;
    EXPECT_EQ(PlatResolveHost("no such host!", found, PLAT_MAX_ADDRESSES, 10000), -1);

    PlatCancelTarget* target = PlatCancelTargetCreate();
    ASSERT_NE(target, nullptr);
    {
        PlatCancelScope scope(target);
        PlatCancelTargetRaise(target);
        EXPECT_EQ(PlatResolveHost("localhost", found, PLAT_MAX_ADDRESSES, 10000), -1);
        EXPECT_EQ(PlatLastSocketError(), PLAT_WSAEINTR);
        int32_t s = -1;
        uint16_t port = 21;
        EXPECT_EQ(TcpConnect(&s, "localhost", nullptr, &port, 5), NET_CANCELLED);
        PlatCancelTargetLower(target);
    }
    PlatCancelTargetDestroy(target);
}

TEST_F(SocketOpsTest, ServiceNameGivesItsPortAndUnknownServiceFallsBackToTheNumber) {
    int32_t s = -1;
    uint16_t port = 0;
    const int32_t result = TcpConnect(&s, "127.0.0.1", "ftp", &port);
    EXPECT_TRUE(result == NET_OK || result == NET_CONNECT_FAILED) << result;
    EXPECT_EQ(port, 21);
    TcpClose(&s);

    LoopbackListener listener;
    port = listener.port;
    ASSERT_EQ(TcpConnect(&s, "localhost", "no-such-service", &port), NET_OK);
    EXPECT_EQ(port, listener.port);
    EXPECT_NE(s, -1);
}

TEST_F(SocketOpsTest, ListenOnPortZeroReportsTheChosenPortAndAccepts) {
    int32_t listening = -1;
    uint16_t port = 0;
    ASSERT_EQ(TcpGetListenSocket(&listening, nullptr, &port, 1), NET_OK);
    EXPECT_NE(port, 0);
    SocketTableEntry entry{};
    ASSERT_TRUE(NetLookupSocket(listening, &entry));
    EXPECT_EQ(entry.kind, SOCKET_KIND_LISTEN);

    int32_t client = -1;
    uint16_t target = port;
    ASSERT_EQ(TcpConnect(&client, "127.0.0.1", nullptr, &target), NET_OK);
    int32_t accepted = -1;
    ASSERT_EQ(TcpAccept(&accepted, listening, 5), NET_OK);
    SendText(client, "x");
    char c = 0;
    EXPECT_EQ(TcpRecv(accepted, &c, 1, 5, -1), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(TcpClose(&listening), NET_OK);
    EXPECT_EQ(TcpClose(&accepted), NET_OK);
    EXPECT_EQ(TcpClose(&client), NET_OK);
}

TEST_F(SocketOpsTest, AcceptTimesOutAfterOneSecondAndZeroWaitsForAClient) {
    LoopbackListener listener;
    int32_t accepted = -1;
    const auto start = Clock::now();
    EXPECT_EQ(TcpAccept(&accepted, listener.socket, 1), NET_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(TcpAccept(&accepted, -1, 1), NET_ERROR);

    auto waiting = std::async(std::launch::async, [&] {
        int32_t s = -1;
        const int32_t result = TcpAccept(&s, listener.socket, 0);
        return std::make_pair(result, s);
    });
    int32_t client = -1;
    uint16_t port = listener.port;
    ASSERT_EQ(TcpConnect(&client, "127.0.0.1", nullptr, &port), NET_OK);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    auto [result, s] = waiting.get();
    EXPECT_EQ(result, NET_OK);
    EXPECT_EQ(TcpClose(&s), NET_OK);
    EXPECT_EQ(TcpClose(&client), NET_OK);
}

TEST_F(SocketOpsTest, AcceptIntoUnwritableVariableClosesTheNewConnection) {
    LoopbackListener listener;
    int32_t client = -1;
    uint16_t port = listener.port;
    ASSERT_EQ(TcpConnect(&client, "127.0.0.1", nullptr, &port), NET_OK);
    const int registered = NetRegisteredSocketCount();
    EXPECT_EQ(TcpAccept(nullptr, listener.socket, 5), NET_BAD_POINTER);
    EXPECT_EQ(NetRegisteredSocketCount(), registered);
    char c;
    EXPECT_EQ(TcpRecv(client, &c, 1, 5, -1), NET_CLOSED);
    TcpClose(&client);
}

TEST_F(SocketOpsTest, ReceiveTimeOuts) {
    SocketPair pair;
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, -1, -1), NET_TIMEOUT);
    EXPECT_LT(SecondsSince(start), 0.5);

    start = Clock::now();
    EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 1, -1), NET_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);

    // 0 waits without limit: until the peer sends.
    auto receiving = std::async(std::launch::async,
                                [&] { return TcpRecv(pair.server, buffer, sizeof buffer, 0, -1); });
    SendText(pair.client, "late");
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(receiving.get(), 4);
    EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST_F(SocketOpsTest, ReceiveTakesAtMostTheBufferSizeAndSeesTheClose) {
    SocketPair pair;
    SendText(pair.client, "AB");
    WaitArrived(pair.server);
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(TcpRecv(pair.server, buffer, 1, 5, -1), 1);
    EXPECT_EQ(std::string(buffer, 4), "A---");
    EXPECT_EQ(TcpRecv(pair.server, buffer, 4, 5, -1), 1);
    EXPECT_EQ(std::string(buffer, 4), "B---");
    EXPECT_EQ(TcpRecv(pair.server, nullptr, 0, -1, -1), NET_TIMEOUT);
    EXPECT_EQ(TcpClose(&pair.client), NET_OK);
    EXPECT_EQ(TcpRecv(pair.server, buffer, 4, 5, -1), NET_CLOSED);
    EXPECT_EQ(TcpRecv(-1, buffer, 4, 5, -1), NET_ERROR);
}

TEST_F(SocketOpsTest, LogFileGetsEveryByteMovedInTrafficOrder) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kestrel_net_log_" + std::to_string(PlatCurrentThreadId()) + ".bin"))
                                 .string();
    const int32_t log = PlatFileCreate(path.c_str());
    ASSERT_NE(log, -1);
    {
        SocketPair pair;
        ASSERT_EQ(TcpSend(pair.client, "USER x\r\n", 8, 0, log), NET_OK);
        char buffer[32];
        ASSERT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 5, -1), 8);
        SendText(pair.server, "331 Pass");
        ASSERT_EQ(TcpRecv(pair.client, buffer, sizeof buffer, 5, log), 8);
        ASSERT_EQ(TnSend(pair.client, "PASS y", 0, log), NET_OK);
    }
    ASSERT_EQ(PlatFileClose(log), 0);
    const int32_t file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    ASSERT_NE(file, -1);
    char content[64];
    const int32_t n = PlatFileRead(file, content, sizeof content);
    PlatFileClose(file);
    PlatFileDelete(path.c_str());
    EXPECT_EQ(std::string(content, static_cast<size_t>(n > 0 ? n : 0)),
              "USER x\r\n331 PassPASS y\r\n");
}

TEST_F(SocketOpsTest, SendToResetPeerFailsWithoutEndingTheProcess) {
    SocketPair pair;
    // A zero linger makes the close reset the connection.
    PlatSetLinger(pair.server, true, 0);
    NetReleaseSocket(pair.server);
    ASSERT_EQ(PlatSocketClose(pair.server), 0);
    pair.server = -1;
    WaitArrived(pair.client);
    EXPECT_EQ(TcpSend(pair.client, "data", 4, 0, -1), NET_ERROR);
    EXPECT_EQ(TnSend(pair.client, "NOOP", 0, -1), NET_ERROR);
}

TEST_F(SocketOpsTest, SendAfterOrderlyCloseEndsInErrorNotSignal) {
    SocketPair pair;
    ASSERT_EQ(TcpClose(&pair.server), NET_OK);
    WaitArrived(pair.client);
    // The first sends may still be taken; the peer answers them with a reset, and the send after
    // that fails. The process must survive it (no SIGPIPE).
    int32_t result = NET_OK;
    for (int i = 0; i < 100 && result == NET_OK; ++i) {
        result = TcpSend(pair.client, "data", 4, 0, -1);
        if (result == NET_OK) {
            PlatWaitReadable(pair.client, 100);
        }
    }
    EXPECT_EQ(result, NET_ERROR);
}

TEST_F(SocketOpsTest, DescriptorsAboveTheSelectLimitWaitAndReceive) {
    // Occupy the low descriptor numbers so that the pair gets numbers above 1024.
    std::vector<int32_t> fillers;
    while (fillers.empty() || fillers.back() < 1030) {
        const int32_t s = PlatSocketCreate();
        if (s == -1) {
            break;
        }
        fillers.push_back(s);
    }
    const bool high = !fillers.empty() && fillers.back() >= 1030;
    {
        SocketPair pair;
        for (int32_t s : fillers) {
            PlatSocketClose(s);
        }
        if (!high) {
            GTEST_SKIP() << "descriptor limit too low for numbers above 1024";
        }
        ASSERT_GT(pair.server, 1024);
        char buffer[16];
        EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, -1, -1), NET_TIMEOUT);
        SendText(pair.client, "213 7\r\n");
        EXPECT_EQ(TnReadAnswerCode(pair.server, buffer, sizeof buffer, 5, -1), 213);
        const auto start = Clock::now();
        EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 1, -1), NET_TIMEOUT);
        EXPECT_GE(SecondsSince(start), 0.9);
    }
}

TEST_F(SocketOpsTest, WaitWritable) {
    SocketPair pair;
    EXPECT_EQ(TcpWaitWritable(pair.client, 1), NET_OK);
    EXPECT_EQ(TcpWaitWritable(pair.client, -1), NET_OK);
    EXPECT_EQ(TcpWaitWritable(-1, 1), NET_ERROR);
}

TEST_F(SocketOpsTest, BoundedSendEndsWhenThePeerStopsReading) {
    SocketPair pair;
    // The peer reads nothing: once both buffers are full, a wait for room runs out.
    const std::string block(1 << 20, 'k');
    int32_t result = NET_OK;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 256 && result == NET_OK; ++i) {
        result = TcpSendWithin(pair.client, block.data(), static_cast<uint32_t>(block.size()), 0,
                               -1, 1);
    }
    EXPECT_EQ(result, NET_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // With room again, the same call sends.
    EXPECT_EQ(TcpSendWithin(pair.server, "ok", 2, 0, -1, 1), NET_OK);
}

TEST_F(SocketOpsTest, NameAndDottedAddressResolve) {
    const uint32_t dotted = NetGetIPAddr("127.0.0.1");
    unsigned char bytes[4];
    memcpy(bytes, &dotted, sizeof bytes);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 1);
    const uint32_t named = NetGetIPAddr("localhost");
    memcpy(bytes, &named, sizeof bytes);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(NetGetIPAddr("no such host!"), PLAT_INADDR_NONE);
    EXPECT_EQ(NetGetIPAddr(nullptr), PLAT_INADDR_NONE);
}

TEST_F(SocketOpsTest, NumberParsingWrapsInThirtyTwoBits) {
    struct Case {
        const char* text;
        int32_t value;
    };
    const Case cases[] = {
        {"226 Transfer complete", 226},
        {"550-Not found", 550},
        {"Hello 220", 0},
        {"", 0},
        {" 42", 0},
        {"-42", 0},
        {"12\xB3", 12},  // a byte above 0x7F ends the number
        {"\xB2", 0},
        {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},
        {"4294967297", 1},
        {"99999999999", 1215752191},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NetAtoi(c.text), c.value) << c.text;
    }
    EXPECT_EQ(NetAtoi(nullptr), 0);
}

}  // namespace
