// The progress of a transfer while kestrel-host waits for it: a line that redraws itself and a
// summary at the end (--progress), or JSON records (--json-progress), both on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// What the display knows of one transfer while a wait watches it.
struct TransferProgress {
    bool started = false;  // bytes were seen moving (or a total was known)
    std::chrono::steady_clock::time_point start;
    int64_t startBytes = 0;  // the count when the display first saw the transfer
    std::chrono::steady_clock::time_point lastRecord;
    int64_t done = 0;
    int64_t total = 0;
};

// Draws progress on err, for the script's thread only.
class ProgressDisplay {
  public:
    // line: the redrawn line and the summary; records: the JSON records.
    ProgressDisplay(FILE* err, bool line, bool records)
        : err_(err), line_(line), records_(records) {}

    // The transfer of the object called name, waited for on script line number, has moved done
    // of total bytes (0: not known): redraws the line, and writes a record at most every 250 ms.
    void Update(TransferProgress& progress, int number, const std::string& name, int64_t done,
                int64_t total);
    // The transfer ended with result: clears the line, writes the summary and the last record.
    void Finish(TransferProgress& progress, int number, const std::string& name, int32_t result);
    // Takes the progress line off the terminal, if one is shown, before other output.
    void Clear();

  private:
    // One JSON record of the transfer; end, when not empty, adds how it ended.
    void WriteRecord(int number, const std::string& name, int64_t done, int64_t total,
                     double seconds, double rate, const std::string& end);
    // Redraws the progress line.
    void DrawLine(int64_t done, int64_t total, double rate);

    FILE* err_;
    bool line_;
    bool records_;
    bool shown_ = false;  // a progress line is on the terminal
};
