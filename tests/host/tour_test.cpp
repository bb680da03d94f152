// The tour of examples/tour.ks, run by kestrel-host against pyftpdlib on 127.0.0.9, checked line
// by line against expected/tour.out, where a line starting with "~ " is a regular expression
// (for the long listing's dates and owners, and the server's help text).

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "real_servers.h"

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919u) >> 3);
    }
    return bytes;
}

TEST(Tour, RunsAgainstPyftpdlibAsExpected) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a real server on port 21 needs root";
    }
    using ktest::RealFtpServer;
    ASSERT_TRUE(RealFtpServer::installed(RealFtpServer::Kind::Pyftpdlib));
    RealFtpServer server(RealFtpServer::Kind::Pyftpdlib, "127.0.0.9");
    ASSERT_TRUE(server.start()) << server.error();
    std::ofstream(server.rootDir() + "/big.bin", std::ios::binary) << Pattern(16 << 20);

    // The tour's local folder, as the demo prepares it.
    char pattern[] = "/tmp/kestrel-tour-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string local = pattern;
    std::string picture = Pattern(1 << 20);
    std::ofstream(local + "/picture.bin", std::ios::binary) << picture;
    std::ofstream(local + "/picture-part.bin", std::ios::binary) << picture.substr(0, 400000);
    std::ofstream(local + "/notes.txt", std::ios::binary) << "Kestrel notes\nsecond line\n";

    std::string tour = Read(KESTREL_TOUR);
    const std::string login = "ftpLogin ftp \"127.0.0.21\" \"demo\" \"demo\"";
    size_t at = tour.find(login);
    ASSERT_NE(at, std::string::npos);
    tour.replace(at, login.size(),
                 "ftpLogin ftp \"" + server.address() + "\" \"" + server.user() + "\" \"" +
                     server.password() + "\"");
    std::ofstream(local + "/tour.ks") << tour;
    std::string command =
        "cd " + local + " && " + KESTREL_HOST_PATH + " tour.ks >tour.out 2>tour.err </dev/null";
    int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0) << Read(local + "/tour.err");

    std::vector<std::string> expected = Lines(Read(KESTREL_TOUR_EXPECTED));
    std::vector<std::string> actual = Lines(Read(local + "/tour.out"));
    ASSERT_EQ(actual.size(), expected.size()) << Read(local + "/tour.out");
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i].rfind("~ ", 0) == 0) {
            EXPECT_TRUE(std::regex_match(actual[i], std::regex(expected[i].substr(2))))
                << "output line " << i + 1 << ": " << actual[i];
        } else {
            EXPECT_EQ(actual[i], expected[i]) << "output line " << i + 1;
        }
    }
    EXPECT_EQ(Read(local + "/picture-copy.bin"), picture);
    EXPECT_EQ(Read(local + "/picture-part.bin"), picture);
    EXPECT_EQ(Read(server.rootDir() + "/tour/picture.bin"), picture);
    EXPECT_FALSE(std::filesystem::exists(server.rootDir() + "/tour/old-notes.txt"));
    std::filesystem::remove_all(local);
}

}  // namespace
