// What a host program needs to load the module: dynamic libraries and their functions, the
// directory of the running program, and a window of the host's own to hand to the module.
//
// The module itself never uses these; they are for hosts (tools/, tests) so that a host, too,
// reaches the operating system only through this layer.
#pragma once

#include <cstdint>

#include "platform.h"

struct PlatLibrary;

// The module's file name on this platform.
#ifdef _WIN32
inline constexpr char PLAT_MODULE_FILE_NAME[] = "kestrel.dll";
#else
inline constexpr char PLAT_MODULE_FILE_NAME[] = "libkestrel.so";
#endif

// Loads the library at path and everything it needs, resolving all its references now. Returns
// its handle, or null and (when error is not null) the reason, cut to capacity - 1 characters.
PlatLibrary* PlatLibraryLoad(const char* path, char* error, uint32_t capacity);
// The address of the exported function name, or null when the library has none by that name.
void* PlatLibrarySymbol(PlatLibrary* library, const char* name);
// Unloads the library; its functions must not be called afterwards.
void PlatLibraryFree(PlatLibrary* library);

// Writes the directory of the running program, ending in PLAT_PATH_SEPARATOR's character, into
// buffer. Returns its length without the NUL; the size needed (NUL included) when buffer is too
// small; 0 when it cannot be found.
uint32_t PlatProgramDirectory(char* buffer, uint32_t capacity);

// Creates a hidden top-level window owned by the calling thread, for a host to hand to the
// module as its own window; on Windows a real window (its class is registered on first use),
// elsewhere a stand-in that the window functions of platform.h accept. Null on failure.
PlatWindow PlatHostWindowCreate();
// Destroys it, from the thread that created it.
void PlatHostWindowDestroy(PlatWindow window);
