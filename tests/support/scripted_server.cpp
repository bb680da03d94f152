// The scripted FTP server. All sockets are non-blocking and every wait is a poll() that also
// watches a wake-up handle (os::Wake), so the destructor can cut any step short and join the
// thread at once.

#include "scripted_server.h"

#include "test_os.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace ktest {

namespace {

using Clock = std::chrono::steady_clock;

using os::kNoSocket;
using os::Socket;

// The text of the calling thread's last socket error.
std::string LastErrorText() {
    return os::ErrorText(os::LastError());
}

// Owns one socket.
class Fd {
public:
    Fd() = default;
    explicit Fd(Socket fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, kNoSocket)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, kNoSocket));
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    Socket get() const { return fd_; }
    bool isOpen() const { return fd_ != kNoSocket; }
    Socket release() { return std::exchange(fd_, kNoSocket); }
    void reset(Socket fd = kNoSocket) {
        if (fd_ != kNoSocket) {
            os::CloseSocket(fd_);
        }
        fd_ = fd;
    }
    // Closes with a reset instead of the orderly end of the stream.
    void resetAbortively() {
        if (fd_ != kNoSocket) {
            linger hard{1, 0};
            setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                       sizeof hard);
        }
        reset();
    }

private:
    Socket fd_ = kNoSocket;
};

bool ParseIpv4(const std::string& text, in_addr* out) {
    return inet_pton(AF_INET, text.c_str(), out) == 1;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

// Parses the argument of "PORT h1,h2,h3,h4,p1,p2". Returns false unless it has exactly six
// decimal numbers of 0-255.
bool ParsePortArgument(const std::string& argument, sockaddr_in* out) {
    unsigned values[6];
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < argument.size() && argument[i] == ' ') {
        ++i;
    }
    while (count < 6) {
        std::size_t start = i;
        unsigned value = 0;
        while (i < argument.size() && std::isdigit(static_cast<unsigned char>(argument[i])) &&
               i - start < 3) {
            value = value * 10 + static_cast<unsigned>(argument[i] - '0');
            ++i;
        }
        if (i == start || value > 255) {
            return false;
        }
        values[count++] = value;
        if (count < 6) {
            if (i >= argument.size() || argument[i] != ',') {
                return false;
            }
            ++i;
        }
    }
    while (i < argument.size() && argument[i] == ' ') {
        ++i;
    }
    if (i != argument.size()) {
        return false;
    }
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_addr.s_addr = htonl((values[0] << 24) | (values[1] << 16) | (values[2] << 8) |
                                 values[3]);
    out->sin_port = htons(static_cast<uint16_t>((values[4] << 8) | values[5]));
    return true;
}

std::string FormatAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

struct ScriptedServer::Handles {
    Fd listener;
    os::Wake wake;
};

// ---------------------------------------------------------------------------------------------
// Step and Scenario

std::string Step::describe() const {
    switch (kind) {
        case Kind::Send: return "send " + Quote(text);
        case Kind::Expect:
            switch (match) {
                case Match::Exact: return "expect " + Quote(text);
                case Match::Prefix: return "expect prefix " + Quote(text);
                case Match::Any: return "expect any line";
            }
            break;
        case Kind::Reply: return "reply " + Quote(text);
        case Kind::PassiveListen: return "passive listen, reply " + Quote(text);
        case Kind::PassiveAccept: return "passive accept";
        case Kind::DataConnect:
            return "data connect" +
                   (connect.fromAddress.empty() ? "" : " from " + connect.fromAddress) +
                   (connect.thiefAddress.empty() ? "" : " after thief " + connect.thiefAddress);
        case Kind::RefuseData: return "refuse data connection";
        case Kind::DataSend: return "data send " + std::to_string(text.size()) + " bytes";
        case Kind::DataReceive: return "data receive";
        case Kind::DataClose: return flag ? "data reset" : "data close";
        case Kind::Stall: return "stall " + std::to_string(duration.count()) + " ms";
        case Kind::StallUntilClosed: return "stall until the client closes";
        case Kind::CloseControl: return flag ? "reset control" : "close control";
        case Kind::AcceptControl: return "accept control";
        case Kind::ExpectAbort: return flag ? "expect urgent ABOR" : "expect ABOR";
        case Kind::ExpectThiefClosed: return "expect thief closed";
        case Kind::ExpectTlsHandshake: return "expect TLS ClientHello";
    }
    return "?";
}

Scenario& Scenario::add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

Scenario& Scenario::send(std::string raw) {
    Step step;
    step.kind = Step::Kind::Send;
    step.text = std::move(raw);
    return add(std::move(step));
}

Scenario& Scenario::reply(std::string text) {
    Step step;
    step.kind = Step::Kind::Reply;
    step.text = std::move(text);
    if (step.text.empty() || step.text.back() != '\n') {
        step.text += "\r\n";
    }
    return add(std::move(step));
}

Scenario& Scenario::expect(std::string line) {
    Step step;
    step.kind = Step::Kind::Expect;
    step.match = Step::Match::Exact;
    step.text = std::move(line);
    return add(std::move(step));
}

Scenario& Scenario::expectPrefix(std::string prefix) {
    Step step;
    step.kind = Step::Kind::Expect;
    step.match = Step::Match::Prefix;
    step.text = std::move(prefix);
    return add(std::move(step));
}

Scenario& Scenario::expectAny() {
    Step step;
    step.kind = Step::Kind::Expect;
    step.match = Step::Match::Any;
    return add(std::move(step));
}

Scenario& Scenario::command(std::string line, std::string answer) {
    return expect(std::move(line)).reply(std::move(answer));
}

Scenario& Scenario::passiveListen(std::string replyTemplate) {
    Step step;
    step.kind = Step::Kind::PassiveListen;
    step.text = std::move(replyTemplate);
    return add(std::move(step));
}

Scenario& Scenario::passiveAccept() {
    Step step;
    step.kind = Step::Kind::PassiveAccept;
    return add(std::move(step));
}

Scenario& Scenario::dataConnect(DataConnectOptions options) {
    Step step;
    step.kind = Step::Kind::DataConnect;
    step.connect = std::move(options);
    return add(std::move(step));
}

Scenario& Scenario::dataConnectFrom(std::string fromAddress) {
    DataConnectOptions options;
    options.fromAddress = std::move(fromAddress);
    return dataConnect(std::move(options));
}

Scenario& Scenario::dataConnectAfterThief(std::string thiefAddress, std::string fromAddress) {
    DataConnectOptions options;
    options.thiefAddress = std::move(thiefAddress);
    options.fromAddress = std::move(fromAddress);
    return dataConnect(std::move(options));
}

Scenario& Scenario::dataSendChunked(std::string bytes, std::size_t chunkSize, Millis pause) {
    DataSendOptions options;
    options.chunkSize = chunkSize;
    options.pause = pause;
    return dataSend(std::move(bytes), options);
}

Scenario& Scenario::dataSendUntilControlInput(std::string bytes, std::size_t chunkSize,
                                              Millis pause) {
    DataSendOptions options;
    options.chunkSize = chunkSize;
    options.pause = pause;
    options.stopOnControlInput = true;
    return dataSend(std::move(bytes), options);
}

Scenario& Scenario::refuseData() {
    Step step;
    step.kind = Step::Kind::RefuseData;
    return add(std::move(step));
}

Scenario& Scenario::dataSend(std::string bytes, DataSendOptions options) {
    Step step;
    step.kind = Step::Kind::DataSend;
    step.text = std::move(bytes);
    step.sendOptions = options;
    return add(std::move(step));
}

Scenario& Scenario::dataReceive(bool stopOnControlInput) {
    Step step;
    step.kind = Step::Kind::DataReceive;
    step.flag = stopOnControlInput;
    return add(std::move(step));
}

Scenario& Scenario::dataClose() {
    Step step;
    step.kind = Step::Kind::DataClose;
    return add(std::move(step));
}

Scenario& Scenario::dataReset() {
    Step step;
    step.kind = Step::Kind::DataClose;
    step.flag = true;
    return add(std::move(step));
}

Scenario& Scenario::stall(Millis duration) {
    Step step;
    step.kind = Step::Kind::Stall;
    step.duration = duration;
    return add(std::move(step));
}

Scenario& Scenario::stallUntilClientCloses() {
    Step step;
    step.kind = Step::Kind::StallUntilClosed;
    return add(std::move(step));
}

Scenario& Scenario::closeControl() {
    Step step;
    step.kind = Step::Kind::CloseControl;
    return add(std::move(step));
}

Scenario& Scenario::resetControl() {
    Step step;
    step.kind = Step::Kind::CloseControl;
    step.flag = true;
    return add(std::move(step));
}

Scenario& Scenario::acceptControl() {
    Step step;
    step.kind = Step::Kind::AcceptControl;
    return add(std::move(step));
}

Scenario& Scenario::expectAbort(std::vector<std::string> replies, bool mustBeUrgent) {
    Step step;
    step.kind = Step::Kind::ExpectAbort;
    step.flag = mustBeUrgent;
    for (std::string& text : replies) {
        if (text.empty() || text.back() != '\n') {
            text += "\r\n";
        }
    }
    step.replies = std::move(replies);
    return add(std::move(step));
}

Scenario& Scenario::expectThiefClosed() {
    Step step;
    step.kind = Step::Kind::ExpectThiefClosed;
    return add(std::move(step));
}

Scenario& Scenario::expectTlsHandshake() {
    Step step;
    step.kind = Step::Kind::ExpectTlsHandshake;
    return add(std::move(step));
}

Scenario& Scenario::within(Millis timeout) {
    if (!steps_.empty()) {
        steps_.back().timeout = timeout;
    }
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Runner: the server thread's side. Owns the control, data and thief sockets.

class ScriptedServer::Runner {
public:
    explicit Runner(ScriptedServer& server) : server_(server) {}

    void run(const std::vector<Step>& steps) {
        bool stopped = false;
        for (std::size_t i = 0; i < steps.size() && !stopped; ++i) {
            stopped = !runStep(steps[i], i);
            std::lock_guard<std::mutex> lock(server_.mutex_);
            ++server_.stepsRun_;
        }
        {
            std::lock_guard<std::mutex> lock(server_.mutex_);
            server_.done_ = true;
        }
        server_.doneChanged_.notify_all();
        linger();
    }

private:
    enum class Wait { Ready, TimedOut, Stopped };

    // Polls up to two descriptors and the wake descriptor until `deadline`. Ready: at least one
    // of the two has an event (see `revents`).
    Wait waitFor(Socket fdA, short eventsA, Socket fdB, short eventsB,
                 Clock::time_point deadline, short revents[2]) {
        for (;;) {
            pollfd fds[3] = {{server_.handles_->wake.pollable(), POLLIN, 0},
                             {fdA, eventsA, 0},
                             {fdB, eventsB, 0}};
            auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
            if (left < 0) {
                left = 0;
            }
            int n = os::Poll(fds, 3, static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (n < 0 && os::WouldBlock(os::LastError())) {
                continue;
            }
            if (fds[0].revents != 0) {
                return Wait::Stopped;
            }
            revents[0] = fds[1].revents;
            revents[1] = fds[2].revents;
            if (n > 0 && (revents[0] != 0 || revents[1] != 0)) {
                return Wait::Ready;
            }
            if (Clock::now() >= deadline) {
                return Wait::TimedOut;
            }
        }
    }

    Wait waitFor(Socket fd, short events, Clock::time_point deadline) {
        short revents[2];
        return waitFor(fd, events, kNoSocket, 0, deadline, revents);
    }

    Clock::time_point deadlineOf(const Step& step) const {
        return Clock::now() + (step.timeout.count() > 0 ? step.timeout : server_.stepTimeout_);
    }

    void fail(std::size_t index, const Step& step, const std::string& what) {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.failures_.push_back("step " + std::to_string(index + 1) + " (" +
                                    step.describe() + "): " + what);
    }

    // --- control connection ------------------------------------------------------------------

    bool acceptControl(Clock::time_point deadline, std::string* why) {
        control_.reset();
        pending_.clear();
        pendingUrgent_.clear();
        Wait wait = waitFor(server_.handles_->listener.get(), POLLIN, deadline);
        if (wait != Wait::Ready) {
            *why = wait == Wait::Stopped ? "server stopped" : "no client connected in time";
            return false;
        }
        Socket fd = os::AcceptStream(server_.handles_->listener.get(), nullptr, nullptr);
        if (fd == kNoSocket) {
            *why = "accept failed: " + LastErrorText();
            return false;
        }
        control_.reset(fd);
        // Urgent data stays in the stream, so "ABOR\r\n" sent urgently arrives as one line; the
        // urgent mark is found with SIOCATMARK before every read. The kernel applies the option
        // when the data is read, so urgent data that arrived before the accept is kept too.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
        return true;
    }

    bool ensureControl(Clock::time_point deadline, std::string* why) {
        return control_.isOpen() || acceptControl(deadline, why);
    }

    // Reads what the control connection has into pending_. Returns the byte count, 0 at the
    // end of the stream, -1 on error (os::LastError() set; "would block" when nothing was
    // there).
    ssize_t readControl() {
        const bool atMark = os::AtUrgentMark(control_.get());
        char buffer[4096];
        ssize_t n = ::recv(control_.get(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            return n;
        }
        // The kernel ends a read at the urgent mark, so when the mark is here it is this read's
        // first byte.
        pending_.append(buffer, static_cast<std::size_t>(n));
        pendingUrgent_.push_back(atMark);
        pendingUrgent_.resize(pending_.size(), false);
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.controlBytes_.append(buffer, static_cast<std::size_t>(n));
        if (atMark) {
            ++server_.urgentBytes_;
        }
        return n;
    }

    // Takes one complete line out of pending_ and records it.
    bool takeLine(CommandLine* line) {
        std::size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            return false;
        }
        line->urgentOffset = -1;
        for (std::size_t i = 0; i <= end; ++i) {
            if (pendingUrgent_[i]) {
                line->urgentOffset = static_cast<int>(i);
                break;
            }
        }
        line->urgent = line->urgentOffset >= 0;
        std::size_t length = end;
        if (length > 0 && pending_[length - 1] == '\r') {
            --length;
        }
        line->raw = pending_.substr(0, length);
        line->text.clear();
        for (std::size_t i = 0; i < length; ++i) {
            if (static_cast<unsigned char>(pending_[i]) == 0xFF) {
                ++i;  // IAC and the command byte after it
                continue;
            }
            line->text += pending_[i];
        }
        pending_.erase(0, end + 1);
        pendingUrgent_.erase(pendingUrgent_.begin(),
                             pendingUrgent_.begin() + static_cast<long>(end) + 1);
        std::lock_guard<std::mutex> lock(server_.mutex_);
        server_.lines_.push_back(*line);
        return true;
    }

    bool nextLine(Clock::time_point deadline, CommandLine* line, std::string* why) {
        if (!ensureControl(deadline, why)) {
            return false;
        }
        for (;;) {
            if (takeLine(line)) {
                return true;
            }
            Wait wait = waitFor(control_.get(), POLLIN | POLLPRI, deadline);
            if (wait == Wait::Stopped) {
                *why = "server stopped";
                return false;
            }
            if (wait == Wait::TimedOut) {
                *why = "no command line in time" +
                       (pending_.empty() ? std::string() : ", partial " + Quote(pending_));
                return false;
            }
            ssize_t n = readControl();
            if (n == 0) {
                *why = "client closed the control connection" +
                       (pending_.empty() ? std::string() : ", partial " + Quote(pending_));
                return false;
            }
            if (n < 0 && !os::WouldBlock(os::LastError())) {
                *why = "control read failed: " + LastErrorText();
                return false;
            }
        }
    }

    // Sends all of `bytes` on `fd`. Returns false with a reason on error or time-out.
    bool sendAll(Socket fd, const char* bytes, std::size_t size, Clock::time_point deadline,
                 std::string* why) {
        std::size_t sent = 0;
        while (sent < size) {
            ssize_t n = ::send(fd, bytes + sent, size - sent, os::kSendFlags);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && !os::WouldBlock(os::LastError())) {
                *why = "send failed: " + LastErrorText();
                return false;
            }
            Wait wait = waitFor(fd, POLLOUT, deadline);
            if (wait != Wait::Ready) {
                *why = wait == Wait::Stopped ? "server stopped" : "send timed out";
                return false;
            }
        }
        return true;
    }

    bool sendControl(const std::string& text, Clock::time_point deadline, std::string* why) {
        return ensureControl(deadline, why) &&
               sendAll(control_.get(), text.data(), text.size(), deadline, why);
    }

    // True when the client has written something the scenario has not read yet.
    bool controlInputWaiting() {
        if (!pending_.empty()) {
            return true;
        }
        if (!control_.isOpen()) {
            return false;
        }
        pollfd fd{control_.get(), POLLIN | POLLPRI, 0};
        return os::Poll(&fd, 1, 0) > 0;
    }

    // --- data connection ---------------------------------------------------------------------

    bool lastPortAddress(sockaddr_in* address, std::string* why) {
        std::lock_guard<std::mutex> lock(server_.mutex_);
        for (auto it = server_.lines_.rbegin(); it != server_.lines_.rend(); ++it) {
            if (StartsWithNoCase(it->text, "PORT ")) {
                if (ParsePortArgument(it->text.substr(5), address)) {
                    return true;
                }
                *why = "malformed PORT line " + Quote(it->text);
                return false;
            }
        }
        *why = "the client announced no PORT address";
        return false;
    }

    // The local address of the control connection, else the listening address; empty when
    // that is the wildcard.
    std::string serverAddress() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (control_.isOpen() &&
            getsockname(control_.get(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
            return text;
        }
        return server_.address_ == "0.0.0.0" ? "" : server_.address_;
    }

    bool connectFrom(const std::string& from, const sockaddr_in& to, Clock::time_point deadline,
                     Fd* out, std::string* why) {
        Fd fd(os::OpenStream());
        if (!fd.isOpen()) {
            *why = "socket failed: " + LastErrorText();
            return false;
        }
        if (!from.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (!ParseIpv4(from, &local.sin_addr)) {
                *why = "bad local address " + from;
                return false;
            }
            if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
                *why = "bind to " + from + " failed: " + LastErrorText();
                return false;
            }
        }
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
            !os::ConnectPending(os::LastError())) {
            *why = "connect to " + FormatAddress(to) + " failed: " + LastErrorText();
            return false;
        }
        Wait wait = waitFor(fd.get(), POLLOUT, deadline);
        if (wait != Wait::Ready) {
            *why = wait == Wait::Stopped ? "server stopped"
                                         : "connect to " + FormatAddress(to) + " timed out";
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        if (error != 0) {
            *why = "connect to " + FormatAddress(to) + " failed: " + os::ErrorText(error);
            return false;
        }
        *out = std::move(fd);
        std::lock_guard<std::mutex> lock(server_.mutex_);
        ++server_.dataConnections_;
        return true;
    }

    bool passiveListen(const Step& step, std::size_t index) {
        std::string why;
        passive_.reset(os::OpenStream());
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        if (!passive_.isOpen() || !ParseIpv4(serverAddress(), &local.sin_addr) ||
            ::bind(passive_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
            ::listen(passive_.get(), 4) < 0 ||
            getsockname(passive_.get(), reinterpret_cast<sockaddr*>(&local), &length) < 0) {
            fail(index, step, "passive listen failed: " + LastErrorText());
            return false;
        }
        const unsigned port = ntohs(local.sin_port);
        std::string reply = step.text;
        const std::pair<std::string, unsigned> holes[] = {
            {"{port}", port}, {"{p1}", port >> 8}, {"{p2}", port & 0xFF}};
        for (const auto& [hole, value] : holes) {
            for (std::size_t at; (at = reply.find(hole)) != std::string::npos;) {
                reply.replace(at, hole.size(), std::to_string(value));
            }
        }
        if (reply.empty() || reply.back() != '\n') {
            reply += "\r\n";
        }
        if (!sendControl(reply, deadlineOf(step), &why)) {
            fail(index, step, why);
            return false;
        }
        return true;
    }

    bool passiveAccept(const Step& step, std::size_t index) {
        if (!passive_.isOpen()) {
            fail(index, step, "no passive port");
            return false;
        }
        Wait wait = waitFor(passive_.get(), POLLIN, deadlineOf(step));
        if (wait != Wait::Ready) {
            fail(index, step, wait == Wait::Stopped ? "server stopped" : "no data connection");
            return false;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        data_.reset(os::AcceptStream(passive_.get(), reinterpret_cast<sockaddr*>(&peer), &length));
        passive_.reset();
        if (!data_.isOpen()) {
            fail(index, step, "accept failed: " + LastErrorText());
            return false;
        }
        std::lock_guard<std::mutex> lock(server_.mutex_);
        ++server_.dataConnections_;
        return true;
    }

    bool dataConnect(const Step& step, std::size_t index) {
        sockaddr_in to{};
        std::string why;
        Clock::time_point deadline = deadlineOf(step);
        if (!lastPortAddress(&to, &why)) {
            fail(index, step, why);
            return false;
        }
        data_.reset();
        if (!step.connect.thiefAddress.empty()) {
            thief_.reset();
            if (!connectFrom(step.connect.thiefAddress, to, deadline, &thief_, &why)) {
                fail(index, step, "thief: " + why);
                return false;
            }
        }
        // Like a real server, connect from the address the client reached us on, unless the
        // scenario wants another peer.
        std::string from = step.connect.fromAddress;
        if (from.empty()) {
            from = serverAddress();
        }
        if (!connectFrom(from, to, deadline, &data_, &why)) {
            fail(index, step, why);
            return false;
        }
        return true;
    }

    bool dataSend(const Step& step, std::size_t index) {
        if (!data_.isOpen()) {
            fail(index, step, "no data connection");
            return false;
        }
        const DataSendOptions& options = step.sendOptions;
        const std::string& bytes = step.text;
        std::size_t chunk = options.chunkSize == 0 ? bytes.size() : options.chunkSize;
        std::size_t offset = 0;
        while (offset < bytes.size()) {
            if (options.stopOnControlInput && controlInputWaiting()) {
                return true;
            }
            std::size_t size = std::min(chunk, bytes.size() - offset);
            std::size_t done = 0;
            Clock::time_point deadline = deadlineOf(step);
            while (done < size) {
                ssize_t n = ::send(data_.get(), bytes.data() + offset + done, size - done,
                                   os::kSendFlags);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                    std::lock_guard<std::mutex> lock(server_.mutex_);
                    server_.dataBytesSent_ += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && !os::WouldBlock(os::LastError())) {
                    if (options.stopOnControlInput) {
                        return true;  // the client closed the data connection: expected here
                    }
                    fail(index, step, "data send failed: " + LastErrorText());
                    return false;
                }
                short revents[2];
                int controlFd = options.stopOnControlInput ? control_.get() : -1;
                Wait wait = waitFor(data_.get(), POLLOUT, controlFd, POLLIN | POLLPRI, deadline,
                                    revents);
                if (wait == Wait::Stopped) {
                    return false;
                }
                if (wait == Wait::TimedOut) {
                    fail(index, step, "data send timed out (the client does not read)");
                    return false;
                }
                if (revents[1] != 0) {
                    return true;
                }
            }
            offset += size;
            if (offset < bytes.size() && options.pause.count() > 0) {
                short revents[2];
                int controlFd = options.stopOnControlInput ? control_.get() : -1;
                Wait wait = waitFor(-1, 0, controlFd, POLLIN | POLLPRI,
                                    Clock::now() + options.pause, revents);
                if (wait == Wait::Stopped) {
                    return false;
                }
            }
        }
        return true;
    }

    bool dataReceive(const Step& step, std::size_t index) {
        if (!data_.isOpen()) {
            fail(index, step, "no data connection");
            return false;
        }
        for (;;) {
            if (step.flag && controlInputWaiting()) {
                return true;
            }
            char buffer[16384];
            ssize_t n = ::recv(data_.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(server_.mutex_);
                server_.dataReceived_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                data_.reset();
                return true;
            }
            if (!os::WouldBlock(os::LastError())) {
                if (step.flag) {
                    data_.reset();
                    return true;
                }
                fail(index, step, "data receive failed: " + LastErrorText());
                return false;
            }
            short revents[2];
            int controlFd = step.flag ? control_.get() : -1;
            Wait wait = waitFor(data_.get(), POLLIN, controlFd, POLLIN | POLLPRI,
                                deadlineOf(step), revents);
            if (wait == Wait::Stopped) {
                return false;
            }
            if (wait == Wait::TimedOut) {
                fail(index, step, "the client neither sent nor closed the data connection");
                return false;
            }
        }
    }

    bool expectThiefClosed(const Step& step, std::size_t index) {
        if (!thief_.isOpen()) {
            fail(index, step, "no thief connection was made");
            return true;
        }
        Clock::time_point deadline = deadlineOf(step);
        for (;;) {
            char buffer[512];
            ssize_t n = ::recv(thief_.get(), buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && !os::WouldBlock(os::LastError()))) {
                thief_.reset();
                return true;
            }
            if (n > 0) {
                continue;
            }
            Wait wait = waitFor(thief_.get(), POLLIN, deadline);
            if (wait == Wait::Stopped) {
                return false;
            }
            if (wait == Wait::TimedOut) {
                fail(index, step, "the client kept the thief's data connection open");
                return true;
            }
        }
    }

    // --- TLS ---------------------------------------------------------------------------------

    bool expectTlsHandshake(const Step& step, std::size_t index) {
        std::string why;
        Clock::time_point deadline = deadlineOf(step);
        if (!ensureControl(deadline, &why)) {
            fail(index, step, why);
            return false;
        }
        // Record header: content type 22 (handshake), version 3.x, two bytes of length; then
        // the body, whose first byte is the handshake type, 1 for ClientHello.
        constexpr std::size_t kHeader = 5;
        for (;;) {
            const auto byte = [this](std::size_t i) { return static_cast<uint8_t>(pending_[i]); };
            if ((!pending_.empty() && byte(0) != 22) || (pending_.size() > 1 && byte(1) != 3)) {
                fail(index, step, "got " + Quote(pending_.substr(0, 64)) + ", not a TLS record");
                // Text in clear is what the test is after: record its first line whole.
                CommandLine line;
                nextLine(deadline, &line, &why);
                return false;
            }
            if (pending_.size() > kHeader) {
                const std::size_t length = (std::size_t{byte(3)} << 8) | byte(4);
                if (byte(kHeader) != 1) {
                    fail(index, step,
                         "TLS handshake type " + std::to_string(byte(kHeader)) +
                             ", not ClientHello (1)");
                    return false;
                }
                if (pending_.size() >= kHeader + length) {
                    pending_.erase(0, kHeader + length);
                    pendingUrgent_.erase(pendingUrgent_.begin(),
                                         pendingUrgent_.begin() +
                                             static_cast<long>(kHeader + length));
                    return true;
                }
            }
            Wait wait = waitFor(control_.get(), POLLIN | POLLPRI, deadline);
            if (wait == Wait::Stopped) {
                return false;
            }
            if (wait == Wait::TimedOut) {
                fail(index, step,
                     "no complete TLS ClientHello in time" +
                         (pending_.empty() ? std::string() : ", partial " + Quote(pending_)));
                return false;
            }
            ssize_t n = readControl();
            if (n == 0) {
                fail(index, step, "client closed the control connection");
                return false;
            }
            if (n < 0 && !os::WouldBlock(os::LastError())) {
                fail(index, step, "control read failed: " + LastErrorText());
                return false;
            }
        }
    }

    // --- steps -------------------------------------------------------------------------------

    // Runs one step. Returns false when the scenario cannot go on.
    bool runStep(const Step& step, std::size_t index) {
        std::string why;
        Clock::time_point deadline = deadlineOf(step);
        switch (step.kind) {
            case Step::Kind::Send:
            case Step::Kind::Reply:
                if (!sendControl(step.text, deadline, &why)) {
                    fail(index, step, why);
                    return false;
                }
                return true;

            case Step::Kind::Expect: {
                CommandLine line;
                if (!nextLine(deadline, &line, &why)) {
                    fail(index, step, why);
                    return false;
                }
                bool matches = step.match == Step::Match::Any ||
                               (step.match == Step::Match::Exact && line.text == step.text) ||
                               (step.match == Step::Match::Prefix &&
                                line.text.compare(0, step.text.size(), step.text) == 0);
                if (!matches) {
                    fail(index, step, "got " + Quote(line.text));
                }
                return true;
            }

            case Step::Kind::ExpectAbort: {
                CommandLine line;
                if (!nextLine(deadline, &line, &why)) {
                    fail(index, step, why);
                    return false;
                }
                if (line.text != "ABOR") {
                    fail(index, step, "got " + Quote(line.raw));
                } else if (step.flag && (line.raw != "\xFF\xF4\xFF\xF2" "ABOR" ||
                                         line.urgentOffset != 2)) {
                    fail(index, step,
                         "ABOR without the interrupt IAC IP, IAC (urgent), DM: " +
                             Quote(line.raw) + " urgent at " + std::to_string(line.urgentOffset));
                }
                for (const std::string& text : step.replies) {
                    if (!sendControl(text, deadline, &why)) {
                        fail(index, step, why);
                        return false;
                    }
                }
                return true;
            }

            case Step::Kind::DataConnect: return dataConnect(step, index);
            case Step::Kind::PassiveListen: return passiveListen(step, index);
            case Step::Kind::PassiveAccept: return passiveAccept(step, index);
            case Step::Kind::RefuseData: return true;
            case Step::Kind::DataSend: return dataSend(step, index);
            case Step::Kind::DataReceive: return dataReceive(step, index);

            case Step::Kind::DataClose:
                if (step.flag) {
                    data_.resetAbortively();
                } else {
                    data_.reset();
                }
                return true;

            case Step::Kind::Stall:
                return waitFor(-1, 0, Clock::now() + step.duration) != Wait::Stopped;

            case Step::Kind::StallUntilClosed: {
                if (!ensureControl(deadline, &why)) {
                    fail(index, step, why);
                    return false;
                }
                for (;;) {
                    ssize_t n = readControl();
                    CommandLine line;
                    while (takeLine(&line)) {
                    }
                    if (n == 0 || (n < 0 && !os::WouldBlock(os::LastError()))) {
                        control_.reset();
                        return true;
                    }
                    if (n > 0) {
                        continue;
                    }
                    Wait wait = waitFor(control_.get(), POLLIN | POLLPRI, deadline);
                    if (wait == Wait::Stopped) {
                        return false;
                    }
                    if (wait == Wait::TimedOut) {
                        fail(index, step, "the client kept the control connection open");
                        return false;
                    }
                }
            }

            case Step::Kind::CloseControl:
                if (step.flag) {
                    control_.resetAbortively();
                } else {
                    control_.reset();
                }
                pending_.clear();
                pendingUrgent_.clear();
                return true;

            case Step::Kind::AcceptControl:
                if (!acceptControl(deadline, &why)) {
                    fail(index, step, why);
                    return false;
                }
                return true;

            case Step::Kind::ExpectThiefClosed: return expectThiefClosed(step, index);
            case Step::Kind::ExpectTlsHandshake: return expectTlsHandshake(step, index);
        }
        return true;
    }

    // After the last step: keep recording the control connection until the client closes it
    // or the server is destroyed.
    void linger() {
        if (!control_.isOpen()) {
            return;
        }
        for (;;) {
            ssize_t n = readControl();
            CommandLine line;
            while (takeLine(&line)) {
            }
            if (n == 0 || (n < 0 && !os::WouldBlock(os::LastError()))) {
                return;
            }
            if (n > 0) {
                continue;
            }
            if (waitFor(control_.get(), POLLIN | POLLPRI, Clock::time_point::max()) ==
                Wait::Stopped) {
                return;
            }
        }
    }

    ScriptedServer& server_;
    Fd control_;
    Fd data_;
    Fd thief_;
    Fd passive_;  // the listening socket of the last passiveListen
    std::string pending_;              // control bytes not yet taken as lines
    std::vector<bool> pendingUrgent_;  // one flag per byte of pending_: at the urgent mark
};

// ---------------------------------------------------------------------------------------------
// ScriptedServer

ScriptedServer::ScriptedServer(const std::string& address, uint16_t port) : address_(address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (!ParseIpv4(address, &local.sin_addr)) {
        throw std::runtime_error("ScriptedServer: bad address " + address);
    }
    std::string why;
    if (port != 0 && !lock_.acquire(address, port, Millis(150000), &why)) {
        throw std::runtime_error("ScriptedServer: " + why);
    }
    Fd listener(os::OpenStream());
    int on = 1;
    if (!listener.isOpen() ||
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                   sizeof on) < 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::listen(listener.get(), 16) < 0) {
        throw std::runtime_error("ScriptedServer: cannot listen on " + address + ":" +
                                 std::to_string(port) + ": " + LastErrorText());
    }
    socklen_t length = sizeof local;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    auto handles = std::make_unique<Handles>();
    if (!handles->wake.ok()) {
        throw std::runtime_error("ScriptedServer: cannot make the wake-up handle: " +
                                 LastErrorText());
    }
    // The destructor closes both from here on.
    handles->listener = std::move(listener);
    handles_ = std::move(handles);
}

ScriptedServer::~ScriptedServer() {
    if (handles_ != nullptr) {
        handles_->wake.Signal();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ScriptedServer::start(const Scenario& scenario) { start(scenario.steps()); }

void ScriptedServer::start(std::vector<Step> steps) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
        throw std::logic_error("ScriptedServer: one scenario per server");
    }
    started_ = true;
    thread_ = std::thread([this, steps = std::move(steps)] {
        Runner runner(*this);
        runner.run(steps);
    });
}

bool ScriptedServer::waitDone(Millis timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
        return false;
    }
    return doneChanged_.wait_for(lock, timeout, [this] { return done_; });
}

bool ScriptedServer::ok() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_ && failures_.empty();
}

std::vector<std::string> ScriptedServer::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    texts.reserve(lines_.size());
    for (const CommandLine& line : lines_) {
        texts.push_back(line.text);
    }
    return texts;
}

std::vector<CommandLine> ScriptedServer::commandLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string ScriptedServer::controlBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlBytes_;
}

std::string ScriptedServer::dataReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataReceived_;
}

std::vector<std::string> ScriptedServer::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

int ScriptedServer::aborCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                          [](const CommandLine& l) { return l.text == "ABOR"; }));
}

int ScriptedServer::urgentByteCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return urgentBytes_;
}

int ScriptedServer::dataConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataConnections_;
}

std::size_t ScriptedServer::dataBytesSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataBytesSent_;
}

std::size_t ScriptedServer::stepsRun() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stepsRun_;
}

std::string ScriptedServer::report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    out << "scripted server " << address_ << ":" << port_ << (done_ ? ", done" : ", not done")
        << ", " << stepsRun_ << " steps run\n";
    for (const std::string& failure : failures_) {
        out << "  failure: " << failure << "\n";
    }
    for (const CommandLine& line : lines_) {
        out << "  line: " << Quote(line.text) << (line.urgent ? " (urgent)" : "") << "\n";
    }
    return out.str();
}

}  // namespace ktest
