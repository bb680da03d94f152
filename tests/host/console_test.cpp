// kestrel-host for people and for shells: the finer points of its script language, the texts it
// shows, --fail, interrupts while a script runs, and the interactive prompt driven through a
// pseudo-terminal (keys in, screen out).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host_environment.h"
#include "script_runner.h"
#include "scripted_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kServerAddress = "127.0.0.6";

TEST(ScriptLanguage, CommentsGluedTokensAndBareWordsAreToldApart) {
    struct Case {
        const char* line;
        size_t tokens;      // when it splits
        const char* error;  // else a part of the reason
    } cases[] = {
        {"ftpPWD a # a comment \"with a quote", 2, nullptr},
        {"ftpCWD a \"#not a comment\"", 3, nullptr},
        {"ftpCWD a \"x\"y", 0, "no blank after the string \"x\""},
        {"ftpCWD a \"x\"\"y\"", 0, "no blank after the string \"x\""},
        {"ftpLogin a 127.0.0.5 \"me\" \"pw\"", 0,
         "not an integer: 127.0.0.5 (strings need double quotes: \"127.0.0.5\")"},
        {"x 99999999999", 0, "integer out of range"},
    };
    for (const Case& c : cases) {
        std::vector<ScriptToken> tokens;
        std::string error;
        bool split = TokenizeScriptLine(c.line, &tokens, &error);
        if (c.error == nullptr) {
            EXPECT_TRUE(split) << c.line << ": " << error;
            EXPECT_EQ(tokens.size(), c.tokens) << c.line;
        } else {
            EXPECT_FALSE(split) << c.line;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.line << ": " << error;
        }
    }
}

TEST(ScriptLanguage, AnUnknownNameGetsTheNearestOneAsASuggestion) {
    std::vector<std::string> names = {"wait", "ftpLogin", "ftpLogout", "ftpRecvFile", "ftpDir"};
    EXPECT_EQ(NearestName("FTPLOGIN", names), "ftpLogin");
    EXPECT_EQ(NearestName("ftpRecvFiel", names), "ftpRecvFile");  // two letters swapped
    EXPECT_EQ(NearestName("wiat", names), "wait");
    EXPECT_EQ(NearestName("ftpFly", names), "");  // nothing near enough
}

TEST(HostText, Utf8StaysReadableOtherBytesAreEscaped) {
    // For people: valid UTF-8 as it is; controls (C1 too, which terminals act on) and stray
    // bytes as \xHH; several lines as lines.
    EXPECT_EQ(DisplayString("d\xC3\xA4t\xC3\xA4"), "\"d\xC3\xA4t\xC3\xA4\"");
    EXPECT_EQ(DisplayString("a\"\\\x1B[2J\xC2\x9B\xFF\xC3"),
              "\"a\\\"\\\\\\x1B[2J\\xC2\\x9B\\xFF\\xC3\"");
    EXPECT_EQ(DisplayString("\xED\xA0\x80"), "\"\\xED\\xA0\\x80\"");  // a surrogate
    EXPECT_EQ(DisplayResult("214-Commands:\r\n ABOR RETR\r\n214 Done.\r\n"),
              "\n  214-Commands:\n   ABOR RETR\n  214 Done.");
    EXPECT_EQ(DisplayResult("257 \"/\""), "\"257 \\\"/\\\"\"");
    // JSON: a valid UTF-8 text keeps its characters, any other its bytes as \u00XX.
    EXPECT_EQ(JsonString("d\xC3\xA4t\xC3\xA4\n"), "\"d\xC3\xA4t\xC3\xA4\\n\"");
    EXPECT_EQ(JsonString("d\xE4t\xC3\xA4"), "\"d\\u00e4t\\u00c3\\u00a4\"");
}

// A child process of kestrel-host, optionally on a pseudo-terminal.
class Host {
  public:
    // Starts kestrel-host with args; on a terminal when script is empty, else with the script
    // file as its input and its output in files.
    Host(const std::vector<std::string>& args, const std::string& home, bool terminal) {
        // Everything is prepared before the fork: the child of a process with threads may only
        // make calls that are safe in a signal handler until it executes the program.
        std::vector<std::string> all = {KESTREL_HOST_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<std::string> environment = {"HOME=" + home};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (strncmp(*variable, "HOME=", 5) != 0) {
                environment.push_back(*variable);
            }
        }
        std::vector<char*> argv, envp;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        for (std::string& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        base_ = home + "/host";
        int out = -1, err = -1, in = -1;
        if (!terminal) {
            out = open((base_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            err = open((base_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        pid_ = terminal ? forkpty(&terminal_, nullptr, nullptr, nullptr) : fork();
        if (pid_ == 0) {
            if (!terminal) {
                dup2(in, 0);
                dup2(out, 1);
                dup2(err, 2);
            }
            if (chdir(home.c_str()) == 0) {
                execve(argv[0], argv.data(), envp.data());
            }
            _exit(127);
        }
        for (int fd : {out, err, in}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    ~Host() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (terminal_ >= 0) {
            close(terminal_);
        }
    }

    void Type(const std::string& keys) {
        ASSERT_EQ(write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads the screen until it shows text (after what earlier calls consumed); false after
    // the time-out.
    bool Shows(const std::string& text, Clock::duration timeout = 10s) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            size_t at = screen_.find(text, consumed_);
            if (at != std::string::npos) {
                consumed_ = at + text.size();
                return true;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            fd_set set;
            FD_ZERO(&set);
            FD_SET(terminal_, &set);
            timeval tick{0, 20000};
            if (select(terminal_ + 1, &set, nullptr, nullptr, &tick) > 0) {
                char chunk[4096];
                ssize_t count = read(terminal_, chunk, sizeof chunk);
                if (count <= 0) {
                    return false;
                }
                screen_.append(chunk, static_cast<size_t>(count));
            }
        }
    }
    const std::string& Screen() const { return screen_; }

    // Waits for the prompt and for the line editor to take the terminal over: libedit writes
    // the prompt before it leaves canonical mode, and a key typed in between would reach it
    // otherwise (a Ctrl-D as another character).
    bool Prompted() { return Shows("kestrel> ") && AwaitCanonical(false); }
    // Waits until the host has taken the line typed and runs it (the editor has given the
    // terminal back), so that a Ctrl-C reaches the command and not the line editor.
    bool Running() { return AwaitCanonical(true); }

    void Signal(int signal) { kill(pid_, signal); }

    // The exit status once the program ended within timeout, else -1.
    int Exit(Clock::duration timeout) {
        auto deadline = Clock::now() + timeout;
        while (status_ < 0 && Clock::now() < deadline) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 256 + WTERMSIG(raw);
                break;
            }
            if (terminal_ >= 0) {
                Shows("\x01\x02", 20ms);  // keeps the terminal drained; never appears
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
        return status_;
    }
    std::string Output(const char* suffix) const {
        std::ostringstream text;
        text << std::ifstream(base_ + suffix).rdbuf();
        return text.str();
    }

  private:
    bool AwaitCanonical(bool canonical) {
        auto deadline = Clock::now() + 10s;
        termios mode{};
        while (tcgetattr(terminal_, &mode) == 0 && ((mode.c_lflag & ICANON) != 0) != canonical) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    pid_t pid_ = -1;
    int terminal_ = -1;
    int status_ = -1;
    std::string base_;
    std::string screen_;
    size_t consumed_ = 0;
};

std::string TempHome() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/kestrel-home-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    return pattern;
}

// A login, then a download that the server sends until the client speaks, an abort, and QUIT.
ktest::Scenario AbortedDownload(const std::string& password) {
    return ktest::Scenario()
        .reply("220 ready")
        .command("USER u", "331 password")
        .command("PASS " + password, "230 in")
        .command("TYPE I", "200 type set")
        .expectPrefix("PORT ")
        .reply("200 PORT ok")
        .command("RETR big", "150 here it comes")
        .dataConnect()
        .dataSendUntilControlInput(std::string(8 << 20, 'x'))
        .expectAbort({"426 transfer broken", "226 abort done"})
        .dataClose()
        .command("QUIT", "221 bye");
}

bool SeenCommand(const ktest::ScriptedServer& server, const std::string& line) {
    for (const std::string& seen : server.lines()) {
        if (seen == line) {
            return true;
        }
    }
    return false;
}

bool AwaitCommand(const ktest::ScriptedServer& server, const std::string& line) {
    auto deadline = Clock::now() + 10s;
    while (!SeenCommand(server, line)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(KestrelHost, FailEndsTheScriptWithStatus4AtAFailedWaitUnlessItWasExpected) {
    std::string home = TempHome();
    for (const char* wait : {"wait a 20", "wait a 20 expect 1009"}) {
        ktest::ScriptedServer server(kServerAddress, 21);
        server.start(ktest::Scenario()
                         .reply("220 ready")
                         .command("USER u", "331 password")
                         .command("PASS p", "530 no")
                         .command("QUIT", "221 bye"));
        std::ofstream(home + "/s.ks")
            << "new a\nftpLogin a \"" << kServerAddress << "\" \"u\" \"p\"\n"
            << wait << "\nftpDone a\n";
        Host host({"--fail", "s.ks"}, home, false);
        bool expected = std::string(wait).find("expect") != std::string::npos;
        ASSERT_EQ(host.Exit(10s), expected ? 0 : 4) << wait << host.Output(".err");
        EXPECT_EQ(host.Output(".out").find("ftpDone a => 1") != std::string::npos, expected);
        if (!expected) {
            EXPECT_EQ(host.Output(".err"),
                      "  the server said: 530 no\n  hint: check the user name and the password\n"
                      "line 3: wait a ended with 1009 (Server rejected user ID/Password), a "
                      "failure\n");
            ASSERT_TRUE(server.waitDone()) << server.report();  // forgotten: QUIT was sent
        }
    }
    std::filesystem::remove_all(home);
}

TEST(KestrelHost, AnInterruptedScriptAbortsForgetsRemovesThePartFileAndEndsIn3Seconds) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::string home = TempHome();
        ktest::ScriptedServer server(kServerAddress, 21);
        server.start(AbortedDownload("p"));
        std::ofstream(home + "/s.ks") << "new a\nftpLogin a \"" << kServerAddress
                                      << "\" \"u\" \"p\"\nwait a 20\n"
                                         "ftpRecvFile a \"big\" \"big.part\" 73\nwait a 20\n";
        Host host({"s.ks"}, home, false);
        ASSERT_TRUE(AwaitCommand(server, "RETR big")) << server.report();
        auto interrupted = Clock::now();
        host.Signal(signal);
        EXPECT_EQ(host.Exit(5s), 128 + signal) << host.Output(".err");
        EXPECT_LT(Clock::now() - interrupted, 3s);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        EXPECT_EQ(server.aborCount(), 1);
        EXPECT_TRUE(SeenCommand(server, "QUIT"));
        EXPECT_FALSE(std::filesystem::exists(home + "/big.part"));
        std::filesystem::remove_all(home);
    }
}

TEST(KestrelHost, AnInterruptNeverRemovesAFileThatWasThereBeforeTheDownload) {
    std::string home = TempHome();
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(ktest::Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 password")
                     .command("PASS p", "230 in")
                     .command("TYPE I", "200 type set")
                     .expectPrefix("PORT ")
                     .reply("200 PORT ok")
                     .expect("RETR keep")
                     .stallUntilClientCloses());
    std::ofstream(home + "/keep.dat") << "precious";
    std::ofstream(home + "/s.ks") << "new a\nftpLogin a \"" << kServerAddress
                                  << "\" \"u\" \"p\"\nwait a 20\n"
                                     "ftpRecvFile a \"keep\" \"keep.dat\" 73\nwait a 20\n";
    Host host({"s.ks"}, home, false);
    // The server never answers RETR: the module has not touched the file when the signal comes.
    ASSERT_TRUE(AwaitCommand(server, "RETR keep")) << server.report();
    host.Signal(SIGINT);
    EXPECT_EQ(host.Exit(5s), 128 + SIGINT) << host.Output(".err");
    std::ostringstream kept;
    kept << std::ifstream(home + "/keep.dat").rdbuf();
    EXPECT_EQ(kept.str(), "precious");
    std::filesystem::remove_all(home);
}

TEST(Console, HelpCompletionCtrlCAndAHistoryWithoutPasswords) {
    std::string home = TempHome();
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(AbortedDownload("hunter2"));
    Host host({}, home, true);
    ASSERT_TRUE(host.Prompted()) << host.Screen();

    // help lists the methods with their arguments as the module's table names them.
    host.Type("help\r");
    ASSERT_TRUE(host.Shows("ftpLogin NAME \"Host\" \"UserName\" \"Password\"")) << host.Screen();
    ASSERT_TRUE(host.Shows("ftpDir NAME \"Filter\" MoreDetails")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("new box\r");
    ASSERT_TRUE(host.Shows("new box => <void>")) << host.Screen();

    // Tab completes a method, then an object; Ctrl-C drops a half-typed line.
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("ftpDo\tb\t\r");
    ASSERT_TRUE(host.Shows("ftpDone box => 1")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("ftpPWD box\x03");
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("ftpErrorCode box\r");
    ASSERT_TRUE(host.Shows("ftpErrorCode box => 0")) << host.Screen();
    EXPECT_EQ(host.Screen().find("ftpPWD box =>"), std::string::npos);

    // Ctrl-C during a wait aborts the download; the prompt comes back.
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type(std::string("ftpLogin box \"") + kServerAddress + "\" \"u\" \"hunter2\"\r");
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("wait box 20\r");
    ASSERT_TRUE(host.Shows("wait box => 0 \"OK\"")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("ftpRecvFile box \"big\" \"big.part\" 73\r");
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("wait box 20\r");
    ASSERT_TRUE(host.Running()) << host.Screen();
    ASSERT_TRUE(AwaitCommand(server, "RETR big")) << server.report();
    host.Type("\x03");
    ASSERT_TRUE(host.Shows("wait box => -1 \"Transfer aborted by user\"")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    // The partial file stays exactly when data reached it, and then the prompt says how to resume.
    EXPECT_EQ(std::filesystem::exists(home + "/big.part"),
              host.Screen().find("ftpRestartRecvFile box \"big\" \"big.part\" 73 \"auto\"") !=
                  std::string::npos)
        << host.Screen();

    // Ctrl-D ends the host as quit does: the object is forgotten (QUIT).
    host.Type("\x04");
    EXPECT_EQ(host.Exit(5s), 0) << host.Screen();
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();

    // The history is the user's alone and keeps the login without its password.
    struct stat info {};
    ASSERT_EQ(stat((home + "/.kestrel_history").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ostringstream history;
    history << std::ifstream(home + "/.kestrel_history").rdbuf();
    EXPECT_NE(history.str().find("ftpLogin"), std::string::npos) << history.str();
    EXPECT_EQ(history.str().find("hunter2"), std::string::npos) << history.str();
    std::filesystem::remove_all(home);
}

// The length of the file at path, or -1 when there is none.
long long FileSize(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

TEST(Console, CtrlCDuringADownloadKeepsWhatItWroteAndTellsHowToResume) {
    struct Case {
        const char* what;
        const char* before;  // the local file's content before the download, or null for none
        bool dataFlows;      // the server sends data (else it never answers RETR)
    } cases[] = {
        {"data reached a new file", nullptr, true},
        {"no data reached a file that was there", "precious", false},
    };
    for (const Case& c : cases) {
        std::string home = TempHome();
        ktest::ScriptedServer server(kServerAddress, 21);
        server.start(c.dataFlows ? AbortedDownload("p")
                                 : ktest::Scenario()
                                       .reply("220 ready")
                                       .command("USER u", "331 password")
                                       .command("PASS p", "230 in")
                                       .command("TYPE I", "200 type set")
                                       .expectPrefix("PORT ")
                                       .reply("200 PORT ok")
                                       .expect("RETR big")
                                       .stallUntilClientCloses());
        if (c.before != nullptr) {
            std::ofstream(home + "/big.part") << c.before;
        }
        Host host({}, home, true);
        std::string login = "ftpLogin a \"" + std::string(kServerAddress) + "\" \"u\" \"p\"";
        for (std::string line : {std::string("new a"), login, std::string("wait a 20"),
                                 std::string("ftpRecvFile a \"big\" \"big.part\" 73")}) {
            ASSERT_TRUE(host.Prompted()) << c.what << host.Screen();
            host.Type(line + "\r");
        }
        ASSERT_TRUE(host.Prompted()) << c.what << host.Screen();
        host.Type("wait a 20\r");
        ASSERT_TRUE(host.Running()) << c.what << host.Screen();
        ASSERT_TRUE(AwaitCommand(server, "RETR big")) << c.what << server.report();
        // Ctrl-C only once bytes are in the file, when data flows at all.
        auto deadline = Clock::now() + 10s;
        while (c.dataFlows && FileSize(home + "/big.part") <= 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        host.Type("\x03");
        ASSERT_TRUE(host.Shows("wait a => -1 \"Transfer aborted by user\""))
            << c.what << host.Screen();
        ASSERT_TRUE(host.Prompted()) << c.what << host.Screen();
        std::ostringstream kept;
        kept << std::ifstream(home + "/big.part", std::ios::binary).rdbuf();
        const std::string hint =
            "to resume it:\r\n    ftpRestartRecvFile a \"big\" \"big.part\" 73 "
            "\"auto\"\r\n";
        if (c.dataFlows) {
            // The hint names the length of the file as it was left: the server's bytes only.
            long long size = FileSize(home + "/big.part");
            ASSERT_GT(size, 0) << c.what;
            EXPECT_EQ(kept.str(), std::string(static_cast<size_t>(size), 'x')) << c.what;
            EXPECT_NE(host.Screen().find("kept the partial download \"big.part\" (" +
                                         std::to_string(size) + " bytes); " + hint),
                      std::string::npos)
                << c.what << host.Screen();
        } else {
            EXPECT_EQ(kept.str(), c.before) << c.what;
            EXPECT_EQ(host.Screen().find("ftpRestartRecvFile"), std::string::npos)
                << c.what << host.Screen();
        }
        host.Type("\x04");
        EXPECT_EQ(host.Exit(5s), 0) << c.what << host.Screen();
        ASSERT_TRUE(server.waitDone()) << c.what << server.report();
        EXPECT_TRUE(server.failures().empty()) << c.what << server.report();
        std::filesystem::remove_all(home);
    }
}

TEST(Console, HelpTeachesAndALoginWithoutItsPasswordAsksForItUnseen) {
    std::string home = TempHome();
    ktest::ScriptedServer server(kServerAddress, 21);
    server.start(ktest::Scenario()
                     .reply("220 ready")
                     .command("USER u", "331 password")
                     .command("PASS hunter2", "230 in")
                     .command("QUIT", "221 bye"));
    Host host({}, home, true);
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("help ftpSetOption\r");
    ASSERT_TRUE(host.Shows("throttle   0 to 1     1    0: full speed")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("help ftpRecvFile\r");
    ASSERT_TRUE(host.Shows("73 ('I', image")) << host.Screen();

    // Secrets in the forms a person types them, a misspelt method's included.
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("new box\r");
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("ftpCommand box \" pass hunter4\"\r");
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("wait box 20\r");
    ASSERT_TRUE(host.Shows("wait box => 1003")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("FTPLOGIN box \"h\" \"u\" \"hunter5\"\r");
    ASSERT_TRUE(host.Shows("did you mean ftpLogin?")) << host.Screen();

    // A login without its password asks for it and does not show it.
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type(std::string("ftpLogin box \"") + kServerAddress + "\" \"u\"\r");
    ASSERT_TRUE(host.Shows("Password: ")) << host.Screen();
    host.Type("hunter2\r");
    ASSERT_TRUE(host.Shows("ftpLogin box => 0")) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("wait box 20\r");
    ASSERT_TRUE(host.Shows("wait box => 0 \"OK\"")) << host.Screen();
    EXPECT_EQ(host.Screen().find("hunter2"), std::string::npos) << host.Screen();
    ASSERT_TRUE(host.Prompted()) << host.Screen();
    host.Type("\x04");
    EXPECT_EQ(host.Exit(5s), 0) << host.Screen();
    ASSERT_TRUE(server.waitDone()) << server.report();

    std::ostringstream history;
    history << std::ifstream(home + "/.kestrel_history").rdbuf();
    EXPECT_NE(history.str().find("FTPLOGIN"), std::string::npos) << history.str();
    for (const char* secret : {"hunter2", "hunter4", "hunter5"}) {
        EXPECT_EQ(history.str().find(secret), std::string::npos) << history.str();
    }
    std::filesystem::remove_all(home);
}

}  // namespace
