// The engine's result codes. Every engine operation returns one of these (or, for a raw command,
// the server's reply code). FtpErrorMessage gives the text a script sees.
#pragma once

#include <cstdint>

inline constexpr int32_t FTP_OK = 0;
inline constexpr int32_t FTP_PASSWORD_REQUIRED = 1;
inline constexpr int32_t FTP_ACCOUNT_REQUIRED = 2;
inline constexpr int32_t FTP_RESTART_OK = 3;
inline constexpr int32_t FTP_ABORTED = -1;
inline constexpr int32_t FTP_DATA_CLOSED_BY_SERVER = 4;
inline constexpr int32_t FTP_BAD_PARAMETERS = 1000;
inline constexpr int32_t FTP_SESSION_IN_USE = 1001;
inline constexpr int32_t FTP_NOT_INITIALIZED = 1002;
inline constexpr int32_t FTP_NOT_CONNECTED = 1003;
inline constexpr int32_t FTP_CANNOT_OPEN_FILE = 1004;
inline constexpr int32_t FTP_CANNOT_WRITE_FILE = 1005;
inline constexpr int32_t FTP_NO_ACTIVE_SESSION = 1006;
inline constexpr int32_t FTP_SESSION_STILL_ACTIVE = 1007;
inline constexpr int32_t FTP_ACTION_NOT_TAKEN = 1008;
inline constexpr int32_t FTP_LOGIN_REJECTED = 1009;
inline constexpr int32_t FTP_CANNOT_OPEN_REMOTE = 1010;
inline constexpr int32_t FTP_TRANSFER_REFUSED = 1011;
inline constexpr int32_t FTP_WINSOCK_REQUIRED = 1012;
inline constexpr int32_t FTP_CLOSE_FAILED = 1013;
inline constexpr int32_t FTP_TEMPORARY_ERROR = 1014;
inline constexpr int32_t FTP_FIREWALL_LOGIN_REJECTED = 1015;
inline constexpr int32_t FTP_SYNCHRONOUS_ONLY = 1016;
inline constexpr int32_t FTP_HOST_UNRESOLVED = 2001;
inline constexpr int32_t FTP_NO_ANSWER = 2002;
inline constexpr int32_t FTP_CONNECT_ERROR = 2003;
inline constexpr int32_t FTP_NO_SERVER = 2004;
inline constexpr int32_t FTP_SEND_FAILED = 2005;
inline constexpr int32_t FTP_DATA_CONNECTION_FAILED = 2006;
inline constexpr int32_t FTP_TIMEOUT = 2007;
inline constexpr int32_t FTP_FIREWALL_CONNECT_ERROR = 2008;
inline constexpr int32_t FTP_FIREWALL_NO_SERVER = 2009;
// A binary transfer moved another number of bytes than the server announced for it.
inline constexpr int32_t FTP_TRANSFER_SHORT = 2010;
// The host name's look-up took the whole time-out.
inline constexpr int32_t FTP_LOOKUP_TIMEOUT = 2011;
inline constexpr int32_t FTP_UNEXPECTED_ANSWER = 3001;
inline constexpr int32_t FTP_TYPE_REJECTED = 3002;
inline constexpr int32_t FTP_COMMAND_NOT_EXECUTED = 3003;
inline constexpr int32_t FTP_PWD_NO_DIRECTORY = 3004;
inline constexpr int32_t FTP_NO_PASSIVE_MODE = 3005;
// The verify option found the server's size or checksum of the file differing from ours.
inline constexpr int32_t FTP_VERIFY_FAILED = 3006;
inline constexpr int32_t FTP_TLS_REFUSED = 4001;
inline constexpr int32_t FTP_TLS_HANDSHAKE_FAILED = 4002;
inline constexpr int32_t FTP_TLS_UNTRUSTED = 4003;
inline constexpr int32_t FTP_TLS_NAME_MISMATCH = 4004;
// The server refused the login because the connection is not secured (530, 534 or 550 to USER
// or PASS saying that TLS is required).
inline constexpr int32_t FTP_TLS_REQUIRED = 4005;
inline constexpr int32_t FTP_NO_RESOURCES = 5002;
inline constexpr int32_t FTP_NO_MEMORY = 5003;
inline constexpr int32_t FTP_NO_SOCKET = 5004;
inline constexpr int32_t FTP_BIND_FAILED = 5005;
inline constexpr int32_t FTP_HOST_NOT_LISTED = 5006;

// The message of code, or "Unknown Error" for a code that has none. Never null.
const char* FtpErrorMessage(int32_t code);
