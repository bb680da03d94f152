// A test fixture that loads a private copy of the built module through the reference host code,
// so every test starts with a freshly loaded module (object numbers from 0, no sessions), and
// gives it a private directory of its own through XDG_RUNTIME_DIR.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_environment.h"
#include "module_host.h"

namespace ktest {

// One script argument: a string or an integer.
struct Arg {
    Arg(const char* text) : isString(true), text(text) {}
    Arg(std::string text) : isString(true), text(std::move(text)) {}
    Arg(int32_t integer) : isString(false), integer(integer) {}
    bool isString;
    std::string text;
    int32_t integer = 0;
};

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the module copy (done by SetUp; tests that change the environment first may reload).
    void LoadModule();

    // Makes a script object and calls `new`; *newResult receives new's integer result (0 when
    // it stored none).
    HostObject* NewObject(int32_t* newResult = nullptr);

    // Calls a method by name; the result belongs to the caller.
    HostValue Call(HostObject* object, const std::string& method, std::vector<Arg> args = {});
    int32_t CallInt(HostObject* object, const std::string& method, std::vector<Arg> args = {});
    std::string CallText(HostObject* object, const std::string& method, std::vector<Arg> args = {});
    std::vector<std::string> CallList(HostObject* object, const std::string& method,
                                      std::vector<Arg> args = {});
    ValueKind CallKind(HostObject* object, const std::string& method, std::vector<Arg> args = {});

    // Polls ftpDone until it returns 1 or the time runs out. True when done.
    bool WaitDone(HostObject* object,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

    // The listing file of the object with session key key, in this process.
    std::string ListingPath(int32_t key) const;

    std::string workDir;  // scratch directory of the test
    std::string runDir;   // the module's private directory
    std::string modulePath;
    std::unique_ptr<HostEnvironment> env;
    std::unique_ptr<ModuleHost> host;
};

}  // namespace ktest
