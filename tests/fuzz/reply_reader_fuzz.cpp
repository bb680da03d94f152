// Fuzz target for the reply reader. The input chooses a buffer size and a byte stream cut into
// arrivals; a sender thread delivers each arrival only after the reader has taken everything
// before it, then closes. The reader must never touch memory outside its buffer, and a complete
// reply must leave exactly the bytes after its last line feed in the socket.
//
// Run for 60 seconds (new inputs go to the first directory, seeds come from the second):
//   build/fuzz/tests/fuzz/reply_reader_fuzz -max_total_time=60 /tmp/corpus tests/fuzz/corpus

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
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
// A reply that ends this far before the end of the buffer cannot meet any of the stop rules
// that end a reply early, so the reader must return it whole.
constexpr int32_t STOP_MARGIN = 6;

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

// Where the first reply of stream ends (just after its final line's LF), by the rules of the
// reader: a line is the bytes before LF without one trailing CR; a line that is empty or starts
// with a zero byte is dropped; a line that starts with a digit and whose fourth byte (zero when
// it has none) is not '-' ends the reply. std::string::npos when the stream holds no such line.
size_t ModelReplyEnd(const std::string& stream) {
    size_t start = 0;
    for (;;) {
        const size_t lf = stream.find('\n', start);
        if (lf == std::string::npos) {
            return std::string::npos;
        }
        std::string line = stream.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = lf + 1;
        if (line.empty() || line[0] == '\0') {
            continue;
        }
        const char fourth = line.size() > 3 ? line[3] : '\0';
        if (line[0] >= '0' && line[0] <= '9' && fourth != '-') {
            return start;
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
    Check(result == 1 || result == NET_CLOSED || result == NET_REPLY_OVERFLOW, "result");
    Check(memchr(buffer.data(), '\0', buffer.size()) != nullptr, "text not terminated");
    Check(rest.size() <= stream.size() &&
              stream.compare(stream.size() - rest.size(), rest.size(), rest) == 0,
          "rest is not the end of the stream");
    const size_t consumed = stream.size() - rest.size();
    const size_t replyEnd = ModelReplyEnd(stream);
    // What one reply may take out of the socket: a kept line takes at most twice the room it
    // fills (its text, CR and LF against its text and a joining LF), and the bytes that fill no
    // room (dropped lines, text after a zero byte) stop once they pass the buffer size, the line
    // that passes it bringing at most a buffer more.
    const size_t takeLimit = 4 * static_cast<size_t>(bufferSize);

    if (result == 1) {
        Check(consumed > 0 && stream[consumed - 1] == '\n', "complete reply not ended at a LF");
        Check(replyEnd == std::string::npos || consumed <= replyEnd, "read past the reply");
        Check(consumed <= takeLimit, "took more than a reply may");
    }
    if (replyEnd != std::string::npos &&
        replyEnd + STOP_MARGIN <= static_cast<size_t>(bufferSize)) {
        Check(result == 1, "a reply that fits was not returned");
        Check(consumed == replyEnd, "a reply that fits was not read to its end");
    }
    if (result == NET_CLOSED) {
        Check(rest.empty(), "closed with bytes left");
    }
    if (result == NET_REPLY_OVERFLOW) {
        Check(consumed <= takeLimit, "overflow took too much");
    }
    return 0;
}
