// Listing lines of real servers' shapes, read into fact lines.

#include "listing_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const FtpClock kToday{2024, 3, 10};

struct Shape {
    const char* line;
    const char* facts;  // nullptr: no parser reads the line
};

TEST(ListingParser, UnixAndWindowsShapesBecomeFactLines) {
    const Shape shapes[] = {
        // GNU ls, vsftpd, pyftpdlib, proftpd, pure-ftpd: both time forms.
        {"-rw-r--r--    1 0        0         1048576 Feb 29 13:14 d.bin",
         "type=file;size=1048576;modify=20240229131400; d.bin"},
        {"-rw-r--r--   1 owner group 5000000000 Jan  1  2020 big.iso",
         "type=file;size=5000000000;modify=20200101000000; big.iso"},
        {"drwxr-xr-x    2 ftp      ftp          4096 Mar 11 09:05 pics",
         "type=dir;modify=20240311090500; pics"},
        // Later than tomorrow with a time of day: last year.
        {"-rw-r--r--    1 ftp      ftp             3 Dec 24 18:00 gift",
         "type=file;size=3;modify=20231224180000; gift"},
        {"-rw-r--r--   1 user  staff  12 Mar  1 10:00 name with  two spaces ",
         "type=file;size=12;modify=20240301100000; name with  two spaces "},
        {"lrwxrwxrwx    1 0        0               7 Mar 01  2023 latest -> d.bin",
         "type=OS.unix=symlink;modify=20230301000000; latest"},
        {"-rw-------  1 500 500 0 Feb 28 23:59 empty",
         "type=file;size=0;modify=20240228235900; empty"},
        // No group column (some embedded servers), ACL mark, upper-case month.
        {"-rw-r--r-- 1 ftp 77 JUN 30 2022 nogroup.txt",
         "type=file;size=77;modify=20220630000000; nogroup.txt"},
        {"-rw-r--r--+ 1 u g 9 Sep  9  2021 acl", "type=file;size=9;modify=20210909000000; acl"},
        {"-rw-r--r--    1 0 0 4 Mar 10 12:00 \xc3\xa9t\xc3\xa9.txt",
         "type=file;size=4;modify=20240310120000; \xc3\xa9t\xc3\xa9.txt"},
        // An owner named like a month, a numeric group: the date is the one before the name.
        {"-rw-r--r-- 1 may 31 2048 Jan  1  2020 x", "type=file;size=2048;modify=20200101000000; x"},
        {"-rw-r--r--    1 may      20          512 Mar  1 10:00 notes",
         "type=file;size=512;modify=20240301100000; notes"},
        {"drwxr-xr-x 2 jan 7 4096 Dec 24 2023 Dec 24 2023",
         "type=dir;modify=20231224000000; Dec 24 2023"},
        // A name that holds a date of its own is still the name.
        {"-rw-r--r-- 1 u g 5 Feb  2  2021 7 Jan 1 2020 x",
         "type=file;size=5;modify=20210202000000; 7 Jan 1 2020 x"},
        {"-rw-r--r-- 1 ftp 77 JUN 30 2022 9 Jan 1 2020", "type=file;size=77;modify=20220630000000; 9 Jan 1 2020"},
        // A device: no type or size a script could use, the time still.
        {"crw-rw-rw-    1 0 0 1, 3 Mar 10  2020 null", "modify=20200310000000; null"},
        // IIS and other Windows servers.
        {"02-29-24  01:14PM       <DIR>          My Pictures",
         "type=dir;modify=20240229131400; My Pictures"},
        {"02-29-24  12:05AM              1048576 d.bin",
         "type=file;size=1048576;modify=20240229000500; d.bin"},
        {"12-31-99  11:59PM                   10 y2k.txt",
         "type=file;size=10;modify=19991231235900; y2k.txt"},
        {"03-01-2024  09:30          5000000000 four digit year.iso",
         "type=file;size=5000000000;modify=20240301093000; four digit year.iso"},
        {"03-01-24  09:30 AM          7 spaced ampm",
         "type=file;size=7;modify=20240301093000; spaced ampm"},
        // Not entries, or nothing a parser reads: given as they came, without facts.
        {"02-30-24  01:14PM  5 bad-date", " 02-30-24  01:14PM  5 bad-date"},
        {"13-01-24  01:14PM  5 bad-month", " 13-01-24  01:14PM  5 bad-month"},
        {"-rw-r--r-- 1 u g 99999999999999999999999 Jan 1 2020 huge",
         " -rw-r--r-- 1 u g 99999999999999999999999 Jan 1 2020 huge"},
        {"+i8388621.48594,m825718503,r,s280,\tdjb.html",
         " +i8388621.48594,m825718503,r,s280,\tdjb.html"},
    };
    for (const Shape& s : shapes) {
        EXPECT_EQ(FtpListingToFacts(std::string(s.line) + "\r\n", false, kToday),
                  std::string(s.facts) + "\r\n")
            << s.line;
    }
}

TEST(ListingParser, ListingDropsTotalsBlanksAndSelfEntries) {
    const std::string listing =
        "total 8\r\n"
        "drwxr-xr-x 2 0 0 4096 Mar 10 12:00 .\r\n"
        "drwxr-xr-x 2 0 0 4096 Mar 10 12:00 ..\r\n"
        "\r\n"
        "-rw-r--r-- 1 0 0 1 Mar 10 12:00 a\n";
    EXPECT_EQ(FtpListingToFacts(listing, false, kToday),
              "type=file;size=1;modify=20240310120000; a\r\n");
}

TEST(ListingParser, MachineEntriesKeepTypeSizeAndModifyInOneForm) {
    const std::string listing =
        "type=cdir;perm=el;unique=803U1; .\r\n"
        "type=pdir;modify=20240101000000; ..\r\n"
        "Type=File;Size=5000000000;Modify=20240229131415.123;Perm=r; d e.bin\r\n"
        "modify=20240101010101;perm=fle;type=dir;sizd=4096;size=4096; sub\r\n"
        "type=OS.unix=slink:/x;size=3; link\r\n"
        "type=file;size=12x;modify=2024; odd\r\n"
        "no-facts-here\r\n"
        " bare name\r\n";
    EXPECT_EQ(FtpListingToFacts(listing, true, kToday),
              "type=file;size=5000000000;modify=20240229131415; d e.bin\r\n"
              "type=dir;modify=20240101010101; sub\r\n"
              "type=OS.unix=slink:/x;size=3; link\r\n"
              "type=file; odd\r\n"
              " no-facts-here\r\n"
              " bare name\r\n");
}

}  // namespace
