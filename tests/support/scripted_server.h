// A scripted FTP server for tests: it plays one exact scenario per test on a thread of its own
// and records everything the client sends. It speaks through plain POSIX sockets of its own, so
// it is an independent peer of the code under test.
//
// A scenario is data: a list of steps run in order. Steps that need the control connection
// accept one first when none is open, so a scenario normally starts with the greeting:
//
//     using namespace std::chrono_literals;
//     ktest::ScriptedServer server;                      // 127.0.0.1, ephemeral port
//     server.start(ktest::Scenario()
//                      .reply("220 scripted server")     // CR LF is added when missing
//                      .command("USER anna", "331 password please")
//                      .command("PASS secret", "230 logged in")
//                      .command("TYPE I", "200 ok")
//                      .expectPrefix("PORT ")
//                      .reply("200 PORT ok")
//                      .command("RETR a.bin", "150 opening, 5 bytes")
//                      .dataConnect()                    // to the address of the last PORT
//                      .dataSendChunked("hello", 2, 5ms)
//                      .dataClose()
//                      .reply("226 done"));
//     ... run the client against server.port() ...
//     ASSERT_TRUE(server.waitDone()) << server.report();
//     EXPECT_TRUE(server.failures().empty()) << server.report();
//     EXPECT_EQ(server.lines()[0], "USER anna");
//
// An abort during a download: send until the client speaks, then answer its urgent ABOR and
// end the data connection that the client drains:
//
//     .command("RETR big", "150 here it comes")
//     .dataConnect()
//     .dataSendUntilControlInput(std::string(8 << 20, 'x'))
//     .expectAbort({"426 transfer broken", "226 abort done"})
//     .dataClose()
//
// TLS: the server speaks none, but it can check that a client starts a handshake where it must
// and sends nothing in clear after it. After "AUTH TLS" (or at once, for implicit TLS) the next
// bytes must be a TLS ClientHello; the server then ends the connection, so the client's
// handshake fails and the scenario shows that no USER or PASS line ever came in clear:
//
//     .reply("220 scripted server")
//     .command("AUTH TLS", "234 go ahead")
//     .expectTlsHandshake()
//     .send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7))  // optional: a fatal alert
//     .closeControl()
//     ...
//     EXPECT_EQ(server.lines(), std::vector<std::string>{"AUTH TLS"});
//
// Every wait in the server is bounded (10 s by default, see setStepTimeout and
// Scenario::within), so a client that misbehaves makes the test fail, never hang. A step that
// cannot go on (the client closed the control connection while a line was expected, a data
// connection could not be made, a time-out) is recorded as a failure and ends the scenario;
// a line that arrives but differs from the expected one is recorded as a failure and the
// scenario goes on. Command lines are recorded when a step reads them; after the last step the
// server keeps reading (and recording) the control connection until the client closes it or
// the server is destroyed.
//
// Urgent data: accepted control sockets have SO_OOBINLINE set, so an urgently sent "ABOR\r\n"
// arrives whole in the normal stream; the server notes which bytes were at the urgent mark and
// flags each command line that contains one (CommandLine::urgent).
//
// Threads: the accessors may be called from any thread at any time; they return copies.
// Several servers may run at once, each on its own port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "address_lock.h"

namespace ktest {

using Millis = std::chrono::milliseconds;

// How the server makes a data connection to the client's announced PORT address.
struct DataConnectOptions {
    // Local address to bind the data socket to before connecting, e.g. "127.0.0.5", so that the
    // connection comes from another peer than the control connection. Empty: the address the
    // client reached the server on, as a real server does.
    std::string fromAddress;
    // When set, first connect once from this local address (the "thief") and keep that
    // connection open, then connect as usual.
    std::string thiefAddress;
};

// How the server sends bytes on the data connection.
struct DataSendOptions {
    std::size_t chunkSize = 0;  // 0: everything in one go
    Millis pause{0};            // pause after each chunk but the last
    // Stop sending as soon as the client writes on the control connection (for example ABOR)
    // or closes the data connection; what was not sent is dropped.
    bool stopOnControlInput = false;
};

// One step of a scenario. Build them with Scenario.
struct Step {
    enum class Kind {
        Send,               // raw bytes on the control connection
        Expect,             // read one command line, check it
        Reply,              // text on the control connection, CR LF added when missing
        DataConnect,        // connect to the last PORT address
        RefuseData,         // do not connect (documents the scenario; does nothing)
        DataSend,           // bytes on the data connection
        DataReceive,        // read the data connection until the client closes it
        DataClose,          // close the data connection (reset: abortively)
        Stall,              // do nothing for a while
        StallUntilClosed,   // read and record the control connection until the client closes it
        CloseControl,       // close the control connection (reset: abortively)
        AcceptControl,      // close the control connection if open, accept the next one
        ExpectAbort,        // read one line that must be ABOR, then send the replies
        ExpectThiefClosed,  // the client must close the thief's data connection
        ExpectTlsHandshake,  // the next control bytes must be a TLS ClientHello record
        PassiveListen,      // listen for a data connection, announce its port in a reply
        PassiveAccept,      // accept the client's data connection on that port
    };
    enum class Match { Any, Exact, Prefix };

    Kind kind = Kind::Stall;
    std::string text;                  // Send, Reply, DataSend: bytes; Expect: expected text
    Match match = Match::Any;          // Expect
    std::vector<std::string> replies;  // ExpectAbort
    bool flag = false;  // DataClose/CloseControl: reset; ExpectAbort: must be urgent;
                        // DataReceive: stop on control input
    Millis duration{0};                // Stall
    Millis timeout{0};                 // 0: the server's step time-out
    DataConnectOptions connect;        // DataConnect
    DataSendOptions sendOptions;       // DataSend

    std::string describe() const;
};

// Fluent builder of a step list.
class Scenario {
public:
    // Sends raw bytes, exactly as given.
    Scenario& send(std::string raw);
    // Sends a reply; CR LF is appended unless the text already ends with LF. Multi-line replies
    // are given with their inner CR LF ("214-help\r\n214 end").
    Scenario& reply(std::string text);
    // Reads one command line; records a failure unless it equals `line`.
    Scenario& expect(std::string line);
    // Reads one command line; records a failure unless it starts with `prefix`.
    Scenario& expectPrefix(std::string prefix);
    // Reads one command line, whatever it is.
    Scenario& expectAny();
    // expect(line) followed by reply(answer).
    Scenario& command(std::string line, std::string answer);
    // Connects to the address of the client's last PORT line.
    Scenario& dataConnect(DataConnectOptions options = {});
    // The same, with the data socket bound to `fromAddress` (e.g. "127.0.0.5") first.
    Scenario& dataConnectFrom(std::string fromAddress);
    // Connects once from `thiefAddress` and keeps that connection open, then connects for real
    // (from `fromAddress` when given).
    Scenario& dataConnectAfterThief(std::string thiefAddress, std::string fromAddress = "");
    Scenario& refuseData();
    Scenario& dataSend(std::string bytes, DataSendOptions options = {});
    // Sends in chunks of `chunkSize` bytes with `pause` after each but the last.
    Scenario& dataSendChunked(std::string bytes, std::size_t chunkSize, Millis pause = Millis(0));
    // Sends in chunks, stopping as soon as the client writes on the control connection or
    // closes the data connection (for abort scenarios).
    Scenario& dataSendUntilControlInput(std::string bytes, std::size_t chunkSize = 4096,
                                        Millis pause = Millis(0));
    // Reads the data connection until the client closes it; with stopOnControlInput it also
    // returns as soon as the client writes on the control connection.
    Scenario& dataReceive(bool stopOnControlInput = false);
    Scenario& dataClose();
    Scenario& dataReset();
    Scenario& stall(Millis duration);
    Scenario& stallUntilClientCloses();
    Scenario& closeControl();
    Scenario& resetControl();
    Scenario& acceptControl();
    // Reads one line that must be "ABOR" (and, with mustBeUrgent, come after the Telnet
    // interrupt exactly as a client must send it: IAC IP, IAC at the urgent mark, DM), then
    // sends each reply in turn: expectAbort({"426 aborted", "226 abort done"}), or for a server
    // that refuses the first ABOR: expectAbort({"500 what?"}).expectAbort({"226 ok"}, false).
    Scenario& expectAbort(std::vector<std::string> replies, bool mustBeUrgent = true);
    Scenario& expectThiefClosed();
    // Reads one TLS record from the control connection (accepting one first when none is open)
    // and records a failure unless it is a handshake record (content type 22, version 3.x)
    // holding a ClientHello (handshake type 1). The record is consumed, not taken as command
    // lines; bytes in clear instead (say "USER anna") fail the step, end the scenario, and are
    // recorded as lines like any other.
    Scenario& expectTlsHandshake();
    // Listens on a new port of the server's address and sends `replyTemplate` with "{port}"
    // replaced by the port, "{p1}" and "{p2}" by its high and low byte ("229 ok (|||{port}|)",
    // "227 ok (127,0,0,1,{p1},{p2})").
    Scenario& passiveListen(std::string replyTemplate);
    // Accepts the client's connection to the port of the last passiveListen; it becomes the data
    // connection.
    Scenario& passiveAccept();
    // Sets the time-out of the step added last.
    Scenario& within(Millis timeout);

    const std::vector<Step>& steps() const { return steps_; }

private:
    Scenario& add(Step step);
    std::vector<Step> steps_;
};

// One command line as received, without its CR LF. Telnet commands in it (IAC and the byte
// after it, as in an interrupt "IAC IP IAC DM") are left out of text, as a server does.
struct CommandLine {
    std::string text;
    std::string raw;          // the bytes as received, Telnet commands included
    int urgentOffset = -1;    // offset in raw of the byte at the urgent mark, -1 for none
    bool urgent = false;      // one of its bytes was at the urgent mark
};

class ScriptedServer {
public:
    // Listens on address:port (port 0: the system chooses). A fixed port is first locked with
    // AddressLock, waiting up to 150 s for another test that uses it, so that tests which need
    // the same fixed address take turns under a parallel ctest. Throws std::runtime_error when
    // the address cannot be locked or bound.
    explicit ScriptedServer(const std::string& address = "127.0.0.1", uint16_t port = 0);
    // Stops the scenario wherever it is, closes every socket and joins the thread.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

    // Time-out of every blocking wait of a step that sets none itself. Call before start.
    void setStepTimeout(Millis timeout) { stepTimeout_ = timeout; }

    // Runs the scenario on the server's thread. One scenario per server; throws
    // std::logic_error when called twice.
    void start(const Scenario& scenario);
    void start(std::vector<Step> steps);

    // Waits until the scenario has run to its end (or stopped at a failure). Returns false on
    // time-out or when no scenario was started.
    bool waitDone(Millis timeout = Millis(10000));
    // Scenario ended and no failure was recorded.
    bool ok() const;

    std::vector<std::string> lines() const;
    std::vector<CommandLine> commandLines() const;
    std::string controlBytes() const;
    std::string dataReceived() const;
    std::vector<std::string> failures() const;
    int aborCount() const;             // command lines equal to "ABOR"
    int urgentByteCount() const;       // bytes seen at the urgent mark
    int dataConnectionCount() const;   // data connections made (the thief's included)
    std::size_t dataBytesSent() const; // bytes written on data connections
    std::size_t stepsRun() const;      // steps that ended, successfully or not
    // The failures and the recorded lines, for assertion messages.
    std::string report() const;

private:
    class Runner;  // plays the scenario on the server's thread

    std::string address_;
    uint16_t port_ = 0;
    AddressLock lock_;  // held for a fixed port until the listening socket is closed
    // The listening socket and the wake-up handle that the destructor signals to cut every wait
    // short (scripted_server.cpp: system types stay out of this header).
    struct Handles;
    std::unique_ptr<Handles> handles_;
    Millis stepTimeout_{10000};

    mutable std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool started_ = false;
    bool done_ = false;
    std::string controlBytes_;
    std::vector<CommandLine> lines_;
    std::string dataReceived_;
    std::vector<std::string> failures_;
    int urgentBytes_ = 0;
    int dataConnections_ = 0;
    std::size_t dataBytesSent_ = 0;
    std::size_t stepsRun_ = 0;

    std::thread thread_;
};

}  // namespace ktest
