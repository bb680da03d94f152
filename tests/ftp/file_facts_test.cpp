// File facts and the features option against the scripted server: the exact commands on the
// wire, and what a server without MLST (a Windows-format one) gives.

#include <cstring>

#include "engine_fixture.h"

namespace ktest {
namespace {

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

}  // namespace
}  // namespace ktest
