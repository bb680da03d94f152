// The two classes' constructors, destructors and their fourth interface operations.

#include <new>

#include "class_table.h"
#include "dispatcher.h"
#include "interface_object.h"
#include "method_table.h"

namespace {

ScriptClassRecord* RecordOf(void* instance) {
    return static_cast<ScriptClassRecord*>(instance);
}

HostStatus KESTREL_CALL Register(ModuleInterface*, HostClassRegistry* registry, uint32_t context) {
    if (registry == nullptr) {
        return HOST_E_NO_INTERFACE;
    }
    HostRegistryEntry* entry = nullptr;
    HostStatus status = registry->ops->CreateEntry(registry, context, &CLSID_KestrelScript,
                                                   &IID_ScriptCall, &entry);
    if (status != HOST_OK) {
        return status;
    }
    if (entry == nullptr) {
        return HOST_E_NO_INTERFACE;
    }
    // The method table belongs to the script class, though this class registers it.
    return entry->ops->PutItem(entry, HOST_ITEM_TEXT, kScriptMethodTable, 0, HOST_METHOD_TABLE_KEY);
}

HostStatus KESTREL_CALL CallScriptMethod(ModuleInterface* self, HostCallRecord* call) {
    try {
        return MethodDispatcher(&RecordOf(self->owner)->script, call);
    } catch (...) {
        // Nothing may unwind into the host.
        return HOST_OK;
    }
}

// Asks services for the interface iid into *field; the field keeps only what was obtained.
bool Obtain(HostServices* services, const HostGuid& iid, void** field) {
    void* out = nullptr;
    if (services->ops->QueryInterface(services, &iid, &out) != HOST_OK || out == nullptr) {
        return false;
    }
    *field = out;
    return true;
}

}  // namespace

const RegistrationOps kRegistrationOps = {InterfaceQueryInterface, InterfaceAddRef,
                                          InterfaceRelease, Register};
const ScriptCallOps kScriptCallOps = {InterfaceQueryInterface, InterfaceAddRef, InterfaceRelease,
                                      CallScriptMethod};

HostStatus KESTREL_CALL RegistrationConstruct(void*) {
    return HOST_OK;
}

void KESTREL_CALL RegistrationDestruct(void*) {}

HostStatus KESTREL_CALL ScriptConstruct(void* instance) {
    ScriptClassRecord* record = RecordOf(instance);
    // The host allocated the bytes; the script object's fields (and its lock) start life here.
    ScriptInstance* script = new (&record->script) ScriptInstance();
    HostServices* services = record->header.services;
    if (services == nullptr) {
        return HOST_E_NO_INTERFACE;
    }
    if (!Obtain(services, IID_HostValues, reinterpret_cast<void**>(&script->valueInterface))) {
        return HOST_E_NO_INTERFACE;
    }
    if (!Obtain(services, IID_HostLists, reinterpret_cast<void**>(&script->listInterface))) {
        return HOST_E_NO_INTERFACE;
    }
    return HOST_OK;
}

void KESTREL_CALL ScriptDestruct(void* instance) {
    ScriptInstance* script = &RecordOf(instance)->script;
    // A worker still running writes into this record and uses the session: it is cancelled and
    // waited for before the record goes. The session itself is left, as a script that never
    // called forget asked for.
    ScriptInstanceShutdown(script);
    if (script->valueInterface != nullptr) {
        script->valueInterface->ops->Release(script->valueInterface);
        script->valueInterface = nullptr;
    }
    if (script->listInterface != nullptr) {
        script->listInterface->ops->Release(script->listInterface);
        script->listInterface = nullptr;
    }
    script->~ScriptInstance();
}
