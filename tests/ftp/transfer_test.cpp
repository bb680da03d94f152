// Transfers against the scripted server: bytes on the wire and in files, counters, refusals,
// aborts and the failures of the data connection.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "engine_fixture.h"
#include "test_os.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

// Greeting, TYPE (when typeLine is not empty), PORT and the transfer command with its reply.
Scenario TransferStart(const std::string& typeLine, const std::string& command,
                       const std::string& preliminary) {
    Scenario s;
    s.reply("220 ready");
    if (!typeLine.empty()) {
        s.command(typeLine, "200 type set");
    }
    s.expectPrefix("PORT 127,0,0,1,").reply("200 PORT ok").command(command, preliminary);
    return s;
}

// The port announced by a "PORT h1,h2,h3,h4,p1,p2" line.
int PortOf(const std::string& line) {
    unsigned h[4], p1 = 0, p2 = 0;
    if (sscanf(line.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p1, &p2) != 6) {
        return -1;
    }
    return static_cast<int>(p1 * 256 + p2);
}

TEST_F(EngineTest, DownloadCopiesBytesVerbatimAndCountsThem) {
    for (size_t size : {size_t(0), size_t(1), size_t(4096), size_t(4097), size_t(3 * 4096)}) {
        TempDir dir;
        // Type A copies verbatim too: CR LF, bare LF and NUL bytes all arrive unchanged.
        std::string data = PatternBytes(size, static_cast<uint32_t>(size));
        ScriptedServer server;
        server.start(TransferStart("", "RETR f.txt",
                                   "150 Opening ASCII connection for f.txt (" +
                                       std::to_string(size) + " Bytes)")
                         .dataConnect()
                         .dataSend(data, {.chunkSize = 1000})
                         .dataClose()
                         .reply("226 done"));
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpRecvFile("f.txt", dir.path("f").c_str(), 'A', key), 0) << size;
        EXPECT_EQ(ReadFile(dir.path("f")), data) << size;
        EXPECT_EQ(FtpBytesTransferred(key), static_cast<int32_t>(size));
        EXPECT_EQ(FtpBytesToBeTransferred(key), static_cast<int32_t>(size));
        EXPECT_EQ(session->localFile, -1);
        EXPECT_EQ(session->connection.dataSocket.load(), -1);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        EXPECT_GT(PortOf(server.lines().at(0)), 0);
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, DownloadWithoutAnnouncedSizeCountsOnlyWhatArrives) {
    TempDir dir;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR b", "150 here it comes")
                     .dataConnect()
                     .dataSend("12345")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("b", dir.path("b").c_str(), 'I', key), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(key), 0);
    EXPECT_EQ(FtpBytesTransferred(key), 5);
}

TEST_F(EngineTest, EndOfTransferRepliesMapThroughTheTable) {
    const std::pair<const char*, int32_t> cases[] = {
        {"226 ok", 0},         {"250 ok", 0},           {"552 no room", 1005},
        {"421 bye", 1008},     {"451 odd", 3001},       {"425 refused", 2006},
        {"426 broken", 2006},  {"522 no TLS resumed", 2006}};
    for (const auto& [reply, expected] : cases) {
        TempDir dir;
        ScriptedServer server;
        server.start(
            TransferStart("TYPE I", "RETR x", "150 go").dataConnect().dataClose().reply(reply));
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpRecvFile("x", dir.path("x").c_str(), 'I', key), expected) << reply;
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, AppendToLocalFileKeepsWhatIsThereAndCreatesWhatIsNot) {
    TempDir dir;
    WriteFile(dir.path("log"), "old;");
    for (const char* name : {"log", "fresh"}) {
        ScriptedServer server;
        server.start(TransferStart("TYPE I", std::string("RETR r"), "150 go")
                         .dataConnect()
                         .dataSend("new")
                         .dataClose()
                         .reply("226 done"));
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpAppendToLocalFile("r", dir.path(name).c_str(), 'I', key), 0);
        FtpDisconnect(key);
        session->connection.currentType = 0;
    }
    EXPECT_EQ(ReadFile(dir.path("log")), "old;new");
    EXPECT_EQ(ReadFile(dir.path("fresh")), "new");
}

TEST_F(EngineTest, RestartedDownloadSendsRestAfterPortAndWritesAtTheHandlesPosition) {
    TempDir dir;
    WriteFile(dir.path("part"), "0123456789");
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("REST 4", "350 restarting at 4")
                     .command("RETR big", "150 Opening (10 bytes)")
                     .dataConnect()
                     .dataSend("ABCDEF")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(Connect(server), FTP_OK);
    int32_t file = PlatFileOpen(dir.path("part").c_str(), PLAT_OF_WRITE);
    ASSERT_EQ(PlatFileSeek(file, 4, PLAT_FILE_BEGIN), 4);
    EXPECT_EQ(FtpRestartRecvFile("big", file, 'I', 4, key), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(key), 6);
    EXPECT_EQ(ReadFile(dir.path("part")), "0123ABCDEF");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, RestartFormsCloseTheHandleWhenTheyFailEarly) {
    TempDir dir;
    WriteFile(dir.path("x"), "x");
    int before = os::OpenHandleCount();
    int32_t file = PlatFileOpen(dir.path("x").c_str(), PLAT_OF_READ);
    EXPECT_EQ(FtpRestartSendFile(file, "x", 'I', 1, key), FTP_NOT_CONNECTED);
    file = PlatFileOpen(dir.path("x").c_str(), PLAT_OF_READ);
    EXPECT_EQ(FtpRestartRecvFile("x", file, 'I', 1, key + 100000), FTP_NOT_INITIALIZED);
    EXPECT_EQ(os::OpenHandleCount(), before);
}

// A resumed upload from beyond the end of the file is refused before anything is sent; a resumed
// download whose server announces less than the restart position expects 0 bytes, never fewer.
TEST_F(EngineTest, RestartPositionsBeyondTheDataAreNotTakenAtFaceValue) {
    TempDir dir;
    WriteFile(dir.path("src"), "abc");
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("REST 8", "350 ok")
                     .command("RETR big", "150 Opening (5 bytes)")
                     .dataConnect()
                     .dataSend("xy")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(Connect(server), FTP_OK);
    int before = os::OpenHandleCount();
    int32_t file = PlatFileOpen(dir.path("src").c_str(), PLAT_OF_READ);
    ASSERT_EQ(PlatFileSeek(file, 4, PLAT_FILE_BEGIN), 4);
    EXPECT_EQ(FtpRestartSendFile(file, "dst", 'A', 4, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(os::OpenHandleCount(), before);  // the handle was taken over and closed

    WriteFile(dir.path("dst"), "12345678");
    file = PlatFileOpen(dir.path("dst").c_str(), PLAT_OF_WRITE);
    ASSERT_EQ(PlatFileSeek(file, 8, PLAT_FILE_BEGIN), 8);
    EXPECT_EQ(FtpRestartRecvFile("big", file, 'A', 8, key), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(key), 0);
    EXPECT_EQ(FtpBytesTransferred(key), 2);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();  // PORT came first: no STOR
}

TEST_F(EngineTest, UploadSendsTheFileAndAnnouncesItsSize) {
    for (size_t size : {size_t(0), size_t(4095), size_t(2 * 4096), size_t(10001)}) {
        TempDir dir;
        std::string data = PatternBytes(size, 7);
        WriteFile(dir.path("up"), data);
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "STOR up.bin", "150 send it")
                         .dataConnect()
                         .dataReceive()
                         .reply("226 stored"));
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up.bin", 'I', key), 0) << size;
        EXPECT_EQ(FtpBytesToBeTransferred(key), static_cast<int32_t>(size));
        EXPECT_EQ(FtpBytesTransferred(key), static_cast<int32_t>(size));
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(server.dataReceived(), data) << size;
        FtpDisconnect(key);
        session->connection.currentType = 0;
    }
}

TEST_F(EngineTest, AppendToRemoteUsesAppeAndRestartedUploadStartsAtTheHandle) {
    TempDir dir;
    WriteFile(dir.path("src"), "abcdefghij");
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "APPE dst", "150 go")
                     .dataConnect()
                     .dataReceive()
                     .reply("226 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("REST 7", "350 ok")
                     .command("STOR dst", "150 go")
                     .dataConnect()
                     .dataReceive()
                     .reply("226 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpAppendToRemoteFile(dir.path("src").c_str(), "dst", 'I', key), 0);
    int32_t file = PlatFileOpen(dir.path("src").c_str(), PLAT_OF_READ);
    ASSERT_EQ(PlatFileSeek(file, 7, PLAT_FILE_BEGIN), 7);
    EXPECT_EQ(FtpRestartSendFile(file, "dst", 'I', 7, key), 0);
    EXPECT_EQ(FtpBytesToBeTransferred(key), 3);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
    EXPECT_EQ(server.dataReceived(), "abcdefghijhij");
}

TEST_F(EngineTest, ListingsUseTheVerbAndFilterAndAlwaysTypeA) {
    TempDir dir;
    const std::string listing = "-rw-r--r-- 1 a a 5 Jan 1 00:00 x\r\ndrwxr-xr-x 2 a a 0 Jan 1 00:00 d\r\n";
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .command("TYPE A", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("LIST *.txt", "150 listing")
                     .dataConnect()
                     .dataSend(listing)
                     .dataClose()
                     .reply("226 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("NLST", "150 names")
                     .dataConnect()
                     .dataSend("x\r\nd\r\n")
                     .dataClose()
                     .reply("226 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpSelectType('I', key), 0);
    EXPECT_EQ(FtpDir("*.txt", dir.path("list").c_str(), 1, key), 0);
    EXPECT_EQ(ReadFile(dir.path("list")), listing);
    EXPECT_EQ(FtpDir("", dir.path("list").c_str(), 0, key), 0);  // empty filter: bare verb
    EXPECT_EQ(ReadFile(dir.path("list")), "x\r\nd\r\n");
    EXPECT_EQ(FtpBytesToBeTransferred(key), 0);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, ListingRefusalsTouchNoFile) {
    TempDir dir;
    WriteFile(dir.path("list"), "before");
    EXPECT_EQ(FtpDir("", dir.path("list").c_str(), 1, key), FTP_NOT_CONNECTED);
    EXPECT_EQ(ReadFile(dir.path("list")), "before");
    ScriptedServer server;
    server.start(Scenario().reply("220 ready"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpDir("", nullptr, 1, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpDir("a\r\nDELE b", dir.path("list").c_str(), 1, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpRecvFile(std::string(251, 'n').c_str(), dir.path("list").c_str(), 'I', key),
              FTP_BAD_PARAMETERS);
    EXPECT_EQ(ReadFile(dir.path("list")), "before");
    EXPECT_EQ(FtpDir("", "/nonexistent-dir/list", 1, key), FTP_CANNOT_OPEN_FILE);
    EXPECT_EQ(FtpSendFile(dir.path("missing").c_str(), "r", 'A', key), FTP_CANNOT_OPEN_FILE);
}

// The local file is made, emptied or appended to only once the server has accepted the
// transfer: after a refusal an existing file keeps its bytes and a missing one is not created.
TEST_F(EngineTest, RefusedTransferLeavesTheLocalFileAsItWasAndNoConnection) {
    const std::pair<const char*, int32_t> replies[] = {{"550 no such file", 1010},
                                                       {"425 cannot open", 2006},
                                                       {"522 TLS session not resumed", 2006}};
    enum Operation { Recv, Append, Dir, Restart };
    for (Operation operation : {Recv, Append, Dir, Restart}) {
        for (bool exists : {true, false}) {
            if (operation == Restart && !exists) {
                continue;  // a restart brings an open file
            }
            for (const auto& [reply, expected] : replies) {
                TempDir dir;
                const std::string local = dir.path("precious");
                if (exists) {
                    WriteFile(local, "precious bytes");
                }
                ScriptedServer server;
                Scenario scenario;
                scenario.reply("220 ready").expectPrefix("PORT ").reply("200 ok");
                if (operation == Restart) {
                    scenario.command("REST 3", "350 ok");
                }
                server.start(scenario.command(operation == Dir ? "LIST" : "RETR gone", reply));
                ASSERT_EQ(Connect(server), FTP_OK);
                int32_t result = 0;
                switch (operation) {
                    case Recv:
                        result = FtpRecvFile("gone", local.c_str(), 'A', key);
                        break;
                    case Append:
                        result = FtpAppendToLocalFile("gone", local.c_str(), 'A', key);
                        break;
                    case Dir:
                        result = FtpDir("", local.c_str(), 1, key);
                        break;
                    case Restart: {
                        int32_t file = PlatFileOpen(local.c_str(), PLAT_OF_WRITE);
                        ASSERT_EQ(PlatFileSeek(file, 3, PLAT_FILE_BEGIN), 3);
                        result = FtpRestartRecvFile("gone", file, 'A', 3, key);
                        break;
                    }
                }
                const std::string what =
                    std::to_string(operation) + (exists ? " file " : " none ") + reply;
                EXPECT_EQ(result, expected) << what;
                EXPECT_EQ(std::filesystem::exists(local), exists) << what;
                EXPECT_EQ(ReadFile(local), exists ? "precious bytes" : "") << what;
                EXPECT_EQ(session->connection.dataSocket.load(), -1);
                EXPECT_EQ(session->localFile, -1);
                ASSERT_TRUE(server.waitDone()) << server.report();
                EXPECT_TRUE(server.failures().empty()) << server.report();
                FtpDisconnect(key);
            }
        }
    }
}

TEST_F(EngineTest, AFileThatCannotBeMadeOnceTheServerSendsAbortsTheTransferWith1004) {
    TempDir dir;
    ScriptedServer server;
    server.start(TransferStart("", "RETR f", "150 go")
                     .dataConnect()
                     .expectAbort({"426 aborted", "226 abort done"})
                     .dataClose()
                     .command("NOOP", "200 in step"));
    ASSERT_EQ(Connect(server), FTP_OK);
    PlatSetFaults({.failFileCreates = 1});
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'A', key), FTP_CANNOT_OPEN_FILE);
    PlatSetFaults({});
    EXPECT_FALSE(std::filesystem::exists(dir.path("f")));
    EXPECT_EQ(session->connection.dataSocket.load(), -1);
    EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), 200);  // the abort's replies were all read
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, RefusedPortAndRestEndThePreparation) {
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("500 PORT not understood")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("REST 10", "502 no restarts here"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), 3001);
    WriteFile(dir.path("r"), "0123456789");
    int32_t file = PlatFileOpen(dir.path("r").c_str(), PLAT_OF_WRITE);
    EXPECT_EQ(FtpRestartRecvFile("f", file, 'I', 10, key), 3003);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, PreliminaryReplyWithoutConnectionTimesOut) {
    TempDir dir;
    session->connection.timeoutSeconds = 1;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go").refuseData().stall(3000ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(session->localFile, -1);
    EXPECT_FALSE(std::filesystem::exists(dir.path("f")));  // nothing came, nothing was made
}

TEST_F(EngineTest, DataConnectionFromAnotherAddressIsRefused) {
    TempDir dir;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect({.fromAddress = "", .thiefAddress = "127.0.0.5"})
                     .expectThiefClosed()
                     .dataSend("genuine")
                     .dataClose()
                     .reply("226 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), 0);
    EXPECT_EQ(ReadFile(dir.path("f")), "genuine");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, OnlyAForeignDataConnectionEndsInTimeOut) {
    TempDir dir;
    session->connection.timeoutSeconds = 1;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect({.fromAddress = "127.0.0.6", .thiefAddress = ""})
                     .dataSend("stolen")
                     .stall(2500ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
    EXPECT_EQ(ReadFile(dir.path("f")), "");
}

// Option dataPeer: 0 refuses a data connection from another address than the server's, names
// it in the trace at once and in the result message when no good connection comes; 1 takes it.
TEST_F(EngineTest, DataPeerOptionDecidesWhichAddressMayConnect) {
    struct Case {
        const char* dataPeer;
        const char* afterConnect;  // the server's final reply after its data, "" for none
        int32_t expected;
        const char* detail;
    };
    const char* refused = "data connection from 127.0.0.6 refused: not the server's address";
    const Case cases[] = {{"0", "", FTP_DATA_CONNECTION_FAILED, refused},
                          {"0", "425 no data connection", FTP_DATA_CONNECTION_FAILED, refused},
                          {"1", "226 done", FTP_OK, ""}};
    for (const Case& c : cases) {
        TempDir dir;
        static std::mutex traceLock;
        static std::string captured;
        captured.clear();
        ScriptedServer server;
        Scenario s = TransferStart("TYPE I", "RETR f", "150 go");
        s.dataConnect({.fromAddress = "127.0.0.6", .thiefAddress = ""}).dataSend("from .6");
        if (c.afterConnect[0] != '\0') {
            s.dataClose().reply(c.afterConnect);
        }
        server.start(s.stall(3000ms));
        ASSERT_EQ(Connect(server), FTP_OK);
        ASSERT_EQ(FtpSetOption("dataPeer", c.dataPeer, key), FTP_OK);
        ASSERT_EQ(FtpSetOption("trace", "1", key), FTP_OK);
        PlatSetDebugSink(
            [](const char* text, void*) {
                std::lock_guard<std::mutex> guard(traceLock);
                captured += text;
            },
            nullptr);
        const auto start = std::chrono::steady_clock::now();
        auto done = std::async(std::launch::async, [&] {
            return FtpRecvFile("f", dir.path("f").c_str(), 'I', key);
        });
        if (c.detail[0] != '\0' && c.afterConnect[0] == '\0') {
            // Named while the wait still goes on (the time-out is 2 s).
            EXPECT_TRUE(WaitFor([&] {
                std::lock_guard<std::mutex> guard(traceLock);
                return captured.find(refused) != std::string::npos;
            }, 1500ms)) << c.dataPeer;
            EXPECT_EQ(done.wait_for(0ms), std::future_status::timeout);
        }
        EXPECT_EQ(done.get(), c.expected) << c.dataPeer << c.afterConnect;
        PlatSetDebugSink(nullptr, nullptr);
        // The 425 ends the wait at once; without a reply it lasts the time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  c.afterConnect[0] == '\0' ? 2900ms : 1500ms);
        char detail[256];
        ASSERT_EQ(FtpResultDetail(detail, sizeof detail, key), FTP_OK);
        EXPECT_STREQ(detail, c.detail) << c.dataPeer << c.afterConnect;
        EXPECT_EQ(ReadFile(dir.path("f")), c.expected == FTP_OK ? "from .6" : "");
        FtpDisconnect(key);
    }
}

// A 4xx or 5xx final reply after the 150 ends a transfer or listing at once with the code of the
// same refusal without the 150, also while active mode still waits for the server's connection;
// the reply is read once, so the next command gets its own.
TEST_F(EngineTest, RefusalAfterThePreliminaryReplyEndsTheTransferAtOnce) {
    struct Case {
        bool passive;
        const char* command;
        const char* refusal;
        int32_t expected;
    };
    const Case cases[] = {
        {false, "LIST gone", "450 No such file or directory", FTP_UNEXPECTED_ANSWER},
        {false, "RETR gone", "550 No such file", FTP_CANNOT_OPEN_REMOTE},
        {false, "RETR gone", "553 Not allowed", FTP_TRANSFER_REFUSED},
        {false, "RETR gone", "425 Cannot open data connection", FTP_DATA_CONNECTION_FAILED},
        {true, "RETR gone", "550 No such file", FTP_CANNOT_OPEN_REMOTE},
        {true, "LIST gone", "450 No such file or directory", FTP_UNEXPECTED_ANSWER},
    };
    session->connection.timeoutSeconds = 5;
    for (const Case& c : cases) {
        TempDir dir;
        ScriptedServer server;
        Scenario s;
        s.reply("220 ready");
        if (c.command[0] == 'R') {
            s.command("TYPE I", "200 ok");
        }
        if (c.passive) {
            s.expect("EPSV").passiveListen("229 ok (|||{port}|)").command(c.command, "150 go");
            s.passiveAccept().reply(c.refusal).dataClose();
        } else {
            s.expectPrefix("PORT ").reply("200 ok").command(c.command, "150 go").reply(c.refusal);
        }
        server.start(s.command("NOOP", "200 in step"));
        ASSERT_EQ(Connect(server), FTP_OK);
        session->connection.passive = c.passive;
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = c.command[0] == 'R'
                                   ? FtpRecvFile("gone", dir.path("f").c_str(), 'I', key)
                                   : FtpDir("gone", dir.path("f").c_str(), 1, key);
        EXPECT_EQ(result, c.expected) << c.command << " " << c.refusal;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << c.refusal;
        EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), 200) << c.refusal;
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        FtpDisconnect(key);
        session->connection.currentType = 0;
    }
}

TEST_F(EngineTest, StalledDownloadAbortsWith2006) {
    TempDir dir;
    session->connection.timeoutSeconds = 1;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect()
                     .dataSend("first part")
                     .expectAbort({"426 broken", "226 aborted"})
                     .dataClose());
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
    EXPECT_EQ(ReadFile(dir.path("f")), "first part");  // what arrived stays
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
    EXPECT_EQ(server.aborCount(), 1);
}

TEST_F(EngineTest, FullDiskAbortsTheDownloadWith1005) {
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect()
                     .dataSend(PatternBytes(20000), {.stopOnControlInput = true})
                     .expectAbort({"426 broken", "226 aborted"})
                     .dataClose());
    ASSERT_EQ(Connect(server), FTP_OK);
    // Every write to this device fails for lack of space.
    EXPECT_EQ(FtpRecvFile("f", "/dev/full", 'I', key), FTP_CANNOT_WRITE_FILE);
    EXPECT_EQ(FtpBytesTransferred(key), 0);  // the failed block is not counted
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.aborCount(), 1);
}

// A download that flows until the client speaks on the control connection.
Scenario DownloadUntilAbort() {
    return TransferStart("TYPE I", "RETR big", "150 go (1000000 bytes)")
        .dataConnect()
        .dataSend(PatternBytes(1000000),
                  {.chunkSize = 4096, .pause = 5ms, .stopOnControlInput = true});
}

TEST_F(EngineTest, AbortSendsTheInterruptThenAborAndStaysInStep) {
    TempDir dir;
    ScriptedServer server;
    server.start(DownloadUntilAbort()
                     .expectAbort({"426 transfer aborted", "226 abort successful"})
                     .dataClose()
                     .command("PWD", "257 \"/\""));
    ASSERT_EQ(Connect(server), FTP_OK);
    auto worker = std::async(std::launch::async, [&] {
        return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
    });
    ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
    EXPECT_EQ(FtpCancel(key), 1);
    ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(worker.get(), FTP_ABORTED);
    EXPECT_EQ(session->connection.dataSocket.load(), -1);
    EXPECT_LT(FtpBytesTransferred(key), 1000000);
    // Both replies were read by the abort: the next command needs no NOOP to get its own.
    char directory[64] = {};
    EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
    EXPECT_STREQ(directory, "/");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    const std::string wire = server.controlBytes();
    EXPECT_NE(wire.find("RETR big\r\n\xFF\xF4\xFF\xF2" "ABOR\r\nPWD\r\n"), std::string::npos);
    EXPECT_EQ(server.urgentByteCount(), 1);
}

TEST_F(EngineTest, AbortRepliesOfEveryKindLeaveTheNextCommandItsOwnReply) {
    struct Case {
        const char* what;
        std::vector<std::string> replies;  // the server's answer to the interrupt and ABOR
        bool plainAborAgain;               // it refuses the first ABOR, takes a plain one
        bool stepProbe;                    // the next command must first send NOOP
    };
    const Case cases[] = {
        {"226 alone", {"226 transfer complete"}, false, true},
        // The transfer's own reply may still follow a lone 225 (pyftpdlib sends a 426 late).
        {"225 alone", {"225 no transfer to abort"}, false, true},
        {"451 then 226", {"451 local error", "226 ABOR ok"}, false, false},
        {"500 to the interrupt", {"500 what?"}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ScriptedServer server;
        Scenario scenario = DownloadUntilAbort().expectAbort(c.replies);
        if (c.plainAborAgain) {
            scenario.expectAbort({"426 aborted", "226 ABOR ok"}, false);
        }
        scenario.dataClose();
        if (c.stepProbe) {
            scenario.command("NOOP", "200 in step");
        }
        scenario.command("SYST", "215 UNIX");
        server.start(scenario);
        ASSERT_EQ(Connect(server), FTP_OK);
        FtpResetCounters(key);
        auto worker = std::async(std::launch::async, [&] {
            return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
        FtpCancel(key);
        ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        char text[64] = {};
        EXPECT_EQ(FtpCommand("SYST", text, sizeof text, key), 215);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        EXPECT_EQ(server.aborCount(), c.plainAborAgain ? 2 : 1);
    }
}

TEST_F(EngineTest, SilentOrLateServersAreBroughtInStepOrDisconnected) {
    session->connection.timeoutSeconds = 1;
    {
        // No reply at all: the abort gives up after its bound; the step probe finds the server
        // still silent and closes the connection rather than read a stranger's reply later.
        TempDir dir;
        ScriptedServer server;
        server.start(DownloadUntilAbort().expectAbort({}).dataClose().expect("NOOP").stall(
            3000ms));
        ASSERT_EQ(Connect(server), FTP_OK);
        auto started = std::chrono::steady_clock::now();
        auto worker = std::async(std::launch::async, [&] {
            return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
        FtpCancel(key);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        char directory[64] = {};
        EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_NOT_CONNECTED);
        EXPECT_EQ(session->connection.controlSocket.load(), -1);
    }
    {
        // The answer comes after the abort gave up, before the probe's own reply.
        TempDir dir;
        ScriptedServer server;
        server.start(DownloadUntilAbort()
                         .expectAbort({})
                         .dataClose()
                         .stall(1500ms)
                         .reply("226 late abort reply")
                         .command("NOOP", "200 in step")
                         .command("PWD", "257 \"/home\""));
        ASSERT_EQ(Connect(server), FTP_OK);
        FtpResetCounters(key);
        auto worker = std::async(std::launch::async, [&] {
            return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
        FtpCancel(key);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        session->connection.timeoutSeconds = 3;
        char directory[64] = {};
        EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
        EXPECT_STREQ(directory, "/home");
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
    }
}

TEST_F(EngineTest, AbortAtAnyStepOfTheSetUpEndsAtOnceAndStaysInStep) {
    // Each case stalls the server at one step; the client cancels once, when it waits there.
    // What the server sends late is read before the next command.
    struct Case {
        const char* what;
        Scenario scenario;
        std::function<bool(const ScriptedServer&)> waiting;
        bool aborExpected;  // else a reply is owed, and read after a NOOP
    };
    auto seen = [](size_t count) {
        return [count](const ScriptedServer& server) { return server.lines().size() >= count; };
    };
    auto typeAndPort = [] {
        return Scenario().reply("220 ready").command("TYPE I", "200 ok").expectPrefix("PORT ");
    };
    Case cases[] = {
        {"TYPE reply",
         Scenario().reply("220 ready").expect("TYPE I").stall(300ms).reply("200 late"), seen(1),
         false},
        {"PORT reply", typeAndPort().stall(300ms).reply("200 late"), seen(2), false},
        {"150 reply",
         typeAndPort().reply("200 ok").expect("RETR big").expectAbort(
             {"150 go", "425 no data connection", "226 abort ok"}),
         seen(3), true},
        {"accept",
         TransferStart("TYPE I", "RETR big", "150 go")
             .expectAbort({"426 never connected", "226 abort ok"}),
         [this](const ScriptedServer& server) {
             return server.stepsRun() >= 7 && PlatIsBlocking(session->cancelTarget);
         },
         true},
        {"final reply",
         TransferStart("TYPE I", "RETR big", "150 go")
             .dataConnect()
             .dataSend("tiny")
             .dataClose()
             .stall(300ms)
             .reply("226 late completion"),
         [this](const ScriptedServer&) {
             return FtpBytesTransferred(key) == 4 && session->connection.dataSocket == -1;
         },
         false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ScriptedServer server;
        if (!c.aborExpected) {
            c.scenario.command("NOOP", "200 in step");
        }
        server.start(c.scenario.command("PWD", "257 \"/\""));
        ASSERT_EQ(Connect(server), FTP_OK);
        auto worker = std::async(std::launch::async, [&] {
            return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return c.waiting(server); }));
        FtpCancel(key);
        ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        char directory[64] = {};
        EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        EXPECT_EQ(server.aborCount(), c.aborExpected ? 1 : 0);
    }
}

TEST_F(EngineTest, RestartMarkerOfAnAbortedResumeIsClearedBeforeAWholeFileMoves) {
    // The server keeps a REST marker until a transfer uses it: a whole-file download after a
    // resume cut short between REST and RETR would start at the old offset.
    TempDir dir;
    WriteFile(dir.path("part"), "0123");
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .expect("REST 4")
                     .stall(300ms)
                     .reply("350 restarting at 4")
                     .command("NOOP", "200 in step")
                     .command("REST 0", "350 restarting at 0")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("RETR big", "150 go")
                     .dataConnect()
                     .dataSend("0123456789")
                     .dataClose()
                     .reply("226 done")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("RETR big", "150 go")
                     .dataConnect()
                     .dataSend("0123456789")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(Connect(server), FTP_OK);
    int32_t file = PlatFileOpen(dir.path("part").c_str(), PLAT_OF_WRITE);
    ASSERT_EQ(PlatFileSeek(file, 4, PLAT_FILE_BEGIN), 4);
    auto worker =
        std::async(std::launch::async, [&] { return FtpRestartRecvFile("big", file, 'I', 4, key); });
    ASSERT_TRUE(WaitFor([&] { return server.lines().size() >= 3; }));
    FtpCancel(key);
    ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(worker.get(), FTP_ABORTED);
    // REST 0 goes out once; the download after it moves the whole file with no REST at all.
    for (const char* name : {"whole", "again"}) {
        EXPECT_EQ(FtpRecvFile("big", dir.path(name).c_str(), 'I', key), FTP_OK) << name;
        EXPECT_EQ(ReadFile(dir.path(name)), "0123456789") << name;
    }
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, RefusedRestLeavesNoMarkerToClear) {
    // Twisted refuses REST; the whole-file download after the refused resume needs no REST 0.
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("TYPE I", "200 ok")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("REST 4", "502 Command 'REST' not implemented")
                     .expectPrefix("PORT ")
                     .reply("200 ok")
                     .command("RETR big", "150 go")
                     .dataConnect()
                     .dataSend("0123456789")
                     .dataClose()
                     .reply("226 done"));
    ASSERT_EQ(Connect(server), FTP_OK);
    WriteFile(dir.path("part"), "0123");
    int32_t file = PlatFileOpen(dir.path("part").c_str(), PLAT_OF_WRITE);
    ASSERT_EQ(PlatFileSeek(file, 4, PLAT_FILE_BEGIN), 4);
    EXPECT_EQ(FtpRestartRecvFile("big", file, 'I', 4, key), FTP_COMMAND_NOT_EXECUTED);
    EXPECT_EQ(FtpRecvFile("big", dir.path("whole").c_str(), 'I', key), FTP_OK);
    EXPECT_EQ(ReadFile(dir.path("whole")), "0123456789");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, AbortBeforeTheTransferStartsSendsNothing) {
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario().reply("220 ready").command("PWD", "257 \"/\""));
    ASSERT_EQ(Connect(server), FTP_OK);
    FtpBeginOperation(key);  // as the script side does before it starts the worker
    EXPECT_EQ(FtpCancel(key), 1);
    EXPECT_EQ(FtpRecvFile("big", dir.path("big").c_str(), 'I', key), FTP_ABORTED);
    FtpEndOperation(key);
    // A cancellation while nothing runs changes nothing.
    EXPECT_EQ(FtpCancel(key), 1);
    char directory[64] = {};
    EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
    EXPECT_EQ(server.lines().size(), 1u);
}

TEST_F(EngineTest, CancelDuringUploadAbortsIt) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(400000));
    session->pauseMilliseconds = 20;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "STOR up", "150 go")
                     .dataConnect()
                     .dataReceive(true)
                     .expectAbort({"426 aborted", "226 ok"})
                     .dataClose());
    ASSERT_EQ(Connect(server), FTP_OK);
    auto worker = std::async(std::launch::async, [&] {
        return FtpSendFile(dir.path("up").c_str(), "up", 'I', key);
    });
    ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
    EXPECT_EQ(FtpCancel(key), 1);
    ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(worker.get(), FTP_ABORTED);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, AborRepetitionIsBounded) {
    TempDir dir;
    session->connection.timeoutSeconds = 1;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect()
                     .dataSend("x")
                     .expectAbort({"500 no"})
                     .expectAbort({"500 no"}, false)
                     .expectAbort({"500 no"}, false)
                     .expectAbort({"500 no"}, false)
                     .expectAbort({"500 no", "500 still no"}, false)
                     .dataClose()
                     .stall(1500ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    // The stalled data connection times out after one second and starts the abort.
    EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.aborCount(), 5);
}

TEST_F(EngineTest, FailedLocalReadAbortsTheUploadInsteadOfFinishingIt) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(10000));
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "STOR up", "150 go")
                     .dataConnect()
                     .dataReceive(true)
                     .expectAbort({"426 aborted", "226 ok"}));
    ASSERT_EQ(Connect(server), FTP_OK);
    PlatSetFaults({.failFileReads = 1});
    EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), FTP_CANNOT_OPEN_FILE);
    PlatSetFaults({});
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.aborCount(), 1);
}

TEST_F(EngineTest, UploadWhoseFileChangesSizeWhileReadFailsAndAborts) {
    for (bool shrink : {true, false}) {
        TempDir dir;
        WriteFile(dir.path("up"), PatternBytes(100000));
        session->blocksPerPauseAlone = 1;
        session->pauseMilliseconds = 50;
        FtpResetCounters(key);
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "STOR up", "150 go")
                         .dataConnect()
                         .dataReceive(true)
                         .expectAbort({"426 aborted", "226 ok"}));
        ASSERT_EQ(Connect(server), FTP_OK);
        auto worker = std::async(std::launch::async, [&] {
            return FtpSendFile(dir.path("up").c_str(), "up", 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
        if (shrink) {
            std::filesystem::resize_file(dir.path("up"), 1000);
        } else {
            std::ofstream(dir.path("up"), std::ios::app | std::ios::binary) << "more";
        }
        ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(worker.get(), FTP_CANNOT_OPEN_FILE) << shrink;
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_EQ(server.aborCount(), 1);
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, FailedDataSendAbortsSoThatTheServerSaysHowTheTransferEnded) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(10000));
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "STOR up", "150 go")
                     .dataConnect()
                     .dataReceive(true)
                     .expectAbort({"426 broken", "226 ok"})
                     .command("NOOP", "200 own reply"));
    ASSERT_EQ(Connect(server), FTP_OK);
    PlatSetFaults({.failSends = 1, .sendsToPass = 3});  // TYPE, PORT and STOR go through
    EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), FTP_SEND_FAILED);
    PlatSetFaults({});
    EXPECT_EQ(session->connection.dataSocket.load(), -1);
    EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), 200);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, UploadToAServerThatStopsReadingEndsWith2005) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(32 << 20));
    session->connection.timeoutSeconds = 1;
    session->pauseMilliseconds = 0;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "STOR up", "150 go").dataConnect().stall(8000ms));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), FTP_SEND_FAILED);
    EXPECT_LT(FtpBytesTransferred(key), 32 << 20);
}

TEST_F(EngineTest, CancelledReplyIsReadAwayBeforeTheNextCommand) {
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .expect("CWD slow")
                     .stall(500ms)
                     .reply("250 too late")
                     .command("NOOP", "200 in step")
                     .command("PWD", "257 \"/slow\""));
    session->connection.timeoutSeconds = 30;
    ASSERT_EQ(Connect(server), FTP_OK);
    auto start = std::chrono::steady_clock::now();
    auto cwd = std::async(std::launch::async, [&] { return FtpCWD("slow", key); });
    ASSERT_TRUE(WaitFor([&] { return server.lines().size() == 1; }));
    FtpCancel(key);  // once: it stays in force until the operation ends
    ASSERT_EQ(cwd.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(cwd.get(), FTP_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // far below the 30 s time-out
    char directory[64] = {};
    EXPECT_EQ(FtpPWD(directory, sizeof directory, key), FTP_OK);
    EXPECT_STREQ(directory, "/slow");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.ok()) << server.report();
}

TEST_F(EngineTest, CancelReachesOnlyItsOwnSession) {
    int32_t otherKey = key + 50000;
    ASSERT_EQ(FtpCreateSession(nullptr, otherKey), FTP_OK);
    ScriptedServer mine, other;
    mine.start(Scenario().reply("220 ready").expect("CWD a").stall(1500ms).reply("250 late"));
    other.start(Scenario().reply("220 ready").expect("CWD b").stall(800ms).reply("250 on time"));
    ASSERT_EQ(Connect(mine), FTP_OK);
    FtpFindSession(otherKey)->connection.port = other.port();
    ASSERT_EQ(FtpConnect("127.0.0.1", otherKey), FTP_OK);
    auto a = std::async(std::launch::async, [&] { return FtpCWD("a", key); });
    auto b = std::async(std::launch::async, [&] { return FtpCWD("b", otherKey); });
    while (a.wait_for(20ms) != std::future_status::ready) {
        FtpCancel(key);
    }
    EXPECT_EQ(a.get(), FTP_ABORTED);
    EXPECT_EQ(b.get(), 0);  // the other session's reply read was not touched
    FtpDisconnect(otherKey);
    EXPECT_EQ(FtpDestroySession(otherKey), FTP_OK);
}

TEST_F(EngineTest, DestroyingTheSessionDuringADownloadIsRefusedAndEndsTheReceive) {
    TempDir dir;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR big", "150 go")
                     .dataConnect()
                     .dataSend("first")
                     .expectAbort({"426 broken", "226 aborted"})
                     .dataClose());
    ASSERT_EQ(Connect(server), FTP_OK);
    auto worker = std::async(std::launch::async, [&] {
        return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
    });
    ASSERT_TRUE(WaitFor([&] {
        return FtpBytesTransferred(key) > 0 && PlatIsBlocking(session->cancelTarget);
    }));
    // The worker waits for more data: the session cannot go, and the waiting receive is
    // cancelled, which ends the download as a failed receive.
    EXPECT_EQ(FtpDestroySession(key), FTP_SESSION_STILL_ACTIVE);
    ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(worker.get(), FTP_DATA_CONNECTION_FAILED);
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_EQ(server.aborCount(), 1);
    EXPECT_EQ(ReadFile(dir.path("big")), "first");
}

TEST_F(EngineTest, CancelBetweenOperationsSetsNothing) {
    ScriptedServer server;
    server.start(Scenario().reply("220 ready"));
    ASSERT_EQ(Connect(server), FTP_OK);
    EXPECT_EQ(FtpCancel(key), 1);
    EXPECT_EQ(session->abortRequested.load(), 0);
    EXPECT_EQ(FtpCancel(key + 100000), 0);
}

// Uploads twenty full blocks with a 150 ms pause and measures the time: alone, the session
// pauses after every 10th block (2 pauses); with a second session alive, after every 3rd (6).
TEST_F(EngineTest, PauseRhythmDependsOnOtherSessions) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(20 * 4096));
    session->pauseMilliseconds = 150;
    auto timedUpload = [&] {
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "STOR up", "150 go")
                         .dataConnect()
                         .dataReceive()
                         .reply("226 ok"));
        EXPECT_EQ(Connect(server), FTP_OK);
        session->blockCount = 0;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), 0);
        auto elapsed = std::chrono::steady_clock::now() - start;
        FtpDisconnect(key);
        session->connection.currentType = 0;
        return elapsed;
    };
    auto alone = timedUpload();
    ASSERT_EQ(FtpCreateSession(nullptr, key + 70000), FTP_OK);
    auto shared = timedUpload();
    EXPECT_EQ(FtpDestroySession(key + 70000), FTP_OK);
    EXPECT_GE(alone, 300ms);
    EXPECT_LT(alone, 900ms);
    EXPECT_GE(shared, 900ms);
    EXPECT_EQ(session->blockCount, 20u);
}

TEST_F(EngineTest, BlockCountRunsOnAcrossTransfers) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(5 * 4096));
    for (int i = 0; i < 2; ++i) {
        ScriptedServer server;
        server.start(TransferStart(i == 0 ? "TYPE I" : "", "STOR up", "150 go")
                         .dataConnect()
                         .dataReceive()
                         .reply("226 ok"));
        ASSERT_EQ(Connect(server), FTP_OK);
        session->connection.currentType = i == 0 ? 0 : 'I';
        EXPECT_EQ(FtpSendFile(dir.path("up").c_str(), "up", 'I', key), 0);
        FtpDisconnect(key);
    }
    EXPECT_EQ(session->blockCount, 10u);
}

TEST_F(EngineTest, ByteCounterCountsPast32Bits) {
    TempDir dir;
    ScriptedServer server;
    server.start(TransferStart("TYPE I", "RETR f", "150 go")
                     .dataConnect()
                     .dataSend("0123456789")
                     .dataClose()
                     .reply("226 ok"));
    ASSERT_EQ(Connect(server), FTP_OK);
    ASSERT_EQ(FtpStartTransfer(session, dir.path("f").c_str(), LOCAL_OPEN_CREATE, 'I', 0,
                               "RETR f"),
              0);
    session->bytesTransferred = INT32_MAX - 4;
    EXPECT_EQ(FtpRecvLoop(session), 0);
    EXPECT_EQ(session->bytesTransferred.load(), int64_t{INT32_MAX} + 6);
}

}  // namespace
}  // namespace ktest

namespace ktest {
namespace {

// At full speed a download goes from socket to file inside the system where it can. The same
// course as the block loop: a file that cannot take data that way, an abort, a time-out, a full
// device.
TEST_F(EngineTest, FullSpeedDownloadsEndAsTheBlockLoopDoes) {
    ASSERT_EQ(FtpSetOption("throttle", "0", key), FTP_OK);
    TempDir dir;
    auto next = [&] {
        FtpDisconnect(key);
        session->connection.currentType = 0;
        session->bytesTransferred = 0;  // the next wait for progress must see this transfer's
    };
    {
        SCOPED_TRACE("a file opened for appending takes no spliced data: the block loop goes on");
        const std::string bytes = PatternBytes(300000, 9);
        WriteFile(dir.path("a"), "head");
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "RETR a", "150 go")
                         .dataConnect()
                         .dataSend(bytes, {.chunkSize = 10000})
                         .dataClose()
                         .reply("226 done"));
        ASSERT_EQ(Connect(server), FTP_OK);
        const int32_t file = os::OpenForAppending(dir.path("a"));
        ASSERT_GE(file, 0);
        EXPECT_EQ(FtpRestartRecvFile("a", file, 'I', 0, key), FTP_OK);
        EXPECT_TRUE(ReadFile(dir.path("a")) == "head" + bytes);
        EXPECT_EQ(FtpBytesTransferred(key), 300000);
        ASSERT_TRUE(server.waitDone()) << server.report();
        next();
    }
    {
        SCOPED_TRACE("abort during a download");
        ScriptedServer server;
        server.start(DownloadUntilAbort()
                         .expectAbort({"426 transfer aborted", "226 abort successful"})
                         .dataClose()
                         .command("NOOP", "200 own reply"));
        ASSERT_EQ(Connect(server), FTP_OK);
        auto worker = std::async(std::launch::async, [&] {
            return FtpRecvFile("big", dir.path("big").c_str(), 'I', key);
        });
        ASSERT_TRUE(WaitFor([&] { return FtpBytesTransferred(key) > 0; }));
        EXPECT_EQ(FtpCancel(key), 1);
        ASSERT_EQ(worker.wait_for(1s), std::future_status::ready);
        EXPECT_EQ(worker.get(), FTP_ABORTED);
        EXPECT_EQ(FtpCommand("NOOP", nullptr, 0, key), 200);
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        next();
    }
    {
        SCOPED_TRACE("a stalled data connection times out");
        session->connection.timeoutSeconds = 1;
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "RETR f", "150 go")
                         .dataConnect()
                         .dataSend("first part")
                         .expectAbort({"426 broken", "226 aborted"})
                         .dataClose());
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpRecvFile("f", dir.path("f").c_str(), 'I', key), FTP_DATA_CONNECTION_FAILED);
        EXPECT_EQ(ReadFile(dir.path("f")), "first part");
        ASSERT_TRUE(server.waitDone()) << server.report();
        next();
    }
    {
        SCOPED_TRACE("a full device");
        ScriptedServer server;
        server.start(TransferStart("TYPE I", "RETR f", "150 go")
                         .dataConnect()
                         .dataSend(PatternBytes(20000), {.stopOnControlInput = true})
                         .expectAbort({"426 broken", "226 aborted"})
                         .dataClose());
        ASSERT_EQ(Connect(server), FTP_OK);
        EXPECT_EQ(FtpRecvFile("f", "/dev/full", 'I', key), FTP_CANNOT_WRITE_FILE);
        EXPECT_EQ(FtpBytesTransferred(key), 0);
        ASSERT_TRUE(server.waitDone()) << server.report();
    }
}

}  // namespace
}  // namespace ktest
