// Reading a listing file back line by line.

#include "text_line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"

namespace {

// Writes bytes to a temporary file and reads every line of it back with the given capacity.
std::vector<std::string> ReadAll(const std::string& bytes, uint32_t capacity = 256) {
    char path[] = "/tmp/kestrel-lines-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    std::vector<std::string> lines;
    int32_t file = PlatFileOpen(path, PLAT_OF_READ);
    EXPECT_NE(file, PLAT_FILE_ERROR);
    std::vector<char> buffer(capacity + 1, '#');
    while (ReadTextLine(file, buffer.data(), capacity)) {
        lines.emplace_back(buffer.data());
        EXPECT_LT(lines.back().size(), capacity);
        EXPECT_LT(lines.size(), 1000u) << "no end";
        if (lines.size() >= 1000) {
            break;
        }
    }
    PlatFileClose(file);
    unlink(path);
    return lines;
}

using Lines = std::vector<std::string>;

TEST(ReadTextLine, StripsLineEndsAndKeepsEmptyLines) {
    EXPECT_EQ(ReadAll("one\r\ntwo\n\r\n\nthree\r\n"), (Lines{"one", "two", "", "", "three"}));
}

TEST(ReadTextLine, DeliversALastLineWithoutLineFeedOnce) {
    EXPECT_EQ(ReadAll("one\r\nlast"), (Lines{"one", "last"}));
    EXPECT_EQ(ReadAll("only"), (Lines{"only"}));
    EXPECT_EQ(ReadAll(""), Lines{});
}

TEST(ReadTextLine, SplitsAnOverlongLineIntoPiecesOfCapacityLessOne) {
    std::string line300(300, 'x');
    line300[0] = 'a';
    line300[255] = 'b';
    Lines lines = ReadAll(line300 + "\r\nnext\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], line300.substr(0, 255));
    EXPECT_EQ(lines[1], line300.substr(255));
    EXPECT_EQ(lines[1].size(), 45u);
    EXPECT_EQ(lines[2], "next");
    // A smaller capacity cuts smaller pieces and still loses nothing.
    EXPECT_EQ(ReadAll("abcdefg\nhi\n", 4), (Lines{"abc", "def", "g", "hi"}));
}

TEST(ReadTextLine, RefusesInvalidArguments) {
    char buffer[8];
    EXPECT_FALSE(ReadTextLine(PLAT_FILE_ERROR, buffer, sizeof buffer));
    int32_t file = PlatFileOpen("/dev/null", PLAT_OF_READ);
    ASSERT_NE(file, PLAT_FILE_ERROR);
    EXPECT_FALSE(ReadTextLine(file, nullptr, 8));
    EXPECT_FALSE(ReadTextLine(file, buffer, 0));
    EXPECT_FALSE(ReadTextLine(file, buffer, sizeof buffer));  // end of file
    PlatFileClose(file);
}

}  // namespace
