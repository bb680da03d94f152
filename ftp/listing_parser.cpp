// The listing forms servers use, read into facts. Every read is bounded by the line's own NUL
// and every number is checked against its range, since the lines come from the server.

#include "listing_parser.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameLower(const std::string& text, const char* lower) {
    if (text.size() != strlen(lower)) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (Lower(text[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

// Reads all of text as a decimal number that fits in 64 bits.
bool ParseUnsigned(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t n = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) {
            return false;
        }
        n = n * 10 + digit;
    }
    *value = n;
    return true;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
    static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// "YYYYMMDDHHMMSS" when every part is in range, else "".
std::string Stamp(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                  int32_t second) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60) {
        return "";
    }
    char text[40];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", static_cast<int>(year),
             static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour),
             static_cast<int>(minute), static_cast<int>(second));
    return text;
}

// A number of 1 to maxDigits digits, all of text.
bool SmallNumber(const std::string& text, size_t maxDigits, int32_t* value) {
    uint64_t n = 0;
    if (text.size() > maxDigits || !ParseUnsigned(text, &n)) {
        return false;
    }
    *value = static_cast<int32_t>(n);
    return true;
}

// Splits line into blank-separated words, remembering where each begins.
struct Word {
    std::string text;
    size_t start;
    size_t end;
};

std::vector<Word> Words(const std::string& line) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsSpace(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        const size_t start = i;
        while (i < line.size() && !IsSpace(line[i])) {
            ++i;
        }
        words.push_back({line.substr(start, i - start), start, i});
    }
    return words;
}

int32_t MonthNumber(const std::string& word) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int32_t m = 0; m < 12; ++m) {
        if (SameLower(word, months[m])) {
            return m + 1;
        }
    }
    return 0;
}

// "HH:MM" into hour and minute.
bool ClockTime(const std::string& word, int32_t* hour, int32_t* minute) {
    const size_t colon = word.find(':');
    return colon != std::string::npos && SmallNumber(word.substr(0, colon), 2, hour) &&
           SmallNumber(word.substr(colon + 1), 2, minute);
}

// Day number of a date, for comparing dates only.
int64_t DayIndex(int32_t year, int32_t month, int32_t day) {
    return static_cast<int64_t>(year) * 372 + (month - 1) * 31 + (day - 1);
}

// The date of a Unix line whose month is word m: the size before it, then the day and the year
// or time of day. False when those words are not a date.
bool DateAt(const std::vector<Word>& words, size_t m, const FtpClock& today, uint64_t* size,
            std::string* stamp) {
    const int32_t month = MonthNumber(words[m].text);
    int32_t day = 0;
    if (month == 0 || !SmallNumber(words[m + 1].text, 2, &day) ||
        !ParseUnsigned(words[m - 1].text, size)) {
        return false;
    }
    const std::string& when = words[m + 2].text;
    int32_t year = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    if (ClockTime(when, &hour, &minute)) {
        // Within the last half year: the latest such date that is not after tomorrow.
        year = today.year;
        if (DayIndex(year, month, day) > DayIndex(today.year, today.month, today.day) + 1) {
            --year;
        }
    } else if (!SmallNumber(when, 4, &year)) {
        return false;
    }
    *stamp = Stamp(year, month, day, hour, minute, 0);
    return !stamp->empty();  // else not a date: the columns were misread
}

// The columns before the date: the permissions, then the links, owner, group and size (a
// device's two numbers in its place); some servers leave out the links or the group. The
// month is word 6 at most, unless an owner or group holds blanks.
constexpr size_t LAST_MONTH_WORD = 6;

bool ParseUnixLine(const std::string& line, const FtpClock& today, FtpFacts* facts) {
    const std::vector<Word> words = Words(line);
    // Permissions, then somewhere the size, month, day and year-or-time, then the name.
    if (words.size() < 6 || words[0].text.size() < 10) {
        return false;
    }
    const char kind = words[0].text[0];
    if (strchr("-dlbcps", kind) == nullptr) {
        return false;
    }
    // The date is the one nearest the name among those where the columns allow it, so that an
    // owner named like a month ("may 20 512 Mar 1 10:00") is not taken for one; beyond them the
    // first one, since a name may hold a date of its own.
    size_t found = 0;
    uint64_t size = 0;
    std::string stamp;
    for (size_t m = 2; m + 2 < words.size() && (found == 0 || m <= LAST_MONTH_WORD); ++m) {
        uint64_t atSize = 0;
        std::string atStamp;
        if (DateAt(words, m, today, &atSize, &atStamp)) {
            found = m;
            size = atSize;
            stamp = atStamp;
        }
    }
    // The name starts one blank after the year or time; the rest of the line is the name.
    if (found == 0 || words[found + 2].end + 1 >= line.size()) {
        return false;
    }
    std::string name = line.substr(words[found + 2].end + 1);
    if (kind == 'l') {
        const size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos) {
            name.resize(arrow);
        }
    }
    if (name.empty()) {
        return false;
    }
    facts->type = kind == '-'   ? "file"
                  : kind == 'd' ? "dir"
                  : kind == 'l' ? "OS.unix=symlink"
                                : "";
    // A link's size is the length of its target's name, not a size of the file.
    facts->hasSize = kind == '-';
    facts->size = size;
    facts->modify = stamp;
    facts->name = name;
    return true;
}

// "02-29-24" or "02-29-2024" (month first, as Windows servers write it).
bool WindowsDate(const std::string& word, int32_t* year, int32_t* month, int32_t* day) {
    if (word.size() != 8 && word.size() != 10) {
        return false;
    }
    if (word[2] != '-' || word[5] != '-' || !SmallNumber(word.substr(0, 2), 2, month) ||
        !SmallNumber(word.substr(3, 2), 2, day) || !SmallNumber(word.substr(6), 4, year)) {
        return false;
    }
    if (word.size() == 8) {
        *year += *year < 70 ? 2000 : 1900;
    }
    return true;
}

// "01:14PM", "01:14 PM" (then ampm is the next word) or "13:14".
bool WindowsTime(std::string word, const std::string& next, bool* usedNext, int32_t* hour,
                 int32_t* minute) {
    *usedNext = false;
    std::string half;
    if (word.size() > 2 && !IsDigit(word.back())) {
        half = word.substr(word.size() - 2);
        word.resize(word.size() - 2);
    } else if (SameLower(next, "am") || SameLower(next, "pm")) {
        half = next;
        *usedNext = true;
    }
    if (!ClockTime(word, hour, minute)) {
        return false;
    }
    if (!half.empty()) {
        const bool pm = SameLower(half, "pm");
        if (!pm && !SameLower(half, "am")) {
            return false;
        }
        if (*hour < 1 || *hour > 12) {
            return false;
        }
        *hour = *hour % 12 + (pm ? 12 : 0);
    }
    return true;
}

bool ParseWindowsLine(const std::string& line, FtpFacts* facts) {
    const std::vector<Word> words = Words(line);
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    bool usedNext = false;
    if (words.size() < 4 || !WindowsDate(words[0].text, &year, &month, &day) ||
        !WindowsTime(words[1].text, words[2].text, &usedNext, &hour, &minute)) {
        return false;
    }
    const size_t sizeWord = usedNext ? 3 : 2;
    const std::string stamp = Stamp(year, month, day, hour, minute, 0);
    if (sizeWord + 1 >= words.size() || stamp.empty()) {
        return false;
    }
    const std::string& what = words[sizeWord].text;
    uint64_t size = 0;
    const bool isDir = what == "<DIR>";
    if (!isDir && !ParseUnsigned(what, &size)) {
        return false;
    }
    // The name starts at its first non-blank character; blanks inside and after it are kept.
    facts->name = line.substr(words[sizeWord + 1].start);
    facts->type = isDir ? "dir" : "file";
    facts->hasSize = !isDir;
    facts->size = size;
    facts->modify = stamp;
    return true;
}

// Without its trailing CR.
std::string Trimmed(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string FtpFormatFacts(const FtpFacts& facts) {
    std::string line;
    if (!facts.type.empty()) {
        line += "type=" + facts.type + ";";
    }
    if (facts.hasSize) {
        line += "size=" + std::to_string(facts.size) + ";";
    }
    if (!facts.modify.empty()) {
        line += "modify=" + facts.modify + ";";
    }
    return line + " " + facts.name;
}

bool FtpParseFactLine(const char* text, FtpFacts* facts) {
    const std::string line = Trimmed(text);
    // Facts hold no blanks: they end at the first blank, which the name follows.
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || blank + 1 >= line.size()) {
        return false;
    }
    FtpFacts out;
    out.name = line.substr(blank + 1);
    const std::string list = line.substr(0, blank);
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(';', at);
        if (end == std::string::npos) {
            return false;  // every fact ends in ";"
        }
        const std::string fact = list.substr(at, end - at);
        at = end + 1;
        const size_t equals = fact.find('=');
        if (equals == std::string::npos || equals == 0) {
            return false;
        }
        const std::string name = fact.substr(0, equals);
        std::string value = fact.substr(equals + 1);
        if (SameLower(name, "type")) {
            for (const char* standard : {"file", "dir", "cdir", "pdir"}) {
                if (SameLower(value, standard)) {
                    value = standard;
                }
            }
            out.type = value;
        } else if (SameLower(name, "size")) {
            out.hasSize = ParseUnsigned(value, &out.size);
        } else if (SameLower(name, "modify")) {
            int32_t parts[6] = {};
            const int32_t widths[6] = {4, 2, 2, 2, 2, 2};
            size_t p = 0;
            bool ok = value.size() >= 14;
            for (int i = 0; ok && i < 6; ++i) {
                ok = SmallNumber(value.substr(p, static_cast<size_t>(widths[i])),
                                 static_cast<size_t>(widths[i]), &parts[i]);
                p += static_cast<size_t>(widths[i]);
            }
            // Fractions of a second (".123") are dropped; anything else after them is not a time.
            ok = ok && (value.size() == 14 || value[14] == '.');
            out.modify =
                ok ? Stamp(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]) : "";
        }
    }
    // A directory's size is that of its listing, if anything: no size of a file. Left out, as
    // the listing forms without it do.
    if (out.type == "dir") {
        out.hasSize = false;
    }
    *facts = out;
    return true;
}

bool FtpParseListLine(const char* text, const FtpClock& today, FtpFacts* facts) {
    const std::string line = Trimmed(text);
    FtpFacts out;
    if (ParseUnixLine(line, today, &out) || ParseWindowsLine(line, &out)) {
        *facts = out;
        return true;
    }
    return false;
}

bool FtpIsSelfOrParent(const FtpFacts& facts) {
    return facts.name == "." || facts.name == ".." || facts.type == "cdir" || facts.type == "pdir";
}

FtpClock FtpToday() {
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
    const auto now = std::chrono::system_clock::now();
    const int64_t days =
        std::chrono::duration_cast<std::chrono::hours>(now.time_since_epoch()).count() / 24;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    FtpClock today;
    today.day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    today.month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    today.year = static_cast<int32_t>(yoe + era * 400 + (today.month <= 2 ? 1 : 0));
    return today;
}

std::string FtpListingToFacts(const std::string& listing, bool mlsd, const FtpClock& today) {
    std::string out;
    size_t at = 0;
    while (at < listing.size()) {
        // A lone CR ends a line too: no name can carry one into a line of CR LF lines.
        size_t end = listing.find_first_of("\r\n", at);
        if (end == std::string::npos) {
            end = listing.size();
        }
        const std::string line = listing.substr(at, end - at);
        at = end + 1;
        if (line.empty()) {
            continue;
        }
        FtpFacts facts;
        const bool read = mlsd ? FtpParseFactLine(line.c_str(), &facts)
                               : FtpParseListLine(line.c_str(), today, &facts);
        if (read) {
            if (!FtpIsSelfOrParent(facts)) {
                out += FtpFormatFacts(facts) + "\r\n";
            }
            continue;
        }
        if (!mlsd && line.compare(0, 6, "total ") == 0) {
            continue;
        }
        out += " " + line + "\r\n";
    }
    return out;
}
