// The facts of one remote name: MLST where the server offers it, else CWD, SIZE and MDTM.

#include <cstring>
#include <string>

#include "listing_parser.h"
#include "session_internal.h"

namespace {

// The entry line of an MLST reply: the inner line that starts with a blank.
bool MlstFacts(const char* replyText, FtpFacts* facts) {
    const std::string text = replyText;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() > 1 && line[0] == ' ') {
            return FtpParseFactLine(line.c_str() + 1, facts);
        }
    }
    return false;
}

// True when name is a directory: CWD into it succeeds (and CWD goes back at once). *result is
// the failure that must end the operation (the way back refused, the connection lost), else
// FTP_OK.
bool IsDirectory(FtpSession* session, const char* name, int32_t* result) {
    const int32_t key = session->sessionKey;
    char here[FTP_REPLY_SIZE];
    *result = FtpPWD(here, sizeof here, key);
    if (*result != FTP_OK || FtpHasLineBreak(here)) {
        // Without a directory to come back to, nothing is tried: the name counts as no
        // directory, unless the connection itself failed.
        if (*result == FTP_OK || *result == FTP_PWD_NO_DIRECTORY ||
            *result == FTP_ACTION_NOT_TAKEN || *result == FTP_COMMAND_NOT_EXECUTED ||
            *result == FTP_UNEXPECTED_ANSWER) {
            *result = FTP_OK;
        }
        return false;
    }
    *result = FtpCWD(name, key);
    if (*result != FTP_OK) {
        const bool refused = *result == FTP_ACTION_NOT_TAKEN || *result == FTP_TEMPORARY_ERROR ||
                             *result == FTP_COMMAND_NOT_EXECUTED ||
                             *result == FTP_UNEXPECTED_ANSWER;
        if (refused) {
            *result = FTP_OK;  // not a directory
        }
        return false;
    }
    *result = FtpCWD(here, key);
    return true;
}

}  // namespace

int32_t FtpAskMlst(FtpSession* session, const char* name, FtpFacts* facts) {
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, "MLST %s", name) != FTP_OK) {
        return FTP_BAD_PARAMETERS;
    }
    int32_t code = 0;
    const int32_t result = FtpExchange(session, line, &code);
    if (result != FTP_OK) {
        return result;
    }
    if (code != 250) {
        return FtpRefusalResult(code);
    }
    return MlstFacts(session->connection.channel.replyText(), facts) ? FTP_OK : FTP_UNEXPECTED_ANSWER;
}

int32_t FtpFileInfo(const char* name, char* output, int32_t capacity, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    FtpSession* session = op.get();
    if (session->connection.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    char line[FTP_COMMAND_SIZE];
    // Every command below takes the name the same way; the longest verb decides.
    if (name == nullptr || name[0] == '\0' ||
        FtpBuildCommandLine(line, "MLST %s", name) != FTP_OK) {
        return FTP_BAD_PARAMETERS;
    }
    int32_t result = FtpAskFeatures(session);
    if (result != FTP_OK) {
        return result;
    }
    FtpFacts facts;
    if (session->connection.featureMlst) {
        result = FtpAskMlst(session, name, &facts);
        if (result != FTP_OK) {
            return result;
        }
    } else {
        // A directory first: some servers (ftp-srv, Twisted) answer SIZE of a directory with
        // a size of their own, so a size alone does not make a file.
        int32_t checked = FTP_OK;
        const bool directory = IsDirectory(session, name, &checked);
        if (checked != FTP_OK) {
            return checked;
        }
        if (directory) {
            facts.type = "dir";
        } else {
            // Not a directory: a file has a size; a refusal (no such name) is the answer.
            result = FtpRemoteSize(session, name, &facts.size);
            if (result != FTP_OK) {
                return result;
            }
            facts.type = "file";
            facts.hasSize = true;
        }
        result = FtpRemoteTime(session, name, &facts.modify);
        if (result != FTP_OK) {
            return result;
        }
    }
    // The name as the caller gave it, whatever path the server put in its entry.
    facts.name = name;
    FtpCopyText(output, capacity, FtpFormatFacts(facts).c_str());
    return FTP_OK;
}
