#include "raw_socket.h"

#include <cctype>
#include <utility>

#include "test_os.h"

namespace ktest {

namespace {

using Clock = std::chrono::steady_clock;

bool MakeAddress(const std::string& address, uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

std::string AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// True when `line` (with its LF) ends an FTP reply begun by `first`: the last line of a
// multi-line reply repeats the code followed by a blank.
bool EndsReply(const std::string& first, const std::string& line) {
    bool firstIsNumbered = first.size() >= 4 && std::isdigit(static_cast<unsigned char>(first[0]))
                           && std::isdigit(static_cast<unsigned char>(first[1])) &&
                           std::isdigit(static_cast<unsigned char>(first[2]));
    if (!firstIsNumbered || first[3] != '-') {
        return true;
    }
    return line.size() >= 4 && line.compare(0, 3, first, 0, 3) == 0 && line[3] == ' ';
}

}  // namespace

namespace {

// The system's socket of a RawSocket's handle.
os::Socket Native(std::intptr_t fd) {
    return static_cast<os::Socket>(fd);
}

// A RawSocket's handle of the system's socket.
std::intptr_t Handle(os::Socket s) {
    return s == os::kNoSocket ? -1 : static_cast<std::intptr_t>(s);
}

}  // namespace

RawSocket::~RawSocket() { close(); }

RawSocket::RawSocket(RawSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffered_(std::move(other.buffered_)) {}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        buffered_ = std::move(other.buffered_);
    }
    return *this;
}

void RawSocket::close() {
    if (fd_ != -1) {
        os::CloseSocket(Native(fd_));
        fd_ = -1;
    }
    buffered_.clear();
}

RawSocket RawSocket::connectTo(const std::string& address, uint16_t port, Millis timeout,
                               const std::string& from) {
    sockaddr_in remote;
    sockaddr_in6 remote6{};
    const bool v6 = !MakeAddress(address, port, &remote);
    if (v6) {
        // An IPv6 address ("::1"), for probing servers that listen on one.
        remote6.sin6_family = AF_INET6;
        remote6.sin6_port = htons(port);
        if (!from.empty() || inet_pton(AF_INET6, address.c_str(), &remote6.sin6_addr) != 1) {
            return RawSocket();
        }
    }
    RawSocket socket(Handle(os::OpenStream(v6 ? AF_INET6 : AF_INET)));
    if (!socket.isOpen()) {
        return RawSocket();
    }
    if (!from.empty()) {
        sockaddr_in local;
        if (!MakeAddress(from, 0, &local) ||
            ::bind(Native(socket.fd_), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            return RawSocket();
        }
    }
    const int connected =
        v6 ? ::connect(Native(socket.fd_), reinterpret_cast<sockaddr*>(&remote6), sizeof remote6)
           : ::connect(Native(socket.fd_), reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    if (connected < 0 && !os::ConnectPending(os::LastError())) {
        return RawSocket();
    }
    if (!socket.waitFor(POLLOUT, Clock::now() + timeout)) {
        return RawSocket();
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(Native(socket.fd_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) < 0 ||
        error != 0) {
        return RawSocket();
    }
    return socket;
}

RawSocket RawSocket::listenOn(const std::string& address, uint16_t port) {
    sockaddr_in local;
    if (!MakeAddress(address, port, &local)) {
        return RawSocket();
    }
    RawSocket socket(Handle(os::OpenStream()));
    if (!socket.isOpen() ||
        ::bind(Native(socket.fd_), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::listen(Native(socket.fd_), 4) < 0) {
        return RawSocket();
    }
    return socket;
}

RawSocket RawSocket::accept(Millis timeout) {
    if (!waitFor(POLLIN, Clock::now() + timeout)) {
        return RawSocket();
    }
    return RawSocket(Handle(os::AcceptStream(Native(fd_), nullptr, nullptr)));
}

uint16_t RawSocket::localPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(Native(fd_), reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

std::string RawSocket::localAddress() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(Native(fd_), reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        return "";
    }
    return AddressText(local);
}

std::string RawSocket::peerAddress() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(Native(fd_), reinterpret_cast<sockaddr*>(&peer), &length) < 0) {
        return "";
    }
    return AddressText(peer);
}

bool RawSocket::waitFor(short events, Clock::time_point deadline) const {
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        pollfd fd{Native(fd_), events, 0};
        int n = os::Poll(&fd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0) {
            return true;
        }
        if (n < 0 && os::WouldBlock(os::LastError())) {
            continue;
        }
        if (n < 0 || left <= 0) {
            return false;
        }
    }
}

long RawSocket::fill(Clock::time_point deadline) {
    for (;;) {
        char chunk[4096];
        ssize_t n = ::recv(Native(fd_), chunk, sizeof chunk, 0);
        if (n > 0) {
            lastError_ = 0;
            buffered_.append(chunk, static_cast<std::size_t>(n));
            return n;
        }
        const int error = n == 0 ? 0 : os::LastError();
        if (n == 0 || !os::WouldBlock(error)) {
            lastError_ = error;
            return n;
        }
        if (!waitFor(POLLIN, deadline)) {
            lastError_ = os::kTimedOut;
            return -1;
        }
    }
}

bool RawSocket::sendAll(const std::string& bytes, int flags) {
    std::size_t sent = 0;
    Clock::time_point deadline = Clock::now() + Millis(5000);
    while (sent < bytes.size()) {
        ssize_t n = ::send(Native(fd_), bytes.data() + sent, bytes.size() - sent,
                           flags | os::kSendFlags);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && os::WouldBlock(os::LastError())) {
            if (!waitFor(POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::string RawSocket::readLine(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end + 1);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (Clock::now() >= deadline || fill(deadline) <= 0) {
            return std::exchange(buffered_, std::string());
        }
    }
}

std::string RawSocket::readSome(Millis timeout) {
    if (buffered_.empty()) {
        fill(Clock::now() + timeout);
    }
    return std::exchange(buffered_, std::string());
}

std::string RawSocket::readReply(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    std::string first = readLine(timeout);
    if (first.empty() || first.back() != '\n') {
        return "";
    }
    std::string reply = first;
    bool complete = EndsReply(first, first);
    while (!complete) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        std::string line = readLine(left.count() > 0 ? left : Millis(0));
        if (line.empty() || line.back() != '\n') {
            return "";
        }
        reply += line;
        complete = EndsReply(first, line);
    }
    return reply;
}

std::string RawSocket::readAll(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        long n = fill(deadline);
        if (n <= 0 || Clock::now() >= deadline) {
            return std::exchange(buffered_, std::string());
        }
    }
}

bool RawSocket::waitClosedByPeer(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        buffered_.clear();
        long n = fill(deadline);
        if (n == 0 || (n < 0 && lastError_ != os::kTimedOut)) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
}

}  // namespace ktest
