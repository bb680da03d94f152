// Small helpers of kestrel-host's console: letter case, a look at a local file, what an
// interrupt means at the prompt, and a clean-up that may not take long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// text in lower case (ASCII letters only).
std::string Lower(std::string text);

// True when a file is at path: one that opens for reading or for writing (opening changes
// nothing in it).
bool FileExists(const std::string& path);

// The length of the file at path, or -1 when it cannot be opened.
int64_t FileLength(const std::string& path);

// Handles the pending interrupt inside a wait, a sleep or a line: none pending, or Ctrl-C at the
// prompt of an interactive run (taken and cleared), is true: go on; any other is false: the run
// ends.
bool InterruptTaken(bool interactive);

// Runs work on the calling thread; when it has not ended within limit, calls tooLong on another
// thread (which is expected to end the process).
void RunWithinLimit(std::chrono::milliseconds limit, const std::function<void()>& work,
                    const std::function<void()>& tooLong);
