// Names between the host's code page and UTF-8: unchanged where the host's texts are UTF-8
// (POSIX); through code page 1252 in the Windows suite under Wine.

#include <gtest/gtest.h>

#include "code_pages.h"

namespace {

TEST(Names, HostTextAndUtf8ConvertBothWaysAndLackingCharactersBecomeQuestionMarks) {
    const std::string utf8 = "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.bin";  // "été €.bin"
    if (PlatHostTextIsUtf8()) {
        EXPECT_EQ(PlatHostToUtf8(utf8), utf8);
        EXPECT_EQ(PlatUtf8ToHost(utf8), utf8);
        EXPECT_EQ(PlatUtf8ToHost("\xff\xfe"), "\xff\xfe");
        return;
    }
    const std::string ansi = "\xe9t\xe9 \x80.bin";
    EXPECT_EQ(PlatHostToUtf8(ansi), utf8);
    EXPECT_EQ(PlatUtf8ToHost(utf8), ansi);
    // A character 1252 lacks, without a best-fit look-alike.
    EXPECT_EQ(PlatUtf8ToHost("\xe4\xb8\xad \xc4\x81.txt"), "? ?.txt");
    // Not UTF-8 at all: left as the server sent it.
    EXPECT_EQ(PlatUtf8ToHost("\xff\xfe.txt"), "\xff\xfe.txt");
    EXPECT_EQ(PlatHostToUtf8("plain"), "plain");
}

}  // namespace
