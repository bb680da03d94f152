// Checking a transfer against the server's view of the file.

#include "verify.h"

#include <cinttypes>
#include <cstdio>
#include <string>

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
        char line[FTP_COMMAND_SIZE];
        if (FtpBuildCommandLine(line, "MLST %s", remote) != FTP_OK) {
            return FTP_BAD_PARAMETERS;
        }
        int32_t code = 0;
        result = FtpChannelExchange(session, line, &code);
        if (result != FTP_OK) {
            return result;
        }
        if (code != 250) {
            return FtpRefusalResult(code);
        }
        // The fact line is the reply's second line, after a blank.
        const std::string text = c.replyText;
        const size_t start = text.find("\n ");
        const size_t end = start == std::string::npos ? start : text.find('\r', start + 2);
        FtpFacts facts;
        if (start == std::string::npos ||
            !FtpParseFactLine(text.substr(start + 2, end - (start + 2)).c_str(), &facts) ||
            !facts.hasSize) {
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

bool IsExchangeFailure(int32_t result) {
    return result == FTP_ABORTED || result == FTP_NO_ANSWER || result == FTP_NOT_CONNECTED ||
           result == FTP_SEND_FAILED;
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
        if (IsExchangeFailure(result)) {
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
    FtpSetDetail(session, checks.empty() ? "OK, not verified: the server tells no size"
                                         : "OK, verified by " + checks);
    return FTP_OK;
}
