// Directory entries as fact lines: the facts of one entry (type, size, modification time, name)
// read from an MLST/MLSD fact line, a Unix "ls -l" line or a Windows-server listing line, and
// written back in the one form scripts get:
//
//     type=file;size=1048576;modify=20240229131415; d.bin
//
// Fact names in lower case, in that order, each only when known; "; " then the name. Pure
// functions of their text, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

struct FtpFacts {
    std::string type;  // "file", "dir", "OS.unix=symlink" or what the server said; "" unknown
    bool hasSize = false;
    uint64_t size = 0;
    std::string modify;  // YYYYMMDDHHMMSS in UTC, "" unknown
    std::string name;
};

// A calendar date and time, for the listing forms that leave out the year.
struct FtpClock {
    int32_t year = 1970;
    int32_t month = 1;  // 1 to 12
    int32_t day = 1;
};

// The fact line of facts: "type=..;size=..;modify=..; name", facts left out when unknown.
std::string FtpFormatFacts(const FtpFacts& facts);

// Reads an RFC 3659 entry ("Type=file;Size=5;Modify=20240229131415.123; name"). Fact names in
// any case; the type's value is lowered when it is one of the standard ones; fractions of a
// second are dropped. False when the text is not such an entry.
bool FtpParseFactLine(const char* line, FtpFacts* facts);

// Reads one line of a LIST reply: a Unix "ls -l" line (with the year or with the time of day,
// which then means the latest such date not after today + 1 day; names with spaces; a symbolic
// link's "name -> target" gives name), or a Windows-server line ("02-29-24  01:14PM  <DIR>  x").
// Times are taken as UTC, since the listing says nothing of the server's zone. False for lines
// that name no entry in either form ("total 12", blank lines, anything else).
bool FtpParseListLine(const char* line, const FtpClock& today, FtpFacts* facts);

// True for entries a fact listing leaves out: "." and "..", and the cdir and pdir types.
bool FtpIsSelfOrParent(const FtpFacts& facts);

// Today's date in UTC.
FtpClock FtpToday();

// Turns a whole listing (lines ending in CR LF, LF or a lone CR) into fact lines, one per entry,
// each ending in CR LF. mlsd: the listing holds RFC 3659 entries; else LIST lines. A line that no
// parser reads is kept as a fact line without facts: a space and the line as it came.
// "total N" lines and empty lines are left out, and so are "." and "..".
std::string FtpListingToFacts(const std::string& listing, bool mlsd, const FtpClock& today);
