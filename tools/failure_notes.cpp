#include "failure_notes.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform.h"

namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

// A byte count for a person: "512 B", "3.2 MiB".
std::string Bytes(uintmax_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

std::string LocalFileProblem(const std::string& path, bool reading, int32_t code) {
    std::error_code error;
    fs::path file(path);
    fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    if (code == 1005) {
        fs::space_info space = fs::space(folder, error);
        if (!error && space.available < (1u << 20)) {
            return "the disk is full (" + Bytes(space.available) + " free)";
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
