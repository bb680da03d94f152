// The trace and the hex dump, byte for byte as they reach the debugger output.

#include <regex>

#include "net_test_helpers.h"

namespace {

using namespace nettest;

class TraceTest : public NetTest {};

TEST_F(TraceTest, WritesNothingAtAllWhenMaskIsClear) {
    DebugCapture capture;
    {
        SocketPair pair;
        SendText(pair.client, "220 Ready\r\n");
        char reply[64];
        EXPECT_EQ(TnReadAnswerCode(pair.server, reply, sizeof reply, 5, -1), 220);
        EXPECT_EQ(TnSend(pair.server, "NOOP", 0, -1), NET_OK);
        EXPECT_EQ(TcpRecv(pair.server, reply, sizeof reply, -1, -1), NET_TIMEOUT);
        EXPECT_EQ(TcpFlush(pair.client), 1);
        PlatSetLastSocketError(PLAT_WSAECONNRESET);
        NetTrace(TRACE_ERROR, "forced %d", 1);
        NetDump("abc", 3, "<");
        EXPECT_EQ(NetAtoi("226"), 226);
    }
    LoopbackListener closed;
    uint16_t port = closed.port;
    closed.Close();
    int32_t s = -1;
    EXPECT_EQ(TcpConnect(&s, "127.0.0.1", nullptr, &port), NET_CONNECT_FAILED);
    EXPECT_TRUE(capture.Pieces().empty());
}

TEST_F(TraceTest, EachCategoryWritesItsPrefix) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ALL);
    NetTrace(TRACE_CALL, "a %d", 1);
    NetTrace(TRACE_LOOKUP, "b %s", "x");
    NetTrace(TRACE_INTERNAL, "c %u", 7u);
    NetTrace(TRACE_ENTER, "d");
    NetTrace(TRACE_EXIT, "e");
    PlatSetLastSocketError(PLAT_WSAECONNRESET);
    NetTrace(TRACE_ERROR, "f");
    NetTrace(4, "g");  // not a category of the table: no prefix
    const std::string p = ThreadPrefix();
    EXPECT_EQ(
        capture.Pieces(),
        (std::vector<std::string>{p + "calling a 1\r\n", p + "calling b x\r\n",
                                  p + "internal c 7\r\n", p + "entering d\r\n", p + "exiting e\r\n",
                                  p + "Error 10054 during f\r\n", p + "g\r\n"}));
}

TEST_F(TraceTest, OnlySelectedCategoriesAreWritten) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ENTER);
    NetTrace(TRACE_EXIT, "exit");
    NetTrace(TRACE_ERROR, "error");
    NetDump("abc", 3, "<");
    NetTrace(TRACE_ENTER, "enter");
    EXPECT_EQ(capture.Pieces(), std::vector<std::string>{ThreadPrefix() + "entering enter\r\n"});
}

TEST_F(TraceTest, LongLineIsCutToFiveHundredElevenCharacters) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ALL);
    const std::string text(600, 'x');
    NetTrace(TRACE_CALL, "%s", text.c_str());
    const std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), 1u);
    const std::string start = ThreadPrefix() + "calling ";
    EXPECT_EQ(pieces[0], start + std::string(511 - 2 - start.size(), 'x') + "\r\n");
}

TEST_F(TraceTest, ReceiveTimeoutWithErrorsOnlyWritesOneLine) {
    SocketPair pair;
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ERROR);
    PlatSetLastSocketError(PLAT_WSAETIMEDOUT);
    char buffer[16];
    EXPECT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, -1, -1), NET_TIMEOUT);
    EXPECT_EQ(capture.Pieces(),
              std::vector<std::string>{ThreadPrefix() + "Error 10060 during select on socket " +
                                       std::to_string(pair.server) + ": Timeout\r\n"});
}

TEST_F(TraceTest, ReceiveWritesEntryCallsDumpAndExit) {
    SocketPair pair;
    SendText(pair.client, "hi");
    WaitArrived(pair.server);
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ALL);
    char buffer[16];
    ASSERT_EQ(TcpRecv(pair.server, buffer, sizeof buffer, 5, -1), 2);
    const std::string p = ThreadPrefix();
    const std::string s = std::to_string(pair.server);
    EXPECT_EQ(capture.Pieces(),
              (std::vector<std::string>{
                  p + "entering TcpRecv on socket " + s + ". Timeout 5, bufsize 16\r\n",
                  p + "calling select on socket " + s + "\r\n",
                  p + "calling recv socket " + s + ", buffer 16 bytes\r\n",
                  "< 68 69 " + std::string(46, ' ') + "hi\r\n", p + "exiting TcpRecv\r\n"}));
}

TEST_F(TraceTest, CommandLineSendWritesStepsDumpAndResult) {
    SocketPair pair;
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ALL);
    ASSERT_EQ(TnSend(pair.client, "NOOP", 0, -1), NET_OK);
    const std::string p = ThreadPrefix();
    const std::string s = std::to_string(pair.client);
    EXPECT_EQ(capture.Pieces(), (std::vector<std::string>{
                                    p + "entering TnSend\r\n",
                                    p + "calling send on socket " + s + ". 6 bytes to be sent\r\n",
                                    p + "exiting TcpSend\r\n",
                                    "> 4E 4F 4F 50 0D 0A " + std::string(34, ' ') + "NOOP..\r\n",
                                    p + "exiting TnSend : return code 1\r\n"}));
}

TEST_F(TraceTest, DumpLinesKeepTheCharacterColumnInPlace) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_DUMP);
    NetDump("0123456789ABCDEFGHIJ", 20, "<");
    NetDump("01234567", 8, "<");
    const std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0],
              "< 30 31 32 33 34 35 36 37 - 38 39 41 42 43 44 45 46   0123456789ABCDEF\r\n");
    EXPECT_EQ(pieces[1], "< 47 48 49 4A " + std::string(40, ' ') + "GHIJ\r\n");
    EXPECT_EQ(pieces[2], "< 30 31 32 33 34 35 36 37 " + std::string(28, ' ') + "01234567\r\n");
    const size_t column = pieces[0].find("0123");
    EXPECT_EQ(pieces[1].find("GHIJ"), column);
    EXPECT_EQ(pieces[2].find("0123"), column);
}

TEST_F(TraceTest, DumpOfEmptyOddAndLabelledData) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_DUMP);
    NetDump("", 0, "<");
    NetDump("", 0, nullptr);
    const unsigned char odd[] = {0x00, 0x7F, 0x80, 0x0D, 0x20, 0x7E};
    NetDump(odd, sizeof odd, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    NetDump("x", 1, nullptr);
    NetDump("abc", -1, "<");
    EXPECT_EQ(capture.Pieces(),
              (std::vector<std::string>{
                  "< Empty Message\r\n", " Empty Message\r\n",
                  "ABCDEFGHIJKLMNOPQRS 00 7F 80 0D 20 7E " + std::string(34, ' ') + ".... ~\r\n",
                  " 78 " + std::string(49, ' ') + "x\r\n"}));
}

TEST_F(TraceTest, LinesOfParallelThreadsStayWhole) {
    DebugCapture capture;
    TraceMaskScope mask(TRACE_ALL);
    constexpr int LINES = 200;
    auto work = [] {
        for (int i = 0; i < LINES; ++i) {
            NetTrace(TRACE_CALL, "line %d of a thread", i);
            NetDump("0123456789abcdefXYZ", 19, "<");
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    const std::regex traceLine("Proc -?[0-9]+\tcalling line [0-9]+ of a thread\r\n");
    const std::string dumpFirst =
        "< 30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66   0123456789abcdef\r\n";
    const std::string dumpSecond = "< 58 59 5A " + std::string(43, ' ') + "XYZ\r\n";
    const std::vector<std::string> pieces = capture.Pieces();
    ASSERT_EQ(pieces.size(), static_cast<size_t>(2 * LINES * 3));
    for (const std::string& piece : pieces) {
        EXPECT_TRUE(std::regex_match(piece, traceLine) || piece == dumpFirst || piece == dumpSecond)
            << piece;
    }
}

}  // namespace
