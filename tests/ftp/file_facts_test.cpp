// File facts and the features option against the scripted server: the exact commands on the
// wire, and what a server without MLST (a Windows-format one) gives.

#include <cstring>

#include "engine_fixture.h"

namespace ktest {
namespace {

using namespace std::chrono_literals;

TEST_F(EngineTest, FeaturesOptionAsksFeatOnceTurnsUtf8OnAndSizesDownloads) {
    TempDir dir;
    ScriptedServer server;
    server.start(Scenario()
                     .reply("220 ready")
                     .command("USER anna", "331 password")
                     .command("PASS secret", "230 in")
                     .command("FEAT", "211-Features:\r\n MDTM\r\n SIZE\r\n UTF8\r\n211 End")
                     .command("OPTS UTF8 ON", "200 ok")
                     .command("TYPE I", "200 binary")
                     .command("SIZE \xc3\xa9t\xc3\xa9.bin", "213 5")
                     .expectPrefix("PORT ")
                     .reply("200 PORT ok")
                     .command("RETR \xc3\xa9t\xc3\xa9.bin", "150 here it comes")
                     .dataConnect()
                     .dataSend("12345")
                     .dataClose()
                     .reply("226 done"));
    session->connection.port = server.port();
    ASSERT_EQ(FtpSetOption("features", "1", key), FTP_OK);
    ASSERT_EQ(FtpLogin("127.0.0.1", "anna", "secret", key), FTP_OK);
    // A local file that cannot be made costs TYPE alone, as without the option: no SIZE.
    EXPECT_EQ(FtpRecvFile("\xc3\xa9t\xc3\xa9.bin", dir.path("none/x").c_str(), 'I', key),
              FTP_CANNOT_OPEN_FILE);
    const std::string local = dir.path("\xc3\xa9t\xc3\xa9.bin");
    ASSERT_EQ(FtpRecvFile("\xc3\xa9t\xc3\xa9.bin", local.c_str(), 'I', key), FTP_OK);
    EXPECT_EQ(FtpBytesToBeTransferred(key), 5);
    EXPECT_EQ(ReadFile(local), "12345");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

TEST_F(EngineTest, WindowsFormatServerGivesFactsThroughListAndSizeAndMdtm) {
    TempDir dir;
    ScriptedServer server;
    const std::string listing =
        "02-29-24  01:14PM       <DIR>          My Pictures\r\n"
        "02-29-24  12:05AM              1048576 d.bin\r\n"
        "this line is no entry\r\n";
    server.start(Scenario()
                     .reply("220 Microsoft FTP Service")
                     .command("FEAT", "211-Extensions supported:\r\n SIZE\r\n MDTM\r\n211 END")
                     .expectPrefix("PORT ")
                     .reply("200 PORT ok")
                     .command("LIST", "125 Data connection already open")
                     .dataConnect()
                     .dataSend(listing)
                     .dataClose()
                     .reply("226 Transfer complete.")
                     // LIST gives minutes: a file's second comes from MDTM.
                     .command("MDTM d.bin", "213 20240229000512")
                     // A directory is recognised first (CWD), a file's size asked after.
                     .command("PWD", "257 \"/media\" is current directory.")
                     .command("CWD d.bin", "550 The directory name is invalid.")
                     .command("TYPE I", "200 Type set to I.")
                     .command("SIZE d.bin", "213 1048576")
                     .command("MDTM d.bin", "213 20240229000512")
                     .command("PWD", "257 \"/media\" is current directory.")
                     .command("CWD My Pictures", "250 CWD command successful.")
                     .command("CWD /media", "250 CWD command successful.")
                     .command("MDTM My Pictures", "550 Access is denied.")
                     .command("PWD", "257 \"/media\" is current directory.")
                     .command("CWD gone", "550 The system cannot find the file specified.")
                     .command("SIZE gone", "550 The system cannot find the file specified."));
    ASSERT_EQ(Connect(server), FTP_OK);
    char text[FTP_REPLY_SIZE] = "unchanged";
    // Names that cannot be sent as they are: refused before anything goes out.
    EXPECT_EQ(FtpFileInfo("", text, sizeof text, key), FTP_BAD_PARAMETERS);
    EXPECT_EQ(FtpFileInfo("a\r\nDELE b", text, sizeof text, key), FTP_BAD_PARAMETERS);

    const std::string path = dir.path("listing");
    ASSERT_EQ(FtpDir("", path.c_str(), 2, key), FTP_OK);
    EXPECT_EQ(ReadFile(path),
              "type=dir;modify=20240229131400; My Pictures\r\n"
              "type=file;size=1048576;modify=20240229000512; d.bin\r\n"
              " this line is no entry\r\n");
    ASSERT_EQ(FtpFileInfo("d.bin", text, sizeof text, key), FTP_OK);
    EXPECT_STREQ(text, "type=file;size=1048576;modify=20240229000512; d.bin");
    ASSERT_EQ(FtpFileInfo("My Pictures", text, sizeof text, key), FTP_OK);
    EXPECT_STREQ(text, "type=dir; My Pictures");
    EXPECT_EQ(FtpFileInfo("gone", text, sizeof text, key), FTP_ACTION_NOT_TAKEN);
    EXPECT_STREQ(text, "type=dir; My Pictures");
    ASSERT_TRUE(server.waitDone()) << server.report();
    EXPECT_TRUE(server.failures().empty()) << server.report();
}

// Servers that answer SIZE of a directory with a size (ftp-srv, Twisted: 213 4096) still give
// type=dir for it, from ftpFileInfo and from ftpDir 2 alike, and a file of that size stays a file.
TEST_F(EngineTest, ADirectoryThatHasASizeIsStillADirectory) {
    struct Case {
        const char* listing;  // LIST's line of the directory
        const char* mdtm;     // MDTM of the directory
        const char* facts;    // what ftpFileInfo gives for it
    };
    const Case cases[] = {
        {"drwxr-xr-x 1 1 1 4096 Mar  1 13:14 sub", "213 20240229131400",
         "type=dir;modify=20240229131400; sub"},
        {"drwxr-xr-x   2 0        0            4096 Feb 29  2024 sub", "550 not a plain file",
         "type=dir; sub"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ScriptedServer server;
        server.start(Scenario()
                         .reply("220 ready")
                         .command("FEAT", "211-Features:\r\n SIZE\r\n MDTM\r\n211 End")
                         .expectPrefix("PORT ")
                         .reply("200 PORT ok")
                         .command("LIST", "150 listing")
                         .dataConnect()
                         .dataSend(std::string(c.listing) +
                                   "\r\n-rw-r--r-- 1 1 1 4096 Feb 29  2024 f.bin\r\n")
                         .dataClose()
                         .reply("226 done")
                         .command("MDTM f.bin", "213 20240229000512")
                         .command("PWD", "257 \"/\"")
                         .command("CWD sub", "250 ok")
                         .command("CWD /", "250 ok")
                         .command("MDTM sub", c.mdtm)
                         .command("PWD", "257 \"/\"")
                         .command("CWD f.bin", "550 not a directory")
                         .command("TYPE I", "200 ok")
                         .command("SIZE f.bin", "213 4096")
                         .command("MDTM f.bin", "213 20240229000512"));
        ASSERT_EQ(Connect(server), FTP_OK);
        ASSERT_EQ(FtpDir("", dir.path("list").c_str(), 2, key), FTP_OK);
        const std::string listing = ReadFile(dir.path("list"));
        EXPECT_EQ(listing.find("type=dir;"), 0u) << listing;
        EXPECT_NE(listing.find("; sub\r\ntype=file;size=4096;modify=20240229000512; f.bin\r\n"),
                  std::string::npos)
            << listing;
        char text[FTP_REPLY_SIZE] = "";
        ASSERT_EQ(FtpFileInfo("sub", text, sizeof text, key), FTP_OK);
        EXPECT_STREQ(text, c.facts);
        ASSERT_EQ(FtpFileInfo("f.bin", text, sizeof text, key), FTP_OK);
        EXPECT_STREQ(text, "type=file;size=4096;modify=20240229000512; f.bin");
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        FtpDisconnect(key);
        session->connection.currentType = 0;
    }
}

// With the features option the total of a download is known from SIZE (less the restart
// position) while the transfer command is still unanswered, before any data connection.
TEST_F(EngineTest, FeaturesOptionKnowsTheTotalBeforeTheTransferStarts) {
    struct Case {
        int64_t position;
        int64_t total;
    };
    for (const Case& c : {Case{0, 5}, Case{2, 3}}) {
        TempDir dir;
        ScriptedServer server;
        Scenario s;
        s.reply("220 ready")
            .command("FEAT", "211-Features:\r\n SIZE\r\n211 End")
            .command("TYPE I", "200 ok")
            .command("SIZE f", "213 5")
            .expectPrefix("PORT ")
            .reply("200 PORT ok");
        if (c.position > 0) {
            s.command("REST 2", "350 ok");
        }
        server.start(s.expect("RETR f")
                         .stall(500ms)
                         .reply("150 go")
                         .dataConnect()
                         .dataSend(std::string("abcde").substr(static_cast<size_t>(c.position)))
                         .dataClose()
                         .reply("226 done"));
        ASSERT_EQ(FtpSetOption("features", "1", key), FTP_OK);
        ASSERT_EQ(Connect(server), FTP_OK);
        const std::string local = dir.path("f");
        WriteFile(local, std::string("abcde").substr(0, static_cast<size_t>(c.position)));
        auto done = std::async(std::launch::async, [&] {
            if (c.position == 0) {
                return FtpRecvFile("f", local.c_str(), 'I', key);
            }
            const int32_t file = PlatFileOpen(local.c_str(), PLAT_OF_WRITE);
            PlatFileSeek(file, c.position, PLAT_FILE_BEGIN);
            return FtpRestartRecvFile("f", file, 'I', c.position, key);
        });
        ASSERT_TRUE(WaitFor([&] { return server.lines().size() >= (c.position > 0 ? 6u : 5u); }))
            << server.report();
        EXPECT_EQ(FtpBytesToBeTransferred(key), c.total) << c.position;
        EXPECT_EQ(done.get(), FTP_OK);
        EXPECT_EQ(FtpBytesToBeTransferred(key), c.total);
        EXPECT_EQ(ReadFile(local), "abcde");
        ASSERT_TRUE(server.waitDone()) << server.report();
        EXPECT_TRUE(server.failures().empty()) << server.report();
        FtpDisconnect(key);
        session->connection.currentType = 0;
    }
}

}  // namespace
}  // namespace ktest
