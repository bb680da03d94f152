// A host for the module: loads it through its exported entry points only, learns its classes,
// registers them, reads the method table it was given, and makes and calls script objects.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "host_abi.h"
#include "host_environment.h"

// One method of the registered table: its name, the types of its script arguments ('s' string,
// 'i' integer) and their names, "me" not included, and its line of the table as registered.
struct MethodInfo {
    std::string name;
    std::string arguments;
    std::vector<std::string> argumentNames;
    std::string line;
};

// Reads a method table text: the header line "xtra NAME", comment lines starting with "--",
// then one method per line, numbered from 0 in order. Returns false with the reason in *error.
bool ParseMethodTable(const std::string& text, std::string* className,
                      std::vector<MethodInfo>* methods, std::string* error);

// An instance the host made of one of the module's classes.
struct HostObject {
    uint32_t id = 0;
    HostGuid classId{};
    void* record = nullptr;  // begins with a HostInstanceHeader
    uint32_t refs = 0;       // references to the instance, the host's own included
    HostDestructor destructor = nullptr;
    ModuleInterface* callInterface = nullptr;  // the host's reference to the script interface
    bool destroyed = false;
    class ModuleHost* host = nullptr;
};

class ModuleHost {
  public:
    explicit ModuleHost(HostEnvironment& environment) : env_(environment) {}
    // Releases the objects still held and unloads the module when it allows it.
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    // Loads the module at path and registers its classes. False with the reason in *error when
    // it cannot be loaded or does not behave as a module.
    bool Load(const std::string& path, std::string* error);

    const std::vector<MethodInfo>& Methods() const { return methods_; }
    // The number of the method called name, or -1.
    int32_t FindMethod(const std::string& name) const;
    const std::string& ClassName() const { return className_; }
    const std::string& MethodTableText() const { return methodTable_; }
    const HostGuid& ScriptClassId() const { return scriptClass_; }
    const HostGuid& ScriptInterfaceId() const { return scriptInterface_; }

    // The module's entry points.
    DllGetClassFormFn getClassForm = nullptr;
    DllGetInterfaceFn getInterface = nullptr;
    DllGetClassInfoFn getClassInfo = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;

    // Makes an instance of classId (constructor run, host holds one reference) without asking
    // for an interface. Null with the reason in *error.
    HostObject* CreateInstance(const HostGuid& classId, std::string* error);
    // Makes a script object: an instance of the script class and its call interface. Does not
    // call `new`. Null with the reason in *error.
    HostObject* CreateObject(std::string* error);
    // Calls method number method on object with the script arguments given (the object itself is
    // put in front). The result belongs to the caller, who releases it.
    HostValue Call(HostObject* object, int32_t method, const std::vector<HostValue>& arguments);
    // Runs a call record the caller prepared.
    HostStatus CallRecord(HostObject* object, HostCallRecord* call);
    // Drops the host's references to the object: its call interface, then the instance, as a
    // host does when a script lets go of an object.
    void ReleaseObject(HostObject* object);

    // The instance operations of the host (word 0 of every header), public for the table.
    static HostStatus KESTREL_CALL InstanceQuery(HostUnknown* self, const HostGuid* iid,
                                                 void** out);
    static uint32_t KESTREL_CALL InstanceAddRef(HostUnknown* self);
    static uint32_t KESTREL_CALL InstanceRelease(HostUnknown* self);

  private:
    bool Fail(std::string* error, const std::string& reason);
    bool RegisterClasses(std::string* error);

    HostEnvironment& env_;
    struct PlatLibrary* library_ = nullptr;
    std::string className_;
    std::string methodTable_;
    std::vector<MethodInfo> methods_;
    HostGuid scriptClass_{};
    HostGuid scriptInterface_{};
    std::list<std::unique_ptr<HostObject>> objects_;
    uint32_t nextObjectId_ = 1;
};
