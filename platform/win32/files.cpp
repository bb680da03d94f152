// Local files with 32-bit handles on Win32: the _lopen family of kernel32, whose HFILE is the
// handle.

#include <string>

#include "platform.h"
#include "win32/wait.h"

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
    HFILE file = _lopen(path, mode & 3);
    return file == HFILE_ERROR ? PLAT_FILE_ERROR : static_cast<int32_t>(file);
}

int32_t PlatFileCreate(const char* path) {
    if (path == nullptr || PlatTakeFault(PlatFault::FileCreate)) {
        return PLAT_FILE_ERROR;
    }
    HFILE file = _lcreat(path, 0);
    return file == HFILE_ERROR ? PLAT_FILE_ERROR : static_cast<int32_t>(file);
}

bool PlatFileCanWrite(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    DWORD attributes = GetFileAttributesA(directory.c_str());
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
    return DeleteFileA(path) ? 0 : -1;
}
