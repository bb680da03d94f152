#include "script_runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "console.h"
#include "failure_notes.h"
#include "method_help.h"
#include "poll_pacer.h"
#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDefaultWaitSeconds = 600;
// The longest pause between two polls of a wait or a sleep, and how often a wait's progress is
// drawn.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kProgressRecordInterval = std::chrono::milliseconds(250);
// After an interrupt the clean-up (abort, QUIT, forget) gets this long; then the host ends
// anyway, so that a server that no longer answers cannot hold it.
constexpr auto kCleanupLimit = std::chrono::milliseconds(2500);

// The host's own commands, for help, completion and suggestions.
struct Command {
    const char* name;
    const char* usage;
    const char* what;
};
constexpr Command kCommands[] = {
    {"new", "new NAME", "make an object and bind it to NAME"},
    {"wait", "wait NAME [SECONDS] [expect CODE...]",
     "wait for the operation (600 s), show its code"},
    {"sleep", "sleep MS", "pause for MS milliseconds"},
    {"release", "release NAME", "drop NAME without forget"},
    {"help", "help [METHOD]", "this list, or one method or command"},
    {"quit", "quit", "forget every object and end (Ctrl-D at the prompt)"},
};

// The methods that only read an object's state; every other call may start an operation.
bool IsStatusMethod(const std::string& name) {
    for (const char* status : {"ftpAbort", "ftpBytesTransferred", "ftpBytesToBeTransferred",
                               "ftpProgress", "ftpDone", "ftpResult", "ftpErrorCode",
                               "ftpErrorMessage"}) {
        if (name == status) {
            return true;
        }
    }
    return false;
}

// True when a file is at path: one that opens for reading or for writing (opening changes
// nothing in it).
bool FileExists(const std::string& path) {
    for (int32_t mode : {PLAT_OF_READ, PLAT_OF_WRITE}) {
        int32_t file = PlatFileOpen(path.c_str(), mode);
        if (file != PLAT_FILE_ERROR) {
            PlatFileClose(file);
            return true;
        }
    }
    return false;
}

// The length of the file at path, or -1 when it cannot be opened.
int64_t FileLength(const std::string& path) {
    int32_t file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return -1;
    }
    int64_t length = PlatFileSeek(file, 0, PLAT_FILE_END);
    PlatFileClose(file);
    return length;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool ValidName(const std::string& name) {
    if (name.empty() || !(isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
    });
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses an integer word. 1 when it is one, 0 when it is no integer at all, -1 when it is made
// of digits but out of the 32-bit range.
int ParseInteger(const std::string& text, int32_t* value) {
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) {
        return 0;
    }
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') {
            return 0;
        }
    }
    errno = 0;
    long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) {
        return -1;
    }
    *value = static_cast<int32_t>(parsed);
    return 1;
}

// A text for a terminal: valid UTF-8 printable characters as they are; control characters (C0,
// DEL and C1, which a terminal would act on) and bytes of no valid sequence as escapes.
std::string EscapeForDisplay(const std::string& text, bool quoted) {
    std::string out;
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = Utf8SequenceLength(text, i);
        bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length > 1 && !c1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (quoted && c == '\n') {
            out += "\\n";
        } else if (quoted && c == '\r') {
            out += "\\r";
        } else if (quoted && c == '\t') {
            out += "\\t";
        } else if (c == '\t') {
            out += '\t';
        } else if (c < 0x20 || c >= 0x7F) {
            snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

// A byte count with a binary unit: "512 B", "3.2 MiB", "409 KiB".
std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 || bytes >= 100 ? "%.0f %s" : "%.1f %s", bytes,
             units[unit]);
    return text;
}

std::string Duration(double seconds) {
    int total = static_cast<int>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        snprintf(text, sizeof text, "%d:%02d:%02d", total / 3600, total / 60 % 60, total % 60);
    } else {
        snprintf(text, sizeof text, "%d:%02d", total / 60, total % 60);
    }
    return text;
}

}  // namespace

std::string DisplayString(const std::string& text) {
    return "\"" + EscapeForDisplay(text, true) + "\"";
}

std::string DisplayResult(const std::string& text) {
    if (text.find('\n') == std::string::npos) {
        return DisplayString(text);
    }
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out += "\n  " + EscapeForDisplay(line, false);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

std::string NearestName(const std::string& word, const std::vector<std::string>& candidates) {
    std::string typed = Lower(word);
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& candidate : candidates) {
        std::string name = Lower(candidate);
        // Optimal string alignment distance: insertions, deletions, substitutions and swaps of
        // neighbours each count one.
        std::vector<std::vector<size_t>> d(typed.size() + 1, std::vector<size_t>(name.size() + 1));
        for (size_t i = 0; i <= typed.size(); ++i) {
            d[i][0] = i;
        }
        for (size_t j = 0; j <= name.size(); ++j) {
            d[0][j] = j;
        }
        for (size_t i = 1; i <= typed.size(); ++i) {
            for (size_t j = 1; j <= name.size(); ++j) {
                size_t cost = typed[i - 1] == name[j - 1] ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
                if (i > 1 && j > 1 && typed[i - 1] == name[j - 2] && typed[i - 2] == name[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        if (d[typed.size()][name.size()] < bestDistance) {
            bestDistance = d[typed.size()][name.size()];
            best = candidate;
        }
    }
    // A slip is one edit in four letters at most, and at least one edit is allowed.
    size_t allowed = std::max<size_t>(1, word.size() / 4);
    return bestDistance <= allowed ? best : std::string();
}

bool TokenizeScriptLine(const std::string& line, std::vector<ScriptToken>* tokens,
                        std::string* error) {
    tokens->clear();
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (IsBlank(c)) {
            ++i;
            continue;
        }
        if (c == '#') {
            break;  // a comment runs to the end of the line
        }
        ScriptToken token;
        token.begin = i;
        if (c == '"') {
            token.kind = ScriptToken::String;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d != '\\') {
                    token.text += d;
                    continue;
                }
                if (i >= line.size()) {
                    break;
                }
                char e = line[i++];
                switch (e) {
                    case '\\':
                        token.text += '\\';
                        break;
                    case '"':
                        token.text += '"';
                        break;
                    case 'r':
                        token.text += '\r';
                        break;
                    case 'n':
                        token.text += '\n';
                        break;
                    case 't':
                        token.text += '\t';
                        break;
                    case 'x': {
                        int high = i < line.size() ? HexDigit(line[i]) : -1;
                        int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
                        if (high < 0 || low < 0) {
                            *error = "\\x needs two hexadecimal digits";
                            return false;
                        }
                        token.text += static_cast<char>(high * 16 + low);
                        i += 2;
                        break;
                    }
                    default:
                        *error = std::string("unknown escape \\") + e;
                        return false;
                }
            }
            if (!closed) {
                *error = "unterminated string";
                return false;
            }
            if (i < line.size() && !IsBlank(line[i])) {
                // "x"y would otherwise pass for two arguments.
                *error = "no blank after the string " + line.substr(token.begin, i - token.begin);
                return false;
            }
        } else {
            size_t end = line.find_first_of(" \t\r", i);
            token.text = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? line.size() : end;
            if (token.text.find('"') != std::string::npos) {
                *error = "a quote inside a word: " + token.text;
                return false;
            }
            if ((isdigit(static_cast<unsigned char>(token.text[0])) || token.text[0] == '-')) {
                int parsed = ParseInteger(token.text, &token.integer);
                if (parsed < 0) {
                    *error = "integer out of range: " + token.text;
                    return false;
                }
                if (parsed == 0) {
                    *error = "not an integer: " + token.text + " (strings need double quotes: \"" +
                             token.text + "\")";
                    return false;
                }
                token.kind = ScriptToken::Integer;
            }
        }
        token.end = i;
        tokens->push_back(token);
    }
    return true;
}

ScriptRunner::ScriptRunner(ModuleHost& host, HostEnvironment& env, RunnerOptions options, FILE* out,
                           FILE* err)
    : host_(host), env_(env), options_(options), out_(out), err_(err) {}

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

void ScriptRunner::RemovePartialFile(Bound& bound) {
    if (bound.newFile.empty()) {
        return;
    }
    if (std::remove(bound.newFile.c_str()) == 0) {
        ClearProgress();
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
    const ScriptToken* remote = nullptr;
    const ScriptToken* local = nullptr;
    const ScriptToken* type = nullptr;
    for (size_t i = 0; i < info->argumentNames.size() && i < bound.arguments.size(); ++i) {
        const std::string& argument = info->argumentNames[i];
        const ScriptToken* token = &bound.arguments[i];
        remote = argument == "RemoteFileName" ? token : remote;
        local = argument == "LocalFileName" ? token : local;
        type = argument == "TransferType" ? token : type;
    }
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
    ClearProgress();
    return "  kept the partial download " + DisplayString(local->text) + " (" +
           std::to_string(length) + " bytes); to resume it:\n    ftpRestartRecvFile " + name + " " +
           DisplayString(remote->text) + " " + DisplayString(local->text) + " " +
           std::to_string(type->integer) + " \"auto\"\n";
}

int ScriptRunner::Error(int number, const std::string& message, int status) {
    ClearProgress();
    fprintf(err_, "line %d: %s\n", number, message.c_str());
    fflush(err_);
    return status;
}

void ScriptRunner::Print(int number, const std::string& call, const std::string& object,
                         const HostValue& result) {
    std::string value;
    bool display = options_.display && !options_.json;
    switch (HostEnvironment::KindOf(result)) {
        case ValueKind::Integer:
            value = std::to_string(HostEnvironment::IntegerOf(result));
            break;
        case ValueKind::String:
            value = display ? DisplayResult(env_.TextOf(result)) : JsonString(env_.TextOf(result));
            break;
        case ValueKind::List: {
            std::vector<std::string> items = env_.ItemsOf(result);
            if (display && !items.empty()) {
                // A listing, one line for each entry.
                for (const std::string& item : items) {
                    value += "\n  " + EscapeForDisplay(item, false);
                }
                break;
            }
            value = "[";
            bool first = true;
            for (const std::string& item : items) {
                value += (first ? "" : ",") + JsonString(item);
                first = false;
            }
            value += "]";
            break;
        }
        default:
            value = options_.json ? "null" : "<void>";
            break;
    }
    ClearProgress();
    if (options_.json) {
        fprintf(out_, "{\"line\":%d,\"call\":%s,\"object\":%s,\"result\":%s}\n", number,
                JsonString(call).c_str(), JsonString(object).c_str(), value.c_str());
    } else {
        const char* gap = !value.empty() && value[0] == '\n' ? "" : " ";
        fprintf(out_, "%s %s =>%s%s\n", call.c_str(), object.c_str(), gap, value.c_str());
    }
    fflush(out_);
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
    return RunMethod(tokens, number);
}

int ScriptRunner::RunNew(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word || !ValidName(tokens[1].text)) {
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
        for (const Command& command : kCommands) {
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
    for (const Command& command : kCommands) {
        if (name == command.name) {
            fprintf(out_, "%s\n  %s\n", command.usage, command.what);
            fflush(out_);
            return RUN_OK;
        }
    }
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        std::vector<std::string> names;
        for (const MethodInfo& info : methods) {
            names.push_back(info.name);
        }
        std::string nearest = NearestName(name, names);
        return Error(number, "no method " + name + " in the module's table" +
                                 (nearest.empty() ? "" : "; did you mean " + nearest + "?"));
    }
    fprintf(out_, "%s\n", Usage(methods[method]).c_str());
    const MethodHelp* help = FindMethodHelp(name.c_str());
    if (help != nullptr) {
        fprintf(out_, "  %s%s\n", help->summary,
                help->startsOperation ? " (in the background: wait NAME for its end)" : "");
        std::string arguments = help->arguments;
        for (size_t start = 0; start < arguments.size();) {
            size_t end = std::min(arguments.find('\n', start), arguments.size());
            fprintf(out_, "  %s\n", arguments.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
    const std::vector<std::string>& argumentNames = methods[method].argumentNames;
    if (std::find(argumentNames.begin(), argumentNames.end(), "TransferType") !=
        argumentNames.end()) {
        fputs("  TransferType:", out_);
        for (size_t k = 0; k < kTransferTypeCount; ++k) {
            fprintf(out_, "%s %d (%s)", k == 0 ? "" : ",", kTransferTypes[k].value,
                    kTransferTypes[k].meaning);
        }
        fputs("; 0 (or any other value) keeps the current type\n", out_);
    }
    if (name == "ftpSetOption") {
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
    fprintf(out_, "  method %d of the table: %s\n", method, methods[method].line.c_str());
    fflush(out_);
    return RUN_OK;
}

int ScriptRunner::RunMethod(std::vector<ScriptToken> tokens, int number) {
    const std::string name = tokens[0].text;  // a copy: a password may be added to tokens
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        std::vector<std::string> names;
        for (const Command& command : kCommands) {
            names.push_back(command.name);
        }
        for (const MethodInfo& info : host_.Methods()) {
            names.push_back(info.name);
        }
        std::string nearest = NearestName(name, names);
        return Error(number, "no method " + name + " in the module's table" +
                                 (nearest.empty() ? "" : "; did you mean " + nearest + "?"));
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
    std::vector<HostValue> arguments;
    std::string newFile;
    for (size_t i = 0; i < given; ++i) {
        const ScriptToken& token = tokens[i + 2];
        if (types[i] == 'a' &&
            (token.kind == ScriptToken::String || token.kind == ScriptToken::Integer)) {
            continue;
        }
        bool wantString = types[i] == 's';
        if (wantString && token.kind == ScriptToken::Word) {
            return Error(number, "argument " + std::to_string(i + 1) + " of " + name +
                                     " must be a string: strings need double quotes, as in \"" +
                                     token.text + "\"");
        }
        if (wantString && token.kind != ScriptToken::String) {
            return Error(number,
                         "argument " + std::to_string(i + 1) + " of " + name + " must be a string");
        }
        if (!wantString && token.kind != ScriptToken::Integer) {
            return Error(number, "argument " + std::to_string(i + 1) + " of " + name +
                                     " must be an integer");
        }
        // ftpRecvFile makes its local file anew; an interrupt that cuts it short removes it,
        // but only a file this download made: one that was there before is never removed,
        // whether or not the server had accepted the transfer yet.
        if (name == "ftpRecvFile" && info.argumentNames[i] == "LocalFileName" &&
            !FileExists(token.text)) {
            newFile = token.text;
        }
    }
    for (size_t i = 0; i < given; ++i) {
        const ScriptToken& token = tokens[i + 2];
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
        bound->second.arguments.assign(tokens.begin() + 2, tokens.end());
    }
    Print(number, name, tokens[1].text, result);
    if (!options_.json) {
        AdviseOnArguments(info, tokens, result);
    }
    env_.Release(result);
    return RUN_OK;
}

void ScriptRunner::AdviseOnArguments(const MethodInfo& info, const std::vector<ScriptToken>& tokens,
                                     const HostValue& result) {
    std::string advice;
    for (size_t i = 0; i < info.argumentNames.size() && i + 2 < tokens.size(); ++i) {
        if (info.argumentNames[i] != "TransferType") {
            continue;
        }
        int32_t type = tokens[i + 2].integer;
        bool known = type == 0;  // the documented way to keep the current type
        for (size_t k = 0; k < kTransferTypeCount; ++k) {
            known = known || kTransferTypes[k].value == type;
        }
        if (!known) {
            advice = "TransferType " + std::to_string(type) +
                     " is none of 65 (ASCII), 73 (image) and 76 (local): the current type is kept "
                     "(0 says so on purpose)";
        }
    }
    bool refused = HostEnvironment::KindOf(result) == ValueKind::Integer &&
                   HostEnvironment::IntegerOf(result) == 1000;
    if (info.name == "ftpSetOption" && refused && tokens.size() == 4) {
        const OptionHelp* option = FindOptionHelp(tokens[2].text.c_str());
        if (option == nullptr) {
            std::vector<std::string> names;
            std::string all;
            for (size_t k = 0; k < kOptionHelpCount; ++k) {
                names.push_back(kOptionHelp[k].name);
                all += std::string(k == 0 ? "" : ", ") + kOptionHelp[k].name;
            }
            std::string nearest = NearestName(tokens[2].text, names);
            advice = "no option " + DisplayString(tokens[2].text) +
                     (nearest.empty() ? "." : "; did you mean \"" + nearest + "\"?") +
                     " The options: " + all + " (help ftpSetOption)";
        } else if (option->text) {
            advice = "\"" + std::string(option->name) + "\" takes a text of up to " +
                     std::to_string(option->maximum) + " characters, without line breaks";
        } else {
            advice = "\"" + std::string(option->name) + "\" takes " +
                     std::to_string(option->minimum) +
                     (option->maximum == option->minimum + 1 ? " or " : " to ") +
                     std::to_string(option->maximum) + ", in decimal digits (default " +
                     option->defaultValue + "): " + option->meaning;
        }
    }
    if (!advice.empty()) {
        ClearProgress();
        fprintf(err_, "  %s\n", advice.c_str());
        fflush(err_);
    }
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
    std::vector<std::string> notes;
    const MethodInfo* info = bound.method >= 0 ? &host_.Methods()[bound.method] : nullptr;
    auto argument = [&](const char* wanted) -> const ScriptToken* {
        for (size_t i = 0; info != nullptr && i < info->argumentNames.size(); ++i) {
            if (info->argumentNames[i] == wanted && i < bound.arguments.size()) {
                return &bound.arguments[i];
            }
        }
        return nullptr;
    };
    int32_t lastReply = host_.FindMethod("ftpLastReply");
    if ((ServerRefused(result) || result == 1003) && lastReply >= 0) {
        HostValue value = host_.Call(bound.object, lastReply, {});
        std::string reply = env_.TextOf(value);
        env_.Release(value);
        // Only a refusal, and for a lost connection only the server's closing word: an older
        // reply would explain nothing.
        bool refusal = !reply.empty() && (reply[0] == '4' || reply[0] == '5') &&
                       (result != 1003 || reply.rfind("421", 0) == 0);
        if (refusal) {
            std::string note = "the server said: ";
            size_t start = 0;
            while (start < reply.size()) {
                size_t end = std::min(reply.find('\n', start), reply.size());
                std::string line = reply.substr(start, end - start);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                note += (start == 0 ? "" : "\n    ") + EscapeForDisplay(line, false);
                start = end + 1;
            }
            if (const ScriptToken* remote = argument("RemoteFileName")) {
                note += " (remote file " + DisplayString(remote->text) + ")";
            }
            notes.push_back(note);
        }
    }
    const ScriptToken* local = argument("LocalFileName");
    if ((result == 1004 || result == 1005) && local != nullptr) {
        // Uploads read their local file; downloads write it.
        bool reading = info->name.find("Send") != std::string::npos ||
                       info->name.find("ToRemote") != std::string::npos;
        notes.push_back("local file " + DisplayString(local->text) + ": " +
                        LocalFileProblem(local->text, reading, result));
    }
    std::string hint = FailureHint(result, name);
    if (!hint.empty()) {
        notes.push_back("hint: " + hint);
    }
    ClearProgress();
    for (const std::string& note : notes) {
        fprintf(err_, "  %s\n", note.c_str());
    }
    fflush(err_);
}

bool ScriptRunner::InterruptTaken() const {
    int32_t pending = PlatInterruptPending();
    if (pending == 0) {
        return true;
    }
    if (interactive_ && pending == PLAT_INTERRUPT) {
        PlatInterruptClear();
        return true;
    }
    return false;
}

int ScriptRunner::RunSleep(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Integer || tokens[1].integer < 0) {
        return Error(number, "usage: sleep MS");
    }
    auto until = Clock::now() + std::chrono::milliseconds(tokens[1].integer);
    while (Clock::now() < until) {
        if (int32_t pending = PlatInterruptPending()) {
            if (!InterruptTaken()) {
                return RUN_INTERRUPTED + pending;
            }
            return RUN_OK;  // Ctrl-C at the prompt ends the pause
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, until - Clock::now()));
    }
    return RUN_OK;
}

int ScriptRunner::RunWait(const std::vector<ScriptToken>& tokens, int number) {
    // wait NAME [SECONDS] [expect CODE...]
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
    std::vector<int32_t> expected;
    for (size_t i = expectAt + 1; usable && i < tokens.size(); ++i) {
        usable = tokens[i].kind == ScriptToken::Integer;
        expected.push_back(tokens[i].integer);
    }
    if (!usable) {
        return Error(number, "usage: wait NAME [SECONDS] [expect CODE...]");
    }
    const std::string& name = tokens[1].text;
    auto bound = objects_.find(name);
    if (bound == objects_.end()) {
        return Error(number, "no object named " + name);
    }
    HostObject* object = bound->second.object;
    int32_t done = host_.FindMethod("ftpDone");
    int32_t code = host_.FindMethod("ftpErrorCode");
    int32_t message = host_.FindMethod("ftpErrorMessage");
    // The counters belong to the last transfer: after any other operation they are stale.
    int64_t doneBytes = 0;
    int64_t totalBytes = 0;
    const bool counters = MovesData(bound->second) && ReadProgress(object, &doneBytes, &totalBytes);
    if (done < 0 || code < 0 || message < 0) {
        return Error(number, "the module's table has no ftpDone, ftpErrorCode or ftpErrorMessage");
    }
    int32_t seconds = expectAt >= 3 ? tokens[2].integer : kDefaultWaitSeconds;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(seconds);
    bool aborted = false;
    Progress progress;
    PollPacer pacer(std::chrono::milliseconds(2), kPollInterval);
    auto nextProgress = start;
    while (IntegerCall(object, "ftpDone") != 1) {
        if (int32_t pending = PlatInterruptPending()) {
            if (!InterruptTaken()) {
                ClearProgress();
                return RUN_INTERRUPTED + pending;
            }
            // Ctrl-C at the prompt: abort the operation and wait for it to end.
            ClearProgress();
            // The module keeps an abort in force until the operation ends, whatever step it is
            // at, so one request is enough.
            IntegerCall(object, "ftpAbort");
            aborted = true;
        }
        if (Clock::now() >= deadline) {
            return Error(number, "wait limit of " + std::to_string(seconds) + " seconds passed",
                         RUN_WAIT_LIMIT);
        }
        if (counters && Clock::now() >= nextProgress) {
            nextProgress = Clock::now() + kPollInterval;
            if (ReadProgress(object, &doneBytes, &totalBytes)) {
                UpdateProgress(progress, number, name, doneBytes, totalBytes);
            }
        }
        pacer.Pause();
    }
    int32_t result = IntegerCall(object, "ftpErrorCode");
    if (counters) {
        if (!progress.started) {
            progress.start = start;
        }
        ReadProgress(object, &progress.done, &progress.total);
        FinishProgress(progress, number, name, result);
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
    if (options_.json) {
        fprintf(out_,
                "{\"line\":%d,\"call\":\"wait\",\"object\":%s,\"result\":{\"code\":%d,"
                "\"message\":%s}}\n",
                number, JsonString(name).c_str(), result, JsonString(messageText).c_str());
    } else {
        fprintf(out_, "wait %s => %d %s\n", name.c_str(), result,
                options_.display ? DisplayString(messageText).c_str()
                                 : JsonString(messageText).c_str());
    }
    fflush(out_);
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

void ScriptRunner::UpdateProgress(Progress& progress, int number, const std::string& name,
                                  int64_t done, int64_t total) {
    if (!options_.progress && !options_.jsonProgress) {
        return;
    }
    auto now = Clock::now();
    if (!progress.started) {
        if (done <= 0 && total <= 0) {
            return;  // nothing moving yet (a login, a command): no progress to show
        }
        // The speed counts from the first sight of this transfer, not from the start of the
        // wait: bytes that moved before the wait began are not put into its first moments.
        progress.started = true;
        progress.start = now;
        progress.startBytes = done;
        progress.lastRecord = now - kProgressRecordInterval;
    }
    progress.done = done;
    progress.total = total;
    double seconds = std::chrono::duration<double>(now - progress.start).count();
    double rate = seconds >= 0.2 ? (done - progress.startBytes) / seconds : 0;
    if (options_.progress) {
        std::string line = "  " + HumanBytes(done);
        if (total > 0) {
            char part[32];
            snprintf(part, sizeof part, "  %3d%%", static_cast<int>(100.0 * done / total));
            line += " of " + HumanBytes(total) + part;
        }
        if (rate > 0) {
            line += "  " + HumanBytes(rate) + "/s";
            if (total > 0 && done <= total) {
                line += "  " + Duration((total - done) / rate) + " left";
            }
        }
        fprintf(err_, "\r%s\033[K", line.c_str());
        fflush(err_);
        progressShown_ = true;
    }
    if (options_.jsonProgress && now - progress.lastRecord >= kProgressRecordInterval) {
        progress.lastRecord = now;
        fprintf(err_,
                "{\"line\":%d,\"object\":%s,\"progress\":{\"bytes\":%lld,\"total\":%lld,"
                "\"seconds\":%.2f,\"bytesPerSecond\":%.0f}}\n",
                number, JsonString(name).c_str(), static_cast<long long>(done),
                static_cast<long long>(total), seconds, rate);
        fflush(err_);
    }
}

void ScriptRunner::FinishProgress(Progress& progress, int number, const std::string& name,
                                  int32_t result) {
    ClearProgress();
    bool succeeded = result >= 0 && result < 1000;
    double seconds = std::chrono::duration<double>(Clock::now() - progress.start).count();
    double rate = seconds > 0 ? (progress.done - progress.startBytes) / seconds : 0;
    if (options_.progress && progress.done > 0) {
        // The speed only when the wait saw bytes move.
        std::string speed = rate > 0 ? ", " + HumanBytes(rate) + "/s" : "";
        const char* how = succeeded ? "" : result == -1 ? "aborted after " : "failed after ";
        fprintf(err_, "  %s%s in %.1f s%s\n", how, HumanBytes(progress.done).c_str(), seconds,
                speed.c_str());
        fflush(err_);
    }
    // A reader of the records learns of every transfer's end, one that moved nothing included.
    if (options_.jsonProgress) {
        // The last record says how the transfer ended: finished, aborted, or failed with its code.
        std::string end = succeeded      ? "\"finished\":true"
                          : result == -1 ? "\"aborted\":true,\"code\":-1"
                                         : "\"failed\":true,\"code\":" + std::to_string(result);
        fprintf(err_,
                "{\"line\":%d,\"object\":%s,\"progress\":{\"bytes\":%lld,\"total\":%lld,"
                "\"seconds\":%.2f,\"bytesPerSecond\":%.0f,%s}}\n",
                number, JsonString(name).c_str(), static_cast<long long>(progress.done),
                static_cast<long long>(progress.total), seconds, rate, end.c_str());
        fflush(err_);
    }
}

void ScriptRunner::ClearProgress() {
    if (progressShown_) {
        fprintf(err_, "\r\033[K");
        fflush(err_);
        progressShown_ = false;
    }
}

std::vector<std::string> ScriptRunner::Completions(const std::string& before) const {
    size_t start = before.find_last_of(" \t");
    start = start == std::string::npos ? 0 : start + 1;
    std::string prefix = before.substr(start);
    std::vector<ScriptToken> tokens;
    std::string error;
    if (prefix.find('"') != std::string::npos ||
        !TokenizeScriptLine(before.substr(0, start), &tokens, &error)) {
        return {};
    }
    std::vector<std::string> words;
    if (tokens.empty() || (tokens.size() == 1 && tokens[0].text == "help")) {
        for (const Command& command : kCommands) {
            words.push_back(command.name);
        }
        for (size_t i = 1; i < host_.Methods().size(); ++i) {
            words.push_back(host_.Methods()[i].name);
        }
    } else if (tokens.size() == 1 && tokens[0].text != "new" && tokens[0].text != "sleep") {
        for (const auto& [name, bound] : objects_) {
            words.push_back(name);
        }
    }
    std::vector<std::string> matches;
    for (const std::string& word : words) {
        if (word.compare(0, prefix.size(), prefix) == 0) {
            matches.push_back(word);
        }
    }
    return matches;
}

std::string ScriptRunner::HistoryLine(const std::string& line) const {
    // The method a line calls as a person may have typed it: in any letter case, or slightly
    // misspelt (the call then fails, but the line still holds what was typed).
    auto methodOf = [&](std::string word) -> const MethodInfo* {
        std::vector<std::string> names;
        for (const MethodInfo& info : host_.Methods()) {
            if (Lower(info.name) == Lower(word)) {
                return &info;
            }
            names.push_back(info.name);
        }
        std::string nearest = NearestName(word, names);
        return nearest.empty() ? nullptr : &host_.Methods()[host_.FindMethod(nearest)];
    };
    // A command line for the server that carries a secret: PASS or ACCT, after any blanks.
    auto secretCommand = [](const std::string& text) {
        size_t verb = text.find_first_not_of(" \t");
        std::string word = verb == std::string::npos ? "" : Lower(text.substr(verb, 4));
        return word == "pass" || word == "acct";
    };
    std::string first = line;
    first.erase(0, std::min(first.find_first_not_of(" \t"), first.size()));
    first = first.substr(0, first.find_first_of(" \t\""));
    if (secretCommand(first)) {
        return "";  // a raw PASS typed as a line of its own
    }
    const MethodInfo* info = methodOf(first);
    if (info == nullptr) {
        return line;
    }
    auto secretArgument = [&](size_t i, const ScriptToken& token) {
        return Lower(info->argumentNames[i]).find("password") != std::string::npos ||
               (Lower(info->name) == "ftpcommand" && secretCommand(token.text));
    };
    bool hasSecret = Lower(info->name) == "ftpcommand";
    for (const std::string& argument : info->argumentNames) {
        hasSecret = hasSecret || Lower(argument).find("password") != std::string::npos;
    }
    std::vector<ScriptToken> tokens;
    std::string error;
    if (!TokenizeScriptLine(line, &tokens, &error)) {
        // Keep nothing of a broken line that calls a method with a secret argument.
        return hasSecret ? "" : line;
    }
    std::string kept = line;
    for (size_t i = info->argumentNames.size(); i-- > 0;) {
        if (i + 2 < tokens.size() && secretArgument(i, tokens[i + 2])) {
            const ScriptToken& secret = tokens[i + 2];
            kept.erase(secret.begin, secret.end - secret.begin);
        }
    }
    if (hasSecret && tokens.size() > info->argumentNames.size() + 2) {
        return "";  // more arguments than the method takes: a secret may be among them
    }
    if (kept.size() != line.size()) {
        // Without the secret, and without the blanks it leaves at the end.
        size_t last = kept.find_last_not_of(" \t");
        kept.erase(last == std::string::npos ? 0 : last + 1);
    }
    return kept;
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
            if (InterruptTaken()) {
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
        if (status == RUN_OK && !InterruptTaken()) {
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
        // Clean up within a bound: a server that no longer answers must not keep the host.
        std::mutex lock;
        std::condition_variable cleaned;
        bool finished = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> guard(lock);
            if (!cleaned.wait_for(guard, kCleanupLimit, [&] { return finished; })) {
                fputs("kestrel-host: the clean-up takes too long; ending without it\n", err_);
                fflush(err_);
                std::_Exit(status);
            }
        });
        ClearProgress();
        fprintf(err_, "kestrel-host: %s: aborting and forgetting every object\n",
                status == RUN_INTERRUPTED + PLAT_INTERRUPT ? "interrupted" : "terminated");
        fflush(err_);
        ForgetAll();
        {
            std::lock_guard<std::mutex> guard(lock);
            finished = true;
        }
        cleaned.notify_one();
        watchdog.join();
    } else if (status == RUN_FAILED || interactive || quit_) {
        ForgetAll();
    }
    input_ = nullptr;
    return status;
}
