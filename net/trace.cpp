// The layer's diagnostic trace: one line per trace point and hex dumps of the data moved, written
// to the debugger output when the category mask selects them. Each line is built in the caller's
// own stack buffer and written with one call, so lines of different threads never interleave.

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net.h"

std::atomic<uint32_t> traceMask{0};

namespace {

constexpr size_t TRACE_LINE_SIZE = 512;
// The text of a line stops here, so that CR LF and the terminating zero always fit.
constexpr size_t TRACE_TEXT_LIMIT = TRACE_LINE_SIZE - 3;

constexpr size_t DUMP_LABEL_LIMIT = 19;
constexpr int32_t DUMP_BYTES_PER_LINE = 16;
// Label, blank, 16 hex pairs with their blanks, "- ", two blanks, 16 characters, CR LF, zero.
constexpr size_t DUMP_LINE_SIZE = 96;

const char* CategoryPrefix(uint32_t category) {
    switch (category) {
        case TRACE_CALL:
        case TRACE_LOOKUP:
            return "calling ";
        case TRACE_INTERNAL:
            return "internal ";
        case TRACE_ENTER:
            return "entering ";
        case TRACE_EXIT:
            return "exiting ";
        default:
            return "";
    }
}

// Appends formatted text at line + used, cut at TRACE_TEXT_LIMIT. Returns the new length.
size_t AppendV(char* line, size_t used, const char* format, va_list args) {
    if (used >= TRACE_TEXT_LIMIT) {
        return used;
    }
    int written = vsnprintf(line + used, TRACE_TEXT_LIMIT + 1 - used, format, args);
    if (written < 0) {
        line[used] = '\0';
        return used;
    }
    size_t end = used + static_cast<size_t>(written);
    return end < TRACE_TEXT_LIMIT ? end : TRACE_TEXT_LIMIT;
}

__attribute__((format(printf, 3, 4))) size_t Append(char* line, size_t used, const char* format,
                                                    ...) {
    va_list args;
    va_start(args, format);
    size_t end = AppendV(line, used, format, args);
    va_end(args);
    return end;
}

// Copies the first DUMP_LABEL_LIMIT characters of label (nothing for none) to out. Returns the
// count copied.
size_t CopyLabel(char* out, const char* label) {
    if (label == nullptr) {
        return 0;
    }
    size_t length = strnlen(label, DUMP_LABEL_LIMIT);
    memcpy(out, label, length);
    return length;
}

}  // namespace

void NetTrace(uint32_t category, const char* format, ...) {
    if ((category & traceMask.load(std::memory_order_relaxed)) == 0 || format == nullptr) {
        return;
    }
    // Read before anything else runs, so that the line shows the error of the failed call.
    const int32_t lastError = PlatLastSocketError();

    char line[TRACE_LINE_SIZE];
    size_t used = Append(line, 0, "Proc %d\t", static_cast<int32_t>(PlatCurrentThreadId()));
    if (category == TRACE_ERROR) {
        used = Append(line, used, "Error %d during ", lastError);
    } else {
        used = Append(line, used, "%s", CategoryPrefix(category));
    }
    va_list args;
    va_start(args, format);
    used = AppendV(line, used, format, args);
    va_end(args);
    line[used++] = '\r';
    line[used++] = '\n';
    line[used] = '\0';
    PlatDebugOutput(line);
}

void NetDump(const void* data, int32_t length, const char* label) {
    if ((traceMask.load(std::memory_order_relaxed) & TRACE_DUMP) == 0 || length < 0) {
        return;
    }
    char line[DUMP_LINE_SIZE];
    if (length == 0) {
        size_t used = CopyLabel(line, label);
        static constexpr char EMPTY[] = " Empty Message\r\n";
        memcpy(line + used, EMPTY, sizeof EMPTY);
        PlatDebugOutput(line);
        return;
    }
    if (data == nullptr) {
        return;
    }
    static constexpr char HEX[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int32_t offset = 0; offset < length; offset += DUMP_BYTES_PER_LINE) {
        const int32_t count =
            length - offset < DUMP_BYTES_PER_LINE ? length - offset : DUMP_BYTES_PER_LINE;
        size_t used = CopyLabel(line, label);
        line[used++] = ' ';
        for (int32_t i = 0; i < DUMP_BYTES_PER_LINE; ++i) {
            const bool present = i < count;
            if (i == 8) {
                line[used++] = present ? '-' : ' ';
                line[used++] = ' ';
            }
            if (present) {
                line[used++] = HEX[bytes[offset + i] >> 4];
                line[used++] = HEX[bytes[offset + i] & 0x0F];
            } else {
                line[used++] = ' ';
                line[used++] = ' ';
            }
            line[used++] = ' ';
        }
        line[used++] = ' ';
        line[used++] = ' ';
        for (int32_t i = 0; i < count; ++i) {
            const unsigned char c = bytes[offset + i];
            line[used++] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
        }
        line[used++] = '\r';
        line[used++] = '\n';
        line[used] = '\0';
        PlatDebugOutput(line);
    }
}
