// Line traffic of a command connection: receiving up to a delimiter without ever taking a byte
// after it out of the socket, sending one command line, and reading numbered replies of one or
// more lines.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "net.h"
#include "socket_steps.h"

namespace {

constexpr char LINE_DELIMITER[] = "\n";
// A reply line that starts in the last few bytes of the buffer ends the reply.
constexpr int32_t REPLY_TAIL_BYTES = 5;

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

// Length of the text at buffer + start, which ends at the latest at the buffer's last byte.
int32_t TextLength(const char* buffer, int32_t start, int32_t size) {
    return static_cast<int32_t>(strnlen(buffer + start, static_cast<size_t>(size - start)));
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

// Reads one line like TnReadReplyLine and stores in *taken how many bytes it took out of the
// socket (the line with its CR and its LF) when it succeeds.
int32_t ReadLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile,
                 uint32_t* taken) {
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
    if (taken != nullptr) {
        *taken = length + 1;
    }
    if (length >= 1 && buffer[length - 1] == '\r') {
        buffer[length - 1] = '\0';
    }
    return NET_OK;
}

}  // namespace

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

int32_t TnSend(int32_t s, const char* line, int32_t urgent, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnSend");
    const size_t length = line != nullptr ? strlen(line) : 0;
    // A line holding CR or LF would reach the peer as more than one command; it is refused.
    if (line == nullptr || strpbrk(line, "\r\n") != nullptr || length > INT32_MAX - 3) {
        NetTrace(TRACE_ERROR, "TnSend: line refused");
        NetTrace(TRACE_EXIT, "TnSend : return code %d", NET_ERROR);
        return NET_ERROR;
    }
    std::unique_ptr<char[]> area(new (std::nothrow) char[length + 3]());
    if (!area) {
        return NET_NO_MEMORY;
    }
    memcpy(area.get(), line, length);
    area[length] = '\r';
    area[length + 1] = '\n';
    const uint32_t total = static_cast<uint32_t>(length + 2);

    const int32_t result = TcpSendStep(s, area.get(), total, urgent, logFile);
    if (result == NET_OK) {
        NetDump(area.get(), static_cast<int32_t>(total), ">");
    }
    NetTrace(TRACE_EXIT, "TnSend : return code %d", result);
    return result == NET_OK ? NET_OK : NET_ERROR;
}

int32_t TnSendInterrupt(int32_t s, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnSendInterrupt");
    // Only the last byte of an urgent send is at the urgent mark, so the Synch's IAC goes out
    // alone; the bytes around it are ordinary data.
    static const char interruptProcess[] = {'\xFF', '\xF4'};
    static const char synchMark[] = {'\xFF'};
    static const char dataMark[] = {'\xF2'};
    int32_t result = TcpSendStep(s, interruptProcess, sizeof interruptProcess, 0, logFile);
    if (result == NET_OK) {
        result = TcpSendStep(s, synchMark, sizeof synchMark, 1, logFile);
    }
    if (result == NET_OK) {
        result = TcpSendStep(s, dataMark, sizeof dataMark, 0, logFile);
    }
    NetTrace(TRACE_EXIT, "TnSendInterrupt : return code %d", result);
    return result == NET_OK ? NET_OK : NET_ERROR;
}

int32_t TnReadReplyLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    return ReadLine(s, buffer, size, timeout, logFile, nullptr);
}

int32_t TnReadMultiLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnReadMultiLine");
    if (buffer == nullptr || size <= 0) {
        return NET_ERROR;
    }
    memset(buffer, 0, static_cast<size_t>(size));

    int32_t lineStart = 0;
    // The bytes this reply took out of the socket that take no room in the buffer: whole dropped
    // lines, and whatever follows a zero byte inside a kept line (the text ends at the zero, and
    // the next line is stored over the rest). Without this count a peer sending empty lines
    // without end would keep one reply going for ever, and one sending zero bytes in its lines
    // would make each reply take far more than its buffer holds.
    uint32_t unkept = 0;
    int32_t result;
    for (;;) {
        if (buffer[lineStart] != '\0') {
            const int32_t lineEnd = lineStart + TextLength(buffer, lineStart, size);
            // The next line needs one byte besides the terminating zero, which is never written
            // over: a line that reached the end of the buffer ends the reply, complete or not.
            if (lineEnd + 2 >= size) {
                result = NET_OK;
                break;
            }
            buffer[lineEnd] = '\n';
            lineStart = lineEnd + 1;
        }

        uint32_t lineBytes = 0;
        result =
            ReadLine(s, buffer + lineStart, size - lineStart - 1, timeout, logFile, &lineBytes);
        if (result != NET_OK) {
            break;
        }
        // A kept line of n text bytes may take n + 2 (its CR and LF) and keep them all.
        const uint32_t kept = static_cast<uint32_t>(TextLength(buffer, lineStart, size));
        unkept += kept == 0 ? lineBytes : lineBytes - std::min(lineBytes, kept + 2);
        if (unkept > static_cast<uint32_t>(size)) {
            result = NET_OVERFLOW;
            break;
        }
        if (size >= REPLY_TAIL_BYTES && lineStart >= size - REPLY_TAIL_BYTES) {
            break;
        }
        // The fourth byte counts only when it lies inside the buffer's line area.
        const char fourth = lineStart + 3 < size ? buffer[lineStart + 3] : '\0';
        if (IsDigit(buffer[lineStart]) && fourth != '-') {
            break;
        }
    }

    int32_t code;
    switch (result) {
        case NET_OK: {
            int32_t length = lineStart + TextLength(buffer, lineStart, size);
            if (length > 0 && buffer[length - 1] == '\r') {
                buffer[--length] = '\0';
            }
            NetDump(buffer, length, "<");
            code = 1;
            break;
        }
        case NET_CLOSED:
            code = 0;
            break;
        case NET_OVERFLOW:
            NetDump(buffer, lineStart, "Overflow");
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

int32_t TnReadAnswerCode(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TnReadAnswerCode");
    int32_t result = TnReadMultiLine(s, buffer, size, timeout, logFile);
    if (result == 1) {
        result = NetAtoi(buffer);
    }
    NetTrace(TRACE_EXIT, "TnReadAnswerCode: return code %d", result);
    return result;
}
