// What the script class's methods and options mean, for a host's help and its advice: one row per
// method of the method table (by name) and one per option that ftpSetOption takes. Plain data,
// with no other dependency, so that a host can carry it without the engine.
#pragma once

#include <cstddef>
#include <cstdint>

struct MethodHelp {
    const char* name;
    bool startsOperation;  // runs in the background: ftpDone tells its end, ftpErrorCode its result
    bool movesData;        // a transfer or a listing: the byte counters follow it
    const char* summary;
    // One line per script argument, in the table's order: "Name: meaning", LF between lines.
    const char* arguments;
};

struct OptionHelp {
    const char* name;
    bool text;  // a text option: any text up to maximum characters
    int32_t minimum;
    int32_t maximum;
    const char* defaultValue;
    const char* meaning;
};

// A value an integer argument may take, and what it means.
struct ValueHelp {
    int32_t value;
    const char* meaning;
};

extern const MethodHelp kMethodHelp[];
extern const size_t kMethodHelpCount;
extern const OptionHelp kOptionHelp[];
extern const size_t kOptionHelpCount;
// The TransferType values; any other keeps the session's current type.
extern const ValueHelp kTransferTypes[];
extern const size_t kTransferTypeCount;

// The row of the method or option called name (options: letter case ignored), or null.
const MethodHelp* FindMethodHelp(const char* name);
const OptionHelp* FindOptionHelp(const char* name);
