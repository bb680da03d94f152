// FTPS against real servers on loopback: vsftpd (which insists that every data connection
// resumes the control connection's TLS session) and pyftpdlib, each with explicit and implicit
// TLS, in active and passive mode; and the refusals that must stop a login before USER.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "engine_fixture.h"
#include "ftp.h"
#include "real_servers.h"
#include "tls_certs.h"

namespace ktest {
namespace {

using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;

struct TlsParam {
    Kind kind;
    Tls tls;
    const char* address;
};

std::string ParamName(const ::testing::TestParamInfo<TlsParam>& info) {
    return std::string(RealFtpServer::name(info.param.kind)) +
           (info.param.tls == Tls::Implicit ? "_implicit" : "_explicit");
}

// What the session trace said; the TLS version and cipher appear there.
std::mutex traceLock;
std::string traceText;
void CaptureTrace(const char* text, void*) {
    std::lock_guard<std::mutex> guard(traceLock);
    traceText += text;
}

class TlsInteropTest : public ::testing::TestWithParam<TlsParam> {
protected:
    void SetUp() override {
        const TlsParam& p = GetParam();
        // Implicit servers listen on 990, which the client uses by itself for tls 2.
        server_ = std::make_unique<RealFtpServer>(p.kind, p.address,
                                                  p.tls == Tls::Implicit ? 990 : 21);
        server_->setTls(p.tls);
        ASSERT_TRUE(server_->start()) << server_->error() << "\n" << server_->log();
        static std::atomic<int32_t> nextKey{7000};
        key_ = nextKey++;
        ASSERT_EQ(FtpCreateSession(nullptr, key_), FTP_OK);
        ASSERT_EQ(FtpSetOption("tls", p.tls == Tls::Implicit ? "2" : "1", key_), FTP_OK);
        ASSERT_EQ(FtpSetOption("caFile", server_->caFile().c_str(), key_), FTP_OK);
        FtpFindSession(key_)->connection.traceEnabled = 1;
        PlatSetDebugSink(CaptureTrace, nullptr);
        ASSERT_EQ(FtpLogin(server_->address().c_str(), server_->user().c_str(),
                           server_->password().c_str(), key_),
                  FTP_OK)
            << server_->log();
    }

    void TearDown() override {
        PlatSetDebugSink(nullptr, nullptr);
        if (FtpFindSession(key_) != nullptr) {
            if (FtpLogout(key_) != FTP_OK) {
                FtpDisconnect(key_);
            }
            FtpDestroySession(key_);
        }
    }

    std::string Remote(const std::string& name) const { return server_->rootDir() + "/" + name; }

    std::unique_ptr<RealFtpServer> server_;
    int32_t key_ = 0;
    TempDir local_;
};

TEST_P(TlsInteropTest, TransfersListingsRestartAndAppendInBothModes) {
    ASSERT_EQ(FtpSetOption("throttle", "0", key_), FTP_OK);
    const std::string src = local_.path("src"), dst = local_.path("dst");
    for (const char* passive : {"0", "1"}) {
        ASSERT_EQ(FtpSetOption("passive", passive, key_), FTP_OK);
        for (size_t size : {0u, 1u, 4096u, 300000u}) {
            SCOPED_TRACE(std::string("passive ") + passive + ", size " + std::to_string(size));
            const std::string original = PatternBytes(size, static_cast<uint32_t>(size) + 3);
            WriteFile(src, original);
            ASSERT_EQ(FtpSendFile(src.c_str(), "t.dat", 'I', key_), FTP_OK) << server_->log();
            EXPECT_TRUE(ReadFile(Remote("t.dat")) == original);
            ASSERT_EQ(FtpRecvFile("t.dat", dst.c_str(), 'I', key_), FTP_OK) << server_->log();
            EXPECT_TRUE(ReadFile(dst) == original);
        }
        const std::string text = "line one\r\nline two\r\n";
        WriteFile(src, text);
        ASSERT_EQ(FtpSendFile(src.c_str(), "t.txt", 'A', key_), FTP_OK);
        ASSERT_EQ(FtpRecvFile("t.txt", dst.c_str(), 'A', key_), FTP_OK);
        EXPECT_EQ(ReadFile(dst), text);

        ASSERT_EQ(FtpDir("", local_.path("names").c_str(), 0, key_), FTP_OK);
        EXPECT_NE(ReadFile(local_.path("names")).find("t.dat"), std::string::npos);
        ASSERT_EQ(FtpDir("", local_.path("long").c_str(), 1, key_), FTP_OK);
        EXPECT_NE(ReadFile(local_.path("long")).find("300000"), std::string::npos);

        // Resumed download of the second half, then an append to the remote file.
        const std::string whole = ReadFile(Remote("t.dat"));
        WriteFile(dst, whole.substr(0, 1000));
        int32_t file = PlatFileOpen(dst.c_str(), PLAT_OF_WRITE);
        ASSERT_EQ(PlatFileSeek(file, 1000, PLAT_FILE_BEGIN), 1000);
        ASSERT_EQ(FtpRestartRecvFile("t.dat", file, 'I', 1000, key_), FTP_OK);
        EXPECT_TRUE(ReadFile(dst) == whole);
        ASSERT_EQ(FtpAppendToRemoteFile(dst.c_str(), "t.dat", 'I', key_), FTP_OK);
        EXPECT_TRUE(ReadFile(Remote("t.dat")) == whole + whole);
    }
    std::lock_guard<std::mutex> guard(traceLock);
    const char* expected = std::getenv("KESTREL_TEST_TLS_VERSION");
    const std::string version = expected != nullptr ? expected : "TLSv1.3";
    EXPECT_NE(traceText.find("TLS on the control connection: " + version), std::string::npos)
        << traceText;
    EXPECT_NE(traceText.find("TLS on the data connection: " + version), std::string::npos);
    if (GetParam().kind == Kind::Vsftpd) {
        // vsftpd refuses a data connection that does not resume the control session.
        EXPECT_NE(traceText.find("resumed"), std::string::npos);
    }
}

TEST_P(TlsInteropTest, AbortIsAPlainAborAndTheSessionStaysInStep) {
    WriteFile(Remote("big.bin"), PatternBytes(8u << 20, 9));
    for (const char* passive : {"0", "1"}) {
        SCOPED_TRACE(std::string("passive ") + passive);
        ASSERT_EQ(FtpSetOption("passive", passive, key_), FTP_OK);
        FtpResetCounters(key_);
        FtpBeginOperation(key_);
        auto worker = std::async(std::launch::async, [&] {
            int32_t r = FtpRecvFile("big.bin", local_.path("big").c_str(), 'I', key_);
            FtpEndOperation(key_);
            return r;
        });
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (FtpBytesTransferred(key_) == 0 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling a counter
        }
        ASSERT_GT(FtpBytesTransferred(key_), 0);
        EXPECT_EQ(FtpCancel(key_), 1);
        ASSERT_EQ(worker.wait_for(std::chrono::seconds(1)), std::future_status::ready);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        char text[FTP_REPLY_SIZE];
        EXPECT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK) << server_->log();
        EXPECT_EQ(FtpCommand("NOOP", text, sizeof text, key_), 200) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsInteropTest,
                         ::testing::Values(TlsParam{Kind::Pyftpdlib, Tls::Explicit, "127.0.0.40"},
                                           TlsParam{Kind::Vsftpd, Tls::Explicit, "127.0.0.41"},
                                           TlsParam{Kind::Pyftpdlib, Tls::Implicit, "127.0.0.42"},
                                           TlsParam{Kind::Vsftpd, Tls::Implicit, "127.0.0.43"}),
                         ParamName);

// Each refusal ends the login before USER, with its own code; turning the check off is the
// user's explicit (and insecure) choice.
TEST(TlsRefusals, EachFailureHasItsCodeAndVerifyOffAcceptsAnyCertificate) {
    std::string why;
    const TestCertificates* certificates = TestCertificates::get(&why);
    ASSERT_NE(certificates, nullptr) << why;
    std::string otherCa;
    ASSERT_TRUE(certificates->otherCaFile(&otherCa, &why)) << why;

    const int32_t key = 7900;
    ASSERT_EQ(FtpCreateSession(nullptr, key), FTP_OK);
    auto login = [&](const RealFtpServer& server, const char* tls, const std::string& caFile,
                     const char* verify) {
        EXPECT_EQ(FtpSetOption("tls", tls, key), FTP_OK);
        EXPECT_EQ(FtpSetOption("caFile", caFile.c_str(), key), FTP_OK);
        EXPECT_EQ(FtpSetOption("tlsVerify", verify, key), FTP_OK);
        int32_t result = FtpLogin(server.address().c_str(), server.user().c_str(),
                                  server.password().c_str(), key);
        FtpDisconnect(key);
        return result;
    };
    {
        RealFtpServer plain(Kind::Pyftpdlib, "127.0.0.44");
        ASSERT_TRUE(plain.start()) << plain.error();
        EXPECT_EQ(login(plain, "1", "", "1"), FTP_TLS_REFUSED);
    }
    {
        RealFtpServer server(Kind::Pyftpdlib, "127.0.0.44");
        server.setTls(Tls::Explicit);
        ASSERT_TRUE(server.start()) << server.error();
        EXPECT_EQ(login(server, "1", otherCa, "1"), FTP_TLS_UNTRUSTED);
        EXPECT_EQ(login(server, "1", "", "1"), FTP_TLS_UNTRUSTED);  // not in the system's store
        EXPECT_EQ(login(server, "1", otherCa, "0"), FTP_OK);
        EXPECT_EQ(login(server, "1", server.caFile(), "1"), FTP_OK);
    }
    {
        RealFtpServer server(Kind::Pyftpdlib, "127.0.0.44");
        server.setTls(Tls::Explicit, false);
        ASSERT_TRUE(server.start()) << server.error();
        EXPECT_EQ(login(server, "1", server.caFile(), "1"), FTP_TLS_NAME_MISMATCH);
        EXPECT_EQ(login(server, "1", server.caFile(), "0"), FTP_OK);
    }
    FtpDestroySession(key);
}

}  // namespace
}  // namespace ktest
