// Smoke tests of the real-server fixtures: each server starts, takes a login over a raw socket,
// lets the user write, makes active-mode data connections from its own address, and is gone
// after stop(). The addresses differ from those the interoperability tests use, since ctest may
// run both executables at the same time.

#include "real_servers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "raw_socket.h"

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

}  // namespace
}  // namespace ktest
