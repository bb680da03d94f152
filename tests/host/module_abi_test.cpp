// The module as a host sees it through its five entry points: the class table, instance forms,
// interface objects and their reference counting, registration, and when it may be unloaded.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "module_fixture.h"

namespace ktest {
namespace {

using AbiTest = ModuleTest;

// The registration class id as the 16 bytes a host reads.
const uint8_t kRegistrationClassBytes[16] = {0x42, 0x97, 0x8F, 0x51, 0x66, 0xAD, 0xD2, 0x11,
                                             0x84, 0x1B, 0x00, 0x80, 0xC6, 0xF7, 0x9C, 0x42};

TEST_F(AbiTest, ExportsOnlyTheFiveEntryPoints) {
    std::string command = "nm -D --defined-only '" + modulePath + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        char address[64], type[8], name[256];
        if (sscanf(line, "%63s %7s %255s", address, type, name) == 3) {
            names.insert(name);
        }
    }
    ASSERT_EQ(pclose(pipe), 0);
    std::set<std::string> expected = {"DllCanUnloadNow", "DllGetClassForm", "DllGetClassInfo",
                                      "DllGetClassObject", "DllGetInterface"};
    EXPECT_EQ(names, expected);
}

TEST_F(AbiTest, ClassInfoTableListsBothClassesWithTheirInterfacesAndATerminator) {
    ClassInfoEntry* table = nullptr;
    ASSERT_EQ(host->getClassInfo(env->Memory(), &table), HOST_OK);
    ASSERT_NE(table, nullptr);
    const auto* bytes = reinterpret_cast<const uint8_t*>(table);
    EXPECT_EQ(memcmp(bytes, kRegistrationClassBytes, 16), 0);
    // Class entry: version, the fixed interface id, interface version 1.
    EXPECT_TRUE(HostGuidEqual(table[0].interfaceId, IID_ClassEntry));
    EXPECT_EQ(table[0].classVersion, 0x01000040u);
    EXPECT_EQ(table[0].interfaceVersion, 1u);
    EXPECT_TRUE(HostGuidEqual(table[1].classId, CLSID_KestrelRegistration));
    EXPECT_TRUE(HostGuidEqual(table[1].interfaceId, IID_HostRegistration));
    EXPECT_EQ(table[1].interfaceVersion, 0x01000040u);
    EXPECT_TRUE(HostGuidEqual(table[2].classId, CLSID_KestrelScript));
    EXPECT_TRUE(HostGuidEqual(table[2].interfaceId, IID_ClassEntry));
    EXPECT_TRUE(HostGuidEqual(table[3].classId, CLSID_KestrelScript));
    EXPECT_TRUE(HostGuidEqual(table[3].interfaceId, IID_ScriptCall));
    EXPECT_EQ(table[3].classVersion, 0x01000040u);
    EXPECT_EQ(table[3].interfaceVersion, 0x01000040u);
    EXPECT_TRUE(HostGuidEqual(table[4].classId, HostGuid{}));
    EXPECT_TRUE(HostGuidEqual(table[4].interfaceId, HostGuid{}));
    env->Memory()->ops->Free(env->Memory(), table);

    env->failAllocs = 1;
    table = reinterpret_cast<ClassInfoEntry*>(&table);  // anything but null
    EXPECT_EQ(host->getClassInfo(env->Memory(), &table), HOST_E_OUT_OF_MEMORY);
    EXPECT_EQ(table, nullptr);
}

TEST_F(AbiTest, ClassFormGivesEachClassItsRecordAndRefusesUnknownIds) {
    uint32_t size = 0;
    HostConstructor constructor = nullptr;
    HostDestructor destructor = nullptr;
    ASSERT_EQ(host->getClassForm(&CLSID_KestrelRegistration, &size, &constructor, &destructor),
              HOST_OK);
    EXPECT_EQ(size, sizeof(HostInstanceHeader));
    EXPECT_NE(constructor, nullptr);
    ASSERT_EQ(host->getClassForm(&CLSID_KestrelScript, &size, &constructor, &destructor), HOST_OK);
    EXPECT_GT(size, sizeof(HostInstanceHeader) + 2048 + 300);

    uint32_t untouchedSize = 77;
    auto untouchedConstructor = reinterpret_cast<HostConstructor>(&untouchedSize);
    HostConstructor constructorOut = untouchedConstructor;
    HostDestructor destructorOut = nullptr;
    EXPECT_EQ(host->getClassForm(&IID_ScriptCall, &untouchedSize, &constructorOut, &destructorOut),
              HOST_E_NO_CLASS);
    EXPECT_EQ(untouchedSize, 77u);
    EXPECT_EQ(constructorOut, untouchedConstructor);
    EXPECT_EQ(destructorOut, nullptr);
    EXPECT_EQ(host->getClassObject(&CLSID_KestrelScript, &IID_ScriptCall, nullptr),
              HOST_E_NO_CLASS);
}

TEST_F(AbiTest, GetInterfaceRefusesForeignInterfaceAndFailedAllocation) {
    std::string error;
    HostObject* instance = host->CreateInstance(CLSID_KestrelScript, &error);
    ASSERT_NE(instance, nullptr) << error;
    void* out = instance;
    EXPECT_EQ(
        host->getInterface(instance->record, &CLSID_KestrelScript, &IID_HostRegistration, &out),
        HOST_E_NO_INTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(instance->refs, 1u);

    env->failAllocs = 1;
    out = instance;
    EXPECT_EQ(host->getInterface(instance->record, &CLSID_KestrelScript, &IID_ScriptCall, &out),
              HOST_E_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(instance->refs, 1u);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
    host->ReleaseObject(instance);
}

TEST_F(AbiTest, InterfaceReferencesKeepTheInstanceAndLastReleaseFreesTheObject) {
    // Free poisons the block, so a Release that read its record after freeing it would go wrong.
    env->poisonFreed = true;
    std::string error;
    HostObject* instance = host->CreateInstance(CLSID_KestrelScript, &error);
    ASSERT_NE(instance, nullptr) << error;
    int32_t blocksBefore = env->LiveBlocks();
    void* out = nullptr;
    ASSERT_EQ(host->getInterface(instance->record, &CLSID_KestrelScript, &IID_ScriptCall, &out),
              HOST_OK);
    auto* iface = static_cast<ModuleInterface*>(out);
    auto* ops = static_cast<const ScriptCallOps*>(iface->ops);
    EXPECT_EQ(instance->refs, 3u);  // the host's own, the object's, the reference handed out
    EXPECT_EQ(env->LiveBlocks(), blocksBefore + 1);
    EXPECT_EQ(host->canUnloadNow(), HOST_E_IN_USE);

    EXPECT_EQ(ops->AddRef(iface), 2u);
    EXPECT_EQ(instance->refs, 4u);
    EXPECT_EQ(ops->Release(iface), 1u);
    EXPECT_EQ(instance->refs, 3u);
    int32_t freesBefore = env->freeCalls;
    EXPECT_EQ(ops->Release(iface), 0u);
    EXPECT_EQ(instance->refs, 1u);
    EXPECT_EQ(env->freeCalls, freesBefore + 1);
    EXPECT_EQ(env->LiveBlocks(), blocksBefore);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);
    host->ReleaseObject(instance);
    EXPECT_TRUE(instance->destroyed);
}

TEST_F(AbiTest, QueryInterfaceGoesThroughTheOwnerInstance) {
    HostObject* object = NewObject();
    auto* ops = static_cast<const ScriptCallOps*>(object->callInterface->ops);
    void* out = nullptr;
    ASSERT_EQ(ops->QueryInterface(object->callInterface, &IID_ScriptCall, &out), HOST_OK);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, object->callInterface);  // the host made a second interface object
    EXPECT_EQ(object->refs, 5u);
    auto* second = static_cast<ModuleInterface*>(out);
    EXPECT_EQ(static_cast<const ScriptCallOps*>(second->ops)->Release(second), 0u);
    EXPECT_EQ(object->refs, 3u);
    EXPECT_EQ(ops->QueryInterface(object->callInterface, &IID_HostLists, &out),
              HOST_E_NO_INTERFACE);
    EXPECT_EQ(CallInt(object, "forget"), 0);
}

TEST_F(AbiTest, UnloadIsRefusedWhileASessionLivesAndAllowedAfterForget) {
    HostObject* forgotten = NewObject();
    EXPECT_EQ(CallInt(forgotten, "forget"), 0);
    host->ReleaseObject(forgotten);
    EXPECT_EQ(host->canUnloadNow(), HOST_OK);

    // An object dropped without forget leaves its session behind, and with it the need for
    // the module's code.
    HostObject* dropped = NewObject();
    host->ReleaseObject(dropped);
    EXPECT_TRUE(dropped->destroyed);
    EXPECT_EQ(env->LiveBlocks(), 0);
    EXPECT_EQ(host->canUnloadNow(), HOST_E_IN_USE);
}

// A worker that has finished its operation may still be running the module's code on its way
// out. Each round ends a worker (ftpPWD, not connected, ends at once), asks whether the module
// may go, and unloads it; a thread still inside the unloaded code would crash the process. The
// rounds are bounded by count and by time, since loading is several times slower under the
// sanitizers (which also catch such a thread far sooner).
TEST_F(AbiTest, UnloadAfterForgetNeverPullsCodeFromUnderAWorker) {
    constexpr int kRounds = 5000;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < end; ++round) {
        HostObject* object = NewObject();
        ASSERT_EQ(CallInt(object, "ftpPWD"), 0);
        ASSERT_EQ(CallInt(object, "forget"), 0);
        host->ReleaseObject(object);
        ASSERT_EQ(host->canUnloadNow(), HOST_OK) << "round " << round;
        LoadModule();  // unloads the module (it allows it) and loads it again
    }
}

TEST_F(AbiTest, RegisterStoresTheMethodTableForTheScriptClass) {
    std::vector<RegisteredClass> registrations = env->Registrations();
    ASSERT_EQ(registrations.size(), 1u);
    const RegisteredClass& entry = registrations[0];
    EXPECT_TRUE(HostGuidEqual(entry.classId, CLSID_KestrelScript));
    EXPECT_TRUE(HostGuidEqual(entry.interfaceId, IID_ScriptCall));
    ASSERT_EQ(entry.items.count("msgTable"), 1u);
    EXPECT_EQ(entry.items.at("msgTable").typeCode, 9);
    const std::string& text = entry.items.at("msgTable").text;

    const char* methods[] = {
        "new object me",
        "forget object me",
        "ftpLogin object me, string Host, string UserName, string Password",
        "ftpLogout object me",
        "ftpDir object me, string Filter, integer MoreDetails",
        "ftpRecvFile object me, string RemoteFileName, string LocalFileName, integer TransferType",
        "ftpRestartRecvFile object me, string RemoteFileName, string LocalFileName, integer "
        "TransferType, any Position",
        "ftpAppendToLocalFile object me, string RemoteFileName, string LocalFileName, integer "
        "TransferType",
        "ftpSendFile object me, string LocalFileName, string RemoteFileName, integer TransferType",
        "ftpRestartSendFile object me, string LocalFileName, string RemoteFileName, integer "
        "TransferType, any Position",
        "ftpAppendToRemoteFile object me, string LocalFileName, string RemoteFileName, integer "
        "TransferType",
        "ftpRenameFile object me, string RemoteFileName, string NewRemoteFileName",
        "ftpDeleteFile object me, string RemoteFileName",
        "ftpDeleteDirectory object me, string RemoteDirectoryName",
        "ftpCreateDirectory object me, string RemoteDirectoryName",
        "ftpCDUp object me",
        "ftpCWD object me, string PathName",
        "ftpPWD object me",
        "ftpHelp object me, string Command",
        "ftpCommand object me, string Command",
        "ftpAbort object me",
        "ftpBytesTransferred object me",
        "ftpBytesToBeTransferred object me",
        "ftpDone object me",
        "ftpResult object me",
        "ftpErrorCode object me",
        "ftpErrorMessage object me",
        "ftpSetOption object me, string Name, string Value",
        "ftpLastReply object me",
        "ftpProgress object me",
        "ftpFileInfo object me, string Name",
    };
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_GE(lines.size(), 2u + 31u);
    EXPECT_EQ(lines[0], "xtra Kestrel");
    size_t first = 1;
    while (first < lines.size() && lines[first].rfind("--", 0) == 0) {
        ++first;
    }
    ASSERT_GT(first, 1u) << "no comment line";
    EXPECT_NE(lines[1].find("version 1.0"), std::string::npos) << lines[1];
    ASSERT_EQ(lines.size() - first, 31u);
    for (size_t i = 0; i < std::size(methods); ++i) {
        EXPECT_EQ(lines[first + i], methods[i]) << "method " << i;
    }
    EXPECT_EQ(host->FindMethod("ftpErrorMessage"), 26);
    EXPECT_EQ(host->FindMethod("ftpLastReply"), 28);
}

TEST_F(AbiTest, RegisterPassesARegistryRefusalOn) {
    std::string error;
    HostObject* registrar = host->CreateInstance(CLSID_KestrelRegistration, &error);
    ASSERT_NE(registrar, nullptr) << error;
    void* out = nullptr;
    ASSERT_EQ(host->getInterface(registrar->record, &CLSID_KestrelRegistration,
                                 &IID_HostRegistration, &out),
              HOST_OK);
    auto* iface = static_cast<ModuleInterface*>(out);
    auto* ops = static_cast<const RegistrationOps*>(iface->ops);
    size_t before = env->Registrations().size();
    env->failCreateEntry = true;
    EXPECT_EQ(ops->Register(iface, env->Registry(), 7), HOST_E_NO_CLASS);
    EXPECT_EQ(env->Registrations().size(), before);
    env->failCreateEntry = false;
    EXPECT_EQ(ops->Register(iface, env->Registry(), 7), HOST_OK);
    EXPECT_EQ(env->Registrations().back().context, 7u);
    ops->Release(iface);
    host->ReleaseObject(registrar);
}

TEST_F(AbiTest, ConstructorNeedsBothHostInterfacesAndDestructorReleasesWhatItGot) {
    env->refuseLists = true;
    std::string error;
    EXPECT_EQ(host->CreateObject(&error), nullptr);
    EXPECT_EQ(env->ValuesRefs(), 1u);  // obtained, then released by the destructor
    EXPECT_EQ(env->ListsRefs(), 1u);

    // A record whose header has no HostServices.
    uint32_t size = 0;
    HostConstructor constructor = nullptr;
    HostDestructor destructor = nullptr;
    ASSERT_EQ(host->getClassForm(&CLSID_KestrelScript, &size, &constructor, &destructor), HOST_OK);
    std::vector<uint8_t> record(size, 0);
    EXPECT_EQ(constructor(record.data()), HOST_E_NO_INTERFACE);
    destructor(record.data());

    env->refuseLists = false;
    HostObject* object = NewObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(env->ValuesRefs(), 2u);
    EXPECT_EQ(env->ListsRefs(), 2u);
    EXPECT_EQ(CallInt(object, "forget"), 0);
    host->ReleaseObject(object);
    EXPECT_EQ(env->ValuesRefs(), 1u);
    EXPECT_EQ(env->ListsRefs(), 1u);
}

}  // namespace
}  // namespace ktest
