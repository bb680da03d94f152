// The methods a script polls while an operation runs, and the result of the last operation that
// produced one. They run on the calling thread, never wait and never start a worker.
#pragma once

#include <cstdint>

#include "host_abi.h"
#include "script_instance.h"

// ftpAbort: while the worker runs, FtpCancel's answer (1 with a session, 0 without); else 0.
int32_t ScriptAbort(ScriptInstance* self);

// Methods 21 to 26 and ftpProgress: each stores its own result into call->result. ftpProgress is
// the text "TRANSFERRED TOTAL", two decimal numbers of any size and one blank (TOTAL 0 when the
// size is unknown).
void ScriptStatusMethod(ScriptInstance* self, int32_t method, HostCallRecord* call);
