// The few system calls of the test support, in the one form both systems offer: Winsock and
// Win32 here, POSIX in ../posix/test_os.h (which says what each one does). The build puts one of
// the two folders on the include path, so the scripted server and the raw socket are written
// once.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace ktest::os {

using Socket = SOCKET;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
// Winsock raises no signal on a write to a closed connection.
inline constexpr int kSendFlags = 0;
inline constexpr int kTimedOut = WSAETIMEDOUT;

inline int LastError() {
    return WSAGetLastError();
}
inline bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}
inline bool ConnectPending(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
inline std::string ErrorText(int error) {
    char buffer[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, buffer, sizeof buffer,
                                  nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return (text.empty() ? "Winsock error" : text) + " (" + std::to_string(error) + ")";
}
inline bool SetNonBlocking(Socket s, bool on) {
    u_long value = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &value) == 0;
}
inline void CloseSocket(Socket s) {
    closesocket(s);
}
// s made non-blocking; closed, and kNoSocket with the error kept, when that fails.
inline Socket NonBlockingOrClosed(Socket s) {
    if (s != kNoSocket && !SetNonBlocking(s, true)) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return kNoSocket;
    }
    return s;
}
inline Socket OpenStream(int family = AF_INET) {
    return NonBlockingOrClosed(::socket(family, SOCK_STREAM, 0));
}
inline Socket AcceptStream(Socket listener, sockaddr* peer, socklen_t* length) {
    return NonBlockingOrClosed(::accept(listener, peer, length));
}
inline bool AtUrgentMark(Socket s) {
    // Winsock's SIOCATMARK answers "no urgent data pending" as TRUE. (Wine answers TRUE on a
    // socket with SO_OOBINLINE whatever came: scripts/windows.sh says which tests that leaves out.)
    u_long atMark = TRUE;
    return ioctlsocket(s, SIOCATMARK, &atMark) == 0 && atMark == FALSE;
}
inline int Poll(pollfd* fds, size_t count, int timeoutMs) {
    // Winsock refuses POLLPRI in a request; urgent data is read inline (SO_OOBINLINE), so it
    // shows as POLLIN.
    for (size_t i = 0; i < count; ++i) {
        fds[i].events &= ~POLLPRI;
    }
    // WSAPoll takes no entry without a socket, where poll(2) skips a negative descriptor.
    pollfd used[8];
    size_t map[8];
    ULONG n = 0;
    for (size_t i = 0; i < count && n < 8; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd != kNoSocket) {
            map[n] = i;
            used[n++] = fds[i];
        }
    }
    if (n == 0) {
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    int ready = WSAPoll(used, n, timeoutMs);
    for (ULONG k = 0; ready > 0 && k < n; ++k) {
        fds[map[k]].revents = used[k].revents;
    }
    return ready;
}

// A datagram socket on 127.0.0.1 that sends itself one datagram on Signal.
class Wake {
public:
    Wake() {
        s_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address_;
        if (s_ != kNoSocket &&
            (bind(s_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
             getsockname(s_, reinterpret_cast<sockaddr*>(&address_), &length) != 0)) {
            closesocket(s_);
            s_ = kNoSocket;
        }
    }
    ~Wake() {
        if (s_ != kNoSocket) {
            closesocket(s_);
        }
    }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    bool ok() const { return s_ != kNoSocket; }
    Socket pollable() const { return s_; }
    void Signal() {
        sendto(s_, "!", 1, 0, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
    }

private:
    Socket s_ = kNoSocket;
    sockaddr_in address_{};
};

// Winsock sets the keep-alive interval (SIO_KEEPALIVE_VALS) but has no way to read it back.
inline bool ReadKeepAlive(Socket, int*, int*) {
    return false;
}

inline int OpenHandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return static_cast<int>(count);
}

// A handle as the platform layer's file handles are on Windows (a HANDLE in 32 bits).
inline int32_t OpenForAppending(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? -1
                                        : static_cast<int32_t>(reinterpret_cast<intptr_t>(file));
}

}  // namespace ktest::os
