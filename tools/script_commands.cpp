// The commands of the script language (script_commands.h) and the call of a module's method,
// as the ScriptRunner runs them; wait is in wait_command.cpp.

#include "script_commands.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "console.h"
#include "console_helpers.h"
#include "method_help.h"
#include "script_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

const std::vector<HostCommand>& HostCommands() {
    static const std::vector<HostCommand> commands = {
        {"new", "new NAME", "make an object and bind it to NAME"},
        {"wait", "wait NAME [SECONDS] [expect CODE...]",
         "wait for the operation (600 s), show its code"},
        {"sleep", "sleep MS", "pause for MS milliseconds"},
        {"release", "release NAME", "drop NAME without forget"},
        {"help", "help [METHOD]", "this list, or one method or command"},
        {"quit", "quit", "forget every object and end (Ctrl-D at the prompt)"},
    };
    return commands;
}

std::vector<std::string> HostCommandNames() {
    std::vector<std::string> names;
    for (const HostCommand& command : HostCommands()) {
        names.push_back(command.name);
    }
    return names;
}

bool IsStatusMethod(const std::string& name) {
    for (const char* status :
         {"ftpAbort", "ftpBytesTransferred", "ftpBytesToBeTransferred", "ftpProgress", "ftpDone",
          "ftpResult", "ftpErrorCode", "ftpErrorMessage"}) {
        if (name == status) {
            return true;
        }
    }
    return false;
}

int ScriptRunner::RunNew(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word ||
        !ValidObjectName(tokens[1].text)) {
        return Error(number, "usage: new NAME (letters, digits, _ . and -, first a letter or _)");
    }
    const std::string& name = tokens[1].text;
    std::string error;
    HostObject* object = host_.CreateObject(&error);
    if (object == nullptr) {
        return Error(number, "cannot make an object: " + error);
    }
    // Rebinding a name lets go of the object it named, as assigning a script variable does.
    auto old = objects_.find(name);
    if (old != objects_.end()) {
        host_.ReleaseObject(old->second.object);
    }
    objects_[name] = Bound{object, "", -1, {}};
    HostValue result = host_.Call(object, 0, {});
    int32_t setOption = host_.FindMethod("ftpSetOption");
    if (options_.trace && setOption >= 0) {
        HostValue option = env_.String("trace");
        HostValue on = env_.String("1");
        env_.Release(host_.Call(object, setOption, {option, on}));
        env_.Release(option);
        env_.Release(on);
    }
    Print(number, "new", name, result);
    env_.Release(result);
    return RUN_OK;
}

int ScriptRunner::RunRelease(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word) {
        return Error(number, "usage: release NAME");
    }
    auto it = objects_.find(tokens[1].text);
    if (it == objects_.end()) {
        return Error(number, "no object named " + tokens[1].text);
    }
    host_.ReleaseObject(it->second.object);
    objects_.erase(it);
    return RUN_OK;
}

int ScriptRunner::RunSleep(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Integer || tokens[1].integer < 0) {
        return Error(number, "usage: sleep MS");
    }
    auto until = Clock::now() + std::chrono::milliseconds(tokens[1].integer);
    while (Clock::now() < until) {
        if (int32_t pending = PlatInterruptPending()) {
            if (!InterruptTaken(interactive_)) {
                return RUN_INTERRUPTED + pending;
            }
            return RUN_OK;  // Ctrl-C at the prompt ends the pause
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, until - Clock::now()));
    }
    return RUN_OK;
}

std::string ScriptRunner::Usage(const MethodInfo& method) const {
    std::string usage = method.name + " NAME";
    for (size_t i = 0; i < method.arguments.size(); ++i) {
        const std::string& name = method.argumentNames[i];
        usage += method.arguments[i] == 's' ? " \"" + name + "\"" : " " + name;
    }
    return usage;
}

int ScriptRunner::RunHelp(const std::vector<ScriptToken>& tokens, int number) {
    const std::vector<MethodInfo>& methods = host_.Methods();
    if (tokens.size() == 1) {
        fputs("Commands:\n", out_);
        for (const HostCommand& command : HostCommands()) {
            fprintf(out_, "  %-37s  %s\n", command.usage, command.what);
        }
        fprintf(out_, "Methods of %s, from the method table it registered:\n",
                host_.ClassName().c_str());
        for (size_t i = 1; i < methods.size(); ++i) {  // method 0 is `new`, a command above
            fprintf(out_, "  %s\n", Usage(methods[i]).c_str());
        }
        fputs(
            "Strings go in double quotes, integers do not; a # starts a comment.\n"
            "help METHOD tells what a method does and what its arguments mean.\n",
            out_);
        fflush(out_);
        return RUN_OK;
    }
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word) {
        return Error(number, "usage: help [METHOD]");
    }
    const std::string& name = tokens[1].text;
    for (const HostCommand& command : HostCommands()) {
        if (name == command.name) {
            fprintf(out_, "%s\n  %s\n", command.usage, command.what);
            fflush(out_);
            return RUN_OK;
        }
    }
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        return Error(number, NoMethodMessage(name, MethodNames(false)));
    }
    PrintMethodHelp(method);
    return RUN_OK;
}

void ScriptRunner::PrintMethodHelp(int32_t method) {
    const MethodInfo& info = host_.Methods()[method];
    fprintf(out_, "%s\n", Usage(info).c_str());
    const MethodHelp* help = FindMethodHelp(info.name.c_str());
    if (help != nullptr) {
        fprintf(out_, "  %s%s\n", help->summary,
                help->startsOperation ? " (in the background: wait NAME for its end)" : "");
        for (const std::string& line : SplitLines(help->arguments)) {
            fprintf(out_, "  %s\n", line.c_str());
        }
    }
    const std::vector<std::string>& argumentNames = info.argumentNames;
    if (std::find(argumentNames.begin(), argumentNames.end(), "TransferType") !=
        argumentNames.end()) {
        fputs("  TransferType:", out_);
        for (size_t k = 0; k < kTransferTypeCount; ++k) {
            fprintf(out_, "%s %d (%s)", k == 0 ? "" : ",", kTransferTypes[k].value,
                    kTransferTypes[k].meaning);
        }
        fputs("; 0 (or any other value) keeps the current type\n", out_);
    }
    if (info.name == "ftpSetOption") {
        fputs("  Options (name, values, default, meaning):\n", out_);
        for (size_t k = 0; k < kOptionHelpCount; ++k) {
            const OptionHelp& option = kOptionHelp[k];
            std::string values = option.text ? "a path"
                                             : std::to_string(option.minimum) + " to " +
                                                   std::to_string(option.maximum);
            fprintf(out_, "    %-10s %-10s %-4s %s\n", option.name, values.c_str(),
                    option.defaultValue, option.meaning);
        }
    }
    fprintf(out_, "  method %d of the table: %s\n", method, info.line.c_str());
    fflush(out_);
}

std::string ScriptRunner::CheckArguments(const MethodInfo& info,
                                         const std::vector<ScriptToken>& arguments,
                                         std::string* newFile) const {
    const std::string& types = info.arguments;
    const std::string& name = info.name;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const ScriptToken& token = arguments[i];
        if (types[i] == 'a' &&
            (token.kind == ScriptToken::String || token.kind == ScriptToken::Integer)) {
            continue;
        }
        bool wantString = types[i] == 's';
        std::string which = "argument " + std::to_string(i + 1) + " of " + name;
        if (wantString && token.kind == ScriptToken::Word) {
            return which + " must be a string: strings need double quotes, as in \"" + token.text +
                   "\"";
        }
        if (wantString && token.kind != ScriptToken::String) {
            return which + " must be a string";
        }
        if (!wantString && token.kind != ScriptToken::Integer) {
            return which + " must be an integer";
        }
        // ftpRecvFile makes its local file anew; an interrupt that cuts it short removes it,
        // but only a file this download made: one that was there before is never removed,
        // whether or not the server had accepted the transfer yet.
        if (name == "ftpRecvFile" && info.argumentNames[i] == "LocalFileName" &&
            !FileExists(token.text)) {
            *newFile = token.text;
        }
    }
    return "";
}

int ScriptRunner::RunMethod(std::vector<ScriptToken> tokens, int number) {
    const std::string name = tokens[0].text;  // a copy: a password may be added to tokens
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        return Error(number, NoMethodMessage(name, MethodNames(true)));
    }
    if (tokens.size() < 2 || tokens[1].kind != ScriptToken::Word) {
        return Error(number, name + " needs an object name");
    }
    auto bound = objects_.find(tokens[1].text);
    if (bound == objects_.end()) {
        return Error(number, "no object named " + tokens[1].text);
    }
    HostObject* object = bound->second.object;
    const MethodInfo& info = host_.Methods()[method];
    const std::string& types = info.arguments;
    size_t given = tokens.size() - 2;
    // A call without its last argument, a password (as a recalled line is), asks for it.
    if (given + 1 == types.size() && interactive_ && input_ != nullptr && types.back() == 's' &&
        Lower(info.argumentNames.back()).find("password") != std::string::npos) {
        ScriptToken secret;
        secret.kind = ScriptToken::String;
        if (input_->ReadSecret(info.argumentNames.back() + ": ", &secret.text)) {
            tokens.push_back(secret);
            ++given;
        }
    }
    if (given != types.size()) {
        return Error(number, name + " takes " + std::to_string(types.size()) + " argument(s), " +
                                 std::to_string(given) + " given");
    }
    const std::vector<ScriptToken> callArguments(tokens.begin() + 2, tokens.end());
    std::string newFile;
    std::string wrong = CheckArguments(info, callArguments, &newFile);
    if (!wrong.empty()) {
        return Error(number, wrong);
    }
    std::vector<HostValue> arguments;
    for (const ScriptToken& token : callArguments) {
        arguments.push_back(token.kind == ScriptToken::String
                                ? env_.String(token.text)
                                : HostEnvironment::Integer(token.integer));
    }
    HostValue result = host_.Call(object, method, arguments);
    for (HostValue& argument : arguments) {
        env_.Release(argument);
    }
    // An operation started when its method answered 0; for a method the help table does not
    // know, when the object is busy afterwards.
    const MethodHelp* help = FindMethodHelp(name.c_str());
    bool accepted = HostEnvironment::KindOf(result) == ValueKind::Integer &&
                    HostEnvironment::IntegerOf(result) == 0;
    bool started = help != nullptr
                       ? help->startsOperation && accepted
                       : !IsStatusMethod(name) && accepted && IntegerCall(object, "ftpDone") == 0;
    if (started) {
        bound->second.newFile = newFile;
        bound->second.method = method;
        bound->second.arguments = callArguments;
    }
    Print(number, name, tokens[1].text, result);
    std::string advice = options_.json ? "" : ArgumentAdvice(info, callArguments, result);
    if (!advice.empty()) {
        progress_.Clear();
        fprintf(err_, "  %s\n", advice.c_str());
        fflush(err_);
    }
    env_.Release(result);
    return RUN_OK;
}
