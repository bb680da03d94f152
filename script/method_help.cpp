#include "method_help.h"

#include <cctype>
#include <cstring>

namespace {

bool SameName(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

const MethodHelp kMethodHelp[] = {
    {"new", false, false, "gives the object its session and listing file", ""},
    {"forget", false, false,
     "stops a running operation, logs out, ends the session and deletes the listing file", ""},
    {"ftpLogin", true, false, "connects to port 21 of Host (or the port option) and logs in",
     "Host: a name or an address\nUserName: the account (\"anonymous\" for public servers)\n"
     "Password: the account's password (kept out of the history)"},
    {"ftpLogout", false, false, "stops a running operation, sends QUIT and closes", ""},
    {"ftpDir", true, true,
     "lists a remote folder into the object's listing file; ftpResult then gives its lines",
     "Filter: a folder, a file or a pattern (\"\" for the current folder)\n"
     "MoreDetails: 1 for the long form (LIST: sizes, dates, rights), 0 for names only (NLST), 2 "
     "for fact lines (\"type=file;size=1048576;modify=20240229131415; d.bin\")"},
    {"ftpRecvFile", true, true, "downloads into a new local file (made or emptied)",
     "RemoteFileName: the file on the server\nLocalFileName: the file here"},
    {"ftpRestartRecvFile", true, true, "resumes a download at Position bytes of the local file",
     "RemoteFileName: the file on the server\nLocalFileName: the file here, kept up to Position\n"
     "Position: where to go on, in bytes (usually the local file's size), a number or a text of "
     "digits; \"auto\": from the local file's size"},
    {"ftpAppendToLocalFile", true, true, "downloads, appending to the local file",
     "RemoteFileName: the file on the server\nLocalFileName: the file here"},
    {"ftpSendFile", true, true, "uploads (STOR), replacing the remote file",
     "LocalFileName: the file here\nRemoteFileName: the file on the server"},
    {"ftpRestartSendFile", true, true, "resumes an upload from Position",
     "LocalFileName: the file here\nRemoteFileName: the file on the server\n"
     "Position: where to go on, in bytes (usually the remote file's size), a number or a text of "
     "digits; \"auto\": from the server's size of the remote file (SIZE; none: from 0)"},
    {"ftpAppendToRemoteFile", true, true, "uploads, appending to the remote file (APPE)",
     "LocalFileName: the file here\nRemoteFileName: the file on the server"},
    {"ftpRenameFile", true, false, "renames a remote file or folder (RNFR, RNTO)",
     "RemoteFileName: its name now\nNewRemoteFileName: its new name"},
    {"ftpDeleteFile", true, false, "deletes a remote file (DELE)",
     "RemoteFileName: the file on the server"},
    {"ftpDeleteDirectory", true, false, "deletes an empty remote folder (RMD)",
     "RemoteDirectoryName: the folder on the server"},
    {"ftpCreateDirectory", true, false, "makes a remote folder (MKD)",
     "RemoteDirectoryName: the folder on the server"},
    {"ftpCDUp", true, false, "goes to the parent folder (CDUP)", ""},
    {"ftpCWD", true, false, "changes the remote folder (CWD)", "PathName: the folder"},
    {"ftpPWD", true, false, "asks for the remote folder (PWD); ftpResult then gives it", ""},
    {"ftpHelp", true, false, "asks the server for help (HELP); ftpResult then gives it",
     "Command: a command to ask about, or \"\" for the list"},
    {"ftpCommand", true, false,
     "sends a line as it is; its result is the reply's code and ftpResult the reply",
     "Command: the command line, without its line end"},
    {"ftpAbort", false, false,
     "asks the running operation to stop (it then ends with -1); 1 when one runs", ""},
    {"ftpBytesTransferred", false, false,
     "bytes moved by the current or last transfer (2147483647 beyond that)", ""},
    {"ftpBytesToBeTransferred", false, false,
     "bytes the transfer expects (0 when the server gives no size; 2147483647 beyond that)", ""},
    {"ftpProgress", false, false,
     "\"TRANSFERRED TOTAL\": both counts exact at any size, TOTAL 0 when unknown", ""},
    {"ftpDone", false, false, "0 while the operation runs, else 1", ""},
    {"ftpResult", false, false,
     "the last listing as a list of lines, or the text of the last ftpPWD, ftpHelp or "
     "ftpCommand",
     ""},
    {"ftpErrorCode", false, false, "the last operation's result: 0 while it runs or before any",
     ""},
    {"ftpErrorMessage", false, false, "the message of that result", ""},
    {"ftpSetOption", false, false,
     "sets one of the object's options for its next operations: 0 when taken, 1000 for an "
     "unknown name or a value out of range, 1001 while an operation runs",
     "Name: the option (letter case ignored)\nValue: decimal text, or a path for caFile"},
    {"ftpLastReply", false, false,
     "the last complete reply of the server, useful after a failure (\"550 No such file\")", ""},
    {"ftpFileInfo", true, false,
     "the facts of one remote file or folder; ftpResult then gives one fact line "
     "(\"type=file;size=1048576;modify=20240229131415; d.bin\")",
     "Name: the remote file or folder"},
};
const size_t kMethodHelpCount = sizeof kMethodHelp / sizeof kMethodHelp[0];

const OptionHelp kOptionHelp[] = {
    {"passive", false, 0, 1, "0",
     "1: data connections through EPSV or PASV (the client connects), for firewalls and NAT"},
    {"port", false, 1, 65535, "21", "the server's control port for the next ftpLogin"},
    {"throttle", false, 0, 1, "1",
     "0: full speed; 1: paced, at most 40 KiB per 100 ms (about 400 KiB/s alone)"},
    {"timeout", false, 1, 3600, "30",
     "seconds for replies, connects, accepts and each wait of a transfer"},
    {"trace", false, 0, 1, "0",
     "1: commands and replies on standard error (passwords as ****); the debugger output on "
     "Windows"},
    {"tls", false, 0, 2, "0", "FTPS: 1 explicit (AUTH TLS), 2 implicit (port 990)"},
    {"tlsVerify", false, 0, 1, "1",
     "1 checks the server's certificate and name; 0 is insecure, for tests only"},
    {"keepalive", false, 0, 3600, "0",
     "seconds without control traffic during a transfer before a NOOP; 0: off"},
    {"features", false, 0, 1, "0",
     "1: FEAT after each login, UTF-8 names when offered, SIZE before downloads for the total"},
    {"retries", false, 0, 100, "0",
     "times a transfer or listing that lost its connection is tried again, resumed where it "
     "stopped; ftpLogin's connect too"},
    {"retryDelay", false, 0, 600000, "1000",
     "milliseconds before the first try again; doubled each time, at most 60000"},
    {"verify", false, 0, 2, "0",
     "1: the server's SIZE checked after each transfer; 2: its checksum too, when it offers one"},
    {"dataPeer", false, 0, 1, "0",
     "active mode: 0 takes data connections from the server's address only; 1 from any "
     "address, for servers that connect from another of theirs"},
    {"caFile", true, 0, 1024, "\"\"", "a PEM file of trusted certificates instead of the system's"},
};
const size_t kOptionHelpCount = sizeof kOptionHelp / sizeof kOptionHelp[0];

const ValueHelp kTransferTypes[] = {
    {65, "'A', ASCII: line ends converted"},
    {73, "'I', image: bytes as they are"},
    {76, "'L', local byte size 8"},
};
const size_t kTransferTypeCount = sizeof kTransferTypes / sizeof kTransferTypes[0];

const MethodHelp* FindMethodHelp(const char* name) {
    for (const MethodHelp& row : kMethodHelp) {
        if (strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

const OptionHelp* FindOptionHelp(const char* name) {
    for (const OptionHelp& row : kOptionHelp) {
        if (SameName(row.name, name)) {
            return &row;
        }
    }
    return nullptr;
}
