#include "value_display.h"

#include <algorithm>
#include <cstdio>

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

std::string DisplayString(const std::string& text) {
    return "\"" + EscapeForDisplay(text, true) + "\"";
}

std::string DisplayResult(const std::string& text) {
    if (text.find('\n') == std::string::npos) {
        return DisplayString(text);
    }
    std::string out;
    for (const std::string& line : SplitLines(text)) {
        out += "\n  " + EscapeForDisplay(line, false);
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ResultText(const HostEnvironment& env, const HostValue& result, bool display,
                       bool json) {
    display = display && !json;
    switch (HostEnvironment::KindOf(result)) {
        case ValueKind::Integer:
            return std::to_string(HostEnvironment::IntegerOf(result));
        case ValueKind::String:
            return display ? DisplayResult(env.TextOf(result)) : JsonString(env.TextOf(result));
        case ValueKind::List: {
            std::vector<std::string> items = env.ItemsOf(result);
            std::string value;
            if (display && !items.empty()) {
                // A listing, one line for each entry.
                for (const std::string& item : items) {
                    value += "\n  " + EscapeForDisplay(item, false);
                }
                return value;
            }
            value = "[";
            bool first = true;
            for (const std::string& item : items) {
                value += (first ? "" : ",") + JsonString(item);
                first = false;
            }
            return value + "]";
        }
        default:
            return json ? "null" : "<void>";
    }
}

std::string HumanBytes(double bytes, bool alwaysTenths) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    bool whole = unit == 0 || (bytes >= 100 && !alwaysTenths);
    char text[32];
    snprintf(text, sizeof text, whole ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
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
