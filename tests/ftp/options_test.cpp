// Options of a session: their checks, passive data connections, the pace, the time-out and the
// server's last reply.

#include <cstring>

#include "data_connection.h"
#include "engine_fixture.h"
#include "test_os.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

TEST_F(EngineTest, OptionsOutsideTheirTableChangeNothing) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").expect("PWD").stall(3000ms));
    ASSERT_EQ(FtpSetOption("port", std::to_string(server.port()).c_str(), key), FTP_OK);
    ASSERT_EQ(FtpSetOption("TimeOut", "1", key), FTP_OK);  // names ignore ASCII case
    const std::pair<const char*, const char*> refused[] = {
        {"port", "0"},     {"port", "65536"}, {"port", "21x"},     {"port", ""},
        {"port", " 21"},   {"port", "-21"},   {"timeout", "0"},    {"timeout", "3601"},
        {"passive", "2"},  {"throttle", "9"}, {"timeout", "99999999999999999999"},
        {"no-such", "1"},  {"", "1"},
    };
    for (const auto& [name, value] : refused) {
        EXPECT_EQ(FtpSetOption(name, value, key), FTP_BAD_PARAMETERS) << name << "=" << value;
    }
    EXPECT_EQ(FtpSetOption(nullptr, "1", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpSetOption("port", nullptr, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpSetOption("port", "21", key + 100000), FTP_NOT_INITIALIZED);
    FtpBeginOperation(key);
    EXPECT_EQ(FtpSetOption("port", "21", key), FTP_SESSION_IN_USE);
    FtpEndOperation(key);

    // The port and the time-out that were taken still hold: connect on that port, and a reply
    // that never comes ends after one second.
    ASSERT_EQ(FtpConnect("127.0.0.1", key), FTP_OK);
    auto start = std::chrono::steady_clock::now();
    char text[64];
    EXPECT_EQ(FtpPWD(text, sizeof text, key), FTP_NO_ANSWER);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 2500ms);
}

TEST_F(EngineTest, PassiveDownloadUsesEpsvAndConnectsToTheControlPeer) {
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expect("EPSV")
                     .passiveListen("229 Entering Extended Passive Mode (|||{port}|)")
                     .command("RETR f", "150 go (5 bytes)")
                     .passiveAccept()
                     .dataSend("hello")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(FtpSetOption("passive", "1", key), FTP_OK);
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_OK) << server.report();
    EXPECT_EQ(ReadFile(dir.path("f")), "hello");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, PasvAfterEpsvIsRefusedIgnoresTheAddressInTheReply) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(100000));
    ScriptedServer server;
    // The 227 names another host; the client must still connect to the control peer. After
    // the refusal the client goes straight to PASV.
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .command("EPSV", "502 not implemented")
                     .expect("PASV")
                     .passiveListen("227 Entering Passive Mode (10,9,8,7,{p1},{p2})")
                     .command("STOR up", "150 go")
                     .passiveAccept()
                     .dataReceive()
                     .reply("226 stored")
                     .command("TYPE A", "200 ok")
                     .expect("PASV")
                     .passiveListen("227 Entering Passive Mode 10,9,8,7,{p1},{p2}")
                     .command("LIST", "150 here")
                     .passiveAccept()
                     .dataSend("up\r\n")
                     .dataClose()
                     .reply("226 listed"));
    ASSERT_EQ(FtpSetOption("passive", "1", key), FTP_OK);
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), FTP_OK);
    ASSERT_EQ(FtpDir(nullptr, dir.path("list").c_str(), 1, key), FTP_OK);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_TRUE(server.dataReceived() == PatternBytes(100000));
    EXPECT_EQ(ReadFile(dir.path("list")), "up\r\n");
}

TEST_F(EngineTest, EpsvPortThatCannotBeReachedGivesWayToPasvForTheRestOfTheConnection) {
    // A port bound but not listening: a connection to it is refused.
    const os::Socket dead = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(dead, os::kNoSocket);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(getsockname(dead, reinterpret_cast<sockaddr*>(&sa), &length), 0);
    const std::string deadPort = std::to_string(ntohs(sa.sin_port));
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .command("EPSV", "229 Entering Extended Passive Mode (|||" + deadPort + "|)")
                     .expect("PASV")
                     .passiveListen("227 Entering Passive Mode (10,9,8,7,{p1},{p2})")
                     .command("RETR f", "150 go")
                     .passiveAccept()
                     .dataSend("first")
                     .dataClose()
                     .reply("226 done")
                     .expect("PASV")
                     .passiveListen("227 Entering Passive Mode (127,0,0,1,{p1},{p2})")
                     .command("RETR g", "150 go")
                     .passiveAccept()
                     .dataSend("second")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(FtpSetOption("passive", "1", key), FTP_OK);
    ASSERT_EQ(FtpSetOption("keepalive", "7", key), FTP_OK);
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_OK) << server.report();
    EXPECT_EQ(FtpRecvFile("g", dir.path("g").c_str(), 'I', key), FTP_OK) << server.report();
    EXPECT_EQ(ReadFile(dir.path("f")), "first");
    EXPECT_EQ(ReadFile(dir.path("g")), "second");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    os::CloseSocket(dead);

    // The keepalive option also has the system probe the control connection at its interval.
    int on = 0;
    int idle = 0;
    const auto control = static_cast<os::Socket>(session->connection.controlSocket.load());
    ASSERT_TRUE(os::ReadKeepAlive(control, &on, &idle));
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 7);
}

TEST_F(EngineTest, PassiveTransferOnAResetControlConnectionReportsTheFailedCommand) {
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").command("TYPE I", "200 ok").resetControl());
    ASSERT_EQ(FtpSetOption("passive", "1", key), FTP_OK);
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpSelectType('I', key), FTP_OK);
    ASSERT_TRUE(server.waitDone()) << server.report();
    // The command that found the connection gone says so, not the data connection.
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_SEND_FAILED);
    EXPECT_EQ(FtpPWD(nullptr, 0, key), FTP_NOT_CONNECTED);
}

TEST_F(EngineTest, PassiveRepliesAreParsedStrictly) {
    uint16_t port = 0;
    EXPECT_TRUE(FtpParseEpsvPort("229 ok (|||6446|)", &port));
    EXPECT_EQ(port, 6446);
    EXPECT_TRUE(FtpParseEpsvPort("229 ok (!!!1!)", &port));
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(FtpParsePasvPort("227 ok (1,2,3,4,200,10).", &port));
    EXPECT_EQ(port, 200 * 256 + 10);
    EXPECT_TRUE(FtpParsePasvPort("227 =1,2,3,4,0,99", &port));
    EXPECT_EQ(port, 99);
    for (const char* bad : {"229 ok", "229 ok (|||0|)", "229 ok (|||65536|)", "229 ok (||6446|)",
                            "229 ok (|||6446)"}) {
        EXPECT_FALSE(FtpParseEpsvPort(bad, &port)) << bad;
    }
    for (const char* bad : {"227 ok", "227 ok (1,2,3,4,5)", "227 ok (1,2,3,4,256,1)",
                            "227 ok (1,2,3,4,0,0)", "22"}) {
        EXPECT_FALSE(FtpParsePasvPort(bad, &port)) << bad;
    }
    PlatAddress v6;
    ASSERT_EQ(PlatParseAddress("2001:db8::7", &v6), 0);
    char line[96];
    ASSERT_TRUE(FtpFormatEprt(line, sizeof line, v6, 65535));
    EXPECT_STREQ(line, "EPRT |2|2001:db8::7|65535|");
    EXPECT_FALSE(FtpFormatEprt(line, 20, v6, 65535));
    EXPECT_FALSE(FtpFormatEprt(line, sizeof line, PlatAddress{}, 1));
}

TEST_F(EngineTest, FullSpeedSkipsThePausesAndCountsExactly) {
    TempDir dir;
    const std::string bytes = PatternBytes(300000);
    session->pauseMilliseconds = 1000;  // throttled, this download would pause 7 times
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("RETR f", "150 go")
                     .dataConnect()
                     .dataSend(bytes, {.chunkSize = 10000})
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(FtpSetOption("throttle", "0", key), FTP_OK);
    ASSERT_EQ(Connect(server), FTP_OK);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(ReadFile(dir.path("f")) == bytes);
    EXPECT_EQ(FtpBytesTransferred(key), 300000);
}

TEST_F(EngineTest, WithTlsAskedForNoLoginCommandEverGoesOutInClear) {
    struct Case {
        const char* what;
        const char* tls;
        Scenario scenario;
        int32_t expected;
    };
    Case cases[] = {
        {"AUTH refused", "1", Scenario().reply("220 ready").command("AUTH TLS", "500 what?"),
         FTP_TLS_REFUSED},
        {"handshake fails", "1",
         Scenario().reply("220 ready").command("AUTH TLS", "234 go ahead").send("220 not TLS\r\n"),
         FTP_TLS_HANDSHAKE_FAILED},
        {"implicit, no TLS server", "2", Scenario().reply("220 plain server"),
         FTP_TLS_HANDSHAKE_FAILED},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        server.start(c.scenario.stallUntilClientCloses());
        ASSERT_EQ(FtpSetOption("tls", c.tls, key), FTP_OK);
        ASSERT_EQ(FtpSetOption("port", std::to_string(server.port()).c_str(), key), FTP_OK);
        EXPECT_EQ(FtpLogin("127.0.0.1", "anna", "secret", key), c.expected);
        EXPECT_EQ(session->connection.controlSocket.load(), -1);
        EXPECT_EQ(FtpPWD(nullptr, 0, key), FTP_NOT_CONNECTED);
        ASSERT_TRUE(server.waitDone()) << server.report();
        const std::string wire = server.controlBytes();
        EXPECT_EQ(wire.find("USER"), std::string::npos) << server.report();
        EXPECT_EQ(wire.find("PASS"), std::string::npos) << server.report();
    }
}

TEST_F(EngineTest, LastReplyKeepsTheServersOwnWords) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("CWD pub", "250 ok")
                     .command("DELE gone", "550-No such file\r\n550 or directory"));
    char text[FTP_REPLY_SIZE];
    EXPECT_EQ(FtpLastReply(text, sizeof text, key), FTP_OK);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpCWD("pub", key), FTP_OK);
    FtpLastReply(text, sizeof text, key);
    EXPECT_STREQ(text, "250 ok");
    EXPECT_EQ(FtpDeleteFile("gone", key), FTP_ACTION_NOT_TAKEN);
    FtpLastReply(text, sizeof text, key);
    EXPECT_STREQ(text, "550-No such file\n550 or directory");
    EXPECT_EQ(FtpLastReply(text, 4, key), FTP_OK);
    EXPECT_STREQ(text, "550");
}

TEST_F(EngineTest, TheTraceOptionShowsCommandsAndRepliesWithThePasswordMasked) {
    static std::string captured;
    captured.clear();
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 password")
                     .command("PASS hunter3", "230 in")
                     .command(" pass hunter6", "202 already"));
    ASSERT_EQ(FtpSetOption("trace", "1", key), FTP_OK);
    PlatSetDebugSink([](const char* text, void*) { captured += text; }, nullptr);
    ASSERT_EQ(Connect(server), FTP_OK);
    char reply[256];
    EXPECT_EQ(FtpCommand("USER u", reply, sizeof reply, key), 331);
    EXPECT_EQ(FtpCommand("PASS hunter3", reply, sizeof reply, key), 230);
    EXPECT_EQ(FtpCommand(" pass hunter6", reply, sizeof reply, key), 202);
    PlatSetDebugSink(nullptr, nullptr);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_NE(captured.find("USER u\r\n331 password\r\nPASS ****\r\n230 in\r\n"), std::string::npos)
        << captured;
    EXPECT_EQ(captured.find("hunter"), std::string::npos) << captured;
}

}  // namespace
}  // namespace ktest
