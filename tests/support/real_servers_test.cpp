// Smoke tests of the real-server fixtures: each server starts, takes a login over a raw socket,
// lets the user write, makes active-mode data connections from its own address, and is gone
// after stop(). With TLS, an independent client (Python's ftplib, tests/support/ftps_probe.py)
// logs in, uploads, lists and downloads in both modes, and a login in clear is refused. The
// addresses differ from those the interoperability tests use, since ctest may run both
// executables at the same time.

#include "real_servers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "raw_socket.h"
#include "run_command.h"
#include "tls_certs.h"

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

// The preliminary reply to a transfer command: 150, or 125 when the server counts the data
// connection as already open.
bool IsTransferStart(const std::string& reply) {
    return reply.compare(0, 3, "150") == 0 || reply.compare(0, 3, "125") == 0;
}

std::string PrintCase(const testing::TestParamInfo<ServerCase>& info) {
    return RealFtpServer::name(info.param.kind);
}

std::string PortLine(const RawSocket& listener) {
    uint16_t port = listener.localPort();
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF) +
           "\r\n";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class RealServerSmoke : public testing::TestWithParam<ServerCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(RealFtpServer::installed(GetParam().kind))
            << RealFtpServer::name(GetParam().kind) << " is missing: scripts/test.sh installs it";
        server_ = std::make_unique<RealFtpServer>(GetParam().kind, GetParam().address);
        ASSERT_TRUE(server_->start()) << server_->error();
    }

    // Connects, reads the greeting and logs in; the control socket is left open.
    RawSocket Login() {
        RawSocket control = RawSocket::connectTo(server_->address(), server_->port());
        EXPECT_TRUE(control.isOpen());
        EXPECT_EQ(control.readReply().substr(0, 4), "220 ");
        control.sendAll("USER " + server_->user() + "\r\n");
        EXPECT_EQ(control.readReply().substr(0, 3), "331");
        control.sendAll("PASS " + server_->password() + "\r\n");
        std::string reply = control.readReply();
        EXPECT_EQ(reply.substr(0, 3), "230") << reply << server_->log();
        return control;
    }

    std::unique_ptr<RealFtpServer> server_;
};

TEST_P(RealServerSmoke, LogsInWritesAndQuits) {
    RawSocket control = Login();
    ASSERT_TRUE(control.sendAll("MKD made\r\n"));
    EXPECT_EQ(control.readReply().substr(0, 3), "257") << server_->log();
    EXPECT_TRUE(std::filesystem::is_directory(server_->rootDir() + "/made"));
    ASSERT_TRUE(control.sendAll("QUIT\r\n"));
    EXPECT_EQ(control.readReply().substr(0, 3), "221");
    EXPECT_TRUE(control.waitClosedByPeer(5s));
}

TEST_P(RealServerSmoke, ActiveModeUploadAndListingComeFromServerAddress) {
    RawSocket control = Login();
    ASSERT_TRUE(control.sendAll("TYPE I\r\n"));
    EXPECT_EQ(control.readReply().substr(0, 3), "200");

    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ASSERT_TRUE(listener.isOpen());
    ASSERT_TRUE(control.sendAll(PortLine(listener)));
    EXPECT_EQ(control.readReply().substr(0, 3), "200") << server_->log();
    ASSERT_TRUE(control.sendAll("STOR up.bin\r\n"));
    std::string reply = control.readReply();
    EXPECT_TRUE(IsTransferStart(reply)) << reply << server_->log();
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_EQ(data.peerAddress(), server_->address());
    const std::string payload("binary\r\n\0\xff payload", 18);
    ASSERT_TRUE(data.sendAll(payload));
    data.close();
    EXPECT_EQ(control.readReply().substr(0, 3), "226") << server_->log();
    EXPECT_EQ(ReadFile(server_->rootDir() + "/up.bin"), payload);

    ASSERT_TRUE(control.sendAll(PortLine(listener)));
    EXPECT_EQ(control.readReply().substr(0, 3), "200");
    ASSERT_TRUE(control.sendAll("NLST\r\n"));
    reply = control.readReply();
    EXPECT_TRUE(IsTransferStart(reply)) << reply << server_->log();
    data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_NE(data.readAll().find("up.bin"), std::string::npos);
    EXPECT_EQ(control.readReply().substr(0, 3), "226");
}

TEST_P(RealServerSmoke, StopEndsServerAndRemovesRoot) {
    std::string root = server_->rootDir();
    RawSocket idle = Login();  // vsftpd serves it from a process of its own
    server_->stop();
    EXPECT_FALSE(server_->running());
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_FALSE(RawSocket::connectTo(GetParam().address, 21, 1s).isOpen());
    EXPECT_TRUE(idle.waitClosedByPeer(5s));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerSmoke,
                         testing::Values(ServerCase{RealFtpServer::Kind::Pyftpdlib, "127.0.0.12"},
                                         ServerCase{RealFtpServer::Kind::Vsftpd, "127.0.0.13"}),
                         PrintCase);

TEST(RealServerStart, PyftpdlibRefusesWrongPassword) {
    RealFtpServer server(RealFtpServer::Kind::Pyftpdlib, "127.0.0.12");
    ASSERT_TRUE(server.start()) << server.error();
    RawSocket control = RawSocket::connectTo(server.address(), server.port());
    control.readReply();
    ASSERT_TRUE(control.sendAll("USER " + server.user() + "\r\n"));
    EXPECT_EQ(control.readReply().substr(0, 3), "331");
    ASSERT_TRUE(control.sendAll("PASS not-" + server.password() + "\r\n"));
    EXPECT_EQ(control.readReply(10s).substr(0, 3), "530");
}

TEST(RealServerStart, SecondServerOnSameAddressWaitsForFirstToStop) {
    RealFtpServer first(RealFtpServer::Kind::Pyftpdlib, "127.0.0.15", 2121);
    ASSERT_TRUE(first.start()) << first.error();
    RealFtpServer second(RealFtpServer::Kind::Pyftpdlib, "127.0.0.15", 2121);
    second.setLockTimeout(200ms);
    EXPECT_FALSE(second.start());
    EXPECT_NE(second.error().find("another test kept 127.0.0.15:2121"), std::string::npos)
        << second.error();
    first.stop();
    EXPECT_TRUE(second.start()) << second.error();
}

TEST(RealServerStart, RefusesAddressSomethingElseListensOn) {
    RawSocket squatter = RawSocket::listenOn("127.0.0.14", 2123);
    ASSERT_TRUE(squatter.isOpen());
    RealFtpServer server(RealFtpServer::Kind::Pyftpdlib, "127.0.0.14", 2123);
    EXPECT_FALSE(server.start(5s));
    EXPECT_NE(server.error().find("already listens"), std::string::npos) << server.error();
    EXPECT_FALSE(server.running());
}

// --- TLS ---------------------------------------------------------------------------------------

using Tls = RealFtpServer::Tls;

struct TlsServerCase {
    RealFtpServer::Kind kind;
    Tls tls;
    const char* address;
    uint16_t port;
};

void PrintTo(const TlsServerCase& c, std::ostream* out) {
    *out << RealFtpServer::name(c.kind) << (c.tls == Tls::Implicit ? " implicit" : " explicit")
         << " on " << c.address << ":" << c.port;
}

std::string PrintTlsCase(const testing::TestParamInfo<TlsServerCase>& info) {
    return std::string(RealFtpServer::name(info.param.kind)) +
           (info.param.tls == Tls::Implicit ? "Implicit" : "Explicit");
}

// Runs the independent FTPS client against `server`, trusting `caFile`; it uploads, lists and
// downloads `size` bytes and compares them.
CommandResult Probe(const RealFtpServer& server, const std::string& caFile, bool active,
                    std::size_t size = 300000) {
    std::vector<std::string> argv = {"/usr/bin/python3", KESTREL_TEST_SUPPORT_DIR "/ftps_probe.py",
                                     "--address", server.address(), "--port",
                                     std::to_string(server.port()), "--user", server.user(),
                                     "--password", server.password(), "--cafile", caFile,
                                     "--payload-size", std::to_string(size)};
    if (server.tls() == Tls::Implicit) {
        argv.push_back("--implicit");
    }
    if (active) {
        argv.push_back("--active");
    }
    return RunCommand(argv, 60s);
}

class TlsServerSmoke : public testing::TestWithParam<TlsServerCase> {
protected:
    void SetUp() override {
        const TlsServerCase& c = GetParam();
        ASSERT_TRUE(RealFtpServer::installed(c.kind)) << RealFtpServer::name(c.kind);
        server_ = std::make_unique<RealFtpServer>(c.kind, c.address, c.port);
        server_->setTls(c.tls);
        ASSERT_TRUE(server_->start()) << server_->error();
    }

    std::unique_ptr<RealFtpServer> server_;
};

TEST_P(TlsServerSmoke, ProbeTransfersBothWaysInBothModes) {
    for (bool active : {false, true}) {
        SCOPED_TRACE(active ? "active" : "passive");
        CommandResult run = Probe(*server_, server_->caFile(), active);
        ASSERT_TRUE(run.succeeded()) << run.describe("ftps_probe.py") << server_->log();
        EXPECT_EQ(run.output.compare(0, 3, "ok "), 0) << run.output;
        EXPECT_EQ(std::filesystem::file_size(server_->rootDir() + "/probe.bin"), 300000u);
    }
    if (GetParam().kind == RealFtpServer::Kind::Vsftpd) {
        // Each data connection resumed the control connection's session, as vsftpd demands.
        EXPECT_NE(server_->log().find(", reused,"), std::string::npos) << server_->log();
    }
}

TEST_P(TlsServerSmoke, RefusesLoginInClear) {
    RawSocket control = RawSocket::connectTo(server_->address(), server_->port());
    ASSERT_TRUE(control.isOpen());
    if (GetParam().tls == Tls::Explicit) {
        EXPECT_EQ(control.readReply().substr(0, 3), "220");
    }
    ASSERT_TRUE(control.sendAll("USER " + server_->user() + "\r\n"));
    std::string reply = control.readReply(5s);
    if (GetParam().tls == Tls::Explicit) {
        // vsftpd: 530 Non-anonymous sessions must use encryption; pyftpdlib: 550.
        EXPECT_EQ(reply.substr(0, 1), "5") << reply;
    } else {
        // No greeting: the server takes the line for a broken handshake and hangs up, pyftpdlib
        // silently, vsftpd with "500 OOPS: ... wrong version number" in clear.
        EXPECT_TRUE(reply.empty() || reply.compare(0, 4, "500 ") == 0) << reply;
        EXPECT_TRUE(control.waitClosedByPeer(5s));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsServerSmoke,
    testing::Values(TlsServerCase{RealFtpServer::Kind::Pyftpdlib, Tls::Explicit, "127.0.0.12", 21},
                    TlsServerCase{RealFtpServer::Kind::Pyftpdlib, Tls::Implicit, "127.0.0.12", 990},
                    TlsServerCase{RealFtpServer::Kind::Vsftpd, Tls::Explicit, "127.0.0.13", 21},
                    TlsServerCase{RealFtpServer::Kind::Vsftpd, Tls::Implicit, "127.0.0.13", 990}),
    PrintTlsCase);

// The certificates themselves: trusted through ca.pem only, and made out to the server's address
// unless a wrong name was asked for. Python's ssl checks both.
TEST(TlsCertificates, UnrelatedCaAndWrongNameAreRefused) {
    std::string why;
    const TestCertificates* certificates = TestCertificates::get(&why);
    ASSERT_NE(certificates, nullptr) << why;
    std::string otherCa;
    ASSERT_TRUE(certificates->otherCaFile(&otherCa, &why)) << why;

    RealFtpServer server(RealFtpServer::Kind::Pyftpdlib, "127.0.0.12");
    server.setTls(Tls::Explicit);
    ASSERT_TRUE(server.start()) << server.error();
    CommandResult untrusted = Probe(server, otherCa, false, 10);
    EXPECT_EQ(untrusted.exitCode, 1) << untrusted.describe("ftps_probe.py");
    EXPECT_NE(untrusted.output.find("unable to get local issuer certificate"), std::string::npos)
        << untrusted.output;
    server.stop();

    RealFtpServer misnamed(RealFtpServer::Kind::Pyftpdlib, "127.0.0.12");
    misnamed.setTls(Tls::Explicit, false);
    ASSERT_TRUE(misnamed.start()) << misnamed.error();
    CommandResult mismatch = Probe(misnamed, misnamed.caFile(), false, 10);
    EXPECT_EQ(mismatch.exitCode, 1) << mismatch.describe("ftps_probe.py");
    EXPECT_NE(mismatch.output.find("mismatch"), std::string::npos) << mismatch.output;
}

}  // namespace
}  // namespace ktest
