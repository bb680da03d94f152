// Sessions: creation and destruction, their order, the window class, defaults and messages.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine_fixture.h"

namespace ktest {
namespace {

std::vector<int32_t> Keys() {
    int32_t keys[64];
    int32_t n = FtpSessionKeys(keys, 64);
    return std::vector<int32_t>(keys, keys + (n < 64 ? n : 64));
}

class SessionTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int32_t key : Keys()) {
            FtpDestroySession(key);
        }
        PlatSetFaults({});
    }
};

TEST_F(SessionTest, NewSessionHasTheFixedWorkingValues) {
    ASSERT_EQ(FtpCreateSession(nullptr, 7), FTP_OK);
    FtpSession* s = FtpFindSession(7);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->connection.port, 21);
    EXPECT_EQ(s->connection.timeoutSeconds, 30u);
    EXPECT_EQ(s->connection.controlSocket.load(), -1);
    EXPECT_EQ(s->connection.dataSocket.load(), -1);
    EXPECT_EQ(s->connection.logFile, -1);
    EXPECT_EQ(s->connection.currentType, 0);
    EXPECT_EQ(s->connection.traceEnabled, 0);
    EXPECT_EQ(s->localFile, -1);
    EXPECT_EQ(s->blocksPerPauseAlone, 10);
    EXPECT_EQ(s->blocksPerPauseShared, 3);
    EXPECT_EQ(s->pauseMilliseconds, 100u);
    EXPECT_NE(s->hiddenWindow, nullptr);
}

TEST_F(SessionTest, KeysAreUniqueAndTheListKeepsCreationOrder) {
    ASSERT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
    EXPECT_EQ(FtpCreateSession(nullptr, 1), FTP_SESSION_IN_USE);
    ASSERT_EQ(FtpCreateSession(nullptr, 2), FTP_OK);
    ASSERT_EQ(FtpCreateSession(nullptr, 3), FTP_OK);
    EXPECT_EQ(Keys(), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(FtpDestroySession(2), FTP_OK);
    EXPECT_EQ(Keys(), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(FtpDestroySession(1), FTP_OK);
    EXPECT_EQ(Keys(), (std::vector<int32_t>{3}));
    EXPECT_EQ(FtpDestroySession(2), FTP_NO_ACTIVE_SESSION);
    EXPECT_EQ(FtpFindSession(2), nullptr);
}

TEST_F(SessionTest, TheWindowClassLivesAsLongAsAnySession) {
    ASSERT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
    ASSERT_EQ(FtpCreateSession(nullptr, 2), FTP_OK);
    EXPECT_EQ(FtpDestroySession(1), FTP_OK);
    // Still registered: a third session gets its window without registering again.
    ASSERT_EQ(FtpCreateSession(nullptr, 3), FTP_OK);
    EXPECT_EQ(FtpDestroySession(2), FTP_OK);
    EXPECT_EQ(FtpDestroySession(3), FTP_OK);
    // Unregistered with the last session; registering again succeeds.
    EXPECT_EQ(PlatWindowClassRegister(nullptr), 0);
    EXPECT_EQ(PlatWindowClassUnregister(nullptr), 0);
    ASSERT_EQ(FtpCreateSession(nullptr, 4), FTP_OK);
}

TEST_F(SessionTest, WindowFailuresRemoveTheHalfMadeSession) {
    int starts = PlatSocketStartCount();
    PlatSetFaults({.failClassRegisters = 1});
    EXPECT_EQ(FtpCreateSession(nullptr, 1), FTP_NO_RESOURCES);
    EXPECT_EQ(FtpFindSession(1), nullptr);
    PlatSetFaults({.failWindowCreates = 1});
    EXPECT_EQ(FtpCreateSession(nullptr, 1), FTP_NO_RESOURCES);
    EXPECT_EQ(FtpFindSession(1), nullptr);
    EXPECT_EQ(PlatSocketStartCount(), starts);  // each failure shut the network layer down again
    EXPECT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
}

TEST_F(SessionTest, NetworkStartsOncePerSession) {
    int starts = PlatSocketStartCount();
    ASSERT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
    ASSERT_EQ(FtpCreateSession(nullptr, 2), FTP_OK);
    EXPECT_EQ(PlatSocketStartCount(), starts + 2);
    FtpDestroySession(1);
    FtpDestroySession(2);
    EXPECT_EQ(PlatSocketStartCount(), starts);
}

TEST_F(SessionTest, CountersOfMissingSessionsReadZero) {
    EXPECT_EQ(FtpBytesTransferred(99), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(99), 0);
    FtpResetCounters(99);  // no session: nothing happens, nothing crashes
    ASSERT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
    FtpFindSession(1)->bytesTransferred = 5;
    FtpFindSession(1)->bytesToBeTransferred = 9;
    EXPECT_EQ(FtpBytesTransferred(1), 5);
    FtpResetCounters(1);
    EXPECT_EQ(FtpBytesTransferred(1), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(1), 0);
}

TEST_F(SessionTest, DestroyingASessionWhoseCallIsBlockedCancelsItAndRefuses) {
    ASSERT_EQ(FtpCreateSession(nullptr, 1), FTP_OK);
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").expect("CWD x").stall(std::chrono::seconds(5)));
    FtpFindSession(1)->connection.port = server.port();
    ASSERT_EQ(FtpConnect("127.0.0.1", 1), FTP_OK);
    auto cwd = std::async(std::launch::async, [] { return FtpCWD("x", 1); });
    PlatCancelTarget* target = FtpFindSession(1)->cancelTarget;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!PlatIsBlocking(target) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(PlatIsBlocking(target));
    EXPECT_EQ(FtpDestroySession(1), FTP_SESSION_STILL_ACTIVE);
    ASSERT_EQ(cwd.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(cwd.get(), FTP_ABORTED);  // the cancelled reply read
    FtpDisconnect(1);
    EXPECT_EQ(FtpDestroySession(1), FTP_OK);
}

TEST(ResultMessages, CatalogueTextsAndFallback) {
    EXPECT_STREQ(FtpErrorMessage(0), "OK");
    EXPECT_STREQ(FtpErrorMessage(2), "Account is required");
    EXPECT_STREQ(FtpErrorMessage(1004), "Can not open the specified file");
    EXPECT_STREQ(FtpErrorMessage(-1), "Transfer aborted by user");
    EXPECT_STREQ(FtpErrorMessage(2007), "Timeout occured");
    EXPECT_STREQ(FtpErrorMessage(5003), "Insuffisent Heap memory");
    EXPECT_STREQ(FtpErrorMessage(1017), "Unknown Error");
    EXPECT_STREQ(FtpErrorMessage(-2), "Unknown Error");
    EXPECT_STREQ(FtpErrorMessage(259), "Unknown Error");
}

TEST(EngineTrace, LineCarriesTickThreadAndMessage) {
    static std::string captured;
    captured.clear();
    PlatSetDebugSink([](const char* text, void*) { captured += text; }, nullptr);
    FtpTrace("entering AbortAction, Debug pos %d", 8);
    PlatSetDebugSink(nullptr, nullptr);
    char expectedTail[64];
    snprintf(expectedTail, sizeof expectedTail, ": Proc %d\tentering AbortAction, Debug pos 8\r\n",
             static_cast<int>(PlatCurrentThreadId()));
    ASSERT_GT(captured.size(), strlen(expectedTail));
    EXPECT_EQ(captured.substr(captured.size() - strlen(expectedTail)), expectedTail);
    EXPECT_TRUE(isdigit(static_cast<unsigned char>(captured[0])));
}

}  // namespace
}  // namespace ktest
