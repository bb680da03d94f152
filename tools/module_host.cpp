#include "module_host.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "library.h"

namespace {

const HostUnknownOps kInstanceOps = {ModuleHost::InstanceQuery, ModuleHost::InstanceAddRef,
                                     ModuleHost::InstanceRelease};

// The host gives up on a class-information table longer than this: it has lost its terminator.
constexpr int kMaxClassInfoEntries = 64;

bool IsZero(const HostGuid& id) {
    return HostGuidEqual(id, HostGuid{});
}

HostObject* ObjectOf(HostUnknown* self) {
    auto* header = reinterpret_cast<HostInstanceHeader*>(self);
    return reinterpret_cast<HostObject*>(header->hostWord1);
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

}  // namespace

bool ParseMethodTable(const std::string& text, std::string* className,
                      std::vector<MethodInfo>* methods, std::string* error) {
    std::istringstream lines(text);
    std::string line;
    bool header = false;
    methods->clear();
    while (std::getline(lines, line)) {
        if (line.find('\r') != std::string::npos) {
            *error = "the method table has a carriage return";
            return false;
        }
        if (!header) {
            if (line.rfind("xtra ", 0) != 0 || Trim(line.substr(5)).empty()) {
                *error = "the method table does not start with \"xtra NAME\"";
                return false;
            }
            *className = Trim(line.substr(5));
            header = true;
            continue;
        }
        if (line.rfind("--", 0) == 0 || Trim(line).empty()) {
            continue;
        }
        // "name object me, string A, integer B"
        MethodInfo method;
        method.line = line;
        size_t space = line.find(' ');
        method.name = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::istringstream parameters(rest);
        std::string parameter;
        bool first = true;
        while (std::getline(parameters, parameter, ',')) {
            std::string type = Trim(parameter);
            size_t gap = type.find(' ');
            std::string argumentName = gap == std::string::npos ? "" : Trim(type.substr(gap + 1));
            type = type.substr(0, gap);
            if (first) {
                if (type != "object") {
                    *error = "method " + method.name + " does not take the object first";
                    return false;
                }
                first = false;
            } else if (type == "string" || type == "integer" || type == "any") {
                // 'a': the method takes either an integer or a string.
                method.arguments += type == "string" ? 's' : type == "integer" ? 'i' : 'a';
                method.argumentNames.push_back(argumentName);
            } else {
                *error = "method " + method.name + " has an argument of unknown type " + type;
                return false;
            }
        }
        if (first) {
            *error = "method " + method.name + " does not take the object";
            return false;
        }
        methods->push_back(method);
    }
    if (!header) {
        *error = "the method table is empty";
        return false;
    }
    if (!text.empty() && text.back() != '\n') {
        *error = "the method table does not end with a line feed";
        return false;
    }
    return true;
}

ModuleHost::~ModuleHost() {
    for (auto& object : objects_) {
        if (!object->destroyed) {
            ReleaseObject(object.get());
        }
    }
    // Unloading while sessions or workers of the module live would pull their code away.
    if (library_ != nullptr && canUnloadNow != nullptr && canUnloadNow() == HOST_OK) {
        PlatLibraryFree(library_);
    }
}

bool ModuleHost::Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) {
        *error = reason;
    }
    return false;
}

bool ModuleHost::Load(const std::string& path, std::string* error) {
    char reason[512] = "";
    library_ = PlatLibraryLoad(path.c_str(), reason, sizeof reason);
    if (library_ == nullptr) {
        return Fail(error, "cannot load " + path + ": " + reason);
    }
    struct {
        const char* name;
        void** target;
    } symbols[] = {
        {"DllGetClassForm", reinterpret_cast<void**>(&getClassForm)},
        {"DllGetInterface", reinterpret_cast<void**>(&getInterface)},
        {"DllGetClassInfo", reinterpret_cast<void**>(&getClassInfo)},
        {"DllCanUnloadNow", reinterpret_cast<void**>(&canUnloadNow)},
        {"DllGetClassObject", reinterpret_cast<void**>(&getClassObject)},
    };
    for (auto& symbol : symbols) {
        *symbol.target = PlatLibrarySymbol(library_, symbol.name);
        if (*symbol.target == nullptr) {
            return Fail(error, path + " does not export " + symbol.name);
        }
    }
    return RegisterClasses(error);
}

bool ModuleHost::RegisterClasses(std::string* error) {
    ClassInfoEntry* table = nullptr;
    if (getClassInfo(env_.Memory(), &table) != HOST_OK || table == nullptr) {
        return Fail(error, "DllGetClassInfo failed");
    }
    // Every class that offers the registration interface registers through it.
    std::vector<HostGuid> registrars;
    int count = 0;
    for (; count < kMaxClassInfoEntries; ++count) {
        const ClassInfoEntry& entry = table[count];
        if (IsZero(entry.classId) && IsZero(entry.interfaceId)) {
            break;
        }
        if (HostGuidEqual(entry.interfaceId, IID_HostRegistration)) {
            registrars.push_back(entry.classId);
        }
    }
    env_.Memory()->ops->Free(env_.Memory(), table);
    if (count == kMaxClassInfoEntries) {
        return Fail(error, "the class-information table has no end");
    }
    if (registrars.empty()) {
        return Fail(error, "the module has no registration class");
    }
    for (const HostGuid& classId : registrars) {
        HostObject* registrar = CreateInstance(classId, error);
        if (registrar == nullptr) {
            return false;
        }
        void* out = nullptr;
        HostStatus status = getInterface(registrar->record, &classId, &IID_HostRegistration, &out);
        if (status != HOST_OK || out == nullptr) {
            ReleaseObject(registrar);
            return Fail(error, "the registration class gives no registration interface");
        }
        auto* iface = static_cast<ModuleInterface*>(out);
        auto* ops = static_cast<const RegistrationOps*>(iface->ops);
        status = ops->Register(iface, env_.Registry(), registrar->id);
        ops->Release(iface);
        ReleaseObject(registrar);
        if (status != HOST_OK) {
            return Fail(error, "Register failed");
        }
    }
    for (const RegisteredClass& registration : env_.Registrations()) {
        auto item = registration.items.find(HOST_METHOD_TABLE_KEY);
        if (item == registration.items.end() || item->second.typeCode != HOST_ITEM_TEXT) {
            continue;
        }
        scriptClass_ = registration.classId;
        scriptInterface_ = registration.interfaceId;
        methodTable_ = item->second.text;
        std::string reason;
        if (!ParseMethodTable(methodTable_, &className_, &methods_, &reason)) {
            return Fail(error, reason);
        }
        uint32_t size = 0;
        HostConstructor constructor = nullptr;
        HostDestructor destructor = nullptr;
        if (getClassForm(&scriptClass_, &size, &constructor, &destructor) != HOST_OK) {
            return Fail(error, "the registered class is unknown to DllGetClassForm");
        }
        if (FindMethod("new") != 0) {
            return Fail(error, "the method table does not start with new");
        }
        return true;
    }
    return Fail(error, "no class registered a method table under \"msgTable\"");
}

int32_t ModuleHost::FindMethod(const std::string& name) const {
    for (size_t i = 0; i < methods_.size(); ++i) {
        if (methods_[i].name == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

HostObject* ModuleHost::CreateInstance(const HostGuid& classId, std::string* error) {
    uint32_t size = 0;
    HostConstructor constructor = nullptr;
    HostDestructor destructor = nullptr;
    if (getClassForm(&classId, &size, &constructor, &destructor) != HOST_OK) {
        Fail(error, "DllGetClassForm does not know the class");
        return nullptr;
    }
    if (size < sizeof(HostInstanceHeader) || constructor == nullptr || destructor == nullptr) {
        Fail(error, "DllGetClassForm gives no usable instance form");
        return nullptr;
    }
    void* record = calloc(1, size);
    if (record == nullptr) {
        Fail(error, "out of memory");
        return nullptr;
    }
    auto object = std::make_unique<HostObject>();
    object->id = nextObjectId_++;
    object->classId = classId;
    object->record = record;
    object->refs = 1;
    object->destructor = destructor;
    object->host = this;
    auto* header = static_cast<HostInstanceHeader*>(record);
    header->ops = &kInstanceOps;
    header->hostWord1 = reinterpret_cast<uintptr_t>(object.get());
    header->services = env_.Services();
    header->memory = env_.Memory();
    HostObject* result = object.get();
    objects_.push_back(std::move(object));
    if (constructor(record) != HOST_OK) {
        // The destructor releases whatever the constructor obtained before it failed.
        ReleaseObject(result);
        Fail(error, "the constructor failed");
        return nullptr;
    }
    return result;
}

HostObject* ModuleHost::CreateObject(std::string* error) {
    HostObject* object = CreateInstance(scriptClass_, error);
    if (object == nullptr) {
        return nullptr;
    }
    void* out = nullptr;
    if (getInterface(object->record, &scriptClass_, &scriptInterface_, &out) != HOST_OK ||
        out == nullptr) {
        ReleaseObject(object);
        Fail(error, "DllGetInterface gives no script interface");
        return nullptr;
    }
    object->callInterface = static_cast<ModuleInterface*>(out);
    return object;
}

HostStatus ModuleHost::CallRecord(HostObject* object, HostCallRecord* call) {
    auto* ops = static_cast<const ScriptCallOps*>(object->callInterface->ops);
    return ops->MethodDispatcher(object->callInterface, call);
}

HostValue ModuleHost::Call(HostObject* object, int32_t method,
                           const std::vector<HostValue>& arguments) {
    std::vector<HostValue> items;
    items.push_back(HostEnvironment::Object(object->id));
    items.insert(items.end(), arguments.begin(), arguments.end());
    HostCallRecord call{};
    call.methodNumber = method;
    call.result = HostEnvironment::Void();
    call.argumentCount = static_cast<int32_t>(items.size());
    call.arguments = items.data();
    CallRecord(object, &call);
    return call.result;
}

void ModuleHost::ReleaseObject(HostObject* object) {
    if (object == nullptr || object->destroyed) {
        return;
    }
    if (object->callInterface != nullptr) {
        ModuleInterface* iface = object->callInterface;
        object->callInterface = nullptr;
        static_cast<const ScriptCallOps*>(iface->ops)->Release(iface);
    }
    InstanceRelease(static_cast<HostUnknown*>(object->record));
}

HostStatus KESTREL_CALL ModuleHost::InstanceQuery(HostUnknown* self, const HostGuid* iid,
                                                  void** out) {
    if (out == nullptr || iid == nullptr) {
        return HOST_E_NO_INTERFACE;
    }
    *out = nullptr;
    HostObject* object = ObjectOf(self);
    // The instance hands out the interface its class offers, as a new interface object.
    return object->host->getInterface(object->record, &object->classId, iid, out);
}

uint32_t KESTREL_CALL ModuleHost::InstanceAddRef(HostUnknown* self) {
    return ++ObjectOf(self)->refs;
}

uint32_t KESTREL_CALL ModuleHost::InstanceRelease(HostUnknown* self) {
    HostObject* object = ObjectOf(self);
    uint32_t count = --object->refs;
    if (count == 0) {
        void* record = object->record;
        object->destroyed = true;
        object->destructor(record);
        free(record);
        object->record = nullptr;
    }
    return count;
}
