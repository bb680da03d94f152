// The script class's call operation: every script method call on an object arrives here.
#pragma once

#include "host_abi.h"
#include "script_instance.h"

// Runs method call->methodNumber on self with the call's arguments and stores its immediate
// result in call->result: worker methods start their operation on a new thread and return at
// once; `new`, `forget`, ftpLogout, ftpAbort and the status methods run here. A method number
// outside the table does nothing. Always returns HOST_OK. Calling thread only.
HostStatus MethodDispatcher(ScriptInstance* self, HostCallRecord* call);

// Ends the object's worker: while the thread runs, asks the engine to cancel (again every
// 100 ms, since a request that comes before the worker blocks is dropped) and waits on the
// thread; then closes the handle. Calling thread only.
void StopWorker(ScriptInstance* self);

// Stores an integer result into the call through the object's HostValues.
void StoreIntegerResult(ScriptInstance* self, HostCallRecord* call, int32_t value);
// Stores a text result (the host copies it).
void StoreTextResult(ScriptInstance* self, HostCallRecord* call, const char* text);
