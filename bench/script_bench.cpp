// kestrel-script-bench: measures Kestrel as scripts use it. The module is loaded through its
// exported entry points by the reference host's code, objects are made with `new`, and every
// operation is a method call followed by polling ftpDone, as a movie's script would do it. One
// measurement per run; the result is one JSON line on standard output.
//
//   kestrel-script-bench transfer --host H --user U --password P --direction down|up --objects N
//                                 --remote NAME --source FILE --work DIR [--server-root DIR]
//                                 [--module PATH]
//   kestrel-script-bench noop     --host H --user U --password P --count N [--module PATH]
//
// transfer: N objects log in (16 at a time), then all start the same transfer at once (ftpRecvFile into
// DIR/down-<i>, or ftpSendFile of FILE as NAME-<i>); the host polls ftpDone of every busy object
// once a millisecond. Every copy is compared with FILE. The sessions keep the fixed pause rhythm,
// which the script interface cannot change; the record carries its ideal time.
// noop: one object runs ftpCommand "NOOP" N times; after each call the host polls ftpDone as fast
// as it can (yielding the processor between polls) and checks that ftpErrorCode is 200.
//
// Exit status 0 when every operation succeeded and every file matched, 1 otherwise, 2 for a
// usage error.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_measure.h"
#include "host_environment.h"
#include "module_host.h"

namespace {

constexpr int32_t TRANSFER_TYPE_IMAGE = 'I';
constexpr double WAIT_LIMIT_SECONDS = 900;

int Usage(const std::string& why) {
    std::fprintf(stderr,
                 "kestrel-script-bench: %s\n"
                 "usage: kestrel-script-bench transfer --host H --user U --password P "
                 "--direction down|up --objects N --remote NAME --source FILE --work DIR "
                 "[--server-root DIR] [--module PATH]\n"
                 "       kestrel-script-bench noop --host H --user U --password P --count N "
                 "[--module PATH]\n",
                 why.c_str());
    return 2;
}

// libkestrel.so next to this executable.
std::string DefaultModulePath() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "libkestrel.so";
    }
    std::string directory(path, static_cast<size_t>(length));
    return directory.substr(0, directory.rfind('/') + 1) + "libkestrel.so";
}

// The script's view of the module: method calls by name on objects, values released after use.
class Script {
public:
    Script(ModuleHost& host, HostEnvironment& env) : host_(host), env_(env) {}

    bool resolve(std::string* missing) {
        const char* names[] = {"new",        "forget",  "ftpLogin",    "ftpRecvFile", "ftpSendFile",
                               "ftpCommand", "ftpDone", "ftpErrorCode"};
        for (const char* name : names) {
            if (host_.FindMethod(name) < 0) {
                *missing = name;
                return false;
            }
        }
        return true;
    }

    // A new object whose `new` succeeded, or null.
    HostObject* create() {
        std::string error;
        HostObject* object = host_.CreateObject(&error);
        if (object == nullptr) {
            return nullptr;
        }
        HostValue result = host_.Call(object, host_.FindMethod("new"), {});
        bool failed = HostEnvironment::KindOf(result) == ValueKind::Integer &&
                      HostEnvironment::IntegerOf(result) != 0;
        env_.Release(result);
        if (failed) {
            host_.ReleaseObject(object);
            return nullptr;
        }
        return object;
    }

    // Calls a method with string and integer arguments; its integer result (or INT32_MIN).
    int32_t call(HostObject* object, const char* method, const std::vector<std::string>& texts,
                 const std::vector<int32_t>& integers = {}) {
        std::vector<HostValue> arguments;
        for (const std::string& text : texts) {
            arguments.push_back(env_.String(text));
        }
        for (int32_t value : integers) {
            arguments.push_back(HostEnvironment::Integer(value));
        }
        HostValue result = host_.Call(object, host_.FindMethod(method), arguments);
        int32_t value = HostEnvironment::KindOf(result) == ValueKind::Integer
                            ? HostEnvironment::IntegerOf(result)
                            : INT32_MIN;
        env_.Release(result);
        for (const HostValue& argument : arguments) {
            env_.Release(argument);
        }
        return value;
    }

    bool done(HostObject* object) { return call(object, "ftpDone", {}) == 1; }
    int32_t errorCode(HostObject* object) { return call(object, "ftpErrorCode", {}); }

    // Polls ftpDone of every object in `busy` until all have finished or the limit passes,
    // sleeping `interval` between rounds. Writes each object's finishing time (the round in
    // which it was first seen done) into `finished`. False when the limit passed.
    bool waitAll(const std::vector<HostObject*>& objects, std::vector<double>* finished,
                 std::chrono::microseconds interval) {
        std::vector<bool> open(objects.size(), true);
        size_t left = objects.size();
        const double deadline = BenchNow() + WAIT_LIMIT_SECONDS;
        while (left > 0) {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (open[i] && done(objects[i])) {
                    open[i] = false;
                    (*finished)[i] = BenchNow();
                    --left;
                }
            }
            if (left == 0 || BenchNow() > deadline) {
                break;
            }
            std::this_thread::sleep_for(interval);
        }
        return left == 0;
    }

    void forget(HostObject* object) {
        call(object, "forget", {});
        host_.ReleaseObject(object);
    }

private:
    ModuleHost& host_;
    HostEnvironment& env_;
};

struct Login {
    std::string host;
    std::string user;
    std::string password;
};

int RunTransfer(const BenchArgs& args, const Login& login, Script& script) {
    const std::string direction = args.text("direction", "down");
    const int64_t objects = args.integer("objects", 1);
    const std::string remote = args.text("remote");
    const std::string source = args.text("source");
    const std::string work = args.text("work");
    const std::string serverRoot = args.text("server-root");
    const bool upload = direction == "up";
    if ((direction != "down" && !upload) || objects < 1 || objects > 1000 || remote.empty() ||
        source.empty() || work.empty() || (upload && serverRoot.empty())) {
        return Usage("transfer needs --direction down|up, --objects 1..1000, --remote, --source, "
                     "--work, and --server-root for uploads");
    }
    std::error_code error;
    const int64_t size = static_cast<int64_t>(std::filesystem::file_size(source, error));
    if (error) {
        return Usage("cannot read the size of " + source);
    }
    const size_t n = static_cast<size_t>(objects);
    auto localName = [&](size_t i) { return work + "/down-" + std::to_string(i); };
    auto remoteName = [&](size_t i) { return upload ? remote + "-" + std::to_string(i) : remote; };

    BenchRssSampler memory;
    const int64_t residentBefore = BenchResidentBytes();
    std::vector<HostObject*> all;
    for (size_t i = 0; i < n; ++i) {
        HostObject* object = script.create();
        if (object == nullptr) {
            std::fprintf(stderr, "kestrel-script-bench: cannot make object %zu\n", i + 1);
            for (HostObject* made : all) {
                script.forget(made);
            }
            return 1;
        }
        all.push_back(object);
    }

    int failures = 0;
    int32_t firstError = 0;
    auto fail = [&](int32_t code) {
        ++failures;
        if (firstError == 0) {
            firstError = code;
        }
    };
    std::vector<double> finished(n, 0.0);
    // Log in a wave at a time (a server's listen queue is short, see kestrel-bench); all objects
    // stay logged in.
    bool complete = true;
    for (size_t first = 0; first < n && complete; first += BENCH_LOGIN_WAVE) {
        std::vector<HostObject*> wave(all.begin() + static_cast<ptrdiff_t>(first),
                                      all.begin() + static_cast<ptrdiff_t>(
                                                        std::min(n, first + BENCH_LOGIN_WAVE)));
        for (HostObject* object : wave) {
            int32_t started =
                script.call(object, "ftpLogin", {login.host, login.user, login.password});
            if (started != 0) {
                fail(started);
            }
        }
        complete = script.waitAll(wave, &finished, std::chrono::milliseconds(1));
    }
    for (HostObject* object : all) {
        int32_t code = script.errorCode(object);
        if (code != 0) {
            fail(code);
        }
    }

    double start = 0;
    double lastFinish = 0;
    if (failures == 0 && complete) {
        start = BenchNow();
        for (size_t i = 0; i < n; ++i) {
            int32_t started =
                upload ? script.call(all[i], "ftpSendFile", {source, remoteName(i)},
                                     {TRANSFER_TYPE_IMAGE})
                       : script.call(all[i], "ftpRecvFile", {remoteName(i), localName(i)},
                                     {TRANSFER_TYPE_IMAGE});
            if (started != 0) {
                fail(started);
            }
        }
        complete = script.waitAll(all, &finished, std::chrono::milliseconds(1));
        lastFinish = *std::max_element(finished.begin(), finished.end());
        for (HostObject* object : all) {
            int32_t code = script.errorCode(object);
            if (code != 0) {
                fail(code);
            }
        }
    }
    if (!complete) {
        fail(-2);
    }
    const int64_t residentPeak = memory.stop();
    for (HostObject* object : all) {
        script.forget(object);
    }

    int verified = 0;
    for (size_t i = 0; i < n; ++i) {
        const std::string copy = upload ? serverRoot + "/" + remoteName(i) : localName(i);
        if (failures == 0 && BenchFilesEqual(source, copy)) {
            ++verified;
        }
        std::filesystem::remove(copy, error);
    }

    const int64_t every = n > 1 ? BENCH_BLOCKS_PER_PAUSE_SHARED : BENCH_BLOCKS_PER_PAUSE_ALONE;
    BenchRecord record;
    record.text("tool", "script")
        .text("mode", "transfer")
        .text("direction", direction)
        .integer("objects", static_cast<int64_t>(n))
        .integer("size", size)
        .flag("raw", false)
        .number("seconds", lastFinish - start)
        .number("ideal_seconds", BenchIdealSeconds(0, size, every))
        .integer("blocks_expected", BenchBlocks(size))
        .integer("pauses_expected", BenchPauses(0, BenchBlocks(size), every))
        .number("rss_per_object", static_cast<double>(residentPeak - residentBefore) /
                                      static_cast<double>(n))
        .integer("verified", verified)
        .integer("failures", failures)
        .integer("first_error", firstError);
    std::printf("%s\n", record.json().c_str());
    return failures == 0 && verified == static_cast<int>(n) ? 0 : 1;
}

int RunNoop(const BenchArgs& args, const Login& login, Script& script) {
    const int64_t count = args.integer("count", 1000);
    if (count < 1) {
        return Usage("noop needs --count 1 or more");
    }
    HostObject* object = script.create();
    if (object == nullptr) {
        return 1;
    }
    std::vector<HostObject*> one{object};
    std::vector<double> finished(1);
    int32_t loginResult = script.call(object, "ftpLogin", {login.host, login.user, login.password});
    if (loginResult == 0 && script.waitAll(one, &finished, std::chrono::milliseconds(1))) {
        loginResult = script.errorCode(object);
    }
    int64_t wrong = 0;
    double seconds = 0;
    if (loginResult == 0) {
        auto roundTrip = [&] {
            if (script.call(object, "ftpCommand", {"NOOP"}) != 0) {
                return false;
            }
            while (!script.done(object)) {
                std::this_thread::yield();
            }
            return script.errorCode(object) == 200;
        };
        for (int i = 0; i < 20; ++i) {
            roundTrip();
        }
        const double start = BenchNow();
        for (int64_t i = 0; i < count; ++i) {
            if (!roundTrip()) {
                ++wrong;
            }
        }
        seconds = BenchNow() - start;
    }
    script.forget(object);

    BenchRecord record;
    record.text("tool", "script")
        .text("mode", "noop")
        .integer("round_trips", count)
        .number("seconds", seconds)
        .number("per_second", seconds > 0 ? static_cast<double>(count) / seconds : 0.0)
        .integer("failures", loginResult != 0 ? count : wrong)
        .integer("first_error", loginResult);
    std::printf("%s\n", record.json().c_str());
    return loginResult == 0 && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    BenchArgs args;
    std::string why;
    if (!args.parse(argc, argv, &why)) {
        return Usage(why);
    }
    Login login{args.text("host"), args.text("user"), args.text("password")};
    if (login.host.empty() || login.user.empty()) {
        return Usage("--host and --user are needed");
    }
    if (args.mode() != "transfer" && args.mode() != "noop") {
        return Usage("unknown mode \"" + args.mode() + "\"");
    }
    HostEnvironment environment;
    ModuleHost host(environment);
    std::string error;
    if (!host.Load(args.text("module", DefaultModulePath()), &error)) {
        std::fprintf(stderr, "kestrel-script-bench: %s\n", error.c_str());
        return 1;
    }
    Script script(host, environment);
    std::string missing;
    if (!script.resolve(&missing)) {
        std::fprintf(stderr, "kestrel-script-bench: the module has no method %s\n",
                     missing.c_str());
        return 1;
    }
    return args.mode() == "transfer" ? RunTransfer(args, login, script)
                                     : RunNoop(args, login, script);
}
