// What the server offers (FEAT, RFC 2389), asked once per connection, and the commands that
// depend on it: OPTS UTF8 ON and SIZE.

#include <cstdio>
#include <cstring>
#include <string>

#include "listing_parser.h"
#include "session_internal.h"

namespace {

// True when the feature line (" MLST type*;size*;", " UTF8") names feature, in any case.
bool Names(const std::string& line, const char* feature) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') {
        ++i;
    }
    const size_t n = strlen(feature);
    if (line.size() - i < n) {
        return false;
    }
    for (size_t k = 0; k < n; ++k) {
        const char c = line[i + k];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != feature[k]) {
            return false;
        }
    }
    return i + n == line.size() || line[i + n] == ' ';
}

// The code's result for a reply to a command that may be refused: 550 as "not taken", the
// syntax and not-implemented replies as "cannot execute".
int32_t Refusal(int32_t code) {
    if (code == 550 || code == 450 || code == 553) {
        return FTP_ACTION_NOT_TAKEN;
    }
    return code >= 500 && code <= 504 ? FTP_COMMAND_NOT_EXECUTED : FTP_UNEXPECTED_ANSWER;
}

}  // namespace

int32_t FtpAskFeatures(FtpSession* session) {
    FtpConnection& c = session->connection;
    if (c.featuresKnown) {
        return FTP_OK;
    }
    int32_t code = 0;
    const int32_t result = FtpExchange(session, "FEAT", &code);
    if (result != FTP_OK) {
        return result;
    }
    c.featuresKnown = true;
    if (code != 211) {
        return FTP_OK;  // a server without FEAT offers nothing beyond RFC 959
    }
    // One feature per inner line, each starting with a blank.
    c.featureText = c.channel.replyText();
    c.featureMlst = FtpFeatureOffered(c, "MLST");
    c.featureSize = FtpFeatureOffered(c, "SIZE");
    c.featureUtf8 = FtpFeatureOffered(c, "UTF8");
    c.featureMdtm = FtpFeatureOffered(c, "MDTM");
    return FTP_OK;
}

bool FtpFeatureOffered(const FtpConnection& connection, const char* feature) {
    const std::string& text = connection.featureText;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == ' ' && Names(line, feature)) {
            return true;
        }
    }
    return false;
}

int32_t FtpFeaturesAfterLogin(FtpSession* session) {
    int32_t result = FtpAskFeatures(session);
    if (result != FTP_OK || !session->connection.featureUtf8) {
        return result;
    }
    // A server that offers UTF8 uses it for names whatever it answers here (RFC 2640); some
    // want to be told before they switch.
    int32_t code = 0;
    return FtpExchange(session, "OPTS UTF8 ON", &code);
}

int32_t FtpRemoteSize(FtpSession* session, const char* remote, uint64_t* size) {
    // Sizes in ASCII type would count line ends the server converts; some servers refuse SIZE
    // in it altogether.
    int32_t result = FtpSelectType('I', session->sessionKey);
    if (result != FTP_OK) {
        return result;
    }
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, "SIZE %s", remote) != FTP_OK) {
        return FTP_BAD_PARAMETERS;
    }
    int32_t code = 0;
    result = FtpExchange(session, line, &code);
    if (result != FTP_OK) {
        return result;
    }
    if (code != 213) {
        return Refusal(code);
    }
    // "213 5000000000": every digit counts, at any size.
    const char* p = FtpReplyTail(session->connection.channel.replyText());
    uint64_t value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return FTP_UNEXPECTED_ANSWER;
        }
        value = value * 10 + digit;
    }
    if (digits == 0) {
        return FTP_UNEXPECTED_ANSWER;
    }
    *size = value;
    return FTP_OK;
}

int32_t FtpRemoteTime(FtpSession* session, const char* remote, std::string* stamp) {
    stamp->clear();
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, "MDTM %s", remote) != FTP_OK) {
        return FTP_BAD_PARAMETERS;
    }
    int32_t code = 0;
    const int32_t result = FtpExchange(session, line, &code);
    if (result != FTP_OK || code != 213) {
        return result;
    }
    // "213 20240229131415", perhaps with a fraction of a second: read as the fact it is.
    FtpFacts facts;
    const std::string fact =
        std::string("modify=") + FtpReplyTail(session->connection.channel.replyText()) + "; x";
    if (FtpParseFactLine(fact.c_str(), &facts)) {
        *stamp = facts.modify;
    }
    return FTP_OK;
}

int32_t FtpRefusalResult(int32_t code) {
    return Refusal(code);
}
