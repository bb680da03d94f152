// The command table and the one command exchange that every simple command goes through.

#include "command_table.h"

#include <cstdio>
#include <cstring>

#include "session_internal.h"

// Every list starts with the reader's own outcomes: -1 is a socket error ("Host does not send an
// answer"), 0 a control connection that the server closed.
#define READER_PAIRS {-1, 2002}, {0, 3001}
#define END {REPLY_LIST_END, 0}

const CommandEntry CommandTable[20] = {
    {nullptr, {READER_PAIRS, {110, 0}, {120, 0}, {220, 0}, {421, 1008}, END}},
    {"USER %s", {READER_PAIRS, {220, 0}, {230, 0}, {331, 1}, {421, 1008}, END}},
    {"PASS %s",
     {READER_PAIRS, {220, 0}, {230, 0}, {332, 2}, {501, 3003}, {503, 3003}, {504, 3003},
      {530, 1009}, END}},
    {"ACCT %s",
     {READER_PAIRS, {200, 0}, {202, 0}, {220, 0}, {230, 0}, {500, 3003}, {503, 3003}, {530, 1009},
      END}},
    {"QUIT", {READER_PAIRS, {200, 0}, {220, 0}, {221, 0}, END}},
    {"HELP", {READER_PAIRS, {211, 0}, {214, 0}, {220, 0}, {504, 3003}, END}},
    {"HELP %s", {READER_PAIRS, {211, 0}, {214, 0}, {220, 0}, {504, 3003}, END}},
    {"DELE %s",
     {READER_PAIRS, {200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"CWD %s",
     {READER_PAIRS, {200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"CDUP",
     {READER_PAIRS, {200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"MKD %s",
     {READER_PAIRS, {200, 0}, {227, 0}, {257, 0}, {502, 3003}, {504, 3003}, {521, 1008},
      {550, 1008}, END}},
    {"RMD %s",
     {READER_PAIRS, {200, 0}, {250, 0}, {257, 0}, {450, 1014}, {502, 3003}, {504, 3003},
      {550, 1008}, END}},
    {"PWD", {READER_PAIRS, {200, 0}, {257, 0}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"TYPE %s", {READER_PAIRS, {200, 0}, {502, 3003}, {504, 3003}, {530, 3002}, {550, 3002}, END}},
    {"RNFR %s", {READER_PAIRS, {350, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1010}, END}},
    {"RNTO %s", {READER_PAIRS, {250, 0}, {502, 3003}, {504, 3003}, {550, 1008}, {553, 1008}, END}},
    {"SYST", {READER_PAIRS, {200, 0}, {215, 0}, {220, 0}, {502, 3003}, {504, 3003}, END}},
    {"NOOP", {READER_PAIRS, {200, 0}, {500, 3003}, END}},
    {"REST %s", {READER_PAIRS, {350, 3}, {500, 3003}, {502, 3003}, {504, 3003}, END}},
    // The data connection failed: refused (425), broken (426), or its TLS not taken (522).
    {nullptr, {READER_PAIRS, {226, 0}, {250, 0}, {421, 1008}, {425, 2006}, {426, 2006}, {522, 2006},
               {552, 1005}, END}},
};

#undef READER_PAIRS
#undef END

int32_t FtpMapReply(int32_t entry, int32_t code) {
    for (const auto& pair : CommandTable[entry].pairs) {
        if (pair[0] == REPLY_LIST_END) {
            break;
        }
        if (pair[0] == code) {
            return pair[1];
        }
    }
    return FTP_UNEXPECTED_ANSWER;
}

int32_t FtpBuildCommandLine(char* line, const char* format, const char* argument) {
    if (argument == nullptr) {
        if (strstr(format, "%s") != nullptr) {
            return FTP_BAD_PARAMETERS;  // never send a placeholder the caller did not fill
        }
        return snprintf(line, FTP_COMMAND_SIZE, "%s", format) < FTP_COMMAND_SIZE
                   ? FTP_OK
                   : FTP_BAD_PARAMETERS;
    }
    // A line break in the argument would end this command and smuggle in another one.
    if (FtpHasLineBreak(argument)) {
        return FTP_BAD_PARAMETERS;
    }
    const char* hole = strstr(format, "%s");
    if (hole == nullptr) {
        return FTP_BAD_PARAMETERS;
    }
    // A name is never cut: a cut name can name another file.
    int n = snprintf(line, FTP_COMMAND_SIZE, "%.*s%s%s", static_cast<int>(hole - format), format,
                     argument, hole + 2);
    return n >= 0 && n < FTP_COMMAND_SIZE ? FTP_OK : FTP_BAD_PARAMETERS;
}

int32_t FtpExecCommand(int32_t entry, const char* argument, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    if (entry < 0 || entry >= FTP_COMMAND_TABLE_SIZE) {
        return FTP_BAD_PARAMETERS;
    }
    if (op->connection.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    const CommandEntry& e = CommandTable[entry];
    if (e.format != nullptr) {
        char line[FTP_COMMAND_SIZE];
        int32_t built = FtpBuildCommandLine(line, e.format, argument);
        if (built != FTP_OK) {
            return built;
        }
        int32_t sent = FtpChannelSend(op.get(), line);
        if (sent != FTP_OK) {
            return sent;
        }
    }
    // A reply that never came, a closed connection or a cancellation is reported as such; only
    // real replies go through the entry's list.
    int32_t code = 0;
    const int32_t read = FtpChannelReply(op.get(), FTP_REPLY_FINAL, &code);
    return read != FTP_OK ? read : FtpMapReply(entry, code);
}
