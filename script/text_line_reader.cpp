#include "text_line_reader.h"

#include <cstring>

#include "platform.h"

bool ReadTextLine(int32_t file, char* buffer, uint32_t capacity) {
    if (file == PLAT_FILE_ERROR || buffer == nullptr || capacity == 0) {
        return false;
    }
    int32_t count = PlatFileRead(file, buffer, capacity - 1);
    if (count <= 0) {
        return false;
    }
    buffer[count] = '\0';
    auto* lineFeed = static_cast<char*>(memchr(buffer, '\n', static_cast<size_t>(count)));
    if (lineFeed == nullptr) {
        // A last line without LF, or the first piece of an overlong line: deliver what was read.
        return true;
    }
    int32_t consumed = static_cast<int32_t>(lineFeed - buffer) + 1;
    *lineFeed = '\0';
    if (lineFeed > buffer && lineFeed[-1] == '\r') {
        lineFeed[-1] = '\0';
    }
    // Give back what follows the LF; the next call reads it again.
    if (consumed < count) {
        PlatFileSeek(file, consumed - count, PLAT_FILE_CURRENT);
    }
    return true;
}
