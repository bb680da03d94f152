// The five entry points the module exports. Everything else in the module is hidden.

#include <cstring>

#include "class_table.h"
#include "interface_object.h"
#include "script_instance.h"

// ELF builds hide everything else (and the export script lists these); other targets name the
// exports in their own way.
#if defined(__ELF__)
#define KESTREL_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define KESTREL_EXPORT extern "C"
#endif

namespace {

// Entries of the class-information table: per class, the class itself and its interface.
constexpr int kInfoEntries = 2 * CLASS_COUNT;

}  // namespace

KESTREL_EXPORT HostStatus KESTREL_CALL DllGetClassForm(const HostGuid* classId,
                                                       uint32_t* instanceSize,
                                                       HostConstructor* constructor,
                                                       HostDestructor* destructor) {
    const ClassTableEntry* entry = FindClass(classId);
    if (entry == nullptr) {
        return HOST_E_NO_CLASS;
    }
    if (instanceSize != nullptr) {
        *instanceSize = entry->instanceSize;
    }
    if (constructor != nullptr) {
        *constructor = entry->constructor;
    }
    if (destructor != nullptr) {
        *destructor = entry->destructor;
    }
    return HOST_OK;
}

KESTREL_EXPORT HostStatus KESTREL_CALL DllGetInterface(void* instance, const HostGuid* classId,
                                                       const HostGuid* interfaceId, void** out) {
    const ClassTableEntry* entry = FindClass(classId);
    if (entry == nullptr || interfaceId == nullptr ||
        !HostGuidEqual(entry->interfaceId, *interfaceId) || instance == nullptr || out == nullptr) {
        if (out != nullptr) {
            *out = nullptr;
        }
        return HOST_E_NO_INTERFACE;
    }
    return CreateInterfaceObject(instance, entry->interfaceOps, out);
}

KESTREL_EXPORT HostStatus KESTREL_CALL DllGetClassInfo(HostMemory* memory, ClassInfoEntry** table) {
    if (table == nullptr) {
        return HOST_E_OUT_OF_MEMORY;
    }
    *table = nullptr;
    if (memory == nullptr) {
        return HOST_E_OUT_OF_MEMORY;
    }
    void* block = memory->ops->Alloc(memory, (kInfoEntries + 1) * sizeof(ClassInfoEntry));
    if (block == nullptr) {
        return HOST_E_OUT_OF_MEMORY;
    }
    auto* entries = static_cast<ClassInfoEntry*>(block);
    ClassInfoEntry* next = entries;
    for (int i = 0; i < CLASS_COUNT; ++i) {
        const ClassTableEntry& c = ClassTable()[i];
        *next++ = {c.classId, c.classVersion, IID_ClassEntry, 1};
        *next++ = {c.classId, c.classVersion, c.interfaceId, c.interfaceVersion};
    }
    memset(next, 0, sizeof *next);  // the terminator: both ids zero
    *table = entries;
    return HOST_OK;
}

KESTREL_EXPORT HostStatus KESTREL_CALL DllCanUnloadNow(void) {
    // Sessions and worker threads need the module's code as much as interface objects do.
    return LiveObjectCount() == 0 && !ScriptModuleBusy() ? HOST_OK : HOST_E_IN_USE;
}

KESTREL_EXPORT HostStatus KESTREL_CALL DllGetClassObject(const void*, const void*, void**) {
    return HOST_E_NO_CLASS;
}
