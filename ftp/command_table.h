// The command table: for each command the engine sends through FtpExecCommand, its format and
// how each reply code maps to a result.
#pragma once

#include <cstdint>

inline constexpr int32_t CMD_GREETING = 0;
inline constexpr int32_t CMD_USER = 1;
inline constexpr int32_t CMD_PASS = 2;
inline constexpr int32_t CMD_ACCT = 3;
inline constexpr int32_t CMD_QUIT = 4;
inline constexpr int32_t CMD_HELP = 5;
inline constexpr int32_t CMD_HELP_TOPIC = 6;
inline constexpr int32_t CMD_DELE = 7;
inline constexpr int32_t CMD_CWD = 8;
inline constexpr int32_t CMD_CDUP = 9;
inline constexpr int32_t CMD_MKD = 10;
inline constexpr int32_t CMD_RMD = 11;
inline constexpr int32_t CMD_PWD = 12;
inline constexpr int32_t CMD_TYPE = 13;
inline constexpr int32_t CMD_RNFR = 14;
inline constexpr int32_t CMD_RNTO = 15;
inline constexpr int32_t CMD_SYST = 16;
inline constexpr int32_t CMD_NOOP = 17;
inline constexpr int32_t CMD_REST = 18;
inline constexpr int32_t CMD_TRANSFER_END = 19;

inline constexpr int32_t REPLY_LIST_END = -2;

struct CommandEntry {
    const char* format;    // with at most one "%s"; null: the entry only reads a reply
    int32_t pairs[10][2];  // (reply code, result) pairs up to the pair whose code is REPLY_LIST_END
};

extern const CommandEntry CommandTable[20];

// The result that entry's list gives for code: 3001 for a code outside 100 to 599; the first
// matching pair; else, for a command, 3003 for the refusals 500 to 504; 1003 for 421 (the server
// closing the connection); else 3001.
int32_t FtpMapReply(int32_t entry, int32_t code);

// True when code cannot be the final reply of the command with table entry entry (-1: none)
// and verb (in capitals): proof that the reply belongs to another command, so that the channel
// is out of step. It is when code is neither in the entry's list nor a refusal any command may
// get (421, 500 to 504, 530), and either only another command is given it (225 and 226, 257
// outside the directory commands, 227 and 229 outside PASV and EPSV, 213 outside SIZE, MDTM and
// STAT, 221, 350 outside REST and RNFR, 331 and 332 outside the login) or, after an abort, a
// transfer's end left it (426, 451, ...), which counts only for commands with an entry. Never
// for transfer commands and verbs whose replies are not known (SITE, extensions).
bool FtpReplyCannotAnswer(int32_t entry, const char* verb, int32_t code, bool afterAbort);
