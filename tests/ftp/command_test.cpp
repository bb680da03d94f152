// The command exchange: what goes on the wire for each command and how replies map to results.

#include <cstring>
#include <vector>

#include "engine_fixture.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

struct ReplyCase {
    int32_t entry;
    const char* argument;
    const char* line;   // what the client must send
    const char* reply;  // what the server answers
    int32_t expected;
};

// One connection plays every case in turn, so the whole table runs in one scenario.
const std::vector<ReplyCase> kReplyCases = {
    {1, "anna", "USER anna", "331 password please", 1},
    {1, "anna", "USER anna", "230 welcome", 0},
    {1, "anna", "USER anna", "530 not listed for USER", 3001},
    {2, "pw", "PASS pw", "530 rejected", 1009},
    {2, "pw", "PASS pw", "332 need account", 2},
    {2, "pw", "PASS pw", "503 bad sequence", 3003},
    {3, "acct", "ACCT acct", "202 superfluous", 0},
    {3, "acct", "ACCT acct", "530 no", 1009},
    {5, nullptr, "HELP", "214 help text", 0},
    {6, "RETR", "HELP RETR", "504 no such topic", 3003},
    {7, "f.txt", "DELE f.txt", "450 busy", 1014},
    {7, "f.txt", "DELE f.txt", "550 no such file", 1008},
    {8, "pub", "CWD pub", "250 ok", 0},
    {8, "pub", "CWD pub", "150 a preliminary reply is read past\r\n250 to the final one", 0},
    {9, nullptr, "CDUP", "502 not implemented", 3003},
    {10, "d", "MKD d", "521 exists", 1008},
    {10, "d", "MKD d", "227 odd but accepted", 0},
    {11, "d", "RMD d", "257 removed", 0},
    {11, "d", "RMD d", "450 busy", 1014},
    {12, nullptr, "PWD", "550 no", 1008},
    {13, "I", "TYPE I", "504 no", 3003},
    {13, "I", "TYPE I", "530 not logged in", 3002},
    {14, "a", "RNFR a", "550 no", 1010},
    {14, "a", "RNFR a", "350 go on", 0},
    {15, "b", "RNTO b", "553 bad name", 1008},
    {16, nullptr, "SYST", "215 UNIX Type: L8", 0},
    {17, nullptr, "NOOP", "500 what", 3003},
    {18, "100", "REST 100", "350 restarting", 3},
    {18, "100", "REST 100", "502 no", 3003},
    {4, nullptr, "QUIT", "221 bye", 0},
    // The server closes after 421: nothing more is sent, and later commands are not connected.
    {1, "anna", "USER anna", "421 closing", 1008},
    {8, "pub", nullptr, nullptr, FTP_NOT_CONNECTED},
};

TEST_F(EngineTest, EveryTableEntryMapsItsRepliesAndSendsItsLine) {
    ScriptedServer server;
    Scenario scenario;
    scenario.reply("220 ready");
    for (const ReplyCase& c : kReplyCases) {
        if (c.line != nullptr) {
            scenario.command(c.line, c.reply);
        }
    }
    server.start(scenario);
    ASSERT_EQ(Connect(server), FTP_OK);
    for (const ReplyCase& c : kReplyCases) {
        EXPECT_EQ(FtpExecCommand(c.entry, c.argument, key), c.expected) << c.line << " / " << c.reply;
    }
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
    EXPECT_NE(server.controlBytes().find("CWD pub\r\n"), std::string::npos);
}

// A 1xx greeting is preliminary: the final reply after it decides, and the next command reads
// its own answer, not the greeting's second half.
TEST_F(EngineTest, GreetingCodesDecideTheConnect) {
    const struct {
        std::vector<std::string> greeting;
        int32_t expected;
    } cases[] = {
        {{"220 hello"}, 0},
        {{"421 busy"}, 1008},
        {{"500 odd"}, 3001},
        {{"120 Service ready in 1 minute", "220 now ready"}, 0},
        {{"110 restart marker", "120 soon", "220 ready"}, 0},
        {{"120 soon", "421 changed my mind"}, 1008},
        {{"120 soon"}, FTP_NO_ANSWER},  // the final reply never comes within the time-out
    };
    session->connection.timeoutSeconds = 1;
    for (const auto& c : cases) {
        ScriptedServer server;
        Scenario scenario;
        for (const std::string& line : c.greeting) {
            scenario.reply(line);
        }
        server.start(scenario.command("NOOP", "200 noop"));
        EXPECT_EQ(Connect(server), c.expected) << c.greeting.back();
        // A refused greeting stays open; a 421 or no greeting at all closes the connection.
        EXPECT_EQ(session->connection.controlSocket.load() != -1,
                  c.expected != 1008 && c.expected != FTP_NO_ANSWER)
            << c.greeting.back();
        EXPECT_EQ(session->connection.currentType, 'A');
        EXPECT_EQ(session->connection.timeoutSeconds, 1u);
        if (c.expected == 0) {
            EXPECT_EQ(FtpExecCommand(17, nullptr, key), 0) << c.greeting.back();
        }
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, ReplyFailuresAreReportedAsWhatHappened) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("NOOP", "just text, no code\r\n200 end")
                     .expect("NOOP")
                     .stall(2500ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    session->connection.timeoutSeconds = 1;
    EXPECT_EQ(FtpExecCommand(17, nullptr, key), 3001);  // code 0 from a line without digits
    auto start = std::chrono::steady_clock::now();
    // A reply that never came: said so, within the time-out, and the connection is closed so
    // that its late reply cannot answer a later command.
    EXPECT_EQ(FtpExecCommand(17, nullptr, key), FTP_NO_ANSWER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(session->connection.controlSocket.load(), -1);
    EXPECT_EQ(FtpExecCommand(17, nullptr, key), FTP_NOT_CONNECTED);
    ASSERT_TRUE(server.waitDone()) << server.report();

    // A server that closes (or resets) the connection: not connected, at once.
    ScriptedServer closing;
    closing.start(Scenario().reply("220 ready").expect("PWD").closeControl());
    ASSERT_EQ(Connect(closing), FTP_OK);
    start = std::chrono::steady_clock::now();
    char text[64];
    EXPECT_EQ(FtpPWD(text, sizeof text, key), FTP_NOT_CONNECTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    ASSERT_TRUE(closing.waitDone()) << closing.report();
}

TEST_F(EngineTest, NoSessionAndNoConnectionAreRefusedBeforeSending) {
    EXPECT_EQ(FtpExecCommand(8, "pub", key + 100000), FTP_NOT_INITIALIZED);
    EXPECT_EQ(FtpExecCommand(8, "pub", key), FTP_NOT_CONNECTED);
    EXPECT_EQ(FtpCWD("pub", key), FTP_NOT_CONNECTED);
    EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), FTP_NOT_CONNECTED);
    EXPECT_EQ(FtpCommand(nullptr, nullptr, 0, key), FTP_NOT_INITIALIZED);
}

TEST_F(EngineTest, SendFailureGives2005AndReadsNoReply) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready"));
    ASSERT_EQ(Connect(server), FTP_OK);
    PlatSetFaults({.failSends = 1});
    EXPECT_EQ(FtpCWD("pub", key), FTP_SEND_FAILED);
    PlatSetFaults({});
}

TEST_F(EngineTest, LineBreaksAndOverlongArgumentsAreRefusedBeforeAnythingIsSent) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").command("NOOP", "200 still here"));
    ASSERT_EQ(Connect(server), FTP_OK);
    char out[64] = "untouched";
    const std::string longName(250, 'n');  // "CWD " + 250 fits; "RNFR " + 251 does not
    EXPECT_EQ(FtpCWD("a\r\nDELE x", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpDeleteFile("a\nb", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpCreateDirectory("x\ry", out, sizeof out, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpHelp("RETR\r\nQUIT", out, sizeof out, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpRenameFile("ok", "bad\nname", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpRenameFile((longName + "1").c_str(), "b", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpCommand("NOOP\r\nDELE x", out, sizeof out, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpCommand(std::string(256, 'X').c_str(), out, sizeof out, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpDeleteFile(nullptr, key), FTP_BAD_PARAMETERS);  // never "DELE %s" literally
    EXPECT_EQ(FtpDeleteFile(std::string(252, 'n').c_str(), key), FTP_BAD_PARAMETERS);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(FtpCommand("NOOP", out, sizeof out, key), 200);
    ASSERT_TRUE(server.waitDone()) << server.report();
    // Only the one good command reached the server.
    EXPECT_EQ(server.lines(), std::vector<std::string>{"NOOP"});
}

TEST_F(EngineTest, LoginFollowsTheServersAnswers) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> exchange;
        const char* password;
        int32_t expected;
    };
    const Case cases[] = {
        {{{"USER anna", "331 pw"}, {"PASS pw", "230 in"}}, "pw", 0},
        {{{"USER anna", "331 pw"}, {"PASS pw", "530 wrong"}}, "pw", 1009},
        {{{"USER anna", "331 pw"}, {"PASS pw", "332 account"}}, "pw", 2},  // no ACCT follows
        {{{"USER anna", "230 no password needed"}}, "pw", 0},             // no PASS follows
        {{{"USER anna", "331 pw"}}, nullptr, 1},                          // stays connected
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        Scenario scenario;
        scenario.reply("220 ready");
        for (const auto& [line, answer] : c.exchange) {
            scenario.command(line, answer);
        }
        server.start(scenario);
        session->connection.port = server.port();
        EXPECT_EQ(FtpLogin("127.0.0.1", "anna", c.password, key), c.expected);
        EXPECT_NE(session->connection.controlSocket.load(), -1);
        FtpDisconnect(key);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        EXPECT_EQ(server.lines().size(), c.exchange.size()) << server.report();
    }
    EXPECT_EQ(FtpLogin(nullptr, "anna", "pw", key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpLogin("127.0.0.1", "anna\r\nDELE x", "pw", key), FTP_BAD_PARAMETERS);
}

TEST_F(EngineTest, ConnectFailuresMapToTheirCodes) {
    session->connection.port = 1;  // nothing listens on port 1 of the loopback
    EXPECT_EQ(FtpConnect("127.0.0.1", key), FTP_NO_SERVER);
    EXPECT_EQ(FtpConnect("no-such-host.invalid", key), FTP_HOST_UNRESOLVED);
    EXPECT_EQ(session->connection.controlSocket.load(), -1);
}

TEST_F(EngineTest, ReconnectingClosesTheOldControlConnection) {
    ScriptedServer first;
    first.start(Scenario().reply("220 one").command("USER anna", "530 go away").stallUntilClientCloses());
    ASSERT_EQ(Connect(first), FTP_OK);
    EXPECT_EQ(FtpExecCommand(1, "anna", key), 3001);
    ScriptedServer second;
    second.start(Scenario().reply("220 two"));
    EXPECT_EQ(Connect(second), FTP_OK);
    // The first server sees its connection closed (its last step ends) without a QUIT.
    ASSERT_TRUE(first.waitDone(5000ms)) << first.report();
    EXPECT_EQ(first.lines(), std::vector<std::string>{"USER anna"});
}

TEST_F(EngineTest, PwdAndMkdTakeTheQuotedDirectory) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("PWD", "257 \"/pub\" is the current directory")
                     .command("PWD", "257 /home/anna without quotes")
                     .command("PWD", "257 \"unterminated")
                     .command("PWD", "257")
                     .command("MKD new", "257 \"/pub/new\" created")
                     .command("MKD other", "257 created, no path given")
                     .command("PWD", "257 \"a\"\"b\" doubled quote ends the name"));
    ASSERT_EQ(Connect(server), FTP_OK);
    char out[64];
    EXPECT_EQ(FtpPWD(out, sizeof out, key), 0);
    EXPECT_STREQ(out, "/pub");
    EXPECT_EQ(FtpPWD(out, sizeof out, key), FTP_PWD_NO_DIRECTORY);
    EXPECT_STREQ(out, "/home/anna without quotes");
    EXPECT_EQ(FtpPWD(out, sizeof out, key), FTP_PWD_NO_DIRECTORY);
    EXPECT_STREQ(out, "\"unterminated");
    EXPECT_EQ(FtpPWD(out, sizeof out, key), FTP_PWD_NO_DIRECTORY);  // short reply: empty text
    EXPECT_STREQ(out, "");
    EXPECT_EQ(FtpCreateDirectory("new", out, sizeof out, key), 0);
    EXPECT_STREQ(out, "/pub/new");
    strcpy(out, "stale");
    EXPECT_EQ(FtpCreateDirectory("other", out, sizeof out, key), 0);
    EXPECT_STREQ(out, "");
    char small[4];
    EXPECT_EQ(FtpPWD(small, sizeof small, key), 0);
    EXPECT_STREQ(small, "a");
    ASSERT_TRUE(server.waitDone()) << server.report();
}

TEST_F(EngineTest, OutputBuffersAreCutToTheirCapacity) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("PWD", "257 \"/a/very/long/directory\"")
                     .command("HELP", "214-The commands are:\r\n USER PASS\r\n214 end"));
    ASSERT_EQ(Connect(server), FTP_OK);
    char out[8];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(FtpPWD(out, 6, key), 0);
    EXPECT_STREQ(out, "/a/ve");
    EXPECT_EQ(out[6], 'Z');  // nothing written past the capacity given
    char help[128];
    EXPECT_EQ(FtpHelp(nullptr, help, sizeof help, key), 0);
    EXPECT_STREQ(help, "The commands are:\n USER PASS\n214 end");
    ASSERT_TRUE(server.waitDone()) << server.report();
}

TEST_F(EngineTest, HelpWithAnEmptyTopicSendsHelpAndABlank) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").command("HELP ", "214 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    char out[16];
    EXPECT_EQ(FtpHelp("", out, sizeof out, key), 0);
    EXPECT_STREQ(out, "ok");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_NE(server.controlBytes().find("HELP \r\n"), std::string::npos);
}

TEST_F(EngineTest, TypeIsSentOnlyWhenItChanges) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 binary")
                     .command("TYPE L 8", "504 no")
                     .command("TYPE A", "200 ascii"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpSelectType('A', key), 0);  // current after connecting: nothing sent
    EXPECT_EQ(FtpSelectType('I', key), 0);
    EXPECT_EQ(FtpSelectType('I', key), 0);
    EXPECT_EQ(FtpSelectType('L', key), 3003);
    EXPECT_EQ(session->connection.currentType, 'I');  // a refused TYPE changes nothing
    EXPECT_EQ(FtpSelectType('A', key), 0);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"TYPE I", "TYPE L 8", "TYPE A"}));
}

TEST_F(EngineTest, RestartSendsRestOnlyForPositivePositions) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").command("REST 1024", "350 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpSendRestart(0, key), FTP_RESTART_OK);
    EXPECT_EQ(FtpSendRestart(-5, key), FTP_RESTART_OK);
    EXPECT_EQ(FtpSendRestart(1024, key), FTP_RESTART_OK);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.lines(), std::vector<std::string>{"REST 1024"});
}

TEST_F(EngineTest, RenameStopsAfterARefusedRnfr) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("RNFR a", "550 no such file")
                     .command("RNFR a", "350 ready")
                     .command("RNTO b", "250 renamed"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRenameFile("a", "b", key), 1010);
    EXPECT_EQ(FtpRenameFile("a", "b", key), 0);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, RawCommandPassesReplyCodesAndNeverAFailureValue) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("SYST", "215 UNIX Type: L8")
                     .command("FEAT", "500 unknown")
                     .command("SITE X", "259 a code that looks like a running thread")
                     .expect("NOOP")
                     .closeControl());
    ASSERT_EQ(Connect(server), FTP_OK);
    char out[128];
    EXPECT_EQ(FtpCommand("SYST", out, sizeof out, key), 215);
    EXPECT_STREQ(out, "215 UNIX Type: L8");
    EXPECT_EQ(FtpCommand("FEAT", nullptr, 0, key), 500);
    EXPECT_EQ(FtpCommand("SITE X", out, sizeof out, key), 259);
    EXPECT_EQ(FtpCommand("NOOP", out, sizeof out, key), FTP_NOT_CONNECTED);  // not "0, OK"
    ASSERT_TRUE(server.waitDone()) << server.report();
}

TEST_F(EngineTest, RawCommandTimeOutIsNoAnswer) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").expect("NOOP").stall(2500ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    session->connection.timeoutSeconds = 1;
    EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), FTP_NO_ANSWER);
}

TEST_F(EngineTest, RawCommandForgetsTheTransferType) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 binary")
                     .command("TYPE A", "200 switched behind the engine's back")
                     .command("TYPE I", "200 binary again"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpSelectType('I', key), 0);
    EXPECT_EQ(FtpCommand("TYPE A", nullptr, 0, key), 200);
    EXPECT_EQ(FtpSelectType('I', key), 0);  // sent again
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, LogoutWaitsAtMostTwoSecondsForItsGoodbye) {
    ScriptedServer server;
    server.start(
        Scenario().reply("220 ready").command("QUIT", "500 no").expect("QUIT").stall(5000ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpLogout(key), 3001);  // refused: still connected
    EXPECT_NE(session->connection.controlSocket.load(), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpLogout(key), FTP_NO_ANSWER);  // with the time-out at 30 s
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_EQ(session->connection.controlSocket.load(), -1);
}

}  // namespace
}  // namespace ktest
