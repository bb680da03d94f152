// Interrupts and input on a Windows console: the control handler (run by the system on a thread
// of its own) notes Ctrl-C, Ctrl-Break and closing; a console read that Ctrl-C ends comes back
// with nothing, and the pending interrupt tells it apart from the end of input.

#include "console.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "win32/wait.h"

namespace {

std::atomic<int32_t> pending{0};

BOOL WINAPI NoteControl(DWORD event) {
    int32_t taken = event == CTRL_C_EVENT ? PLAT_INTERRUPT : PLAT_TERMINATE;
    int32_t expected = 0;
    if (!pending.compare_exchange_strong(expected, taken) && taken == PLAT_TERMINATE) {
        pending.store(PLAT_TERMINATE);
    }
    return TRUE;
}

}  // namespace

void PlatInterruptsCatch() {
    SetConsoleCtrlHandler(NoteControl, TRUE);
}

int32_t PlatInterruptPending() {
    return pending.load();
}

void PlatInterruptClear() {
    pending.store(0);
}

int32_t PlatInputOpen(const char* path) {
    return _open(path, _O_RDONLY | _O_BINARY);
}

void PlatInputClose(int32_t input) {
    _close(input);
}

bool PlatInputIsTerminal(int32_t input) {
    return _isatty(input) != 0;
}

bool PlatOutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool PlatErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

int32_t PlatReadInput(int32_t input, char* buffer, uint32_t size) {
    if (pending.load() != 0) {
        return PLAT_INPUT_INTERRUPTED;
    }
    int count = _read(input, buffer, size);
    if (count <= 0 && _isatty(input)) {
        // Ctrl-C ends a console read with nothing before the system has run the control handler
        // on its own thread: give the handler a moment before taking this for the end of input.
        for (int i = 0; i < 20 && pending.load() == 0; ++i) {
            Sleep(10);
        }
    }
    if (pending.load() != 0) {
        return PLAT_INPUT_INTERRUPTED;
    }
    return count < 0 ? -1 : count;
}
