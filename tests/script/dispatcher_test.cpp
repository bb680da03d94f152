// Script methods against a scripted FTP server, through the module's binary interface: the busy
// rule, exit codes, text results, result kinds, abort, logout and forget during a transfer, and
// what happens to a running worker when its object goes away.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "module_fixture.h"
#include "scripted_server.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kServer = "127.0.0.6";

class DispatcherTest : public ModuleTest {
  protected:
    // Starts the scenario and logs a new object in as "u"/"p" (the scenario must begin with the
    // matching greeting, USER and PASS steps).
    HostObject* LoggedIn(ScriptedServer& server, const Scenario& scenario) {
        server.start(scenario);
        HostObject* object = NewObject();
        EXPECT_EQ(CallInt(object, "ftpLogin", {kServer, "u", "p"}), 0);
        EXPECT_TRUE(WaitDone(object));
        EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
        return object;
    }
    static Scenario Login() {
        return Scenario()
            .reply("220 ready")
            .command("USER u", "331 pass")
            .command("PASS p", "230 in");
    }
};

TEST_F(DispatcherTest, ASecondOperationIsRefusedWhileTheFirstRunsAndTheFirstIsUnaffected) {
    ScriptedServer server(kServer, 21);
    server.start(Scenario()
                     .stall(1500ms)  // the login is still waiting for the greeting meanwhile
                     .reply("220 ready")
                     .command("USER u", "331 pass")
                     .command("PASS p", "230 in"));
    HostObject* object = NewObject();
    ASSERT_EQ(CallInt(object, "ftpPWD"), 0);  // not connected: ends at once with 1003
    ASSERT_TRUE(WaitDone(object));
    ASSERT_EQ(CallInt(object, "ftpLogin", {kServer, "u", "p"}), 0);

    EXPECT_EQ(CallInt(object, "ftpCWD", {"/elsewhere"}), 1001);
    EXPECT_EQ(CallInt(object, "ftpDir", {"", 1}), 1001);
    EXPECT_EQ(CallInt(object, "ftpDone"), 0);
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "");
    // The refused ftpDir did not take over ftpResult: it still names the ftpPWD.
    EXPECT_EQ(CallKind(object, "ftpResult"), ValueKind::String);

    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "OK");
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"USER u", "PASS p"}));
}

TEST_F(DispatcherTest, OptionsWaitForTheRunningOperationAndLastReplyGivesTheServersWords) {
    ScriptedServer server(kServer, 21);
    server.start(Scenario()
                     .stall(1000ms)
                     .reply("220 ready")
                     .command("USER u", "331 pass")
                     .command("PASS p", "230 in")
                     .command("CWD /nowhere", "550 No such file or directory"));
    HostObject* object = NewObject();
    EXPECT_EQ(CallText(object, "ftpLastReply"), "");
    ASSERT_EQ(CallInt(object, "ftpLogin", {kServer, "u", "p"}), 0);
    EXPECT_EQ(CallInt(object, "ftpSetOption", {"timeout", "5"}), 1001);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpSetOption", {"timeout", "5"}), 0);
    EXPECT_EQ(CallInt(object, "ftpSetOption", {"timeout", "5s"}), 1000);
    EXPECT_EQ(CallInt(object, "ftpSetOption", {"colour", "5"}), 1000);
    ASSERT_EQ(CallInt(object, "ftpCWD", {"/nowhere"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1008);
    EXPECT_EQ(CallText(object, "ftpLastReply"), "550 No such file or directory");
}

TEST_F(DispatcherTest, ExitCodeStaysUntilTheNextOperationStarts) {
    ScriptedServer server(kServer, 21);
    server.start(Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 pass")
                     .command("PASS p", "530 no")
                     .command("CWD /pub", "250 ok"));
    HostObject* object = NewObject();
    ASSERT_EQ(CallInt(object, "ftpLogin", {kServer, "u", "p"}), 0);
    ASSERT_TRUE(WaitDone(object));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(CallInt(object, "ftpDone"), 1);
        EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1009);
        EXPECT_EQ(CallText(object, "ftpErrorMessage"), "Server rejected user ID/Password");
    }
    ASSERT_EQ(CallInt(object, "ftpCWD", {"/pub"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
}

TEST_F(DispatcherTest, TextResultsOfPwdHelpCommandAndFileInfo) {
    ScriptedServer server(kServer, 21);
    HostObject* object =
        LoggedIn(server, Login()
                             .command("PWD", "257 \"/pub/x\" is the current directory")
                             .command("HELP ",
                                      "214-The following commands are recognized.\r\n"
                                      " USER PASS QUIT\r\n214 Help OK.")
                             .command("SYST", "215 UNIX Type: L8")
                             .command("MKD new", "257 \"/pub/x/new\" created")
                             .command("NOOP", "259 an odd code")
                             .command("CDUP", "250 ok")
                             .command("FEAT", "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End")
                             .command("MLST d.bin",
                                      "250-Listing d.bin\r\n"
                                      " Type=file;Size=9;Modify=20240229131415;Perm=r; /pub/d.bin\r\n"
                                      "250 End")
                             .command("MLST gone", "550 No such file"));

    ASSERT_EQ(CallInt(object, "ftpPWD"), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpResult"), "/pub/x");

    ASSERT_EQ(CallInt(object, "ftpHelp", {""}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    std::string help = CallText(object, "ftpResult");
    EXPECT_EQ(help.rfind("The following commands are recognized.", 0), 0u) << help;
    EXPECT_NE(help.find("USER PASS QUIT"), std::string::npos) << help;

    ASSERT_EQ(CallInt(object, "ftpCommand", {"SYST"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 215);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "Unknown Error");
    EXPECT_EQ(CallText(object, "ftpResult").rfind("215 UNIX Type: L8", 0), 0u);

    // MKD returns no text: the command reply stays the result.
    ASSERT_EQ(CallInt(object, "ftpCreateDirectory", {"new"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpResult").rfind("215 UNIX Type: L8", 0), 0u);

    // A reply code of 259 is reported as it is, and the worker counts as ended.
    ASSERT_EQ(CallInt(object, "ftpCommand", {"NOOP"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpDone"), 1);
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 259);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "Unknown Error");
    EXPECT_EQ(CallInt(object, "ftpAbort"), 0);
    EXPECT_EQ(CallInt(object, "ftpCDUp"), 0);  // not refused as busy
    ASSERT_TRUE(WaitDone(object));

    ASSERT_EQ(CallInt(object, "ftpFileInfo", {"d.bin"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpResult"), "type=file;size=9;modify=20240229131415; d.bin");
    // A refusal leaves the last facts as the result.
    ASSERT_EQ(CallInt(object, "ftpFileInfo", {"gone"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1008);
    EXPECT_EQ(CallText(object, "ftpResult"), "type=file;size=9;modify=20240229131415; d.bin");
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(DispatcherTest, ResultTextIsReadWholeWhileAWorkerDeliversIt) {
    ScriptedServer server(kServer, 21);
    std::string longPath(1500, 'p');
    HostObject* object =
        LoggedIn(server, Login().stall(200ms).command("PWD", "257 \"/" + longPath + "\" here"));
    ASSERT_EQ(CallInt(object, "ftpPWD"), 0);
    // Every reading is either the text from before or the complete new one.
    while (CallInt(object, "ftpDone") == 0) {
        std::string text = CallText(object, "ftpResult");
        EXPECT_TRUE(text.empty() || text == "/" + longPath) << text.size();
    }
    EXPECT_EQ(CallText(object, "ftpResult"), "/" + longPath);
}

TEST_F(DispatcherTest, AbortDuringADownloadEndsItWithMinusOne) {
    ScriptedServer server(kServer, 21);
    std::string data(4 << 20, 'd');
    HostObject* object =
        LoggedIn(server, Login()
                             .command("TYPE I", "200 ok")
                             .expectPrefix("PORT ")
                             .reply("200 PORT ok")
                             .command("RETR big.bin", "150 opening (4194304 bytes)")
                             .dataConnectFrom(kServer)
                             .dataSendUntilControlInput(data, 4096, 2ms)
                             .expectAbort({"426 aborted", "226 abort done"})
                             .dataClose());
    std::string local = workDir + "/big.bin";
    ASSERT_EQ(CallInt(object, "ftpRecvFile", {"big.bin", local, 73}), 0);
    auto deadline = Clock::now() + 10s;
    while (CallInt(object, "ftpBytesTransferred") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);  // polling the counter, as a script does
    }
    EXPECT_GT(CallInt(object, "ftpBytesTransferred"), 0);
    EXPECT_EQ(CallInt(object, "ftpBytesToBeTransferred"), 4 << 20);
    EXPECT_EQ(CallInt(object, "ftpAbort"), 1);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), -1);
    EXPECT_EQ(CallText(object, "ftpErrorMessage"), "Transfer aborted by user");
    EXPECT_EQ(CallInt(object, "ftpAbort"), 0);  // nothing runs any more
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.aborCount(), 1);
}

// A download that runs until the client aborts it, then the client's QUIT.
Scenario TransferThenQuit(Scenario scenario) {
    return scenario.command("TYPE I", "200 ok")
        .expectPrefix("PORT ")
        .reply("200 PORT ok")
        .command("RETR big.bin", "150 opening")
        .dataConnectFrom(kServer)
        .dataSendUntilControlInput(std::string(8 << 20, 'd'), 4096, 2ms)
        .expectAbort({"426 aborted", "226 abort done"})
        .dataClose()
        .command("QUIT", "221 bye");
}

TEST_F(DispatcherTest, LogoutDuringATransferAbortsItWaitsAndThenQuits) {
    ScriptedServer server(kServer, 21);
    HostObject* object = LoggedIn(server, TransferThenQuit(Login()));
    ASSERT_EQ(CallInt(object, "ftpRecvFile", {"big.bin", workDir + "/big.bin", 73}), 0);
    auto deadline = Clock::now() + 10s;
    while (CallInt(object, "ftpBytesTransferred") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);  // polling the counter, as a script does
    }
    EXPECT_EQ(CallInt(object, "ftpLogout"), 0);
    // The worker has ended and its handle is gone with it.
    EXPECT_EQ(CallInt(object, "ftpDone"), 1);
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    std::vector<std::string> lines = server.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ABOR");
    EXPECT_EQ(lines.back(), "QUIT");
}

TEST_F(DispatcherTest, ForgetDuringATransferAbortsLogsOutAndAllowsUnloading) {
    ScriptedServer server(kServer, 21);
    HostObject* object = LoggedIn(server, TransferThenQuit(Login()));
    ASSERT_EQ(CallInt(object, "ftpRecvFile", {"big.bin", workDir + "/big.bin", 73}), 0);
    auto deadline = Clock::now() + 10s;
    while (CallInt(object, "ftpBytesTransferred") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);  // polling the counter, as a script does
    }
    EXPECT_EQ(CallInt(object, "forget"), 0);
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines().back(), "QUIT");
    // Forgotten: engine methods find no session now, and say so at once.
    EXPECT_EQ(CallInt(object, "ftpCWD", {"/"}), 1002);
    EXPECT_EQ(CallInt(object, "ftpDone"), 1);
    host->ReleaseObject(object);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
}

TEST_F(DispatcherTest, ForgetHoldsTheHostAtMostTwoSecondsWhateverTheServerDoes) {
    // A server that answers neither ABOR nor QUIT, with the time-out at its 30 s default.
    ScriptedServer server(kServer, 21);
    HostObject* object = LoggedIn(server, Login()
                                              .command("TYPE I", "200 ok")
                                              .expectPrefix("PORT ")
                                              .reply("200 PORT ok")
                                              .command("RETR big.bin", "150 opening")
                                              .dataConnectFrom(kServer)
                                              .dataSendUntilControlInput(
                                                  std::string(8 << 20, 'd'), 4096, 2ms)
                                              .expectAbort({})
                                              .expect("QUIT")
                                              .stall(2500ms));
    ASSERT_EQ(CallInt(object, "ftpRecvFile", {"big.bin", workDir + "/big.bin", 73}), 0);
    auto deadline = Clock::now() + 10s;
    while (CallInt(object, "ftpBytesTransferred") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    const auto start = Clock::now();
    EXPECT_EQ(CallInt(object, "forget"), 0);
    EXPECT_LT(Clock::now() - start, 2100ms);
    ASSERT_TRUE(server.waitDone(10000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    host->ReleaseObject(object);
}

TEST_F(DispatcherTest, StoppingAWorkerCatchesOneThatHadNotBlockedYet) {
    // The greeting never comes. Releasing the object right after the start may cancel before
    // the worker has reached its wait for the greeting, where the request finds nothing to
    // interrupt; the repeated cancellation still ends the worker long before the 30-second reply
    // time-out.
    for (int round = 0; round < 3; ++round) {
        ScriptedServer server(kServer, 21);
        server.start(Scenario().stall(20000ms));
        HostObject* object = NewObject();
        ASSERT_EQ(CallInt(object, "ftpLogin", {kServer, "u", "p"}), 0);
        auto start = Clock::now();
        host->ReleaseObject(object);
        EXPECT_TRUE(object->destroyed);
        EXPECT_LT(Clock::now() - start, 5s);
    }
}

TEST_F(DispatcherTest, ReleasingAnObjectWithARunningWorkerCancelsAndWaitsForIt) {
    ScriptedServer server(kServer, 21);
    // PWD is never answered: the worker would write its text into the object's record.
    HostObject* object = LoggedIn(server, Login().expect("PWD").stall(20000ms));
    ASSERT_EQ(CallInt(object, "ftpPWD"), 0);
    // Once the server has the PWD, the worker is waiting for the reply.
    auto deadline = Clock::now() + 10s;
    while (server.lines().size() < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(server.lines().size(), 3u);
    EXPECT_EQ(CallInt(object, "ftpDone"), 0);
    auto start = Clock::now();
    host->ReleaseObject(object);
    EXPECT_TRUE(object->destroyed);
    EXPECT_LT(Clock::now() - start, 5s);
    // The session was left behind, as without forget; nothing was sent on its connection.
    EXPECT_EQ(host->canUnloadNow(), HOST_E_IN_USE);
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"USER u", "PASS p", "PWD"}));
}

TEST_F(DispatcherTest, MissingOrUnconvertibleArgumentsBecomeEmptyTextAndZero) {
    ScriptedServer server(kServer, 21);
    HostObject* object =
        LoggedIn(server, Login().expectPrefix("PORT ").reply("200 ok").command("NLST", "550 none"));
    // MoreDetails given as a string: the integer conversion fails and reads as 0 (NLST).
    ASSERT_EQ(CallInt(object, "ftpDir", {"", "1"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1010);
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();

    // A call record with the object alone: the four arguments of ftpRestartSendFile are
    // missing. The array holds exactly one item, so any read past it shows under the sanitizer.
    std::vector<HostValue> items(1, HostEnvironment::Object(object->id));
    HostCallRecord call{};
    call.methodNumber = host->FindMethod("ftpRestartSendFile");
    call.argumentCount = 1;
    call.arguments = items.data();
    EXPECT_EQ(host->CallRecord(object, &call), HOST_OK);
    EXPECT_EQ(HostEnvironment::IntegerOf(call.result), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1004);  // local file "" cannot be opened

    // Every conversion failing: the texts are empty.
    env->failConversions = true;
    WriteFile(workDir + "/local", "content");
    EXPECT_EQ(CallInt(object, "ftpRestartSendFile", {workDir + "/local", "r", 73, 0}), 0);
    env->failConversions = false;
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1004);
}

// An argument that cannot be what the script meant ends the call with 1000 and nothing is sent:
// a text holding a zero byte (a C string would end there, a password or a name cut short), a
// restart Position below 0 or beyond the local file.
TEST_F(DispatcherTest, ArgumentsThatCannotBeMeantEndWith1000AndSendNothing) {
    ScriptedServer server(kServer, 21);
    HostObject* object = LoggedIn(server, Login());
    ASSERT_EQ(CallInt(object, "ftpSetOption", {"timeout", "1"}), 0);
    const std::string local = workDir + "/local";
    WriteFile(local, "content");
    const std::string nul("\0x", 2);
    const struct {
        const char* method;
        std::vector<Arg> args;
    } cases[] = {
        {"ftpFileInfo", {"ok" + nul}},
        {"ftpLogin", {kServer, "u", "p" + nul}},
        {"ftpLogin", {kServer + nul, "u", "p"}},
        {"ftpCWD", {"a" + nul}},
        {"ftpCommand", {"NOOP" + nul}},
        {"ftpRenameFile", {"a", "b" + nul}},
        {"ftpRecvFile", {"r" + nul, workDir + "/new", 73}},
        {"ftpSendFile", {local + nul, "r", 73}},
        {"ftpDir", {"*" + nul, 1}},
        {"ftpSetOption", {"timeout", "5" + nul}},
        {"ftpRestartRecvFile", {"r", local, 73, "5" + nul}},
        {"ftpRestartRecvFile", {"r", local, 73, "9223372036854775807"}},
        {"ftpRestartSendFile", {local, "r", 73, "9223372036854775807"}},
        {"ftpRestartRecvFile", {"r", local, 73, -1}},
        {"ftpRestartSendFile", {local, "r", 73, -1}},
        {"ftpRestartRecvFile", {"r", workDir + "/new", 73, "8"}},
    };
    for (const auto& c : cases) {
        std::string shown = c.method;
        for (const Arg& arg : c.args) {
            shown += " " + (arg.isString ? JsonString(arg.text) : std::to_string(arg.integer));
        }
        SCOPED_TRACE(shown);
        int32_t code = CallInt(object, c.method, c.args);
        if (code == 0 && strcmp(c.method, "ftpSetOption") != 0) {
            ASSERT_TRUE(WaitDone(object));
            code = CallInt(object, "ftpErrorCode");  // refused by the worker, before sending
        }
        EXPECT_EQ(code, 1000);
    }
    EXPECT_EQ(ReadFile(local), "content");
    EXPECT_FALSE(FileExists(workDir + "/new"));
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"USER u", "PASS p"}));
}

TEST_F(DispatcherTest, SizesBeyond32BitsAreExactInProgressAndSaturateInTheCounters) {
    ScriptedServer server(kServer, 21);
    Scenario scenario = Login();
    const char* sizes[] = {"2147483647", "2147483648", "4294967297"};
    scenario.command("TYPE I", "200 ok");
    for (const char* size : sizes) {
        scenario.expectPrefix("PORT ")
            .reply("200 PORT ok")
            .command("RETR big.bin", std::string("150 opening (") + size + " bytes)")
            .dataConnectFrom(kServer)
            .dataSend("abc")
            .dataClose()
            .reply("226 done");
    }
    // A resume at 4 GiB, its Position given as text, into a sparse local file of that size.
    scenario.expectPrefix("PORT ")
        .reply("200 PORT ok")
        .command("REST 4294967296", "350 ok")
        .command("RETR big.bin", "150 opening (4294967297 bytes)")
        .dataConnectFrom(kServer)
        .dataSend("x")
        .dataClose()
        .reply("226 done");
    // "auto": from the local file's length.
    scenario.expectPrefix("PORT ")
        .reply("200 PORT ok")
        .command("REST 4294967297", "350 ok")
        .command("RETR big.bin", "150 opening (4294967298 bytes)")
        .dataConnectFrom(kServer)
        .dataSend("y")
        .dataClose()
        .reply("226 done");
    HostObject* object = LoggedIn(server, scenario);
    const std::string local = workDir + "/big";
    const int32_t counts[] = {2147483647, 2147483647, 2147483647};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(CallInt(object, "ftpRecvFile", {"big.bin", local, 73}), 0);
        ASSERT_TRUE(WaitDone(object));
        // Three bytes of an announced size beyond 2 GiB: a short file, named with both counts.
        EXPECT_EQ(CallInt(object, "ftpErrorCode"), 2010);
        EXPECT_EQ(CallText(object, "ftpErrorMessage"),
                  std::string("Transfer ended short: 3 of ") + sizes[i] + " bytes");
        EXPECT_EQ(CallInt(object, "ftpBytesTransferred"), 3);
        EXPECT_EQ(CallInt(object, "ftpBytesToBeTransferred"), counts[i]) << sizes[i];
        EXPECT_EQ(CallText(object, "ftpProgress"), std::string("3 ") + sizes[i]);
    }
    ASSERT_EQ(truncate(local.c_str(), 4294967296), 0);
    // Bad positions are refused at the call, before anything starts.
    for (const char* bad : {"", "12a", "-1", " 5", "99999999999999999999"}) {
        EXPECT_EQ(CallInt(object, "ftpRestartRecvFile", {"big.bin", local, 73, bad}), 1000) << bad;
    }
    ASSERT_EQ(CallInt(object, "ftpRestartRecvFile", {"big.bin", local, 73, "4294967296"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    EXPECT_EQ(CallText(object, "ftpProgress"), "1 1");
    struct stat info {};
    ASSERT_EQ(stat(local.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4294967297);
    // A resume beyond the local file's end is refused with nothing sent and the file as it was.
    ASSERT_EQ(CallInt(object, "ftpRestartRecvFile", {"big.bin", local, 73, "4294967298"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 1000);
    ASSERT_EQ(stat(local.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4294967297);
    ASSERT_EQ(CallInt(object, "ftpRestartRecvFile", {"big.bin", local, 73, "AUTO"}), 0);
    ASSERT_TRUE(WaitDone(object));
    EXPECT_EQ(CallInt(object, "ftpErrorCode"), 0);
    ASSERT_EQ(stat(local.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4294967298);
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    unlink(local.c_str());
}

}  // namespace
}  // namespace ktest
