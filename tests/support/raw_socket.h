// A minimal TCP socket for tests that must talk to a server, or listen for one, without the
// code under test: the scripted server's own tests and the real-server fixtures use it. Every
// read waits at most the time it is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ktest {

class RawSocket {
public:
    using Millis = std::chrono::milliseconds;

    RawSocket() = default;
    ~RawSocket();
    RawSocket(RawSocket&& other) noexcept;
    RawSocket& operator=(RawSocket&& other) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // Connects to address:port within `timeout`, optionally from the local address `from`.
    // Returns a closed socket on failure.
    static RawSocket connectTo(const std::string& address, uint16_t port,
                               Millis timeout = Millis(5000), const std::string& from = "");
    // Listens on address:port (0: chosen by the system). Returns a closed socket on failure.
    static RawSocket listenOn(const std::string& address, uint16_t port = 0);

    // Accepts one connection within `timeout`; closed socket on failure.
    RawSocket accept(Millis timeout = Millis(5000));

    bool isOpen() const { return fd_ != -1; }
    void close();
    uint16_t localPort() const;
    std::string localAddress() const;
    std::string peerAddress() const;

    // Sends everything (flags as for send(2), e.g. MSG_OOB). Returns false on error.
    bool sendAll(const std::string& bytes, int flags = 0);
    // Reads one line up to and including LF, waiting at most `timeout` in all. Returns what it
    // has on time-out or at the end of the stream (possibly empty, without LF).
    std::string readLine(Millis timeout = Millis(5000));
    // Reads one complete FTP reply (all lines of a multi-line reply), raw. Empty on failure.
    std::string readReply(Millis timeout = Millis(5000));
    // Returns what has arrived, waiting up to `timeout` for the first bytes.
    std::string readSome(Millis timeout = Millis(5000));
    // Reads until the peer closes the connection; gives up after `timeout` in all.
    std::string readAll(Millis timeout = Millis(5000));
    // True when the peer has closed the connection (end of stream or reset) within `timeout`;
    // data arriving meanwhile is discarded.
    bool waitClosedByPeer(Millis timeout);
    // The error of the last failed read in the system's numbering (ECONNRESET after a reset by
    // the peer, ETIMEDOUT after a time-out; the WSAE names under Windows), 0 after an orderly
    // end of the stream or while reads succeed.
    int lastError() const { return lastError_; }

private:
    // fd: a descriptor, or a Winsock SOCKET, in a type that holds either (-1: none).
    explicit RawSocket(std::intptr_t fd) : fd_(fd) {}
    // Waits for `events` until `deadline`; false on time-out.
    bool waitFor(short events, std::chrono::steady_clock::time_point deadline) const;
    // Reads into buffered_; returns the recv result.
    long fill(std::chrono::steady_clock::time_point deadline);

    std::intptr_t fd_ = -1;
    std::string buffered_;  // received but not yet returned
    int lastError_ = 0;
};

}  // namespace ktest
