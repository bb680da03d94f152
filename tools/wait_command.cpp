// The wait command: polls an object's operation until it ends, draws its progress, shows its
// result and explains a failure; Ctrl-C at the prompt aborts the operation and keeps what a
// download wrote, so that it can be resumed.

#include <algorithm>
#include <cstdio>

#include "console.h"
#include "console_helpers.h"
#include "failure_notes.h"
#include "method_help.h"
#include "poll_pacer.h"
#include "script_commands.h"
#include "script_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDefaultWaitSeconds = 600;

// The parts of wait NAME [SECONDS] [expect CODE...]. False when tokens are no such line.
bool ParseWait(const std::vector<ScriptToken>& tokens, int32_t* seconds,
               std::vector<int32_t>* expected) {
    size_t expectAt = tokens.size();
    for (size_t i = 2; i < tokens.size(); ++i) {
        if (tokens[i].kind == ScriptToken::Word && tokens[i].text == "expect") {
            expectAt = i;
            break;
        }
    }
    bool usable =
        tokens.size() >= 2 && tokens[1].kind == ScriptToken::Word && expectAt <= 3 &&
        (expectAt == 2 || (tokens[2].kind == ScriptToken::Integer && tokens[2].integer >= 0)) &&
        (expectAt == tokens.size() || expectAt + 1 < tokens.size());
    for (size_t i = expectAt + 1; usable && i < tokens.size(); ++i) {
        usable = tokens[i].kind == ScriptToken::Integer;
        expected->push_back(tokens[i].integer);
    }
    *seconds = usable && expectAt >= 3 ? tokens[2].integer : kDefaultWaitSeconds;
    return usable;
}

}  // namespace

int ScriptRunner::RunWait(const std::vector<ScriptToken>& tokens, int number) {
    int32_t seconds = 0;
    std::vector<int32_t> expected;
    if (!ParseWait(tokens, &seconds, &expected)) {
        return Error(number, "usage: wait NAME [SECONDS] [expect CODE...]");
    }
    const std::string& name = tokens[1].text;
    auto bound = objects_.find(name);
    if (bound == objects_.end()) {
        return Error(number, "no object named " + name);
    }
    HostObject* object = bound->second.object;
    int32_t message = host_.FindMethod("ftpErrorMessage");
    if (host_.FindMethod("ftpDone") < 0 || host_.FindMethod("ftpErrorCode") < 0 || message < 0) {
        return Error(number, "the module's table has no ftpDone, ftpErrorCode or ftpErrorMessage");
    }
    int32_t result = 0;
    bool aborted = false;
    int status = RUN_OK;
    if (!PollUntilDone(bound->second, name, number, seconds, &result, &aborted, &status)) {
        return status;
    }
    HostValue text = host_.Call(object, message, {});
    std::string messageText = env_.TextOf(text);
    env_.Release(text);
    // Ctrl-C at the prompt keeps what a download wrote, so that it can be resumed rather than
    // fetched again (as lftp and curl do); a file that this download made and left empty is
    // removed, since there is nothing in it to resume.
    std::string resume = aborted && result != 0 ? ResumeCommand(bound->second, name) : "";
    if (aborted && result != 0 && resume.empty()) {
        RemovePartialFile(bound->second);
    }
    PrintWaitResult(number, name, result, messageText);
    // For a person at a terminal, and for whoever reads why --fail stopped a script.
    bool explain = (options_.display && !options_.json) || interactive_ || options_.fail;
    if ((result < -1 || result >= 1000) && explain) {
        ExplainFailure(bound->second, name, result);
    }
    if (!resume.empty()) {
        fprintf(err_, "%s", resume.c_str());
        fflush(err_);
    }
    bool asExpected = expected.empty()
                          ? result >= 0 && result < 1000
                          : std::find(expected.begin(), expected.end(), result) != expected.end();
    if (options_.fail && !asExpected) {
        return Error(number,
                     "wait " + name + " ended with " + std::to_string(result) + " (" + messageText +
                         ")" + (expected.empty() ? ", a failure" : ", not as expected"),
                     RUN_FAILED);
    }
    return RUN_OK;
}

bool ScriptRunner::PollUntilDone(Bound& bound, const std::string& name, int number, int32_t seconds,
                                 int32_t* result, bool* aborted, int* status) {
    HostObject* object = bound.object;
    // The counters belong to the last transfer: after any other operation they are stale.
    int64_t doneBytes = 0;
    int64_t totalBytes = 0;
    const bool counters = MovesData(bound) && ReadProgress(object, &doneBytes, &totalBytes);
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(seconds);
    TransferProgress progress;
    PollPacer pacer(std::chrono::milliseconds(2), kPollInterval);
    auto nextProgress = start;
    while (IntegerCall(object, "ftpDone") != 1) {
        if (int32_t pending = PlatInterruptPending()) {
            progress_.Clear();
            if (!InterruptTaken(interactive_)) {
                *status = RUN_INTERRUPTED + pending;
                return false;
            }
            // Ctrl-C at the prompt: abort the operation and wait for it to end. The module keeps
            // an abort in force until the operation ends, whatever step it is at, so one request
            // is enough.
            IntegerCall(object, "ftpAbort");
            *aborted = true;
        }
        if (Clock::now() >= deadline) {
            *status = Error(number, "wait limit of " + std::to_string(seconds) + " seconds passed",
                            RUN_WAIT_LIMIT);
            return false;
        }
        if (counters && Clock::now() >= nextProgress) {
            nextProgress = Clock::now() + kPollInterval;
            if (ReadProgress(object, &doneBytes, &totalBytes)) {
                progress_.Update(progress, number, name, doneBytes, totalBytes);
            }
        }
        pacer.Pause();
    }
    *result = IntegerCall(object, "ftpErrorCode");
    if (counters) {
        if (!progress.started) {
            progress.start = start;
        }
        ReadProgress(object, &progress.done, &progress.total);
        progress_.Finish(progress, number, name, *result);
    }
    return true;
}

void ScriptRunner::PrintWaitResult(int number, const std::string& name, int32_t result,
                                   const std::string& message) {
    if (options_.json) {
        fprintf(out_,
                "{\"line\":%d,\"call\":\"wait\",\"object\":%s,\"result\":{\"code\":%d,"
                "\"message\":%s}}\n",
                number, JsonString(name).c_str(), result, JsonString(message).c_str());
    } else {
        fprintf(out_, "wait %s => %d %s\n", name.c_str(), result,
                options_.display ? DisplayString(message).c_str() : JsonString(message).c_str());
    }
    fflush(out_);
}

bool ScriptRunner::ReadProgress(HostObject* object, int64_t* done, int64_t* total) {
    int32_t method = host_.FindMethod("ftpProgress");
    if (method >= 0) {
        HostValue value = host_.Call(object, method, {});
        long long transferred = 0;
        long long expected = 0;
        const bool read =
            sscanf(env_.TextOf(value).c_str(), "%lld %lld", &transferred, &expected) == 2;
        env_.Release(value);
        *done = read ? transferred : 0;
        *total = read ? expected : 0;
        return true;
    }
    if (host_.FindMethod("ftpBytesTransferred") < 0 ||
        host_.FindMethod("ftpBytesToBeTransferred") < 0) {
        return false;
    }
    *done = IntegerCall(object, "ftpBytesTransferred");
    *total = IntegerCall(object, "ftpBytesToBeTransferred");
    return true;
}

bool ScriptRunner::MovesData(const Bound& bound) const {
    if (bound.method < 0) {
        return false;
    }
    const MethodInfo& info = host_.Methods()[bound.method];
    if (const MethodHelp* help = FindMethodHelp(info.name.c_str())) {
        return help->movesData;
    }
    return std::find(info.argumentNames.begin(), info.argumentNames.end(), "TransferType") !=
           info.argumentNames.end();
}

void ScriptRunner::ExplainFailure(const Bound& bound, const std::string& name, int32_t result) {
    const MethodInfo* info = bound.method >= 0 ? &host_.Methods()[bound.method] : nullptr;
    std::string reply;
    int32_t lastReply = host_.FindMethod("ftpLastReply");
    if (LastReplyExplains(result) && lastReply >= 0) {
        HostValue value = host_.Call(bound.object, lastReply, {});
        reply = env_.TextOf(value);
        env_.Release(value);
    }
    std::vector<std::string> notes = FailureNotes(info, bound.arguments, name, result, reply);
    progress_.Clear();
    for (const std::string& note : notes) {
        fprintf(err_, "  %s\n", note.c_str());
    }
    fflush(err_);
}

void ScriptRunner::RemovePartialFile(Bound& bound) {
    if (bound.newFile.empty()) {
        return;
    }
    if (std::remove(bound.newFile.c_str()) == 0) {
        progress_.Clear();
        fprintf(err_, "removed the partial download %s\n", DisplayString(bound.newFile).c_str());
        fflush(err_);
    }
    bound.newFile.clear();
}

std::string ScriptRunner::ResumeCommand(Bound& bound, const std::string& name) {
    const MethodInfo* info = bound.method >= 0 ? &host_.Methods()[bound.method] : nullptr;
    // Appending downloads are left out: their local file holds more than the remote file's
    // first bytes, so its length is no position in the remote file.
    if (info == nullptr || (info->name != "ftpRecvFile" && info->name != "ftpRestartRecvFile") ||
        host_.FindMethod("ftpRestartRecvFile") < 0) {
        return "";
    }
    const ScriptToken* remote = ArgumentNamed(*info, bound.arguments, "RemoteFileName");
    const ScriptToken* local = ArgumentNamed(*info, bound.arguments, "LocalFileName");
    const ScriptToken* type = ArgumentNamed(*info, bound.arguments, "TransferType");
    // Only a download that moved data has written the file: before that, a file that was there
    // may still hold what it held, and its length would resume nothing of this transfer.
    int64_t moved = 0;
    int64_t total = 0;
    if (remote == nullptr || local == nullptr || type == nullptr ||
        !ReadProgress(bound.object, &moved, &total) || moved <= 0) {
        return "";
    }
    int64_t length = FileLength(local->text);
    if (length <= 0) {
        return "";
    }
    bound.newFile.clear();  // kept: no later clean-up removes it
    progress_.Clear();
    return "  kept the partial download " + DisplayString(local->text) + " (" +
           std::to_string(length) + " bytes); to resume it:\n    ftpRestartRecvFile " + name + " " +
           DisplayString(remote->text) + " " + DisplayString(local->text) + " " +
           std::to_string(type->integer) + " \"auto\"\n";
}
