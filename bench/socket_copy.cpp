// kestrel-socket-copy: the bare copy that a full-speed transfer is measured against. One thread
// sends a file over a loopback TCP connection; the other receives it and writes it to a file,
// with nothing else in between: no protocol, no checks, no progress counter. The sender's way is
// sendfile (as vsftpd sends a download) or read (read 256 KiB blocks from the file and send
// them, as a client sends an upload); the receiver's way is read (recv into a 64 KiB buffer and
// write to the file, as vsftpd receives an upload) or splice (socket to pipe to file, in the
// kernel).
//
//   kestrel-socket-copy --source FILE --target FILE [--way read|splice] [--send sendfile|read]
//                       [--address A]
//
// One JSON line on standard output: the size, the wall time, MiB/s, the receiving thread's user
// and system CPU seconds, and the sending thread's CPU seconds. Exit status 0 when the copy is
// complete and equal, 1 otherwise, 2 for a usage error.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_measure.h"

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kSendBlock = 256 * 1024;

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

bool SendByRead(int socket, int file) {
    std::vector<char> block(kSendBlock);
    for (;;) {
        const ssize_t n = read(file, block.data(), block.size());
        if (n <= 0) {
            return n == 0;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t sent =
                send(socket, block.data() + done, static_cast<size_t>(n - done), 0);
            if (sent <= 0) {
                return false;
            }
            done += sent;
        }
    }
}

bool SendBySendfile(int socket, int file, off_t size) {
    off_t offset = 0;
    while (offset < size) {
        ssize_t n = sendfile(socket, file, &offset, static_cast<size_t>(size - offset));
        if (n <= 0) {
            return false;
        }
    }
    return true;
}

int64_t ReceiveByRead(int socket, int file) {
    std::vector<char> block(kBlock);
    int64_t total = 0;
    for (;;) {
        ssize_t n = recv(socket, block.data(), block.size(), 0);
        if (n <= 0) {
            return n == 0 ? total : -1;
        }
        if (write(file, block.data(), static_cast<size_t>(n)) != n) {
            return -1;
        }
        total += n;
    }
}

int64_t ReceiveBySplice(int socket, int file) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    int64_t total = 0;
    for (;;) {
        ssize_t n = splice(socket, nullptr, ends[1], nullptr, 1 << 20, SPLICE_F_MOVE);
        if (n <= 0) {
            total = n == 0 ? total : -1;
            break;
        }
        for (ssize_t left = n; left > 0;) {
            ssize_t w =
                splice(ends[0], nullptr, file, nullptr, static_cast<size_t>(left), SPLICE_F_MOVE);
            if (w <= 0) {
                close(ends[0]);
                close(ends[1]);
                return -1;
            }
            left -= w;
        }
        total += n;
    }
    close(ends[0]);
    close(ends[1]);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    BenchArgs args;
    std::string error;
    if (!args.parse(argc, argv, &error) || !args.has("source") || !args.has("target")) {
        std::fprintf(stderr,
                     "kestrel-socket-copy: %s\nusage: kestrel-socket-copy --source FILE "
                     "--target FILE [--way read|splice] [--send sendfile|read] [--address A]\n",
                     error.empty() ? "--source and --target are needed" : error.c_str());
        return 2;
    }
    const std::string source = args.text("source");
    const std::string target = args.text("target");
    const std::string way = args.text("way", "read");
    const std::string send_way = args.text("send", "sendfile");
    const std::string address = args.text("address", "127.0.0.1");
    if ((way != "read" && way != "splice") || (send_way != "sendfile" && send_way != "read")) {
        std::fprintf(stderr,
                     "kestrel-socket-copy: --way is read or splice, --send sendfile or read\n");
        return 2;
    }
    const int in = open(source.c_str(), O_RDONLY);
    struct stat info {};
    if (in < 0 || fstat(in, &info) != 0) {
        std::perror("kestrel-socket-copy: source");
        return 1;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    socklen_t length = sizeof sa;
    if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        std::perror("kestrel-socket-copy: listen");
        return 1;
    }
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        std::perror("kestrel-socket-copy: target");
        return 1;
    }
    const double start = BenchNow();
    bool sent = false;
    rusage sender_usage{};
    std::thread sender([&] {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            sent = send_way == "read" ? SendByRead(s, in) : SendBySendfile(s, in, info.st_size);
        }
        close(s);
        getrusage(RUSAGE_THREAD, &sender_usage);
    });
    const int receiver = accept(listener, nullptr, nullptr);
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    const int64_t received = receiver < 0      ? -1
                             : way == "splice" ? ReceiveBySplice(receiver, out)
                                               : ReceiveByRead(receiver, out);
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    close(out);
    const double seconds = BenchNow() - start;
    sender.join();
    close(receiver);
    close(listener);
    close(in);
    const bool verified = sent && received == info.st_size && BenchFilesEqual(source, target);
    std::printf(
        "%s\n",
        BenchRecord()
            .text("tool", "socket-copy")
            .text("way", way)
            .text("send", send_way)
            .integer("size", info.st_size)
            .number("seconds", seconds)
            .number("mib_per_second", info.st_size / 1048576.0 / seconds)
            .number("cpu_user", Seconds(after.ru_utime) - Seconds(before.ru_utime))
            .number("cpu_system", Seconds(after.ru_stime) - Seconds(before.ru_stime))
            .number("sender_cpu", Seconds(sender_usage.ru_utime) + Seconds(sender_usage.ru_stime))
            .flag("verified", verified)
            .json()
            .c_str());
    return verified ? 0 : 1;
}
