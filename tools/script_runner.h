// The runner of kestrel-host's scripts: runs lines of the script language (script_language.h)
// against the module's objects, one command a line (script_commands.h lists them), and the run
// loop of a script or of the prompt.
//
// Where its parts are: the commands in script_commands.cpp, wait in wait_command.cpp, the run loop
// here (script_runner.cpp); what they print through value_display.h, progress_display.h,
// advice.h and failure_notes.h; the prompt's completion and history in completion_history.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "advice.h"
#include "host_environment.h"
#include "line_input.h"
#include "module_host.h"
#include "progress_display.h"
#include "script_language.h"
#include "value_display.h"

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

    // The run loop (script_runner.cpp).
    int Error(int number, const std::string& message, int status = RUN_SCRIPT_ERROR);
    void Print(int number, const std::string& call, const std::string& object,
               const HostValue& result);
    int32_t IntegerCall(HostObject* object, const char* method);
    // Ends the run after an interrupt: aborts and forgets every object within a time limit.
    void CleanUpAfterInterrupt(int status);
    // The names of the commands and the module's methods, for did-you-mean.
    std::vector<std::string> MethodNames(bool withCommands) const;

    // The commands (script_commands.cpp).
    int RunNew(const std::vector<ScriptToken>& tokens, int number);
    int RunRelease(const std::vector<ScriptToken>& tokens, int number);
    int RunSleep(const std::vector<ScriptToken>& tokens, int number);
    int RunHelp(const std::vector<ScriptToken>& tokens, int number);
    // help METHOD for a method of the module's table.
    void PrintMethodHelp(int32_t method);
    int RunMethod(std::vector<ScriptToken> tokens, int number);
    // Checks the arguments of a call of info (tokens after the object's name) against its
    // types. "" when they fit, else the error; *newFile: the local file ftpRecvFile would make.
    std::string CheckArguments(const MethodInfo& info, const std::vector<ScriptToken>& arguments,
                               std::string* newFile) const;
    std::string Usage(const MethodInfo& method) const;

    // wait (wait_command.cpp).
    int RunWait(const std::vector<ScriptToken>& tokens, int number);
    // Polls the operation of bound until it ends (*result: its code), drawing its progress;
    // false with *status set when an interrupt or the time limit ended the wait instead.
    // *aborted: Ctrl-C at the prompt aborted the operation.
    bool PollUntilDone(Bound& bound, const std::string& name, int number, int32_t seconds,
                       int32_t* result, bool* aborted, int* status);
    // Writes the wait's result line.
    void PrintWaitResult(int number, const std::string& name, int32_t result,
                         const std::string& message);
    // The transfer's counts: from ftpProgress, exact at any size, or from the two 32-bit
    // counters of a module without it. False when the module has neither.
    bool ReadProgress(HostObject* object, int64_t* done, int64_t* total);
    // Whether the last operation started on bound moves a file or a listing.
    bool MovesData(const Bound& bound) const;
    // Tells a person on err why the last operation of bound, called name, failed with result:
    // the server's reply when it refused, the local file's problem, what to try next.
    void ExplainFailure(const Bound& bound, const std::string& name, int32_t result);
    // Removes the file of a download that an interrupt cut short.
    void RemovePartialFile(Bound& bound);
    // For a download (ftpRecvFile, ftpRestartRecvFile) of the object called name that Ctrl-C at
    // the prompt cut short after it wrote data: keeps its local file (no later clean-up removes
    // it) and returns the lines that tell a person so and how to resume it, the
    // ftpRestartRecvFile call with Position "auto" (from the local file's length). "" when
    // there is nothing to resume: another operation, no data moved, or no file.
    std::string ResumeCommand(Bound& bound, const std::string& name);

    ModuleHost& host_;
    HostEnvironment& env_;
    RunnerOptions options_;
    FILE* out_;
    FILE* err_;
    std::map<std::string, Bound> objects_;
    ProgressDisplay progress_;
    bool interactive_ = false;
    LineInput* input_ = nullptr;  // the lines of the run, for asking a person for a password
    bool quit_ = false;
};
