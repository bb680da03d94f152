// Shared pieces of the network-layer tests: a fixture that starts the socket library, connected
// socket pairs over 127.0.0.1, capture of the debugger output, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "platform.h"

namespace nettest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr uint32_t TRACE_ALL = 0xFFFFFFFFu;
inline constexpr int32_t WAIT_MS = 5000;  // bound of every wait for something that must happen

// Starts the socket library for one test and ends it afterwards; the trace stays off unless a
// test switches it on.
class NetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        traceMask = 0;
        ASSERT_EQ(NetInit(), NET_OK);
    }
    void TearDown() override {
        traceMask = 0;
        NetCleanup();
    }
};

// Sets traceMask for a scope.
class TraceMaskScope {
  public:
    explicit TraceMaskScope(uint32_t mask) { traceMask = mask; }
    ~TraceMaskScope() { traceMask = 0; }
};

// Collects everything written to the debugger output, one piece per write.
class DebugCapture {
  public:
    DebugCapture() { PlatSetDebugSink(&DebugCapture::Sink, this); }
    ~DebugCapture() { PlatSetDebugSink(nullptr, nullptr); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> Pieces() const {
        std::lock_guard<std::mutex> guard(lock_);
        return pieces_;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        pieces_.clear();
    }

  private:
    static void Sink(const char* text, void* context) {
        auto* self = static_cast<DebugCapture*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->pieces_.emplace_back(text);
    }
    mutable std::mutex lock_;
    std::vector<std::string> pieces_;
};

// "Proc <thread>\t", the start of every trace line written by the calling thread.
inline std::string ThreadPrefix() {
    return "Proc " + std::to_string(static_cast<int32_t>(PlatCurrentThreadId())) + "\t";
}

// Polls done until it holds or the bound passes. For conditions that no event announces, such as
// "that thread is blocked in its wait now".
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

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 made with platform calls, so that it is not registered and
// closes without the pause a registered listening socket gets.
struct LoopbackListener {
    int32_t socket = -1;
    uint16_t port = 0;  // host order

    explicit LoopbackListener(int32_t backlog = 4) {
        socket = PlatSocketCreate();
        const uint32_t loopback = PlatInetAddr("127.0.0.1");
        uint16_t networkPort = 0;
        if (socket == -1 || PlatBind(socket, loopback, 0) != 0 ||
            PlatListen(socket, backlog) != 0 ||
            PlatGetSockName(socket, nullptr, &networkPort) != 0) {
            ADD_FAILURE() << "no loopback listener, socket error " << PlatLastSocketError();
            return;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(&networkPort);
        port = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    }
    ~LoopbackListener() { Close(); }
    void Close() {
        if (socket != -1) {
            PlatSocketClose(socket);
            socket = -1;
        }
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
};

// A connected pair: client from TcpConnect, server from TcpAccept, both registered.
struct SocketPair {
    int32_t client = -1;
    int32_t server = -1;

    SocketPair() {
        LoopbackListener listener;
        uint16_t port = listener.port;
        EXPECT_EQ(TcpConnect(&client, "127.0.0.1", nullptr, &port), NET_OK);
        EXPECT_EQ(TcpAccept(&server, listener.socket, 5), NET_OK);
    }
    ~SocketPair() {
        TcpClose(&client);
        TcpClose(&server);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
};

// Sends text whole.
inline void SendText(int32_t s, const std::string& text) {
    ASSERT_EQ(TcpSend(s, text.data(), static_cast<uint32_t>(text.size()), 0, -1), NET_OK);
}

// Waits (bounded) until something has arrived on s, without taking it.
inline void WaitArrived(int32_t s) {
    ASSERT_EQ(PlatWaitReadable(s, WAIT_MS), 1);
}

// Closes the peer and returns everything still unread on s up to the end of the stream.
inline std::string RestAfterClose(int32_t s, int32_t* peer) {
    EXPECT_EQ(TcpClose(peer), NET_OK);
    std::string rest;
    char chunk[4096];
    for (;;) {
        const int32_t n = TcpRecv(s, chunk, sizeof chunk, 5, -1);
        if (n <= 0) {
            EXPECT_EQ(n, NET_CLOSED);
            return rest;
        }
        rest.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace nettest
