// The FTP client engine: any number of independent sessions, each one control connection to one
// server, named by a 32-bit key. Every operation takes the key as its last argument, looks the
// session up (FTP_NOT_INITIALIZED when there is none) and returns a result code from
// result_codes.h. Operations run on a worker thread of the caller's choosing, one at a time per
// session; FtpCancel and the counter reads may be called from any other thread meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "control_channel.h"
#include "net.h"
#include "platform.h"
#include "result_codes.h"

inline constexpr int32_t FTP_BLOCK_SIZE = 4096;
inline constexpr int32_t FTP_COMMAND_SIZE = 256;
// Blocks of a transfer at full speed (the throttle option off). An upload reads and sends a
// block at a time; from 64 KiB to 256 KiB its CPU per byte fell by an eighth, with the same
// rate (docs/benchmarks.md).
inline constexpr int32_t FTP_FAST_BLOCK_SIZE = 256 * 1024;

// The control and data connection of a session.
struct FtpConnection {
    std::atomic<int32_t> controlSocket{-1};  // -1 = not connected
    std::atomic<int32_t> dataSocket{-1};     // -1 = no data connection
    char currentType = 0;                    // 'A', 'I', 'L' or 0 (none)
    int32_t traceEnabled = 0;                // echo commands and replies to the debugger output
    uint16_t port = 21;
    uint32_t timeoutSeconds = 30;  // replies, accepts, connects and transfers
    bool passive = false;          // data connections through EPSV or PASV instead of PORT
    // Active mode: 0 takes a data connection only from the control connection's peer address,
    // 1 from any address (servers with several addresses that connect from another one).
    int32_t dataPeer = 0;
    bool portGiven = false;        // port was set as an option (else implicit TLS uses 990)
    // TLS: 0 none, 1 explicit (AUTH TLS after the greeting), 2 implicit (from the first byte).
    int32_t tlsMode = 0;
    bool tlsVerify = true;         // check the certificate chain and the host name
    std::string caFile;            // trusted certificates instead of the system's; "" for those
    std::string tlsHost;           // the host name the control connection was made to
    bool tlsActive = false;        // the control connection carries TLS
    // PBSZ was refused before the login as wanting a logged-in user (503 or 530): PBSZ and
    // PROT go out right after the login instead.
    bool protectionAfterLogin = false;
    // The server refused EPSV, or the port of its EPSV could not be reached: PASV from now on,
    // until reconnected. IPv4 only; on IPv6 passive mode is EPSV alone.
    bool epsvRefused = false;
    // A REST went out and no transfer has started since to use its marker (an abort came
    // between them): the server would start the next whole-file transfer at that offset.
    bool restartPending = false;
    int32_t logFile = -1;          // copy of all control traffic, -1 = none
    // During a transfer, a NOOP after every keepaliveSeconds without control traffic (0: off),
    // so that a middlebox does not drop the idle control connection.
    uint32_t keepaliveSeconds = 0;
    // Option "features": FEAT after each login, OPTS UTF8 ON when offered, SIZE before
    // downloads. What FEAT said holds for the connection it was asked on.
    bool featuresWanted = false;
    bool featuresKnown = false;  // FEAT was answered (or refused) on this connection
    bool featureMlst = false;    // MLST, and with it MLSD
    bool featureSize = false;
    bool featureMdtm = false;
    bool featureUtf8 = false;    // the server speaks UTF-8 in names
    std::string featureText;     // FEAT's reply as it came, for the features read on demand
    // What the control channel knows of the conversation: replies owed, the command waiting,
    // the reply read last. Only the channel's functions change it.
    FtpChannelState channel;
};

// One client. Created by FtpCreateSession, destroyed by FtpDestroySession; an operation that is
// running keeps the record's memory alive until it returns (see FtpSessionRef).
struct FtpSession {
    int32_t sessionKey = 0;
    PlatWindow hiddenWindow = nullptr;
    PlatWindow parentWindow = nullptr;
    PlatInstance moduleInstance = nullptr;
    int32_t localFile = -1;
    uint32_t blockCount = 0;  // blocks moved since creation, never reset
    int32_t blocksPerPauseAlone = 10;
    int32_t blocksPerPauseShared = 3;
    uint32_t pauseMilliseconds = 100;
    // Off: full speed. No pauses, no pause before a listening socket closes, blocks of
    // FTP_FAST_BLOCK_SIZE in fastBuffer.
    bool throttle = true;
    std::unique_ptr<char[]> fastBuffer;
    std::atomic<int32_t> abortRequested{0};
    std::atomic<uint32_t> abortRequestTick{0};  // PlatTickCount() of the last request
    // True from the start of an operation to its end; FtpCancel acts only meanwhile.
    std::atomic<bool> operationOpen{false};
    char transferBuffer[FTP_BLOCK_SIZE] = {};
    // 64-bit, so that files beyond 2 GiB count exactly; the script interface narrows them.
    std::atomic<int64_t> bytesTransferred{0};
    std::atomic<int64_t> bytesToBeTransferred{0};
    // What the running upload's file held from its start position to its end when the upload
    // began; -1 when not measured. The send loop checks that it reads exactly that much.
    int64_t sendSize = -1;
    FtpConnection connection;
    // The blocking calls of this session's operations; FtpCancel interrupts them.
    PlatCancelTarget* cancelTarget = nullptr;
    // True while the session is in the session list; an operation that outlives its session's
    // destruction sees it false.
    std::atomic<bool> linked{false};
    // Options "retries" and "retryDelay": how often a transfer or listing that lost its
    // connection is tried again, and the wait before the first try again (doubling, at most a
    // minute). Option "verify": 1 SIZE after each transfer, 2 also the server's checksum.
    int32_t retries = 0;
    int32_t retryDelayMs = 1000;
    int32_t verify = 0;
    // The last login's host, user and password, kept for logging in again after a lost
    // connection, and the peer address it reached.
    std::string loginHost;
    std::string loginUser;
    std::string loginPassword;
    PlatAddress loginAddress;
    // The directory the session works in when the script changed it since the login:
    // directoryMoved says it was changed, directory (when not empty) what PWD said it is.
    bool directoryMoved = false;
    std::string directory;
    // Progress shown at least: a transfer tried again from an earlier byte than it had reached
    // does not make the count go back.
    std::atomic<int64_t> progressFloor{0};
    // What the running or last operation's result says beyond its catalogue message (counts,
    // attempts, the check that ran); "" when nothing. Cleared when an operation opens.
    std::mutex detailLock;
    std::string resultDetail;

    ~FtpSession();
};

// ---------------------------------------------------------------------------------------------
// Sessions

// Creates a session for key with its hidden window under parentWindow. 0, 1001, 1012, 5002, 5003.
int32_t FtpCreateSession(PlatWindow parentWindow, int32_t key);
// Destroys the session of key. 0, 1006 (none), 1007 (a call of the session is still blocked:
// it is cancelled and the session survives).
int32_t FtpDestroySession(int32_t key);
// The session of key, or null. The pointer is only safe on the thread that owns the session's
// operations; see FtpAcquireSession.
FtpSession* FtpFindSession(int32_t key);
// Keys of the sessions in creation order (for tests and diagnostics).
int32_t FtpSessionKeys(int32_t* keys, int32_t capacity);
int64_t FtpBytesTransferred(int32_t key);
int64_t FtpBytesToBeTransferred(int32_t key);
void FtpResetCounters(int32_t key);
// Writes "<tick>: Proc <thread>\t<message>\r\n" to the debugger output.
void FtpTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------------------------
// Options

// Sets the option name of session key to value (decimal text). The names (ASCII case does not
// matter) and their ranges are one table; see options.cpp. FTP_OK; FTP_BAD_PARAMETERS for an
// unknown name or a value that is not a number in range, with nothing changed;
// FTP_SESSION_IN_USE while an operation of the session runs; FTP_NOT_INITIALIZED.
int32_t FtpSetOption(const char* name, const char* value, int32_t key);
// Copies the last complete reply of the control connection (its lines joined by LF) into
// output, at most capacity - 1 characters; "" when there is none. Any thread. FTP_OK or
// FTP_NOT_INITIALIZED.
int32_t FtpLastReply(char* output, int32_t capacity, int32_t key);
// Copies the message of the last operation's result when it says more than the catalogue's
// ("Transfer ended short: 1048576 of 2097152 bytes"), else "". Any thread. FTP_OK or
// FTP_NOT_INITIALIZED.
int32_t FtpResultDetail(char* output, int32_t capacity, int32_t key);
// Row index (from 0) of the option table: its name, range and default; for a text option *text
// is true and the range is its length. False past the last row. Any thread.
bool FtpOptionAt(int32_t index, const char** name, int32_t* minimum, int32_t* maximum,
                 int32_t* defaultValue, bool* text);

// ---------------------------------------------------------------------------------------------
// Command exchange

inline constexpr int32_t FTP_COMMAND_TABLE_SIZE = 20;

// Sends entry's command (with argument for a "%s" entry), reads one reply, maps its code.
int32_t FtpExecCommand(int32_t entry, const char* argument, int32_t key);

// Opens an operation of session key on behalf of the thread that will run it: from now until
// FtpEndOperation, FtpCancel marks and interrupts it, and a cancellation stays in force until
// the operation ends. The script side opens before it starts a worker and ends when the worker
// has returned; an engine call made without an open operation opens and ends its own.
void FtpBeginOperation(int32_t key);
void FtpEndOperation(int32_t key);

// ---------------------------------------------------------------------------------------------
// Connection, login and simple commands

int32_t FtpConnect(const char* host, int32_t key);
int32_t FtpLogin(const char* host, const char* user, const char* password, int32_t key);
// How long QUIT waits for its 221 at most.
inline constexpr int32_t FTP_QUIT_LIMIT_MS = 2000;
int32_t FtpLogout(int32_t key);
// FtpLogout whose QUIT waits at most limitMs (and the time-out) for the server's goodbye.
int32_t FtpLogoutWithin(int32_t limitMs, int32_t key);
int32_t FtpDisconnect(int32_t key);
// Closes the local file and the data connection.
void FtpCloseDataChannel(FtpSession* session);
int32_t FtpHelp(const char* topic, char* output, int32_t capacity, int32_t key);
int32_t FtpDeleteFile(const char* name, int32_t key);
int32_t FtpCWD(const char* path, int32_t key);
int32_t FtpCDUp(int32_t key);
int32_t FtpCreateDirectory(const char* name, char* output, int32_t capacity, int32_t key);
int32_t FtpDeleteDirectory(const char* name, int32_t key);
int32_t FtpPWD(char* output, int32_t capacity, int32_t key);
int32_t FtpSelectType(char type, int32_t key);
int32_t FtpSendRestart(int64_t position, int32_t key);
int32_t FtpRenameFile(const char* oldName, const char* newName, int32_t key);
int32_t FtpCommand(const char* line, char* output, int32_t capacity, int32_t key);

// ---------------------------------------------------------------------------------------------
// Data connection and transfers

inline constexpr int32_t LOCAL_OPEN_CREATE = 32;
inline constexpr int32_t LOCAL_OPEN_READ = 216;
inline constexpr int32_t LOCAL_OPEN_APPEND = 467;
// Active mode: a listening socket announced with PORT (EPRT when the control connection is IPv6),
// in *listening. FTP_OK,
// FTP_DATA_CONNECTION_FAILED (no listening socket), FTP_UNEXPECTED_ANSWER (PORT refused), or
// what the exchange gave (no answer, not connected, aborted).
int32_t FtpListenAndPort(FtpSession* session, int32_t* listening);
// Passive mode: EPSV, then a connection to the announced port of the control connection's peer,
// in *dataSocket. On IPv4, PASV instead when the server refuses EPSV or its EPSV port cannot be
// reached (refused, timed out), and PASV alone for the rest of the connection. FTP_OK, FTP_NO_PASSIVE_MODE,
// FTP_NO_ANSWER, FTP_DATA_CONNECTION_FAILED, FTP_ABORTED, or what sending the command gave.
int32_t FtpOpenPassive(FtpSession* session, int32_t* dataSocket);
int32_t FtpStartTransfer(FtpSession* session, const char* localPath, int32_t mode, char type,
                         int64_t restartPosition, const char* commandLine);
int32_t FtpSendLoop(FtpSession* session);
int32_t FtpRecvLoop(FtpSession* session);
int64_t FtpParseTransferSize(int32_t key);

int32_t FtpRecvFile(const char* remote, const char* local, char type, int32_t key);
int32_t FtpAppendToLocalFile(const char* remote, const char* local, char type, int32_t key);
int32_t FtpRestartRecvFile(const char* remote, int32_t file, char type, int64_t position,
                           int32_t key);
int32_t FtpSendFile(const char* local, const char* remote, char type, int32_t key);
int32_t FtpAppendToRemoteFile(const char* local, const char* remote, char type, int32_t key);
int32_t FtpRestartSendFile(int32_t file, const char* remote, char type, int64_t position,
                           int32_t key);
// The Position "auto" of the restart forms: a download from the local file's end, an upload
// from the server's size of the remote file (from 0 when it has none).
inline constexpr int64_t FTP_POSITION_AUTO = INT64_MIN;
// The restart forms told the local file's path as well, so that a retry after a lost connection
// can open it again. An upload's position may be FTP_POSITION_AUTO (the file's position is then
// set here); a download's may not.
int32_t FtpRestartRecvFileFrom(const char* remote, int32_t file, const char* localPath, char type,
                               int64_t position, int32_t key);
int32_t FtpRestartSendFileFrom(int32_t file, const char* localPath, const char* remote, char type,
                               int64_t position, int32_t key);
// moreDetails 0: NLST; 2: one fact line per entry (listing_parser.h), from MLSD when
// the server offers it, else from LIST; any other value: LIST.
int32_t FtpDir(const char* filter, const char* localPath, int32_t moreDetails, int32_t key);
// The facts of one remote name as one fact line ("type=file;size=5;modify=20240229131415; a"),
// into output (at most capacity - 1 characters). From MLST when FEAT offers it, else from SIZE
// and MDTM, a directory being recognised first by CWD into it and back (then no SIZE). FTP_OK; FTP_BAD_PARAMETERS
// for an empty name or one that cannot be sent; the server's refusal as FTP_ACTION_NOT_TAKEN
// (550) or FTP_COMMAND_NOT_EXECUTED (500 to 504); what the exchange gave otherwise.
int32_t FtpFileInfo(const char* name, char* output, int32_t capacity, int32_t key);

// ---------------------------------------------------------------------------------------------
// Abort and cancellation

// Ends a transfer early: the Telnet interrupt and ABOR, the data side closed, then the replies
// up to the one that answers ABOR, within a bound of its own that cancellations do not cut.
void FtpAbortTransfer(FtpSession* session, int32_t position);
// From any thread: marks the session's running operation for abort and interrupts its blocked
// call, now and in every wait that follows until the operation ends; nothing when no operation
// runs. 1 when the session exists, 0 otherwise.
int32_t FtpCancel(int32_t key);
