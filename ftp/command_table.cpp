// The command table and the one command exchange that every simple command goes through.

#include "command_table.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "session_internal.h"

#define END {REPLY_LIST_END, 0}

const CommandEntry CommandTable[20] = {
    {nullptr, {{110, 0}, {120, 0}, {220, 0}, {421, 1008}, END}},
    {"USER %s", {{220, 0}, {230, 0}, {331, 1}, {421, 1008}, END}},
    {"PASS %s",
     {{220, 0}, {230, 0}, {332, 2}, {501, 3003}, {503, 3003}, {504, 3003},
      {530, 1009}, END}},
    {"ACCT %s",
     {{200, 0}, {202, 0}, {220, 0}, {230, 0}, {500, 3003}, {503, 3003}, {530, 1009},
      END}},
    {"QUIT", {{200, 0}, {220, 0}, {221, 0}, END}},
    {"HELP", {{211, 0}, {214, 0}, {220, 0}, {504, 3003}, END}},
    {"HELP %s", {{211, 0}, {214, 0}, {220, 0}, {504, 3003}, END}},
    {"DELE %s",
     {{200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"CWD %s",
     {{200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"CDUP",
     {{200, 0}, {250, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"MKD %s",
     {{200, 0}, {227, 0}, {257, 0}, {502, 3003}, {504, 3003}, {521, 1008},
      {550, 1008}, END}},
    {"RMD %s",
     {{200, 0}, {250, 0}, {257, 0}, {450, 1014}, {502, 3003}, {504, 3003},
      {550, 1008}, END}},
    {"PWD", {{200, 0}, {257, 0}, {502, 3003}, {504, 3003}, {550, 1008}, END}},
    {"TYPE %s", {{200, 0}, {502, 3003}, {504, 3003}, {530, 3002}, {550, 3002}, END}},
    {"RNFR %s", {{350, 0}, {450, 1014}, {502, 3003}, {504, 3003}, {550, 1010}, END}},
    {"RNTO %s", {{250, 0}, {502, 3003}, {504, 3003}, {550, 1008}, {553, 1008}, END}},
    {"SYST", {{200, 0}, {215, 0}, {220, 0}, {502, 3003}, {504, 3003}, END}},
    {"NOOP", {{200, 0}, {500, 3003}, END}},
    {"REST %s", {{350, 3}, {500, 3003}, {502, 3003}, {504, 3003}, END}},
    // The data connection failed: refused (425), broken (426), or its TLS not taken (522).
    {nullptr, {{226, 0}, {250, 0}, {421, 1008}, {425, 2006}, {426, 2006}, {522, 2006},
               {552, 1005}, END}},
};

#undef END

int32_t FtpMapReply(int32_t entry, int32_t code) {
    if (code < 100 || code > 599) {
        return FTP_UNEXPECTED_ANSWER;  // no reply code at all ("000", "1003")
    }
    for (const auto& pair : CommandTable[entry].pairs) {
        if (pair[0] == REPLY_LIST_END) {
            break;
        }
        if (pair[0] == code) {
            return pair[1];
        }
    }
    // "Not understood" (500, 501), "not implemented" (502, 504) and "bad sequence" (503) are the
    // server's refusal of any command, whether or not its list names them.
    if (CommandTable[entry].format != nullptr && code >= 500 && code <= 504) {
        return FTP_COMMAND_NOT_EXECUTED;
    }
    // The server is closing the connection (the channel has closed it), whatever it was asked.
    return code == 421 ? FTP_NOT_CONNECTED : FTP_UNEXPECTED_ANSWER;
}

int32_t FtpExchange(FtpSession* session, const char* line, int32_t* code) {
    const int32_t result = FtpChannelExchange(session, line, code);
    return result == FTP_OK && *code == 421 ? FTP_NOT_CONNECTED : result;
}

namespace {

bool IsOneOf(const char* verb, std::initializer_list<const char*> verbs) {
    for (const char* v : verbs) {
        if (strcmp(verb, v) == 0) {
            return true;
        }
    }
    return false;
}

// The commands whose replies are known well enough to tell another command's reply from theirs.
// Transfer commands, SITE and extensions (HASH, XCRC, ...) are not among them: any reply may be
// theirs.
bool IsKnownVerb(const char* verb) {
    return IsOneOf(verb, {"USER", "PASS", "ACCT", "CWD",  "XCWD", "CDUP", "XCUP", "SMNT", "REIN",
                          "PORT", "PASV", "LPSV", "LPRT", "EPRT", "EPSV", "TYPE", "STRU", "MODE",
                          "ALLO", "REST", "RNFR", "RNTO", "DELE", "RMD",  "XRMD", "MKD",  "XMKD",
                          "PWD",  "XPWD", "SYST", "STAT", "HELP", "NOOP", "FEAT", "OPTS", "SIZE",
                          "MDTM", "MLST", "AUTH", "PBSZ", "PROT", "CCC"});
}

// Replies that only other commands are given: the end of a transfer or of an abort, a
// directory's name, a passive address, a size or time, goodbye, "send the rest", "password
// please".
bool OnlyAnotherCommands(const char* verb, int32_t code) {
    switch (code) {
        case 225:
        case 226: return true;  // transfers and ABOR, neither of them known verbs
        case 257:
            return !IsOneOf(verb, {"PWD", "XPWD", "MKD", "XMKD", "RMD", "XRMD", "CWD", "XCWD",
                                   "CDUP", "XCUP"});
        case 227: return strcmp(verb, "PASV") != 0;
        case 228: return strcmp(verb, "LPSV") != 0;
        case 229: return strcmp(verb, "EPSV") != 0;
        case 213: return !IsOneOf(verb, {"SIZE", "MDTM", "STAT"});
        case 221: return true;  // QUIT goes through FtpChannelQuit
        case 350: return !IsOneOf(verb, {"REST", "RNFR"});
        case 331: return !IsOneOf(verb, {"USER", "PASS"});
        case 332: return !IsOneOf(verb, {"USER", "PASS", "ACCT"});
        default: return false;
    }
}

// Replies that a transfer or its abort may leave behind them.
bool LeftByAbort(int32_t code) {
    return code == 225 || code == 226 || code == 425 || code == 426 || code == 451 ||
           code == 452 || code == 551 || code == 552;
}

bool IsListed(int32_t entry, int32_t code) {
    for (const auto& pair : CommandTable[entry].pairs) {
        if (pair[0] == REPLY_LIST_END) {
            return false;
        }
        if (pair[0] == code) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool FtpReplyCannotAnswer(int32_t entry, const char* verb, int32_t code, bool afterAbort) {
    // Preliminary replies, refusals that any command may get, and the server's goodbye on
    // closing are never taken for another command's.
    if (code < 200 || code == 421 || code == 530 || (code >= 500 && code <= 504)) {
        return false;
    }
    if (!IsKnownVerb(verb)) {
        return false;
    }
    const bool hasEntry = entry >= 0 && entry < FTP_COMMAND_TABLE_SIZE;
    if (hasEntry && IsListed(entry, code)) {
        return false;
    }
    if (OnlyAnotherCommands(verb, code)) {
        return true;
    }
    // Without an entry the command's replies are not known well enough for more.
    return hasEntry && afterAbort && LeftByAbort(code);
}

namespace {

// Whether a word of text (letters and digits between other characters) is one of words,
// ignoring case; a word in words ending with '*' matches every word it begins.
bool HasWord(const char* text, std::initializer_list<const char*> words) {
    for (const char* p = text; *p != '\0';) {
        const auto isWordChar = [](char ch) { return isalnum(static_cast<unsigned char>(ch)) != 0; };
        if (!isWordChar(*p)) {
            ++p;
            continue;
        }
        const char* end = p;
        while (isWordChar(*end)) {
            ++end;
        }
        const size_t n = static_cast<size_t>(end - p);
        for (const char* word : words) {
            const size_t w = strlen(word);
            const bool prefix = w > 0 && word[w - 1] == '*';
            const size_t k = prefix ? w - 1 : w;
            bool same = prefix ? n >= k : n == k;
            for (size_t i = 0; same && i < k; ++i) {
                same = toupper(static_cast<unsigned char>(p[i])) ==
                       toupper(static_cast<unsigned char>(word[i]));
            }
            if (same) {
                return true;
            }
        }
        p = end;
    }
    return false;
}

// A refused USER or PASS whose reply says the connection must be secured first: vsftpd's "530
// Non-anonymous sessions must use encryption.", pure-ftpd's "534 ... using TLS security
// mechanisms", proftpd's "550 SSL/TLS required on the control channel". A plain "530 Login
// incorrect" (or "authentication failed") is a wrong password, not this.
bool RefusedForWantOfTls(const char* replyText) {
    const int32_t code = NetAtoi(replyText);
    return (code == 530 || code == 534 || code == 550) &&
           HasWord(replyText, {"TLS", "SSL", "FTPS", "AUTH", "encrypt*"});
}

}  // namespace

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
        int32_t sent = FtpChannelSendFor(op.get(), line, entry);
        if (sent != FTP_OK) {
            return sent;
        }
    }
    // A reply that never came, a closed connection or a cancellation is reported as such; only
    // real replies go through the entry's list.
    int32_t code = 0;
    const int32_t read = FtpChannelReply(op.get(), FTP_REPLY_FINAL, &code);
    if (read != FTP_OK) {
        return read;
    }
    const int32_t result = FtpMapReply(entry, code);
    if ((entry == CMD_USER || entry == CMD_PASS) &&
        (result == FTP_LOGIN_REJECTED || result == FTP_UNEXPECTED_ANSWER) &&
        RefusedForWantOfTls(op->connection.channel.replyText())) {
        return FTP_TLS_REQUIRED;
    }
    return result;
}
