// The engine against real FTP servers on loopback: pyftpdlib and vsftpd. Every transferred file
// is compared byte for byte with its original.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "engine_fixture.h"
#include "ftp.h"
#include "listing_parser.h"
#include "real_servers.h"

namespace ktest {
namespace {

using Kind = RealFtpServer::Kind;

struct ServerParam {
    Kind kind;
    const char* address;
};

std::string ParamName(const ::testing::TestParamInfo<ServerParam>& info) {
    return RealFtpServer::name(info.param.kind);
}

const size_t kSizes[] = {0, 1, 4095, 4096, 4097, 300000};

// Text with CR LF line ends: what type A carries unchanged through every server, including
// those that store text with their own line ends and convert it back on the way out.
std::string TextBytes(size_t size, uint32_t seed) {
    std::string text;
    uint32_t x = seed * 7919u + 13;
    while (text.size() < size) {
        x = x * 1103515245u + 12345u;
        size_t lineLength = 1 + (x >> 16) % 70;
        for (size_t i = 0; i < lineLength && text.size() < size; ++i) {
            text += static_cast<char>('a' + (x >> (i % 24)) % 26);
        }
        if (text.size() + 2 <= size) {
            text += "\r\n";
        }
    }
    return text.substr(0, size);
}

class InteropTest : public ::testing::TestWithParam<ServerParam> {
protected:
    void SetUp() override {
        server_ = std::make_unique<RealFtpServer>(GetParam().kind, GetParam().address);
        ASSERT_TRUE(RealFtpServer::installed(GetParam().kind))
            << RealFtpServer::name(GetParam().kind) << " is not installed";
        ASSERT_TRUE(server_->start()) << server_->error() << "\n" << server_->log();
        static std::atomic<int32_t> nextKey{1};
        key_ = nextKey++;
        ASSERT_EQ(FtpCreateSession(nullptr, key_), FTP_OK);
        ASSERT_EQ(FtpLogin(server_->address().c_str(), server_->user().c_str(),
                           server_->password().c_str(), key_),
                  FTP_OK)
            << server_->log();
    }

    void TearDown() override {
        if (FtpFindSession(key_) != nullptr) {
            if (FtpLogout(key_) != FTP_OK) {
                FtpDisconnect(key_);
            }
            FtpDestroySession(key_);
        }
    }

    std::string Remote(const std::string& name) const { return server_->rootDir() + "/" + name; }

    std::unique_ptr<RealFtpServer> server_;
    int32_t key_ = 0;
    int32_t logFile_ = -1;
    TempDir local_;
};

TEST_P(InteropTest, FileSystemCommands) {
    // pyftpdlib shows its root as "/", an unconfined vsftpd user the real path.
    char text[FTP_REPLY_SIZE];
    ASSERT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK);
    const std::string home = text;
    EXPECT_TRUE(home == "/" || home == server_->rootDir()) << home;
    const std::string sub = home == "/" ? "/sub" : home + "/sub";

    EXPECT_EQ(FtpCreateDirectory("sub", text, sizeof text, key_), FTP_OK);
    EXPECT_TRUE(std::filesystem::is_directory(Remote("sub")));
    EXPECT_EQ(FtpCWD("sub", key_), FTP_OK);
    ASSERT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK);
    EXPECT_EQ(text, sub);
    EXPECT_EQ(FtpCDUp(key_), FTP_OK);
    ASSERT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK);
    EXPECT_EQ(text, home);
    EXPECT_EQ(FtpCWD("no-such-directory", key_), FTP_ACTION_NOT_TAKEN);

    WriteFile(Remote("a.txt"), "content");
    EXPECT_EQ(FtpRenameFile("a.txt", "b.txt", key_), FTP_OK);
    EXPECT_FALSE(std::filesystem::exists(Remote("a.txt")));
    EXPECT_EQ(ReadFile(Remote("b.txt")), "content");
    EXPECT_EQ(FtpRenameFile("missing.txt", "c.txt", key_), FTP_CANNOT_OPEN_REMOTE);
    EXPECT_EQ(FtpDeleteFile("b.txt", key_), FTP_OK);
    EXPECT_FALSE(std::filesystem::exists(Remote("b.txt")));
    EXPECT_EQ(FtpDeleteFile("b.txt", key_), FTP_ACTION_NOT_TAKEN);
    EXPECT_EQ(FtpDeleteDirectory("sub", key_), FTP_OK);
    EXPECT_FALSE(std::filesystem::exists(Remote("sub")));

    ASSERT_EQ(FtpHelp(nullptr, text, sizeof text, key_), FTP_OK);
    EXPECT_GT(strlen(text), 10u);
    EXPECT_EQ(FtpCommand("SYST", text, sizeof text, key_), 215);
    EXPECT_EQ(std::string(text).substr(0, 4), "215 ");
    EXPECT_EQ(FtpCommand("NOSUCHCOMMAND", text, sizeof text, key_) / 100, 5);
}

TEST_P(InteropTest, ListingsInLongAndShortForm) {
    WriteFile(Remote("x.txt"), "x");
    WriteFile(Remote("y.bin"), "yy");
    std::filesystem::create_directory(Remote("dir"));
    const std::string listing = local_.path("listing");

    ASSERT_EQ(FtpDir("", listing.c_str(), 0, key_), FTP_OK);
    std::set<std::string> names;
    std::istringstream lines(ReadFile(listing));
    for (std::string line; std::getline(lines, line);) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << "lines end in CR LF as the server sent them";
        line.pop_back();
        names.insert(line.substr(line.rfind('/') + 1));
    }
    EXPECT_EQ(names, (std::set<std::string>{"x.txt", "y.bin", "dir"}));

    ASSERT_EQ(FtpDir("", listing.c_str(), 1, key_), FTP_OK);
    std::string longForm = ReadFile(listing);
    EXPECT_NE(longForm.find("x.txt"), std::string::npos);
    EXPECT_NE(longForm.find("y.bin"), std::string::npos);
    EXPECT_EQ(std::count(longForm.begin(), longForm.end(), '\n'), 3) << longForm;
    EXPECT_EQ(FtpBytesTransferred(key_), static_cast<int32_t>(longForm.size()));
}

// The fact line of name's entry in a fact listing, read back; type "missing" when absent.
FtpFacts EntryOf(const std::string& listing, const std::string& name) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        FtpFacts facts;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (FtpParseFactLine(line.c_str(), &facts) && facts.name == name) {
            return facts;
        }
    }
    FtpFacts none;
    none.type = "missing";
    return none;
}

void SetTime(const std::string& path, time_t when) {
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_P(InteropTest, FileFactsAndFactListingsAreExact) {
    // A sparse file beyond every 32-bit size, a small one, a directory and a name with blanks.
    {
        std::ofstream(Remote("big.iso")).close();
        std::filesystem::resize_file(Remote("big.iso"), 5000000000ull);
    }
    WriteFile(Remote("d.bin"), "hello");
    WriteFile(Remote("a b.txt"), "ab");
    std::filesystem::create_directory(Remote("pics"));
    SetTime(Remote("big.iso"), 1700000000);  // 2023-11-14 22:13:20 UTC
    SetTime(Remote("d.bin"), 1709212455);    // 2024-02-29 13:14:15 UTC
    SetTime(Remote("a b.txt"), 1709212455);
    SetTime(Remote("pics"), 1709212455);

    char text[FTP_REPLY_SIZE];
    ASSERT_EQ(FtpFileInfo("big.iso", text, sizeof text, key_), FTP_OK) << server_->log();
    EXPECT_STREQ(text, "type=file;size=5000000000;modify=20231114221320; big.iso");
    ASSERT_EQ(FtpFileInfo("a b.txt", text, sizeof text, key_), FTP_OK);
    EXPECT_STREQ(text, "type=file;size=2;modify=20240229131415; a b.txt");
    ASSERT_EQ(FtpFileInfo("pics", text, sizeof text, key_), FTP_OK);
    // vsftpd gives no modification time of a directory.
    EXPECT_TRUE(std::string(text) == "type=dir;modify=20240229131415; pics" ||
                (GetParam().kind == Kind::Vsftpd && std::string(text) == "type=dir; pics"))
        << text;
    EXPECT_EQ(FtpFileInfo("missing", text, sizeof text, key_), FTP_ACTION_NOT_TAKEN);
    // The directory check went back where it was.
    ASSERT_EQ(FtpFileInfo("d.bin", text, sizeof text, key_), FTP_OK);
    EXPECT_STREQ(text, "type=file;size=5;modify=20240229131415; d.bin");

    // MLSD gives the second, and so does MDTM for each file that LIST names; a directory's time
    // from LIST (vsftpd) has only the day when older than half a year.
    const std::string path = local_.path("facts");
    ASSERT_EQ(FtpDir("", path.c_str(), 2, key_), FTP_OK);
    const std::string listing = ReadFile(path);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4) << listing;
    struct Expected {
        const char* name;
        const char* type;
        bool hasSize;
        uint64_t size;
        const char* modify;
    } expected[] = {{"big.iso", "file", true, 5000000000ull, "20231114221320"},
                    {"d.bin", "file", true, 5, "20240229131415"},
                    {"a b.txt", "file", true, 2, "20240229131415"},
                    {"pics", "dir", false, 0, "20240229131415"}};
    for (const Expected& e : expected) {
        const FtpFacts facts = EntryOf(listing, e.name);
        EXPECT_EQ(facts.type, e.type) << e.name << "\n" << listing;
        EXPECT_EQ(facts.hasSize, e.hasSize) << e.name;
        EXPECT_EQ(facts.size, e.size) << e.name;
        const size_t length = GetParam().kind == Kind::Vsftpd && !e.hasSize ? 8 : 14;
        EXPECT_EQ(facts.modify.substr(0, length), std::string(e.modify, length)) << e.name;
    }
}

TEST_P(InteropTest, NonAsciiNamesRoundTripAndFeaturesGiveTheDownloadsTotal) {
    const std::string remoteName = "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.bin";  // "été €.bin"
    const std::string src = local_.path("\xc3\xbc" "ber.bin"), dst = local_.path("\xc3\xa0.bin");
    const std::string data = PatternBytes(70000, 3);
    WriteFile(src, data);
    ASSERT_EQ(FtpSetOption("features", "1", key_), FTP_OK);
    ASSERT_EQ(FtpLogout(key_), FTP_OK);
    ASSERT_EQ(FtpLogin(server_->address().c_str(), server_->user().c_str(),
                       server_->password().c_str(), key_),
              FTP_OK);

    ASSERT_EQ(FtpSendFile(src.c_str(), remoteName.c_str(), 'I', key_), FTP_OK) << server_->log();
    EXPECT_TRUE(ReadFile(Remote(remoteName)) == data);
    const std::string path = local_.path("names");
    ASSERT_EQ(FtpDir("", path.c_str(), 0, key_), FTP_OK);
    EXPECT_NE(ReadFile(path).find(remoteName + "\r\n"), std::string::npos) << ReadFile(path);
    char text[FTP_REPLY_SIZE];
    ASSERT_EQ(FtpFileInfo(remoteName.c_str(), text, sizeof text, key_), FTP_OK);
    EXPECT_EQ(std::string(text).substr(0, 21), "type=file;size=70000;") << text;
    ASSERT_EQ(FtpRecvFile(remoteName.c_str(), dst.c_str(), 'I', key_), FTP_OK);
    EXPECT_TRUE(ReadFile(dst) == data);
    // pyftpdlib's 150 names no size: the total comes from SIZE.
    EXPECT_EQ(FtpBytesToBeTransferred(key_), 70000);
}

// Upload, download, append in both directions, and resumed download and upload, for each size.
void RoundTrips(InteropTest* t, RealFtpServer& server, const TempDir& local, int32_t key,
                char type, std::string (*make)(size_t, uint32_t)) {
    for (size_t size : kSizes) {
        SCOPED_TRACE("size " + std::to_string(size) + ", type " + type);
        const std::string original = make(size, static_cast<uint32_t>(size) + 1);
        const std::string src = local.path("src"), dst = local.path("dst");
        const std::string remote = server.rootDir() + "/r.dat";
        WriteFile(src, original);

        ASSERT_EQ(FtpSendFile(src.c_str(), "r.dat", type, key), FTP_OK) << server.log();
        EXPECT_EQ(FtpBytesTransferred(key), static_cast<int32_t>(size));
        EXPECT_EQ(FtpBytesToBeTransferred(key), static_cast<int32_t>(size));
        ASSERT_EQ(FtpRecvFile("r.dat", dst.c_str(), type, key), FTP_OK);
        EXPECT_TRUE(ReadFile(dst) == original);
        if (type == 'I') {
            EXPECT_TRUE(ReadFile(remote) == original);
        }

        ASSERT_EQ(FtpAppendToRemoteFile(src.c_str(), "r.dat", type, key), FTP_OK);
        ASSERT_EQ(FtpAppendToLocalFile("r.dat", dst.c_str(), type, key), FTP_OK);
        EXPECT_TRUE(ReadFile(dst) == original + original + original);

        // Resumed download: the first half is already here.
        const int32_t half = static_cast<int32_t>(size / 2);
        WriteFile(dst, original.substr(0, static_cast<size_t>(half)));
        ASSERT_EQ(FtpSendFile(src.c_str(), "r.dat", type, key), FTP_OK);
        int32_t file = PlatFileOpen(dst.c_str(), PLAT_OF_WRITE);
        ASSERT_EQ(PlatFileSeek(file, half, PLAT_FILE_BEGIN), half);
        if (type == 'A' && half > 0) {
            // Both servers refuse to resume a text transfer, whose byte positions their line-end
            // conversion would shift; the refusal must come back and leave the file alone.
            EXPECT_NE(FtpRestartRecvFile("r.dat", file, type, half, key), FTP_OK);
            EXPECT_TRUE(ReadFile(dst) == original.substr(0, static_cast<size_t>(half)));
            continue;
        }
        ASSERT_EQ(FtpRestartRecvFile("r.dat", file, type, half, key), FTP_OK);
        EXPECT_TRUE(ReadFile(dst) == original);
        EXPECT_EQ(FtpBytesTransferred(key), static_cast<int32_t>(size) - half);

        // Resumed upload: the server has the first half.
        WriteFile(src + ".half", original.substr(0, static_cast<size_t>(half)));
        ASSERT_EQ(FtpSendFile((src + ".half").c_str(), "r.dat", type, key), FTP_OK);
        file = PlatFileOpen(src.c_str(), PLAT_OF_READ);
        ASSERT_EQ(PlatFileSeek(file, half, PLAT_FILE_BEGIN), half);
        ASSERT_EQ(FtpRestartSendFile(file, "r.dat", type, half, key), FTP_OK);
        EXPECT_EQ(FtpBytesToBeTransferred(key), static_cast<int32_t>(size) - half);
        ASSERT_EQ(FtpRecvFile("r.dat", dst.c_str(), type, key), FTP_OK);
        EXPECT_TRUE(ReadFile(dst) == original);
    }
    (void)t;
}

TEST_P(InteropTest, BinaryTransfersAreExact) {
    RoundTrips(this, *server_, local_, key_, 'I', [](size_t n, uint32_t seed) {
        return PatternBytes(n, seed);
    });
}

TEST_P(InteropTest, TextTransfersAreExact) {
    RoundTrips(this, *server_, local_, key_, 'A', TextBytes);
}

TEST_P(InteropTest, PassiveTransfersAtFullSpeedAreExact) {
    ASSERT_EQ(FtpSetOption("passive", "1", key_), FTP_OK);
    ASSERT_EQ(FtpSetOption("throttle", "0", key_), FTP_OK);
    RoundTrips(this, *server_, local_, key_, 'I', [](size_t n, uint32_t seed) {
        return PatternBytes(n, seed);
    });
    RoundTrips(this, *server_, local_, key_, 'A', TextBytes);
    ASSERT_EQ(FtpDir("", local_.path("listing").c_str(), 0, key_), FTP_OK);
    EXPECT_NE(ReadFile(local_.path("listing")).find("r.dat"), std::string::npos);
}

TEST_P(InteropTest, AbortEndsWithinASecondAndTheNextCommandsGetTheirOwnReplies) {
    const std::string big = PatternBytes(16u << 20, 5);
    WriteFile(Remote("big.bin"), big);
    WriteFile(local_.path("up.bin"), big);
    for (bool download : {true, false}) {
        for (auto delay : {std::chrono::milliseconds(30), std::chrono::milliseconds(500)}) {
            SCOPED_TRACE(std::string(download ? "download" : "upload") + " aborted after " +
                         std::to_string(delay.count()) + " ms");
            // Opened as the script side does, so that an early abort reaches the operation.
            FtpBeginOperation(key_);
            auto worker = std::async(std::launch::async, [&] {
                int32_t r = download
                                ? FtpRecvFile("big.bin", local_.path("down.bin").c_str(), 'I', key_)
                                : FtpSendFile(local_.path("up.bin").c_str(), "up.bin", 'I', key_);
                FtpEndOperation(key_);
                return r;
            });
            std::this_thread::sleep_for(delay);  // the moment of the abort, not a wait
            const auto cancelled = std::chrono::steady_clock::now();
            EXPECT_EQ(FtpCancel(key_), 1);
            ASSERT_EQ(worker.wait_for(std::chrono::seconds(1)), std::future_status::ready);
            EXPECT_EQ(worker.get(), FTP_ABORTED);
            EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
            char text[FTP_REPLY_SIZE];
            EXPECT_EQ(FtpPWD(text, sizeof text, key_), FTP_OK);
            EXPECT_EQ(FtpCommand("NOOP", text, sizeof text, key_), 200) << text;
            EXPECT_EQ(FtpCommand("SYST", text, sizeof text, key_), 215) << text;
        }
    }
}

// The same servers listening on ::1 alone: the control connection, and with it every data
// connection, is IPv6.
class Ipv6InteropTest : public InteropTest {};

TEST_P(Ipv6InteropTest, TransfersBothWaysAreExactThroughEprtAndEpsv) {
    const std::string log = local_.path("control.log");
    logFile_ = PlatFileCreate(log.c_str());
    ASSERT_NE(logFile_, -1);
    FtpFindSession(key_)->connection.logFile = logFile_;
    ASSERT_EQ(FtpSetOption("throttle", "0", key_), FTP_OK);
    const std::string original = PatternBytes(300000, 6);
    WriteFile(local_.path("up.bin"), original);
    for (const char* passive : {"0", "1"}) {
        SCOPED_TRACE(std::string("passive ") + passive);
        ASSERT_EQ(FtpSetOption("passive", passive, key_), FTP_OK);
        ASSERT_EQ(FtpSendFile(local_.path("up.bin").c_str(), "six.bin", 'I', key_), FTP_OK)
            << server_->log();
        EXPECT_TRUE(ReadFile(Remote("six.bin")) == original);
        ASSERT_EQ(FtpRecvFile("six.bin", local_.path("down.bin").c_str(), 'I', key_), FTP_OK);
        EXPECT_TRUE(ReadFile(local_.path("down.bin")) == original);
        ASSERT_EQ(FtpDir("", local_.path("listing").c_str(), 0, key_), FTP_OK);
        EXPECT_NE(ReadFile(local_.path("listing")).find("six.bin"), std::string::npos);
    }
    FtpFindSession(key_)->connection.logFile = -1;
    PlatFileClose(logFile_);
    const std::string wire = ReadFile(log);
    size_t eprt = 0;
    size_t epsv = 0;
    for (size_t at = 0; (at = wire.find("EPRT |2|::1|", at)) != std::string::npos; ++at) ++eprt;
    for (size_t at = 0; (at = wire.find("EPSV\r\n", at)) != std::string::npos; ++at) ++epsv;
    EXPECT_EQ(eprt, 3u) << wire;
    EXPECT_EQ(epsv, 3u) << wire;
    EXPECT_EQ(wire.find("PORT "), std::string::npos) << wire;
    EXPECT_EQ(wire.find("PASV"), std::string::npos) << wire;
}

INSTANTIATE_TEST_SUITE_P(Ipv6Servers, Ipv6InteropTest,
                         ::testing::Values(ServerParam{Kind::Pyftpdlib, "::1"},
                                           ServerParam{Kind::Vsftpd, "::1"}),
                         ParamName);

// Files beyond 4 GiB at full speed against vsftpd: sparse sources, so that only the receiving
// side writes the bytes. The marks sit on both sides of the 2 GiB and 4 GiB boundaries and at
// the end, where a 32-bit count or position would go wrong.
class LargeFileTest : public InteropTest {};

constexpr int64_t kLargeSize = 4831850553;  // 4.5 GiB
const int64_t kMarks[] = {(int64_t{1} << 31) - 3, (int64_t{1} << 32) - 3, kLargeSize - 16};

void MakeSparse(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kLargeSize), 0);
    for (int64_t mark : kMarks) {
        std::string text = "mark@" + std::to_string(mark);
        text.resize(16, '#');
        ASSERT_EQ(::pwrite(fd, text.data(), 16, mark), 16);
    }
    ::close(fd);
}

// The size and the bytes at every mark, as one text to compare.
std::string Fingerprint(const std::string& path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        return "unreadable";
    }
    out = std::to_string(info.st_size);
    for (int64_t mark : kMarks) {
        char bytes[16] = {};
        const ssize_t n = ::pread(fd, bytes, sizeof bytes, mark);
        out += "|" + std::string(bytes, n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    return out;
}

// Runs a transfer, sampling the byte counter while it runs: it must never go backwards.
int32_t Watched(int32_t key, const std::function<int32_t()>& transfer, int64_t* samples) {
    auto worker = std::async(std::launch::async, transfer);
    int64_t last = 0;
    while (worker.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        const int64_t now = FtpBytesTransferred(key);
        EXPECT_GE(now, last);
        last = now;
        ++*samples;
    }
    return worker.get();
}

TEST_P(LargeFileTest, FourAndAHalfGibibytesEachWayAndAResumeBeyondFour) {
    ASSERT_EQ(FtpSetOption("throttle", "0", key_), FTP_OK);
    const std::string src = local_.path("src"), dst = local_.path("dst");
    MakeSparse(src);
    const std::string expected = Fingerprint(src);
    int64_t samples = 0;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Watched(key_, [&] { return FtpSendFile(src.c_str(), "big", 'I', key_); }, &samples),
              FTP_OK);
    using Seconds = std::chrono::duration<double>;
    const double up = Seconds(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(FtpBytesTransferred(key_), kLargeSize);
    EXPECT_EQ(FtpBytesToBeTransferred(key_), kLargeSize);
    EXPECT_EQ(Fingerprint(Remote("big")), expected);
    ::unlink(src.c_str());

    start = std::chrono::steady_clock::now();
    ASSERT_EQ(Watched(key_, [&] { return FtpRecvFile("big", dst.c_str(), 'I', key_); }, &samples),
              FTP_OK);
    const double down = Seconds(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(FtpBytesTransferred(key_), kLargeSize);
    EXPECT_EQ(FtpBytesToBeTransferred(key_), kLargeSize);  // vsftpd announces the size
    EXPECT_EQ(Fingerprint(dst), expected);
    EXPECT_GT(samples, 0);

    // A resume from beyond 4 GiB completes the file.
    const int64_t position = kMarks[1] + 1000;
    ASSERT_EQ(::truncate(dst.c_str(), position), 0);
    int32_t file = PlatFileOpen(dst.c_str(), PLAT_OF_WRITE);
    ASSERT_EQ(PlatFileSeek(file, position, PLAT_FILE_BEGIN), position);
    ASSERT_EQ(FtpRestartRecvFile("big", file, 'I', position, key_), FTP_OK);
    EXPECT_EQ(FtpBytesTransferred(key_), kLargeSize - position);
    EXPECT_EQ(Fingerprint(dst), expected);
    printf("4.5 GiB up %.1f s (%.0f MiB/s), down %.1f s (%.0f MiB/s)\n", up,
           static_cast<double>(kLargeSize) / up / 1048576, down,
           static_cast<double>(kLargeSize) / down / 1048576);
    ::unlink(dst.c_str());
    ::unlink(Remote("big").c_str());
}

INSTANTIATE_TEST_SUITE_P(Vsftpd, LargeFileTest,
                         ::testing::Values(ServerParam{Kind::Vsftpd, "127.0.0.3"}), ParamName);

INSTANTIATE_TEST_SUITE_P(Servers, InteropTest,
                         ::testing::Values(ServerParam{Kind::Pyftpdlib, "127.0.0.2"},
                                           ServerParam{Kind::Vsftpd, "127.0.0.3"}),
                         ParamName);

}  // namespace
}  // namespace ktest
