// Checking a transfer against the server's view of the file.

#include "verify.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "checksum.h"
#include "listing_parser.h"
#include "session_internal.h"

int32_t FtpServerSize(FtpSession* session, const char* remote, int64_t* size) {
    FtpConnection& c = session->connection;
    int32_t result = FtpAskFeatures(session);
    if (result != FTP_OK) {
        return result;
    }
    // A server without FEAT may still know SIZE; one whose FEAT leaves it out is not asked.
    uint64_t value = 0;
    result = FTP_COMMAND_NOT_EXECUTED;
    if (c.featureText.empty() || c.featureSize) {
        result = FtpRemoteSize(session, remote, &value);
    }
    if (result == FTP_COMMAND_NOT_EXECUTED) {
        if (!c.featureMlst) {
            return FTP_COMMAND_NOT_EXECUTED;
        }
        FtpFacts facts;
        result = FtpAskMlst(session, remote, &facts);
        if (result != FTP_OK) {
            return result == FTP_UNEXPECTED_ANSWER ? FTP_COMMAND_NOT_EXECUTED : result;
        }
        if (!facts.hasSize) {
            return FTP_COMMAND_NOT_EXECUTED;
        }
        value = facts.size;
    } else if (result != FTP_OK) {
        return result;
    }
    if (value > static_cast<uint64_t>(INT64_MAX)) {
        return FTP_COMMAND_NOT_EXECUTED;
    }
    *size = static_cast<int64_t>(value);
    return FTP_OK;
}

namespace {

// The server's digest of remote in *hex and its kind in *kind, through HASH (choosing the
// strongest algorithm it offers with OPTS HASH when another is selected) or the first of
// XSHA256, XSHA1, XMD5 and XCRC it offers. FTP_OK, with *hex empty when the server offers no
// checksum or gave none; the failure of an exchange otherwise.
int32_t ServerDigest(FtpSession* session, const char* remote, FtpDigestKind* kind,
                     std::string* hex) {
    FtpConnection& c = session->connection;
    hex->clear();
    const FtpHashFeature hash = FtpParseHashFeature(c.featureText);
    char line[FTP_COMMAND_SIZE];
    int32_t code = 0;
    if (!hash.offered.empty()) {
        FtpDigestKind best = hash.offered.front();
        for (FtpDigestKind k : {FtpDigestKind::Crc32, FtpDigestKind::Md5, FtpDigestKind::Sha1,
                                FtpDigestKind::Sha256}) {
            for (FtpDigestKind offered : hash.offered) {
                best = offered == k ? k : best;
            }
        }
        FtpDigestKind chosen = hash.selected.value_or(best);
        if (chosen != best) {
            snprintf(line, sizeof line, "OPTS HASH %s", FtpDigestName(best));
            const int32_t result = FtpExchange(session, line, &code);
            if (result != FTP_OK) {
                return result;
            }
            chosen = code == 200 ? best : chosen;
        }
        if (FtpBuildCommandLine(line, "HASH %s", remote) != FTP_OK) {
            return FTP_OK;
        }
        const int32_t result = FtpExchange(session, line, &code);
        if (result != FTP_OK) {
            return result;
        }
        FtpHashFacts facts;
        *hex = FtpParseHashReply(c.channel.replyText(), &facts);
        *kind = facts.kind;
        if (!hex->empty() && facts.kind != chosen && facts.kind != best) {
            hex->clear();  // a digest of a kind nobody asked for is not trusted
        }
        return FTP_OK;
    }
    struct Command {
        const char* name;
        FtpDigestKind kind;
    };
    for (const Command& command :
         {Command{"XSHA256", FtpDigestKind::Sha256}, Command{"XSHA1", FtpDigestKind::Sha1},
          Command{"XMD5", FtpDigestKind::Md5}, Command{"XCRC", FtpDigestKind::Crc32}}) {
        if (!FtpFeatureOffered(c, command.name)) {
            continue;
        }
        const std::string format = std::string(command.name) + " %s";
        if (FtpBuildCommandLine(line, format.c_str(), remote) != FTP_OK) {
            return FTP_OK;
        }
        const int32_t result = FtpExchange(session, line, &code);
        if (result != FTP_OK) {
            return result;
        }
        *kind = command.kind;
        *hex = FtpParseDigestReply(c.channel.replyText(), command.kind);
        return FTP_OK;
    }
    return FTP_OK;
}

// The checksum check of verify level 2: "" appended to checks when the server offers none.
int32_t CompareDigests(FtpSession* session, const FtpVerifyTarget& target, std::string* checks) {
    FtpDigestKind kind = FtpDigestKind::Sha256;
    std::string theirs;
    const int32_t result = ServerDigest(session, target.remote, &kind, &theirs);
    if (result != FTP_OK || theirs.empty()) {
        return result;
    }
    const int32_t file = PlatFileOpen(target.localPath, PLAT_OF_READ);
    std::string ours;
    const bool read = file != PLAT_FILE_ERROR &&
                      FtpDigestFile(file, kind, target.localOffset, target.size, &ours);
    if (file != PLAT_FILE_ERROR) {
        PlatFileClose(file);
    }
    if (!read) {
        return FTP_CANNOT_OPEN_FILE;
    }
    if (ours != theirs) {
        FtpSetDetail(session, std::string("Transfer verification failed: the server's ") +
                                  FtpDigestName(kind) + " is " + theirs + ", ours " + ours);
        return FTP_VERIFY_FAILED;
    }
    *checks += std::string(checks->empty() ? "" : " and ") + FtpDigestName(kind);
    return FTP_OK;
}

}  // namespace

int32_t FtpVerifyTransfer(FtpSession* session, const FtpVerifyTarget& target) {
    if (session->verify <= 0) {
        return FTP_OK;
    }
    std::string checks;
    if (target.size >= 0) {
        int64_t size = 0;
        const int32_t result = FtpServerSize(session, target.remote, &size);
        if (FtpIsExchangeFailure(result)) {
            return result;
        }
        if (result == FTP_OK) {
            if (size != target.size) {
                FtpSetDetail(session, "Transfer verification failed: the server's size is " +
                                          std::to_string(size) + " bytes, ours " +
                                          std::to_string(target.size));
                return FTP_VERIFY_FAILED;
            }
            checks = "SIZE";
        }
    }
    std::string unchecked;
    if (session->verify >= 2) {
        if (target.localPath == nullptr || target.size < 0) {
            unchecked = "no local copy of the whole file to compare a checksum with";
        } else {
            const size_t before = checks.size();
            const int32_t result = CompareDigests(session, target, &checks);
            if (result != FTP_OK) {
                return result;
            }
            if (checks.size() == before) {
                unchecked = "the server offers no checksum";
            }
        }
    }
    std::string text =
        checks.empty() ? "OK, not verified: the server tells no size" : "OK, verified by " + checks;
    if (!checks.empty() && !unchecked.empty()) {
        text += "; " + unchecked;
    }
    FtpSetDetail(session, text);
    return FTP_OK;
}
