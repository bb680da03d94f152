// Downloads, uploads, their append and restart forms, and directory listings.

#include <cstdint>
#include <cstring>
#include <string>

#include "listing_parser.h"
#include "names.h"
#include "session_internal.h"

namespace {

enum class Direction { Download, Upload };

struct TransferSpec {
    const char* verbFormat;  // "RETR %s", "STOR %s", "APPE %s"
    Direction direction;
    const char* localPath;   // null for the restart forms, which bring an open file
    int32_t openMode;
    int32_t callerFile;      // the restart forms' open file, -1 otherwise
    int64_t position;        // restart position, 0 for none
};

void CloseCallerFile(int32_t file) {
    if (file != -1) {
        PlatFileClose(file);
    }
}

// The size of an upload from the file's current position to its end, leaving the position
// where it was. -1 when the file cannot be measured.
int64_t RemainingSize(int32_t file) {
    int64_t here = PlatFileSeek(file, 0, PLAT_FILE_CURRENT);
    int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    if (here < 0) {
        return -1;
    }
    PlatFileSeek(file, here, PLAT_FILE_BEGIN);
    if (end < 0) {
        return -1;
    }
    return end > here ? end - here : 0;
}

// True when position lies beyond the end of the file; the file's position stays where it was.
bool IsBeyondEnd(int32_t file, int64_t position) {
    int64_t here = PlatFileSeek(file, 0, PLAT_FILE_CURRENT);
    int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    if (here >= 0) {
        PlatFileSeek(file, here, PLAT_FILE_BEGIN);
    }
    return end >= 0 && position > end;
}

// True for results that leave the connection unusable or the operation cancelled, as opposed to
// a refusal that the next command can live with.
bool IsFailure(int32_t result) {
    return result == FTP_ABORTED || result == FTP_NO_ANSWER || result == FTP_NOT_CONNECTED ||
           result == FTP_SEND_FAILED;
}

// With the features option, the size of a binary download asked with SIZE beforehand, for the
// servers whose 150 reply names none. *known false when the server gave none. Nothing is asked
// for a local file that cannot be written: its refusal sends no more than it would without the
// option.
int32_t AskDownloadSize(FtpSession* session, const char* remote, const char* local, char type,
                        uint64_t* size, bool* known) {
    *known = false;
    if (!session->connection.featuresWanted || type != 'I' ||
        (local != nullptr && !PlatFileCanWrite(local))) {
        return FTP_OK;
    }
    int32_t result = FtpAskFeatures(session);
    if (result != FTP_OK || !session->connection.featureSize) {
        return result;
    }
    result = FtpRemoteSize(session, remote, size);
    *known = result == FTP_OK;
    // A refusal (no such file, say) is left for the transfer command to meet.
    return IsFailure(result) ? result : FTP_OK;
}

// LIST lines give a file's time to the minute at best, and only the day for older files: each
// file's time is asked with MDTM instead. FTP_OK, or the failure of an exchange.
int32_t RefineTimes(FtpSession* session, std::string* listing) {
    std::string refined;
    size_t at = 0;
    while (at < listing->size()) {
        size_t end = listing->find("\r\n", at);
        if (end == std::string::npos) {
            end = listing->size();
        }
        std::string line = listing->substr(at, end - at);
        at = end + 2;
        FtpFacts facts;
        if (!line.empty() && line[0] != ' ' && FtpParseFactLine(line.c_str(), &facts) &&
            facts.type == "file") {
            std::string stamp;
            const int32_t result = FtpRemoteTime(session, facts.name.c_str(), &stamp);
            if (result != FTP_OK && result != FTP_BAD_PARAMETERS) {
                return result;
            }
            if (!stamp.empty()) {
                facts.modify = stamp;
                line = FtpFormatFacts(facts);
            }
        }
        refined += line + "\r\n";
    }
    *listing = refined;
    return FTP_OK;
}

// Rewrites the listing at path: in the host's code page when toHost (the server speaks UTF-8),
// as fact lines when facts, with each file's time from MDTM when refine. FTP_OK, 1004/1005 when
// the file cannot be read or written, or the failure of an MDTM exchange.
int32_t RewriteListing(FtpSession* session, const char* path, bool toHost, bool facts, bool mlsd,
                       bool refine) {
    int32_t file = PlatFileOpen(path, PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return FTP_CANNOT_OPEN_FILE;
    }
    std::string listing;
    char block[4096];
    int32_t n;
    while ((n = PlatFileRead(file, block, sizeof block)) > 0) {
        listing.append(block, static_cast<size_t>(n));
    }
    PlatFileClose(file);
    if (n < 0) {
        return FTP_CANNOT_OPEN_FILE;
    }
    if (toHost) {
        listing = PlatUtf8ToHost(listing);
    }
    if (facts) {
        listing = FtpListingToFacts(listing, mlsd, FtpToday());
    }
    if (refine) {
        const int32_t result = RefineTimes(session, &listing);
        if (result != FTP_OK) {
            return result;
        }
    }
    file = PlatFileCreate(path);
    if (file == PLAT_FILE_ERROR) {
        return FTP_CANNOT_OPEN_FILE;
    }
    const int32_t written =
        listing.empty() ? 0
                        : PlatFileWrite(file, listing.data(), static_cast<uint32_t>(listing.size()));
    PlatFileClose(file);
    return written == static_cast<int32_t>(listing.size()) ? FTP_OK : FTP_CANNOT_WRITE_FILE;
}

// The course every file transfer shares: checks, the command line, the data connection, the
// counters and the loop. A restart form's file is taken over and closed exactly once.
int32_t RunTransfer(const TransferSpec& t, const char* remote, char type, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        CloseCallerFile(t.callerFile);
        return FTP_NOT_INITIALIZED;
    }
    FtpSession* session = op.get();
    if (session->connection.controlSocket == -1) {
        CloseCallerFile(t.callerFile);
        return FTP_NOT_CONNECTED;
    }
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, t.verbFormat, remote) != FTP_OK ||
        (t.callerFile != -1 && IsBeyondEnd(t.callerFile, t.position))) {
        // A resume from beyond the end of the local file would leave a gap of NUL bytes in the
        // remote file (upload) or in the local one (download): refused before anything is sent.
        CloseCallerFile(t.callerFile);
        return FTP_BAD_PARAMETERS;
    }
    uint64_t remoteSize = 0;
    bool sized = false;
    int32_t result = FTP_OK;
    if (t.direction == Direction::Download) {
        result = AskDownloadSize(session, remote, t.localPath, type, &remoteSize, &sized);
    }
    if (result == FTP_OK) {
        result = FtpStartTransfer(session, t.localPath, t.openMode, type, t.position, line);
    }
    if (result != FTP_OK) {
        CloseCallerFile(t.callerFile);
        return result;
    }
    if (t.callerFile != -1) {
        session->localFile = t.callerFile;
    }

    session->bytesTransferred = 0;
    if (t.direction == Direction::Download) {
        int64_t announced = FtpParseTransferSize(key);
        if (announced <= 0 && sized) {
            announced = static_cast<int64_t>(remoteSize > INT64_MAX / 2 ? INT64_MAX / 2
                                                                        : remoteSize);
        }
        if (t.position > 0) {
            // What is left after the restart position; a size that does not reach beyond the
            // position says nothing usable, and the expected count is never negative.
            announced = announced > t.position ? announced - t.position : 0;
        }
        session->bytesToBeTransferred = announced;
        return FtpRecvLoop(session);
    }
    const int64_t size = RemainingSize(session->localFile);
    session->bytesToBeTransferred = size > 0 ? size : 0;
    session->sendSize = size;
    result = FtpSendLoop(session);
    session->sendSize = -1;
    return result;
}

}  // namespace

int32_t FtpRecvFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_CREATE, -1, 0}, remote,
                       type, key);
}

int32_t FtpAppendToLocalFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_APPEND, -1, 0}, remote,
                       type, key);
}

int32_t FtpRestartRecvFile(const char* remote, int32_t file, char type, int64_t position,
                           int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, nullptr, 0, file, position}, remote, type,
                       key);
}

int32_t FtpSendFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0}, remote, type,
                       key);
}

int32_t FtpAppendToRemoteFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"APPE %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0}, remote, type,
                       key);
}

int32_t FtpRestartSendFile(int32_t file, const char* remote, char type, int64_t position,
                           int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, nullptr, 0, file, position}, remote, type,
                       key);
}

int32_t FtpDir(const char* filter, const char* localPath, int32_t moreDetails, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    FtpSession* session = op.get();
    if (session->connection.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    if (localPath == nullptr) {
        return FTP_BAD_PARAMETERS;
    }
    const bool facts = moreDetails == 2;
    const char* verb = moreDetails != 0 ? "LIST" : "NLST";
    char line[FTP_COMMAND_SIZE];
    // A filter goes out only once it is known to fit; FEAT comes after that check.
    int32_t built = filter != nullptr && filter[0] != '\0'
                        ? FtpBuildCommandLine(line, moreDetails != 0 ? "LIST %s" : "NLST %s", filter)
                        : FtpBuildCommandLine(line, verb, nullptr);
    if (built != FTP_OK) {
        return built;
    }
    bool mlsd = false;
    if (facts) {
        int32_t asked = FtpAskFeatures(session);
        if (asked != FTP_OK) {
            return asked;
        }
        mlsd = session->connection.featureMlst;
        if (mlsd) {
            built = filter != nullptr && filter[0] != '\0'
                        ? FtpBuildCommandLine(line, "MLSD %s", filter)
                        : FtpBuildCommandLine(line, "MLSD", nullptr);
            if (built != FTP_OK) {
                return built;
            }
        }
    }
    int32_t result = FtpStartTransfer(session, localPath, LOCAL_OPEN_CREATE, 'A', 0, line);
    if (result != FTP_OK) {
        return result;
    }
    session->bytesTransferred = 0;
    session->bytesToBeTransferred = 0;
    result = FtpRecvLoop(session);
    const bool toHost = session->connection.featureUtf8 && !PlatHostTextIsUtf8();
    if (result != FTP_OK || (!facts && !toHost)) {
        return result;
    }
    // Names in LIST lines are relative to the directory listed, which only an empty filter names
    // for sure (a filter may be a directory or a pattern).
    const bool refine = facts && !mlsd && session->connection.featureMdtm &&
                        (filter == nullptr || filter[0] == '\0');
    return RewriteListing(session, localPath, toHost, facts, mlsd, refine);
}
