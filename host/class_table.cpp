#include "class_table.h"

const ClassTableEntry* ClassTable() {
    static const ClassTableEntry table[CLASS_COUNT] = {
        {CLSID_KestrelRegistration, KESTREL_CLASS_VERSION, sizeof(HostInstanceHeader),
         RegistrationConstruct, RegistrationDestruct, IID_HostRegistration, KESTREL_CLASS_VERSION,
         &kRegistrationOps},
        {CLSID_KestrelScript, KESTREL_CLASS_VERSION, sizeof(ScriptClassRecord), ScriptConstruct,
         ScriptDestruct, IID_ScriptCall, KESTREL_CLASS_VERSION, &kScriptCallOps},
    };
    return table;
}

const ClassTableEntry* FindClass(const HostGuid* classId) {
    if (classId == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < CLASS_COUNT; ++i) {
        if (HostGuidEqual(ClassTable()[i].classId, *classId)) {
            return &ClassTable()[i];
        }
    }
    return nullptr;
}
