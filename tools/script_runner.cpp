#include "script_runner.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDefaultWaitSeconds = 600;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseInteger(const std::string& text, int32_t* value) {
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) {
        return false;
    }
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') {
            return false;
        }
    }
    errno = 0;
    long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    *value = static_cast<int32_t>(parsed);
    return true;
}

std::string Human(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

bool TokenizeScriptLine(const std::string& line, std::vector<ScriptToken>* tokens,
                        std::string* error) {
    tokens->clear();
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        ScriptToken token;
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
        } else {
            size_t end = line.find_first_of(" \t\r", i);
            token.text = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? line.size() : end;
            if (token.text.find('"') != std::string::npos) {
                *error = "a quote inside a word: " + token.text;
                return false;
            }
            if ((isdigit(static_cast<unsigned char>(token.text[0])) || token.text[0] == '-')) {
                if (!ParseInteger(token.text, &token.integer)) {
                    *error = "not an integer: " + token.text;
                    return false;
                }
                token.kind = ScriptToken::Integer;
            }
        }
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
    for (auto& [name, object] : objects_) {
        host_.ReleaseObject(object);
    }
    objects_.clear();
}

int ScriptRunner::Error(int number, const std::string& message, int status) {
    ClearProgress();
    fprintf(err_, "line %d: %s\n", number, message.c_str());
    fflush(err_);
    return status;
}

HostObject* ScriptRunner::Lookup(const std::string& name) {
    auto it = objects_.find(name);
    return it == objects_.end() ? nullptr : it->second;
}

void ScriptRunner::Print(int number, const std::string& call, const std::string& object,
                         const HostValue& result) {
    std::string value;
    switch (HostEnvironment::KindOf(result)) {
        case ValueKind::Integer:
            value = std::to_string(HostEnvironment::IntegerOf(result));
            break;
        case ValueKind::String:
            value = JsonString(env_.TextOf(result));
            break;
        case ValueKind::List: {
            value = "[";
            bool first = true;
            for (const std::string& item : env_.ItemsOf(result)) {
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
    if (options_.json) {
        fprintf(out_, "{\"line\":%d,\"call\":%s,\"object\":%s,\"result\":%s}\n", number,
                JsonString(call).c_str(), JsonString(object).c_str(), value.c_str());
    } else {
        fprintf(out_, "%s %s => %s\n", call.c_str(), object.c_str(), value.c_str());
    }
    fflush(out_);
}

int ScriptRunner::RunLine(const std::string& line, int number) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') {
        return RUN_OK;  // empty line or comment
    }
    std::vector<ScriptToken> tokens;
    std::string error;
    if (!TokenizeScriptLine(line, &tokens, &error)) {
        return Error(number, error);
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
        if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Integer || tokens[1].integer < 0) {
            return Error(number, "usage: sleep MS");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(tokens[1].integer));
        return RUN_OK;
    }
    if (command == "release") {
        if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word) {
            return Error(number, "usage: release NAME");
        }
        HostObject* object = Lookup(tokens[1].text);
        if (object == nullptr) {
            return Error(number, "no object named " + tokens[1].text);
        }
        host_.ReleaseObject(object);
        objects_.erase(tokens[1].text);
        return RUN_OK;
    }
    return RunMethod(tokens, number);
}

int ScriptRunner::RunNew(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() != 2 || tokens[1].kind != ScriptToken::Word) {
        return Error(number, "usage: new NAME");
    }
    const std::string& name = tokens[1].text;
    std::string error;
    HostObject* object = host_.CreateObject(&error);
    if (object == nullptr) {
        return Error(number, "cannot make an object: " + error);
    }
    // Rebinding a name lets go of the object it named, as assigning a script variable does.
    if (HostObject* old = Lookup(name)) {
        host_.ReleaseObject(old);
    }
    objects_[name] = object;
    HostValue result = host_.Call(object, 0, {});
    Print(number, "new", name, result);
    env_.Release(result);
    return RUN_OK;
}

int ScriptRunner::RunMethod(const std::vector<ScriptToken>& tokens, int number) {
    const std::string& name = tokens[0].text;
    int32_t method = host_.FindMethod(name);
    if (method < 0) {
        return Error(number, "no method " + name + " in the module's table");
    }
    if (tokens.size() < 2 || tokens[1].kind != ScriptToken::Word) {
        return Error(number, name + " needs an object name");
    }
    HostObject* object = Lookup(tokens[1].text);
    if (object == nullptr) {
        return Error(number, "no object named " + tokens[1].text);
    }
    const std::string& types = host_.Methods()[method].arguments;
    size_t given = tokens.size() - 2;
    if (given != types.size()) {
        return Error(number, name + " takes " + std::to_string(types.size()) + " argument(s), " +
                                 std::to_string(given) + " given");
    }
    std::vector<HostValue> arguments;
    for (size_t i = 0; i < given; ++i) {
        const ScriptToken& token = tokens[i + 2];
        bool wantString = types[i] == 's';
        if (wantString && token.kind != ScriptToken::String) {
            return Error(number,
                         "argument " + std::to_string(i + 1) + " of " + name + " must be a string");
        }
        if (!wantString && token.kind != ScriptToken::Integer) {
            return Error(number, "argument " + std::to_string(i + 1) + " of " + name +
                                     " must be an integer");
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
    Print(number, name, tokens[1].text, result);
    env_.Release(result);
    return RUN_OK;
}

int ScriptRunner::RunWait(const std::vector<ScriptToken>& tokens, int number) {
    if (tokens.size() < 2 || tokens.size() > 3 || tokens[1].kind != ScriptToken::Word ||
        (tokens.size() == 3 && (tokens[2].kind != ScriptToken::Integer || tokens[2].integer < 0))) {
        return Error(number, "usage: wait NAME [SECONDS]");
    }
    HostObject* object = Lookup(tokens[1].text);
    if (object == nullptr) {
        return Error(number, "no object named " + tokens[1].text);
    }
    int32_t done = host_.FindMethod("ftpDone");
    int32_t code = host_.FindMethod("ftpErrorCode");
    int32_t message = host_.FindMethod("ftpErrorMessage");
    int32_t transferred = host_.FindMethod("ftpBytesTransferred");
    int32_t expected = host_.FindMethod("ftpBytesToBeTransferred");
    if (done < 0 || code < 0 || message < 0) {
        return Error(number, "the module's table has no ftpDone, ftpErrorCode or ftpErrorMessage");
    }
    int32_t seconds = tokens.size() == 3 ? tokens[2].integer : kDefaultWaitSeconds;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(seconds);
    auto integerOf = [&](int32_t method) {
        HostValue value = host_.Call(object, method, {});
        int32_t result = HostEnvironment::IntegerOf(value);
        env_.Release(value);
        return result;
    };
    while (integerOf(done) != 1) {
        if (Clock::now() >= deadline) {
            return Error(number, "wait limit of " + std::to_string(seconds) + " seconds passed",
                         RUN_WAIT_LIMIT);
        }
        if (options_.progress && transferred >= 0 && expected >= 0) {
            std::chrono::duration<double> elapsed = Clock::now() - start;
            DrawProgress(integerOf(transferred), integerOf(expected), elapsed.count());
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    ClearProgress();
    int32_t result = integerOf(code);
    HostValue text = host_.Call(object, message, {});
    std::string messageText = env_.TextOf(text);
    env_.Release(text);
    if (options_.json) {
        fprintf(out_,
                "{\"line\":%d,\"call\":\"wait\",\"object\":%s,\"result\":{\"code\":%d,"
                "\"message\":%s}}\n",
                number, JsonString(tokens[1].text).c_str(), result,
                JsonString(messageText).c_str());
    } else {
        fprintf(out_, "wait %s => %d %s\n", tokens[1].text.c_str(), result,
                JsonString(messageText).c_str());
    }
    fflush(out_);
    return RUN_OK;
}

void ScriptRunner::DrawProgress(int32_t done, int32_t total, double seconds) {
    if (done <= 0 && total <= 0) {
        return;  // nothing moving yet (a login, a command): no progress to show
    }
    double rate = seconds > 0 ? done / seconds : 0;
    std::string line = "  " + std::to_string(done) + " bytes";
    if (total > 0) {
        char part[64];
        snprintf(part, sizeof part, "  %3d%%", static_cast<int>(100.0 * done / total));
        line += part;
    }
    line += "  " + Human(rate) + "/s";
    if (total > 0 && rate > 0 && done <= total) {
        int left = static_cast<int>((total - done) / rate + 0.5);
        char part[64];
        snprintf(part, sizeof part, "  %d:%02d left", left / 60, left % 60);
        line += part;
    }
    fprintf(err_, "\r%s\033[K", line.c_str());
    fflush(err_);
    progressShown_ = true;
}

void ScriptRunner::ClearProgress() {
    if (progressShown_) {
        fprintf(err_, "\r\033[K");
        fflush(err_);
        progressShown_ = false;
    }
}

int ScriptRunner::Run(FILE* in, bool interactive) {
    int number = 0;
    int status = RUN_OK;
    for (;;) {
        if (interactive) {
            fputs("kestrel> ", out_);
            fflush(out_);
        }
        std::string line;
        char chunk[1024];
        bool any = false;
        while (fgets(chunk, sizeof chunk, in) != nullptr) {
            any = true;
            line += chunk;
            if (!line.empty() && line.back() == '\n') {
                break;
            }
        }
        if (!any) {
            break;
        }
        ++number;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        status = RunLine(line, number);
        if (status != RUN_OK && !interactive) {
            break;
        }
        status = RUN_OK;
    }
    if (interactive) {
        fputs("\n", out_);
    }
    return status;
}
