// The session's settings: one table of name, range and default, from which FtpSetOption checks
// and stores. The engine reads the working values from the session record.

#include <cstring>

#include "session_internal.h"

namespace {

struct OptionRow {
    const char* name;
    int32_t minimum;
    int32_t maximum;
    int32_t defaultValue;  // what a session has until the option is set
    // Stores an already checked value; false when the session cannot take it (out of memory).
    bool (*store)(FtpSession& session, int32_t value);
    // For a text option (then the range is its length): stores the text instead.
    void (*storeText)(FtpSession& session, const char* text) = nullptr;
};

// The longest text a text option takes (a path).
constexpr int32_t kMaxOptionText = 1024;

const OptionRow kOptions[] = {
    {"passive", 0, 1, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.passive = v != 0;
         return true;
     }},
    {"port", 1, 65535, 21,
     [](FtpSession& s, int32_t v) {
         s.connection.port = static_cast<uint16_t>(v);
         s.connection.portGiven = true;
         return true;
     }},
    {"throttle", 0, 1, 1,
     [](FtpSession& s, int32_t v) {
         if (v == 0 && !s.fastBuffer) {
             s.fastBuffer.reset(new (std::nothrow) char[FTP_FAST_BLOCK_SIZE]);
             if (!s.fastBuffer) {
                 return false;
             }
         }
         s.throttle = v != 0;
         return true;
     }},
    {"timeout", 1, 3600, 30,
     [](FtpSession& s, int32_t v) {
         s.connection.timeoutSeconds = static_cast<uint32_t>(v);
         return true;
     }},
    {"trace", 0, 1, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.traceEnabled = v;
         return true;
     }},
    {"tls", 0, 2, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.tlsMode = v;
         return true;
     }},
    {"tlsVerify", 0, 1, 1,
     [](FtpSession& s, int32_t v) {
         s.connection.tlsVerify = v != 0;
         return true;
     }},
    {"keepalive", 0, 3600, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.keepaliveSeconds = static_cast<uint32_t>(v);
         return true;
     }},
    {"features", 0, 1, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.featuresWanted = v != 0;
         return true;
     }},
    {"retries", 0, 100, 0,
     [](FtpSession& s, int32_t v) {
         s.retries = v;
         return true;
     }},
    {"retryDelay", 0, 600000, 1000,
     [](FtpSession& s, int32_t v) {
         s.retryDelayMs = v;
         return true;
     }},
    {"verify", 0, 2, 0,
     [](FtpSession& s, int32_t v) {
         s.verify = v;
         return true;
     }},
    {"dataPeer", 0, 1, 0,
     [](FtpSession& s, int32_t v) {
         s.connection.dataPeer = v;
         return true;
     }},
    {"caFile", 0, kMaxOptionText, 0, nullptr,
     [](FtpSession& s, const char* text) { s.connection.caFile = text; }},
};

bool SameName(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// Decimal digits only, no sign, no spaces, within [minimum, maximum].
bool ParseValue(const char* text, int32_t minimum, int32_t maximum, int32_t* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    int64_t number = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        number = number * 10 + (*p - '0');
        if (number > maximum) {
            return false;
        }
    }
    if (number < minimum) {
        return false;
    }
    *value = static_cast<int32_t>(number);
    return true;
}

}  // namespace

void FtpApplyDefaultOptions(FtpSession* session) {
    for (const OptionRow& row : kOptions) {
        if (row.storeText != nullptr) {
            row.storeText(*session, "");
        } else {
            row.store(*session, row.defaultValue);
        }
    }
    session->connection.portGiven = false;
}

int32_t FtpSetOption(const char* name, const char* value, int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        return FTP_NOT_INITIALIZED;
    }
    if (session->operationOpen.load()) {
        return FTP_SESSION_IN_USE;
    }
    if (name == nullptr) {
        return FTP_BAD_PARAMETERS;
    }
    for (const OptionRow& row : kOptions) {
        if (!SameName(name, row.name)) {
            continue;
        }
        if (row.storeText != nullptr) {
            // Any text of the allowed length; a line break has no place in a path.
            if (value == nullptr || strnlen(value, kMaxOptionText + 1) > kMaxOptionText ||
                FtpHasLineBreak(value)) {
                return FTP_BAD_PARAMETERS;
            }
            row.storeText(*session, value);
            return FTP_OK;
        }
        int32_t number = 0;
        if (!ParseValue(value, row.minimum, row.maximum, &number)) {
            return FTP_BAD_PARAMETERS;
        }
        return row.store(*session, number) ? FTP_OK : FTP_NO_MEMORY;
    }
    return FTP_BAD_PARAMETERS;
}

int32_t FtpResultDetail(char* output, int32_t capacity, int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        FtpCopyText(output, capacity, "");
        return FTP_NOT_INITIALIZED;
    }
    std::lock_guard<std::mutex> guard(session->detailLock);
    FtpCopyText(output, capacity, session->resultDetail.c_str());
    return FTP_OK;
}

void FtpSetDetail(FtpSession* session, const std::string& text) {
    std::lock_guard<std::mutex> guard(session->detailLock);
    session->resultDetail = text;
}

bool FtpOptionAt(int32_t index, const char** name, int32_t* minimum, int32_t* maximum,
                 int32_t* defaultValue, bool* text) {
    if (index < 0 || static_cast<size_t>(index) >= sizeof kOptions / sizeof kOptions[0]) {
        return false;
    }
    const OptionRow& row = kOptions[index];
    *name = row.name;
    *minimum = row.minimum;
    *maximum = row.maximum;
    *defaultValue = row.defaultValue;
    *text = row.storeText != nullptr;
    return true;
}
