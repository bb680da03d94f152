// What a console host program needs besides loading the module: the interrupt signals (Ctrl-C
// and termination requests) as a flag it can poll, and reading of its input in a way that such
// an interrupt ends.
//
// The module itself never uses these; they are for hosts (tools/, tests).
#pragma once

#include <cstdint>

// The interrupts, by their POSIX signal numbers on every platform.
inline constexpr int32_t PLAT_HANGUP = 1;      // SIGHUP: the terminal went away
inline constexpr int32_t PLAT_INTERRUPT = 2;   // SIGINT: Ctrl-C
inline constexpr int32_t PLAT_TERMINATE = 15;  // SIGTERM; on a Windows console Ctrl-Break or close

// Starts catching the interrupts: from now on they no longer end the program but are noted, to
// be read with PlatInterruptPending. Called by the main thread, once, before other threads start.
void PlatInterruptsCatch();
// The interrupt noted and not yet cleared (PLAT_INTERRUPT, PLAT_HANGUP or PLAT_TERMINATE), or 0.
// A hang-up or termination request is never replaced by a later Ctrl-C. Any thread.
int32_t PlatInterruptPending();
// Forgets the noted interrupt.
void PlatInterruptClear();

// Opens a file for reading with PlatReadInput. Returns its descriptor, or -1 (errno tells why).
int32_t PlatInputOpen(const char* path);
// Closes a descriptor from PlatInputOpen.
void PlatInputClose(int32_t input);
// The descriptor of standard input.
inline constexpr int32_t PLAT_STANDARD_INPUT = 0;
// True when input is a terminal (an interactive console).
bool PlatInputIsTerminal(int32_t input);
// True when standard output / standard error is a terminal.
bool PlatOutputIsTerminal();
bool PlatErrorIsTerminal();

// Reads up to size bytes of input, waiting until some are there, the input ends or an interrupt
// is noted. Returns the count read, 0 at the end of input, PLAT_INPUT_INTERRUPTED when an
// interrupt is pending (before or during the wait; nothing is read then), -1 on failure.
inline constexpr int32_t PLAT_INPUT_INTERRUPTED = -2;
int32_t PlatReadInput(int32_t input, char* buffer, uint32_t size);
