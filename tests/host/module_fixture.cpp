#include "module_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

// Present in sanitizer builds only.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace ktest {

namespace {

// The copies of the module live in one directory per process, removed when the tests are done.
std::string& CopyDirectory() {
    static std::string directory;
    if (directory.empty()) {
        char pattern[] = "/tmp/kestrel-modules-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            directory = pattern;
        }
    }
    return directory;
}

class ModuleCopies : public ::testing::Environment {
  public:
    void TearDown() override {
        // Leaks are looked for here, with the module loaded as a host leaves it, rather than at
        // exit: by then the module's static destructors have run and freed the engine's session
        // list, so the parts of sessions that objects left behind (by design) look lost.
        // The copies stay until then so that a leak report can name the module's functions.
        if (__lsan_do_leak_check != nullptr) {
            __lsan_do_leak_check();
        }
        std::error_code ignored;
        std::filesystem::remove_all(CopyDirectory(), ignored);
    }
};

[[maybe_unused]] const bool registered =
    (::testing::AddGlobalTestEnvironment(new ModuleCopies), true);

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void ModuleTest::SetUp() {
    char pattern[] = "/tmp/kestrel-module-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    workDir = pattern;
    runDir = workDir + "/run";
    ASSERT_EQ(mkdir(runDir.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runDir.c_str(), 1);
    // A copy of its own: a module loaded under another path starts with fresh module state.
    static int copies = 0;
    ASSERT_FALSE(CopyDirectory().empty());
    modulePath = CopyDirectory() + "/libkestrel-" + std::to_string(copies++) + ".so";
    std::filesystem::copy_file(KESTREL_MODULE_PATH, modulePath);
    LoadModule();
}

void ModuleTest::LoadModule() {
    host.reset();
    env = std::make_unique<HostEnvironment>();
    host = std::make_unique<ModuleHost>(*env);
    std::string error;
    ASSERT_TRUE(host->Load(modulePath, &error)) << error;
}

void ModuleTest::TearDown() {
    // Releasing the objects runs their destructors, which wait for running workers.
    host.reset();
    env.reset();
    unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(workDir, ignored);
}

HostObject* ModuleTest::NewObject(int32_t* newResult) {
    std::string error;
    HostObject* object = host->CreateObject(&error);
    EXPECT_NE(object, nullptr) << error;
    if (object == nullptr) {
        return nullptr;
    }
    HostValue result = host->Call(object, 0, {});
    if (newResult != nullptr) {
        *newResult = HostEnvironment::KindOf(result) == ValueKind::Integer
                         ? HostEnvironment::IntegerOf(result)
                         : 0;
    }
    env->Release(result);
    return object;
}

HostValue ModuleTest::Call(HostObject* object, const std::string& method, std::vector<Arg> args) {
    int32_t number = host->FindMethod(method);
    EXPECT_GE(number, 0) << method;
    std::vector<HostValue> values;
    for (const Arg& arg : args) {
        values.push_back(arg.isString ? env->String(arg.text)
                                      : HostEnvironment::Integer(arg.integer));
    }
    HostValue result = host->Call(object, number, values);
    for (HostValue& value : values) {
        env->Release(value);
    }
    return result;
}

int32_t ModuleTest::CallInt(HostObject* object, const std::string& method, std::vector<Arg> args) {
    HostValue result = Call(object, method, std::move(args));
    EXPECT_EQ(HostEnvironment::KindOf(result), ValueKind::Integer) << method;
    int32_t value = HostEnvironment::IntegerOf(result);
    env->Release(result);
    return value;
}

std::string ModuleTest::CallText(HostObject* object, const std::string& method,
                                 std::vector<Arg> args) {
    HostValue result = Call(object, method, std::move(args));
    EXPECT_EQ(HostEnvironment::KindOf(result), ValueKind::String) << method;
    std::string text = env->TextOf(result);
    env->Release(result);
    return text;
}

std::vector<std::string> ModuleTest::CallList(HostObject* object, const std::string& method,
                                              std::vector<Arg> args) {
    HostValue result = Call(object, method, std::move(args));
    EXPECT_EQ(HostEnvironment::KindOf(result), ValueKind::List) << method;
    std::vector<std::string> items = env->ItemsOf(result);
    env->Release(result);
    return items;
}

ValueKind ModuleTest::CallKind(HostObject* object, const std::string& method,
                               std::vector<Arg> args) {
    HostValue result = Call(object, method, std::move(args));
    ValueKind kind = HostEnvironment::KindOf(result);
    env->Release(result);
    return kind;
}

bool ModuleTest::WaitDone(HostObject* object, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (CallInt(object, "ftpDone") != 1) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // ftpDone is a polling interface; a short pause keeps the poll cheap.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string ModuleTest::ListingPath(int32_t key) const {
    char name[48];
    snprintf(name, sizeof name, "FTPDir%d-%03d", static_cast<int>(getpid()), key + 1);
    return runDir + "/" + name;
}

}  // namespace ktest
