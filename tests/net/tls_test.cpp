// TLS on the network layer's sockets against an OpenSSL server in a thread of the test, with
// certificates made by the test: traffic through the same operations as plain sockets, the
// certificate checks, session resumption on a second connection, close_notify against a cut-off
// stream, and cancellation and time-out of a handshake that the server never answers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net_test_helpers.h"

namespace {

using namespace nettest;
namespace fs = std::filesystem;

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 131 + seed + i / 4096) & 0xFF);
    }
    return data;
}

// Reads exactly count bytes on the server side. False when the stream ended first.
bool ServerReadExactly(SSL* ssl, std::string* out, size_t count) {
    out->clear();
    char chunk[16384];
    while (out->size() < count) {
        const size_t want = std::min(sizeof chunk, count - out->size());
        const int n = SSL_read(ssl, chunk, static_cast<int>(want));
        if (n <= 0) {
            return false;
        }
        out->append(chunk, static_cast<size_t>(n));
    }
    return true;
}

bool ServerWrite(SSL* ssl, const std::string& data) {
    return data.empty() || SSL_write(ssl, data.data(), static_cast<int>(data.size())) > 0;
}

// A TLS server on 127.0.0.1 that serves a given number of connections in its own thread, each
// with a handler of the test. Every blocking call of the server is bounded, so that a client
// that misbehaves makes the test fail, not hang.
class TlsServer {
  public:
    using Handler = std::function<void(SSL* ssl, int index)>;

    TlsServer(const fs::path& certs, int maxVersion = 0) {
        context_ = SSL_CTX_new(TLS_server_method());
        EXPECT_NE(context_, nullptr);
        EXPECT_EQ(SSL_CTX_use_certificate_chain_file(context_, (certs / "server.pem").c_str()), 1);
        EXPECT_EQ(
            SSL_CTX_use_PrivateKey_file(context_, (certs / "server.key").c_str(), SSL_FILETYPE_PEM),
            1);
        if (maxVersion != 0) {
            SSL_CTX_set_max_proto_version(context_, maxVersion);
        }
        const unsigned char id[] = "kestrel-test";
        SSL_CTX_set_session_id_context(context_, id, sizeof id - 1);

        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
    }

    ~TlsServer() {
        Join();
        close(listener_);
        SSL_CTX_free(context_);
    }

    uint16_t port() const { return port_; }

    // Serves count connections with handler, each in a thread of its own. handshake = false
    // accepts the TCP connections and holds them without ever answering (for handshake waits).
    void Serve(int count, Handler handler, bool handshake = true) {
        reused_.assign(static_cast<size_t>(count), false);
        thread_ = std::thread([this, count, handler, handshake] {
            std::vector<std::thread> connections;
            for (int i = 0; i < count; ++i) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, WAIT_MS) != 1) {
                    break;
                }
                const int fd = accept(listener_, nullptr, nullptr);
                timeval limit{5, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                connections.emplace_back([this, fd, i, handler, handshake] {
                    if (handshake) {
                        ServeOne(fd, i, handler);
                    } else {
                        char chunk[4096];
                        while (recv(fd, chunk, sizeof chunk, 0) > 0) {
                        }
                    }
                    close(fd);
                });
            }
            for (std::thread& t : connections) {
                t.join();
            }
        });
    }

    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Valid after Join: per connection served, whether its session was resumed.
    std::vector<bool> Reused() const { return std::vector<bool>(reused_.begin(), reused_.end()); }
    std::atomic<int> failedHandshakes_{0};

  private:
    void ServeOne(int fd, int index, const Handler& handler) {
        SSL* ssl = SSL_new(context_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            handler(ssl, index);
            reused_[static_cast<size_t>(index)] = SSL_session_reused(ssl) == 1 ? 1 : 0;
        } else {
            ++failedHandshakes_;
        }
        SSL_free(ssl);
    }

    std::vector<char> reused_;  // one writer per element
    SSL_CTX* context_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

class TlsTest : public NetTest {
  protected:
    static void SetUpTestSuite() {
        // The server writes with plain write(); a client that has gone must not end the test.
        signal(SIGPIPE, SIG_IGN);
        certs_ = fs::temp_directory_path() / ("kestrel-tls-" + std::to_string(getpid()));
        const std::string command =
            std::string(KESTREL_MAKE_TEST_CERTS) + " '" + certs_.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    static void TearDownTestSuite() { fs::remove_all(certs_); }

    // A connected plain socket to server.
    int32_t Connect(const TlsServer& server) {
        int32_t s = -1;
        uint16_t port = server.port();
        EXPECT_EQ(TcpConnect(&s, "127.0.0.1", nullptr, &port), NET_OK);
        return s;
    }

    NetTlsConfig Trusting(const char* host = "127.0.0.1") {
        caFile_ = (certs_ / "ca.pem").string();
        NetTlsConfig config;
        config.hostName = host;
        config.caFile = caFile_.c_str();
        return config;
    }

    static fs::path certs_;
    std::string caFile_;
};

fs::path TlsTest::certs_;

TEST_F(TlsTest, RepliesLinesAndLargeBlocksTravelThroughTheSameOperations) {
    const std::string down = Pattern(300000, 7);
    const std::string up = Pattern(300000, 11);
    std::promise<std::string> lineSeen;
    std::promise<bool> upMatched;
    TlsServer server(certs_);
    server.Serve(1, [&](SSL* ssl, int) {
        // Two replies in one record: the second must survive the reading of the first.
        ServerWrite(ssl, "220-first\r\n220 last\r\n230 next\r\n");
        std::string line;
        ServerReadExactly(ssl, &line, 6);
        lineSeen.set_value(line);
        ServerWrite(ssl, down);
        std::string received;
        upMatched.set_value(ServerReadExactly(ssl, &received, up.size()) && received == up);
        SSL_shutdown(ssl);
    });

    DebugCapture capture;
    int32_t s = Connect(server);
    NetTlsConfig config = Trusting();
    {
        TraceMaskScope trace(TRACE_INTERNAL);
        ASSERT_EQ(TcpStartTls(s, &config, -1, 5), NET_OK);
    }
    char description[128];
    ASSERT_EQ(TcpTlsDescribe(s, description, sizeof description), NET_OK);
    EXPECT_EQ(std::string(description).rfind("TLSv1.3 TLS_", 0), 0u) << description;
    const auto pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0], ThreadPrefix() + "internal TLS on socket " + std::to_string(s) + ": " +
                             description + "\r\n");

    char reply[2048];
    EXPECT_EQ(TnReadAnswerCode(s, reply, sizeof reply, 5, -1), 220);
    EXPECT_STREQ(reply, "220-first\n220 last");
    // The next reply is held decrypted inside TLS, where the socket shows nothing.
    EXPECT_EQ(TcpIsDataAvail(s), 1);
    EXPECT_EQ(TnReadAnswerCode(s, reply, sizeof reply, 5, -1), 230);
    EXPECT_EQ(TcpIsDataAvail(s), 0);

    EXPECT_EQ(TnSend(s, "ABOR", 1, -1), NET_ERROR);  // no urgent data inside TLS
    ASSERT_EQ(TnSend(s, "NOOP", 0, -1), NET_OK);
    auto line = lineSeen.get_future();
    ASSERT_EQ(line.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(line.get(), "NOOP\r\n");

    std::string received;
    char block[4096];
    while (received.size() < down.size()) {
        const int32_t n = TcpRecv(s, block, sizeof block, 5, -1);
        ASSERT_GT(n, 0);
        received.append(block, static_cast<size_t>(n));
    }
    EXPECT_TRUE(received == down);
    ASSERT_EQ(TcpSendWithin(s, up.data(), static_cast<uint32_t>(up.size()), 0, -1, 5), NET_OK);
    auto matched = upMatched.get_future();
    ASSERT_EQ(matched.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(matched.get());
    EXPECT_EQ(TcpRecv(s, block, sizeof block, 5, -1), NET_CLOSED);
    EXPECT_EQ(TcpClose(&s), NET_OK);
    server.Join();
}

TEST_F(TlsTest, CertificateChecksRefuseWhatTheyMust) {
    const std::string ca = (certs_ / "ca.pem").string();
    const std::string other = (certs_ / "other-ca.pem").string();
    const std::string missing = (certs_ / "missing.pem").string();
    struct Case {
        const char* what;
        const char* host;
        bool verify;
        const char* caFile;
        int32_t expected;
    };
    const Case cases[] = {
        {"address in the certificate", "127.0.0.1", true, ca.c_str(), NET_OK},
        {"name in the certificate", "localhost", true, ca.c_str(), NET_OK},
        {"other authority", "127.0.0.1", true, other.c_str(), NET_TLS_UNTRUSTED},
        {"system authorities", "localhost", true, nullptr, NET_TLS_UNTRUSTED},
        {"unreadable authority file", "localhost", true, missing.c_str(), NET_TLS_UNTRUSTED},
        {"other name", "ftp.example.com", true, ca.c_str(), NET_TLS_NAME_MISMATCH},
        {"other address", "127.0.0.2", true, ca.c_str(), NET_TLS_NAME_MISMATCH},
        {"IPv6 address in the certificate", "::1", true, ca.c_str(), NET_OK},
        {"other IPv6 address", "::2", true, ca.c_str(), NET_TLS_NAME_MISMATCH},
        {"no checks", "ftp.example.com", false, other.c_str(), NET_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TlsServer server(certs_);
        server.Serve(1, [](SSL* ssl, int) {
            ServerWrite(ssl, "ok\n");
            SSL_shutdown(ssl);
        });
        int32_t s = Connect(server);
        NetTlsConfig config;
        config.hostName = c.host;
        config.verify = c.verify;
        config.caFile = c.caFile;
        EXPECT_EQ(TcpStartTls(s, &config, -1, 5), c.expected);
        if (c.expected == NET_OK) {
            char line[16];
            EXPECT_EQ(TnReadReplyLine(s, line, sizeof line, 5, -1), NET_OK);
            EXPECT_STREQ(line, "ok");
        } else {
            char description[64];
            EXPECT_EQ(TcpTlsDescribe(s, description, sizeof description), NET_ERROR);
        }
        EXPECT_EQ(TcpClose(&s), NET_OK);
        server.Join();
        EXPECT_EQ(server.failedHandshakes_, c.expected == NET_OK ? 0 : 1);
    }
}

TEST_F(TlsTest, SecondConnectionResumesTheFirstOnesSession) {
    for (const int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        SCOPED_TRACE(version == TLS1_3_VERSION ? "TLS 1.3" : "TLS 1.2");
        TlsServer server(certs_, version);
        std::promise<void> dataDone;
        server.Serve(2, [&](SSL* ssl, int index) {
            if (index == 0) {
                // The control connection: a reply, then it stays until the client closes it.
                ServerWrite(ssl, "220 ready\r\n");
                char c;
                SSL_read(ssl, &c, 1);
            } else {
                ServerWrite(ssl, "data");
                SSL_shutdown(ssl);
                dataDone.set_value();
            }
        });
        int32_t control = Connect(server);
        NetTlsConfig config = Trusting();
        ASSERT_EQ(TcpStartTls(control, &config, -1, 5), NET_OK);
        char reply[64];
        // Reading brings in a TLS 1.3 session ticket, which comes after the handshake.
        ASSERT_EQ(TnReadAnswerCode(control, reply, sizeof reply, 5, -1), 220);

        int32_t data = Connect(server);
        ASSERT_EQ(TcpStartTls(data, &config, control, 5), NET_OK);
        char description[128];
        ASSERT_EQ(TcpTlsDescribe(data, description, sizeof description), NET_OK);
        EXPECT_NE(std::string(description).find(" resumed"), std::string::npos) << description;
        char block[16];
        EXPECT_EQ(TcpRecv(data, block, sizeof block, 5, -1), 4);
        EXPECT_EQ(TcpRecv(data, block, sizeof block, 5, -1), NET_CLOSED);
        EXPECT_EQ(dataDone.get_future().wait_for(5s), std::future_status::ready);
        EXPECT_EQ(TcpClose(&data), NET_OK);
        EXPECT_EQ(TcpClose(&control), NET_OK);
        server.Join();
        EXPECT_EQ(server.Reused(), (std::vector<bool>{false, true}));
    }
}

TEST_F(TlsTest, EndWithoutCloseNotifyIsTruncationAndOurCloseSendsOne) {
    for (const bool closeNotify : {true, false}) {
        SCOPED_TRACE(closeNotify ? "with close_notify" : "cut off");
        TlsServer server(certs_);
        std::promise<int> clientEnd;  // what the server's read saw when the client closed
        std::promise<void> clientClosing;
        server.Serve(1, [&](SSL* ssl, int) {
            ServerWrite(ssl, "last block");
            if (closeNotify) {
                SSL_shutdown(ssl);
                // The client closes its side next; its close_notify must arrive.
                char c;
                const int n = SSL_read(ssl, &c, 1);
                clientEnd.set_value(SSL_get_error(ssl, n));
            } else {
                clientClosing.get_future().wait_for(5s);
                shutdown(SSL_get_fd(ssl), SHUT_RDWR);
            }
        });
        int32_t s = Connect(server);
        NetTlsConfig config = Trusting();
        ASSERT_EQ(TcpStartTls(s, &config, -1, 5), NET_OK);
        char block[64];
        EXPECT_EQ(TcpRecv(s, block, sizeof block, 5, -1), 10);
        if (!closeNotify) {
            clientClosing.set_value();
        }
        EXPECT_EQ(TcpRecv(s, block, sizeof block, 5, -1),
                  closeNotify ? NET_CLOSED : NET_TLS_TRUNCATED);
        EXPECT_EQ(TcpClose(&s), NET_OK);
        server.Join();
        if (closeNotify) {
            auto seen = clientEnd.get_future();
            ASSERT_EQ(seen.wait_for(0s), std::future_status::ready);
            EXPECT_EQ(seen.get(), SSL_ERROR_ZERO_RETURN);
        }
    }
}

TEST_F(TlsTest, HandshakeWaitEndsByCancellationOrTimeOut) {
    TlsServer server(certs_);
    server.Serve(2, nullptr, false);
    NetTlsConfig config = Trusting();

    PlatCancelTarget* target = PlatCancelTargetCreate();
    ASSERT_NE(target, nullptr);
    int32_t s = Connect(server);
    auto result = std::async(std::launch::async, [&] {
        PlatCancelScope scope(target);
        return TcpStartTls(s, &config, -1, 0);
    });
    ASSERT_TRUE(WaitUntil([&] { return PlatIsBlocking(target); }));
    EXPECT_EQ(PlatCancelBlockingCall(target), 0);
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), NET_CANCELLED);
    EXPECT_EQ(TcpClose(&s), NET_OK);
    PlatCancelTargetDestroy(target);

    s = Connect(server);
    const auto start = Clock::now();
    EXPECT_EQ(TcpStartTls(s, &config, -1, 1), NET_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 0.95);
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(TcpClose(&s), NET_OK);
    server.Join();
}

}  // namespace
