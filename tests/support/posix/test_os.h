// The few system calls of the test support, in the one form both systems offer: POSIX here,
// Winsock and Win32 in ../win32/test_os.h. The build puts one of the two folders on the include
// path, so the scripted server and the raw socket are written once.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace ktest::os {

using Socket = int;
inline constexpr Socket kNoSocket = -1;
// send() flags that keep a write to a closed connection from raising SIGPIPE.
inline constexpr int kSendFlags = MSG_NOSIGNAL;
// The error a read that waited too long reports.
inline constexpr int kTimedOut = ETIMEDOUT;

// The calling thread's last socket error, in the system's numbering.
inline int LastError() {
    return errno;
}
// Whether error only says "not now": nothing to read, no room to send, a signal came.
inline bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
// Whether error from connect() on a non-blocking socket says the connection is under way.
inline bool ConnectPending(int error) {
    return error == EINPROGRESS;
}
// The error's text.
inline std::string ErrorText(int error) {
    char buffer[128];
    // GNU strerror_r: returns the message, which may or may not live in `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}
// A non-blocking TCP socket (IPv4 unless family says otherwise), or kNoSocket (error in
// LastError()).
inline Socket OpenStream(int family = AF_INET) {
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}
// Accepts a connection on listener as a non-blocking socket; peer and length may be null.
inline Socket AcceptStream(Socket listener, sockaddr* peer, socklen_t* length) {
    return ::accept4(listener, peer, length, SOCK_NONBLOCK | SOCK_CLOEXEC);
}
inline void CloseSocket(Socket s) {
    ::close(s);
}
// Makes s blocking (false) or non-blocking (true).
inline bool SetNonBlocking(Socket s, bool on) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
// Whether the next byte to read on s is the urgent mark.
inline bool AtUrgentMark(Socket s) {
    int atMark = 0;
    return ioctl(s, SIOCATMARK, &atMark) == 0 && atMark != 0;
}
// poll(2) over count sockets; timeoutMs < 0 waits without limit.
inline int Poll(pollfd* fds, size_t count, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

// A socket-like handle that a poll sees readable once Signal was called: the scripted server's
// way to cut every wait short. An eventfd here.
class Wake {
public:
    Wake() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Wake() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    bool ok() const { return fd_ >= 0; }
    Socket pollable() const { return fd_; }
    void Signal() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
    }

private:
    int fd_;
};

// Whether keep-alive probes are on for s (*on) and after how many idle seconds they start
// (*idleSeconds). False when the system cannot tell.
inline bool ReadKeepAlive(Socket s, int* on, int* idleSeconds) {
    socklen_t size = sizeof *on;
    return getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, on, &size) == 0 &&
           getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds, &size) == 0;
}

// How many files, sockets and other handles this process holds open.
inline int OpenHandleCount() {
    // The number of a closed handle can be reused at once by another thread, so this counts
    // the open descriptors instead of probing one number.
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            ++count;
        }
    }
    return count;
}

// Opens the existing file at path for writing at its end only, as the platform layer's file
// handles are (a descriptor here). Negative on failure.
inline int32_t OpenForAppending(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}

}  // namespace ktest::os
