// The benchmark tools against a real server: they must move and verify every file, notice a
// damaged copy or a failed transfer, time the span they claim to time, and print the record
// that scripts/bench.sh and the report read. pyftpdlib on 127.0.0.32, port 21 (root), an
// address no other suite uses; for the TLS flags a pyftpdlib with explicit TLS on 127.0.0.34.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "real_servers.h"
#include "tls_certs.h"

namespace {

constexpr const char* kAddress = "127.0.0.32";

struct ToolRun {
    int status = -1;     // exit status, -1 when it did not exit normally
    std::string output;  // standard output
};

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

ToolRun RunTool(const std::vector<std::string>& argv) {
    std::string command;
    for (const std::string& arg : argv) {
        command += Quote(arg) + " ";
    }
    command += "2>/dev/null";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        run.output.append(chunk, n);
    }
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The number after "key": in a one-line record; NaN when the key is missing.
double Field(const std::string& record, const std::string& key) {
    std::string marker = "\"" + key + "\": ";
    size_t at = record.find(marker);
    if (at == std::string::npos) {
        return std::nan("");
    }
    return std::strtod(record.c_str() + at + marker.size(), nullptr);
}

void WriteBytes(const std::string& path, size_t size, unsigned seed) {
    std::ofstream out(path, std::ios::binary);
    unsigned x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out.put(static_cast<char>(x >> 16));
    }
}

class BenchToolsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ktest::RealFtpServer(ktest::RealFtpServer::Kind::Pyftpdlib, kAddress);
        started_ = server_->start();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started_) << server_->error();
        char pattern[] = "/tmp/kestrel-bench-tools-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work_ = pattern;
        // 40 KiB: 10 blocks, so 1 pause alone and 3 pauses when several objects exist.
        source_ = work_ + "/source.bin";
        WriteBytes(source_, 40 * 1024, 7);
        std::filesystem::copy_file(source_, server_->rootDir() + "/file.bin",
                                   std::filesystem::copy_options::overwrite_existing);
    }
    void TearDown() override { std::filesystem::remove_all(work_); }

    std::vector<std::string> Tool(const std::string& tool, const std::string& mode) const {
        return {tool, mode, "--host", kAddress, "--user", server_->user(), "--password",
                server_->password()};
    }
    std::vector<std::string> Transfer(const std::string& tool, const std::string& direction,
                                      int objects) const {
        std::vector<std::string> argv = Tool(tool, "transfer");
        for (const std::string& arg :
             {std::string("--direction"), direction, std::string("--objects"),
              std::to_string(objects), std::string("--remote"),
              std::string(direction == "down" ? "file.bin" : "up.bin"), std::string("--source"),
              source_, std::string("--work"), work_, std::string("--server-root"),
              server_->rootDir()}) {
            argv.push_back(arg);
        }
        return argv;
    }
    size_t ServerFiles() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(server_->rootDir())) {
            count += entry.is_regular_file() ? 1 : 0;
        }
        return count;
    }

    static ktest::RealFtpServer* server_;
    static bool started_;
    std::string work_;
    std::string source_;
};

ktest::RealFtpServer* BenchToolsTest::server_ = nullptr;
bool BenchToolsTest::started_ = false;

TEST_F(BenchToolsTest, EngineDownloadsVerifyEveryCopyAndCountTheRhythm) {
    ToolRun run = RunTool(Transfer(KESTREL_BENCH_TOOL, "down", 3));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Field(run.output, "verified"), 3) << run.output;
    EXPECT_EQ(Field(run.output, "failures"), 0);
    EXPECT_EQ(Field(run.output, "blocks_expected"), 10);
    EXPECT_EQ(Field(run.output, "pauses_expected"), 3);  // shared rhythm: blocks 3, 6, 9
    EXPECT_DOUBLE_EQ(Field(run.output, "ideal_seconds"), 0.3);
    // The span covers the transfers: it cannot be shorter than their pauses (less a margin for
    // a pause that ends a little early).
    EXPECT_GE(Field(run.output, "seconds"), 0.27) << run.output;
    EXPECT_GT(Field(run.output, "rss_per_object"), 0);
    // The downloaded copies are gone again.
    EXPECT_FALSE(std::filesystem::exists(work_ + "/down-0"));
}

TEST_F(BenchToolsTest, EngineNoticesADamagedCopy) {
    // The source the copies are compared with differs from what the server sends.
    WriteBytes(source_, 40 * 1024, 8);
    ToolRun run = RunTool(Transfer(KESTREL_BENCH_TOOL, "down", 1));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Field(run.output, "verified"), 0) << run.output;
    EXPECT_EQ(Field(run.output, "failures"), 0);
}

TEST_F(BenchToolsTest, EngineRawUploadsHaveNoIdealAndLeaveNothingBehind) {
    const size_t before = ServerFiles();
    std::vector<std::string> argv = Transfer(KESTREL_BENCH_TOOL, "up", 2);
    argv.push_back("--raw");
    ToolRun run = RunTool(argv);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Field(run.output, "verified"), 2) << run.output;
    EXPECT_EQ(Field(run.output, "ideal_seconds"), 0);
    EXPECT_EQ(Field(run.output, "blocks_counted"), 10);  // an upload reads whole blocks
    EXPECT_EQ(ServerFiles(), before);
}

TEST_F(BenchToolsTest, EngineReportsAFailedTransfer) {
    std::vector<std::string> argv = Transfer(KESTREL_BENCH_TOOL, "down", 1);
    argv[argv.size() - 7] = "missing.bin";  // the value of --remote
    ToolRun run = RunTool(argv);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Field(run.output, "failures"), 1) << run.output;
    EXPECT_EQ(Field(run.output, "first_error"), 1010);  // 550: cannot open the remote file
}

TEST_F(BenchToolsTest, EngineNoopCountsEveryRoundTrip) {
    std::vector<std::string> argv = Tool(KESTREL_BENCH_TOOL, "noop");
    argv.push_back("--count");
    argv.push_back("50");
    ToolRun run = RunTool(argv);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Field(run.output, "round_trips"), 50);
    EXPECT_EQ(Field(run.output, "failures"), 0);
    EXPECT_GT(Field(run.output, "per_second"), 0);
}

TEST_F(BenchToolsTest, EngineRefusesAnIncompleteCommandLine) {
    ToolRun run = RunTool(Tool(KESTREL_BENCH_TOOL, "transfer"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "");
}

TEST_F(BenchToolsTest, FtplibPeerMovesAndVerifiesBothWays) {
    for (const char* direction : {"down", "up"}) {
        std::vector<std::string> argv = Transfer(FTPLIB_PEER, direction, 1);
        argv.insert(argv.begin(), "/usr/bin/python3");
        argv.erase(argv.begin() + 11, argv.begin() + 13);  // the peer has no --objects
        ToolRun run = RunTool(argv);
        ASSERT_EQ(run.status, 0) << direction << ": " << run.output;
        EXPECT_EQ(Field(run.output, "verified"), 1) << run.output;
        EXPECT_EQ(Field(run.output, "size"), 40 * 1024);
        EXPECT_GT(Field(run.output, "session_seconds"), 0);
    }
    std::vector<std::string> noop = Tool(FTPLIB_PEER, "noop");
    noop.insert(noop.begin(), "/usr/bin/python3");
    noop.push_back("--count");
    noop.push_back("20");
    ToolRun run = RunTool(noop);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Field(run.output, "round_trips"), 20);
}

#ifdef KESTREL_SCRIPT_BENCH_TOOL
TEST_F(BenchToolsTest, ScriptInterfaceTransfersVerifyEveryCopy) {
    for (const char* direction : {"down", "up"}) {
        ToolRun run = RunTool(Transfer(KESTREL_SCRIPT_BENCH_TOOL, direction, 2));
        ASSERT_EQ(run.status, 0) << direction << ": " << run.output;
        EXPECT_EQ(Field(run.output, "verified"), 2) << run.output;
        EXPECT_DOUBLE_EQ(Field(run.output, "ideal_seconds"), 0.3);
        EXPECT_GE(Field(run.output, "seconds"), 0.27) << run.output;
    }
    std::vector<std::string> noop = Tool(KESTREL_SCRIPT_BENCH_TOOL, "noop");
    noop.push_back("--count");
    noop.push_back("20");
    ToolRun run = RunTool(noop);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(Field(run.output, "failures"), 0);
}

TEST_F(BenchToolsTest, ScriptInterfaceFullSpeedPassiveTransfersVerify) {
    for (const char* direction : {"down", "up"}) {
        std::vector<std::string> argv = Transfer(KESTREL_SCRIPT_BENCH_TOOL, direction, 1);
        for (const char* arg : {"--throttle", "0", "--passive", "1"}) {
            argv.push_back(arg);
        }
        ToolRun run = RunTool(argv);
        ASSERT_EQ(run.status, 0) << direction << ": " << run.output;
        EXPECT_EQ(Field(run.output, "verified"), 1) << run.output;
        EXPECT_EQ(Field(run.output, "ideal_seconds"), 0);
        // With the default rhythm these 10 blocks would take at least one 100 ms pause.
        EXPECT_LT(Field(run.output, "seconds"), 0.1) << run.output;
    }
}

TEST_F(BenchToolsTest, ScriptInterfaceAbortIsTimedAndChecksTheNextReplies) {
    // 1 MiB with the default rhythm takes seconds: the abort after 30 ms reaches the transfer.
    WriteBytes(server_->rootDir() + "/big.bin", 1 << 20, 9);
    const size_t before = ServerFiles();
    for (const char* direction : {"down", "up"}) {
        std::vector<std::string> argv = Transfer(KESTREL_SCRIPT_BENCH_TOOL, direction, 1);
        argv.erase(argv.begin() + 10, argv.begin() + 12);  // abort has no --objects
        argv[1] = "abort";
        argv[argv.size() - 7] = "big.bin";
        argv[argv.size() - 5] = server_->rootDir() + "/big.bin";
        argv.push_back("--after-ms");
        argv.push_back("30");
        ToolRun run = RunTool(argv);
        ASSERT_EQ(run.status, 0) << direction << ": " << run.output;
        EXPECT_EQ(Field(run.output, "result"), -1) << run.output;
        EXPECT_EQ(Field(run.output, "in_step"), 1) << run.output;
        EXPECT_GE(Field(run.output, "abort_seconds"), 0) << run.output;
        EXPECT_LT(Field(run.output, "abort_seconds"), 5) << run.output;
        EXPECT_NE(run.output.find(R"(257 \"/\")"), std::string::npos) << run.output;
    }
    EXPECT_EQ(ServerFiles(), before);  // the partial upload is gone
    // A transfer that ends before the abort measures nothing: the tool says so and fails.
    std::vector<std::string> argv = Transfer(KESTREL_SCRIPT_BENCH_TOOL, "down", 1);
    argv.erase(argv.begin() + 10, argv.begin() + 12);
    argv[1] = "abort";
    argv.push_back("--after-ms");
    argv.push_back("1500");
    ToolRun late = RunTool(argv);
    EXPECT_EQ(late.status, 1) << late.output;
    EXPECT_NE(late.output.find("\"ended_before_abort\": true"), std::string::npos) << late.output;
}

// --tls and --ca-file reach every object through ftpSetOption: with the server's CA the copy
// arrives over TLS and is verified; with a CA that signed nothing here the login fails with
// 4003 (certificate not trusted), which it could not if the flags were dropped.
TEST_F(BenchToolsTest, ScriptInterfaceTlsFlagsReachTheObjects) {
    ktest::RealFtpServer secure(ktest::RealFtpServer::Kind::Pyftpdlib, "127.0.0.34");
    secure.setTls(ktest::RealFtpServer::Tls::Explicit);
    ASSERT_TRUE(secure.start()) << secure.error();
    std::string why;
    std::string otherCa;
    const ktest::TestCertificates* certificates = ktest::TestCertificates::get(&why);
    ASSERT_NE(certificates, nullptr) << why;
    ASSERT_TRUE(certificates->otherCaFile(&otherCa, &why)) << why;
    std::filesystem::copy_file(source_, secure.rootDir() + "/file.bin");
    struct Case {
        std::string caFile;
        int status;
        double verified;
        double firstError;
    };
    for (const Case& c : {Case{secure.caFile(), 0, 1, 0}, Case{otherCa, 1, 0, 4003}}) {
        std::vector<std::string> argv = {KESTREL_SCRIPT_BENCH_TOOL, "transfer", "--host",
                                         "127.0.0.34", "--user", secure.user(), "--password",
                                         secure.password(), "--direction", "down", "--objects",
                                         "1", "--remote", "file.bin", "--source", source_,
                                         "--work", work_, "--throttle", "0", "--passive", "1",
                                         "--tls", "1", "--ca-file", c.caFile};
        ToolRun run = RunTool(argv);
        EXPECT_EQ(run.status, c.status) << c.caFile << ": " << run.output;
        EXPECT_EQ(Field(run.output, "tls"), 1) << run.output;
        EXPECT_EQ(Field(run.output, "verified"), c.verified) << run.output;
        EXPECT_EQ(Field(run.output, "first_error"), c.firstError) << run.output;
    }
}

TEST_F(BenchToolsTest, ScriptInterfaceReportsAFailedTransfer) {
    std::vector<std::string> argv = Transfer(KESTREL_SCRIPT_BENCH_TOOL, "down", 1);
    argv[argv.size() - 7] = "missing.bin";
    ToolRun run = RunTool(argv);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(Field(run.output, "first_error"), 1010) << run.output;
}
#endif

}  // namespace
