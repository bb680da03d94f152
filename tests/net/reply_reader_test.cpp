// Delimited receive and reply reading: what a reply read returns, and exactly which bytes it
// leaves in the socket for the next read.

#include <cstring>
#include <future>

#include "net_test_helpers.h"

namespace {

using namespace nettest;

class ReplyReaderTest : public NetTest {
  protected:
    // Reads one reply from pair_.server into a heap buffer of exactly size bytes, so that the
    // sanitizer sees any access beyond it.
    int32_t ReadReply(int32_t size, int32_t timeout = 5) {
        buffer_.assign(static_cast<size_t>(size), '\x7F');
        return TnReadAnswerCode(pair_.server, buffer_.data(), size, timeout, -1);
    }
    std::string Text() const { return std::string(buffer_.data()); }
    std::string Rest() { return RestAfterClose(pair_.server, &pair_.client); }

    SocketPair pair_;
    std::vector<char> buffer_;
};

TEST_F(ReplyReaderTest, SingleLineReplyGivesCodeAndText) {
    SendText(pair_.client, "220 Service ready\r\n");
    EXPECT_EQ(ReadReply(2048), 220);
    EXPECT_EQ(Text(), "220 Service ready");
}

TEST_F(ReplyReaderTest, MultiLineReplyIsJoinedAndNextReplyStaysInTheSocket) {
    SendText(pair_.client, "230-Welcome\r\n to the server\r\n230 Logged in\r\n200 Next\r\n");
    EXPECT_EQ(ReadReply(2048), 230);
    EXPECT_EQ(Text(), "230-Welcome\n to the server\n230 Logged in");
    EXPECT_EQ(Rest(), "200 Next\r\n");
}

TEST_F(ReplyReaderTest, MultiLineReplyEndsOnlyAtItsOwnCodeAndASpace) {
    SendText(pair_.client,
             "211-Status\r\n1 user logged in\r\n200 is not the end\r\n211-nor this\r\n"
             "2110 nor this\r\n211 End\r\n200 Next\r\n");
    EXPECT_EQ(ReadReply(2048), 211);
    EXPECT_EQ(Text(),
              "211-Status\n1 user logged in\n200 is not the end\n211-nor this\n2110 nor this\n"
              "211 End");
    EXPECT_EQ(Rest(), "200 Next\r\n");
}

TEST_F(ReplyReaderTest, DigitLineEndsAReplyThatDidNotOpenWithAHyphen) {
    SendText(pair_.client, "Hello there\r\n220 Ready\r\n200 Next\r\n");
    EXPECT_EQ(ReadReply(2048), 0);
    EXPECT_EQ(Text(), "Hello there\n220 Ready");
    EXPECT_EQ(Rest(), "200 Next\r\n");
}

TEST_F(ReplyReaderTest, EmptyAndCarriageReturnOnlyLinesAreDropped) {
    SendText(pair_.client, "\r\n250-First\r\n\r\n\n\r\n250 Last\r\n");
    EXPECT_EQ(ReadReply(2048), 250);
    EXPECT_EQ(Text(), "250-First\n250 Last");
}

TEST_F(ReplyReaderTest, LineExactlyAsLongAsTheRoomIsAccepted) {
    // A 16-byte buffer leaves 15 bytes for the line; the CR counts until it is removed.
    SendText(pair_.client, "123 abcdefghijk\n123 abcdefghij\r\n");
    EXPECT_EQ(ReadReply(16), 123);
    EXPECT_EQ(Text(), "123 abcdefghijk");
    EXPECT_EQ(ReadReply(16), 123);
    EXPECT_EQ(Text(), "123 abcdefghij");
}

TEST_F(ReplyReaderTest, LinesLongerThanTheRoomAreReadToTheirEndAndCut) {
    // One long line, then a multi-line reply whose second line does not fit: each reply is read
    // to its end, keeps its beginning, and the next stays in the socket.
    SendText(pair_.client,
             "123 abcdefghijkl\r\n100-abc\r\n100 defghijklmnop\r\n250 " + std::string(3000, 'y') +
                 "\r\n200 Next\r\n");
    EXPECT_EQ(ReadReply(16), 123);
    EXPECT_EQ(Text(), "123 abcdefghijk");
    EXPECT_EQ(ReadReply(16), 100);
    EXPECT_EQ(Text(), "100-abc\n100 def");
    EXPECT_EQ(ReadReply(16), 250);
    EXPECT_EQ(Text(), "250 " + std::string(11, 'y'));
    EXPECT_EQ(Rest(), "200 Next\r\n");
}

TEST_F(ReplyReaderTest, ReplyOfAHundredKilobytesIsReadWholeAndKeepsItsBeginning) {
    std::string reply = "214-The following commands are recognized\r\n";
    for (int i = 0; i < 2000; ++i) {
        reply += " SITE COMMAND" + std::to_string(i) + " with a description of fifty bytes\r\n";
    }
    reply += "214 Help OK\r\n";
    ASSERT_GT(reply.size(), 100000u);
    auto sender = std::async(std::launch::async, [&] { SendText(pair_.client, reply + "NEXT"); });
    EXPECT_EQ(ReadReply(2048), 214);
    sender.get();
    EXPECT_EQ(Text().size(), 2047u);
    EXPECT_EQ(Text().rfind("214-The following", 0), 0u);
    EXPECT_EQ(Rest(), "NEXT");
}

TEST_F(ReplyReaderTest, TinyBufferEndsTheReplyWithoutLookingPastIt) {
    // The second line starts at byte 2 of 4: its fourth byte would lie outside the buffer.
    SendText(pair_.client, "a\n1\n");
    EXPECT_EQ(ReadReply(4), 0);
    EXPECT_EQ(Text(), "a\n1");
}

TEST_F(ReplyReaderTest, LongReplyWhoseTextFitsIsReadWhole) {
    // 100 lines: 2099 bytes on the wire with their CR LF, 1999 of text. Line ends are not text.
    std::string reply;
    for (int i = 0; i < 99; ++i) {
        reply += "214-command list.." + std::string(1, static_cast<char>('a' + i % 26)) + "\r\n";
    }
    reply += "214 end of the list\r\nNEXT";
    SendText(pair_.client, reply);
    WaitArrived(pair_.server);
    EXPECT_EQ(ReadReply(2048, 2), 214);
    EXPECT_EQ(Text().size(), 1999u);
    EXPECT_EQ(Text().substr(Text().size() - 19), "214 end of the list");
    EXPECT_EQ(Rest(), "NEXT");
}

TEST_F(ReplyReaderTest, ReplyThatNeverEndsOverflowsAtItsLimit) {
    // Empty lines and zero bytes take no room in the text, and a line that never ends takes
    // none past the buffer: all of them count against the limit of one reply.
    for (const std::string& unit : {std::string("\r\n"), std::string(32, '\0') + "x\r\n",
                                   std::string(64, 'z')}) {
        SocketPair pair;
        std::string stream;
        while (stream.size() <= NET_REPLY_MAX_BYTES + 4096) {
            stream += unit;
        }
        auto sender = std::async(std::launch::async, [&] {
            SendText(pair.client, stream);
            return true;
        });
        std::vector<char> buffer(64);
        const auto start = Clock::now();
        EXPECT_EQ(TnReadMultiLine(pair.server, buffer.data(), 64, 5, -1), NET_REPLY_OVERFLOW);
        EXPECT_LT(SecondsSince(start), 4.0);
        sender.get();  // what is left fits in the socket's buffers
        const std::string rest = RestAfterClose(pair.server, &pair.client);
        EXPECT_GE(stream.size() - rest.size(), NET_REPLY_MAX_BYTES - 1024);
        EXPECT_LE(stream.size() - rest.size(), static_cast<size_t>(NET_REPLY_MAX_BYTES));
    }
}

TEST_F(ReplyReaderTest, PeerClosingInsideALineGivesClosedAndKeepsThePart) {
    SendText(pair_.client, "220-First\r\n220 par");
    EXPECT_EQ(TcpClose(&pair_.client), NET_OK);
    EXPECT_EQ(ReadReply(2048), NET_CLOSED);
    EXPECT_EQ(Text(), "220-First\n220 par");
}

TEST_F(ReplyReaderTest, TimeOutOfOneSecondAndOfNoWait) {
    auto start = Clock::now();
    EXPECT_EQ(ReadReply(2048, 1), NET_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 3.0);
    start = Clock::now();
    EXPECT_EQ(ReadReply(2048, -1), NET_TIMEOUT);
    EXPECT_LT(SecondsSince(start), 0.5);
}

TEST_F(ReplyReaderTest, EarlierCancellationDoesNotTurnATimeOutIntoOne) {
    PlatSetLastSocketError(PLAT_WSAEINTR);
    EXPECT_EQ(ReadReply(2048, -1), NET_TIMEOUT);
}

TEST_F(ReplyReaderTest, ArgumentsWithoutRoomAreRefused) {
    char buffer[8];
    uint32_t length = 0;
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, buffer, &length, "\n", 1, 1, 1, -1), NET_ERROR);
    length = 0x80000000u;  // a negative size seen as unsigned
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, buffer, &length, "\n", 1, 1, 1, -1), NET_ERROR);
    length = 0xFFFFFFFFu;
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, buffer, &length, "\n", 1, 1, 1, -1), NET_ERROR);
    length = sizeof buffer;
    EXPECT_EQ(TcpRecvUntilStr(-1, buffer, &length, "\n", 1, 1, 1, -1), NET_ERROR);
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, buffer, &length, "\n", 0, 1, 1, -1), NET_ERROR);
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, nullptr, &length, "\n", 1, 1, 1, -1), NET_BAD_POINTER);
    EXPECT_EQ(TcpRecvUntilStr(pair_.server, buffer, nullptr, "\n", 1, 1, 1, -1), NET_BAD_POINTER);
    EXPECT_EQ(TnReadReplyLine(pair_.server, buffer, 0, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadReplyLine(pair_.server, buffer, -1, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadReplyLine(pair_.server, nullptr, 8, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadMultiLine(pair_.server, buffer, 0, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadMultiLine(pair_.server, buffer, -5, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadMultiLine(pair_.server, nullptr, 8, 1, -1), NET_ERROR);
    EXPECT_EQ(TnReadAnswerCode(pair_.server, buffer, 0, 1, -1), NET_ERROR);
}

TEST_F(ReplyReaderTest, CommandLineGoesOutWithCarriageReturnLineFeed) {
    ASSERT_EQ(TnSend(pair_.client, "NOOP", 0, -1), NET_OK);
    char buffer[16];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(TcpRecvUntilStr(pair_.server, buffer, &length, "\r\n", 2, 1, 5, -1), NET_OK);
    EXPECT_EQ(std::string(buffer, length), "NOOP");
    // A line break inside the line would smuggle a second command to the peer.
    EXPECT_EQ(TnSend(pair_.client, "RETR a\r\nDELE b", 0, -1), NET_ERROR);
    EXPECT_EQ(TnSend(pair_.client, "RETR a\nDELE b", 0, -1), NET_ERROR);
    EXPECT_EQ(TnSend(pair_.client, nullptr, 0, -1), NET_ERROR);
    EXPECT_EQ(TnSend(pair_.client, "", 0, -1), NET_OK);
    EXPECT_EQ(Rest(), "\r\n");
}

TEST_F(ReplyReaderTest, UrgentCommandLineIsSeenAsOutOfBand) {
    ASSERT_EQ(TnSend(pair_.client, "ABOR", 1, -1), NET_OK);
    WaitArrived(pair_.server);
    EXPECT_TRUE(WaitUntil([&] { return TcpIsOOBDataAvail(pair_.server) == 1; }));
}

// --- Delimited receive ---------------------------------------------------------------------

struct Received {
    int32_t result;
    std::string data;
    std::string rest;
};

// Lets first arrive, starts TcpRecvUntilStr on another thread, sends second only once that
// thread has taken all of first and waits for more, then closes the sender and collects what is
// left in the socket.
Received ReceiveInTwoArrivals(const std::string& first, const std::string& second,
                              const char* delimiter, int32_t mode, uint32_t capacity) {
    SocketPair pair;
    PlatCancelTarget* target = PlatCancelTargetCreate();
    std::vector<char> buffer(capacity);
    uint32_t length = capacity;
    SendText(pair.client, first);
    WaitArrived(pair.server);
    auto reading = std::async(std::launch::async, [&] {
        PlatCancelScope scope(target);
        return TcpRecvUntilStr(pair.server, buffer.data(), &length, delimiter,
                               static_cast<int32_t>(strlen(delimiter)), mode, 10, -1);
    });
    EXPECT_TRUE(WaitUntil([&] {
        uint32_t waiting = 1;
        return PlatBytesWaiting(pair.server, &waiting) == 0 && waiting == 0 &&
               PlatIsBlocking(target);
    }));
    SendText(pair.client, second);
    EXPECT_EQ(reading.wait_for(5s), std::future_status::ready);
    Received received{reading.get(), std::string(buffer.data(), length), ""};
    received.rest = RestAfterClose(pair.server, &pair.client);
    PlatCancelTargetDestroy(target);
    return received;
}

class DelimitedReceiveTest : public NetTest {};

TEST_F(DelimitedReceiveTest, TwoByteDelimiterSplitAcrossArrivals) {
    Received r = ReceiveInTwoArrivals("hello\r", "\nworld\r\n", "\r\n", NET_COMPARE_EXACT, 64);
    EXPECT_EQ(r.result, NET_OK);
    EXPECT_EQ(r.data, "hello");
    EXPECT_EQ(r.rest, "world\r\n");
}

TEST_F(DelimitedReceiveTest, SelfOverlappingDelimiterSplitAcrossArrivals) {
    // "xaa" + "abz" holds "aab" from its second byte on.
    Received r = ReceiveInTwoArrivals("xaa", "abz", "aab", NET_COMPARE_EXACT, 64);
    EXPECT_EQ(r.result, NET_OK);
    EXPECT_EQ(r.data, "xa");
    EXPECT_EQ(r.rest, "z");
}

TEST_F(DelimitedReceiveTest, FalseStartOfDelimiterStaysData) {
    Received r = ReceiveInTwoArrivals("a\r", "x\r\nb", "\r\n", NET_COMPARE_EXACT, 64);
    EXPECT_EQ(r.result, NET_OK);
    EXPECT_EQ(r.data, "a\rx");
    EXPECT_EQ(r.rest, "b");
}

TEST_F(DelimitedReceiveTest, CaseFoldedSearchFindsTheDelimiterInAnyCase) {
    SocketPair pair;
    SendText(pair.client, "xyzend!");
    char buffer[16];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(TcpRecvUntilStr(pair.server, buffer, &length, "END", 3, NET_COMPARE_FOLDED, 5, -1),
              NET_OK);
    EXPECT_EQ(std::string(buffer, length), "xyz");
    EXPECT_EQ(RestAfterClose(pair.server, &pair.client), "!");
}

TEST(FindDelimiterTest, ContinuesAcrossChunks) {
    struct Step {
        const char* chunk;
        int32_t position;
        int32_t partialMatch;
    };
    struct Case {
        const char* delimiter;
        int32_t mode;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"\n", NET_COMPARE_EXACT, {{"abc\n", 3, 0}, {"\n", 0, 0}, {"abc", -1, 0}}},
        {"\r\n", NET_COMPARE_EXACT, {{"abc\r", -1, 1}, {"\nxyz", 0, 1}}},
        {"\r\n", NET_COMPARE_EXACT, {{"a\r", -1, 1}, {"x\r\n", 1, 0}}},
        {"\r\n\r\n", NET_COMPARE_EXACT, {{"a\r", -1, 1}, {"\n\r", -1, 3}, {"\nb", 0, 3}}},
        {"abcd", NET_COMPARE_EXACT, {{"xab", -1, 2}, {"c", -1, 3}, {"dz", 0, 3}}},
        {"abc", NET_COMPARE_EXACT, {{"zzab", -1, 2}, {"zz", -1, 0}}},
        {"aab", NET_COMPARE_EXACT, {{"aa", -1, 2}, {"ab", 0, 1}}},
        {"aaab", NET_COMPARE_EXACT, {{"aa", -1, 2}, {"a", -1, 3}, {"a", -1, 3}, {"b", 0, 3}}},
        {"END", NET_COMPARE_FOLDED, {{"xyzend", 3, 0}}},
        {"END", NET_COMPARE_FOLDED, {{"xyzE", -1, 1}, {"nD", 0, 1}}},
        {"END", NET_COMPARE_EXACT, {{"xyzend", -1, 0}}},
        {"[", NET_COMPARE_FOLDED, {{"{[", 1, 0}}},  // only letters fold
    };
    for (const Case& c : cases) {
        int32_t partialMatch = 0;
        const int32_t length = static_cast<int32_t>(strlen(c.delimiter));
        for (const Step& step : c.steps) {
            const int32_t n = static_cast<int32_t>(strlen(step.chunk));
            EXPECT_EQ(FindDelimiter(step.chunk, n, c.delimiter, length, &partialMatch, c.mode),
                      step.position)
                << c.delimiter << " / " << step.chunk;
            EXPECT_EQ(partialMatch, step.partialMatch) << c.delimiter << " / " << step.chunk;
        }
    }
}

}  // namespace
