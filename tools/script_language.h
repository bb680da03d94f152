// The script language of kestrel-host: how a line is split into words, integers and strings.
//
// Arguments are integers (optionally negative) or double-quoted strings with the escapes \\, \",
// \r, \n, \t and \xHH, separated by blanks; a # that starts a word starts a comment. What the
// commands mean is in script_commands.h; running them is the ScriptRunner's (script_runner.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One argument or word of a script line.
struct ScriptToken {
    enum Kind { Word, Integer, String } kind = Word;
    std::string text;  // the word, or the string's value
    int32_t integer = 0;
    size_t begin = 0;  // where the token stands in the line
    size_t end = 0;
};

// Splits a script line into tokens; a # that starts a word ends the line. False with the reason
// in *error.
bool TokenizeScriptLine(const std::string& line, std::vector<ScriptToken>* tokens,
                        std::string* error);

// Whether name may name an object: letters, digits, _ . and -, first a letter or _.
bool ValidObjectName(const std::string& name);
