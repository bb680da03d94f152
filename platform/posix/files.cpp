// Local files with 32-bit handles on POSIX: the file descriptor is the handle.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "posix/wait.h"

int32_t PlatFileOpen(const char* path, int32_t mode) {
    if (path == nullptr) {
        return PLAT_FILE_ERROR;
    }
    int flags = O_CLOEXEC;
    switch (mode & 3) {
        case PLAT_OF_READ: flags |= O_RDONLY; break;
        case PLAT_OF_WRITE: flags |= O_WRONLY; break;
        case PLAT_OF_READWRITE: flags |= O_RDWR; break;
        default: return PLAT_FILE_ERROR;
    }
    int fd;
    do {
        fd = open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? PLAT_FILE_ERROR : fd;
}

int32_t PlatFileCreate(const char* path) {
    if (path == nullptr || PlatTakeFault(PlatFault::FileCreate)) {
        return PLAT_FILE_ERROR;
    }
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? PLAT_FILE_ERROR : fd;
}

bool PlatFileCanWrite(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    // No file yet: creating one needs write and search permission on its directory.
    const char* slash = strrchr(path, '/');
    const std::string directory =
        slash == nullptr ? std::string(".")
                         : std::string(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    struct stat info {};
    return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

int32_t PlatFileRead(int32_t file, void* buffer, uint32_t count) {
    if (file < 0 || count > 0x7FFFFFFFu) {
        return PLAT_FILE_ERROR;
    }
    if (PlatTakeFault(PlatFault::FileRead)) {
        return PLAT_FILE_ERROR;
    }
    ssize_t n;
    do {
        n = read(file, buffer, count);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? PLAT_FILE_ERROR : static_cast<int32_t>(n);
}

int32_t PlatFileWrite(int32_t file, const void* data, uint32_t count) {
    if (file < 0 || count > 0x7FFFFFFFu) {
        return PLAT_FILE_ERROR;
    }
    if (count > 0 && PlatTakeFault(PlatFault::ShortFileWrite)) {
        --count;
    }
    // Like _lwrite: keep writing until all is written or the device refuses more; a full device
    // shows as a short count.
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(file, static_cast<const char*>(data) + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (done == 0 && errno != ENOSPC && errno != EDQUOT && errno != EFBIG) {
                return PLAT_FILE_ERROR;
            }
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

int64_t PlatFileSeek(int32_t file, int64_t offset, int32_t origin) {
    if (file < 0) {
        return PLAT_FILE_ERROR;
    }
    int whence;
    switch (origin) {
        case PLAT_FILE_BEGIN: whence = SEEK_SET; break;
        case PLAT_FILE_CURRENT: whence = SEEK_CUR; break;
        case PLAT_FILE_END: whence = SEEK_END; break;
        default: return PLAT_FILE_ERROR;
    }
    static_assert(sizeof(off_t) == 8, "file positions must be 64-bit");
    off_t position = lseek(file, static_cast<off_t>(offset), whence);
    return position < 0 ? PLAT_FILE_ERROR : static_cast<int64_t>(position);
}

int32_t PlatFileClose(int32_t file) {
    if (file < 0) {
        return PLAT_FILE_ERROR;
    }
    return close(file) == 0 || errno == EINTR ? 0 : PLAT_FILE_ERROR;
}

int32_t PlatFileDelete(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}
