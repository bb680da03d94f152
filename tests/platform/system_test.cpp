// Worker threads and their exit codes, hidden windows and their class, and the debugger output
// hook.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform.h"
#include "threads.h"

namespace {

// A routine that runs until released and then ends with the code it was given.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
    uint32_t code = 0;
};

uint32_t WaitAtGate(void* parameter) {
    auto* gate = static_cast<Gate*>(parameter);
    gate->started = true;
    while (!gate->open) {
        PlatPause(1);
    }
    return gate->code;
}

TEST(ThreadsTest, ExitCodeIsStillActiveWhileRunningThenTheRoutinesResult) {
    Gate gate;
    gate.code = 7;
    const int32_t live = PlatThreadLiveCount();
    PlatThread* thread = PlatThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(PlatThreadIsRunning(thread));
    uint32_t code = 0;
    ASSERT_TRUE(PlatThreadExitCode(thread, &code));
    EXPECT_EQ(code, PLAT_STILL_ACTIVE);
    EXPECT_EQ(PlatThreadLiveCount(), live + 1);
    EXPECT_EQ(PlatThreadWait(thread, 50), PLAT_WAIT_TIMEOUT);

    gate.open = true;
    ASSERT_EQ(PlatThreadWait(thread, 5000), PLAT_WAIT_ENDED);
    EXPECT_FALSE(PlatThreadIsRunning(thread));
    ASSERT_TRUE(PlatThreadExitCode(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(PlatThreadLiveCount(), live);
    PlatThreadClose(thread);
}

TEST(ThreadsTest, ARoutineEndingWith259HasEndedAllTheSame) {
    Gate gate;
    gate.code = PLAT_STILL_ACTIVE;
    gate.open = true;
    PlatThread* thread = PlatThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(PlatThreadWait(thread, 5000), PLAT_WAIT_ENDED);
    EXPECT_FALSE(PlatThreadIsRunning(thread));
    PlatThreadClose(thread);
}

TEST(ThreadsTest, ClosingTheHandleOfARunningThreadLetsItFinish) {
    static Gate gate;  // outlives the handle and the test, as the thread may
    gate.code = 1;
    const int32_t live = PlatThreadLiveCount();
    PlatThread* thread = PlatThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    PlatThreadClose(thread);
    gate.open = true;
    const uint32_t start = PlatTickCount();
    while (PlatThreadLiveCount() != live && PlatTickCount() - start < 5000) {
        PlatPause(1);
    }
    EXPECT_EQ(PlatThreadLiveCount(), live);
}

TEST(ThreadsTest, CreationFailureSeamRunsNothing) {
    Gate gate;
    gate.open = true;
    PlatSetThreadCreateFailures(1);
    EXPECT_EQ(PlatThreadCreate(WaitAtGate, &gate), nullptr);
    EXPECT_FALSE(gate.started);
    PlatThread* thread = PlatThreadCreate(WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(PlatThreadWait(thread, 5000), PLAT_WAIT_ENDED);
    EXPECT_TRUE(gate.started);
    PlatThreadClose(thread);
}

class WindowsTest : public ::testing::Test {
  protected:
    void TearDown() override { PlatSetFaults(PlatFaults{}); }
};

TEST_F(WindowsTest, AWindowNeedsItsClassAndTheClassRegistersOnce) {
    PlatInstance instance = PlatWindowInstance(nullptr);
    EXPECT_EQ(PlatWindowCreate(nullptr, instance), nullptr);  // class not registered
    ASSERT_EQ(PlatWindowClassRegister(instance), 0);
    EXPECT_EQ(PlatWindowClassRegister(instance), -1);

    PlatWindow first = PlatWindowCreate(nullptr, instance);
    ASSERT_NE(first, nullptr);
    // A second window owned by the first, as a session's window is owned by the host's.
    PlatWindow second = PlatWindowCreate(first, instance);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    PlatWindowDestroy(second);
    PlatWindowDestroy(first);

    EXPECT_EQ(PlatWindowClassUnregister(instance), 0);
    EXPECT_EQ(PlatWindowClassUnregister(instance), -1);
    EXPECT_EQ(PlatWindowCreate(nullptr, instance), nullptr);
}

TEST_F(WindowsTest, FaultSeamsFailTheNextRegistrationAndCreation) {
    PlatInstance instance = PlatWindowInstance(nullptr);
    PlatFaults faults;
    faults.failClassRegisters = 1;
    faults.failWindowCreates = 1;
    PlatSetFaults(faults);
    EXPECT_EQ(PlatWindowClassRegister(instance), -1);
    ASSERT_EQ(PlatWindowClassRegister(instance), 0);
    EXPECT_EQ(PlatWindowCreate(nullptr, instance), nullptr);
    PlatWindow window = PlatWindowCreate(nullptr, instance);
    EXPECT_NE(window, nullptr);
    PlatWindowDestroy(window);
    EXPECT_EQ(PlatWindowClassUnregister(instance), 0);
}

TEST(DebugOutputTest, SinkReceivesEachPieceWholeUntilRemoved) {
    std::vector<std::string> pieces;
    PlatSetDebugSink(
        [](const char* text, void* context) {
            static_cast<std::vector<std::string>*>(context)->emplace_back(text);
        },
        &pieces);
    PlatDebugOutput("Proc 1\tone\r\n");
    PlatDebugOutput(nullptr);
    PlatDebugOutput("two");
    PlatSetDebugSink(nullptr, nullptr);
    PlatDebugOutput("to the debugger, not the sink\r\n");
    EXPECT_EQ(pieces, (std::vector<std::string>{"Proc 1\tone\r\n", "two"}));
}

}  // namespace
