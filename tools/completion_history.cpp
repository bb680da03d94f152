#include "completion_history.h"

#include <algorithm>

#include "advice.h"
#include "console_helpers.h"
#include "script_language.h"

namespace {

// The method a line calls as a person may have typed it: in any letter case, or slightly
// misspelt (the call then fails, but the line still holds what was typed). Null when none is
// near.
const MethodInfo* MethodTyped(const std::string& word, const std::vector<MethodInfo>& methods) {
    std::vector<std::string> names;
    for (const MethodInfo& info : methods) {
        if (Lower(info.name) == Lower(word)) {
            return &info;
        }
        names.push_back(info.name);
    }
    std::string nearest = NearestName(word, names);
    if (nearest.empty()) {
        return nullptr;
    }
    return &*std::find_if(methods.begin(), methods.end(),
                          [&](const MethodInfo& info) { return info.name == nearest; });
}

// A command line for the server that carries a secret: PASS or ACCT, after any blanks.
bool SecretCommand(const std::string& text) {
    size_t verb = text.find_first_not_of(" \t");
    std::string word = verb == std::string::npos ? "" : Lower(text.substr(verb, 4));
    return word == "pass" || word == "acct";
}

bool IsPasswordArgument(const std::string& argumentName) {
    return Lower(argumentName).find("password") != std::string::npos;
}

// Whether a call of method may carry a secret: a password argument, or a raw command.
bool TakesSecret(const MethodInfo& method) {
    return Lower(method.name) == "ftpcommand" ||
           std::any_of(method.argumentNames.begin(), method.argumentNames.end(),
                       IsPasswordArgument);
}

// line without the secret arguments of its call of method (tokens: the line's), and without the
// blanks they leave at its end.
std::string WithoutSecrets(const std::string& line, const MethodInfo& method,
                           const std::vector<ScriptToken>& tokens) {
    auto secretArgument = [&](size_t i, const ScriptToken& token) {
        return IsPasswordArgument(method.argumentNames[i]) ||
               (Lower(method.name) == "ftpcommand" && SecretCommand(token.text));
    };
    std::string kept = line;
    for (size_t i = method.argumentNames.size(); i-- > 0;) {
        if (i + 2 < tokens.size() && secretArgument(i, tokens[i + 2])) {
            const ScriptToken& secret = tokens[i + 2];
            kept.erase(secret.begin, secret.end - secret.begin);
        }
    }
    if (kept.size() != line.size()) {
        size_t last = kept.find_last_not_of(" \t");
        kept.erase(last == std::string::npos ? 0 : last + 1);
    }
    return kept;
}

}  // namespace

std::vector<std::string> CompleteWord(const std::string& before,
                                      const std::vector<std::string>& commands,
                                      const std::vector<MethodInfo>& methods,
                                      const std::vector<std::string>& objects) {
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
        words = commands;
        for (size_t i = 1; i < methods.size(); ++i) {
            words.push_back(methods[i].name);
        }
    } else if (tokens.size() == 1 && tokens[0].text != "new" && tokens[0].text != "sleep") {
        words = objects;
    }
    std::vector<std::string> matches;
    for (const std::string& word : words) {
        if (word.compare(0, prefix.size(), prefix) == 0) {
            matches.push_back(word);
        }
    }
    return matches;
}

std::string HistoryLine(const std::string& line, const std::vector<MethodInfo>& methods) {
    std::string first = line;
    first.erase(0, std::min(first.find_first_not_of(" \t"), first.size()));
    first = first.substr(0, first.find_first_of(" \t\""));
    if (SecretCommand(first)) {
        return "";  // a raw PASS typed as a line of its own
    }
    const MethodInfo* method = MethodTyped(first, methods);
    if (method == nullptr) {
        return line;
    }
    bool hasSecret = TakesSecret(*method);
    std::vector<ScriptToken> tokens;
    std::string error;
    if (!TokenizeScriptLine(line, &tokens, &error)) {
        // Keep nothing of a broken line that calls a method with a secret argument.
        return hasSecret ? "" : line;
    }
    if (hasSecret && tokens.size() > method->argumentNames.size() + 2) {
        return "";  // more arguments than the method takes: a secret may be among them
    }
    return WithoutSecrets(line, *method, tokens);
}
