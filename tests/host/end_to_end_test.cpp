// The module against real FTP servers, through its binary interface: every script method on a
// pyftpdlib and a vsftpd server started on loopback addresses of their own (port 21: root).

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "module_fixture.h"
#include "real_servers.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

struct ServerCase {
    RealFtpServer::Kind kind;
    const char* address;
};

void PrintTo(const ServerCase& c, std::ostream* out) {
    *out << RealFtpServer::name(c.kind) << " on " << c.address;
}

// Bytes that differ from position to position, so that a misplaced block shows.
std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

class EndToEnd : public ModuleTest, public ::testing::WithParamInterface<ServerCase> {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "real servers on port 21 need root";
        }
        ASSERT_TRUE(RealFtpServer::installed(GetParam().kind))
            << RealFtpServer::name(GetParam().kind) << " is missing: scripts/test.sh installs it";
        server = std::make_unique<RealFtpServer>(GetParam().kind, GetParam().address);
        ASSERT_TRUE(server->start()) << server->error();
    }
    void TearDown() override {
        server.reset();
        ModuleTest::TearDown();
    }

    // Starts an operation, waits for it and returns its exit code.
    int32_t Run(HostObject* object, const std::string& method, std::vector<Arg> args = {}) {
        EXPECT_EQ(CallInt(object, method, std::move(args)), 0) << method;
        EXPECT_TRUE(WaitDone(object, 60s)) << method;
        return CallInt(object, "ftpErrorCode");
    }

    std::string Remote(const std::string& name) const { return server->rootDir() + "/" + name; }

    std::unique_ptr<RealFtpServer> server;
};

TEST_P(EndToEnd, EveryMethodAgainstARealServer) {
    HostObject* ftp = NewObject();
    ASSERT_EQ(Run(ftp, "ftpLogin", {server->address(), server->user(), server->password()}), 0)
        << server->log();
    // The starting directory: "/" for pyftpdlib, the root's full path for vsftpd (not chrooted).
    ASSERT_EQ(Run(ftp, "ftpPWD"), 0);
    const std::string home = CallText(ftp, "ftpResult");
    EXPECT_TRUE(home == "/" || home == server->rootDir()) << home;
    const std::string tour = home == "/" ? "/tour" : home + "/tour";

    ASSERT_EQ(Run(ftp, "ftpCreateDirectory", {"tour"}), 0);
    ASSERT_EQ(Run(ftp, "ftpCWD", {"tour"}), 0);
    ASSERT_EQ(Run(ftp, "ftpPWD"), 0);
    EXPECT_EQ(CallText(ftp, "ftpResult"), tour);

    // Upload, listing, download.
    const std::string content = Pattern(300000, 1);
    const std::string local = workDir + "/picture.bin";
    WriteFile(local, content);
    ASSERT_EQ(Run(ftp, "ftpSendFile", {local, "picture.bin", 73}), 0);
    EXPECT_EQ(CallInt(ftp, "ftpBytesTransferred"), 300000);
    EXPECT_EQ(CallInt(ftp, "ftpBytesToBeTransferred"), 300000);
    EXPECT_EQ(ReadFile(Remote("tour/picture.bin")), content);

    ASSERT_EQ(Run(ftp, "ftpDir", {"", 1}), 0);
    std::vector<std::string> list = CallList(ftp, "ftpResult");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list[0].find("300000"), std::string::npos) << list[0];
    EXPECT_EQ(list[0].substr(list[0].size() - 11), "picture.bin");
    ASSERT_EQ(Run(ftp, "ftpDir", {"", 0}), 0);
    list = CallList(ftp, "ftpResult");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list[0].find("picture.bin"), std::string::npos) << list[0];

    const std::string copy = workDir + "/copy.bin";
    ASSERT_EQ(Run(ftp, "ftpRecvFile", {"picture.bin", copy, 73}), 0);
    EXPECT_EQ(CallInt(ftp, "ftpBytesTransferred"), 300000);
    EXPECT_EQ(ReadFile(copy), content);
    ASSERT_EQ(Run(ftp, "ftpAppendToLocalFile", {"picture.bin", copy, 73}), 0);
    EXPECT_EQ(ReadFile(copy), content + content);

    // Resumed download and upload.
    const std::string part = workDir + "/part.bin";
    WriteFile(part, content.substr(0, 100000));
    ASSERT_EQ(Run(ftp, "ftpRestartRecvFile", {"picture.bin", part, 73, 100000}), 0);
    EXPECT_EQ(CallInt(ftp, "ftpBytesTransferred"), 200000);
    EXPECT_EQ(ReadFile(part), content);
    const std::string prefix = workDir + "/prefix.bin";
    WriteFile(prefix, content.substr(0, 120000));
    ASSERT_EQ(Run(ftp, "ftpSendFile", {prefix, "resumed.bin", 73}), 0);
    ASSERT_EQ(Run(ftp, "ftpRestartSendFile", {local, "resumed.bin", 73, 120000}), 0);
    EXPECT_EQ(CallInt(ftp, "ftpBytesToBeTransferred"), 180000);
    EXPECT_EQ(ReadFile(Remote("tour/resumed.bin")), content);

    // Appending upload in ASCII type.
    const std::string notes = workDir + "/notes.txt";
    WriteFile(notes, "line one\r\nline two\r\n");
    ASSERT_EQ(Run(ftp, "ftpSendFile", {notes, "notes.txt", 65}), 0);
    ASSERT_EQ(Run(ftp, "ftpAppendToRemoteFile", {notes, "notes.txt", 65}), 0);
    std::string remoteNotes = ReadFile(Remote("tour/notes.txt"));
    EXPECT_EQ(remoteNotes.size() % 2, 0u);
    EXPECT_EQ(remoteNotes.substr(0, remoteNotes.size() / 2),
              remoteNotes.substr(remoteNotes.size() / 2));
    EXPECT_NE(remoteNotes.find("line two"), std::string::npos);

    // Rename, delete, directories.
    ASSERT_EQ(Run(ftp, "ftpRenameFile", {"notes.txt", "old-notes.txt"}), 0);
    EXPECT_TRUE(FileExists(Remote("tour/old-notes.txt")));
    EXPECT_FALSE(FileExists(Remote("tour/notes.txt")));
    EXPECT_EQ(Run(ftp, "ftpRenameFile", {"missing.txt", "x.txt"}), 1010);
    for (const char* name : {"old-notes.txt", "picture.bin", "resumed.bin"}) {
        ASSERT_EQ(Run(ftp, "ftpDeleteFile", {name}), 0) << name;
    }
    EXPECT_NE(Run(ftp, "ftpDeleteFile", {"picture.bin"}), 0);
    ASSERT_EQ(Run(ftp, "ftpCDUp"), 0);
    ASSERT_EQ(Run(ftp, "ftpDeleteDirectory", {"tour"}), 0);
    EXPECT_FALSE(FileExists(Remote("tour")));

    // Help and a raw command.
    ASSERT_EQ(Run(ftp, "ftpHelp", {""}), 0);
    EXPECT_FALSE(CallText(ftp, "ftpResult").empty());
    EXPECT_EQ(Run(ftp, "ftpCommand", {"NOOP"}), 200);
    EXPECT_EQ(CallText(ftp, "ftpResult").substr(0, 3), "200");
    EXPECT_EQ(Run(ftp, "ftpCommand", {"XYZZY"}), 500);

    // Abort of a large download: the server keeps sending while the client throttles. vsftpd,
    // blocked in writing the data connection, answers ABOR only once the client drains it,
    // which the engine does after reading the replies: there the abort takes the two reply
    // time-outs, so it is exercised against pyftpdlib only.
    if (GetParam().kind == RealFtpServer::Kind::Pyftpdlib) {
        WriteFile(Remote("big.bin"), Pattern(16 << 20, 2));
        const std::string big = workDir + "/big.bin";
        ASSERT_EQ(CallInt(ftp, "ftpRecvFile", {"big.bin", big, 73}), 0);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (CallInt(ftp, "ftpBytesTransferred") < 65536 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(CallInt(ftp, "ftpDone"), 0);
        EXPECT_EQ(CallInt(ftp, "ftpAbort"), 1);
        ASSERT_TRUE(WaitDone(ftp, 60s));
        EXPECT_EQ(CallInt(ftp, "ftpErrorCode"), -1);
        EXPECT_LT(ReadFile(big).size(), size_t(16 << 20));
        // The control connection still works after the abort.
        ASSERT_EQ(Run(ftp, "ftpPWD"), 0);
        EXPECT_EQ(CallText(ftp, "ftpResult"), home);
    }

    EXPECT_EQ(CallInt(ftp, "ftpLogout"), 0);
    EXPECT_EQ(CallInt(ftp, "forget"), 0);
    host->ReleaseObject(ftp);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
}

TEST_P(EndToEnd, TwoObjectsTransferAtTheSameTime) {
    HostObject* first = NewObject();
    HostObject* second = NewObject();
    for (HostObject* object : {first, second}) {
        ASSERT_EQ(Run(object, "ftpLogin", {server->address(), server->user(), server->password()}),
                  0);
    }
    std::string one = Pattern(200000, 3), two = Pattern(250000, 4);
    WriteFile(Remote("one.bin"), one);
    WriteFile(Remote("two.bin"), two);
    ASSERT_EQ(CallInt(first, "ftpRecvFile", {"one.bin", workDir + "/one.bin", 73}), 0);
    ASSERT_EQ(CallInt(second, "ftpRecvFile", {"two.bin", workDir + "/two.bin", 73}), 0);
    ASSERT_TRUE(WaitDone(first, 60s));
    ASSERT_TRUE(WaitDone(second, 60s));
    EXPECT_EQ(CallInt(first, "ftpErrorCode"), 0);
    EXPECT_EQ(CallInt(second, "ftpErrorCode"), 0);
    EXPECT_EQ(ReadFile(workDir + "/one.bin"), one);
    EXPECT_EQ(ReadFile(workDir + "/two.bin"), two);
    // Each object lists into its own file.
    ASSERT_EQ(Run(first, "ftpDir", {"one.bin", 0}), 0);
    ASSERT_EQ(Run(second, "ftpDir", {"two.bin", 0}), 0);
    ASSERT_EQ(CallList(first, "ftpResult").size(), 1u);
    EXPECT_NE(CallList(first, "ftpResult")[0].find("one.bin"), std::string::npos);
    EXPECT_NE(CallList(second, "ftpResult")[0].find("two.bin"), std::string::npos);
    EXPECT_EQ(CallInt(first, "forget"), 0);
    EXPECT_EQ(CallInt(second, "forget"), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, EndToEnd,
                         ::testing::Values(ServerCase{RealFtpServer::Kind::Pyftpdlib, "127.0.0.7"},
                                           ServerCase{RealFtpServer::Kind::Vsftpd, "127.0.0.8"}),
                         [](const ::testing::TestParamInfo<ServerCase>& info) {
                             return std::string(RealFtpServer::name(info.param.kind));
                         });

}  // namespace
}  // namespace ktest
