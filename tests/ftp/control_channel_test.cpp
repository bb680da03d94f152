// The control channel: every command gets its own reply, whatever valid replies the server
// sends (long ones, multi-line ones with digit lines inside, preliminary ones), and every wait
// ends within its bound.

#include <random>
#include <thread>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "raw_socket.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

// A multi-line reply of about `size` bytes: code-hyphen first line, inner lines that begin
// with digits and with other codes, and the code-space last line.
std::string LongReply(int code, size_t size, const std::string& marker) {
    const std::string c = std::to_string(code);
    std::string reply = c + "-" + marker + "\r\n";
    for (int i = 0; reply.size() + 40 < size; ++i) {
        reply += i % 3 == 0   ? std::to_string(i) + " users logged in\r\n"
                 : i % 3 == 1 ? "200 is not the end of it\r\n"
                              : " " + std::string(60, 'x') + "\r\n";
    }
    return reply + c + " End " + marker;
}

TEST_F(EngineTest, LongGreetingsAndRepliesLeaveEveryCommandItsOwnReply) {
    struct Case {
        const char* what;
        std::string greeting;
    };
    const Case cases[] = {
        {"text of 2046 bytes", "220 " + std::string(2042, 'g')},
        {"text filling the buffer", "220 " + std::string(2043, 'g')},
        {"one line of 3000 bytes", "220 " + std::string(2996, 'g')},
        {"multi-line of 3 KB", LongReply(220, 3000, "welcome")},
        {"multi-line of 100 KB", LongReply(220, 100000, "welcome")},
        {"multi-line of 1,000,000 bytes", LongReply(220, 1000000, "welcome")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        server.start(Scenario()
                         .reply(c.greeting)
                         .command("USER anna", "331 password please")
                         .command("PASS secret", "230 logged in")
                         .command("STAT", LongReply(211, 100000, "status"))
                         .command("PWD", "257 \"/home\""));
        session->connection.port = server.port();
        ASSERT_EQ(FtpLogin("127.0.0.1", "anna", "secret", key), FTP_OK);
        char text[FTP_REPLY_SIZE];
        EXPECT_EQ(FtpCommand("STAT", text, sizeof text, key), 211);
        EXPECT_EQ(std::string(text).rfind("211-status", 0), 0u);
        EXPECT_EQ(strlen(text), static_cast<size_t>(FTP_REPLY_SIZE - 1));
        EXPECT_EQ(FtpPWD(text, sizeof text, key), FTP_OK);
        EXPECT_STREQ(text, "/home");
        ASSERT_TRUE(server.waitDone(20s)) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, PreliminaryRepliesAreReadToTheFinalOneAnd421EndsTheSession) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("SITE WORK", "150 working on it\r\n226 done")
                     // A late reply that no command asked for follows the CWD's own.
                     .command("CWD pub", "120 in a moment\r\n250 changed\r\n226 late")
                     .command("PWD", "257 \"/pub\"")
                     .command("SYST", "421 closing control connection"));
    ASSERT_EQ(Connect(server), FTP_OK);
    char text[256];
    EXPECT_EQ(FtpCommand("SITE WORK", text, sizeof text, key), 226);
    EXPECT_STREQ(text, "150 working on it\n226 done");
    EXPECT_EQ(FtpCWD("pub", key), FTP_OK);
    EXPECT_EQ(FtpPWD(text, sizeof text, key), FTP_OK);
    EXPECT_STREQ(text, "/pub");
    EXPECT_EQ(FtpCommand("SYST", text, sizeof text, key), 421);
    // After 421 nothing more goes out.
    EXPECT_EQ(FtpCWD("pub", key), FTP_NOT_CONNECTED);
    EXPECT_EQ(FtpCommand("NOOP", text, sizeof text, key), FTP_NOT_CONNECTED);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines().size(), 4u) << server.report();
}

// Random sequences of valid replies: preliminary ones, lengths around the buffer's size,
// multi-line ones with digit lines inside. Each command carries its number and its final reply
// names it, so a reply taken by the wrong command shows.
TEST_F(EngineTest, RandomValidRepliesEachReachTheirOwnCommand) {
    std::mt19937 random(20261207);
    constexpr int COMMANDS = 120;
    Scenario scenario;
    scenario.reply("220 ready");
    for (int i = 0; i < COMMANDS; ++i) {
        const std::string id = "id" + std::to_string(i);
        std::string reply;
        for (int p = static_cast<int>(random() % 3); p > 0; --p) {
            reply += "1" + std::to_string(10 + random() % 60) + " preliminary " + id + "\r\n";
        }
        const int code = 200 + static_cast<int>(random() % 60);
        const size_t sizes[] = {10, 2040, 2047, 2048, 2049, 2100, 5000};
        const size_t size = sizes[random() % 7];
        if (random() % 2 == 0) {
            reply += std::to_string(code) + " " + id + " " + std::string(size, 'z');
        } else {
            reply += LongReply(code, size, id);
        }
        scenario.command("SITE ECHO " + id, reply);
    }
    ScriptedServer server;
    server.start(scenario);
    ASSERT_EQ(Connect(server), FTP_OK);
    for (int i = 0; i < COMMANDS; ++i) {
        const std::string id = "id" + std::to_string(i);
        const int32_t code = FtpCommand(("SITE ECHO " + id).c_str(), nullptr, 0, key);
        EXPECT_GE(code, 200) << id;
        EXPECT_LT(code, 260) << id;
        char last[FTP_REPLY_SIZE];
        FtpLastReply(last, sizeof last, key);
        // "nnn idN ..." or "nnn-idN": the number ends at a blank or at the line's end.
        const std::string first(last, strcspn(last, "\n"));
        const std::string named = first.size() > 4 ? first.substr(4, first.find(' ', 4) - 4) : "";
        EXPECT_EQ(named, id) << "got " << first.substr(0, 40);
    }
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, TypeWhoseReplyWasCutShortIsSentAgain) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .expect("TYPE A")
                     .stall(300ms)
                     .reply("200 switched all the same")
                     .command("NOOP", "200 in step")
                     .command("TYPE A", "200 again"));
    ASSERT_EQ(Connect(server), FTP_OK);
    session->connection.currentType = 'I';
    auto type = std::async(std::launch::async, [&] { return FtpSelectType('A', key); });
    ASSERT_TRUE(WaitFor([&] { return server.lines().size() == 1; }));
    FtpCancel(key);
    EXPECT_EQ(type.get(), FTP_ABORTED);
    EXPECT_EQ(FtpSelectType('A', key), FTP_OK);  // the server's type was unknown: stated again
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, WaitsEndWithinTheirBounds) {
    {
        // A data connection that stalls: the time-out, then an abort that the server never
        // answers, all within the time-out and a second.
        TempDir dir;
        session->connection.timeoutSeconds = 3;
        ScriptedServer server;
        server.start(Scenario()
                         .reply("220 ready")
                         .command("TYPE I", "200 ok")
                         .expectPrefix("PORT ")
                         .reply("200 ok")
                         .command("RETR f", "150 go")
                         .dataConnect()
                         .dataSend("first part")
                         .stall(6000ms));
        ASSERT_EQ(Connect(server), FTP_OK);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4000ms);
        EXPECT_EQ(ReadFile(dir.path("f")), "first part");
    }
    {
        // A cancelled login ends as an abort, not as an unexpected answer.
        FtpDisconnect(key);
        session->connection.timeoutSeconds = 30;
        ScriptedServer server;
        server.start(Scenario().stall(5000ms));
        session->connection.port = server.port();
        auto login = std::async(std::launch::async,
                                [&] { return FtpLogin("127.0.0.1", "anna", "secret", key); });
        ASSERT_TRUE(WaitFor([&] { return session->connection.controlSocket.load() != -1; }));
        const auto start = std::chrono::steady_clock::now();
        FtpCancel(key);
        ASSERT_EQ(login.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(login.get(), FTP_ABORTED);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    }
}

// A reply that cannot answer the command waiting for it (a late 225 or 226 to PWD) proves the
// channel out of step: it is dropped, a NOOP probe goes out, and PWD takes its own 257. A
// server that refuses the probe (502, 500) is in step all the same. Replies that are the
// command's own, odd as they are, never start a probe.
TEST_F(EngineTest, RepliesOfAnotherCommandAreDroppedAndTheStepRestored) {
    using Steps = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* what;
        std::vector<std::string> abortReplies;  // empty: no download is aborted first
        Steps steps;                            // after the abort, up to and with SYST
        int32_t pwd;
        const char* lastReply;  // ftpLastReply after PWD
    };
    const Case cases[] = {
        {"ftp-srv: ABOR's 225 after the probe's 200",
         {"226 transfer complete"},
         {{"NOOP", "200 in step"},
          {"PWD", "225 ABOR done\r\n257 \"/home\""},
          {"NOOP", "200 in step again"},
          {"SYST", "215 UNIX"}},
         FTP_OK,
         "257 \"/home\""},
        {"aioftp: the probe refused with 502 after an abort",
         {"226 transfer complete"},
         {{"NOOP", "502 not implemented"}, {"PWD", "257 \"/home\""}, {"SYST", "215 UNIX"}},
         FTP_OK,
         "257 \"/home\""},
        {"a stray 226 and the probe refused with 500",
         {},
         {{"PWD", "226 Transfer complete\r\n257 \"/home\""},
          {"NOOP", "500 unknown command"},
          {"SYST", "215 UNIX"}},
         FTP_OK,
         "257 \"/home\""},
        {"after an abort, odd replies of PWD's own",
         {"426 aborted", "226 ABOR ok"},
         {{"PWD", "200 \"/home\" is the current directory"}, {"SYST", "215 UNIX"}},
         FTP_OK,
         "200 \"/home\" is the current directory"},
        {"PWD refused, not a stranger's reply",
         {},
         {{"PWD", "550 no directory"}, {"SYST", "120 soon\r\n215 UNIX"}},
         FTP_ACTION_NOT_TAKEN,
         "550 no directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ScriptedServer server;
        Scenario scenario;
        scenario.reply("220 ready");
        std::vector<std::string> expectedLines;
        if (!c.abortReplies.empty()) {
            scenario.command("TYPE I", "200 ok")
                .expectPrefix("PORT ")
                .reply("200 ok")
                .command("RETR big", "150 go")
                .dataConnect()
                .dataSend(PatternBytes(1000000),
                          {.chunkSize = 4096, .pause = 5ms, .stopOnControlInput = true})
                .expectAbort(c.abortReplies)
                .dataClose();
        }
        for (const auto& [line, reply] : c.steps) {
            scenario.command(line, reply);
            expectedLines.push_back(line);
        }
        server.start(scenario);
        ASSERT_EQ(Connect(server), FTP_OK);
        if (!c.abortReplies.empty()) {
            FtpResetCounters(key);
            auto worker = std::async(std::launch::async, [&] {
                return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
            });
            ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
            FtpCancel(key);
            EXPECT_EQ(worker.get(), FTP_ABORTED);
        }
        char text[64] = {};
        EXPECT_EQ(FtpPWD(text, sizeof text, key), c.pwd);
        if (c.pwd == FTP_OK) {
            EXPECT_STREQ(text, "/home");
        }
        char last[FTP_REPLY_SIZE] = {};
        FtpLastReply(last, sizeof last, key);
        EXPECT_STREQ(last, c.lastReply);
        EXPECT_EQ(FtpCommand("SYST", nullptr, 0, key), 215);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        // Exactly the expected lines after the abort: one probe at most, nothing sent twice.
        const std::vector<std::string> lines = server.lines();
        ASSERT_GE(lines.size(), expectedLines.size());
        EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(expectedLines.size()),
                                           lines.end()),
                  expectedLines);
        EXPECT_NE(session->connection.controlSocket.load(), -1);
        FtpDisconnect(key);
    }
}

// Refusals that hide behind codes: "not implemented" and its kin are 3003 for every command
// whose list does not say otherwise, and a login refused for want of TLS is 4005.
TEST_F(EngineTest, RefusalCodesMapAlikeAndALoginThatWantsTlsSaysSo) {
    const struct {
        int32_t entry;
        const char* argument;
        const char* line;
        const char* reply;
        int32_t expected;
    } cases[] = {
        {2, "secret", "PASS secret", "502 not implemented", 3003},
        {1, "anna", "USER anna", "500 unknown", 3003},
        {17, nullptr, "NOOP", "502 not implemented", 3003},
        {15, "b", "RNTO b", "503 RNFR first", 3003},
        {16, nullptr, "SYST", "501 no arguments", 3003},
        {13, "I", "TYPE I", "530 not logged in", 3002},  // the table's own mapping stays
        {1, "anna", "USER anna", "530 Non-anonymous sessions must use encryption.", 4005},
        {1, "anna", "USER anna", "550 SSL/TLS required on the control channel", 4005},
        {2, "secret", "PASS secret",
         "534 Sorry, cleartext sessions are not accepted. Please reconnect using TLS security "
         "mechanisms.",
         4005},
        {2, "secret", "PASS secret", "530 Login authentication failed", 1009},
        {1, "anna", "USER anna", "530 Login incorrect.", 3001},
    };
    ScriptedServer server;
    Scenario scenario;
    scenario.reply("220 ready");
    for (const auto& c : cases) {
        scenario.command(c.line, c.reply);
    }
    // A transfer command that is not implemented says so as every other command does.
    scenario.command("TYPE I", "200 ok").expectPrefix("PORT ").reply("200 ok");
    scenario.command("APPE f", "502 not implemented");
    server.start(scenario);
    ASSERT_EQ(Connect(server), FTP_OK);
    for (const auto& c : cases) {
        EXPECT_EQ(FtpExecCommand(c.entry, c.argument, key), c.expected) << c.reply;
        char last[FTP_REPLY_SIZE] = {};
        FtpLastReply(last, sizeof last, key);
        EXPECT_STREQ(last, c.reply);
    }
    TempDir dir;
    WriteFile(dir.path("f"), "data");
    EXPECT_EQ(FtpAppendToRemoteFile(dir.path("f").c_str(), "f", 'I', key), 3003);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_STREQ(FtpErrorMessage(FTP_TLS_REQUIRED), "Server requires TLS");
}

// A server behind a middlebox that drops a control connection idle for 1.5 s, sending a slow
// download for 3 s. It answers keep-alive NOOPs at once, or only after its 226.
struct IdleDroppingServer {
    enum class Answer { AtOnce, AfterTheEnd };

    explicit IdleDroppingServer(Answer answer)
        : listener(RawSocket::listenOn("127.0.0.1")), thread([this, answer] { Run(answer); }) {}
    ~IdleDroppingServer() { thread.join(); }

    void Run(Answer answer) {
        RawSocket control = listener.accept();
        control.sendAll("220 ready\r\n");
        RawSocket dataListener = RawSocket::listenOn("127.0.0.1");
        for (const auto& [command, reply] : std::vector<std::pair<std::string, std::string>>{
                 {"TYPE I", "200 ok"},
                 {"EPSV", "229 ok (|||" + std::to_string(dataListener.localPort()) + "|)"}}) {
            if (control.readLine() != command + "\r\n") {
                return;
            }
            control.sendAll(reply + "\r\n");
        }
        RawSocket data = dataListener.accept();
        if (control.readLine() != "RETR slow\r\n") {
            return;
        }
        control.sendAll("150 slowly\r\n");
        const auto start = std::chrono::steady_clock::now();
        auto lastControl = start;
        int owed = 0;
        while (std::chrono::steady_clock::now() - start < 3s) {
            data.sendAll(std::string(1000, 'd'));
            if (control.readLine(100ms) == "NOOP\r\n") {
                lastControl = std::chrono::steady_clock::now();
                ++noops;
                if (answer == Answer::AtOnce) {
                    control.sendAll("200 NOOP ok\r\n");
                } else {
                    ++owed;
                }
            }
            if (std::chrono::steady_clock::now() - lastControl > 1500ms) {
                control.close();  // the middlebox forgets the connection
                return;
            }
        }
        data.close();
        control.sendAll("226 done\r\n");
        for (; owed > 0; --owed) {
            control.sendAll("200 NOOP ok\r\n");
        }
        if (control.readLine() == "PWD\r\n") {
            control.sendAll("257 \"/\"\r\n");
        }
        control.readAll(2s);
    }

    RawSocket listener;
    std::atomic<int> noops{0};
    std::thread thread;
};

TEST_F(EngineTest, KeepaliveHoldsAnIdleControlConnectionThroughASlowTransfer) {
    using Answer = IdleDroppingServer::Answer;
    for (const auto& [keepalive, answer] : {std::pair{"1", Answer::AtOnce},
                                            std::pair{"1", Answer::AfterTheEnd},
                                            std::pair{"0", Answer::AtOnce}}) {
        const bool on = std::string(keepalive) == "1";
        SCOPED_TRACE(std::string(keepalive) + (answer == Answer::AtOnce ? " at once" : " late"));
        TempDir dir;
        ASSERT_EQ(FtpSetOption("passive", "1", key), FTP_OK);
        ASSERT_EQ(FtpSetOption("keepalive", keepalive, key), FTP_OK);
        IdleDroppingServer server(answer);
        session->connection.port = server.listener.localPort();
        session->connection.timeoutSeconds = 10;
        ASSERT_EQ(FtpConnect("127.0.0.1", key), FTP_OK);
        const int32_t result = FtpRecvFile("slow", dir.path("slow").c_str(), 'I', key);
        char directory[16] = {};
        if (on) {
            EXPECT_EQ(result, FTP_OK);
            EXPECT_GE(server.noops.load(), 2);
            EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
            EXPECT_STREQ(directory, "/");
        } else {
            EXPECT_EQ(result, FTP_NOT_CONNECTED);  // the final reply never comes
            EXPECT_EQ(server.noops.load(), 0);
        }
        FtpDisconnect(key);
    }
}

}  // namespace
}  // namespace ktest

namespace ktest {
namespace {

// Replies that come after an abort and before the probe NOOP's own never end the probe: a
// keep-alive's late 200 (the keep-alive went out before the abort), or a stray 502 from a server
// that has answered NOOP with 200 before (ftp-srv answers the Telnet bytes before ABOR so). The
// transfer's 426 and ABOR's late 225 are dropped, the probe's 200 restores the step, and PWD
// gets its 257.
TEST_F(EngineTest, StrayRepliesAfterAnAbortDoNotAnswerTheProbe) {
    struct Case {
        const char* what;
        bool keepalive;             // a keep-alive goes out during the transfer, else NOOP before it
        const char* beforeStall;    // sent when the probe arrives
    };
    const Case cases[] = {
        {"a keep-alive's late 200", true, "200 keep-alive\r\n426 aborted\r\n"},
        {"a stray 502 from a server that takes NOOP", false, "502 Command not allowed\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        Scenario scenario;
        scenario.reply("220 ready");
        if (!c.keepalive) {
            scenario.command("NOOP", "200 ok");
        }
        scenario.command("RETR big", "150 go");
        if (c.keepalive) {
            scenario.expect("NOOP");  // the keep-alive, answered late
        }
        // Whether ABOR's interrupt went out urgently is not this test's matter (and Wine cannot
        // show it).
        scenario.expectAbort(c.keepalive ? std::vector<std::string>{}
                                         : std::vector<std::string>{"226 ABOR ok"},
                             false)
            .expect("NOOP")  // the probe
            .send(c.beforeStall)
            .stall(300ms)
            .send("225 ABOR done\r\n200 probe\r\n")
            .command("PWD", "257 \"/home\"");
        server.start(scenario);
        ASSERT_EQ(Connect(server), FTP_OK);
        int32_t code = 0;
        if (!c.keepalive) {
            ASSERT_EQ(FtpCommand("NOOP", nullptr, 0, key), 200);
        }
        ASSERT_EQ(FtpChannelSend(session, "RETR big"), FTP_OK);
        ASSERT_EQ(FtpChannelReply(session, FTP_REPLY_PRELIMINARY, &code), FTP_OK);
        ASSERT_EQ(code, 150);
        if (c.keepalive) {
            ASSERT_EQ(FtpSetOption("keepalive", "1", key), FTP_OK);
            ASSERT_TRUE(WaitFor([&] {
                FtpChannelKeepalive(session);
                return server.lines().size() >= 2;
            }));
        }
        const uint32_t start = PlatTickCount();
        FtpChannelAbortReplies(session, FtpChannelSendAbort(session, 200, start), 200, start);
        char text[64] = {};
        EXPECT_EQ(FtpPWD(text, sizeof text, key), FTP_OK);
        EXPECT_STREQ(text, "/home");
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
        ASSERT_EQ(FtpSetOption("keepalive", "0", key), FTP_OK);
    }
}

}  // namespace
}  // namespace ktest
