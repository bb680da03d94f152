#include "server_session_fixture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include "ftp.h"

namespace ktest {

std::string ServerCaseName(RealFtpServer::Kind kind, RealFtpServer::Tls tls) {
    std::string name = RealFtpServer::name(kind);
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name + (tls == RealFtpServer::Tls::Off        ? "_plain"
                   : tls == RealFtpServer::Tls::Implicit ? "_implicit"
                                                         : "_explicit");
}

void ServerSessionTest::StartAndLogin(Kind kind, Tls tls, const char* address) {
    server_ = std::make_unique<RealFtpServer>(kind, address, tls == Tls::Implicit ? 990 : 21);
    server_->setTls(tls);
    ASSERT_TRUE(server_->start()) << server_->error() << "\n" << server_->log();
    static std::atomic<int32_t> nextKey{7600};
    key_ = nextKey++;
    ASSERT_EQ(FtpCreateSession(nullptr, key_), FTP_OK);
    // KESTREL_TRACE=1 shows the conversation, for reading a failure.
    ASSERT_EQ(FtpSetOption("trace", std::getenv("KESTREL_TRACE") != nullptr ? "1" : "0", key_),
              FTP_OK);
    if (tls != Tls::Off) {
        ASSERT_EQ(FtpSetOption("tls", tls == Tls::Implicit ? "2" : "1", key_), FTP_OK);
        ASSERT_EQ(FtpSetOption("caFile", server_->caFile().c_str(), key_), FTP_OK);
    }
    ASSERT_EQ(FtpLogin(server_->address().c_str(), server_->user().c_str(),
                       server_->password().c_str(), key_),
              FTP_OK)
        << server_->log();
}

void ServerSessionTest::TearDown() {
    if (key_ != 0 && FtpFindSession(key_) != nullptr) {
        if (FtpLogout(key_) != FTP_OK) {
            FtpDisconnect(key_);
        }
        FtpDestroySession(key_);
    }
}

ServerSessionTest::Clock::duration ServerSessionTest::AbortAfter(bool upload,
                                                                 std::chrono::milliseconds delay) {
    FtpResetCounters(key_);
    FtpBeginOperation(key_);
    auto worker = std::async(std::launch::async, [&] {
        const int32_t r = upload
                              ? FtpSendFile(local_.path("big").c_str(), "up.bin", 'I', key_)
                              : FtpRecvFile("big.bin", local_.path("big.down").c_str(), 'I', key_);
        FtpEndOperation(key_);
        return r;
    });
    if (delay.count() >= 0) {
        std::this_thread::sleep_for(delay);  // the moment of the abort is the test's subject
    } else {
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (FtpBytesTransferred(key_) == 0 && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling a counter
        }
    }
    const Clock::time_point asked = Clock::now();
    FtpCancel(key_);
    if (worker.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the abort did not end the transfer";
        worker.wait();
    }
    const Clock::duration took = Clock::now() - asked;
    EXPECT_EQ(worker.get(), FTP_ABORTED);
    return took;
}

}  // namespace ktest
