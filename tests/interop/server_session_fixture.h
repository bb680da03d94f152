// A session logged in to a real server that the test starts: the set-up and the abort helper
// that the server families' tests and the further servers' tests share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine_fixture.h"
#include "real_servers.h"

namespace ktest {

// A test-name part for a server and its TLS mode: "pureftpd_explicit", "twisted_plain".
std::string ServerCaseName(RealFtpServer::Kind kind, RealFtpServer::Tls tls);

class ServerSessionTest : public ::testing::Test {
protected:
    using Kind = RealFtpServer::Kind;
    using Tls = RealFtpServer::Tls;
    using Clock = std::chrono::steady_clock;

    // Starts `kind` on `address` (port 990 with implicit TLS, else 21) and logs a new session in,
    // with the tls option and the server's CA when `tls` is not Off. A failure is fatal to the
    // test: call it through ASSERT_NO_FATAL_FAILURE.
    void StartAndLogin(Kind kind, Tls tls, const char* address);
    // Logs the session out (or disconnects it) and destroys it.
    void TearDown() override;

    // The server-side path of a name in the root directory.
    std::string Remote(const std::string& name) const { return server_->rootDir() + "/" + name; }

    // Starts a transfer on a worker (an upload of local "big" to "up.bin", or a download of
    // "big.bin" to local "big.down"), cancels it `delay` after it started (or, with a negative
    // delay, once bytes have moved) and returns how long the cancelled transfer took to end. The
    // transfer must end FTP_ABORTED within 5 s.
    Clock::duration AbortAfter(bool upload, std::chrono::milliseconds delay);

    std::unique_ptr<RealFtpServer> server_;
    int32_t key_ = 0;
    TempDir local_;
};

}  // namespace ktest
