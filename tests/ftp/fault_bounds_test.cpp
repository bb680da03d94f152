// Faults of the server and of its connections end every transfer within a second of what the
// time-out allows, in both modes, with the code that names the fault; and a name look-up that
// outlasts the time-out ends with its own code.

#include <algorithm>
#include <functional>
#include <vector>

#include "engine_fixture.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Where a case's bound counts from: the last byte counted, or the first (the server's fault
// comes right after its first bytes, or right after its 150 for an upload).
enum class From { LastProgress, FirstProgress };

struct FaultCase {
    const char* name;
    bool upload;
    size_t bytes;                           // sent by the server before its fault (downloads)
    std::function<void(Scenario&)> fault;   // what the server does then
    std::vector<int32_t> expected;          // one of these
    From from;
    std::chrono::milliseconds bound;
};

// The server's side up to the open data connection: the greeting, TYPE I, PORT or EPSV, and the
// transfer command with its 150.
Scenario TransferUnderway(bool passive, const std::string& command) {
    Scenario s;
    s.reply("220 ready").command("TYPE I", "200 type set");
    if (passive) {
        s.expect("EPSV").passiveListen("229 ok (|||{port}|)").command(command, "150 go");
        s.passiveAccept();
    } else {
        s.expectPrefix("PORT ").reply("200 PORT ok").command(command, "150 go").dataConnect();
    }
    return s;
}

TEST_F(EngineTest, FaultsEndTheTransferWithinTheTimeoutAndASecond) {
    TempDir dir;
    WriteFile(dir.path("up"), PatternBytes(32 << 20));
    // Downloads read at a slow pace, 4 KiB every 250 ms, so that the 64 KiB a server sent take
    // 4 s to drain; uploads fill the buffers at once.
    const auto pace = [this](bool upload) {
        session->blocksPerPauseAlone = session->blocksPerPauseShared = 1;
        session->pauseMilliseconds = upload ? 0 : 250;
    };
    const FaultCase cases[] = {
        // Stopped server: nothing more on either connection, both stay open.
        {"download stalls", false, 4096, [](Scenario& s) { s.stall(15s); },
         {FTP_DATA_CONNECTION_FAILED}, From::LastProgress, 2000ms},
        {"upload stalls", true, 0, [](Scenario& s) { s.stall(15s); }, {FTP_SEND_FAILED},
         From::LastProgress, 2000ms},
        // A server that went away: its data would take 4 s to drain at the paced rate. The
        // bound counts from the first byte, before the server's close, and leaves room for a
        // busy machine.
        {"server closes both connections", false, 65536,
         [](Scenario& s) { s.closeControl().dataClose(); }, {FTP_NOT_CONNECTED},
         From::FirstProgress, 2000ms},
        {"server resets both connections", false, 65536,
         [](Scenario& s) { s.dataReset().resetControl(); },
         {FTP_DATA_CONNECTION_FAILED, FTP_NOT_CONNECTED}, From::FirstProgress, 2000ms},
        {"server closes both connections during an upload", true, 0,
         [](Scenario& s) { s.closeControl().dataClose(); }, {FTP_SEND_FAILED}, From::FirstProgress,
         1000ms},
    };
    for (bool passive : {false, true}) {
        for (const FaultCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (passive ? ", passive" : ", active"));
            session->connection.timeoutSeconds = 1;
            session->connection.passive = passive;
            pace(c.upload);
            Scenario s = TransferUnderway(passive, c.upload ? "STOR up" : "RETR down");
            if (!c.upload) {
                s.dataSend(PatternBytes(c.bytes));
            }
            c.fault(s);
            ScriptedServer server;
            server.start(s);
            ASSERT_EQ(Connect(server), FTP_OK);
            const auto start = Clock::now();
            auto transfer = std::async(std::launch::async, [&] {
                return c.upload ? FtpSendFile(dir.path("up").c_str(), "up", 'I', key)
                                : FtpRecvFile("down", dir.path("down").c_str(), 'I', key);
            });
            // Polls the counter for the moment of the last progress, bounded.
            int64_t seen = 0;
            auto lastProgress = start;
            auto firstProgress = start;
            while (transfer.wait_for(2ms) != std::future_status::ready) {
                if (Clock::now() - start > 20s) {
                    ADD_FAILURE() << "the transfer never ended";
                    FtpCancel(key);
                    transfer.wait();
                    break;
                }
                if (const int64_t now = FtpBytesTransferred(key); now != seen) {
                    if (seen == 0) {
                        firstProgress = Clock::now();
                    }
                    seen = now;
                    lastProgress = Clock::now();
                }
            }
            const auto ended = Clock::now();
            const int32_t result = transfer.get();
            EXPECT_NE(std::find(c.expected.begin(), c.expected.end(), result), c.expected.end())
                << result;
            const auto since =
                ended - (c.from == From::FirstProgress ? firstProgress : lastProgress);
            EXPECT_LT(since, c.bound) << std::chrono::duration_cast<std::chrono::milliseconds>(
                                             since).count()
                                      << " ms";
            FtpDisconnect(key);
        }
    }
}

TEST_F(EngineTest, LookupThatOutlastsTheTimeoutEndsWith2011) {
    // The look-up alone takes longer than the time-out, which it shares with the connect.
    session->connection.timeoutSeconds = 1;
    PlatSetFaults({.slowLookups = 1});
    const auto start = Clock::now();
    EXPECT_EQ(FtpConnect("localhost", key), FTP_LOOKUP_TIMEOUT);
    EXPECT_LT(Clock::now() - start, 1500ms);
    PlatSetFaults({});
}

}  // namespace
}  // namespace ktest
