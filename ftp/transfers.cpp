// Downloads, uploads, their append and restart forms, and directory listings.

#include <cstdint>
#include <cstring>
#include <string>

#include "listing_parser.h"
#include "code_pages.h"
#include "retry.h"
#include "session_internal.h"
#include "verify.h"

namespace {

enum class Direction { Download, Upload };

struct TransferSpec {
    const char* verbFormat;  // "RETR %s", "STOR %s", "APPE %s"
    Direction direction;
    const char* localPath;   // null for the restart forms, which bring an open file
    int32_t openMode;
    int32_t callerFile;      // the restart forms' open file, -1 otherwise
    int64_t position;        // restart position, 0 for none, or FTP_POSITION_AUTO
    const char* reopenPath;  // the restart forms' path, to open the file again for a retry
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
    return FtpIsExchangeFailure(result) ? result : FTP_OK;
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

// What a whole transfer job keeps across its attempts.
struct TransferJob {
    TransferSpec spec;  // the first attempt's, with an "auto" position found
    const char* remote;
    char type;
    const char* path;      // the local file's path; null when only the caller's handle is known
    int64_t remoteStart;   // the remote offset the job starts at (the restart position)
    int64_t remoteDone;    // downloads: the remote offset reached so far
    int64_t localBase;     // downloads: the local offset of remote offset 0 (append: the length)
    int64_t localStart;    // uploads: the local offset the job starts at
    int64_t localEnd;      // uploads: the local file's size, -1 unknown
    int64_t remoteBase;    // appending uploads: the remote file's size before, -1 unknown
    int64_t expected;      // the size of the job in bytes once known, for the counters
};

// The byte count a download attempt from position expects, counted from the job's start: the
// size its 150 announced, else SIZE's (sized), less what lies before the position; 0 unknown.
int64_t ExpectedTotal(const TransferJob& job, int64_t position, int64_t announced, bool sized,
                      uint64_t remoteSize) {
    int64_t total = announced;
    if (total <= 0 && sized) {
        total = static_cast<int64_t>(remoteSize > INT64_MAX / 2 ? INT64_MAX / 2 : remoteSize);
    }
    if (position > 0 && position == job.remoteStart) {
        // What is left after the restart position; a size that does not reach beyond the
        // position says nothing usable, and the expected count is never negative.
        return total > position ? total - position : 0;
    }
    if (position > 0 && total > 0) {
        // A later attempt's: the whole file's size when it reaches beyond the position
        // (servers name the whole file's), else the rest's; counted from the job's start.
        return total > position ? total - job.remoteStart : total + position - job.remoteStart;
    }
    return total;
}

// One file transfer: the data connection, the counters, the loop and, for a binary download,
// the count checked against the size the server announced. progressBase is what the job had
// moved before this attempt; *moved gets what this one moves.
int32_t TransferOnce(FtpSession* session, TransferJob& job, const char* localPath, int32_t openMode,
                     int32_t callerFile, int64_t position, const char* verbFormat,
                     int64_t progressBase, int64_t* moved) {
    const TransferSpec& t = job.spec;
    *moved = 0;
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, verbFormat, job.remote) != FTP_OK) {
        CloseCallerFile(callerFile);
        return FTP_BAD_PARAMETERS;
    }
    uint64_t remoteSize = 0;
    bool sized = false;
    int32_t result = FTP_OK;
    if (t.direction == Direction::Download) {
        result = AskDownloadSize(session, job.remote, localPath, job.type, &remoteSize, &sized);
        if (result == FTP_OK && sized && job.expected < 0) {
            // Known from SIZE before the data connection: progress has the total from the
            // start. The 150's size, where it names one, takes over below.
            session->bytesToBeTransferred = ExpectedTotal(job, position, 0, sized, remoteSize);
        }
    }
    if (result == FTP_OK) {
        result = FtpStartTransfer(session, localPath, openMode, job.type, position, line);
    }
    if (result != FTP_OK) {
        CloseCallerFile(callerFile);
        return result;
    }
    if (callerFile != -1) {
        session->localFile = callerFile;
    }
    session->bytesTransferred = progressBase > 0 ? progressBase : 0;

    if (t.direction == Direction::Upload) {
        const int64_t size = RemainingSize(session->localFile);
        if (job.expected < 0) {
            job.expected = size > 0 ? size : 0;
            session->bytesToBeTransferred = job.expected;
        }
        session->sendSize = size >= 0 ? session->bytesTransferred.load() + size : -1;
        result = FtpSendLoop(session);
        session->sendSize = -1;
        *moved = session->bytesTransferred.load() - progressBase;
        return result;
    }

    const int64_t announced = FtpParseTransferSize(session->sessionKey);
    if (job.expected < 0) {
        const int64_t total = ExpectedTotal(job, position, announced, sized, remoteSize);
        session->bytesToBeTransferred = total;
        if (total > 0) {
            job.expected = total;
        }
    }
    result = FtpRecvLoop(session);
    const int64_t received = session->bytesTransferred.load() - progressBase;
    *moved = received;
    const char current = session->connection.currentType;
    if (result != FTP_OK || (current != 'I' && current != 'L') || (announced <= 0 && !sized)) {
        return result;
    }
    // A data connection that ended early with a 226 all the same is no whole file. After REST a
    // 150 may count the whole file or the rest of it; either matching is enough.
    const int64_t reached = position + received;
    const bool matches =
        (announced > 0 && (received == announced || (position > 0 && reached == announced))) ||
        (sized && static_cast<uint64_t>(reached) == remoteSize);
    if (matches) {
        return FTP_OK;
    }
    const bool whole = sized || (position > 0 && announced > position);
    const int64_t want = sized ? static_cast<int64_t>(remoteSize) : announced;
    const int64_t got = whole ? reached : received;
    FtpSetDetail(session, got < want ? "Transfer ended short: " + std::to_string(got) + " of " +
                                           std::to_string(want) + " bytes"
                                     : "Transfer ended long: " + std::to_string(got) +
                                           " bytes where " + std::to_string(want) +
                                           " were announced");
    return FTP_TRANSFER_SHORT;
}

// The length of the file at path, 0 when it does not exist or cannot be measured.
int64_t LocalLength(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    const int32_t file = PlatFileOpen(path, PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return 0;
    }
    const int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    PlatFileClose(file);
    return end > 0 ? end : 0;
}

// path opened again at offset for a resumed attempt (writing for a download, reading for an
// upload); -1 when it cannot be.
int32_t OpenAt(const char* path, bool write, int64_t offset) {
    const int32_t file = PlatFileOpen(path, write ? PLAT_OF_WRITE : PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return -1;
    }
    if (PlatFileSeek(file, offset, PLAT_FILE_BEGIN) != offset) {
        PlatFileClose(file);
        return -1;
    }
    return file;
}

// Before a later attempt: the count reached so far stays the least that progress shows, since
// the attempt may count again from below it (an upload's server kept less than was sent).
void HoldProgress(FtpSession* session) {
    const int64_t reached = session->bytesTransferred.load();
    if (reached > session->progressFloor.load()) {
        session->progressFloor = reached;
    }
}

// One attempt of a download. A later attempt goes on from the remote offset reached, in the
// file written so far, unless nothing was written yet.
int32_t DownloadAttempt(FtpSession* session, TransferJob& job, FtpAttempt& attempt) {
    const TransferSpec& t = job.spec;
    int64_t moved = 0;
    int32_t result;
    if (attempt.number > 1) {
        HoldProgress(session);
    }
    if (attempt.number == 1 || (job.remoteDone == job.remoteStart && t.callerFile == -1)) {
        result = TransferOnce(session, job, t.localPath, t.openMode,
                              attempt.number == 1 ? t.callerFile : -1, job.remoteStart, t.verbFormat,
                              0, &moved);
    } else {
        const int32_t file = OpenAt(job.path, true, job.localBase + job.remoteDone);
        if (file == -1) {
            attempt.stop = true;
            return FTP_CANNOT_OPEN_FILE;
        }
        result = TransferOnce(session, job, nullptr, 0, file, job.remoteDone, t.verbFormat,
                              job.remoteDone - job.remoteStart, &moved);
    }
    job.remoteDone += moved;
    if (job.path == nullptr) {
        attempt.stop = true;  // the caller's handle alone: the file cannot be opened again
    }
    return result;
}

// One attempt of an upload. A later attempt asks the server how much it holds and goes on from
// there: REST and STOR, APPE where REST is refused, the whole file again where the server tells
// no size; an appending upload goes on with APPE from what the server holds beyond its size
// before.
int32_t UploadAttempt(FtpSession* session, TransferJob& job, FtpAttempt& attempt) {
    const TransferSpec& t = job.spec;
    int64_t moved = 0;
    if (attempt.number == 1) {
        // With the caller's handle alone the file cannot be opened again to go on.
        attempt.stop = job.path == nullptr;
        return TransferOnce(session, job, t.localPath, t.openMode, t.callerFile, t.position,
                            t.verbFormat, 0, &moved);
    }
    HoldProgress(session);
    const bool appending = t.verbFormat[0] == 'A';
    int64_t held = -1;
    int32_t result = FtpServerSize(session, job.remote, &held);
    if (result == FTP_ACTION_NOT_TAKEN) {
        held = appending ? -1 : 0;  // no such file yet: nothing of it arrived
    } else if (result != FTP_OK && result != FTP_COMMAND_NOT_EXECUTED) {
        return result;
    }
    int64_t local = held;
    if (appending) {
        local = held >= 0 && job.remoteBase >= 0 && held >= job.remoteBase
                    ? held - job.remoteBase
                    : -1;
        if (local < 0 || (job.localEnd >= 0 && local > job.localEnd)) {
            attempt.stop = true;  // what arrived cannot be told: appending again could double it
            return FTP_UNEXPECTED_ANSWER;
        }
    } else if (local < job.localStart || (job.localEnd >= 0 && local > job.localEnd)) {
        // No size, or one that is not of this upload: the whole file once more, which a resumed
        // upload cannot do (the remote file's start is the caller's).
        if (t.callerFile != -1) {
            attempt.stop = true;
            return FTP_UNEXPECTED_ANSWER;
        }
        local = 0;
    }
    int32_t file = OpenAt(job.path, false, local);
    if (file == -1) {
        attempt.stop = true;
        return FTP_CANNOT_OPEN_FILE;
    }
    const int64_t base = local - job.localStart;
    if (appending || local == 0) {
        return TransferOnce(session, job, nullptr, 0, file, 0, t.verbFormat, base, &moved);
    }
    result = TransferOnce(session, job, nullptr, 0, file, local, "STOR %s", base, &moved);
    const bool refused = result == FTP_COMMAND_NOT_EXECUTED || result == FTP_UNEXPECTED_ANSWER ||
                         result == FTP_ACTION_NOT_TAKEN || result == FTP_TEMPORARY_ERROR;
    if (refused && moved == 0 && session->connection.controlSocket != -1) {
        // REST refused, or STOR refused after it (proftpd without AllowStoreRestart answers
        // 451): APPE adds to what the server holds.
        file = OpenAt(job.path, false, local);
        if (file == -1) {
            attempt.stop = true;
            return FTP_CANNOT_OPEN_FILE;
        }
        result = TransferOnce(session, job, nullptr, 0, file, 0, "APPE %s", base, &moved);
    }
    return result;
}

// What a finished job's remote file must be, for the verify option.
FtpVerifyTarget VerifyTargetOf(const TransferJob& job, bool upload) {
    FtpVerifyTarget target;
    target.remote = job.remote;
    if (upload) {
        const bool appending = job.spec.verbFormat[0] == 'A';
        target.size = job.localEnd < 0      ? -1
                      : !appending          ? job.localEnd
                      : job.remoteBase >= 0 ? job.remoteBase + job.localEnd
                                            : -1;
        target.localPath = !appending || job.remoteBase == 0 ? job.path : nullptr;
    } else {
        target.size = job.remoteDone;
        target.localPath = job.path;
        target.localOffset = job.localBase;
    }
    return target;
}

// The course every file transfer shares: checks, then attempts (more than one with the retries
// option), then the verify option's checks. A restart form's file is taken over and closed
// exactly once.
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
        (t.callerFile != -1 && t.position != FTP_POSITION_AUTO &&
         IsBeyondEnd(t.callerFile, t.position))) {
        // A resume from beyond the end of the local file would leave a gap of NUL bytes in the
        // remote file (upload) or in the local one (download): refused before anything is sent.
        CloseCallerFile(t.callerFile);
        return FTP_BAD_PARAMETERS;
    }
    const bool upload = t.direction == Direction::Upload;
    const char* path = t.localPath != nullptr ? t.localPath : t.reopenPath;
    TransferJob job{t, remote, type, path, t.position, t.position, 0, 0, -1, -1, -1};
    if (upload && t.position == FTP_POSITION_AUTO) {
        // From what the server holds of the file: its size, or 0 when it has none.
        int64_t held = 0;
        const int32_t result = FtpServerSize(session, remote, &held);
        if (result != FTP_OK && result != FTP_ACTION_NOT_TAKEN &&
            result != FTP_COMMAND_NOT_EXECUTED) {
            CloseCallerFile(t.callerFile);
            return result;
        }
        held = result == FTP_OK ? held : 0;
        if (IsBeyondEnd(t.callerFile, held) ||
            PlatFileSeek(t.callerFile, held, PLAT_FILE_BEGIN) != held) {
            CloseCallerFile(t.callerFile);
            FtpSetDetail(session, "The server holds " + std::to_string(held) +
                                      " bytes, more than the local file");
            return FTP_BAD_PARAMETERS;
        }
        job.spec.position = held;
        job.remoteStart = job.remoteDone = held;
    }
    if (upload) {
        const int32_t file = t.callerFile != -1 ? t.callerFile
                             : t.localPath != nullptr ? PlatFileOpen(t.localPath, PLAT_OF_READ)
                                                      : -1;
        if (file != -1) {
            job.localStart = PlatFileSeek(file, 0, PLAT_FILE_CURRENT);
            job.localEnd = PlatFileSeek(file, 0, PLAT_FILE_END);
            PlatFileSeek(file, job.localStart, PLAT_FILE_BEGIN);
            if (file != t.callerFile) {
                PlatFileClose(file);
            }
        }
        if (job.localStart < 0) {
            job.localStart = 0;
        }
        if (t.verbFormat[0] == 'A' && (session->retries > 0 || session->verify > 0)) {
            // What the remote file held before, to tell later what this upload added to it.
            int64_t before = -1;
            const int32_t result = FtpServerSize(session, remote, &before);
            if (result == FTP_ACTION_NOT_TAKEN) {
                before = 0;
            } else if (result != FTP_OK && result != FTP_COMMAND_NOT_EXECUTED) {
                CloseCallerFile(t.callerFile);
                return result;
            }
            job.remoteBase = before;
        }
    } else if (t.openMode == LOCAL_OPEN_APPEND) {
        job.localBase = LocalLength(path);
    }
    session->progressFloor = 0;
    int32_t attempts = 1;
    int32_t result = FtpRunWithRetries(
        session,
        [&](FtpAttempt& attempt) {
            return upload ? UploadAttempt(session, job, attempt)
                          : DownloadAttempt(session, job, attempt);
        },
        &attempts);
    if (result == FTP_OK && session->verify > 0) {
        // The checks need the control connection too; one lost meanwhile is made again.
        const FtpVerifyTarget target = VerifyTargetOf(job, upload);
        int32_t more = 1;
        result = FtpRunWithRetries(
            session, [&](FtpAttempt&) { return FtpVerifyTransfer(session, target); }, &more);
        attempts += more - 1;
    }
    FtpNoteAttempts(session, result, attempts);
    return result;
}


}  // namespace

int32_t FtpRecvFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_CREATE, -1, 0, nullptr},
                       remote, type, key);
}

int32_t FtpAppendToLocalFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_APPEND, -1, 0, nullptr},
                       remote, type, key);
}

int32_t FtpRestartRecvFile(const char* remote, int32_t file, char type, int64_t position,
                           int32_t key) {
    return FtpRestartRecvFileFrom(remote, file, nullptr, type, position, key);
}

int32_t FtpRestartRecvFileFrom(const char* remote, int32_t file, const char* localPath, char type,
                               int64_t position, int32_t key) {
    if (position == FTP_POSITION_AUTO) {
        CloseCallerFile(file);
        return FTP_BAD_PARAMETERS;
    }
    return RunTransfer({"RETR %s", Direction::Download, nullptr, 0, file, position, localPath},
                       remote, type, key);
}

int32_t FtpSendFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0, nullptr},
                       remote, type, key);
}

int32_t FtpAppendToRemoteFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"APPE %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0, nullptr},
                       remote, type, key);
}

int32_t FtpRestartSendFile(int32_t file, const char* remote, char type, int64_t position,
                           int32_t key) {
    return FtpRestartSendFileFrom(file, nullptr, remote, type, position, key);
}

int32_t FtpRestartSendFileFrom(int32_t file, const char* localPath, const char* remote, char type,
                               int64_t position, int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, nullptr, 0, file, position, localPath},
                       remote, type, key);
}

namespace {

// One attempt of a listing: FEAT and MLSD for fact lines when offered, the transfer, the rewrite.
int32_t ListOnce(FtpSession* session, const char* filter, const char* localPath, bool facts,
                 const char* listLine) {
    char line[FTP_COMMAND_SIZE];
    FtpCopyText(line, sizeof line, listLine);
    bool mlsd = false;
    if (facts) {
        int32_t asked = FtpAskFeatures(session);
        if (asked != FTP_OK) {
            return asked;
        }
        mlsd = session->connection.featureMlst;
        if (mlsd) {
            const int32_t built = filter != nullptr && filter[0] != '\0'
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

}  // namespace

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
    // A listing that lost its connection starts again from the beginning.
    return FtpRunWithRetries(session, [&](FtpAttempt&) {
        return ListOnce(session, filter, localPath, facts, line);
    });
}
