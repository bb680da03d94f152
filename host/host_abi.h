// The binary interface between the module and its host. Both sides include this header: the
// module (host/, script/) and every host (tools/kestrel-host, the tests).
//
// The object model is the component model's: 16-byte class and interface ids, and interfaces that
// are records whose first word is a table of operations, the first three of which are always
// QueryInterface, AddRef and Release. Operations take the interface itself as first argument;
// AddRef and Release return the new reference count, the others a 32-bit status (0 = success).
// Everything here is plain data and function pointers, so that the layout is the same whatever
// compiler built either side.
//
// Layout: on the 32-bit Windows target every offset below is the one the host expects, and the
// static_asserts at the end check them. On 64-bit targets the fields keep their order with natural
// alignment; the offsets that still hold there are asserted too.
#pragma once

#include <cstddef>
#include <cstdint>

// The calling convention of every entry point and operation.
#if defined(_WIN32) && !defined(_WIN64)
#define KESTREL_CALL __stdcall
#else
#define KESTREL_CALL
#endif

// ---------------------------------------------------------------------------------------------
// Ids and statuses

// A class or interface id in the usual Windows layout: one 32-bit word, two 16-bit words and
// eight bytes, each word little-endian. Compared as four 32-bit words.
struct HostGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// The registration class and its interface.
inline constexpr HostGuid CLSID_KestrelRegistration = {
    0x518F9742, 0xAD66, 0x11D2, {0x84, 0x1B, 0x00, 0x80, 0xC6, 0xF7, 0x9C, 0x42}};
inline constexpr HostGuid IID_HostRegistration = {
    0xAC3E7803, 0x0002, 0x8FE5, {0x00, 0x00, 0x08, 0x00, 0x07, 0x16, 0x0D, 0xC3}};
// The script class and its interface (the method dispatcher).
inline constexpr HostGuid CLSID_KestrelScript = {
    0x518F9745, 0xAD66, 0x11D2, {0x84, 0x1B, 0x00, 0x80, 0xC6, 0xF7, 0x9C, 0x42}};
inline constexpr HostGuid IID_ScriptCall = {
    0xAC401FB6, 0x0001, 0xF9B0, {0x00, 0x00, 0x08, 0x00, 0x07, 0x2C, 0x63, 0x26}};
// The host interfaces that a script-class instance asks its HostServices for.
inline constexpr HostGuid IID_HostValues = {
    0xAC96CF89, 0x0045, 0x5879, {0x00, 0x00, 0x00, 0x40, 0x10, 0x50, 0x23, 0xFB}};
inline constexpr HostGuid IID_HostLists = {
    0xAC96CF98, 0x0045, 0x5C0B, {0x00, 0x00, 0x00, 0x40, 0x10, 0x50, 0x23, 0xFB}};
// The interface id that class entries of the class-information table carry.
inline constexpr HostGuid IID_ClassEntry = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

using HostStatus = uint32_t;
inline constexpr HostStatus HOST_OK = 0;
inline constexpr HostStatus HOST_E_OUT_OF_MEMORY = 0x80040002;  // HostMemory refused
inline constexpr HostStatus HOST_E_IN_USE = 0x80040003;         // the module cannot unload yet
inline constexpr HostStatus HOST_E_NO_INTERFACE = 0x80040004;   // no such interface
inline constexpr HostStatus HOST_E_NO_CLASS = 0x80040005;       // no such class
// ValueToString: the text holds a zero byte, so that no NUL-terminated text can be all of it.
inline constexpr HostStatus HOST_E_TEXT_HAS_ZERO = 0x80040006;

inline constexpr uint32_t KESTREL_CLASS_VERSION = 0x01000040;

// ---------------------------------------------------------------------------------------------
// Values and call records

// A script value: two 32-bit words whose meaning belongs to the host. Copied by value.
struct HostValue {
    uint32_t word0;
    uint32_t word1;
};

// One script method call. The host owns the record and the argument array.
//
// argumentCount is this interface's addition to the record: the number of HostValue items in
// arguments, the object (item 0) included. It sits in the word between the result and the
// argument array, which the host record otherwise leaves unused, and it lets the module refuse
// to read past the end of an array that is shorter than the method line declares: the missing
// arguments read as an empty text or 0. A host of this module must fill it.
struct HostCallRecord {
    uint32_t hostWord0;     // the host's own
    uint32_t hostWord1;     // the host's own
    int32_t methodNumber;   // byte 8: the method's number in the method table
    HostValue result;       // byte 12: the method's result; the host sets it to its empty value
    int32_t argumentCount;  // byte 20: items in arguments
    HostValue* arguments;   // byte 24: item 0 is the object, then the script's arguments
};

// ---------------------------------------------------------------------------------------------
// Interfaces. Each is a record whose first word points at its table of operations.

// The shape every interface shares; any interface pointer may be used through it.
struct HostUnknown;
struct HostUnknownOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostUnknown* self, const HostGuid* iid, void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostUnknown* self);
    uint32_t(KESTREL_CALL* Release)(HostUnknown* self);
};
struct HostUnknown {
    const HostUnknownOps* ops;
};

// HostServices: the instance's way to the other host interfaces (query only).
struct HostServices;
struct HostServicesOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostServices* self, const HostGuid* iid, void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostServices* self);
    uint32_t(KESTREL_CALL* Release)(HostServices* self);
};
struct HostServices {
    const HostServicesOps* ops;
};

// HostMemory: blocks for the module's interface objects and its class-information table.
struct HostMemory;
struct HostMemoryOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostMemory* self, const HostGuid* iid, void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostMemory* self);
    uint32_t(KESTREL_CALL* Release)(HostMemory* self);
    // A block of size bytes, or null.
    void*(KESTREL_CALL* Alloc)(HostMemory* self, uint32_t size);
    // Gives a block back.
    void(KESTREL_CALL* Free)(HostMemory* self, void* block);
};
struct HostMemory {
    const HostMemoryOps* ops;
};

// HostValues: conversions between script values and integers and texts. A conversion that fails
// reads as 0 or an empty text, since the module sets every output itself before it asks; only
// HOST_E_TEXT_HAS_ZERO tells it more (the call is refused with 1000, as the text would go out cut
// short at its first zero byte).
struct HostValues;
struct HostValuesOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostValues* self, const HostGuid* iid, void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostValues* self);
    uint32_t(KESTREL_CALL* Release)(HostValues* self);
    // Frees a value that the module made.
    HostStatus(KESTREL_CALL* ReleaseValue)(HostValues* self, HostValue* value);
    HostStatus(KESTREL_CALL* ValueToInteger)(HostValues* self, const HostValue* value,
                                             int32_t* out);
    // *out stays readable until the method call returns; the module copies it. A text holding a
    // zero byte gives HOST_E_TEXT_HAS_ZERO and no *out.
    HostStatus(KESTREL_CALL* ValueToString)(HostValues* self, const HostValue* value,
                                            const char** out);
    HostStatus(KESTREL_CALL* IntegerToValue)(HostValues* self, int32_t integer, HostValue* out);
    // The host copies text.
    HostStatus(KESTREL_CALL* StringToValue)(HostValues* self, const char* text, HostValue* out);
    // Two window handles; the second is a real window (or the platform's stand-in for one).
    HostStatus(KESTREL_CALL* GetHostWindows)(HostValues* self, void** first, void** second);
};
struct HostValues {
    const HostValuesOps* ops;
};

// HostLists: building a list result.
struct HostLists;
struct HostListsOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostLists* self, const HostGuid* iid, void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostLists* self);
    uint32_t(KESTREL_CALL* Release)(HostLists* self);
    // Puts a new empty list into *out.
    HostStatus(KESTREL_CALL* NewList)(HostLists* self, HostValue* out);
    // Appends a copy of item; the caller still releases item.
    HostStatus(KESTREL_CALL* AppendToList)(HostLists* self, HostValue* list, const HostValue* item);
};
struct HostLists {
    const HostListsOps* ops;
};

// HostRegistryEntry: one class's entry in the host's class registry.
struct HostRegistryEntry;
struct HostRegistryEntryOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostRegistryEntry* self, const HostGuid* iid,
                                             void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostRegistryEntry* self);
    uint32_t(KESTREL_CALL* Release)(HostRegistryEntry* self);
    // Stores data of type typeCode (length 0: a NUL-terminated text) under key.
    HostStatus(KESTREL_CALL* PutItem)(HostRegistryEntry* self, int32_t typeCode, const void* data,
                                      int32_t length, const char* key);
};
struct HostRegistryEntry {
    const HostRegistryEntryOps* ops;
};

// HostClassRegistry: given to the registration operation.
struct HostClassRegistry;
struct HostClassRegistryOps {
    HostStatus(KESTREL_CALL* QueryInterface)(HostClassRegistry* self, const HostGuid* iid,
                                             void** out);
    uint32_t(KESTREL_CALL* AddRef)(HostClassRegistry* self);
    uint32_t(KESTREL_CALL* Release)(HostClassRegistry* self);
    HostStatus(KESTREL_CALL* CreateEntry)(HostClassRegistry* self, uint32_t context,
                                          const HostGuid* classId, const HostGuid* interfaceId,
                                          HostRegistryEntry** out);
};
struct HostClassRegistry {
    const HostClassRegistryOps* ops;
};

inline constexpr int32_t HOST_ITEM_TEXT = 9;  // PutItem type code of the method table text
inline constexpr const char* HOST_METHOD_TABLE_KEY = "msgTable";

// ---------------------------------------------------------------------------------------------
// Instance records

// The host's header at the start of every instance record: six machine words, filled by the host
// before the constructor runs. The module uses words 0, 2 and 3.
struct HostInstanceHeader {
    const HostUnknownOps* ops;  // word 0: the instance's own QueryInterface, AddRef, Release
    uintptr_t hostWord1;
    HostServices* services;  // word 2
    HostMemory* memory;      // word 3
    uintptr_t hostWord4;
    uintptr_t hostWord5;
};

using HostConstructor = HostStatus(KESTREL_CALL*)(void* instance);
using HostDestructor = void(KESTREL_CALL*)(void* instance);

// ---------------------------------------------------------------------------------------------
// The module's interfaces

struct ModuleInterface;

// The registration class's interface.
struct RegistrationOps {
    HostStatus(KESTREL_CALL* QueryInterface)(ModuleInterface* self, const HostGuid* iid,
                                             void** out);
    uint32_t(KESTREL_CALL* AddRef)(ModuleInterface* self);
    uint32_t(KESTREL_CALL* Release)(ModuleInterface* self);
    // Registers the script class and its method table text under "msgTable".
    HostStatus(KESTREL_CALL* Register)(ModuleInterface* self, HostClassRegistry* registry,
                                       uint32_t context);
};

// The script class's interface.
struct ScriptCallOps {
    HostStatus(KESTREL_CALL* QueryInterface)(ModuleInterface* self, const HostGuid* iid,
                                             void** out);
    uint32_t(KESTREL_CALL* AddRef)(ModuleInterface* self);
    uint32_t(KESTREL_CALL* Release)(ModuleInterface* self);
    // Runs one script method call on the instance. Always HOST_OK.
    HostStatus(KESTREL_CALL* MethodDispatcher)(ModuleInterface* self, HostCallRecord* call);
};

// An interface object the module hands out: its table, the instance it belongs to, its count.
// The host reaches it only through the first word.
struct ModuleInterface {
    const void* ops;  // RegistrationOps or ScriptCallOps
    void* owner;      // the instance record (it starts with a HostInstanceHeader)
    uint32_t refCount;
};

// ---------------------------------------------------------------------------------------------
// Class-information table

// One 40-byte entry; the table ends with an entry whose two ids are zero.
struct ClassInfoEntry {
    HostGuid classId;
    uint32_t classVersion;
    HostGuid interfaceId;
    uint32_t interfaceVersion;
};

// ---------------------------------------------------------------------------------------------
// Entry points, exported with C linkage

extern "C" {
HostStatus KESTREL_CALL DllGetClassForm(const HostGuid* classId, uint32_t* instanceSize,
                                        HostConstructor* constructor, HostDestructor* destructor);
HostStatus KESTREL_CALL DllGetInterface(void* instance, const HostGuid* classId,
                                        const HostGuid* interfaceId, void** out);
HostStatus KESTREL_CALL DllGetClassInfo(HostMemory* memory, ClassInfoEntry** table);
HostStatus KESTREL_CALL DllCanUnloadNow(void);
HostStatus KESTREL_CALL DllGetClassObject(const void* a, const void* b, void** c);
}

// The entry points' types, for hosts that look them up by name.
using DllGetClassFormFn = decltype(&DllGetClassForm);
using DllGetInterfaceFn = decltype(&DllGetInterface);
using DllGetClassInfoFn = decltype(&DllGetClassInfo);
using DllCanUnloadNowFn = decltype(&DllCanUnloadNow);
using DllGetClassObjectFn = decltype(&DllGetClassObject);

// True when a and b are the same id.
inline bool HostGuidEqual(const HostGuid& a, const HostGuid& b) {
    auto word = [](const HostGuid& g, int i) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&g) + 4 * i;
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
               uint32_t(bytes[3]) << 24;
    };
    for (int i = 0; i < 4; ++i) {
        if (word(a, i) != word(b, i)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Layout checks

static_assert(sizeof(HostGuid) == 16);
static_assert(sizeof(HostValue) == 8);
static_assert(sizeof(ClassInfoEntry) == 40);
static_assert(offsetof(ClassInfoEntry, classVersion) == 16);
static_assert(offsetof(ClassInfoEntry, interfaceId) == 20);
static_assert(offsetof(ClassInfoEntry, interfaceVersion) == 36);
static_assert(offsetof(HostCallRecord, methodNumber) == 8);
static_assert(offsetof(HostCallRecord, result) == 12);
static_assert(offsetof(HostCallRecord, argumentCount) == 20);
static_assert(offsetof(HostCallRecord, arguments) == 24);
static_assert(sizeof(HostInstanceHeader) == 6 * sizeof(void*));
static_assert(offsetof(HostInstanceHeader, services) == 2 * sizeof(void*));
static_assert(offsetof(HostInstanceHeader, memory) == 3 * sizeof(void*));
static_assert(offsetof(ModuleInterface, owner) == sizeof(void*));
#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit target: every word of the host's records is 32 bits.
static_assert(sizeof(HostCallRecord) == 28);
static_assert(sizeof(HostInstanceHeader) == 24);
static_assert(sizeof(ModuleInterface) == 12);
#endif
