// The host side of the binary interface: the interfaces a host hands to the module (HostServices,
// HostValues, HostLists, HostMemory, HostClassRegistry, HostRegistryEntry) and the host's own
// representation of script values. Used by kestrel-host and by the tests that drive the module.
//
// All calls come from the host's one thread (the module calls these interfaces only from the
// thread that called it); the value store is locked anyway, so a stray call from elsewhere cannot
// corrupt it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_abi.h"

// How the host reads HostValue: word0 is the kind, word1 an integer or a slot of the store.
enum class ValueKind : uint32_t { Void = 0, Integer = 1, String = 2, List = 3, Object = 4 };

// One class entry made through HostClassRegistry, with the items stored in it.
struct RegisteredClass {
    HostGuid classId{};
    HostGuid interfaceId{};
    uint32_t context = 0;
    struct Item {
        int32_t typeCode = 0;
        std::string text;
    };
    std::map<std::string, Item> items;
};

class HostEnvironment {
  public:
    HostEnvironment();
    ~HostEnvironment();
    HostEnvironment(const HostEnvironment&) = delete;
    HostEnvironment& operator=(const HostEnvironment&) = delete;

    // The interfaces, each a record whose first word is its table of operations.
    HostServices* Services();
    HostMemory* Memory();
    HostValues* Values();
    HostLists* Lists();
    HostClassRegistry* Registry();

    // Values. Strings and lists live in the store until released.
    static HostValue Void() { return HostValue{0, 0}; }
    static HostValue Integer(int32_t value);
    static HostValue Object(uint32_t id);
    HostValue String(const std::string& text);
    HostValue NewList();
    void Append(HostValue list, const HostValue& item);  // appends a copy
    void Release(HostValue value);
    static ValueKind KindOf(const HostValue& value);
    static int32_t IntegerOf(const HostValue& value);
    std::string TextOf(const HostValue& value) const;
    std::vector<std::string> ItemsOf(const HostValue& value) const;
    // Strings and lists alive in the store.
    size_t LiveValues() const;

    // The window handed out by GetHostWindows: the host's own hidden window, a real one where
    // the platform has windows.
    void* Window() { return window_; }

    // Registrations made so far.
    std::vector<RegisteredClass> Registrations() const;

    // Memory blocks handed out and not yet freed.
    int32_t LiveBlocks() const { return liveBlocks_.load(); }

    // Reference counts of the host interfaces (each starts at 1, the host's own).
    uint32_t ValuesRefs() const;
    uint32_t ListsRefs() const;

    // Test controls.
    std::atomic<int32_t> failAllocs{0};        // the next n Alloc calls fail
    std::atomic<bool> refuseValues{false};     // QueryInterface refuses HostValues
    std::atomic<bool> refuseLists{false};      // QueryInterface refuses HostLists
    std::atomic<bool> failConversions{false};  // ValueToString/ValueToInteger fail
    std::atomic<bool> failCreateEntry{false};  // CreateEntry fails with HOST_E_NO_CLASS
    std::atomic<bool> poisonFreed{false};      // Free fills a block with 0xDD before freeing it
    std::atomic<int32_t> freeCalls{0};

    // Implementation of the interface operations (public for the static tables).
    struct Impl;

  private:
    struct Slot {
        ValueKind kind = ValueKind::Void;
        std::string text;
        std::vector<HostValue> items;
    };

    uint32_t Store(Slot slot);
    const Slot* Find(const HostValue& value) const;

    mutable std::mutex lock_;
    std::map<uint32_t, Slot> slots_;
    uint32_t nextSlot_ = 1;
    std::vector<RegisteredClass> registrations_;
    std::atomic<int32_t> liveBlocks_{0};
    void* window_ = nullptr;

    template <typename Interface>
    struct Record {
        Interface base;
        HostEnvironment* owner;
        std::atomic<uint32_t> refs;
    };
    Record<HostServices> services_;
    Record<HostMemory> memory_;
    Record<HostValues> values_;
    Record<HostLists> lists_;
    Record<HostClassRegistry> registry_;
    // Entries handed out by CreateEntry; the module never releases them.
    struct Entry {
        HostRegistryEntry base;
        HostEnvironment* owner;
        size_t registration;
    };
    std::vector<Entry*> entries_;

    friend struct Impl;
};

// A text as a JSON string: quotes, backslashes and control characters escaped. A text of valid
// UTF-8 keeps its characters; in any other text each byte of 128 and above becomes \u00XX (the
// module's texts are 8-bit and in no particular character set).
std::string JsonString(const std::string& text);

// The length of the valid UTF-8 sequence that starts at text[i], or 0 when none does (overlong
// forms, surrogates and values above U+10FFFF are not valid).
size_t Utf8SequenceLength(const std::string& text, size_t i);
// True when the whole text is valid UTF-8.
bool IsValidUtf8(const std::string& text);
