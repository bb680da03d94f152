// Linked into every test program of the Windows build.
//
// Some fixtures make their sockets before the code under test starts the socket library (a
// member built before SetUp runs NetInit); on POSIX there is nothing to start, on Windows every
// socket call fails with WSANOTINITIALISED until Winsock is started. The test program holds one
// start of its own for its whole run, as a Windows test harness would. It goes around the
// platform layer, so the layer's count of starts, which the suites check, stays the code's own.

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

namespace {

class WinsockEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace
