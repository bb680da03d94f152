// The data connection: listen, announce with PORT, send the transfer command, accept.

#include "data_connection.h"

#include <cstdio>
#include <cstring>

#include "session_internal.h"

bool FtpFormatPort(char* out, size_t size, uint32_t address, uint16_t port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    int n = snprintf(out, size, "PORT %u,%u,%u,%u,%u,%u", b[0], b[1], b[2], b[3],
                     static_cast<unsigned>(port >> 8), static_cast<unsigned>(port & 0xFF));
    return n > 0 && static_cast<size_t>(n) < size;
}

int32_t FtpListenAndPort(FtpConnection* connection, int32_t key) {
    int32_t listenSocket = -1;
    uint16_t port = 0;
    if (TcpGetListenSocket(&listenSocket, nullptr, &port, 1) != NET_OK) {
        return DATA_CHANNEL_FAILED;
    }
    // The server connects to the address this host has on the control connection.
    uint32_t address = 0;
    char line[32];
    if (PlatGetSockName(connection->controlSocket, &address, nullptr) != 0 ||
        !FtpFormatPort(line, sizeof line, address, port)) {
        TcpClose(&listenSocket);
        return DATA_CHANNEL_FAILED;
    }
    if (TnSend(connection->controlSocket, line, 0, connection->logFile) == NET_OK &&
        FtpReadReply(connection, key) == 200) {
        return listenSocket;
    }
    TcpClose(&listenSocket);
    return DATA_COMMAND_FAILED;
}

namespace {

int32_t OpenLocalFile(const char* path, int32_t mode) {
    switch (mode) {
        case LOCAL_OPEN_CREATE: return PlatFileCreate(path);
        case LOCAL_OPEN_READ: return PlatFileOpen(path, PLAT_OF_READ);
        case LOCAL_OPEN_APPEND: {
            int32_t file = PlatFileOpen(path, PLAT_OF_WRITE);
            if (file == -1) {
                return PlatFileCreate(path);
            }
            if (PlatFileSeek(file, 0, PLAT_FILE_END) == -1) {
                PlatFileClose(file);
                return -1;
            }
            return file;
        }
        default: return -1;
    }
}

void CloseFile(int32_t* file) {
    if (*file != -1) {
        PlatFileClose(*file);
        *file = -1;
    }
}

// Accepts the server's data connection within the session's time-out. Anyone can connect to an
// announced port first, so a connection from another address than the control connection's
// peer is closed and the wait goes on.
int32_t AcceptFromServer(FtpSession* session, int32_t listenSocket, int32_t* accepted) {
    const FtpConnection& c = session->connection;
    uint32_t serverAddress = 0;
    bool checkPeer = PlatGetPeerName(c.controlSocket, &serverAddress, nullptr) == 0;
    const uint32_t limitMs = c.timeoutSeconds * 1000u;
    const uint32_t start = PlatTickCount();
    for (;;) {
        int32_t wait = 0;  // no limit
        if (c.timeoutSeconds != 0) {
            uint32_t elapsed = PlatTickCount() - start;
            if (elapsed >= limitMs) {
                return NET_TIMEOUT;
            }
            wait = static_cast<int32_t>((limitMs - elapsed + 999) / 1000);
        }
        int32_t result = TcpAccept(accepted, listenSocket, wait);
        if (result != NET_OK) {
            return result;
        }
        uint32_t peer = 0;
        if (!checkPeer || (PlatGetPeerName(*accepted, &peer, nullptr) == 0 && peer == serverAddress)) {
            return NET_OK;
        }
        TcpClose(accepted);
    }
}

}  // namespace

int32_t FtpStartTransfer(FtpSession* session, const char* localPath, int32_t mode, char type,
                         int32_t restartPosition, const char* commandLine) {
    PlatCancelScope scope(session->cancelTarget);
    const int32_t key = session->sessionKey;
    FtpConnection& c = session->connection;
    CloseFile(&session->localFile);
    session->abortRequested = 0;

    if (type == 'I' || type == 'A' || type == 'L') {
        int32_t result = FtpSelectType(type, key);
        if (result != FTP_OK) {
            return result;
        }
    }

    // A file to read is opened now. A file to write is only checked now, so that 1004 still
    // comes before PORT and the transfer command; it is created, emptied or appended to once the
    // server has accepted the transfer, so that a refusal leaves it as it was and makes no file.
    int32_t file = -1;
    const bool writesFile =
        localPath != nullptr && (mode == LOCAL_OPEN_CREATE || mode == LOCAL_OPEN_APPEND);
    if (localPath != nullptr) {
        if (writesFile ? !PlatFileCanWrite(localPath)
                       : (file = OpenLocalFile(localPath, mode)) == -1) {
            return FTP_CANNOT_OPEN_FILE;
        }
    }

    int32_t listenSocket = FtpListenAndPort(&c, key);
    if (listenSocket == DATA_COMMAND_FAILED || listenSocket == DATA_CHANNEL_FAILED) {
        CloseFile(&file);
        return listenSocket == DATA_COMMAND_FAILED ? FTP_UNEXPECTED_ANSWER
                                                   : FTP_DATA_CONNECTION_FAILED;
    }

    int32_t result = FTP_OK;
    if (restartPosition > 0) {
        result = FtpSendRestart(restartPosition, key);
        if (result == FTP_RESTART_OK) {
            result = FTP_OK;
        }
    }
    if (result == FTP_OK && TnSend(c.controlSocket, commandLine, 0, c.logFile) != NET_OK) {
        result = FTP_SEND_FAILED;
    }
    if (result == FTP_OK) {
        int32_t code = FtpReadReply(&c, key);
        if (code == 125 || code == 150) {
            int32_t accepted = -1;
            int32_t acceptResult = AcceptFromServer(session, listenSocket, &accepted);
            TcpClose(&listenSocket);
            if (acceptResult != NET_OK) {
                CloseFile(&file);
                return !FtpSessionIsValid(session) || session->abortRequested
                           ? FTP_ABORTED
                           : FTP_DATA_CONNECTION_FAILED;
            }
            c.dataSocket = accepted;
            if (writesFile && (file = OpenLocalFile(localPath, mode)) == -1) {
                // The check passed but the file cannot be made after all: the server is sending
                // already, so the transfer is ended as any other that cannot be written.
                FtpAbortTransfer(session, true, 11);
                return FTP_CANNOT_OPEN_FILE;
            }
            session->localFile = file;
            return FTP_OK;
        }
        result = code == 550   ? FTP_CANNOT_OPEN_REMOTE
                 : code == 553 ? FTP_TRANSFER_REFUSED
                 : code == -1  ? FTP_NO_ANSWER
                               : FTP_UNEXPECTED_ANSWER;
    }
    CloseFile(&file);
    TcpClose(&listenSocket);
    return result;
}
