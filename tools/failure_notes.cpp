#include "failure_notes.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "advice.h"
#include "platform.h"
#include "value_display.h"

namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

}  // namespace

std::string LocalFileProblem(const std::string& path, bool reading, int32_t code) {
    std::error_code error;
    fs::path file(path);
    fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    if (code == 1005) {
        fs::space_info space = fs::space(folder, error);
        if (!error && space.available < (1u << 20)) {
            return "the disk is full (" + HumanBytes(static_cast<double>(space.available), true) +
                   " free)";
        }
        return "writing failed (the disk may be full, or the file was taken away)";
    }
    if (fs::is_directory(file, error)) {
        return "is a folder, not a file";
    }
    if (reading) {
        if (!fs::exists(file, error)) {
            return fs::is_directory(folder, error)
                       ? "does not exist"
                       : "does not exist, nor does its folder " + Quoted(folder);
        }
        int32_t probe = PlatFileOpen(path.c_str(), PLAT_OF_READ);
        if (probe < 0) {
            return "cannot be read: permission denied";
        }
        PlatFileClose(probe);
        return "could not be opened";
    }
    if (!fs::is_directory(folder, error)) {
        return "cannot be made: its folder " + Quoted(folder) + " does not exist";
    }
    if (!PlatFileCanWrite(path.c_str())) {
        return fs::exists(file, error)
                   ? "cannot be written: permission denied"
                   : "cannot be made: the folder " + Quoted(folder) + " is not writable";
    }
    return "could not be opened for writing";
}

bool ServerRefused(int32_t code) {
    switch (code) {
        case 1:     // password required
        case 2:     // account required
        case 1008:  // file action not taken
        case 1009:  // user or password refused
        case 1010:  // remote file cannot be opened
        case 1011:  // transfer refused
        case 1014:
        case 1015:
        case 2004:  // no FTP server
        case 3001:  // unexpected answer
        case 3002:  // TYPE refused
        case 3003:  // command refused
        case 3005:  // no passive mode
        case 4001:  // TLS refused
            return true;
        default:
            return false;
    }
}

std::string FailureHint(int32_t code, const std::string& object) {
    switch (code) {
        case 1003:
            return "log in first (ftpLogin " + object + " ...), or again if the server closed";
        case 1005:
            return "make room on the disk, or download into another folder";
        case 1009:
            return "check the user name and the password";
        case 1010:
            return "check the remote name: ftpPWD " + object + " shows the folder, ftpDir " +
                   object + " \"\" 1 lists it";
        case 1011:
        case 2006:
            return "the data connection failed: try ftpSetOption " + object + " \"passive\" \"1\"";
        case 2001:
            return "check the host name";
        case 2002:
        case 2007:
            return "the server did not answer in time: check the network, or raise "
                   "ftpSetOption " +
                   object + " \"timeout\"";
        case 2003:
            return "nothing accepted the connection: check the host, and the port (ftpSetOption " +
                   object + " \"port\")";
        case 3005:
            return "the server has no passive mode: ftpSetOption " + object + " \"passive\" \"0\"";
        case 4005:
            return "the server takes logins only over TLS: ftpSetOption " + object +
                   " \"tls\" \"1\", then log in again";
        case 4003:
        case 4004:
            return "the certificate was not accepted: name a trusted one with ftpSetOption " +
                   object + " \"caFile\"";
        default:
            return "";
    }
}

bool LastReplyExplains(int32_t code) {
    return ServerRefused(code) || code == 1003;
}

std::vector<std::string> FailureNotes(const MethodInfo* method,
                                      const std::vector<ScriptToken>& arguments,
                                      const std::string& object, int32_t code,
                                      const std::string& lastReply) {
    std::vector<std::string> notes;
    // Only a refusal, and for a lost connection only the server's closing word: an older reply
    // would explain nothing.
    bool refusal = LastReplyExplains(code) && !lastReply.empty() &&
                   (lastReply[0] == '4' || lastReply[0] == '5') &&
                   (code != 1003 || lastReply.rfind("421", 0) == 0);
    if (refusal) {
        std::string note = "the server said: ";
        bool first = true;
        for (const std::string& line : SplitLines(lastReply)) {
            note += (first ? "" : "\n    ") + EscapeForDisplay(line, false);
            first = false;
        }
        const ScriptToken* remote =
            method != nullptr ? ArgumentNamed(*method, arguments, "RemoteFileName") : nullptr;
        if (remote != nullptr) {
            note += " (remote file " + DisplayString(remote->text) + ")";
        }
        notes.push_back(note);
    }
    const ScriptToken* local =
        method != nullptr ? ArgumentNamed(*method, arguments, "LocalFileName") : nullptr;
    if ((code == 1004 || code == 1005) && local != nullptr) {
        // Uploads read their local file; downloads write it.
        bool reading = method->name.find("Send") != std::string::npos ||
                       method->name.find("ToRemote") != std::string::npos;
        notes.push_back("local file " + DisplayString(local->text) + ": " +
                        LocalFileProblem(local->text, reading, code));
    }
    std::string hint = FailureHint(code, object);
    if (!hint.empty()) {
        notes.push_back("hint: " + hint);
    }
    return notes;
}
