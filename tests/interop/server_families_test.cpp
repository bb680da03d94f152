// The same work on each family of server: vsftpd, pyftpdlib, proftpd and pure-ftpd, plain and
// with explicit or implicit TLS. Many transfers on one login (each server has its own idea of
// which TLS session a data connection may resume), aborts at once, early and mid-transfer
// (each within a second, the session connected and in step after it, also on a server that
// never answers ABOR), and TLS modes that do not match the server's.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "ftp.h"
#include "server_session_fixture.h"

namespace ktest {
namespace {

using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;
using Clock = std::chrono::steady_clock;

struct FamilyParam {
    Kind kind;
    Tls tls;
    const char* address;
};

std::string ParamName(const ::testing::TestParamInfo<FamilyParam>& info) {
    return ServerCaseName(info.param.kind, info.param.tls);
}

class ServerFamilyTest : public ServerSessionTest,
                         public ::testing::WithParamInterface<FamilyParam> {
protected:
    void SetUp() override {
        const FamilyParam& p = GetParam();
        ASSERT_TRUE(RealFtpServer::installed(p.kind))
            << RealFtpServer::name(p.kind) << " is missing (scripts/test_servers.sh)";
        ASSERT_NO_FATAL_FAILURE(StartAndLogin(p.kind, p.tls, p.address));
    }
};

TEST_P(ServerFamilyTest, TwelveRoundsOfUploadDownloadAndListingOnOneLogin) {
    ASSERT_EQ(FtpSetOption("throttle", "0", key_), FTP_OK);
    const std::string src = local_.path("src"), dst = local_.path("dst");
    for (uint32_t round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(FtpSetOption("passive", round % 2 == 0 ? "0" : "1", key_), FTP_OK);
        const std::string name = "r" + std::to_string(round) + ".bin";
        const std::string original = PatternBytes(100000 + round * 7001, round);
        WriteFile(src, original);
        EXPECT_EQ(FtpSendFile(src.c_str(), name.c_str(), 'I', key_), FTP_OK) << server_->log();
        EXPECT_TRUE(ReadFile(Remote(name)) == original);
        EXPECT_EQ(FtpRecvFile(name.c_str(), dst.c_str(), 'I', key_), FTP_OK) << server_->log();
        EXPECT_TRUE(ReadFile(dst) == original);
        EXPECT_EQ(FtpDir("", local_.path("list").c_str(), 1, key_), FTP_OK) << server_->log();
        EXPECT_NE(ReadFile(local_.path("list")).find(name), std::string::npos);
    }
}

TEST_P(ServerFamilyTest, AbortsEndWithinASecondAndLeaveTheSessionInStep) {
    WriteFile(Remote("big.bin"), PatternBytes(8u << 20, 9));
    WriteFile(local_.path("big"), PatternBytes(8u << 20, 5));
    Clock::duration longest{};
    for (const char* passive : {"0", "1"}) {
        ASSERT_EQ(FtpSetOption("passive", passive, key_), FTP_OK);
        for (bool upload : {false, true}) {
            for (int delay : {0, 30, -1}) {
                SCOPED_TRACE(std::string("passive ") + passive + (upload ? ", upload" : ", download") +
                             ", after " + std::to_string(delay) + " ms");
                const Clock::duration took = AbortAfter(upload, std::chrono::milliseconds(delay));
                longest = std::max(longest, took);
                EXPECT_LE(took, std::chrono::milliseconds(1000));
                char text[FTP_REPLY_SIZE];
                ASSERT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK) << server_->log();
                ASSERT_EQ(FtpCommand("NOOP", text, sizeof text, key_), 200) << text;
            }
        }
        // The aborted data connections cost no session that the next one needs.
        WriteFile(Remote("small.bin"), "after the aborts");
        ASSERT_EQ(FtpRecvFile("small.bin", local_.path("small").c_str(), 'I', key_), FTP_OK)
            << server_->log();
    }
    std::printf("[ abort    ] %s: longest abort %lld ms\n",
                ParamName({GetParam(), 0}).c_str(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
}

TEST_P(ServerFamilyTest, KilledSessionsAreResumedByRetriesByteForByte) {
    if (GetParam().kind == Kind::Pyftpdlib) {
        GTEST_SKIP() << "pyftpdlib serves every session in its one process";
    }
    ASSERT_EQ(FtpSetOption("retries", "3", key_), FTP_OK);
    ASSERT_EQ(FtpSetOption("retryDelay", "100", key_), FTP_OK);
    ASSERT_EQ(FtpSetOption("verify", "2", key_), FTP_OK);
    const std::string original = PatternBytes(900000, 3);
    WriteFile(Remote("resume.bin"), original);
    WriteFile(local_.path("resume"), original);
    for (bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        // Paced, so that the kill comes in the middle.
        ASSERT_EQ(FtpSetOption("passive", upload ? "1" : "0", key_), FTP_OK);
        ASSERT_EQ(FtpSetOption("trace", getenv("KESTREL_TRACE") ? "1" : "0", key_), FTP_OK);
        FtpResetCounters(key_);
        auto worker = std::async(std::launch::async, [&] {
            return upload ? FtpSendFile(local_.path("resume").c_str(), "up.bin", 'I', key_)
                          : FtpRecvFile("resume.bin", local_.path("down").c_str(), 'I', key_);
        });
        int64_t seen = 0;
        bool backwards = false;
        bool killed = false;
        while (worker.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
            const int64_t now = FtpBytesTransferred(key_);
            backwards = backwards || now < seen;
            seen = now;
            if (!killed && now >= 300000) {
                killed = server_->killSessions() > 0;
            }
        }
        EXPECT_TRUE(killed);
        EXPECT_FALSE(backwards);
        EXPECT_EQ(worker.get(), FTP_OK) << server_->log();
        char detail[256];
        FtpResultDetail(detail, sizeof detail, key_);
        // Checked by size, and by checksum where the server has one (proftpd's mod_digest). A
        // server that handed the whole download to the system before it was killed (pure-ftpd
        // does) leaves nothing to resume.
        const std::string said = detail;
        const std::string checks = GetParam().kind == Kind::Proftpd ? "OK, verified by SIZE and "
                                                                    : "OK, verified by SIZE";
        EXPECT_EQ(said.rfind(checks, 0), 0u) << said;
        EXPECT_TRUE(said.find(" attempts)") != std::string::npos ||
                    (!upload && GetParam().kind == Kind::PureFtpd))
            << said;
        EXPECT_TRUE(ReadFile(upload ? Remote("up.bin") : local_.path("down")) == original);
        EXPECT_EQ(FtpBytesTransferred(key_), static_cast<int64_t>(original.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ServerFamilyTest,
    ::testing::Values(FamilyParam{Kind::Vsftpd, Tls::Explicit, "127.0.0.60"},
                      FamilyParam{Kind::Vsftpd, Tls::Implicit, "127.0.0.60"},
                      FamilyParam{Kind::Pyftpdlib, Tls::Explicit, "127.0.0.61"},
                      FamilyParam{Kind::Pyftpdlib, Tls::Implicit, "127.0.0.61"},
                      FamilyParam{Kind::Proftpd, Tls::Off, "127.0.0.62"},
                      FamilyParam{Kind::Proftpd, Tls::Explicit, "127.0.0.62"},
                      FamilyParam{Kind::Proftpd, Tls::Implicit, "127.0.0.62"},
                      FamilyParam{Kind::PureFtpd, Tls::Off, "127.0.0.63"},
                      FamilyParam{Kind::PureFtpd, Tls::Explicit, "127.0.0.63"}),
    ParamName);

// A client whose TLS mode does not match the server's port gives up within its time-out with a
// code that says so, whichever side waits for the other.
TEST(MismatchedTlsModes, EndWithinTheTimeOutWithAClearCode) {
    const int32_t key = 7690;
    ASSERT_EQ(FtpCreateSession(nullptr, key), FTP_OK);
    ASSERT_EQ(FtpSetOption("timeout", "3", key), FTP_OK);
    ASSERT_EQ(FtpSetOption("tlsVerify", "0", key), FTP_OK);
    auto login = [&](const RealFtpServer& server, const char* tls) {
        EXPECT_EQ(FtpSetOption("tls", tls, key), FTP_OK);
        EXPECT_EQ(FtpSetOption("port", std::to_string(server.port()).c_str(), key), FTP_OK);
        const Clock::time_point started = Clock::now();
        const int32_t result = FtpLogin(server.address().c_str(), server.user().c_str(),
                                        server.password().c_str(), key);
        EXPECT_LE(Clock::now() - started, std::chrono::milliseconds(4500));
        FtpDisconnect(key);
        return result;
    };
    for (Kind kind : {Kind::Vsftpd, Kind::Proftpd}) {
        SCOPED_TRACE(RealFtpServer::name(kind));
        RealFtpServer implicit(kind, "127.0.0.64", 990);
        implicit.setTls(Tls::Implicit);
        ASSERT_TRUE(implicit.start()) << implicit.error();
        const int32_t result = login(implicit, "1");
        EXPECT_TRUE(result == FTP_NO_ANSWER || result == FTP_TLS_HANDSHAKE_FAILED) << result;
    }
    for (Kind kind : {Kind::Pyftpdlib, Kind::PureFtpd}) {
        SCOPED_TRACE(RealFtpServer::name(kind));
        RealFtpServer plain(kind, "127.0.0.64");
        ASSERT_TRUE(plain.start()) << plain.error();
        const int32_t result = login(plain, "2");
        EXPECT_TRUE(result == FTP_NO_ANSWER || result == FTP_TLS_HANDSHAKE_FAILED) << result;
    }
    FtpDestroySession(key);
}

}  // namespace
}  // namespace ktest
