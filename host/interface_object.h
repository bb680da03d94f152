// The interface objects the module hands to the host, with their reference counting.
#pragma once

#include <cstdint>

#include "host_abi.h"

// Creates an interface object with table ops for instance through the instance's HostMemory and
// stores it in *out. HOST_OK, or HOST_E_OUT_OF_MEMORY with *out set to null.
HostStatus CreateInterfaceObject(void* instance, const void* ops, void** out);

// The three operations every interface of the module shares.
HostStatus KESTREL_CALL InterfaceQueryInterface(ModuleInterface* self, const HostGuid* iid,
                                                void** out);
uint32_t KESTREL_CALL InterfaceAddRef(ModuleInterface* self);
uint32_t KESTREL_CALL InterfaceRelease(ModuleInterface* self);

// Interface objects alive in the module.
uint32_t LiveObjectCount();
