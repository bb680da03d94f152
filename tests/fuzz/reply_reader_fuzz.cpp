// Fuzz target for the reply reader. The input chooses a buffer size and a byte stream cut into
// arrivals; a sender thread delivers each arrival only after the reader has taken everything
// before it, then closes. The reader must never touch memory outside its buffer, must read the
// first reply exactly to its end whatever its length, and must keep its text's beginning.
//
// Run for 60 seconds (new inputs go to the first directory, seeds come from the second):
//   build/fuzz/tests/fuzz/reply_reader_fuzz -max_total_time=60 /tmp/corpus tests/fuzz/corpus

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "platform.h"

namespace {

constexpr size_t MAX_ARRIVALS = 48;
constexpr int32_t SMALL_BUFFER_MAX = 96;
constexpr int32_t ENGINE_BUFFER = 2048;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "reply_reader_fuzz: %s\n", what);
        abort();
    }
}

// A listening socket on 127.0.0.1 that lives as long as the process.
struct Listener {
    int32_t socket = -1;
    uint32_t address = 0;
    uint16_t port = 0;  // network order

    Listener() {
        Check(NetInit() == NET_OK, "NetInit");
        address = PlatInetAddr("127.0.0.1");
        socket = PlatSocketCreate();
        Check(socket != -1 && PlatBind(socket, address, 0) == 0 && PlatListen(socket, 8) == 0 &&
                  PlatGetSockName(socket, nullptr, &port) == 0,
              "listener");
    }
};

// The first reply of stream by the reader's rules: where it ends (just after its last line's LF,
// std::string::npos when the stream holds no whole reply) and its text. A line is the bytes
// before LF without a CR right before the LF, up to the first zero byte; empty lines are dropped. A
// reply whose first line is "nnn-" ends at a line "nnn" or "nnn " and more; any other reply at
// its first line that begins with a digit.
struct ModelReply {
    size_t end = std::string::npos;
    std::string text;
};

ModelReply FirstReply(const std::string& stream) {
    ModelReply model;
    std::string code;
    size_t start = 0;
    for (;;) {
        const size_t lf = stream.find('\n', start);
        if (lf == std::string::npos) {
            return model;
        }
        std::string raw = stream.substr(start, lf - start);
        start = lf + 1;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        // A zero byte ends the line's text; the rest of the line is read but not kept.
        const std::string line = raw.substr(0, raw.find('\0'));
        if (line.empty()) {
            continue;
        }
        if (!model.text.empty()) {
            model.text += '\n';
        }
        model.text += line;
        const bool digits = line.size() >= 3 && isdigit(static_cast<unsigned char>(line[0])) &&
                            isdigit(static_cast<unsigned char>(line[1])) &&
                            isdigit(static_cast<unsigned char>(line[2]));
        bool last;
        if (!code.empty()) {
            last = digits && line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] == ' ');
        } else if (digits && line.size() >= 4 && line[3] == '-') {
            code = line.substr(0, 3);
            last = false;
        } else {
            last = isdigit(static_cast<unsigned char>(line[0])) != 0;
        }
        if (last) {
            model.end = start;
            return model;
        }
    }
}

void Connect(const Listener& listener, int32_t* client, int32_t* server) {
    *client = PlatSocketCreate();
    Check(*client != -1 && PlatConnect(*client, listener.address, listener.port) == 0, "connect");
    *server = PlatAccept(listener.socket, nullptr, nullptr);
    Check(*server != -1, "accept");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Listener listener;

    FuzzedDataProvider provider(data, size);
    const int32_t bufferSize = provider.ConsumeBool()
                                   ? ENGINE_BUFFER
                                   : provider.ConsumeIntegralInRange<int32_t>(1, SMALL_BUFFER_MAX);
    std::vector<std::string> arrivals;
    std::string stream;
    while (provider.remaining_bytes() > 0 && arrivals.size() < MAX_ARRIVALS) {
        const size_t length = provider.ConsumeIntegralInRange<size_t>(1, 64);
        std::string arrival = provider.ConsumeBytesAsString(length);
        if (arrival.empty()) {
            break;
        }
        stream += arrival;
        arrivals.push_back(std::move(arrival));
    }

    int32_t client = -1;
    int32_t server = -1;
    Connect(listener, &client, &server);

    std::atomic<bool> readerDone{false};
    std::thread sender([&] {
        for (const std::string& arrival : arrivals) {
            Check(TcpSend(client, arrival.data(), static_cast<uint32_t>(arrival.size()), 0, -1) ==
                      NET_OK,
                  "send");
            // Next arrival only once the reader has taken this one (or has finished); past the
            // bound the arrivals merely merge.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            for (;;) {
                uint32_t waiting = 0;
                if (readerDone.load() ||
                    (PlatBytesWaiting(server, &waiting) == 0 && waiting == 0) ||
                    std::chrono::steady_clock::now() > deadline) {
                    break;
                }
                std::this_thread::yield();
            }
        }
        PlatSocketClose(client);
    });

    // Exactly bufferSize bytes on the heap, so that the sanitizer sees any access beyond them.
    std::vector<char> buffer(static_cast<size_t>(bufferSize));
    const int32_t result = TnReadMultiLine(server, buffer.data(), bufferSize, 0, -1);
    readerDone.store(true);
    sender.join();

    std::string rest;
    char chunk[4096];
    for (;;) {
        const int32_t n = TcpRecv(server, chunk, sizeof chunk, 5, -1);
        Check(n >= 0, "draining the rest");
        if (n == 0) {
            break;
        }
        rest.append(chunk, static_cast<size_t>(n));
    }
    PlatSocketClose(server);

    // A one-byte buffer has room for the terminating zero only: nothing may be read into it.
    if (bufferSize == 1) {
        Check(result == NET_ERROR && rest == stream, "one-byte buffer");
        return 0;
    }
    Check(result == 1 || result == NET_CLOSED, "result");
    Check(memchr(buffer.data(), '\0', buffer.size()) != nullptr, "text not terminated");
    Check(rest.size() <= stream.size() &&
              stream.compare(stream.size() - rest.size(), rest.size(), rest) == 0,
          "rest is not the end of the stream");
    const size_t consumed = stream.size() - rest.size();
    const ModelReply model = FirstReply(stream);
    // A reply is read to its end whatever the buffer's size, and keeps as much of its beginning
    // as fits; without a whole reply in the stream the reader meets the close.
    if (model.end != std::string::npos) {
        Check(result == 1, "a whole reply was not returned");
        Check(consumed == model.end, "a reply was not read exactly to its end");
        const size_t room = static_cast<size_t>(bufferSize) - 1;
        Check(std::string(buffer.data()) == model.text.substr(0, room), "reply text");
    } else {
        Check(result == NET_CLOSED && rest.empty(), "no whole reply, yet not closed");
    }
    return 0;
}
