// The reference host: its script language, its reading of a method table, and kestrel-host run
// as a program (output, JSON output, exit statuses) against the module.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "module_host.h"
#include "script_runner.h"
#include "scripted_server.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kServerAddress = "127.0.0.6";

TEST(ScriptLanguage, TokensAreWordsIntegersAndQuotedStringsWithEscapes) {
    std::vector<ScriptToken> tokens;
    std::string error;
    ASSERT_TRUE(
        TokenizeScriptLine(R"(ftpLogin  a "h\"o\\st" -12 "\r\n\t\x41\x7e" "")", &tokens, &error))
        << error;
    ASSERT_EQ(tokens.size(), 6u);
    EXPECT_EQ(tokens[0].kind, ScriptToken::Word);
    EXPECT_EQ(tokens[0].text, "ftpLogin");
    EXPECT_EQ(tokens[2].kind, ScriptToken::String);
    EXPECT_EQ(tokens[2].text, "h\"o\\st");
    EXPECT_EQ(tokens[3].kind, ScriptToken::Integer);
    EXPECT_EQ(tokens[3].integer, -12);
    EXPECT_EQ(tokens[4].text, "\r\n\tA~");
    EXPECT_EQ(tokens[5].kind, ScriptToken::String);
    EXPECT_EQ(tokens[5].text, "");
}

TEST(ScriptLanguage, MalformedTokensAreRefused) {
    std::vector<ScriptToken> tokens;
    std::string error;
    for (const char* line : {R"(x "open)", R"(x "\q")", R"(x "\x4")", R"(x "\xZZ")", "x 12ab",
                             "x 99999999999", "x a\"b"}) {
        EXPECT_FALSE(TokenizeScriptLine(line, &tokens, &error)) << line;
    }
    EXPECT_TRUE(TokenizeScriptLine("x -2147483648 2147483647", &tokens, &error));
}

TEST(MethodTableReading, NumbersMethodsAndTypesArgumentsFromTheText) {
    std::string name, error;
    std::vector<MethodInfo> methods;
    ASSERT_TRUE(
        ParseMethodTable("xtra Demo\n-- comment\nnew object me\n"
                         "put object me, string Key, integer Value\n",
                         &name, &methods, &error))
        << error;
    EXPECT_EQ(name, "Demo");
    ASSERT_EQ(methods.size(), 2u);
    EXPECT_EQ(methods[1].name, "put");
    EXPECT_EQ(methods[1].arguments, "si");
    ASSERT_TRUE(ParseMethodTable("xtra Demo\nseek object me, any Position\n", &name, &methods,
                                 &error));
    EXPECT_EQ(methods[0].arguments, "a");

    for (const char* bad : {"", "new object me\n", "xtra Demo\nput me, string A\n",
                            "xtra Demo\nput object me, float A\n", "xtra Demo\nnew object me",
                            "xtra Demo\r\nnew object me\r\n"}) {
        EXPECT_FALSE(ParseMethodTable(bad, &name, &methods, &error)) << bad;
    }
}

// Runs kestrel-host with args and the script text; collects its output and exit status.
struct HostRun {
    int status = -1;
    std::string out;
    std::string err;
};

HostRun RunHost(const std::string& script, const std::string& args = "") {
    static int counter = 0;
    std::string base = std::filesystem::temp_directory_path().string() + "/kestrel-host-test-" +
                       std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::ofstream(base + ".ks") << script;
    std::string command = std::string(KESTREL_HOST_PATH) + " " + args + " " + base + ".ks >" +
                          base + ".out 2>" + base + ".err </dev/null";
    int raw = std::system(command.c_str());
    HostRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ostringstream out, err;
    out << std::ifstream(base + ".out").rdbuf();
    err << std::ifstream(base + ".err").rdbuf();
    run.out = out.str();
    run.err = err.str();
    for (const char* suffix : {".ks", ".out", ".err"}) {
        std::filesystem::remove(base + suffix);
    }
    return run;
}

TEST(KestrelHost, PrintsOneLinePerCallAndRunsToTheEnd) {
    HostRun run = RunHost(
        "# a fresh object\n"
        "\n"
        "new a\n"
        "ftpDone a\n"
        "ftpErrorMessage a\n"
        "ftpResult a\n"
        "ftpCWD a \"/x\"\n"
        "wait a 10\n"
        "ftpErrorCode a\n"
        "release a\n"
        "new b\n"
        "forget b\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "new a => <void>\n"
              "ftpDone a => 1\n"
              "ftpErrorMessage a => \"OK\"\n"
              "ftpResult a => <void>\n"
              "ftpCWD a => 0\n"
              "wait a => 1003 \"Not connected to a server\"\n"
              "ftpErrorCode a => 1003\n"
              "new b => <void>\n"
              "forget b => 0\n");
    EXPECT_EQ(run.err, "");
}

TEST(KestrelHost, JsonOutputIsOneObjectPerLine) {
    HostRun run = RunHost("new a\nftpResult a\nftpErrorMessage a\nftpPWD a\nwait a\n", "--json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"line\":1,\"call\":\"new\",\"object\":\"a\",\"result\":null}\n"
              "{\"line\":2,\"call\":\"ftpResult\",\"object\":\"a\",\"result\":null}\n"
              "{\"line\":3,\"call\":\"ftpErrorMessage\",\"object\":\"a\",\"result\":\"OK\"}\n"
              "{\"line\":4,\"call\":\"ftpPWD\",\"object\":\"a\",\"result\":0}\n"
              "{\"line\":5,\"call\":\"wait\",\"object\":\"a\",\"result\":{\"code\":1003,"
              "\"message\":\"Not connected to a server\"}}\n");
}

TEST(KestrelHost, ScriptErrorsStopTheScriptWithStatus2) {
    struct Case {
        const char* script;
        const char* message;
    } cases[] = {
        {"new a\nftpCWD a 5\nftpDone a\n", "line 2: argument 1 of ftpCWD must be a string\n"},
        {"new a\nftpCWD a\n", "line 2: ftpCWD takes 1 argument(s), 0 given\n"},
        {"new a\nftpDir a \"\" \"1\"\n", "line 2: argument 2 of ftpDir must be an integer\n"},
        {"new a\nftpFly a\n", "line 2: no method ftpFly in the module's table\n"},
        {"ftpDone b\n", "line 1: no object named b\n"},
        {"new a\nwait a x\n", "line 2: usage: wait NAME [SECONDS] [expect CODE...]\n"},
        {"new a\nftpCWD a \"unterminated\n", "line 2: unterminated string\n"},
    };
    for (const Case& c : cases) {
        HostRun run = RunHost(c.script);
        EXPECT_EQ(run.status, 2) << c.script;
        EXPECT_EQ(run.err, c.message) << c.script;
        EXPECT_EQ(run.out.find("ftpDone"), std::string::npos) << "ran on after the error";
    }
}

TEST(KestrelHost, SomethingThatIsNotAModuleGivesStatus1WithTheReason) {
    char path[] = "/tmp/kestrel-not-a-module-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "text", 4), 4);
    close(fd);
    HostRun run = RunHost("new a\n", std::string("--module ") + path);
    unlink(path);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load"), std::string::npos) << run.err;

    // A real library that lacks the entry points.
    run = RunHost("new a\n", "--module libm.so.6");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not export DllGetClassForm"), std::string::npos) << run.err;
}

TEST(KestrelHost, ArgumentsReachTheServerWithTheirEscapesDecoded) {
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(ktest::Scenario()
                     .reply("220 ready")
                     .command("USER us\"er\\", "331 password")
                     .command("PASS p\tAss", "230 in")
                     .command("QUIT", "221 bye"));
    HostRun run = RunHost(std::string("new a\nftpLogin a \"") + kServerAddress +
                          "\" \"us\\\"er\\\\\" \"p\\tA\\x73s\"\nwait a 20\nftpLogout a\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("wait a => 0 \"OK\"\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ftpLogout a => 0\n"), std::string::npos) << run.out;
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST(KestrelHost, ProgressRecordsCarrySizesBeyond32Bits) {
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(ktest::Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 password")
                     .command("PASS p", "230 in")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("RETR big", "150 opening (4294967297 bytes)")
                     .dataConnect()
                     .dataSend("abc")
                     .dataClose()
                     .reply("226 done")
                     .command("QUIT", "221 bye"));
    const std::string local = std::filesystem::temp_directory_path().string() +
                              "/kestrel-host-progress-" + std::to_string(getpid());
    HostRun run = RunHost(std::string("new a\nftpLogin a \"") + kServerAddress +
                              "\" \"u\" \"p\"\nwait a 20\nftpRecvFile a \"big\" \"" + local +
                              "\" 73\nwait a 20\nftpProgress a\nftpLogout a\n",
                          "--progress");
    std::filesystem::remove(local);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("ftpProgress a => \"3 4294967297\"\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("\"progress\":{\"bytes\":3,\"total\":4294967297,"), std::string::npos)
        << run.err;
    // Three bytes where the server announced more: the end record says the transfer failed.
    EXPECT_NE(run.err.find("\"failed\":true,\"code\":2010"), std::string::npos) << run.err;
}

TEST(KestrelHost, APassedWaitLimitGivesStatus3) {
    ktest::ScriptedServer server(kServerAddress, 21);
    // The greeting comes late: the login runs well past the limit of 0 seconds.
    server.start(ktest::Scenario().stall(3000ms).reply("220 late"));
    HostRun run = RunHost(std::string("new a\nftpLogin a \"") + kServerAddress +
                          "\" \"\" \"\"\nwait a 0\nftpDone a\n");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.err, "line 3: wait limit of 0 seconds passed\n");
    EXPECT_EQ(run.out.find("ftpDone"), std::string::npos);
}

TEST(KestrelHost, FailuresExplainThemselvesAndProgressRecordsOnlyTransfersWithTheirEnd) {
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(ktest::Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 password")
                     .command("PASS p", "230 in")
                     .command("TYPE I", "200 type set")
                     .expectPrefix("PORT ")
                     .reply("200 PORT ok")
                     .command("RETR small", "150 here (5 bytes)")
                     .dataConnect()
                     .dataSend("hello")
                     .dataClose()
                     .reply("226 done")
                     .command("CWD /", "250 ok")
                     .expectPrefix("PORT ")
                     .reply("200 PORT ok")
                     .command("RETR nosuch.bin", "550 No such file or directory.")
                     .command("QUIT", "221 bye"));
    std::string local = std::filesystem::temp_directory_path().string() + "/kestrel-host-small-" +
                        std::to_string(getpid());
    HostRun run = RunHost(std::string("new a\nftpLogin a \"") + kServerAddress +
                              "\" \"u\" \"p\"\nwait a 20\n"
                              "ftpRecvFile a \"small\" \"" +
                              local +
                              "\" 73\nwait a 20\n"
                              "ftpCWD a \"/\"\nwait a 20\n"
                              "ftpRecvFile a \"nosuch.bin\" \"" +
                              local +
                              ".x\" 73\n"
                              "wait a 20 expect 1010\n"
                              "ftpSendFile a \"" +
                              local +
                              ".missing\" \"up\" 73\n"
                              "wait a 20 expect 1004\n"
                              "ftpSetOption a \"trottle\" \"0\"\n"
                              "ftpLogout a\n",
                          "--progress --fail");
    std::filesystem::remove(local);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(server.waitDone(5000ms)) << server.report();
    // One last record per transfer, saying how it ended; none for the login or the CWD.
    EXPECT_NE(run.err.find("{\"line\":5,\"object\":\"a\",\"progress\":{\"bytes\":5,"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\"finished\":true}}\n"), std::string::npos) << run.err;
    for (const char* line : {"\"line\":3,", "\"line\":7,"}) {
        EXPECT_EQ(run.err.find(line), std::string::npos) << run.err;
    }
    EXPECT_NE(run.err.find("\"failed\":true,\"code\":1010}}\n"
                           "  the server said: 550 No such file or directory. (remote file "
                           "\"nosuch.bin\")\n  hint: check the remote name"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("  local file \"" + local + ".missing\": does not exist\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("  no option \"trottle\"; did you mean \"throttle\"?"),
              std::string::npos)
        << run.err;
}

}  // namespace
