// Received data into files inside the kernel on Linux: splice from the socket into a pipe and
// from the pipe into the file. The sockets are non-blocking underneath (sockets.cpp), so every
// wait happens in PosixWait, bounded and cancellable, and each call moves at most what the pipe
// holds.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform.h"
#include "posix/wait.h"
#include "zero_copy.h"

struct PlatFileCopy {
    // The pipe between socket and file, its capacity, and whether the file turned out unable to
    // take spliced data.
    int pipeRead = -1;
    int pipeWrite = -1;
    uint32_t pipeSize = 0;
    bool fileRefused = false;
};

namespace {

// The pipe's capacity asked for: larger pipes mean fewer calls per megabyte.
constexpr int kPipeBytes = 1 << 20;

// Errors that mean "not for this file or socket" rather than a failure of either.
bool Unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

int32_t SocketFailed(int err) {
    PosixSetSocketErrorFromErrno(err);
    return PLAT_COPY_SOCKET_FAILED;
}

// Writes what the pipe holds (count bytes) to file with read and write, for a file that takes
// no spliced data. False when the file took less.
bool DrainThroughMemory(PlatFileCopy* copy, int file, uint32_t count) {
    char buffer[16384];
    while (count > 0) {
        const size_t want = count < sizeof buffer ? count : sizeof buffer;
        ssize_t got = read(copy->pipeRead, buffer, want);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        if (PlatFileWrite(file, buffer, static_cast<uint32_t>(got)) != got) {
            return false;
        }
        count -= static_cast<uint32_t>(got);
    }
    return true;
}

}  // namespace

PlatFileCopy* PlatFileCopyOpen() {
    auto* copy = new (std::nothrow) PlatFileCopy;
    if (copy == nullptr) {
        return nullptr;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        delete copy;
        return nullptr;
    }
    copy->pipeRead = ends[0];
    copy->pipeWrite = ends[1];
    // A smaller pipe than asked for (a per-user limit) still works, with more calls.
    fcntl(copy->pipeWrite, F_SETPIPE_SZ, kPipeBytes);
    const int size = fcntl(copy->pipeWrite, F_GETPIPE_SZ);
    copy->pipeSize = size > 0 ? static_cast<uint32_t>(size) : 65536u;
    return copy;
}

void PlatFileCopyClose(PlatFileCopy* copy) {
    if (copy == nullptr) {
        return;
    }
    close(copy->pipeRead);
    close(copy->pipeWrite);
    delete copy;
}

int32_t PlatFileCopyRecv(PlatFileCopy* copy, PlatSocket s, int32_t file, uint32_t count,
                         int32_t timeoutMs) {
    if (copy == nullptr || copy->fileRefused || file < 0 || count == 0) {
        return PLAT_COPY_UNSUPPORTED;
    }
    if (count > copy->pipeSize) {
        count = copy->pipeSize;
    }
    // Socket to pipe. The pipe is empty here: every call empties it before it returns.
    uint32_t taken = 0;
    for (;;) {
        ssize_t n = splice(s, nullptr, copy->pipeWrite, nullptr, count,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            taken = static_cast<uint32_t>(n);
            break;
        }
        if (n == 0) {
            return 0;
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            const int32_t ready = PosixWait(s, POLLIN, timeoutMs);
            if (ready < 0) {
                return PLAT_COPY_SOCKET_FAILED;
            }
            if (ready == 0) {
                return PLAT_COPY_TIMEOUT;
            }
            continue;
        }
        return Unsupported(err) ? PLAT_COPY_UNSUPPORTED : SocketFailed(err);
    }
    // Pipe to file, all of it. A short write (the test seam's, or a full device) fails the call.
    uint32_t want = taken;
    if (PlatTakeFault(PlatFault::ShortFileWrite)) {
        --want;
    }
    uint32_t written = 0;
    while (written < want) {
        ssize_t n = splice(copy->pipeRead, nullptr, file, nullptr, want - written, SPLICE_F_MOVE);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && Unsupported(errno) && written == 0) {
            // A file that takes no spliced data (opened for appending, say): this call's bytes
            // go through memory, and the caller moves the rest with its own loop.
            copy->fileRefused = true;
            return DrainThroughMemory(copy, file, want) && want == taken
                       ? static_cast<int32_t>(taken)
                       : PLAT_COPY_FILE_FAILED;
        }
        return PLAT_COPY_FILE_FAILED;
    }
    return want == taken ? static_cast<int32_t>(taken) : PLAT_COPY_FILE_FAILED;
}
