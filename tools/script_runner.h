// The script language of kestrel-host: one command per line, run against the module's objects.
//
//   # comment                       empty lines, and everything from a # that starts a word on
//   new NAME                        make an object of the script class, bind it to NAME
//   METHOD NAME ARG...              call a method of the registered table on NAME
//   wait NAME [SECONDS] [expect CODE...]
//                                   poll ftpDone until it returns 1 (back to back at
//                                   first, then at most every 20 ms)
//   sleep MS                        pause
//   release NAME                    drop the host's reference to NAME (without forget)
//   help [METHOD]                   the commands and the registered methods
//   quit                            forget every object and end
//
// Arguments are integers (optionally negative) or double-quoted strings with the escapes \\, \",
// \r, \n, \t and \xHH, separated by blanks.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host_environment.h"
#include "line_input.h"
#include "module_host.h"

inline constexpr int RUN_OK = 0;
inline constexpr int RUN_LOAD_FAILED = 1;
inline constexpr int RUN_SCRIPT_ERROR = 2;
inline constexpr int RUN_WAIT_LIMIT = 3;
inline constexpr int RUN_FAILED = 4;  // --fail: a wait ended other than expected
// An interrupt ended the run: 128 plus its signal number (130 Ctrl-C, 143 termination).
inline constexpr int RUN_INTERRUPTED = 128;

struct RunnerOptions {
    bool json = false;          // one JSON object per output line
    bool progress = false;      // draw a progress line and a summary on err while waiting
    bool jsonProgress = false;  // write JSON progress records on err while waiting
    bool display = false;       // texts for a person: UTF-8 as it is, several lines as lines
    bool fail = false;          // a wait that ends other than expected stops the script
    bool trace = false;         // every new object traces its session on standard error
};

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

// Texts as kestrel-host shows them to a person: a string in double quotes with the script
// language's escapes, characters of valid UTF-8 as they are, other bytes as \xHH.
std::string DisplayString(const std::string& text);
// A result text: one quoted line, or for a text of several lines every line on a line of its own,
// indented by two blanks (the line ends, LF or CR LF, are not shown).
std::string DisplayResult(const std::string& text);

// The nearest of candidates to word (letter case ignored, a swap of two neighbours counting as
// one edit), or "" when none is near enough to be a likely slip of the keyboard.
std::string NearestName(const std::string& word, const std::vector<std::string>& candidates);

class ScriptRunner {
  public:
    ScriptRunner(ModuleHost& host, HostEnvironment& env, RunnerOptions options, FILE* out,
                 FILE* err);
    ~ScriptRunner();

    // Runs one line (number is its line number). Returns RUN_OK, RUN_SCRIPT_ERROR,
    // RUN_WAIT_LIMIT, RUN_FAILED or, when an interrupt ended it, RUN_INTERRUPTED plus the
    // signal; errors are reported on err as "line N: ...".
    int RunLine(const std::string& line, int number);

    // Runs every line of in. A script stops at its first error and returns its status; an
    // interactive run reports errors and goes on. End of input and quit end the run (an
    // interactive one forgets every object then). An interrupt aborts what runs, forgets every
    // object and ends the run with RUN_INTERRUPTED plus the signal, except Ctrl-C at the prompt,
    // which only ends the wait or the line at hand; a download it cuts short keeps its local
    // file, and the prompt tells how to resume it.
    int Run(LineInput& in, bool interactive);

    // What the last word of before (a line up to the cursor) may become: the commands and
    // methods for the first word, the methods after help, else the objects' names.
    std::vector<std::string> Completions(const std::string& before) const;
    // The line as the history may keep it: secrets (passwords, a raw PASS command) taken out.
    std::string HistoryLine(const std::string& line) const;

    // Drops every object still bound, as a host does when a script ends.
    void ReleaseAll();
    // Aborts every running operation and forgets every object (QUIT where the connection still
    // works, listing files removed), removing the files of downloads cut short; then drops them.
    void ForgetAll();

  private:
    // What the host knows of an object: its instance, and the local file that its last started
    // operation makes anew (a download with ftpRecvFile), if it makes one; that operation's
    // method (-1: none yet) and its arguments as given, for the progress and for explaining
    // a failure.
    struct Bound {
        HostObject* object = nullptr;
        std::string newFile;
        int32_t method = -1;
        std::vector<ScriptToken> arguments;
    };
    // Tells a person on err what is wrong with a call's arguments that the module took or
    // refused without saying why: a TransferType it ignores, an unknown option or a value out
    // of its range.
    void AdviseOnArguments(const MethodInfo& info, const std::vector<ScriptToken>& tokens,
                           const HostValue& result);
    // Whether the last operation started on bound moves a file or a listing.
    bool MovesData(const Bound& bound) const;
    // Tells a person on err why the last operation of bound, called name, failed with result:
    // the server's reply when it refused, the local file's problem, what to try next.
    void ExplainFailure(const Bound& bound, const std::string& name, int32_t result);

    int Error(int number, const std::string& message, int status = RUN_SCRIPT_ERROR);
    int RunNew(const std::vector<ScriptToken>& tokens, int number);
    int RunWait(const std::vector<ScriptToken>& tokens, int number);
    int RunSleep(const std::vector<ScriptToken>& tokens, int number);
    int RunMethod(std::vector<ScriptToken> tokens, int number);
    int RunHelp(const std::vector<ScriptToken>& tokens, int number);
    void Print(int number, const std::string& call, const std::string& object,
               const HostValue& result);
    std::string Usage(const MethodInfo& method) const;
    int32_t IntegerCall(HostObject* object, const char* method);
    // Removes the file of a download that an interrupt cut short.
    void RemovePartialFile(Bound& bound);
    // For a download (ftpRecvFile, ftpRestartRecvFile) of the object called name that Ctrl-C at
    // the prompt cut short after it wrote data: keeps its local file (no later clean-up removes
    // it) and returns the lines that tell a person so and how to resume it, the
    // ftpRestartRecvFile call with Position "auto" (from the local file's length). "" when
    // there is nothing to resume: another operation, no data moved, or no file.
    std::string ResumeCommand(Bound& bound, const std::string& name);
    // Handles the pending interrupt inside a wait or a sleep: Ctrl-C at the prompt is taken and
    // cleared (true: go on), any other ends the run (false).
    bool InterruptTaken() const;

    struct Progress {
        bool started = false;
        std::chrono::steady_clock::time_point start;
        int64_t startBytes = 0;
        std::chrono::steady_clock::time_point lastRecord;
        int64_t done = 0;
        int64_t total = 0;
    };
    // The transfer's counts: from ftpProgress, exact at any size, or from the two 32-bit
    // counters of a module without it. False when the module has neither.
    bool ReadProgress(HostObject* object, int64_t* done, int64_t* total);
    void UpdateProgress(Progress& progress, int number, const std::string& name, int64_t done,
                        int64_t total);
    void FinishProgress(Progress& progress, int number, const std::string& name, int32_t result);
    void ClearProgress();

    ModuleHost& host_;
    HostEnvironment& env_;
    RunnerOptions options_;
    FILE* out_;
    FILE* err_;
    std::map<std::string, Bound> objects_;
    bool progressShown_ = false;
    bool interactive_ = false;
    LineInput* input_ = nullptr;  // the lines of the run, for asking a person for a password
    bool quit_ = false;
};
