// The SChannel backend under the network layer, against an OpenSSL server on the POSIX side
// (tls_schannel_test.py starts it and passes its port and certificate files in the environment):
// a handshake and traffic both ways, close_notify, the certificate checks, and a second
// connection that offers the first one's session (resumed on Windows; Wine keeps no sessions).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "net.h"

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The server's pattern for "BLOCK n": byte i is i * 7 + 3, modulo 256.
std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    return data;
}

// True when the program runs under Wine rather than on Windows.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class SchannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Failures of the layer are written to the test's output, so a failing run says why.
        PlatSetDebugSink([](const char* text, void*) { std::fputs(text, stdout); }, nullptr);
        traceMask = TRACE_ERROR;
        ASSERT_EQ(NetInit(), NET_OK);
        port_ = static_cast<uint16_t>(std::atoi(Env("KESTREL_TLS_PORT").c_str()));
        ca_ = Env("KESTREL_TLS_CA");
        otherCa_ = Env("KESTREL_TLS_OTHER_CA");
        ASSERT_NE(port_, 0) << "run through tls_schannel_test.py";
    }
    void TearDown() override {
        NetCleanup();
        traceMask = 0;
        PlatSetDebugSink(nullptr, nullptr);
    }

    int32_t Connect() {
        int32_t s = -1;
        uint16_t port = port_;
        EXPECT_EQ(TcpConnect(&s, "127.0.0.1", nullptr, &port), NET_OK);
        return s;
    }
    NetTlsConfig Trusting(const char* host = "127.0.0.1") {
        NetTlsConfig config;
        config.hostName = host;
        config.caFile = ca_.c_str();
        return config;
    }
    // Sends a command line and reads the one-line answer.
    std::string Ask(int32_t s, const char* line) {
        EXPECT_EQ(TnSend(s, line, 0, -1), NET_OK);
        char reply[256];
        EXPECT_EQ(TnReadReplyLine(s, reply, sizeof reply, 10, -1), NET_OK);
        return reply;
    }

    uint16_t port_ = 0;
    std::string ca_;
    std::string otherCa_;
};

TEST_F(SchannelTest, HandshakeThenTrafficBothWaysAndCloseNotify) {
    int32_t s = Connect();
    NetTlsConfig config = Trusting();
    ASSERT_EQ(TcpStartTls(s, &config, -1, 10), NET_OK);
    char description[128];
    ASSERT_EQ(TcpTlsDescribe(s, description, sizeof description), NET_OK);
    EXPECT_EQ(std::string(description).rfind("TLSv1.2 ", 0), 0u) << description;
    std::printf("negotiated: %s\n", description);

    char reply[256];
    EXPECT_EQ(TnReadAnswerCode(s, reply, sizeof reply, 10, -1), 220);
    EXPECT_EQ(TnSend(s, "ABOR", 1, -1), NET_ERROR);  // no urgent data inside TLS

    const std::string up = Pattern(100000);
    EXPECT_EQ(Ask(s, "UPLOAD 100000"), "go");
    ASSERT_EQ(TcpSend(s, up.data(), static_cast<uint32_t>(up.size()), 0, -1), NET_OK);
    char line[64];
    EXPECT_EQ(TnReadReplyLine(s, line, sizeof line, 10, -1), NET_OK);
    EXPECT_STREQ(line, "received 100000 intact");

    ASSERT_EQ(TnSend(s, "BLOCK 300000", 0, -1), NET_OK);
    std::string received;
    char block[4096];
    while (received.size() < 300000) {
        const int32_t n = TcpRecv(s, block, sizeof block, 10, -1);
        ASSERT_GT(n, 0);
        received.append(block, static_cast<size_t>(n));
    }
    EXPECT_TRUE(received == Pattern(300000));
    ASSERT_EQ(TnSend(s, "QUIT", 0, -1), NET_OK);
    EXPECT_EQ(TcpRecv(s, block, sizeof block, 10, -1), NET_CLOSED);
    EXPECT_EQ(TcpClose(&s), NET_OK);
}

TEST_F(SchannelTest, CertificateChecksRefuseWhatTheyMust) {
    struct Case {
        const char* what;
        const char* host;
        bool verify;
        const char* caFile;
        int32_t expected;
    };
    const Case cases[] = {
        {"name in the certificate", "localhost", true, ca_.c_str(), NET_OK},
        {"other authority", "127.0.0.1", true, otherCa_.c_str(), NET_TLS_UNTRUSTED},
        {"system authorities", "localhost", true, nullptr, NET_TLS_UNTRUSTED},
        {"other name", "ftp.example.com", true, ca_.c_str(), NET_TLS_NAME_MISMATCH},
        {"other address", "127.0.0.2", true, ca_.c_str(), NET_TLS_NAME_MISMATCH},
        {"IPv6 address in the certificate", "::1", true, ca_.c_str(), NET_OK},
        {"other IPv6 address", "::2", true, ca_.c_str(), NET_TLS_NAME_MISMATCH},
        {"no checks", "ftp.example.com", false, otherCa_.c_str(), NET_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t s = Connect();
        NetTlsConfig config;
        config.hostName = c.host;
        config.verify = c.verify;
        config.caFile = c.caFile;
        EXPECT_EQ(TcpStartTls(s, &config, -1, 10), c.expected);
        if (c.expected == NET_OK) {
            char reply[256];
            EXPECT_EQ(TnReadAnswerCode(s, reply, sizeof reply, 10, -1), 220);
        }
        EXPECT_EQ(TcpClose(&s), NET_OK);
    }
}

TEST_F(SchannelTest, SecondConnectionOffersTheFirstOnesSession) {
    int32_t control = Connect();
    NetTlsConfig config = Trusting();
    ASSERT_EQ(TcpStartTls(control, &config, -1, 10), NET_OK);
    char reply[256];
    ASSERT_EQ(TnReadAnswerCode(control, reply, sizeof reply, 10, -1), 220);
    EXPECT_EQ(Ask(control, "REUSED"), "0");

    int32_t data = Connect();
    ASSERT_EQ(TcpStartTls(data, &config, control, 10), NET_OK);
    ASSERT_EQ(TnReadAnswerCode(data, reply, sizeof reply, 10, -1), 220);
    const std::string reused = Ask(data, "REUSED");
    char description[128];
    ASSERT_EQ(TcpTlsDescribe(data, description, sizeof description), NET_OK);
    std::printf("second connection: %s; server reports resumed: %s\n", description, reused.c_str());
    if (UnderWine()) {
        // Wine's SChannel (8.0) keeps no sessions: each handshake is a full one. The shared
        // credentials still make a working second connection.
        EXPECT_EQ(reused, "0");
    } else {
        EXPECT_EQ(reused, "1");
        EXPECT_NE(std::string(description).find(" resumed"), std::string::npos);
    }
    EXPECT_EQ(TcpClose(&data), NET_OK);
    EXPECT_EQ(TcpClose(&control), NET_OK);
}

}  // namespace
