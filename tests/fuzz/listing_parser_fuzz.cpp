// Fuzz target for the listing parser. The first byte chooses the form (LIST lines or machine
// entries) and the date taken as today; the rest is the listing. Every output line must end in
// CR LF and hold no other line break, and every line with facts must read back as the same
// facts, so that what a script gets is always in the one form.
//
// Run for 60 seconds (new inputs go to the first directory, seeds come from the second):
//   build/fuzz/tests/fuzz/listing_parser_fuzz -max_total_time=60 /tmp/lcorpus tests/fuzz/listings

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "listing_parser.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "listing_parser_fuzz: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool mlsd = (data[0] & 1) != 0;
    // Any day of any month, leap days and year ends included.
    const FtpClock today{1990 + (data[0] >> 1) % 60, 1 + (data[0] >> 2) % 12,
                         1 + (data[0] >> 3) % 28};
    const std::string listing(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string facts = FtpListingToFacts(listing, mlsd, today);

    size_t at = 0;
    while (at < facts.size()) {
        const size_t end = facts.find("\r\n", at);
        Check(end != std::string::npos, "a line without CR LF");
        const std::string line = facts.substr(at, end - at);
        at = end + 2;
        Check(line.find_first_of("\r\n") == std::string::npos, "a line break inside a line");
        Check(!line.empty(), "an empty line");
        if (line[0] == ' ') {
            continue;  // a line given as it came, without facts
        }
        FtpFacts read;
        Check(FtpParseFactLine(line.c_str(), &read), "a fact line that does not read back");
        Check(FtpFormatFacts(read) == line, "a fact line that reads back differently");
        Check(!FtpIsSelfOrParent(read), "a self or parent entry given");
        Check(read.modify.empty() || read.modify.size() == 14, "a time of the wrong length");
    }
    return 0;
}
