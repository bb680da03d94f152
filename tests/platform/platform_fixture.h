// Shared pieces of the platform-layer tests: a fixture that starts the socket library, connected
// loopback pairs made with platform calls only, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform.h"

namespace plattest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Polls done until it holds or the bound passes.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

inline uint16_t HostOrder(uint16_t networkPort) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkPort);
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(PlatSocketStartup(), 0); }
    void TearDown() override { PlatSocketCleanup(); }
};

// A socket listening on 127.0.0.1 at a port the system chose (port in network order).
struct Listener {
    PlatSocket socket = PLAT_NO_SOCKET;
    uint16_t port = 0;

    explicit Listener(int32_t backlog = 4) {
        socket = PlatSocketCreate();
        if (socket == PLAT_NO_SOCKET || PlatBind(socket, PlatInetAddr("127.0.0.1"), 0) != 0 ||
            PlatListen(socket, backlog) != 0 || PlatGetSockName(socket, nullptr, &port) != 0) {
            ADD_FAILURE() << "no listener, socket error " << PlatLastSocketError();
        }
    }
    ~Listener() { Close(); }
    void Close() {
        if (socket != PLAT_NO_SOCKET) {
            PlatSocketClose(socket);
            socket = PLAT_NO_SOCKET;
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
};

// A connected pair over 127.0.0.1.
struct Pair {
    PlatSocket client = PLAT_NO_SOCKET;
    PlatSocket server = PLAT_NO_SOCKET;

    Pair() {
        Listener listener;
        client = PlatSocketCreate();
        EXPECT_EQ(PlatConnect(client, PlatInetAddr("127.0.0.1"), listener.port), 0)
            << PlatLastSocketError();
        server = PlatAccept(listener.socket, nullptr, nullptr);
        EXPECT_NE(server, PLAT_NO_SOCKET) << PlatLastSocketError();
    }
    ~Pair() {
        if (client != PLAT_NO_SOCKET)
            PlatSocketClose(client);
        if (server != PLAT_NO_SOCKET)
            PlatSocketClose(server);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

}  // namespace plattest
