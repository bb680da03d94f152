#include "progress_display.h"

#include "host_environment.h"
#include "value_display.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a JSON progress record is written.
constexpr auto kProgressRecordInterval = std::chrono::milliseconds(250);

}  // namespace

void ProgressDisplay::Update(TransferProgress& progress, int number, const std::string& name,
                             int64_t done, int64_t total) {
    if (!line_ && !records_) {
        return;
    }
    auto now = Clock::now();
    if (!progress.started) {
        if (done <= 0 && total <= 0) {
            return;  // nothing moving yet (a login, a command): no progress to show
        }
        // The speed counts from the first sight of this transfer, not from the start of the
        // wait: bytes that moved before the wait began are not put into its first moments.
        progress.started = true;
        progress.start = now;
        progress.startBytes = done;
        progress.lastRecord = now - kProgressRecordInterval;
    }
    progress.done = done;
    progress.total = total;
    double seconds = std::chrono::duration<double>(now - progress.start).count();
    double rate = seconds >= 0.2 ? (done - progress.startBytes) / seconds : 0;
    if (line_) {
        DrawLine(done, total, rate);
    }
    if (records_ && now - progress.lastRecord >= kProgressRecordInterval) {
        progress.lastRecord = now;
        WriteRecord(number, name, done, total, seconds, rate, "");
    }
}

void ProgressDisplay::DrawLine(int64_t done, int64_t total, double rate) {
    std::string line = "  " + HumanBytes(done);
    if (total > 0) {
        char part[32];
        snprintf(part, sizeof part, "  %3d%%", static_cast<int>(100.0 * done / total));
        line += " of " + HumanBytes(total) + part;
    }
    if (rate > 0) {
        line += "  " + HumanBytes(rate) + "/s";
        if (total > 0 && done <= total) {
            line += "  " + Duration((total - done) / rate) + " left";
        }
    }
    fprintf(err_, "\r%s\033[K", line.c_str());
    fflush(err_);
    shown_ = true;
}

void ProgressDisplay::Finish(TransferProgress& progress, int number, const std::string& name,
                             int32_t result) {
    Clear();
    bool succeeded = result >= 0 && result < 1000;
    double seconds = std::chrono::duration<double>(Clock::now() - progress.start).count();
    double rate = seconds > 0 ? (progress.done - progress.startBytes) / seconds : 0;
    if (line_ && progress.done > 0) {
        // The speed only when the wait saw bytes move.
        std::string speed = rate > 0 ? ", " + HumanBytes(rate) + "/s" : "";
        const char* how = succeeded ? "" : result == -1 ? "aborted after " : "failed after ";
        fprintf(err_, "  %s%s in %.1f s%s\n", how, HumanBytes(progress.done).c_str(), seconds,
                speed.c_str());
        fflush(err_);
    }
    // A reader of the records learns of every transfer's end, one that moved nothing included.
    if (records_) {
        // The last record says how the transfer ended: finished, aborted, or failed with its code.
        std::string end = succeeded      ? "\"finished\":true"
                          : result == -1 ? "\"aborted\":true,\"code\":-1"
                                         : "\"failed\":true,\"code\":" + std::to_string(result);
        WriteRecord(number, name, progress.done, progress.total, seconds, rate, end);
    }
}

void ProgressDisplay::WriteRecord(int number, const std::string& name, int64_t done, int64_t total,
                                  double seconds, double rate, const std::string& end) {
    fprintf(err_,
            "{\"line\":%d,\"object\":%s,\"progress\":{\"bytes\":%lld,\"total\":%lld,"
            "\"seconds\":%.2f,\"bytesPerSecond\":%.0f%s%s}}\n",
            number, JsonString(name).c_str(), static_cast<long long>(done),
            static_cast<long long>(total), seconds, rate, end.empty() ? "" : ",", end.c_str());
    fflush(err_);
}

void ProgressDisplay::Clear() {
    if (shown_) {
        fprintf(err_, "\r\033[K");
        fflush(err_);
        shown_ = false;
    }
}
