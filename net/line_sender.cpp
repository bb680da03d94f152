// Sending on a command connection: one command line (CR LF added, a line holding CR or LF
// refused, a secret shown as asterisks in the log and the dump) and the Telnet interrupt that
// goes before ABOR. Reading the replies is in reply_reader.cpp.

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "net.h"
#include "socket_steps.h"

int32_t TnSend(int32_t s, const char* line, int32_t urgent, int32_t logFile) {
    return TnSendLine(s, line, urgent, logFile, -1, -1);
}

int32_t TnSendLine(int32_t s, const char* line, int32_t urgent, int32_t logFile, int32_t waitMs,
                   int32_t hideFrom) {
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

    // A secret (a password) reaches the peer and nothing else: the log file and the dump show
    // asterisks in its place.
    const bool hide = hideFrom >= 0 && static_cast<size_t>(hideFrom) <= length;
    std::string shown;
    if (hide) {
        shown.assign(line, static_cast<size_t>(hideFrom));
        shown += "****\r\n";
        if (logFile != -1) {
            PlatFileWrite(logFile, shown.data(), static_cast<uint32_t>(shown.size()));
        }
    }
    const int32_t result =
        TcpSendStep(s, area.get(), total, urgent, hide ? -1 : logFile, waitMs);
    if (result == NET_OK) {
        if (hide) {
            NetDump(shown.data(), static_cast<int32_t>(shown.size()), ">");
        } else {
            NetDump(area.get(), static_cast<int32_t>(total), ">");
        }
    }
    NetTrace(TRACE_EXIT, "TnSend : return code %d", result);
    return result == NET_OK ? NET_OK : result == NET_TIMEOUT ? NET_TIMEOUT : NET_ERROR;
}

int32_t TnSendInterrupt(int32_t s, int32_t logFile, int32_t waitMs) {
    NetTrace(TRACE_ENTER, "TnSendInterrupt");
    // Only the last byte of an urgent send is at the urgent mark, so the Synch's IAC goes out
    // alone; the bytes around it are ordinary data.
    static const char interruptProcess[] = {'\xFF', '\xF4'};
    static const char synchMark[] = {'\xFF'};
    static const char dataMark[] = {'\xF2'};
    int32_t result = TcpSendStep(s, interruptProcess, sizeof interruptProcess, 0, logFile, waitMs);
    if (result == NET_OK) {
        result = TcpSendStep(s, synchMark, sizeof synchMark, 1, logFile, waitMs);
    }
    if (result == NET_OK) {
        result = TcpSendStep(s, dataMark, sizeof dataMark, 0, logFile, waitMs);
    }
    NetTrace(TRACE_EXIT, "TnSendInterrupt : return code %d", result);
    return result == NET_OK ? NET_OK : NET_ERROR;
}
