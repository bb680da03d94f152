// The scripted server checked against a raw-socket client: what it sends, what it records, and
// that it reports a misbehaving client instead of hanging.

#include "scripted_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_socket.h"
#include "run_command.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

// The PORT line announcing a socket listening on 127.0.0.1.
std::string PortLine(const RawSocket& listener) {
    uint16_t port = listener.localPort();
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

RawSocket Connect(const ScriptedServer& server) {
    return RawSocket::connectTo(server.address(), server.port());
}

TEST(ScriptedServerControl, PlaysRepliesAndRecordsCommandLines) {
    ScriptedServer server;
    server.start(Scenario()
                     .send("220 raw\r\n")
                     .command("USER anna", "331 password please")
                     .command("PASS secret", "214-first\r\n214 last")
                     .expectPrefix("CWD ")
                     .reply("250 ok\n"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.isOpen());
    EXPECT_EQ(client.readReply(), "220 raw\r\n");
    ASSERT_TRUE(client.sendAll("USER anna\r\n"));
    EXPECT_EQ(client.readReply(), "331 password please\r\n");
    ASSERT_TRUE(client.sendAll("PASS secret\r\n"));
    EXPECT_EQ(client.readReply(), "214-first\r\n214 last\r\n");
    ASSERT_TRUE(client.sendAll("CWD pub\n"));
    EXPECT_EQ(client.readReply(), "250 ok\n");  // a reply ending in LF is sent as given

    ASSERT_TRUE(server.waitDone(5s)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"USER anna", "PASS secret", "CWD pub"}));
    EXPECT_EQ(server.controlBytes(), "USER anna\r\nPASS secret\r\nCWD pub\n");
}

TEST(ScriptedServerControl, RecordsMismatchAndGoesOn) {
    ScriptedServer server;
    server.start(Scenario().reply("220 hi").command("USER anna", "331 pw").expectPrefix("PASS"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.isOpen());
    client.readReply();
    ASSERT_TRUE(client.sendAll("USER bob\r\n"));
    EXPECT_EQ(client.readReply(), "331 pw\r\n");
    ASSERT_TRUE(client.sendAll("NOOP\r\n"));

    ASSERT_TRUE(server.waitDone(5s));
    std::vector<std::string> failures = server.failures();
    ASSERT_EQ(failures.size(), 2u) << server.report();
    EXPECT_NE(failures[0].find("\"USER bob\""), std::string::npos) << failures[0];
    EXPECT_NE(failures[1].find("\"NOOP\""), std::string::npos) << failures[1];
    EXPECT_FALSE(server.ok());
}

TEST(ScriptedServerControl, SilentClientEndsScenarioWithTimeoutFailure) {
    ScriptedServer server;
    server.start(Scenario().reply("220 hi").expect("USER anna").within(100ms).reply("331 never"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.sendAll("USER an"));  // no line end: the line never completes

    ASSERT_TRUE(server.waitDone(5s));
    ASSERT_EQ(server.failures().size(), 1u);
    EXPECT_NE(server.failures()[0].find("no command line in time"), std::string::npos);
    EXPECT_NE(server.failures()[0].find("\"USER an\""), std::string::npos);
    EXPECT_EQ(server.stepsRun(), 2u);  // the reply after the failed step was not played
    client.readReply();
    EXPECT_EQ(client.readLine(200ms), "");
}

TEST(ScriptedServerControl, ClientClosingIsReportedAndStallUntilCloseSucceeds) {
    ScriptedServer expecting;
    expecting.start(Scenario().reply("220 hi").expect("QUIT"));
    ScriptedServer stalling;
    stalling.start(Scenario().reply("220 hi").stallUntilClientCloses());
    {
        RawSocket a = Connect(expecting);
        RawSocket b = Connect(stalling);
        ASSERT_TRUE(a.isOpen() && b.isOpen());
        a.readReply();
        b.readReply();
        ASSERT_TRUE(b.sendAll("NOOP\r\n"));
    }
    ASSERT_TRUE(expecting.waitDone(5s));
    ASSERT_EQ(expecting.failures().size(), 1u);
    EXPECT_NE(expecting.failures()[0].find("closed the control connection"), std::string::npos);
    ASSERT_TRUE(stalling.waitDone(5s));
    EXPECT_TRUE(stalling.ok()) << stalling.report();
    EXPECT_EQ(stalling.lines(), std::vector<std::string>{"NOOP"});
}

TEST(ScriptedServerControl, AcceptsSecondControlConnectionAfterClosingFirst) {
    ScriptedServer server;
    server.start(Scenario().reply("220 one").closeControl().acceptControl().reply("220 two"));
    RawSocket first = Connect(server);
    ASSERT_TRUE(first.isOpen());
    EXPECT_EQ(first.readReply(), "220 one\r\n");
    EXPECT_TRUE(first.waitClosedByPeer(5s));
    RawSocket second = Connect(server);
    ASSERT_TRUE(second.isOpen());
    EXPECT_EQ(second.readReply(), "220 two\r\n");
    EXPECT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST(ScriptedServerControl, DestructorEndsLongStallPromptly) {
    auto begin = std::chrono::steady_clock::now();
    {
        ScriptedServer server;
        server.start(Scenario().stall(60s));
        EXPECT_FALSE(server.waitDone(20ms));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST(ScriptedServerControl, SameFixedPortIsTakenInTurns) {
    auto first = std::make_unique<ScriptedServer>("127.0.0.16", 2122);
    std::atomic<bool> firstGone{false};
    bool secondSawFirstGone = false;
    uint16_t secondPort = 0;
    std::thread waiter([&] {
        ScriptedServer second("127.0.0.16", 2122);  // blocks until `first` lets the port go
        secondSawFirstGone = firstGone.load();
        secondPort = second.port();
    });
    RawSocket probe = RawSocket::connectTo("127.0.0.16", 2122);
    EXPECT_TRUE(probe.isOpen());  // `first` listens meanwhile
    firstGone = true;
    first.reset();
    waiter.join();
    EXPECT_TRUE(secondSawFirstGone);
    EXPECT_EQ(secondPort, 2122);
}

TEST(ScriptedServerData, SendsInChunksToAnnouncedPortFromServerAddress) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ASSERT_TRUE(listener.isOpen());
    ScriptedServer server("127.0.0.17");  // the client connects from 127.0.0.1
    std::string payload(10000, 'x');
    payload[0] = 'a';
    payload.back() = 'z';
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnect()
                     .dataSendChunked(payload, 3000, 1ms)
                     .dataClose()
                     .reply("226 done"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    EXPECT_EQ(client.readReply(), "200 ok\r\n");
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_EQ(data.peerAddress(), "127.0.0.17");
    EXPECT_EQ(data.readAll(), payload);
    EXPECT_EQ(client.readReply(), "226 done\r\n");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.dataBytesSent(), payload.size());
}

TEST(ScriptedServerData, ReceivesUploadUntilClientCloses) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ScriptedServer server;
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnect()
                     .dataReceive()
                     .reply("226 stored"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    client.readReply();
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    ASSERT_TRUE(data.sendAll(std::string("up\0load", 7)));
    data.close();
    EXPECT_EQ(client.readReply(), "226 stored\r\n");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_EQ(server.dataReceived(), std::string("up\0load", 7));
}

TEST(ScriptedServerData, ResetEndsDataConnectionAbortivelyCloseOrderly) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ScriptedServer server;
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnect()
                     .dataSend("part")
                     .dataReset()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnect()
                     .dataSend("whole")
                     .dataClose());
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    client.readReply();
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    data.readAll();
    EXPECT_EQ(data.lastError(), ECONNRESET);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    client.readReply();
    data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_EQ(data.readAll(), "whole");
    EXPECT_EQ(data.lastError(), 0);
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST(ScriptedServerData, ConnectsFromOtherAddressAndThief) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ScriptedServer server;
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnectAfterThief("127.0.0.7", "127.0.0.5")
                     .expectThiefClosed()
                     .dataSend("real")
                     .dataClose());
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    client.readReply();
    RawSocket thief = listener.accept();
    ASSERT_TRUE(thief.isOpen());
    EXPECT_EQ(thief.peerAddress(), "127.0.0.7");
    thief.close();
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_EQ(data.peerAddress(), "127.0.0.5");
    EXPECT_EQ(data.readAll(), "real");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.dataConnectionCount(), 2);
}

TEST(ScriptedServerData, ThiefLeftOpenIsReported) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ScriptedServer server;
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .dataConnectAfterThief("127.0.0.7")
                     .expectThiefClosed()
                     .within(100ms));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    RawSocket thief = listener.accept();
    ASSERT_TRUE(server.waitDone(5s));
    ASSERT_EQ(server.failures().size(), 1u);
    EXPECT_NE(server.failures()[0].find("kept the thief"), std::string::npos);
}

TEST(ScriptedServerData, MissingOrMalformedPortFailsDataConnect) {
    ScriptedServer none;
    none.start(Scenario().expect("RETR a").dataConnect());
    ScriptedServer bad;
    bad.start(Scenario().expectAny().dataConnect());
    RawSocket a = Connect(none);
    RawSocket b = Connect(bad);
    ASSERT_TRUE(a.sendAll("RETR a\r\n"));
    ASSERT_TRUE(b.sendAll("PORT 127,0,0,1,300,1\r\n"));
    ASSERT_TRUE(none.waitDone(5s));
    ASSERT_TRUE(bad.waitDone(5s));
    ASSERT_EQ(none.failures().size(), 1u);
    EXPECT_NE(none.failures()[0].find("no PORT"), std::string::npos);
    ASSERT_EQ(bad.failures().size(), 1u);
    EXPECT_NE(bad.failures()[0].find("malformed PORT"), std::string::npos);
}

// The abort as a client sends it: IAC IP, the Synch (IAC urgent, then DM), the ABOR line.
const char kAbortBytes[] = "\xFF\xF4\xFF\xF2" "ABOR\r\n";

bool SendAbort(RawSocket& client) {
    return client.sendAll("\xFF\xF4") && client.sendAll("\xFF", MSG_OOB) &&
           client.sendAll("\xF2" "ABOR\r\n");
}

TEST(ScriptedServerAbort, UrgentAborIsFlaggedAndAnsweredTwice) {
    ScriptedServer server;
    server.start(Scenario().expect("RETR a").expectAbort({"426 broken", "226 aborted"}));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll("RETR a\r\n"));
    ASSERT_TRUE(SendAbort(client));
    EXPECT_EQ(client.readReply(), "426 broken\r\n");
    EXPECT_EQ(client.readReply(), "226 aborted\r\n");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    std::vector<CommandLine> lines = server.commandLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].urgent);
    EXPECT_EQ(lines[1].text, "ABOR");
    EXPECT_EQ(lines[1].urgentOffset, 2);
    EXPECT_EQ(server.aborCount(), 1);
    EXPECT_EQ(server.urgentByteCount(), 1);
    EXPECT_EQ(server.controlBytes(), std::string("RETR a\r\n") + kAbortBytes);
}

TEST(ScriptedServerAbort, UrgentMarkFlagsOnlyTheLineThatCarriesIt) {
    ScriptedServer server;
    server.start(Scenario().expect("RETR a").expectAbort({"226 ok"}).expect("NOOP"));
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll("RETR a\r\n\xFF\xF4"));  // the line starts in a normal send
    ASSERT_TRUE(client.sendAll("\xFF", MSG_OOB));
    ASSERT_TRUE(client.sendAll("\xF2" "ABOR\r\n"));
    EXPECT_EQ(client.readReply(), "226 ok\r\n");
    ASSERT_TRUE(client.sendAll("NOOP\r\n"));
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    std::vector<CommandLine> lines = server.commandLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_FALSE(lines[0].urgent);
    EXPECT_TRUE(lines[1].urgent);
    EXPECT_FALSE(lines[2].urgent);
}

TEST(ScriptedServerAbort, UrgentAborSentBeforeAcceptIsStillWhole) {
    ScriptedServer server;
    RawSocket client = Connect(server);  // waits in the backlog: no scenario runs yet
    ASSERT_TRUE(SendAbort(client));
    server.start(Scenario().expectAbort({"226 ok"}));
    EXPECT_EQ(client.readReply(), "226 ok\r\n");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.controlBytes(), kAbortBytes);
}

TEST(ScriptedServerAbort, RefusedAborRepeatedAndPlainAborReported) {
    ScriptedServer server;
    server.start(Scenario().expectAbort({"500 what?"}).expectAbort({"226 ok"}));
    RawSocket client = Connect(server);
    ASSERT_TRUE(SendAbort(client));
    EXPECT_EQ(client.readReply(), "500 what?\r\n");
    ASSERT_TRUE(client.sendAll("ABOR\r\n"));  // not urgent this time
    EXPECT_EQ(client.readReply(), "226 ok\r\n");
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_EQ(server.aborCount(), 2);
    ASSERT_EQ(server.failures().size(), 1u);
    EXPECT_NE(server.failures()[0].find("step 2"), std::string::npos);
    EXPECT_NE(server.failures()[0].find("without the interrupt"), std::string::npos);
}

TEST(ScriptedServerAbort, DataSendStopsWhenClientWritesOnControl) {
    RawSocket listener = RawSocket::listenOn("127.0.0.1");
    ScriptedServer server;
    const std::size_t total = 64u << 20;  // far more than socket buffers hold
    server.start(Scenario()
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .dataConnect()
                     .dataSendUntilControlInput(std::string(total, 'd'))
                     .expectAbort({"426 broken", "226 aborted"})
                     .dataClose());
    RawSocket client = Connect(server);
    ASSERT_TRUE(client.sendAll(PortLine(listener) + "\r\n"));
    client.readReply();
    RawSocket data = listener.accept();
    ASSERT_TRUE(data.isOpen());
    EXPECT_FALSE(data.readSome().empty());  // some data flows, then the client aborts
    ASSERT_TRUE(SendAbort(client));
    EXPECT_EQ(client.readReply(), "426 broken\r\n");
    EXPECT_EQ(client.readReply(), "226 aborted\r\n");
    EXPECT_TRUE(data.waitClosedByPeer(5s));
    ASSERT_TRUE(server.waitDone(5s));
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_LT(server.dataBytesSent(), total);
}

struct TlsCase {
    const char* name;
    std::vector<std::string> pieces;  // what the client sends after AUTH TLS, piece by piece
    const char* failure;              // nullptr: the step succeeds; else part of its failure
    std::vector<std::string> lines;   // the command lines recorded
};

class ScriptedServerTls : public testing::TestWithParam<TlsCase> {};

TEST_P(ScriptedServerTls, ClientHelloIsConsumedAnythingElseFails) {
    const TlsCase& c = GetParam();
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 hi")
                     .command("AUTH TLS", "234 go ahead")
                     .expectTlsHandshake()
                     .closeControl());
    RawSocket client = Connect(server);
    client.readReply();
    ASSERT_TRUE(client.sendAll("AUTH TLS\r\n"));
    EXPECT_EQ(client.readReply(), "234 go ahead\r\n");
    for (const std::string& piece : c.pieces) {
        ASSERT_TRUE(client.sendAll(piece));
    }
    ASSERT_TRUE(server.waitDone(5s)) << server.report();
    std::vector<std::string> failures = server.failures();
    if (c.failure == nullptr) {
        EXPECT_TRUE(failures.empty()) << server.report();
        EXPECT_TRUE(client.waitClosedByPeer(5s));  // the step after it ran
    } else {
        ASSERT_EQ(failures.size(), 1u) << server.report();
        EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
    }
    EXPECT_EQ(server.lines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ScriptedServerTls,
    testing::Values(
        // A ClientHello record (length 5) split between header and body.
        TlsCase{"ClientHelloInTwoPieces",
                {std::string("\x16\x03\x01\x00\x05", 5), std::string("\x01\x00\x00\x01\x00", 5)},
                nullptr,
                {"AUTH TLS"}},
        TlsCase{"UserInClear", {"USER anna\r\n"}, "not a TLS record", {"AUTH TLS", "USER anna"}},
        TlsCase{"ServerHelloInsteadOfClientHello",
                {std::string("\x16\x03\x03\x00\x01\x02", 6)},
                "not ClientHello",
                {"AUTH TLS"}}),
    [](const testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

// The record check against a real TLS stack's first flight.
TEST(ScriptedServerTlsClient, OpensslClientHelloPasses) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 hi")
                     .command("AUTH TLS", "234 go ahead")
                     .expectTlsHandshake()
                     .closeControl());
    CommandResult run = RunCommand({"openssl", "s_client", "-starttls", "ftp", "-connect",
                                    "127.0.0.1:" + std::to_string(server.port())},
                                   10s);
    ASSERT_TRUE(run.started && !run.timedOut) << run.describe("openssl s_client");
    EXPECT_NE(run.exitCode, 0);  // its handshake cannot succeed
    ASSERT_TRUE(server.waitDone(5s)) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines(), std::vector<std::string>{"AUTH TLS"});
}

}  // namespace
}  // namespace ktest
