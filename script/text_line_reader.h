// Reading a directory-listing file back, one line at a time.
#pragma once

#include <cstdint>

inline constexpr uint32_t SCRIPT_LINE_SIZE = 256;

// Reads the next line of file (a handle from PlatFileOpen) into buffer, NUL-terminated, without
// its LF or CR LF. A line longer than capacity - 1 characters comes in pieces of capacity - 1;
// a last line without LF comes whole. Leaves the file positioned just past what it delivered.
// Returns false at the end of the file, on a read error, or for an invalid file, a null buffer
// or a capacity of 0.
bool ReadTextLine(int32_t file, char* buffer, uint32_t capacity);
