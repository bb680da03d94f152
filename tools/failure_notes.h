// What kestrel-host tells a person about a failed operation beyond its code and message: what
// is wrong with a local file the operation could not open or write, and what to try next.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_host.h"
#include "script_language.h"

// Why the local file at path could not be used, found by looking at it now: "does not exist",
// "is a folder, not a file", "cannot be read: permission denied", "its folder ... does not
// exist", "the disk is full (0 B free)" and the like. reading: the operation reads the file (an
// upload), else it writes it (a download). code is the operation's result (1004 could not open,
// 1005 could not write).
std::string LocalFileProblem(const std::string& path, bool reading, int32_t code);

// Whether a failure with code is the server's refusal, so that its last reply tells why.
bool ServerRefused(int32_t code);

// Whether the server's last reply may tell why an operation failed with code: a refusal, or for
// a lost connection (1003) the server's closing word.
bool LastReplyExplains(int32_t code);

// What to try after a failure with code, or "" when there is nothing useful to say.
std::string FailureHint(int32_t code, const std::string& object);

// Every note on why the operation of method (null: unknown), called with arguments on the object
// called object, failed with code: the server's refusal from lastReply (its last reply, "" when
// none was read), the local file's problem, what to try next. One note a string, of one line or,
// for a reply of several lines, of lines indented by four blanks.
std::vector<std::string> FailureNotes(const MethodInfo* method,
                                      const std::vector<ScriptToken>& arguments,
                                      const std::string& object, int32_t code,
                                      const std::string& lastReply);
