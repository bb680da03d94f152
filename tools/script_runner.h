// The script language of kestrel-host: one command per line, run against the module's objects.
//
//   # comment                       empty lines and lines starting with # are ignored
//   new NAME                        make an object of the script class, bind it to NAME
//   METHOD NAME ARG...              call a method of the registered table on NAME
//   wait NAME [SECONDS]             poll ftpDone every 20 ms until it returns 1
//   sleep MS                        pause
//   release NAME                    drop the host's reference to NAME (without forget)
//
// Arguments are integers (optionally negative) or double-quoted strings with the escapes \\, \",
// \r, \n, \t and \xHH.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host_environment.h"
#include "module_host.h"

inline constexpr int RUN_OK = 0;
inline constexpr int RUN_LOAD_FAILED = 1;
inline constexpr int RUN_SCRIPT_ERROR = 2;
inline constexpr int RUN_WAIT_LIMIT = 3;

struct RunnerOptions {
    bool json = false;      // one JSON object per output line
    bool progress = false;  // draw a progress line on err while waiting
};

// One argument or word of a script line.
struct ScriptToken {
    enum Kind { Word, Integer, String } kind = Word;
    std::string text;  // the word, or the string's value
    int32_t integer = 0;
};

// Splits a script line into tokens. False with the reason in *error.
bool TokenizeScriptLine(const std::string& line, std::vector<ScriptToken>* tokens,
                        std::string* error);

class ScriptRunner {
  public:
    ScriptRunner(ModuleHost& host, HostEnvironment& env, RunnerOptions options, FILE* out,
                 FILE* err);
    ~ScriptRunner();

    // Runs one line (number is its line number). Returns RUN_OK, RUN_SCRIPT_ERROR or
    // RUN_WAIT_LIMIT; errors are reported on err as "line N: ...".
    int RunLine(const std::string& line, int number);

    // Runs every line of in. A script stops at its first error and returns its status; an
    // interactive run prompts on out, reports errors and goes on, and returns RUN_OK at the end.
    int Run(FILE* in, bool interactive);

    // Drops every object still bound, as a host does when a script ends.
    void ReleaseAll();

  private:
    int Error(int number, const std::string& message, int status = RUN_SCRIPT_ERROR);
    int RunNew(const std::vector<ScriptToken>& tokens, int number);
    int RunWait(const std::vector<ScriptToken>& tokens, int number);
    int RunMethod(const std::vector<ScriptToken>& tokens, int number);
    void Print(int number, const std::string& call, const std::string& object,
               const HostValue& result);
    void DrawProgress(int32_t done, int32_t total, double seconds);
    void ClearProgress();
    HostObject* Lookup(const std::string& name);

    ModuleHost& host_;
    HostEnvironment& env_;
    RunnerOptions options_;
    FILE* out_;
    FILE* err_;
    std::map<std::string, HostObject*> objects_;
    bool progressShown_ = false;
};
