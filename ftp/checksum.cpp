#include "checksum.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "platform.h"

namespace {

// Blocks this large keep the per-call cost of reading negligible against hashing.
constexpr uint32_t kFileBlock = 256 * 1024;

// ---------------------------------------------------------------------------------------------
// Words from bytes and back, whatever the machine's byte order. Compilers turn these into single
// loads and stores (with a byte swap where needed).

inline uint32_t LoadBig32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint32_t LoadLittle32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreBig32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void StoreLittle32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// n is always a constant between 1 and 31, so neither shift reaches the word's width.
inline uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// ---------------------------------------------------------------------------------------------
// SHA-256 (FIPS 180-4).

constexpr uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// One round. The eight working words rotate by renaming: the caller passes them shifted by one
// position each round instead of moving seven of them.
inline void Sha256Round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f,
                        uint32_t g, uint32_t& h, uint32_t kw) {
    uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + kw;
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

// The schedule word for round i >= 16, kept in a ring of sixteen.
inline uint32_t Sha256Schedule(uint32_t* w, int i) {
    uint32_t w15 = w[(i - 15) & 15];
    uint32_t w2 = w[(i - 2) & 15];
    uint32_t s0 = Rotr(w15, 7) ^ Rotr(w15, 18) ^ (w15 >> 3);
    uint32_t s1 = Rotr(w2, 17) ^ Rotr(w2, 19) ^ (w2 >> 10);
    w[i & 15] += s0 + w[(i - 7) & 15] + s1;
    return w[i & 15];
}

void Sha256Compress(uint32_t* state, const uint8_t* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
        w[i] = LoadBig32(block + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 16; i += 8) {
        Sha256Round(a, b, c, d, e, f, g, h, kSha256K[i + 0] + w[i + 0]);
        Sha256Round(h, a, b, c, d, e, f, g, kSha256K[i + 1] + w[i + 1]);
        Sha256Round(g, h, a, b, c, d, e, f, kSha256K[i + 2] + w[i + 2]);
        Sha256Round(f, g, h, a, b, c, d, e, kSha256K[i + 3] + w[i + 3]);
        Sha256Round(e, f, g, h, a, b, c, d, kSha256K[i + 4] + w[i + 4]);
        Sha256Round(d, e, f, g, h, a, b, c, kSha256K[i + 5] + w[i + 5]);
        Sha256Round(c, d, e, f, g, h, a, b, kSha256K[i + 6] + w[i + 6]);
        Sha256Round(b, c, d, e, f, g, h, a, kSha256K[i + 7] + w[i + 7]);
    }
    for (int i = 16; i < 64; i += 8) {
        Sha256Round(a, b, c, d, e, f, g, h, kSha256K[i + 0] + Sha256Schedule(w, i + 0));
        Sha256Round(h, a, b, c, d, e, f, g, kSha256K[i + 1] + Sha256Schedule(w, i + 1));
        Sha256Round(g, h, a, b, c, d, e, f, kSha256K[i + 2] + Sha256Schedule(w, i + 2));
        Sha256Round(f, g, h, a, b, c, d, e, kSha256K[i + 3] + Sha256Schedule(w, i + 3));
        Sha256Round(e, f, g, h, a, b, c, d, kSha256K[i + 4] + Sha256Schedule(w, i + 4));
        Sha256Round(d, e, f, g, h, a, b, c, kSha256K[i + 5] + Sha256Schedule(w, i + 5));
        Sha256Round(c, d, e, f, g, h, a, b, kSha256K[i + 6] + Sha256Schedule(w, i + 6));
        Sha256Round(b, c, d, e, f, g, h, a, kSha256K[i + 7] + Sha256Schedule(w, i + 7));
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// ---------------------------------------------------------------------------------------------
// SHA-1 (FIPS 180-4).

constexpr uint32_t kSha1Init[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

// Twenty rounds of one kind (f and its constant k) from round first on, five at a time with the
// working words rotated by renaming; the schedule is kept in a ring of sixteen words.
template <typename F>
inline void Sha1Rounds(uint32_t* w, int first, uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d,
                       uint32_t& e, uint32_t k, F f) {
    for (int i = first; i < first + 20; i += 5) {
        auto word = [&](int j) {
            if (j >= 16) {
                w[j & 15] =
                    Rotl(w[(j - 3) & 15] ^ w[(j - 8) & 15] ^ w[(j - 14) & 15] ^ w[j & 15], 1);
            }
            return w[j & 15];
        };
        e += Rotl(a, 5) + f(b, c, d) + k + word(i + 0);
        b = Rotl(b, 30);
        d += Rotl(e, 5) + f(a, b, c) + k + word(i + 1);
        a = Rotl(a, 30);
        c += Rotl(d, 5) + f(e, a, b) + k + word(i + 2);
        e = Rotl(e, 30);
        b += Rotl(c, 5) + f(d, e, a) + k + word(i + 3);
        d = Rotl(d, 30);
        a += Rotl(b, 5) + f(c, d, e) + k + word(i + 4);
        c = Rotl(c, 30);
    }
}

void Sha1Compress(uint32_t* state, const uint8_t* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
        w[i] = LoadBig32(block + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    auto choose = [](uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); };
    auto parity = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
    auto majority = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); };
    Sha1Rounds(w, 0, a, b, c, d, e, 0x5a827999, choose);
    Sha1Rounds(w, 20, a, b, c, d, e, 0x6ed9eba1, parity);
    Sha1Rounds(w, 40, a, b, c, d, e, 0x8f1bbcdc, majority);
    Sha1Rounds(w, 60, a, b, c, d, e, 0xca62c1d6, parity);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

// ---------------------------------------------------------------------------------------------
// MD5 (RFC 1321).

constexpr uint32_t kMd5Init[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

constexpr uint32_t kMd5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Sixteen steps of one round: f mixes b, c and d; message word j is (first + step * stride) mod
// 16; shifts holds the round's four rotation counts.
template <typename F>
inline void Md5Steps(const uint32_t* m, int round, int first, int stride, const int (&shifts)[4],
                     uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, F f) {
    for (int step = 0; step < 16; step += 4) {
        const uint32_t* k = kMd5K + 16 * round + step;
        a = b + Rotl(a + f(b, c, d) + k[0] + m[(first + stride * (step + 0)) & 15], shifts[0]);
        d = a + Rotl(d + f(a, b, c) + k[1] + m[(first + stride * (step + 1)) & 15], shifts[1]);
        c = d + Rotl(c + f(d, a, b) + k[2] + m[(first + stride * (step + 2)) & 15], shifts[2]);
        b = c + Rotl(b + f(c, d, a) + k[3] + m[(first + stride * (step + 3)) & 15], shifts[3]);
    }
}

void Md5Compress(uint32_t* state, const uint8_t* block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = LoadLittle32(block + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    constexpr int kShifts[4][4] = {
        {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    Md5Steps(m, 0, 0, 1, kShifts[0], a, b, c, d,
             [](uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); });
    Md5Steps(m, 1, 1, 5, kShifts[1], a, b, c, d,
             [](uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); });
    Md5Steps(m, 2, 5, 3, kShifts[2], a, b, c, d,
             [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; });
    Md5Steps(m, 3, 0, 7, kShifts[3], a, b, c, d,
             [](uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); });
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// ---------------------------------------------------------------------------------------------
// CRC-32 with the reflected polynomial 0xEDB88320 (zlib, Ethernet, XCRC), eight bytes a step
// through eight tables ("slicing by 8"), made at compile time.

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
    CrcTables tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        tables[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (size_t t = 1; t < 8; ++t) {
            uint32_t previous = tables[t - 1][n];
            tables[t][n] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t size) {
    const auto& t = kCrcTables;
    while (size >= 8) {
        uint32_t low = crc ^ LoadLittle32(p);
        uint32_t high = LoadLittle32(p + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0) {
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    }
    return crc;
}

// ---------------------------------------------------------------------------------------------
// Text helpers for the reply readers.

std::string HexOf(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex(2 * count, '0');
    for (size_t i = 0; i < count; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return hex;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsHex(const std::string& word) {
    if (word.empty()) {
        return false;
    }
    for (char c : word) {
        char l = Lower(c);
        if (!((l >= '0' && l <= '9') || (l >= 'a' && l <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string LowerText(std::string text) {
    for (char& c : text) {
        c = Lower(c);
    }
    return text;
}

// The lines of a text that ends its lines in LF, CR LF or CR, without the line ends.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (end < text.size() && text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// The words of the reply's last line that is not empty.
std::vector<std::string> LastLineWords(const std::string& reply) {
    std::vector<std::string> lines = Lines(reply);
    for (size_t i = lines.size(); i-- > 0;) {
        std::vector<std::string> words = Words(lines[i]);
        if (!words.empty()) {
            return words;
        }
    }
    return {};
}

// The algorithm a name stands for: letter case and hyphens do not matter ("sha256", "SHA-256").
bool KindFromName(const std::string& name, FtpDigestKind* kind) {
    std::string key;
    for (char c : name) {
        if (c != '-') {
            key += Upper(c);
        }
    }
    struct Name {
        const char* key;
        FtpDigestKind kind;
    };
    constexpr Name kNames[] = {{"SHA256", FtpDigestKind::Sha256},
                               {"SHA1", FtpDigestKind::Sha1},
                               {"MD5", FtpDigestKind::Md5},
                               {"CRC32", FtpDigestKind::Crc32}};
    for (const Name& known : kNames) {
        if (key == known.key) {
            *kind = known.kind;
            return true;
        }
    }
    return false;
}

// Decimal digits only, without overflowing 64 bits.
bool ParseUnsigned(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = result;
    return true;
}

// A word as the digest of kind: hexadecimal of the kind's length. A CRC-32 may come after "0x"
// and without its leading zeros, since some servers print it as a number. "" when it is none.
std::string DigestWord(std::string word, FtpDigestKind kind) {
    size_t wanted = FtpDigestHexLength(kind);
    if (kind == FtpDigestKind::Crc32) {
        if (word.size() > 2 && word[0] == '0' && Lower(word[1]) == 'x') {
            word.erase(0, 2);
        }
        if (IsHex(word) && word.size() < wanted) {
            word.insert(0, wanted - word.size(), '0');
        }
    }
    return IsHex(word) && word.size() == wanted ? LowerText(word) : "";
}

}  // namespace

const char* FtpDigestName(FtpDigestKind kind) {
    switch (kind) {
        case FtpDigestKind::Sha256:
            return "SHA-256";
        case FtpDigestKind::Sha1:
            return "SHA-1";
        case FtpDigestKind::Md5:
            return "MD5";
        case FtpDigestKind::Crc32:
            return "CRC32";
    }
    return "";
}

size_t FtpDigestHexLength(FtpDigestKind kind) {
    switch (kind) {
        case FtpDigestKind::Sha256:
            return 64;
        case FtpDigestKind::Sha1:
            return 40;
        case FtpDigestKind::Md5:
            return 32;
        case FtpDigestKind::Crc32:
            return 8;
    }
    return 0;
}

FtpDigest::FtpDigest(FtpDigestKind kind) : kind_(kind) {
    switch (kind) {
        case FtpDigestKind::Sha256:
            memcpy(state_, kSha256Init, sizeof kSha256Init);
            break;
        case FtpDigestKind::Sha1:
            memcpy(state_, kSha1Init, sizeof kSha1Init);
            break;
        case FtpDigestKind::Md5:
            memcpy(state_, kMd5Init, sizeof kMd5Init);
            break;
        case FtpDigestKind::Crc32:
            state_[0] = 0xFFFFFFFFu;
            break;
    }
}

void FtpDigest::compress(const uint8_t* block) {
    switch (kind_) {
        case FtpDigestKind::Sha256:
            Sha256Compress(state_, block);
            break;
        case FtpDigestKind::Sha1:
            Sha1Compress(state_, block);
            break;
        case FtpDigestKind::Md5:
            Md5Compress(state_, block);
            break;
        case FtpDigestKind::Crc32:
            break;
    }
}

void FtpDigest::update(const void* data, size_t size) {
    if (size == 0) {
        return;  // data may be null then, and memcpy must not see it
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    length_ += size;
    if (kind_ == FtpDigestKind::Crc32) {
        state_[0] = Crc32Update(state_[0], p, size);
        return;
    }
    if (blockUsed_ > 0) {
        size_t take = std::min(size, sizeof block_ - blockUsed_);
        memcpy(block_ + blockUsed_, p, take);
        blockUsed_ += take;
        p += take;
        size -= take;
        if (blockUsed_ < sizeof block_) {
            return;
        }
        compress(block_);
        blockUsed_ = 0;
    }
    // Whole blocks straight from the caller's bytes, one switch for all of them.
    size_t whole = size / 64;
    switch (kind_) {
        case FtpDigestKind::Sha256:
            for (size_t i = 0; i < whole; ++i) {
                Sha256Compress(state_, p + 64 * i);
            }
            break;
        case FtpDigestKind::Sha1:
            for (size_t i = 0; i < whole; ++i) {
                Sha1Compress(state_, p + 64 * i);
            }
            break;
        case FtpDigestKind::Md5:
            for (size_t i = 0; i < whole; ++i) {
                Md5Compress(state_, p + 64 * i);
            }
            break;
        case FtpDigestKind::Crc32:
            break;
    }
    p += 64 * whole;
    size -= 64 * whole;
    memcpy(block_, p, size);
    blockUsed_ = size;
}

std::string FtpDigest::hexLower() const {
    uint8_t out[32];
    if (kind_ == FtpDigestKind::Crc32) {
        // Written most significant byte first, as zlib and servers print the number.
        StoreBig32(out, state_[0] ^ 0xFFFFFFFFu);
        return HexOf(out, 4);
    }
    // Padding on a copy, so that the running digest goes on unchanged: a 1 bit, zeros, and the
    // message's length in bits in the last 8 bytes of a block.
    FtpDigest last = *this;
    uint64_t bits = length_ * 8;  // modulo 2^64, as the algorithms define it
    uint8_t pad[72] = {0x80};
    size_t padLength = (last.blockUsed_ < 56 ? 56 : 120) - last.blockUsed_;
    uint8_t* count = pad + padLength;
    for (int i = 0; i < 8; ++i) {
        int shift = kind_ == FtpDigestKind::Md5 ? 8 * i : 56 - 8 * i;
        count[i] = static_cast<uint8_t>(bits >> shift);
    }
    last.update(pad, padLength + 8);
    size_t words = kind_ == FtpDigestKind::Sha256 ? 8 : kind_ == FtpDigestKind::Sha1 ? 5 : 4;
    for (size_t i = 0; i < words; ++i) {
        if (kind_ == FtpDigestKind::Md5) {
            StoreLittle32(out + 4 * i, last.state_[i]);
        } else {
            StoreBig32(out + 4 * i, last.state_[i]);
        }
    }
    return HexOf(out, 4 * words);
}

bool FtpDigestFile(int32_t file, FtpDigestKind kind, int64_t offset, int64_t length,
                   std::string* hex) {
    if (offset < 0 || PlatFileSeek(file, offset, PLAT_FILE_BEGIN) != offset) {
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kFileBlock]);
    if (!buffer) {
        return false;
    }
    FtpDigest digest(kind);
    int64_t left = length;
    while (length < 0 || left > 0) {
        uint32_t want = length < 0 || left >= kFileBlock ? kFileBlock : static_cast<uint32_t>(left);
        int32_t got = PlatFileRead(file, buffer.get(), want);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            if (length >= 0) {
                return false;  // the file ends before the range does
            }
            break;
        }
        digest.update(buffer.get(), static_cast<size_t>(got));
        left -= got;
    }
    *hex = digest.hexLower();
    return true;
}

bool FtpDigestPath(const std::string& path, FtpDigestKind kind, std::string* hex) {
    int32_t file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return false;
    }
    bool read = FtpDigestFile(file, kind, 0, -1, hex);
    PlatFileClose(file);
    return read;
}

std::string FtpParseHashReply(const std::string& reply, FtpHashFacts* facts) {
    // 213 ALGORITHM START-END DIGEST [NAME]
    std::vector<std::string> words = LastLineWords(reply);
    FtpHashFacts read;
    if (words.size() < 4 || words[0] != "213" || !KindFromName(words[1], &read.kind)) {
        return "";
    }
    size_t dash = words[2].find('-');
    if (dash == std::string::npos || !ParseUnsigned(words[2].substr(0, dash), &read.start) ||
        !ParseUnsigned(words[2].substr(dash + 1), &read.end) || !IsHex(words[3])) {
        return "";
    }
    if (facts != nullptr) {
        *facts = read;
    }
    return LowerText(words[3]);
}

std::string FtpParseDigestReply(const std::string& reply, FtpDigestKind kind) {
    // 2xx DIGEST [NAME], or from a few servers 2xx NAME DIGEST.
    std::vector<std::string> words = LastLineWords(reply);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (words.size() < 2 || words[0].size() != 3 || words[0][0] != '2' ||
        !std::all_of(words[0].begin(), words[0].end(), digit)) {
        return "";
    }
    std::string digest = DigestWord(words[1], kind);
    if (digest.empty() && words.size() > 2) {
        digest = DigestWord(words.back(), kind);
    }
    return digest;
}

FtpHashFeature FtpParseHashFeature(const std::string& text) {
    FtpHashFeature feature;
    for (const std::string& line : Lines(text)) {
        size_t start = 0;
        while (start < line.size() && IsBlank(line[start])) {
            ++start;
        }
        size_t end = start;
        while (end < line.size() && !IsBlank(line[end])) {
            ++end;
        }
        if (LowerText(line.substr(start, end - start)) != "hash") {
            continue;
        }
        // SHA-256*;SHA-1;MD5;CRC32, the current choice marked with '*'.
        std::string list = line.substr(end);
        size_t at = 0;
        while (at <= list.size()) {
            size_t next = list.find(';', at);
            if (next == std::string::npos) {
                next = list.size();
            }
            std::vector<std::string> parts = Words(list.substr(at, next - at));
            at = next + 1;
            if (parts.size() != 1) {
                continue;
            }
            std::string name = parts[0];
            bool current = name.back() == '*';
            if (current) {
                name.pop_back();
            }
            FtpDigestKind kind = FtpDigestKind::Sha256;
            if (!KindFromName(name, &kind)) {
                continue;
            }
            bool seen = false;
            for (FtpDigestKind offered : feature.offered) {
                seen = seen || offered == kind;
            }
            if (!seen) {
                feature.offered.push_back(kind);
            }
            if (current) {
                feature.selected = kind;
            }
        }
        break;
    }
    return feature;
}
