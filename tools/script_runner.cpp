// The ScriptRunner's run loop: reads lines, runs each (script_commands.cpp, wait_command.cpp),
// and ends the run, forgetting every object, as a host does.

#include "script_runner.h"

#include <chrono>
#include <cstdlib>

#include "completion_history.h"
#include "console.h"
#include "console_helpers.h"
#include "script_commands.h"

namespace {

// After an interrupt the clean-up (abort, QUIT, forget) gets this long; then the host ends
// anyway, so that a server that no longer answers cannot hold it.
constexpr auto kCleanupLimit = std::chrono::milliseconds(2500);

}  // namespace

ScriptRunner::ScriptRunner(ModuleHost& host, HostEnvironment& env, RunnerOptions options, FILE* out,
                           FILE* err)
    : host_(host),
      env_(env),
      options_(options),
      out_(out),
      err_(err),
      progress_(err, options.progress, options.jsonProgress) {}

ScriptRunner::~ScriptRunner() {
    ReleaseAll();
}

void ScriptRunner::ReleaseAll() {
    for (auto& [name, bound] : objects_) {
        host_.ReleaseObject(bound.object);
    }
    objects_.clear();
}

int32_t ScriptRunner::IntegerCall(HostObject* object, const char* name) {
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        return -1;
    }
    HostValue value = host_.Call(object, method, {});
    int32_t result = HostEnvironment::IntegerOf(value);
    env_.Release(value);
    return result;
}

void ScriptRunner::ForgetAll() {
    int32_t abort = host_.FindMethod("ftpAbort");
    int32_t forget = host_.FindMethod("forget");
    std::vector<bool> cut;
    for (auto& [name, bound] : objects_) {
        bool running = IntegerCall(bound.object, "ftpDone") == 0;
        if (running && abort >= 0) {
            env_.Release(host_.Call(bound.object, abort, {}));
        }
        cut.push_back(running);
    }
    size_t index = 0;
    for (auto& [name, bound] : objects_) {
        if (forget >= 0) {
            env_.Release(host_.Call(bound.object, forget, {}));
        }
        if (cut[index++]) {
            RemovePartialFile(bound);
        }
    }
    ReleaseAll();
}

int ScriptRunner::Error(int number, const std::string& message, int status) {
    progress_.Clear();
    fprintf(err_, "line %d: %s\n", number, message.c_str());
    fflush(err_);
    return status;
}

void ScriptRunner::Print(int number, const std::string& call, const std::string& object,
                         const HostValue& result) {
    std::string value = ResultText(env_, result, options_.display, options_.json);
    progress_.Clear();
    if (options_.json) {
        fprintf(out_, "{\"line\":%d,\"call\":%s,\"object\":%s,\"result\":%s}\n", number,
                JsonString(call).c_str(), JsonString(object).c_str(), value.c_str());
    } else {
        const char* gap = !value.empty() && value[0] == '\n' ? "" : " ";
        fprintf(out_, "%s %s =>%s%s\n", call.c_str(), object.c_str(), gap, value.c_str());
    }
    fflush(out_);
}

std::vector<std::string> ScriptRunner::MethodNames(bool withCommands) const {
    std::vector<std::string> names = withCommands ? HostCommandNames() : std::vector<std::string>();
    for (const MethodInfo& info : host_.Methods()) {
        names.push_back(info.name);
    }
    return names;
}

int ScriptRunner::RunLine(const std::string& line, int number) {
    std::vector<ScriptToken> tokens;
    std::string error;
    if (!TokenizeScriptLine(line, &tokens, &error)) {
        return Error(number, error);
    }
    if (tokens.empty()) {
        return RUN_OK;  // empty line or comment
    }
    if (tokens[0].kind != ScriptToken::Word) {
        return Error(number, "a line starts with a command or a method name");
    }
    const std::string& command = tokens[0].text;
    if (command == "new") {
        return RunNew(tokens, number);
    }
    if (command == "wait") {
        return RunWait(tokens, number);
    }
    if (command == "sleep") {
        return RunSleep(tokens, number);
    }
    if (command == "help") {
        return RunHelp(tokens, number);
    }
    if (command == "quit") {
        if (tokens.size() != 1) {
            return Error(number, "usage: quit");
        }
        quit_ = true;
        return RUN_OK;
    }
    if (command == "release") {
        return RunRelease(tokens, number);
    }
    return RunMethod(tokens, number);
}

std::vector<std::string> ScriptRunner::Completions(const std::string& before) const {
    std::vector<std::string> objects;
    for (const auto& [name, bound] : objects_) {
        objects.push_back(name);
    }
    return CompleteWord(before, HostCommandNames(), host_.Methods(), objects);
}

std::string ScriptRunner::HistoryLine(const std::string& line) const {
    return ::HistoryLine(line, host_.Methods());
}

int ScriptRunner::Run(LineInput& in, bool interactive) {
    interactive_ = interactive;
    input_ = &in;
    int number = 0;
    int status = RUN_OK;
    for (;;) {
        std::string line;
        LineInput::Result read = in.Read(&line);
        if (read == LineInput::Result::End) {
            break;
        }
        if (read == LineInput::Result::Interrupted) {
            if (InterruptTaken(interactive_)) {
                continue;  // Ctrl-C at the prompt clears the line
            }
            status = RUN_INTERRUPTED + PlatInterruptPending();
            break;
        }
        ++number;
        if (interactive) {
            in.Remember(HistoryLine(line));
        }
        status = RunLine(line, number);
        if (status == RUN_OK && !InterruptTaken(interactive_)) {
            status = RUN_INTERRUPTED + PlatInterruptPending();  // came during a call
        }
        if (status > RUN_INTERRUPTED || quit_) {
            break;
        }
        if (status != RUN_OK && !interactive) {
            break;
        }
        status = RUN_OK;
    }
    if (status > RUN_INTERRUPTED) {
        CleanUpAfterInterrupt(status);
    } else if (status == RUN_FAILED || interactive || quit_) {
        ForgetAll();
    }
    input_ = nullptr;
    return status;
}

void ScriptRunner::CleanUpAfterInterrupt(int status) {
    // Clean up within a bound: a server that no longer answers must not keep the host.
    RunWithinLimit(
        kCleanupLimit,
        [&] {
            progress_.Clear();
            fprintf(err_, "kestrel-host: %s: aborting and forgetting every object\n",
                    status == RUN_INTERRUPTED + PLAT_INTERRUPT ? "interrupted" : "terminated");
            fflush(err_);
            ForgetAll();
        },
        [&] {
            fputs("kestrel-host: the clean-up takes too long; ending without it\n", err_);
            fflush(err_);
            std::_Exit(status);
        });
}
