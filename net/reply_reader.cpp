// Reading on a command connection: receiving up to a delimiter without ever taking a byte after
// it out of the socket, and reading numbered replies of one or more lines. Sending a command
// line is in line_sender.cpp.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "net.h"
#include "socket_registry.h"
#include "socket_steps.h"
#include "tls_stream.h"

namespace {

constexpr char LINE_DELIMITER[] = "\n";

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameBytes(const char* a, const char* b, int32_t length, int32_t mode) {
    if (mode != NET_COMPARE_FOLDED) {
        return memcmp(a, b, static_cast<size_t>(length)) == 0;
    }
    for (int32_t i = 0; i < length; ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Takes exactly count bytes, already seen by a peek, out of s into destination. They are waiting,
// so the receive steps do not wait; should they have gone after all, the step reports a time-out
// rather than blocking. Returns NET_OK or the failing step's result.
int32_t TakeBytes(int32_t s, char* destination, uint32_t count, int32_t logFile) {
    uint32_t taken = 0;
    while (taken < count) {
        const int32_t result = TcpRecvStep(s, destination + taken, count - taken, -1, logFile);
        if (result <= 0) {
            return result;
        }
        taken += static_cast<uint32_t>(result);
    }
    return NET_OK;
}

}  // namespace

int32_t TnReadReplyLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    // A size of 0 or less leaves no room at all; a negative one must never reach the fill below.
    if (s == -1 || buffer == nullptr || size <= 0) {
        return NET_ERROR;
    }
    memset(buffer, 0, static_cast<size_t>(size));
    uint32_t length = static_cast<uint32_t>(size);
    const int32_t result =
        TcpRecvUntilStr(s, buffer, &length, LINE_DELIMITER, 1, NET_COMPARE_EXACT, timeout, logFile);
    if (result != NET_OK) {
        return result;
    }
    if (length >= 1 && buffer[length - 1] == '\r') {
        buffer[length - 1] = '\0';
    }
    return NET_OK;
}

int32_t FindDelimiter(const char* chunk, int32_t n, const char* delimiter, int32_t L,
                      int32_t* partialMatch, int32_t mode) {
    int32_t unused = 0;
    int32_t& matched = partialMatch != nullptr ? *partialMatch : unused;
    if (chunk == nullptr || delimiter == nullptr || n < 0 || L <= 0) {
        return -1;
    }
    if (matched < 0 || matched >= L) {
        matched = 0;
    }

    while (matched > 0) {
        const int32_t rest = L - matched;
        if (n < rest) {
            if (SameBytes(chunk, delimiter + matched, n, mode)) {
                matched += n;
                return -1;
            }
        } else if (SameBytes(chunk, delimiter + matched, rest, mode)) {
            return 0;
        }
        // The data seen so far end with the first `matched` delimiter bytes. Before giving the
        // match up, try the shorter starts of the delimiter that also end there (a delimiter such
        // as "aab" after "aa" + "ab"), so that no delimiter split across arrivals is missed.
        int32_t shorter = matched - 1;
        while (shorter > 0 && !SameBytes(delimiter + matched - shorter, delimiter, shorter, mode)) {
            --shorter;
        }
        matched = shorter;
    }

    if (n >= L) {
        for (int32_t i = 0; i <= n - L; ++i) {
            if (SameBytes(chunk + i, delimiter, L, mode)) {
                return i;
            }
        }
    }

    for (int32_t length = L - 1 < n ? L - 1 : n; length > 0; --length) {
        if (SameBytes(chunk + n - length, delimiter, length, mode)) {
            matched = length;
            return -1;
        }
    }
    return -1;
}

int32_t TcpRecvUntilStr(int32_t s, char* buffer, uint32_t* lengthVar, const char* delimiter,
                        int32_t L, int32_t mode, int32_t timeout, int32_t logFile) {
    if (lengthVar == nullptr || buffer == nullptr) {
        NetTrace(TRACE_ERROR, "TcpRecvUntilStr: invalid pointer");
        return NET_BAD_POINTER;
    }
    const uint32_t capacity = *lengthVar;
    // A capacity beyond the signed range is a negative size gone through the unsigned interface;
    // the peek must also be able to ask for capacity + L bytes.
    if (s == -1 || capacity == 0 || delimiter == nullptr || L <= 0 ||
        static_cast<int64_t>(capacity) + L + 1 > INT32_MAX) {
        return NET_ERROR;
    }

    const size_t scratchSize = static_cast<size_t>(capacity) + static_cast<size_t>(L) + 1;
    std::unique_ptr<char, FreeDeleter> scratch(static_cast<char*>(std::calloc(scratchSize, 1)));
    if (!scratch) {
        return NET_NO_MEMORY;
    }

    uint32_t stored = 0;
    int32_t partialMatch = 0;
    int32_t result;
    const char* errorText;
    for (;;) {
        result = TcpRecvStep(s, nullptr, 0, timeout, -1);
        if (result != NET_OK) {
            errorText = "Timeout";
            break;
        }

        // L bytes more than the room left, so that a delimiter right after a line that fills
        // the room is still seen.
        const int32_t want = static_cast<int32_t>(capacity - stored) + L;
        NetTrace(TRACE_CALL, "recv on socket %d. MSG_PEEK, buffer %d bytes", s, want);
        char* chunk = scratch.get() + stored;
        const int32_t peeked = NetPeek(s, chunk, want);
        if (peeked <= 0) {
            result = peeked;
            errorText = "TcpRecvUntilStr";
            break;
        }

        const int32_t position = FindDelimiter(chunk, peeked, delimiter, L, &partialMatch, mode);
        const uint32_t keep = position < 0 ? capacity - stored : static_cast<uint32_t>(position);
        const uint32_t count =
            static_cast<uint32_t>(peeked) < keep ? static_cast<uint32_t>(peeked) : keep;
        if (count > 0) {
            if (!PlatIsWritable(buffer + stored, count)) {
                *lengthVar = stored;
                NetTrace(TRACE_ERROR, "TcpRecvUntilStr: invalid pointer");
                return NET_BAD_POINTER;
            }
            result = TakeBytes(s, buffer + stored, count, logFile);
            if (result != NET_OK) {
                errorText = "TcpRecvUntilStr";
                break;
            }
            stored += count;
        }

        if (position < 0) {
            if (stored >= capacity) {
                *lengthVar = stored;
                return NET_OVERFLOW;
            }
            continue;
        }

        uint32_t delimiterBytes = static_cast<uint32_t>(L);
        if (position == 0) {
            // The first partialMatch bytes of the delimiter came with an earlier arrival and were
            // stored as data; they stay in the buffer behind the returned length.
            stored -= static_cast<uint32_t>(partialMatch);
            delimiterBytes -= static_cast<uint32_t>(partialMatch);
        }
        *lengthVar = stored;
        result = TakeBytes(s, scratch.get(), delimiterBytes, logFile);
        if (result != NET_OK) {
            errorText = "TcpRecvUntilStr";
            break;
        }
        return NET_OK;
    }

    *lengthVar = stored;
    // Only the failing call's own result says whether it was cancelled: the thread's last socket
    // error may be left over from an earlier call that was.
    NetTrace(TRACE_ERROR, "%s", result == NET_CANCELLED ? "call cancelled" : errorText);
    return result;
}

namespace {

// One reply as it is read: its lines go into the caller's buffer as long as there is room, and
// the first bytes of each line decide where the reply ends.
class ReplyScan {
public:
    ReplyScan(char* buffer, int32_t size) : buffer_(buffer), room_(size - 1) {}

    // Takes one byte of the current line (never its LF). A CR is held back until the next byte
    // shows whether it ends the line. A zero byte ends the line's text: the rest of the line is
    // read but not kept, so that no text joins the bytes on either side of it (a 257 path with
    // a zero byte inside its quotes is no path).
    void Feed(char c) {
        if (cut_) {
            return;
        }
        if (pendingCr_) {
            pendingCr_ = false;
            Keep('\r');
        }
        if (c == '\r') {
            pendingCr_ = true;
        } else if (c == '\0') {
            cut_ = true;
        } else {
            Keep(c);
        }
    }

    // Ends the current line at its LF; true when it was the reply's last line. Empty lines are
    // dropped. A reply that began with "nnn-" ends only at a line of its own code followed by a
    // space (or by nothing); lines that begin with other digits inside it are text. Any other
    // reply ends at its first line that begins with a digit, so text lines ahead of a numbered
    // reply still belong to it.
    bool EndLine() {
        pendingCr_ = false;
        cut_ = false;
        const int32_t length = lineLength_;
        const bool open = lineOpen_;
        lineLength_ = 0;
        lineOpen_ = false;
        if (!open) {
            return false;
        }
        const bool code = length >= 3 && IsDigit(head_[0]) && IsDigit(head_[1]) && IsDigit(head_[2]);
        if (multiLine_) {
            return code && memcmp(head_, code_, 3) == 0 && (length == 3 || head_[3] == ' ');
        }
        if (code && length >= 4 && head_[3] == '-') {
            multiLine_ = true;
            memcpy(code_, head_, 3);
            return false;
        }
        return IsDigit(head_[0]);
    }

    int32_t Kept() const { return kept_; }

private:
    void Keep(char c) {
        if (!lineOpen_) {
            lineOpen_ = true;
            // Lines are joined by LF; once the buffer is full the rest of the reply is dropped.
            if (kept_ > 0 && kept_ < room_) {
                buffer_[kept_++] = '\n';
            }
        }
        if (lineLength_ < 4) {
            head_[lineLength_] = c;
        }
        ++lineLength_;
        if (kept_ < room_) {
            buffer_[kept_++] = c;
        }
    }

    char* buffer_;
    int32_t room_;
    int32_t kept_ = 0;
    bool lineOpen_ = false;
    bool pendingCr_ = false;
    bool cut_ = false;  // a zero byte ended the current line's text
    int32_t lineLength_ = 0;
    char head_[4] = {};
    bool multiLine_ = false;
    char code_[3] = {};
};

// Milliseconds left of timeoutMs since start: < 0 without limit, 0 when the time is up.
int32_t MillisecondsLeft(uint32_t start, int32_t timeoutMs) {
    if (timeoutMs <= 0) {
        return timeoutMs;
    }
    const uint32_t elapsed = PlatTickCount() - start;
    return elapsed >= static_cast<uint32_t>(timeoutMs) ? 0
                                                       : timeoutMs - static_cast<int32_t>(elapsed);
}

}  // namespace

int32_t TnReadReply(int32_t s, char* buffer, int32_t size, int32_t timeoutMs, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnReadMultiLine");
    if (buffer == nullptr || size <= 0) {
        return NET_ERROR;
    }
    memset(buffer, 0, static_cast<size_t>(size));
    // One byte is the terminating zero: a buffer without room for text reads nothing.
    if (s == -1 || size < 2) {
        NetTrace(TRACE_EXIT, "TnReadMultiLine: return code %d", NET_ERROR);
        return NET_ERROR;
    }

    ReplyScan scan(buffer, size);
    const uint32_t start = PlatTickCount();
    uint32_t taken = 0;
    char chunk[4096];
    int32_t result;
    for (;;) {
        result = TcpRecvStepMs(s, nullptr, 0, MillisecondsLeft(start, timeoutMs), -1);
        if (result != NET_OK) {
            break;
        }
        const int32_t peeked = NetPeek(s, chunk, static_cast<int32_t>(sizeof chunk));
        if (peeked <= 0) {
            result = peeked;
            break;
        }
        // Whole lines up to the reply's last one and never past it, so that the next reply
        // stays in the socket; a line not yet ended is taken alone, as far as it came.
        uint32_t count = 0;
        bool last = false;
        bool overflow = false;
        while (count < static_cast<uint32_t>(peeked) && !last) {
            const char* line = chunk + count;
            const size_t left = static_cast<size_t>(peeked) - count;
            const char* lf = static_cast<const char*>(memchr(line, '\n', left));
            if (lf == nullptr && count > 0) {
                break;
            }
            uint32_t length = lf != nullptr ? static_cast<uint32_t>(lf - line) + 1
                                            : static_cast<uint32_t>(left);
            const uint32_t room = NET_REPLY_MAX_BYTES - taken - count;
            if (length > room) {
                // The reply may take bytes up to its limit and no further: a reply this long
                // never ends.
                if (count > 0 || room == 0) {
                    overflow = count == 0;
                    break;
                }
                length = room;
                lf = nullptr;
            }
            const uint32_t text = lf != nullptr ? length - 1 : length;
            for (uint32_t i = 0; i < text; ++i) {
                scan.Feed(line[i]);
            }
            last = lf != nullptr && scan.EndLine();
            count += length;
        }
        if (overflow) {
            result = NET_REPLY_OVERFLOW;
            break;
        }
        result = TakeBytes(s, chunk, count, logFile);
        if (result != NET_OK) {
            break;
        }
        taken += count;
        if (last) {
            break;
        }
    }

    int32_t code;
    switch (result) {
        case NET_OK:
            NetDump(buffer, scan.Kept(), "<");
            code = 1;
            break;
        case NET_CLOSED:
            code = 0;
            break;
        case NET_REPLY_OVERFLOW:
            NetDump(buffer, scan.Kept(), "Overflow");
            code = NET_REPLY_OVERFLOW;
            break;
        case NET_TIMEOUT:
            code = NET_TIMEOUT;
            break;
        case NET_CANCELLED:
            code = NET_CANCELLED;
            break;
        default:
            code = NET_ERROR;
            break;
    }
    NetTrace(TRACE_EXIT, "TnReadMultiLine: return code %d", code);
    return code;
}

int32_t TnReadMultiLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    return TnReadReply(s, buffer, size, NetWaitMilliseconds(timeout), logFile);
}

int32_t TnReadAnswerCode(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnReadAnswerCode");
    int32_t result = TnReadMultiLine(s, buffer, size, timeout, logFile);
    if (result == 1) {
        result = NetAtoi(buffer);
    }
    NetTrace(TRACE_EXIT, "TnReadAnswerCode: return code %d", result);
    return result;
}
