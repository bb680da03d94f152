// The module's two classes, their instance records and their interfaces, as fixed data.
#pragma once

#include <cstdint>

#include "host_abi.h"
#include "script_instance.h"

// The instance record of the script class: the host's header, then the script object.
struct ScriptClassRecord {
    HostInstanceHeader header;
    ScriptInstance script;
};

struct ClassTableEntry {
    HostGuid classId;
    uint32_t classVersion;
    uint32_t instanceSize;
    HostConstructor constructor;
    HostDestructor destructor;
    HostGuid interfaceId;
    uint32_t interfaceVersion;
    const void* interfaceOps;  // RegistrationOps or ScriptCallOps
};

inline constexpr int CLASS_COUNT = 2;

// The classes in walk order: the registration class, then the script class.
const ClassTableEntry* ClassTable();

// The class with classId, or null.
const ClassTableEntry* FindClass(const HostGuid* classId);

// The operations of the two classes (script_class.cpp).
HostStatus KESTREL_CALL RegistrationConstruct(void* instance);
void KESTREL_CALL RegistrationDestruct(void* instance);
HostStatus KESTREL_CALL ScriptConstruct(void* instance);
void KESTREL_CALL ScriptDestruct(void* instance);
extern const RegistrationOps kRegistrationOps;
extern const ScriptCallOps kScriptCallOps;
