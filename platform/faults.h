// Internal to the platform backends: the test seams that PlatSetFaults arms.
#pragma once

enum class PlatFault {
    Send,
    ShortFileWrite,
    FileRead,
    WindowCreate,
    ClassRegister,
    ThreadCreate,
    FileCreate,
    SlowLookup
};

// True when a fault of this kind is due now; counts it down.
bool PlatTakeFault(PlatFault kind);
