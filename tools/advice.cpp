#include "advice.h"

#include <algorithm>
#include <cstdint>

#include "console_helpers.h"
#include "method_help.h"
#include "value_display.h"

namespace {

// The optimal string alignment distance of a and b: insertions, deletions, substitutions and
// swaps of neighbours each count one.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The advice on a TransferType argument that is none of the known types, or "".
std::string TransferTypeAdvice(const MethodInfo& method,
                               const std::vector<ScriptToken>& arguments) {
    std::string advice;
    for (size_t i = 0; i < method.argumentNames.size() && i < arguments.size(); ++i) {
        if (method.argumentNames[i] != "TransferType") {
            continue;
        }
        int32_t type = arguments[i].integer;
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
    return advice;
}

// The advice on the option name and value that ftpSetOption refused.
std::string OptionAdvice(const std::string& name) {
    const OptionHelp* option = FindOptionHelp(name.c_str());
    if (option == nullptr) {
        std::vector<std::string> names;
        std::string all;
        for (size_t k = 0; k < kOptionHelpCount; ++k) {
            names.push_back(kOptionHelp[k].name);
            all += std::string(k == 0 ? "" : ", ") + kOptionHelp[k].name;
        }
        std::string nearest = NearestName(name, names);
        return "no option " + DisplayString(name) +
               (nearest.empty() ? "." : "; did you mean \"" + nearest + "\"?") +
               " The options: " + all + " (help ftpSetOption)";
    }
    if (option->text) {
        return "\"" + std::string(option->name) + "\" takes a text of up to " +
               std::to_string(option->maximum) + " characters, without line breaks";
    }
    return "\"" + std::string(option->name) + "\" takes " + std::to_string(option->minimum) +
           (option->maximum == option->minimum + 1 ? " or " : " to ") +
           std::to_string(option->maximum) + ", in decimal digits (default " +
           option->defaultValue + "): " + option->meaning;
}

}  // namespace

std::string NearestName(const std::string& word, const std::vector<std::string>& candidates) {
    std::string typed = Lower(word);
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& candidate : candidates) {
        size_t distance = EditDistance(typed, Lower(candidate));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    // A slip is one edit in four letters at most, and at least one edit is allowed.
    size_t allowed = std::max<size_t>(1, word.size() / 4);
    return bestDistance <= allowed ? best : std::string();
}

std::string NoMethodMessage(const std::string& name, const std::vector<std::string>& candidates) {
    std::string nearest = NearestName(name, candidates);
    return "no method " + name + " in the module's table" +
           (nearest.empty() ? "" : "; did you mean " + nearest + "?");
}

const ScriptToken* ArgumentNamed(const MethodInfo& method,
                                 const std::vector<ScriptToken>& arguments,
                                 const std::string& name) {
    for (size_t i = 0; i < method.argumentNames.size() && i < arguments.size(); ++i) {
        if (method.argumentNames[i] == name) {
            return &arguments[i];
        }
    }
    return nullptr;
}

std::string ArgumentAdvice(const MethodInfo& method, const std::vector<ScriptToken>& arguments,
                           const HostValue& result) {
    std::string advice = TransferTypeAdvice(method, arguments);
    bool refused = HostEnvironment::KindOf(result) == ValueKind::Integer &&
                   HostEnvironment::IntegerOf(result) == 1000;
    if (method.name == "ftpSetOption" && refused && arguments.size() == 2) {
        advice = OptionAdvice(arguments[0].text);
    }
    return advice;
}
