// Whole jobs against the scripted server: a binary download that ends with another count than
// announced fails, a lost connection is tried again and resumed, and the verify option checks
// the server's view of the file.

#include <string>
#include <vector>

#include "checksum.h"
#include "engine_fixture.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

// The greeting and the login that every connection of these scenarios starts with.
Scenario& Login(Scenario& s) {
    return s.reply("220 ready").command("USER u", "331 password").command("PASS p", "230 in");
}

// Active data connection set-up: PORT and its reply.
Scenario& Port(Scenario& s) {
    return s.expectPrefix("PORT 127,0,0,1,").reply("200 PORT ok");
}

constexpr const char* kFeatures = "211-features\r\n SIZE\r\n211 end";

std::string Detail(int32_t key) {
    char text[256];
    FtpResultDetail(text, sizeof text, key);
    return text;
}

TEST_F(EngineTest, BinaryDownloadsEndWithTheAnnouncedCountOrFailNamingBoth) {
    struct Case {
        const char* name;
        char type;
        int64_t position;     // restart position, 0 for a plain download
        const char* size;     // SIZE's reply with the features option, "" for none
        const char* opening;  // the 150 reply
        size_t sent;          // bytes the server sends
        int32_t code;
        const char* detail;
    };
    const Case cases[] = {
        {"short", 'I', 0, "", "150 opening (10 bytes)", 4, 2010,
         "Transfer ended short: 4 of 10 bytes"},
        {"long", 'I', 0, "", "150 opening (4 bytes)", 10, 2010,
         "Transfer ended long: 10 bytes where 4 were announced"},
        {"whole", 'I', 0, "", "150 opening (10 bytes)", 10, 0, ""},
        {"ascii is exempt", 'A', 0, "", "150 opening (10 bytes)", 4, 0, ""},
        {"no size at all", 'I', 0, "", "150 opening", 4, 0, ""},
        {"rest, whole size", 'I', 6, "", "150 opening (10 bytes)", 4, 0, ""},
        {"rest, rest's size", 'I', 6, "", "150 opening (4 bytes)", 4, 0, ""},
        {"rest, short", 'I', 6, "", "150 opening (10 bytes)", 2, 2010,
         "Transfer ended short: 8 of 10 bytes"},
        {"SIZE short", 'I', 0, "213 10", "150 opening", 4, 2010,
         "Transfer ended short: 4 of 10 bytes"},
        {"SIZE whole", 'I', 0, "213 10", "150 opening", 10, 0, ""},
    };
    const std::string whole = PatternBytes(10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Scenario s;
        s.reply("220 ready");
        if (c.size[0] != '\0') {
            s.command("FEAT", "211-features\r\n SIZE\r\n211 end")
                .command("TYPE I", "200 ok")
                .command("SIZE f", c.size);
        } else if (c.type == 'I') {
            s.command("TYPE I", "200 ok");
        }
        Port(s);
        if (c.position > 0) {
            s.command("REST " + std::to_string(c.position), "350 ok");
        }
        s.command("RETR f", c.opening)
            .dataConnect()
            .dataSend(whole.substr(static_cast<size_t>(c.position), c.sent))
            .dataClose()
            .reply("226 done");
        server.start(s);
        ASSERT_EQ(Connect(server), FTP_OK);
        session->connection.featuresWanted = c.size[0] != '\0';
        TempDir dir;
        const std::string local = dir.path("f");
        int32_t result;
        if (c.position > 0) {
            WriteFile(local, whole.substr(0, static_cast<size_t>(c.position)));
            const int32_t file = PlatFileOpen(local.c_str(), PLAT_OF_WRITE);
            PlatFileSeek(file, c.position, PLAT_FILE_BEGIN);
            result = FtpRestartRecvFile("f", file, c.type, c.position, key);
        } else {
            result = FtpRecvFile("f", local.c_str(), c.type, key);
        }
        EXPECT_EQ(result, c.code);
        EXPECT_EQ(Detail(key), c.detail);
        // What came is kept as it came, ready to be resumed.
        EXPECT_EQ(ReadFile(local), whole.substr(0, static_cast<size_t>(c.position) + c.sent));
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, LostConnectionsAreTriedAgainAndResumedWhereTheyStopped) {
    const std::string whole = PatternBytes(10);
    // RETR answered with 150 and bytes on a new data connection, which then closes.
    auto serve = [](Scenario& s, const std::string& bytes) -> Scenario& {
        return s.command("RETR f", "150 opening (10 bytes)")
            .dataConnect()
            .dataSend(bytes)
            .dataClose();
    };
    // An upload whose both connections are cut once its data arrived, then the login again and
    // the server's size of what it kept.
    auto cutUpload = [](Scenario& s, const std::string& size) -> Scenario& {
        s.command("TYPE I", "200 ok");
        Port(s)
            .command("STOR f", "150 go")
            .dataConnect()
            .dataReceive()
            .resetControl()
            .acceptControl();
        return Login(s)
            .command("FEAT", kFeatures)
            .command("TYPE I", "200 ok")
            .command("SIZE f", size);
    };
    struct Case {
        const char* name;
        bool upload;
        int32_t retries;
        std::function<void(Scenario&)> play;  // everything after the first login
        int32_t code;
        const char* detail;
        std::string received;  // what the server must have received on data connections
    };
    const Case cases[] = {
        {"download cut with both connections: REST from the bytes written", false, 3,
         [&](Scenario& s) {
             s.command("TYPE I", "200 ok");
             serve(Port(s), whole.substr(0, 4)).resetControl().acceptControl();
             Login(s).command("TYPE I", "200 ok");
             serve(Port(s).command("REST 4", "350 ok"), whole.substr(4)).reply("226 done");
         },
         0, "OK (2 attempts)", ""},
        {"download ended by 451 on a connection still in step: tried again on it", false, 1,
         [&](Scenario& s) {
             s.command("TYPE I", "200 ok");
             serve(Port(s), whole.substr(0, 3)).reply("451 local error");
             serve(Port(s).command("REST 3", "350 ok"), whole.substr(3)).reply("226 done");
         },
         0, "OK (2 attempts)", ""},
        {"upload resumed from the server's size with REST and STOR", true, 3,
         [&](Scenario& s) {
             Port(cutUpload(s, "213 4"))
                 .command("REST 4", "350 ok")
                 .command("STOR f", "150 go")
                 .dataConnect()
                 .dataReceive()
                 .reply("226 done");
         },
         0, "OK (2 attempts)", whole + whole.substr(4)},
        {"upload whose REST is refused goes on with APPE", true, 3,
         [&](Scenario& s) {
             Port(cutUpload(s, "213 6")).command("REST 6", "502 no REST here");
             Port(s).command("APPE f", "150 go").dataConnect().dataReceive().reply("226 done");
         },
         0, "OK (2 attempts)", whole + whole.substr(6)},
        {"a refused login on the way back ends the job", false, 3,
         [&](Scenario& s) {
             s.command("TYPE I", "200 ok");
             Port(s)
                 .command("RETR f", "150 opening")
                 .dataConnect()
                 .dataReset()
                 .resetControl()
                 .acceptControl();
             s.reply("220 ready")
                 .command("USER u", "331 password")
                 .command("PASS p", "530 not any more");
         },
         1009, "Server rejected user ID/Password (2 attempts)", ""},
        {"a permanent refusal is not tried again", false, 3,
         [&](Scenario& s) {
             s.command("TYPE I", "200 ok");
             Port(s).command("RETR f", "550 no such file");
         },
         1010, "", ""},
        {"without retries a lost connection ends the job", false, 0,
         [&](Scenario& s) {
             s.command("TYPE I", "200 ok");
             Port(s).command("RETR f", "150 opening").dataConnect().dataReset().resetControl();
         },
         2006, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Scenario s;
        Login(s);
        c.play(s);
        server.start(s);
        session->connection.port = server.port();
        session->retries = c.retries;
        session->retryDelayMs = 0;
        ASSERT_EQ(FtpLogin("127.0.0.1", "u", "p", key), FTP_OK);
        TempDir dir;
        const std::string local = dir.path("f");
        if (c.upload) {
            WriteFile(local, whole);
        }
        const int32_t result = c.upload ? FtpSendFile(local.c_str(), "f", 'I', key)
                                        : FtpRecvFile("f", local.c_str(), 'I', key);
        EXPECT_EQ(result, c.code);
        EXPECT_EQ(Detail(key), c.detail);
        if (c.code == FTP_OK) {
            if (c.upload) {
                EXPECT_EQ(server.dataReceived(), c.received);
            } else {
                EXPECT_EQ(ReadFile(local), whole);
            }
            // The counters speak of the whole file, never of the last attempt alone.
            EXPECT_EQ(FtpBytesTransferred(key), 10);
        }
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, VerifyComparesTheServersSizeAndChecksumAndSaysWhichCheckRan) {
    const std::string whole = PatternBytes(10);
    FtpDigest sha256(FtpDigestKind::Sha256);
    sha256.update(whole.data(), whole.size());
    struct Case {
        const char* name;
        int32_t level;
        const char* features;
        std::vector<std::pair<std::string, std::string>> exchanges;  // after FEAT
        int32_t code;
        std::string detail;
    };
    const std::string sizeAndHash = "211-x\r\n SIZE\r\n HASH SHA-1*;SHA-256;MD5\r\n211 end";
    const Case cases[] = {
        {"sizes agree", 1, kFeatures, {{"SIZE f", "213 10"}}, 0, "OK, verified by SIZE"},
        {"sizes differ",
         1,
         kFeatures,
         {{"SIZE f", "213 9"}},
         3006,
         "Transfer verification failed: the server's size is 9 bytes, ours 10"},
        {"no SIZE offered",
         1,
         "211-x\r\n MDTM\r\n211 end",
         {},
         0,
         "OK, not verified: the server tells no size"},
        {"HASH, the strongest chosen",
         2,
         sizeAndHash.c_str(),
         {{"SIZE f", "213 10"},
          {"OPTS HASH SHA-256", "200 SHA-256"},
          {"HASH f", "213 SHA-256 0-10 " + sha256.hexLower() + " f"}},
         0,
         "OK, verified by SIZE and SHA-256"},
        {"XCRC differs",
         2,
         "211-x\r\n SIZE\r\n XCRC\r\n211 end",
         {{"SIZE f", "213 10"}, {"XCRC f", "250 0badf00d"}},
         3006,
         ""},
        {"no checksum offered",
         2,
         kFeatures,
         {{"SIZE f", "213 10"}},
         0,
         "OK, verified by SIZE; the server offers no checksum"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Scenario s;
        s.reply("220 ready").command("TYPE I", "200 ok");
        Port(s).command("STOR f", "150 go").dataConnect().dataReceive().reply("226 done");
        s.command("FEAT", c.features);
        for (const auto& [line, reply] : c.exchanges) {
            s.command(line, reply);
        }
        server.start(s);
        ASSERT_EQ(Connect(server), FTP_OK);
        session->verify = c.level;
        TempDir dir;
        WriteFile(dir.path("f"), whole);
        EXPECT_EQ(FtpSendFile(dir.path("f").c_str(), "f", 'I', key), c.code);
        if (!c.detail.empty()) {
            EXPECT_EQ(Detail(key), c.detail);
        } else {
            EXPECT_EQ(Detail(key).rfind(
                          "Transfer verification failed: the server's CRC32 is 0badf00d", 0),
                      0u)
                << Detail(key);
        }
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, AutoPositionResumesAnUploadFromWhatTheServerHolds) {
    const std::string whole = PatternBytes(10);
    struct Case {
        const char* name;
        const char* size;  // the reply to SIZE
        const char* rest;  // the REST line expected, "" for none
    };
    const Case cases[] = {
        {"part there", "213 4", "REST 4"},
        {"nothing there", "550 no such file", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Scenario s;
        s.reply("220 ready")
            .command("FEAT", kFeatures)
            .command("TYPE I", "200 ok")
            .command("SIZE f", c.size);
        Port(s);
        if (c.rest[0] != '\0') {
            s.command(c.rest, "350 ok");
        }
        s.command("STOR f", "150 go").dataConnect().dataReceive().reply("226 done");
        server.start(s);
        ASSERT_EQ(Connect(server), FTP_OK);
        TempDir dir;
        const std::string local = dir.path("f");
        WriteFile(local, whole);
        const int32_t file = PlatFileOpen(local.c_str(), PLAT_OF_READ);
        EXPECT_EQ(FtpRestartSendFileFrom(file, local.c_str(), "f", 'I', FTP_POSITION_AUTO, key),
                  FTP_OK);
        const size_t from = c.rest[0] != '\0' ? 4 : 0;
        EXPECT_EQ(server.dataReceived(), whole.substr(from));
        EXPECT_EQ(FtpBytesToBeTransferred(key), static_cast<int64_t>(10 - from));
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

TEST_F(EngineTest, LoginConnectsAgainToAServerThatWasNotReady) {
    struct Case {
        const char* name;
        int32_t retries;
        int32_t busyGreetings;  // greetings of 421 before a 220
        int32_t code;
        const char* detail;
    };
    const Case cases[] = {
        {"ready on the second connect", 2, 1, FTP_OK, "OK (2 attempts)"},
        {"never ready", 1, 2, FTP_ACTION_NOT_TAKEN, "File action was not taken (2 attempts)"},
        {"no retries", 0, 1, FTP_ACTION_NOT_TAKEN, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        Scenario s;
        for (int32_t i = 0; i < c.busyGreetings; ++i) {
            s.reply("421 too many users, try later").closeControl();
            if (i + 1 < c.busyGreetings || c.code == FTP_OK) {
                s.acceptControl();
            }
        }
        if (c.code == FTP_OK) {
            Login(s);
        }
        server.start(s);
        session->connection.port = server.port();
        session->retries = c.retries;
        session->retryDelayMs = 0;
        EXPECT_EQ(FtpLogin("127.0.0.1", "u", "p", key), c.code);
        EXPECT_EQ(Detail(key), c.detail);
        EXPECT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.ok()) << server.report();
        FtpDisconnect(key);
    }
}

}  // namespace
}  // namespace ktest
