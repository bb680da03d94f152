// Shared set-up of the engine tests: one fresh session per test, pointed at a scripted server on
// an ephemeral port, with a short time-out so that failure paths stay quick.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "ftp.h"
#include "scripted_server.h"

namespace ktest {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int32_t> nextKey{100};
        key = nextKey++;
        ASSERT_EQ(FtpCreateSession(nullptr, key), FTP_OK);
        session = FtpFindSession(key);
        ASSERT_NE(session, nullptr);
        session->connection.timeoutSeconds = 2;
    }

    void TearDown() override {
        if (FtpFindSession(key) != nullptr) {
            FtpDisconnect(key);
            FtpDestroySession(key);
        }
    }

    // Connects the session to server (which must greet) and returns FtpConnect's result.
    int32_t Connect(ScriptedServer& server) {
        session->connection.port = server.port();
        return FtpConnect("127.0.0.1", key);
    }

    // Waits, bounded, until cond holds; polls because the engine offers no notification.
    template <typename Cond>
    static bool WaitFor(Cond cond, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    int32_t key = 0;
    FtpSession* session = nullptr;
};

// A temporary directory, removed with its files at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Deterministic pseudo-random bytes of the given size.
std::string PatternBytes(size_t size, uint32_t seed = 1);

}  // namespace ktest
