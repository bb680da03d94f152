// Local files with 32-bit handles on Win32: the _lopen family of kernel32, whose HFILE is the
// handle. Files are opened by their wide names (the host's path read in the ANSI code page), so
// that the path reaches the file system as the characters it names.

#include <string>

#include "platform.h"
#include "win32/wait.h"

namespace {

// path, in the ANSI code page, as UTF-16; empty when it does not convert.
std::wstring WideName(const char* path) {
    const int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (length <= 1) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, &wide[0], length) != length) {
        return std::wstring();
    }
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

// A handle as the HFILE that the _l functions take, or PLAT_FILE_ERROR.
int32_t AsFile(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE
               ? PLAT_FILE_ERROR
               : static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

int32_t PlatFileOpen(const char* path, int32_t mode) {
    if (path == nullptr) {
        return PLAT_FILE_ERROR;
    }
    // Only the access bits: the sharing bits of OF_* are not part of this interface.
    switch (mode & 3) {
        case PLAT_OF_READ:
        case PLAT_OF_WRITE:
        case PLAT_OF_READWRITE:
            break;
        default:
            return PLAT_FILE_ERROR;
    }
    // What _lopen does in its compatibility sharing mode, by the wide name.
    static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    const std::wstring wide = WideName(path);
    if (wide.empty()) {
        return PLAT_FILE_ERROR;
    }
    return AsFile(CreateFileW(wide.c_str(), access[mode & 3], FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t PlatFileCreate(const char* path) {
    if (path == nullptr || PlatTakeFault(PlatFault::FileCreate)) {
        return PLAT_FILE_ERROR;
    }
    // What _lcreat does: created or emptied, open for reading and writing.
    const std::wstring wide = WideName(path);
    if (wide.empty()) {
        return PLAT_FILE_ERROR;
    }
    return AsFile(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool PlatFileCanWrite(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    const std::wstring wide = WideName(path);
    if (wide.empty()) {
        return false;
    }
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return true;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    // No file yet: its directory must exist. Whether the directory's access rights allow a new
    // file shows only when it is made; the caller is ready for that to fail.
    const std::string whole(path);
    const size_t separator = whole.find_last_of("\\/");
    std::string directory;
    if (separator == std::string::npos) {
        directory = whole.size() >= 2 && whole[1] == ':' ? whole.substr(0, 2) : std::string(".");
    } else {
        // A root (\x, C:\x) keeps its separator.
        const bool root = separator == 0 || (separator == 2 && whole[1] == ':');
        directory = whole.substr(0, root ? separator + 1 : separator);
    }
    const std::wstring wideDirectory = WideName(directory.c_str());
    DWORD attributes = wideDirectory.empty() ? INVALID_FILE_ATTRIBUTES
                                             : GetFileAttributesW(wideDirectory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int32_t PlatFileRead(int32_t file, void* buffer, uint32_t count) {
    if (file < 0 || count > 0x7FFFFFFFu) {
        return PLAT_FILE_ERROR;
    }
    if (PlatTakeFault(PlatFault::FileRead)) {
        return PLAT_FILE_ERROR;
    }
    UINT n = _lread(static_cast<HFILE>(file), buffer, count);
    return n == static_cast<UINT>(HFILE_ERROR) ? PLAT_FILE_ERROR : static_cast<int32_t>(n);
}

int32_t PlatFileWrite(int32_t file, const void* data, uint32_t count) {
    if (file < 0 || count > 0x7FFFFFFFu) {
        return PLAT_FILE_ERROR;
    }
    if (count > 0 && PlatTakeFault(PlatFault::ShortFileWrite)) {
        --count;
    }
    // _lwrite of zero bytes cuts the file off at the current position (the old DOS meaning);
    // writing nothing must leave the file alone.
    if (count == 0) {
        return 0;
    }
    // Keep writing until all is written or the device refuses more; a full device shows as a
    // short count.
    uint32_t done = 0;
    while (done < count) {
        UINT n = _lwrite(static_cast<HFILE>(file), static_cast<LPCCH>(data) + done, count - done);
        if (n == static_cast<UINT>(HFILE_ERROR) || n == 0) {
            const DWORD error = GetLastError();
            if (done == 0 && error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL) {
                return PLAT_FILE_ERROR;
            }
            break;
        }
        done += n;
    }
    return static_cast<int32_t>(done);
}

int64_t PlatFileSeek(int32_t file, int64_t offset, int32_t origin) {
    if (file < 0) {
        return PLAT_FILE_ERROR;
    }
    switch (origin) {
        case PLAT_FILE_BEGIN:
        case PLAT_FILE_CURRENT:
        case PLAT_FILE_END:
            break;
        default:
            return PLAT_FILE_ERROR;
    }
    // _llseek takes and returns a 32-bit LONG; the HFILE is the file's handle, which
    // SetFilePointerEx moves by a 64-bit distance (FILE_BEGIN, _CURRENT and _END have the
    // same values as the origins here).
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(LongToHandle(file), distance, &position, static_cast<DWORD>(origin))) {
        return PLAT_FILE_ERROR;
    }
    return static_cast<int64_t>(position.QuadPart);
}

int32_t PlatFileClose(int32_t file) {
    if (file < 0) {
        return PLAT_FILE_ERROR;
    }
    return _lclose(static_cast<HFILE>(file)) == HFILE_ERROR ? PLAT_FILE_ERROR : 0;
}

int32_t PlatFileDelete(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    const std::wstring wide = WideName(path);
    return !wide.empty() && DeleteFileW(wide.c_str()) ? 0 : -1;
}
