#include "interface_object.h"

#include <atomic>

namespace {

std::atomic<uint32_t> liveObjectCount{0};

HostInstanceHeader* HeaderOf(void* instance) {
    return static_cast<HostInstanceHeader*>(instance);
}

// The instance seen as an interface: its header's first word is its own table.
HostUnknown* AsUnknown(void* instance) {
    return static_cast<HostUnknown*>(instance);
}

}  // namespace

HostStatus CreateInterfaceObject(void* instance, const void* ops, void** out) {
    HostMemory* memory = HeaderOf(instance)->memory;
    void* block = memory == nullptr ? nullptr : memory->ops->Alloc(memory, sizeof(ModuleInterface));
    if (block == nullptr) {
        *out = nullptr;
        return HOST_E_OUT_OF_MEMORY;
    }
    auto* object = static_cast<ModuleInterface*>(block);
    object->owner = instance;
    object->refCount = 1;
    // One reference on the instance for the object itself, one for the reference handed out.
    HostUnknown* owner = AsUnknown(instance);
    owner->ops->AddRef(owner);
    owner->ops->AddRef(owner);
    liveObjectCount.fetch_add(1);
    object->ops = ops;
    *out = object;
    return HOST_OK;
}

HostStatus KESTREL_CALL InterfaceQueryInterface(ModuleInterface* self, const HostGuid* iid,
                                                void** out) {
    HostUnknown* owner = AsUnknown(self->owner);
    return owner->ops->QueryInterface(owner, iid, out);
}

uint32_t KESTREL_CALL InterfaceAddRef(ModuleInterface* self) {
    HostUnknown* owner = AsUnknown(self->owner);
    owner->ops->AddRef(owner);
    return ++self->refCount;
}

uint32_t KESTREL_CALL InterfaceRelease(ModuleInterface* self) {
    // Everything needed after Free is kept in locals: the record is gone once it is freed.
    HostUnknown* owner = AsUnknown(self->owner);
    const uint32_t count = --self->refCount;
    if (count == 0) {
        HostMemory* memory = HeaderOf(owner)->memory;
        memory->ops->Free(memory, self);
        liveObjectCount.fetch_sub(1);
        owner->ops->Release(owner);
    }
    owner->ops->Release(owner);
    return count;
}

uint32_t LiveObjectCount() {
    return liveObjectCount.load();
}
