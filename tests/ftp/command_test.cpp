// The command exchange: what goes on the wire for each command and how replies map to results.

#include <cstring>
#include <functional>
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
    const struct {
        const char* name;  // MKD's argument; null for PWD
        std::string reply;
        int32_t expected;
        const char* text;
    } cases[] = {
        {nullptr, "257 \"/pub\" is the current directory", 0, "/pub"},
        {nullptr, "257 /home/anna without quotes", FTP_PWD_NO_DIRECTORY, "/home/anna without quotes"},
        {nullptr, "257 \"unterminated", FTP_PWD_NO_DIRECTORY, "\"unterminated"},
        {nullptr, "257", FTP_PWD_NO_DIRECTORY, ""},  // short reply: empty text
        // RFC 959: a quote inside the name is doubled.
        {nullptr, "257 \"a\"\"b\" is it", 0, "a\"b"},
        {nullptr, "257 \"\"\"q\"\"\"", 0, "\"q\""},
        // A zero byte inside the quotes: no name the server can have meant.
        {nullptr, std::string("257 \"/nul\0inside\"", 16), FTP_PWD_NO_DIRECTORY, "\"/nul"},
        {"new", "257 \"/pub/new\" created", 0, "/pub/new"},
        {"other", "257 created, no path given", 0, ""},
        {"quoted", "257 \"/a\"\"b\" created", 0, "/a\"b"},
        {"nul", std::string("257 \"/nul\0inside\" created", 24), 0, ""},
    };
    ScriptedServer server;
    Scenario scenario;
    scenario.reply("220 ready");
    for (const auto& c : cases) {
        scenario.command(c.name != nullptr ? std::string("MKD ") + c.name : "PWD", c.reply);
    }
    server.start(scenario);
    ASSERT_EQ(Connect(server), FTP_OK);
    for (const auto& c : cases) {
        char out[64] = "stale";
        EXPECT_EQ(c.name != nullptr ? FtpCreateDirectory(c.name, out, sizeof out, key)
                                    : FtpPWD(out, sizeof out, key),
                  c.expected)
            << c.reply;
        EXPECT_STREQ(out, c.text) << c.reply;
    }
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
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
    const struct {
        const char* line;
        const char* reply;
        int32_t expected;
    } cases[] = {
        {"SYST", "215 UNIX Type: L8", 215},
        {"FEAT", "500 unknown", 500},
        {"SITE X", "259 a code that looks like a running thread", 259},
        // Codes outside 100 to 599 are no reply codes: never 0 "OK", nor a code of the engine's.
        {"SITE ZERO", "000 zero", FTP_UNEXPECTED_ANSWER},
        {"SITE ONE", "001 one", FTP_UNEXPECTED_ANSWER},
        {"SITE MORE", "1003 four digits", FTP_UNEXPECTED_ANSWER},
        {"SITE SIX", "600 beyond", FTP_UNEXPECTED_ANSWER},
    };
    ScriptedServer server;
    Scenario scenario;
    scenario.reply("220 ready");
    for (const auto& c : cases) {
        scenario.command(c.line, c.reply);
    }
    server.start(scenario.expect("NOOP").closeControl());
    ASSERT_EQ(Connect(server), FTP_OK);
    for (const auto& c : cases) {
        char out[128] = "";
        EXPECT_EQ(FtpCommand(c.line, out, sizeof out, key), c.expected) << c.reply;
        EXPECT_STREQ(out, c.reply);  // the reply's text all the same
    }
    EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), FTP_NOT_CONNECTED);  // not "0, OK"
    ASSERT_TRUE(server.waitDone()) << server.report();
}

// A raw command that changes what the engine relies on: a restart marker is undone before the
// next whole-file transfer; a command whose effect the engine cannot follow (securing the
// connection or its data connections another way, a new session, EPSV alone from now on) is
// refused with nothing sent. The options and ftpLogin do those.
TEST_F(EngineTest, RawCommandsThatChangeTheSessionAreFollowedOrRefused) {
    const struct {
        const char* line;
        const char* reply;  // null: refused, nothing sent
        int32_t expected;
        bool restZero;  // the download after it sends REST 0 first
    } cases[] = {
        {"REST 100", "350 restarting at 100", 350, true},
        {"rest 7", "350 restarting at 7", 350, true},
        {"REST 100", "502 not implemented", 502, false},
        {"PBSZ 0", "200 ok", 200, false},
        {"AUTH TLS", nullptr, FTP_BAD_PARAMETERS, false},
        {"auth ssl", nullptr, FTP_BAD_PARAMETERS, false},
        {"PROT C", nullptr, FTP_BAD_PARAMETERS, false},
        {"prot p", nullptr, FTP_BAD_PARAMETERS, false},
        {"REIN", nullptr, FTP_BAD_PARAMETERS, false},
        {"EPSV ALL", nullptr, FTP_BAD_PARAMETERS, false},
        {"epsv all", nullptr, FTP_BAD_PARAMETERS, false},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " / " + (c.reply != nullptr ? c.reply : "refused"));
        Scenario scenario;
        scenario.reply("220 ready");
        if (c.reply != nullptr) {
            scenario.command(c.line, c.reply);
        }
        scenario.command("TYPE I", "200 binary");
        if (c.restZero) {
            scenario.command("REST 0", "350 restarting at 0");
        }
        scenario.expectPrefix("PORT ")
            .reply("200 ok")
            .command("RETR f", "150 go")
            .dataConnect()
            .dataSend("whole")
            .dataClose()
            .reply("226 done");
        ScriptedServer server;
        server.start(scenario);
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpCommand(c.line, nullptr, 0, key), c.expected);
        EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_OK);
        EXPECT_EQ(ReadFile(dir.path("f")), "whole");
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

// A 421 answer is the server closing the connection: whatever command it answers, the operation
// ends as not connected and the connection is closed. The greeting and USER keep the 1008 of
// their table rows.
TEST_F(EngineTest, A421AnswerEndsTheOperationNotConnected) {
    TempDir dir;
    const std::string features = "211-Features\r\n MLST type*;size*;\r\n211 End";
    const std::string local = dir.path("f");
    const struct {
        const char* name;
        std::function<void(Scenario&)> steps;  // after the greeting, up to the 421
        std::function<int32_t()> run;          // on a connected session
        int32_t expected;
    } cases[] = {
        {"CWD", [](Scenario& s) { s.command("CWD pub", "421 bye"); },
         [&] { return FtpCWD("pub", key); }, FTP_NOT_CONNECTED},
        {"PWD", [](Scenario& s) { s.command("PWD", "421 bye"); },
         [&] { return FtpPWD(nullptr, 0, key); }, FTP_NOT_CONNECTED},
        {"PASS", [](Scenario& s) { s.command("PASS pw", "421 bye"); },
         [&] { return FtpExecCommand(2, "pw", key); }, FTP_NOT_CONNECTED},
        {"MLST", [&](Scenario& s) { s.command("FEAT", features).command("MLST x", "421 bye"); },
         [&] { return FtpFileInfo("x", nullptr, 0, key); }, FTP_NOT_CONNECTED},
        {"PORT",
         [](Scenario& s) { s.command("TYPE I", "200 ok").expectPrefix("PORT ").reply("421 bye"); },
         [&] { return FtpRecvFile("f", local.c_str(), 'I', key); }, FTP_NOT_CONNECTED},
        {"EPSV", [](Scenario& s) { s.command("TYPE I", "200 ok").command("EPSV", "421 bye"); },
         [&] {
             session->connection.passive = true;
             return FtpRecvFile("f", local.c_str(), 'I', key);
         },
         FTP_NOT_CONNECTED},
        {"RETR",
         [](Scenario& s) {
             s.command("TYPE I", "200 ok").expectPrefix("PORT ").reply("200 ok");
             s.command("RETR f", "421 bye");
         },
         [&] { return FtpRecvFile("f", local.c_str(), 'I', key); }, FTP_NOT_CONNECTED},
        {"USER", [](Scenario& s) { s.command("USER anna", "421 bye"); },
         [&] { return FtpExecCommand(1, "anna", key); }, FTP_ACTION_NOT_TAKEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session->connection.passive = false;
        Scenario scenario;
        scenario.reply("220 ready");
        c.steps(scenario);
        ScriptedServer server;
        server.start(scenario);
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(c.run(), c.expected);
        EXPECT_EQ(session->connection.controlSocket.load(), -1);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
    }
    // Within a login: FEAT of the features option, and AUTH TLS (not a refusal of TLS).
    session->connection.passive = false;
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "AUTH TLS" : "FEAT after a login");
        ScriptedServer server;
        server.start(tls ? Scenario().reply("220 ready").command("AUTH TLS", "421 bye")
                         : Scenario().reply("220 ready").command("USER anna", "230 in").command(
                               "FEAT", "421 bye"));
        session->connection.port = server.port();
        session->connection.tlsMode = tls ? 1 : 0;
        session->connection.featuresWanted = !tls;
        EXPECT_EQ(FtpLogin("127.0.0.1", "anna", nullptr, key), FTP_NOT_CONNECTED);
        EXPECT_EQ(session->connection.controlSocket.load(), -1);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
    }
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
