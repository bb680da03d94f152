// kestrel-bench: measures the FTP engine directly, without the script interface. One measurement
// per run; the result is one JSON line on standard output (scripts/bench.sh collects them).
//
//   kestrel-bench transfer --host H --user U --password P --direction down|up --objects N
//                          --remote NAME --source FILE --work DIR [--server-root DIR] [--raw]
//                          [--bare] [--throttle 0|1] [--passive 0|1]
//   kestrel-bench noop     --host H --user U --password P --count N
//
// transfer: N sessions log in (at most 16 connecting at the same moment), each on a thread of its
// own as the script side's workers would, then all start the same transfer together: downloads
// fetch the remote file NAME into DIR/down-<i>, uploads send FILE as NAME-<i>. Every file is
// compared with FILE afterwards (for uploads, in the server's directory --server-root). --raw
// switches the pause off in each session, the harness's privilege; without it the sessions keep
// their fixed rhythm and the record carries the ideal time of that rhythm. --bare leaves out
// everything but the transfer itself (no memory sampling, no comparison, the copies stay for the
// caller), for counting the instructions a transfer costs. --throttle and --passive set the
// sessions' options through FtpSetOption, as ftpSetOption does for a script (--throttle 0: the
// product's full-speed path). noop: one session sends NOOP N times through FtpCommand, each reply
// must be 200.
//
// Exit status 0 when every operation succeeded and every file matched, 1 otherwise, 2 for a
// usage error.

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "bench_measure.h"
#include "ftp.h"

namespace {

struct Login {
    std::string host;
    std::string user;
    std::string password;
};

// Holds the threads at the start line until all are ready, then lets them go together.
class StartGate {
public:
    explicit StartGate(int waiting) : waiting_(waiting) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> hold(lock_);
        if (--waiting_ == 0) {
            opened_ = BenchNow();
            ready_.notify_all();
            return;
        }
        ready_.wait(hold, [this] { return waiting_ == 0; });
    }
    double openedAt() const { return opened_; }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    int waiting_;
    double opened_ = 0;
};

// What one session did.
struct Outcome {
    int32_t loginResult = -1;
    int32_t transferResult = -1;
    double loginStarted = 0;
    double finished = 0;
    uint32_t blocksBefore = 0;
    uint32_t blocksAfter = 0;
};

int Usage(const std::string& why) {
    std::fprintf(stderr,
                 "kestrel-bench: %s\n"
                 "usage: kestrel-bench transfer --host H --user U --password P --direction "
                 "down|up --objects N --remote NAME --source FILE --work DIR [--server-root DIR] "
                 "[--raw] [--bare] [--throttle 0|1] [--passive 0|1]\n"
                 "       kestrel-bench noop --host H --user U --password P --count N\n",
                 why.c_str());
    return 2;
}

int RunTransfer(const BenchArgs& args, const Login& login) {
    const std::string direction = args.text("direction", "down");
    const int64_t objects = args.integer("objects", 1);
    const std::string remote = args.text("remote");
    const std::string source = args.text("source");
    const std::string work = args.text("work");
    const std::string serverRoot = args.text("server-root");
    const bool raw = args.has("raw");
    const bool bare = args.has("bare");
    const int64_t throttle = args.integer("throttle", 1);
    const int64_t passive = args.integer("passive", 0);
    const bool upload = direction == "up";
    if ((direction != "down" && !upload) || objects < 1 || objects > 1000 || remote.empty() ||
        source.empty() || work.empty() || (upload && serverRoot.empty()) ||
        (throttle != 0 && throttle != 1) || (passive != 0 && passive != 1)) {
        return Usage(
            "transfer needs --direction down|up, --objects 1..1000, --remote, --source, "
            "--work, and --server-root for uploads; --throttle and --passive are 0 or 1");
    }
    const bool paced = !raw && throttle != 0;
    std::error_code error;
    const int64_t size = static_cast<int64_t>(std::filesystem::file_size(source, error));
    if (error) {
        return Usage("cannot read the size of " + source);
    }

    const int n = static_cast<int>(objects);
    auto localName = [&](int i) { return work + "/down-" + std::to_string(i); };
    auto remoteName = [&](int i) { return upload ? remote + "-" + std::to_string(i) : remote; };

    std::optional<BenchRssSampler> memory;
    if (!bare) {
        memory.emplace();
    }
    const int64_t residentBefore = BenchResidentBytes();
    for (int i = 0; i < n; ++i) {
        if (FtpCreateSession(nullptr, i + 1) != FTP_OK) {
            std::fprintf(stderr, "kestrel-bench: cannot create session %d\n", i + 1);
            return 1;
        }
        if (raw) {
            FtpFindSession(i + 1)->pauseMilliseconds = 0;
        }
        // Options only when asked for: a session that is given none keeps today's behaviour.
        if ((args.has("throttle") &&
             FtpSetOption("throttle", std::to_string(throttle).c_str(), i + 1) != FTP_OK) ||
            (args.has("passive") &&
             FtpSetOption("passive", std::to_string(passive).c_str(), i + 1) != FTP_OK)) {
            std::fprintf(stderr, "kestrel-bench: session %d refused an option\n", i + 1);
            return 1;
        }
    }

    StartGate gate(n);
    // Servers accept only so many connections at the same instant (vsftpd's listen queue holds
    // 32; beyond it the kernel falls back to SYN cookies and the surplus connections hang until
    // the reply time-out), so the sessions connect a wave at a time; all stay logged in.
    std::counting_semaphore<BENCH_LOGIN_WAVE> loginSlots(BENCH_LOGIN_WAVE);
    std::vector<Outcome> outcomes(static_cast<size_t>(n));
    std::vector<std::thread> workers;
    for (int i = 0; i < n; ++i) {
        workers.emplace_back([&, i] {
            const int32_t key = i + 1;
            Outcome& o = outcomes[static_cast<size_t>(i)];
            loginSlots.acquire();
            o.loginStarted = BenchNow();
            o.loginResult = FtpLogin(login.host.c_str(), login.user.c_str(),
                                     login.password.c_str(), key);
            loginSlots.release();
            gate.arriveAndWait();
            if (o.loginResult != FTP_OK) {
                return;
            }
            FtpSession* session = FtpFindSession(key);
            o.blocksBefore = session->blockCount;
            o.transferResult =
                upload ? FtpSendFile(source.c_str(), remoteName(i).c_str(), 'I', key)
                       : FtpRecvFile(remoteName(i).c_str(), localName(i).c_str(), 'I', key);
            o.finished = BenchNow();
            o.blocksAfter = session->blockCount;
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const int64_t residentPeak = memory ? memory->stop() : residentBefore;

    for (int i = 0; i < n; ++i) {
        if (FtpLogout(i + 1) != FTP_OK) {
            FtpDisconnect(i + 1);
        }
        FtpDestroySession(i + 1);
    }

    int failures = 0;
    int verified = 0;
    int32_t firstError = 0;
    double lastFinish = gate.openedAt();
    uint32_t mostBlocks = 0;
    uint32_t startCount = 0;
    for (int i = 0; i < n; ++i) {
        const Outcome& o = outcomes[static_cast<size_t>(i)];
        int32_t result = o.loginResult != FTP_OK ? o.loginResult : o.transferResult;
        if (result != FTP_OK) {
            ++failures;
            if (firstError == 0) {
                firstError = result;
            }
            continue;
        }
        lastFinish = std::max(lastFinish, o.finished);
        mostBlocks = std::max(mostBlocks, o.blocksAfter - o.blocksBefore);
        startCount = o.blocksBefore;
        if (bare) {
            continue;
        }
        const std::string copy = upload ? serverRoot + "/" + remoteName(i) : localName(i);
        if (BenchFilesEqual(source, copy)) {
            ++verified;
        }
        std::filesystem::remove(copy, error);
    }

    const int64_t every = n > 1 ? BENCH_BLOCKS_PER_PAUSE_SHARED : BENCH_BLOCKS_PER_PAUSE_ALONE;
    const Outcome& first = outcomes[0];
    BenchRecord record;
    record.text("tool", "engine")
        .text("mode", "transfer")
        .text("direction", direction)
        .integer("objects", n)
        .integer("size", size)
        .flag("raw", !paced)
        .integer("throttle", throttle)
        .integer("passive", passive)
        .number("seconds", lastFinish - gate.openedAt())
        .number("session_seconds", first.finished - first.loginStarted)
        .number("ideal_seconds", paced ? BenchIdealSeconds(startCount, size, every) : 0.0)
        .integer("blocks_expected", BenchBlocks(size))
        .integer("blocks_counted", mostBlocks)
        .integer("pauses_expected", paced ? BenchPauses(startCount, BenchBlocks(size), every) : 0)
        .integer("pauses_counted", paced ? BenchPauses(startCount, mostBlocks, every) : 0)
        .number("rss_per_object", static_cast<double>(residentPeak - residentBefore) / n)
        .integer("verified", bare ? -1 : verified)
        .integer("failures", failures)
        .integer("first_error", firstError);
    std::printf("%s\n", record.json().c_str());
    return failures == 0 && (bare || verified == n) ? 0 : 1;
}

int RunNoop(const BenchArgs& args, const Login& login) {
    const int64_t count = args.integer("count", 1000);
    if (count < 1) {
        return Usage("noop needs --count 1 or more");
    }
    constexpr int32_t key = 1;
    if (FtpCreateSession(nullptr, key) != FTP_OK) {
        return 1;
    }
    int32_t result = FtpLogin(login.host.c_str(), login.user.c_str(), login.password.c_str(), key);
    char reply[FTP_REPLY_SIZE];
    int64_t wrong = 0;
    double seconds = 0;
    if (result == FTP_OK) {
        // A few round trips first, so that the loop measures the steady state.
        for (int i = 0; i < 20; ++i) {
            FtpCommand("NOOP", reply, sizeof reply, key);
        }
        const double start = BenchNow();
        for (int64_t i = 0; i < count; ++i) {
            if (FtpCommand("NOOP", reply, sizeof reply, key) != 200) {
                ++wrong;
            }
        }
        seconds = BenchNow() - start;
        FtpLogout(key);
    }
    FtpDestroySession(key);

    BenchRecord record;
    record.text("tool", "engine")
        .text("mode", "noop")
        .integer("round_trips", count)
        .number("seconds", seconds)
        .number("per_second", seconds > 0 ? static_cast<double>(count) / seconds : 0.0)
        .integer("failures", result != FTP_OK ? count : wrong)
        .integer("first_error", result);
    std::printf("%s\n", record.json().c_str());
    return result == FTP_OK && wrong == 0 ? 0 : 1;
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
    if (args.mode() == "transfer") {
        return RunTransfer(args, login);
    }
    if (args.mode() == "noop") {
        return RunNoop(args, login);
    }
    return Usage("unknown mode \"" + args.mode() + "\"");
}
