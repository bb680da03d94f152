// Measurement helpers shared by the benchmark tools: the ideal time of a throttled transfer, the
// median of repeated runs, resident memory, file comparison and the one-line JSON records that
// scripts/bench.sh collects. Pure functions where possible, so that tests can check them without
// a server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// The block size of the transfer loops and the length of one pause of the rhythm.
inline constexpr int64_t BENCH_BLOCK_SIZE = 4096;
inline constexpr int64_t BENCH_PAUSE_MILLISECONDS = 100;
// Blocks between pauses: one session alone, and while other sessions exist.
inline constexpr int64_t BENCH_BLOCKS_PER_PAUSE_ALONE = 10;
inline constexpr int64_t BENCH_BLOCKS_PER_PAUSE_SHARED = 3;

// Objects that connect and log in at the same moment, at most; the rest wait for their turn.
inline constexpr int BENCH_LOGIN_WAVE = 16;

// Blocks a file of size bytes takes when every block but the last is full: ceil(size / 4096).
int64_t BenchBlocks(int64_t size);

// Pauses that a session takes while it moves `blocks` blocks, when its block counter stood at
// `startCount` before the first of them and it pauses whenever the counter reaches a multiple of
// `every`. 0 for a non-positive `every` (no rhythm).
int64_t BenchPauses(int64_t startCount, int64_t blocks, int64_t every);

// The ideal time in seconds of one throttled transfer of size bytes by a session whose counter
// stands at startCount: its pauses times the pause length. Nothing else is counted: the pause
// rhythm is the design's own limit, everything above it is overhead.
double BenchIdealSeconds(int64_t startCount, int64_t size, int64_t every);

// Median of the values (the mean of the two middle ones for an even count); 0 for none.
double BenchMedian(std::vector<double> values);

// Resident memory of this process in bytes (from /proc/self/statm), or -1.
int64_t BenchResidentBytes();

// Samples the resident memory of this process every few milliseconds on a thread of its own and
// keeps the highest value seen, from construction until stop().
class BenchRssSampler {
public:
    explicit BenchRssSampler(std::chrono::milliseconds interval = std::chrono::milliseconds(5));
    ~BenchRssSampler();
    BenchRssSampler(const BenchRssSampler&) = delete;
    BenchRssSampler& operator=(const BenchRssSampler&) = delete;
    // Stops sampling (takes one last sample) and returns the peak in bytes.
    int64_t stop();

private:
    void sample();
    std::atomic<bool> running_{true};
    std::atomic<int64_t> peak_{0};
    std::chrono::milliseconds interval_;
    std::thread thread_;
};

// True when the two files exist and hold the same bytes.
bool BenchFilesEqual(const std::string& a, const std::string& b);

// Seconds on a monotonic clock since an arbitrary start.
double BenchNow();

// One result record, printed as a single JSON object on one line. Keys keep their order.
class BenchRecord {
public:
    BenchRecord& text(const std::string& key, const std::string& value);
    BenchRecord& number(const std::string& key, double value);
    BenchRecord& integer(const std::string& key, int64_t value);
    BenchRecord& flag(const std::string& key, bool value);
    std::string json() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;  // key, JSON value
};

// Command-line options: "--name value" pairs and bare "--flag"s (an option followed by another
// option, or by nothing, is a flag). The first argument that is not an option is the mode.
class BenchArgs {
public:
    // False with the reason in *error for an argument that is neither an option nor the mode, or
    // a second mode.
    bool parse(int argc, char** argv, std::string* error);
    const std::string& mode() const { return mode_; }
    bool has(const std::string& name) const;
    std::string text(const std::string& name, const std::string& fallback = "") const;
    // The option's value as an integer; fallback when absent, -1 when it is not a number.
    int64_t integer(const std::string& name, int64_t fallback) const;

private:
    std::string mode_;
    std::vector<std::pair<std::string, std::string>> options_;  // name without "--", value
};

// A JSON string literal for text (quotes, backslashes and control characters escaped).
std::string BenchJsonString(const std::string& text);
