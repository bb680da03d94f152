// File data to and from sockets on Windows: always through the caller's own loop. TransmitFile
// would hold the thread until the whole file had gone, out of reach of cancellation and of the
// time-out, unless driven with overlapped I/O of its own; every call reports that the system
// cannot do it here.

#include "zero_copy.h"

PlatFileCopy* PlatFileCopyOpen(bool) { return nullptr; }

void PlatFileCopyClose(PlatFileCopy*) {}

int32_t PlatFileCopySend(PlatFileCopy*, PlatSocket, int32_t, uint32_t, int32_t) {
    return PLAT_COPY_UNSUPPORTED;
}

int32_t PlatFileCopyRecv(PlatFileCopy*, PlatSocket, int32_t, uint32_t, int32_t) {
    return PLAT_COPY_UNSUPPORTED;
}
