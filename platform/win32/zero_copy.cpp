// Received data to files on Windows: always through the caller's own loop; every call reports
// that the system cannot do it here.

#include "zero_copy.h"

PlatFileCopy* PlatFileCopyOpen() { return nullptr; }

void PlatFileCopyClose(PlatFileCopy*) {}

int32_t PlatFileCopyRecv(PlatFileCopy*, PlatSocket, int32_t, uint32_t, int32_t) {
    return PLAT_COPY_UNSUPPORTED;
}
