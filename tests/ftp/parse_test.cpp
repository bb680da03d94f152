// The text helpers of the data connection: PORT formatting and the announced size.

#include <gtest/gtest.h>

#include <cstring>

#include "data_connection.h"

namespace {

uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d) {
    unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                              static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;  // network order: the first byte of the dotted form first
}

TEST(PortLine, FormatsAddressBytesAndPortHalves) {
    char line[32];
    ASSERT_TRUE(FtpFormatPort(line, sizeof line, Address(192, 168, 1, 5), 19 * 256 + 137));
    EXPECT_STREQ(line, "PORT 192,168,1,5,19,137");
    ASSERT_TRUE(FtpFormatPort(line, sizeof line, Address(255, 255, 255, 255), 65535));
    EXPECT_STREQ(line, "PORT 255,255,255,255,255,255");
    EXPECT_FALSE(FtpFormatPort(line, 10, Address(1, 2, 3, 4), 80));
}

TEST(AnnouncedSize, ReadsTheDigitsBeforeBytes) {
    struct Case {
        const char* reply;
        int64_t size;
    };
    const Case cases[] = {
        {"150 Opening BINARY mode data connection for a.bin (512 Bytes)", 512},
        {"125 Data connection already open; 7 bytes", 7},
        {"150 Opening data connection", 0},
        {"150 file (0 bytes)", 0},
        {"150 file (512bytes)", 0},  // no blank: no size
        {"226 Transfer complete (512 bytes)", 0},
        {"150 (2147483647 bytes)", 2147483647},
        {"150 (2147483648 bytes)", 2147483648},
        {"150 (4294967297 bytes)", 4294967297},
        {"150 (9223372036854775807 bytes)", INT64_MAX},
        {"150 (9223372036854775808 bytes)", 0},  // beyond 63 bits: unknown, never negative
        {"150 (99999999999999999999 bytes)", 0},
        {"150 MIXED Case (3 BYTES)", 3},
        {"226 Transfer complete (3 bytes)", 0},
        {"15", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        char text[128];
        strcpy(text, c.reply);
        EXPECT_EQ(FtpParseSizeText(text), c.size) << c.reply;
    }
}

}  // namespace
