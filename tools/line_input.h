// Where kestrel-host reads its lines from: a script (a file or piped standard input), or a person
// at an interactive console, with line editing, history and completion where the platform offers
// them (libedit on POSIX; the Windows console edits lines itself).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class LineInput {
  public:
    enum class Result { Line, End, Interrupted };
    virtual ~LineInput() = default;
    // Reads the next line, without its line end. Interrupted when an interrupt (Ctrl-C, a
    // termination request) is pending; the interrupt stays pending for the caller to handle.
    virtual Result Read(std::string* line) = 0;
    // Keeps line in the history of an interactive console (the caller has taken secrets out of
    // it); scripts have no history.
    virtual void Remember(const std::string& line) { (void)line; }
    // Asks a person for a secret (a password) with prompt, without showing what is typed. False
    // where the input cannot hide it (a script, a console without that means), at its end, or
    // when interrupted.
    virtual bool ReadSecret(const std::string& prompt, std::string* secret) {
        (void)prompt;
        (void)secret;
        return false;
    }
};

// The lines of a script read from input (a descriptor of platform/console.h); the caller keeps
// the descriptor open for the reader's lifetime.
std::unique_ptr<LineInput> MakeScriptInput(int32_t input);

// Candidates for completing the last word of before, the line up to the cursor: whole words
// that begin with what has been typed of it.
using Completer = std::function<std::vector<std::string>(const std::string& before)>;

// An interactive console on input, prompting with prompt on out. history is the file that keeps
// the history across runs (empty: none); it is made readable by its owner only.
std::unique_ptr<LineInput> MakeConsoleInput(int32_t input, FILE* out, const std::string& prompt,
                                            Completer completer, const std::string& history);
