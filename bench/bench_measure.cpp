#include "bench_measure.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

int64_t BenchBlocks(int64_t size) {
    return size <= 0 ? 0 : (size + BENCH_BLOCK_SIZE - 1) / BENCH_BLOCK_SIZE;
}

int64_t BenchPauses(int64_t startCount, int64_t blocks, int64_t every) {
    if (every <= 0 || blocks <= 0) {
        return 0;
    }
    // Multiples of `every` in (startCount, startCount + blocks].
    return (startCount + blocks) / every - startCount / every;
}

double BenchIdealSeconds(int64_t startCount, int64_t size, int64_t every) {
    return static_cast<double>(BenchPauses(startCount, BenchBlocks(size), every) *
                               BENCH_PAUSE_MILLISECONDS) /
           1000.0;
}

double BenchMedian(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) {
        return values[middle];
    }
    return (values[middle - 1] + values[middle]) / 2;
}

int64_t BenchResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0;
    int64_t resident = 0;
    if (!(statm >> size >> resident)) {
        return -1;
    }
    return resident * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}

BenchRssSampler::BenchRssSampler(std::chrono::milliseconds interval) : interval_(interval) {
    sample();
    thread_ = std::thread([this] {
        while (running_.load()) {
            sample();
            std::this_thread::sleep_for(interval_);
        }
    });
}

BenchRssSampler::~BenchRssSampler() { stop(); }

void BenchRssSampler::sample() {
    int64_t now = BenchResidentBytes();
    int64_t seen = peak_.load();
    while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
    }
}

int64_t BenchRssSampler::stop() {
    if (thread_.joinable()) {
        running_ = false;
        thread_.join();
        sample();
    }
    return peak_.load();
}

bool BenchFilesEqual(const std::string& a, const std::string& b) {
    std::ifstream left(a, std::ios::binary);
    std::ifstream right(b, std::ios::binary);
    if (!left || !right) {
        return false;
    }
    std::vector<char> x(1 << 16);
    std::vector<char> y(1 << 16);
    for (;;) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        std::streamsize n = left.gcount();
        if (n != right.gcount() || !std::equal(x.begin(), x.begin() + n, y.begin())) {
            return false;
        }
        if (n == 0) {
            return true;
        }
    }
}

double BenchNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string BenchJsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

BenchRecord& BenchRecord::text(const std::string& key, const std::string& value) {
    fields_.emplace_back(key, BenchJsonString(value));
    return *this;
}

BenchRecord& BenchRecord::number(const std::string& key, double value) {
    if (!std::isfinite(value)) {
        fields_.emplace_back(key, "null");  // JSON has no NaN or infinity
        return *this;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    fields_.emplace_back(key, text);
    return *this;
}

BenchRecord& BenchRecord::integer(const std::string& key, int64_t value) {
    fields_.emplace_back(key, std::to_string(value));
    return *this;
}

BenchRecord& BenchRecord::flag(const std::string& key, bool value) {
    fields_.emplace_back(key, value ? "true" : "false");
    return *this;
}

std::string BenchRecord::json() const {
    std::string out = "{";
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += BenchJsonString(fields_[i].first) + ": " + fields_[i].second;
    }
    return out + "}";
}

bool BenchArgs::parse(int argc, char** argv, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
            std::string value;
            if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
                value = argv[++i];
            }
            options_.emplace_back(arg.substr(2), value);
        } else if (mode_.empty() && !arg.empty() && arg[0] != '-') {
            mode_ = arg;
        } else {
            *error = "unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    return true;
}

bool BenchArgs::has(const std::string& name) const {
    for (const auto& option : options_) {
        if (option.first == name) {
            return true;
        }
    }
    return false;
}

std::string BenchArgs::text(const std::string& name, const std::string& fallback) const {
    for (const auto& option : options_) {
        if (option.first == name) {
            return option.second;
        }
    }
    return fallback;
}

int64_t BenchArgs::integer(const std::string& name, int64_t fallback) const {
    if (!has(name)) {
        return fallback;
    }
    std::string value = text(name);
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
        value.size() > 18) {
        return -1;
    }
    return std::stoll(value);
}
