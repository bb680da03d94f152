#include "host_environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "library.h"

namespace {

template <typename Record, typename Interface>
Record* RecordOf(Interface* self) {
    return reinterpret_cast<Record*>(self);
}

}  // namespace

struct HostEnvironment::Impl {
    template <typename Interface>
    static HostEnvironment* Env(Interface* self) {
        return RecordOf<Record<Interface>>(self)->owner;
    }

    template <typename Interface>
    static uint32_t KESTREL_CALL AddRef(Interface* self) {
        return ++RecordOf<Record<Interface>>(self)->refs;
    }

    template <typename Interface>
    static uint32_t KESTREL_CALL Release(Interface* self) {
        return --RecordOf<Record<Interface>>(self)->refs;
    }

    template <typename Interface>
    static HostStatus KESTREL_CALL NoQuery(Interface*, const HostGuid*, void** out) {
        if (out != nullptr) {
            *out = nullptr;
        }
        return HOST_E_NO_INTERFACE;
    }

    // HostServices
    static HostStatus KESTREL_CALL ServicesQuery(HostServices* self, const HostGuid* iid,
                                                 void** out) {
        HostEnvironment* env = Env(self);
        if (out == nullptr || iid == nullptr) {
            return HOST_E_NO_INTERFACE;
        }
        *out = nullptr;
        if (HostGuidEqual(*iid, IID_HostValues) && !env->refuseValues) {
            ++env->values_.refs;
            *out = &env->values_.base;
            return HOST_OK;
        }
        if (HostGuidEqual(*iid, IID_HostLists) && !env->refuseLists) {
            ++env->lists_.refs;
            *out = &env->lists_.base;
            return HOST_OK;
        }
        return HOST_E_NO_INTERFACE;
    }

    // HostMemory
    static void* KESTREL_CALL Alloc(HostMemory* self, uint32_t size) {
        HostEnvironment* env = Env(self);
        if (env->failAllocs.load() > 0) {
            --env->failAllocs;
            return nullptr;
        }
        // A size word in front of the block lets Free poison exactly the bytes handed out.
        auto* block = static_cast<uint64_t*>(calloc(1, size + sizeof(uint64_t)));
        if (block == nullptr) {
            return nullptr;
        }
        block[0] = size;
        ++env->liveBlocks_;
        return block + 1;
    }

    static void KESTREL_CALL Free(HostMemory* self, void* p) {
        HostEnvironment* env = Env(self);
        ++env->freeCalls;
        if (p == nullptr) {
            return;
        }
        uint64_t* block = static_cast<uint64_t*>(p) - 1;
        if (env->poisonFreed) {
            memset(p, 0xDD, block[0]);
        }
        --env->liveBlocks_;
        free(block);
    }

    // HostValues
    static HostStatus KESTREL_CALL ReleaseValue(HostValues* self, HostValue* value) {
        if (value != nullptr) {
            Env(self)->Release(*value);
            *value = HostEnvironment::Void();
        }
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL ValueToInteger(HostValues* self, const HostValue* value,
                                                  int32_t* out) {
        if (Env(self)->failConversions || value == nullptr || out == nullptr ||
            KindOf(*value) != ValueKind::Integer) {
            return HOST_E_NO_INTERFACE;
        }
        *out = IntegerOf(*value);
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL ValueToString(HostValues* self, const HostValue* value,
                                                 const char** out) {
        HostEnvironment* env = Env(self);
        if (env->failConversions || value == nullptr || out == nullptr) {
            return HOST_E_NO_INTERFACE;
        }
        std::lock_guard<std::mutex> guard(env->lock_);
        const Slot* slot = env->Find(*value);
        if (slot == nullptr || slot->kind != ValueKind::String) {
            return HOST_E_NO_INTERFACE;
        }
        if (slot->text.find('\0') != std::string::npos) {
            return HOST_E_TEXT_HAS_ZERO;  // as a C string it would end there
        }
        *out = slot->text.c_str();  // stable: map nodes do not move
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL IntegerToValue(HostValues*, int32_t integer, HostValue* out) {
        if (out != nullptr) {
            *out = HostEnvironment::Integer(integer);
        }
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL StringToValue(HostValues* self, const char* text,
                                                 HostValue* out) {
        if (out != nullptr) {
            *out = Env(self)->String(text != nullptr ? text : "");
        }
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL GetHostWindows(HostValues* self, void** first, void** second) {
        HostEnvironment* env = Env(self);
        if (first != nullptr) {
            *first = env->Window();
        }
        if (second != nullptr) {
            *second = env->Window();
        }
        return HOST_OK;
    }

    // HostLists
    static HostStatus KESTREL_CALL NewList(HostLists* self, HostValue* out) {
        if (out != nullptr) {
            *out = Env(self)->NewList();
        }
        return HOST_OK;
    }

    static HostStatus KESTREL_CALL AppendToList(HostLists* self, HostValue* list,
                                                const HostValue* item) {
        if (list == nullptr || item == nullptr || KindOf(*list) != ValueKind::List) {
            return HOST_E_NO_INTERFACE;
        }
        Env(self)->Append(*list, *item);
        return HOST_OK;
    }

    // HostClassRegistry and HostRegistryEntry
    static HostStatus KESTREL_CALL CreateEntry(HostClassRegistry* self, uint32_t context,
                                               const HostGuid* classId, const HostGuid* interfaceId,
                                               HostRegistryEntry** out) {
        HostEnvironment* env = Env(self);
        if (out == nullptr || classId == nullptr || interfaceId == nullptr) {
            return HOST_E_NO_INTERFACE;
        }
        *out = nullptr;
        if (env->failCreateEntry) {
            return HOST_E_NO_CLASS;
        }
        std::lock_guard<std::mutex> guard(env->lock_);
        RegisteredClass registration;
        registration.classId = *classId;
        registration.interfaceId = *interfaceId;
        registration.context = context;
        env->registrations_.push_back(registration);
        auto* entry = new Entry{{&kEntryOps}, env, env->registrations_.size() - 1};
        env->entries_.push_back(entry);
        *out = &entry->base;
        return HOST_OK;
    }

    static uint32_t KESTREL_CALL EntryAddRef(HostRegistryEntry*) { return 1; }
    static uint32_t KESTREL_CALL EntryRelease(HostRegistryEntry*) { return 1; }

    static HostStatus KESTREL_CALL PutItem(HostRegistryEntry* self, int32_t typeCode,
                                           const void* data, int32_t length, const char* key) {
        auto* entry = reinterpret_cast<Entry*>(self);
        if (data == nullptr || key == nullptr) {
            return HOST_E_NO_INTERFACE;
        }
        // Length 0 means a NUL-terminated text.
        std::string text = length > 0 ? std::string(static_cast<const char*>(data), length)
                                      : std::string(static_cast<const char*>(data));
        std::lock_guard<std::mutex> guard(entry->owner->lock_);
        entry->owner->registrations_[entry->registration].items[key] = {typeCode, text};
        return HOST_OK;
    }

    static constexpr HostServicesOps kServicesOps = {ServicesQuery, AddRef<HostServices>,
                                                     Release<HostServices>};
    static constexpr HostMemoryOps kMemoryOps = {NoQuery<HostMemory>, AddRef<HostMemory>,
                                                 Release<HostMemory>, Alloc, Free};
    static constexpr HostValuesOps kValuesOps = {
        NoQuery<HostValues>, AddRef<HostValues>, Release<HostValues>, ReleaseValue,  ValueToInteger,
        ValueToString,       IntegerToValue,     StringToValue,       GetHostWindows};
    static constexpr HostListsOps kListsOps = {NoQuery<HostLists>, AddRef<HostLists>,
                                               Release<HostLists>, NewList, AppendToList};
    static constexpr HostClassRegistryOps kRegistryOps = {NoQuery<HostClassRegistry>,
                                                          AddRef<HostClassRegistry>,
                                                          Release<HostClassRegistry>, CreateEntry};
    static constexpr HostRegistryEntryOps kEntryOps = {NoQuery<HostRegistryEntry>, EntryAddRef,
                                                       EntryRelease, PutItem};
};

HostEnvironment::HostEnvironment()
    : services_{{&Impl::kServicesOps}, this, {1}},
      memory_{{&Impl::kMemoryOps}, this, {1}},
      values_{{&Impl::kValuesOps}, this, {1}},
      lists_{{&Impl::kListsOps}, this, {1}},
      registry_{{&Impl::kRegistryOps}, this, {1}} {
    window_ = PlatHostWindowCreate();
}

HostEnvironment::~HostEnvironment() {
    PlatHostWindowDestroy(window_);
    for (Entry* entry : entries_) {
        delete entry;
    }
}

HostServices* HostEnvironment::Services() {
    return &services_.base;
}
HostMemory* HostEnvironment::Memory() {
    return &memory_.base;
}
HostValues* HostEnvironment::Values() {
    return &values_.base;
}
HostLists* HostEnvironment::Lists() {
    return &lists_.base;
}
HostClassRegistry* HostEnvironment::Registry() {
    return &registry_.base;
}
uint32_t HostEnvironment::ValuesRefs() const {
    return values_.refs.load();
}
uint32_t HostEnvironment::ListsRefs() const {
    return lists_.refs.load();
}

HostValue HostEnvironment::Integer(int32_t value) {
    return HostValue{static_cast<uint32_t>(ValueKind::Integer), static_cast<uint32_t>(value)};
}

HostValue HostEnvironment::Object(uint32_t id) {
    return HostValue{static_cast<uint32_t>(ValueKind::Object), id};
}

uint32_t HostEnvironment::Store(Slot slot) {
    uint32_t id = nextSlot_++;
    slots_.emplace(id, std::move(slot));
    return id;
}

const HostEnvironment::Slot* HostEnvironment::Find(const HostValue& value) const {
    auto it = slots_.find(value.word1);
    if (it == slots_.end() || static_cast<uint32_t>(it->second.kind) != value.word0) {
        return nullptr;
    }
    return &it->second;
}

HostValue HostEnvironment::String(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    Slot slot;
    slot.kind = ValueKind::String;
    slot.text = text;
    return HostValue{static_cast<uint32_t>(ValueKind::String), Store(std::move(slot))};
}

HostValue HostEnvironment::NewList() {
    std::lock_guard<std::mutex> guard(lock_);
    Slot slot;
    slot.kind = ValueKind::List;
    return HostValue{static_cast<uint32_t>(ValueKind::List), Store(std::move(slot))};
}

void HostEnvironment::Append(HostValue list, const HostValue& item) {
    HostValue copy = item;
    if (KindOf(item) == ValueKind::String) {
        copy = String(TextOf(item));
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto it = slots_.find(list.word1);
    if (it != slots_.end() && it->second.kind == ValueKind::List) {
        it->second.items.push_back(copy);
    }
}

void HostEnvironment::Release(HostValue value) {
    ValueKind kind = KindOf(value);
    if (kind != ValueKind::String && kind != ValueKind::List) {
        return;
    }
    std::vector<HostValue> items;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = slots_.find(value.word1);
        if (it == slots_.end() || it->second.kind != kind) {
            return;
        }
        items = std::move(it->second.items);
        slots_.erase(it);
    }
    for (const HostValue& item : items) {
        Release(item);
    }
}

ValueKind HostEnvironment::KindOf(const HostValue& value) {
    return value.word0 <= static_cast<uint32_t>(ValueKind::Object) ? ValueKind(value.word0)
                                                                   : ValueKind::Void;
}

int32_t HostEnvironment::IntegerOf(const HostValue& value) {
    return static_cast<int32_t>(value.word1);
}

std::string HostEnvironment::TextOf(const HostValue& value) const {
    std::lock_guard<std::mutex> guard(lock_);
    const Slot* slot = Find(value);
    return slot != nullptr && slot->kind == ValueKind::String ? slot->text : std::string();
}

std::vector<std::string> HostEnvironment::ItemsOf(const HostValue& value) const {
    std::vector<HostValue> items;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const Slot* slot = Find(value);
        if (slot == nullptr || slot->kind != ValueKind::List) {
            return {};
        }
        items = slot->items;
    }
    std::vector<std::string> texts;
    for (const HostValue& item : items) {
        texts.push_back(TextOf(item));
    }
    return texts;
}

size_t HostEnvironment::LiveValues() const {
    std::lock_guard<std::mutex> guard(lock_);
    return slots_.size();
}

std::vector<RegisteredClass> HostEnvironment::Registrations() const {
    std::lock_guard<std::mutex> guard(lock_);
    return registrations_;
}

size_t Utf8SequenceLength(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    size_t length;
    uint32_t point;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    if (overlong || surrogate || point > 0x10FFFF) {
        return 0;
    }
    return length;
}

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string JsonString(const std::string& text) {
    // Valid UTF-8 stays as it is; any other text keeps every byte of 128 and above as \u00XX,
    // its value in ISO 8859-1, as it always did.
    bool utf8 = IsValidUtf8(text);
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
                    char escape[8];
                    snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}
