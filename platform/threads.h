// Worker threads with an exit code, and the private per-user directory of the module.
//
// Threads follow the Windows model: a thread runs a start routine that returns a 32-bit exit
// code; while it runs, its exit code reads PLAT_STILL_ACTIVE (259). Whether a thread still runs is
// asked of the thread itself (PlatThreadIsRunning), never inferred from the code, because a routine
// may legitimately end with 259. A handle stays valid, and the exit code readable, until it is
// closed; closing the handle of a running thread lets the thread run on to its end on its own.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Threads

struct PlatThread;

// The start routine of a thread: receives the parameter given at creation, returns the exit code.
using PlatThreadRoutine = uint32_t (*)(void* parameter);

inline constexpr uint32_t PLAT_STILL_ACTIVE = 259;
inline constexpr int32_t PLAT_WAIT_ENDED = 0;      // the thread has ended
inline constexpr int32_t PLAT_WAIT_TIMEOUT = 258;  // the bound passed with the thread running

// Starts a thread that runs routine(parameter) at once. Returns its handle, or null when no
// thread can be made (the routine then never runs and the parameter stays the caller's).
PlatThread* PlatThreadCreate(PlatThreadRoutine routine, void* parameter);
// True while the thread's routine has not returned.
bool PlatThreadIsRunning(PlatThread* thread);
// The exit code: PLAT_STILL_ACTIVE while the thread runs, afterwards the routine's return value.
// Never waits. Returns false (and writes nothing) for a null handle.
bool PlatThreadExitCode(PlatThread* thread, uint32_t* code);
// Blocks the caller until the thread has ended or timeoutMs milliseconds have passed.
// Returns PLAT_WAIT_ENDED or PLAT_WAIT_TIMEOUT.
int32_t PlatThreadWait(PlatThread* thread, uint32_t timeoutMs);
// Closes the handle. A running thread goes on and cleans up after itself when it ends.
void PlatThreadClose(PlatThread* thread);
// Number of threads made here that have not ended completely (module-wide): a thread whose
// routine has returned still runs this layer's code until it has exited. Threads that have
// returned are waited for here (briefly: they wait on nothing), and a thread kept waiting for the
// next routine is told to exit and waited for too, so 0 means that no thread made here runs any
// of the module's code any more, and the module may be unloaded.
int32_t PlatThreadLiveCount();
// Test seam: the next count calls of PlatThreadCreate fail as if the system had no resources.
void PlatSetThreadCreateFailures(int32_t count);

// ---------------------------------------------------------------------------------------------
// The module's private directory

// The identity of the calling process, which tells apart the files that several processes of one
// user keep in the private directory.
uint32_t PlatProcessId();

// The separator between directory and file names in a path.
#ifdef _WIN32
inline constexpr char PLAT_PATH_SEPARATOR = '\\';
#else
inline constexpr char PLAT_PATH_SEPARATOR = '/';
#endif

// Writes the directory that holds the module's per-object files into buffer, the way
// GetWindowsDirectoryA does: returns the length of the path without its NUL on success, the size
// needed (NUL included) when buffer is too small, and 0 when there is no usable directory.
//
// On Windows this is the Windows directory. Elsewhere it is a directory private to the user:
// $XDG_RUNTIME_DIR when that is set, otherwise /tmp/kestrel-<uid>, which is created with mode 0700
// when missing. A directory that is not a real directory (a symbolic link, say), not owned by the
// user, or writable by group or others is refused (0): files with predictable names in it could be
// swapped under the module.
uint32_t PlatPrivateDirectory(char* buffer, uint32_t capacity);
