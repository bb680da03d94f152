// kestrel-script-bench: measures Kestrel as scripts use it. The module is loaded through its
// exported entry points by the reference host's code, objects are made with `new`, and every
// operation is a method call followed by polling ftpDone, as a movie's script would do it. One
// measurement per run; the result is one JSON line on standard output.
//
//   kestrel-script-bench transfer --host H --user U --password P --direction down|up --objects N
//                                 --remote NAME --source FILE --work DIR [--server-root DIR]
//                                 [--throttle 0|1] [--passive 0|1] [--tls 0|1|2]
//                                 [--ca-file PEM] [--module PATH]
//   kestrel-script-bench noop     --host H --user U --password P --count N [--module PATH]
//   kestrel-script-bench abort    --host H --user U --password P --direction down|up
//                                 --remote NAME --source FILE --work DIR --after-ms MS
//                                 [--server-root DIR] [--module PATH]
//
// transfer: N objects log in (16 at a time), then all start the same transfer at once (ftpRecvFile
// into DIR/down-<i>, or ftpSendFile of FILE as NAME-<i>); the host polls ftpDone of every busy
// object once a millisecond. Every copy is compared with FILE. --throttle, --passive, --tls and
// --ca-file are handed to every object through ftpSetOption (options throttle, passive, tls and
// caFile) before it logs in; without them the sessions keep their defaults (active, the fixed
// pause rhythm, plain FTP), and the record carries the rhythm's ideal time.
// noop: one object runs ftpCommand "NOOP" N times; after each call the host polls ftpDone as fast
// as it can (yielding the processor between polls) and checks that ftpErrorCode is 200.
// abort: one object with its defaults logs in and starts the transfer; MS milliseconds after the
// start the host calls ftpAbort and polls ftpDone once a millisecond until it is 1. Then ftpPWD,
// ftpCommand "NOOP" and ftpCommand "SYST" must each get their own reply: a 257 reply with a
// quoted path, 200 and 215, read through ftpErrorCode, ftpResult and ftpLastReply. The partial
// copy is removed.
//
// Exit status 0 when every operation succeeded and every file matched (abort: the operation ended
// with -1 and the connection stayed in step), 1 otherwise, 2 for a usage error.

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
                 "[--server-root DIR] [--throttle 0|1] [--passive 0|1] [--tls 0|1|2] "
                 "[--ca-file PEM] [--module PATH]\n"
                 "       kestrel-script-bench noop --host H --user U --password P --count N "
                 "[--module PATH]\n"
                 "       kestrel-script-bench abort --host H --user U --password P "
                 "--direction down|up --remote NAME --source FILE --work DIR --after-ms MS "
                 "[--server-root DIR] [--module PATH]\n",
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
        const char* names[] = {
            "new",        "forget",       "ftpLogin",     "ftpRecvFile",        "ftpSendFile",
            "ftpCommand", "ftpDone",      "ftpErrorCode", "ftpAbort",           "ftpPWD",
            "ftpResult",  "ftpSetOption", "ftpLastReply", "ftpBytesTransferred"};
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

    // Calls a method without arguments whose result is a string; "" for any other kind.
    std::string text(HostObject* object, const char* method) {
        HostValue result = host_.Call(object, host_.FindMethod(method), {});
        std::string value = HostEnvironment::KindOf(result) == ValueKind::String
                                ? env_.TextOf(result)
                                : std::string();
        env_.Release(result);
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

    // Starts an operation (its call already made, with result `started`) and waits for its end.
    // The operation's ftpErrorCode, or `started` when it did not start, or INT32_MIN when it
    // did not end within the limit.
    int32_t finish(HostObject* object, int32_t started) {
        if (started != 0) {
            return started;
        }
        std::vector<HostObject*> one{object};
        std::vector<double> finished(1);
        if (!waitAll(one, &finished, std::chrono::milliseconds(1))) {
            return INT32_MIN;
        }
        return errorCode(object);
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
    const int64_t throttle = args.integer("throttle", 1);
    const int64_t passive = args.integer("passive", 0);
    const int64_t tls = args.integer("tls", 0);
    const std::string caFile = args.text("ca-file");
    const bool upload = direction == "up";
    if ((direction != "down" && !upload) || objects < 1 || objects > 1000 || remote.empty() ||
        source.empty() || work.empty() || (upload && serverRoot.empty()) ||
        (throttle != 0 && throttle != 1) || (passive != 0 && passive != 1) || tls < 0 ||
        tls > 2 || (args.has("ca-file") && caFile.empty())) {
        return Usage(
            "transfer needs --direction down|up, --objects 1..1000, --remote, --source, "
            "--work, and --server-root for uploads; --throttle and --passive are 0 or 1, --tls "
            "0, 1 or 2, --ca-file a file name");
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
    // Options only when asked for: an object that is given none keeps today's behaviour.
    const struct {
        const char* flag;
        const char* option;
        std::string value;
    } options[] = {{"throttle", "throttle", std::to_string(throttle)},
                   {"passive", "passive", std::to_string(passive)},
                   {"tls", "tls", std::to_string(tls)},
                   {"ca-file", "caFile", caFile}};
    for (HostObject* object : all) {
        for (const auto& option : options) {
            if (args.has(option.flag)) {
                int32_t taken = script.call(object, "ftpSetOption", {option.option, option.value});
                if (taken != 0) {
                    fail(taken);
                }
            }
        }
    }
    std::vector<double> finished(n, 0.0);
    const double loginStart = BenchNow();
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
    const double loginSeconds = BenchNow() - loginStart;
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
        .flag("raw", throttle == 0)
        .integer("throttle", throttle)
        .integer("passive", passive)
        .integer("tls", tls)
        .number("seconds", lastFinish - start)
        // Logging in and the transfer, as curl's time_total counts them (for one object).
        .number("session_seconds", loginSeconds + (lastFinish - start))
        .number("ideal_seconds", throttle != 0 ? BenchIdealSeconds(0, size, every) : 0.0)
        .integer("blocks_expected", BenchBlocks(size))
        .integer("pauses_expected", throttle != 0 ? BenchPauses(0, BenchBlocks(size), every) : 0)
        .number("rss_per_object",
                static_cast<double>(residentPeak - residentBefore) / static_cast<double>(n))
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

// The first line of a reply text, without its line end.
std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

// The command after an abort: its ftpErrorCode must be `code`, and the reply must be its own:
// for ftpPWD a 257 reply (ftpLastReply) whose quoted path ftpResult gives, for ftpCommand a
// reply text (ftpResult) that starts with the expected reply code.
struct FollowUp {
    const char* label;
    const char* method;
    const char* argument;  // null: none
    int32_t code;          // expected ftpErrorCode
    const char* reply;     // expected start of the reply
};

int RunAbort(const BenchArgs& args, const Login& login, Script& script) {
    const std::string direction = args.text("direction", "down");
    const std::string remote = args.text("remote");
    const std::string source = args.text("source");
    const std::string work = args.text("work");
    const std::string serverRoot = args.text("server-root");
    const int64_t afterMs = args.integer("after-ms", -1);
    const bool upload = direction == "up";
    if ((direction != "down" && !upload) || remote.empty() || source.empty() || work.empty() ||
        (upload && serverRoot.empty()) || afterMs < 0 || afterMs > 600000) {
        return Usage(
            "abort needs --direction down|up, --remote, --source, --work, --after-ms "
            "0..600000, and --server-root for uploads");
    }
    std::error_code error;
    const int64_t size = static_cast<int64_t>(std::filesystem::file_size(source, error));
    if (error) {
        return Usage("cannot read the size of " + source);
    }
    HostObject* object = script.create();
    if (object == nullptr) {
        return 1;
    }
    const std::string local = work + "/down-abort";
    const std::string remoteCopy = remote + "-abort";
    int32_t loginResult = script.finish(
        object, script.call(object, "ftpLogin", {login.host, login.user, login.password}));

    int32_t started = INT32_MIN;
    int32_t abortReturned = INT32_MIN;
    int32_t result = INT32_MIN;
    bool endedEarly = false;
    double abortSeconds = -1;
    int32_t bytesAtAbort = -1;
    int inStep = 0;
    std::string replies;
    const FollowUp followUps[] = {{"pwd", "ftpPWD", nullptr, 0, "257"},
                                  {"noop", "ftpCommand", "NOOP", 200, "200"},
                                  {"syst", "ftpCommand", "SYST", 215, "215"}};
    if (loginResult == 0) {
        const auto start = std::chrono::steady_clock::now();
        started =
            upload ? script.call(object, "ftpSendFile", {source, remoteCopy}, {TRANSFER_TYPE_IMAGE})
                   : script.call(object, "ftpRecvFile", {remote, local}, {TRANSFER_TYPE_IMAGE});
        // The moment of the abort, measured from the start of the call.
        std::this_thread::sleep_until(start + std::chrono::milliseconds(afterMs));
        // A transfer that has already ended measures nothing: the abort would reach no transfer.
        endedEarly = script.done(object);
        bytesAtAbort = script.call(object, "ftpBytesTransferred", {});
        const double aborted = BenchNow();
        abortReturned = script.call(object, "ftpAbort", {});
        // Polled once a millisecond up to two minutes, so that a slow abort is still measured.
        const double deadline = aborted + 120;
        while (!script.done(object) && BenchNow() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (script.done(object)) {
            abortSeconds = BenchNow() - aborted;
            result = script.errorCode(object);
        }
        if (abortSeconds >= 0) {
            for (const FollowUp& f : followUps) {
                std::vector<std::string> texts;
                if (f.argument != nullptr) {
                    texts.emplace_back(f.argument);
                }
                const int32_t code = script.finish(object, script.call(object, f.method, texts));
                const std::string text = script.text(object, "ftpResult");
                const std::string last = script.text(object, "ftpLastReply");
                // PWD: the path that ftpResult gives must be the quoted one of the 257 reply.
                const bool own =
                    code == f.code && last.rfind(f.reply, 0) == 0 &&
                    (f.argument != nullptr
                         ? text.rfind(f.reply, 0) == 0
                         : !text.empty() && last.find("\"" + text + "\"") != std::string::npos);
                inStep += own ? 1 : 0;
                replies += std::string(replies.empty() ? "" : " | ") + f.label + " " +
                           std::to_string(code) + ": " + FirstLine(last);
            }
        }
    }
    script.forget(object);
    std::filesystem::remove(upload ? serverRoot + "/" + remoteCopy : local, error);

    const bool ok = loginResult == 0 && started == 0 && !endedEarly && result == -1 &&
                    inStep == static_cast<int>(std::size(followUps));
    BenchRecord record;
    record.text("tool", "script")
        .text("mode", "abort")
        .text("direction", direction)
        .integer("size", size)
        .integer("after_ms", afterMs)
        .integer("bytes_at_abort", bytesAtAbort)
        .flag("ended_before_abort", endedEarly)
        .integer("abort_returned", abortReturned)
        .number("abort_seconds", abortSeconds)
        .integer("result", result)
        .integer("in_step", inStep == static_cast<int>(std::size(followUps)) ? 1 : 0)
        .integer("replies_own", inStep)
        .text("replies", replies)
        .integer("failures", ok ? 0 : 1)
        .integer("first_error", loginResult != 0 ? loginResult
                                : started != 0   ? started
                                                 : 0);
    std::printf("%s\n", record.json().c_str());
    return ok ? 0 : 1;
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
    if (args.mode() != "transfer" && args.mode() != "noop" && args.mode() != "abort") {
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
    if (args.mode() == "abort") {
        return RunAbort(args, login, script);
    }
    return args.mode() == "transfer" ? RunTransfer(args, login, script)
                                     : RunNoop(args, login, script);
}
