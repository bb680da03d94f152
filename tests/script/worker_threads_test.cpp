// Worker threads with exit codes, and the module's private directory.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "threads.h"

namespace {

using namespace std::chrono;

// A routine that runs until the test opens its gate, then returns the code it was given.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    uint32_t code = 0;

    void Open() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    static uint32_t Routine(void* parameter) {
        auto* gate = static_cast<Gate*>(parameter);
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->changed.wait(guard, [gate] { return gate->open; });
        return gate->code;
    }
};

TEST(WorkerThread, ReportsStillActiveWhileRunningAndItsCodeAfterwards) {
    Gate gate;
    gate.code = 1009;
    int32_t liveBefore = PlatThreadLiveCount();
    PlatThread* thread = PlatThreadCreate(Gate::Routine, &gate);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 0;
    EXPECT_TRUE(PlatThreadIsRunning(thread));
    EXPECT_TRUE(PlatThreadExitCode(thread, &code));
    EXPECT_EQ(code, PLAT_STILL_ACTIVE);
    EXPECT_EQ(PlatThreadLiveCount(), liveBefore + 1);
    auto start = steady_clock::now();
    EXPECT_EQ(PlatThreadWait(thread, 50), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(steady_clock::now() - start, milliseconds(45));

    gate.Open();
    EXPECT_EQ(PlatThreadWait(thread, 10000), PLAT_WAIT_ENDED);
    EXPECT_FALSE(PlatThreadIsRunning(thread));
    EXPECT_EQ(PlatThreadLiveCount(), liveBefore);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PlatThreadExitCode(thread, &code));
        EXPECT_EQ(code, 1009u);
    }
    PlatThreadClose(thread);
}

TEST(WorkerThread, AnExitCodeOf259IsNotMistakenForARunningThread) {
    Gate gate;
    gate.code = PLAT_STILL_ACTIVE;
    gate.Open();
    PlatThread* thread = PlatThreadCreate(Gate::Routine, &gate);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(PlatThreadWait(thread, 10000), PLAT_WAIT_ENDED);
    EXPECT_FALSE(PlatThreadIsRunning(thread));
    uint32_t code = 0;
    EXPECT_TRUE(PlatThreadExitCode(thread, &code));
    EXPECT_EQ(code, 259u);
    PlatThreadClose(thread);
}

TEST(WorkerThread, ClosingTheHandleOfARunningThreadLetsItFinish) {
    static std::atomic<bool> finished{false};
    Gate gate;
    gate.code = 7;
    PlatThread* thread = PlatThreadCreate(
        [](void* parameter) -> uint32_t {
            uint32_t code = Gate::Routine(parameter);
            finished = true;
            return code;
        },
        &gate);
    ASSERT_NE(thread, nullptr);
    int32_t live = PlatThreadLiveCount();
    PlatThreadClose(thread);
    gate.Open();
    auto deadline = steady_clock::now() + seconds(10);
    while (PlatThreadLiveCount() == live && steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(finished);
    EXPECT_EQ(PlatThreadLiveCount(), live - 1);
}

TEST(WorkerThread, CreationFailureLeavesNothingRunning) {
    PlatSetThreadCreateFailures(1);
    int32_t live = PlatThreadLiveCount();
    EXPECT_EQ(PlatThreadCreate(Gate::Routine, nullptr), nullptr);
    EXPECT_EQ(PlatThreadLiveCount(), live);
    EXPECT_EQ(PlatThreadCreate(nullptr, nullptr), nullptr);
}

// A child forked while a finished worker waits for its next routine must not hang when it lets
// go of the parent's threads (as it does at its exit).
uint32_t Quick(void*) { return 7; }

TEST(WorkerThread, AForkedChildLetsGoOfTheParentsIdleThreads) {
    for (int round = 0; round < 3; ++round) {
        PlatThread* thread = PlatThreadCreate(Quick, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(PlatThreadWait(thread, 5000), PLAT_WAIT_ENDED);
        PlatThreadClose(thread);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(5);
            PlatThreadLiveCount();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
}

class PrivateDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-private-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
    }
    void TearDown() override {
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(base);
    }
    std::string Get() {
        char buffer[300];
        uint32_t length = PlatPrivateDirectory(buffer, sizeof buffer);
        return length == 0 || length >= sizeof buffer ? std::string() : std::string(buffer);
    }
    std::string base;
};

TEST_F(PrivateDirectory, UsesTheRuntimeDirectoryWhenItIsPrivate) {
    std::string dir = base + "/run";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    EXPECT_EQ(Get(), dir);
    char small[4];
    EXPECT_EQ(PlatPrivateDirectory(small, sizeof small), dir.size() + 1);
}

TEST_F(PrivateDirectory, RefusesADirectoryOthersCanWriteOrALink) {
    std::string open = base + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    EXPECT_EQ(Get(), "");
    ASSERT_EQ(chmod(open.c_str(), 0720), 0);  // group-writable
    EXPECT_EQ(Get(), "");

    std::string target = base + "/target";
    std::string link = base + "/link";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    setenv("XDG_RUNTIME_DIR", link.c_str(), 1);
    EXPECT_EQ(Get(), "");

    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(Get(), "");
}

TEST_F(PrivateDirectory, WithoutRuntimeDirectoryMakesAPrivateOneInTmp) {
    unsetenv("XDG_RUNTIME_DIR");
    std::string expected = "/tmp/kestrel-" + std::to_string(geteuid());
    std::string dir = Get();
    ASSERT_EQ(dir, expected);
    struct stat info {};
    ASSERT_EQ(lstat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 022, 0u);
    EXPECT_EQ(info.st_uid, geteuid());
}

}  // namespace
