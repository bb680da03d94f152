#include "script_language.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
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

// Reads the escape after a backslash at line[*i] into *text and moves *i past it. False with
// the reason in *error.
bool ReadEscape(const std::string& line, size_t* i, std::string* text, std::string* error) {
    char e = line[(*i)++];
    switch (e) {
        case '\\':
            *text += '\\';
            return true;
        case '"':
            *text += '"';
            return true;
        case 'r':
            *text += '\r';
            return true;
        case 'n':
            *text += '\n';
            return true;
        case 't':
            *text += '\t';
            return true;
        case 'x': {
            int high = *i < line.size() ? HexDigit(line[*i]) : -1;
            int low = *i + 1 < line.size() ? HexDigit(line[*i + 1]) : -1;
            if (high < 0 || low < 0) {
                *error = "\\x needs two hexadecimal digits";
                return false;
            }
            *text += static_cast<char>(high * 16 + low);
            *i += 2;
            return true;
        }
        default:
            *error = std::string("unknown escape \\") + e;
            return false;
    }
}

// Reads the string whose opening quote is at line[*i] into token and moves *i past its closing
// quote. False with the reason in *error.
bool ReadString(const std::string& line, size_t* i, ScriptToken* token, std::string* error) {
    token->kind = ScriptToken::String;
    ++*i;
    bool closed = false;
    while (*i < line.size()) {
        char d = line[(*i)++];
        if (d == '"') {
            closed = true;
            break;
        }
        if (d != '\\') {
            token->text += d;
            continue;
        }
        if (*i >= line.size()) {
            break;
        }
        if (!ReadEscape(line, i, &token->text, error)) {
            return false;
        }
    }
    if (!closed) {
        *error = "unterminated string";
        return false;
    }
    if (*i < line.size() && !IsBlank(line[*i])) {
        // "x"y would otherwise pass for two arguments.
        *error = "no blank after the string " + line.substr(token->begin, *i - token->begin);
        return false;
    }
    return true;
}

// Reads the word that starts at line[*i] (an integer when it starts with a digit or a minus)
// into token and moves *i past it. False with the reason in *error.
bool ReadWord(const std::string& line, size_t* i, ScriptToken* token, std::string* error) {
    size_t end = line.find_first_of(" \t\r", *i);
    token->text = line.substr(*i, end == std::string::npos ? std::string::npos : end - *i);
    *i = end == std::string::npos ? line.size() : end;
    if (token->text.find('"') != std::string::npos) {
        *error = "a quote inside a word: " + token->text;
        return false;
    }
    if ((isdigit(static_cast<unsigned char>(token->text[0])) || token->text[0] == '-')) {
        int parsed = ParseInteger(token->text, &token->integer);
        if (parsed < 0) {
            *error = "integer out of range: " + token->text;
            return false;
        }
        if (parsed == 0) {
            *error = "not an integer: " + token->text + " (strings need double quotes: \"" +
                     token->text + "\")";
            return false;
        }
        token->kind = ScriptToken::Integer;
    }
    return true;
}

}  // namespace

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
        bool read =
            c == '"' ? ReadString(line, &i, &token, error) : ReadWord(line, &i, &token, error);
        if (!read) {
            return false;
        }
        token.end = i;
        tokens->push_back(token);
    }
    return true;
}

bool ValidObjectName(const std::string& name) {
    if (name.empty() || !(isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
    });
}
