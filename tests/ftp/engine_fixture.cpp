#include "engine_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ktest {

TempDir::TempDir() {
    char pattern[] = "/tmp/kestrel-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x & 0xFF);
    }
    return bytes;
}

}  // namespace ktest
