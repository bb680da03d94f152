// File checksums: the digests against the published test vectors, fed whole and in uneven
// pieces, through a local file too; and the readers of the servers' checksum replies and of the
// FEAT line that offers HASH.

#include "checksum.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine_fixture.h"
#include "platform.h"

namespace {

TEST(Checksum, DigestsMatchThePublishedVectorsAndTheReadersFindTheServersDigest) {
    const std::string million(1000000, 'a');
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    struct Vector {
        FtpDigestKind kind;
        const std::string* message;
        const char* text;  // when message is null
        const char* hex;
    } vectors[] = {
        {FtpDigestKind::Sha256, nullptr, "",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {FtpDigestKind::Sha256, nullptr, "abc",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {FtpDigestKind::Sha256, &twoBlocks, nullptr,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {FtpDigestKind::Sha256, &million, nullptr,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {FtpDigestKind::Sha1, nullptr, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {FtpDigestKind::Sha1, nullptr, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {FtpDigestKind::Sha1, &twoBlocks, nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {FtpDigestKind::Sha1, &million, nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {FtpDigestKind::Md5, nullptr, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {FtpDigestKind::Md5, nullptr, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {FtpDigestKind::Md5, &twoBlocks, nullptr, "8215ef0796a20bcaaae116d3876c664a"},
        {FtpDigestKind::Md5, &million, nullptr, "7707d6ae4e027c70eea2a935c2296f21"},
        {FtpDigestKind::Crc32, nullptr, "", "00000000"},
        {FtpDigestKind::Crc32, nullptr, "abc", "352441c2"},
        {FtpDigestKind::Crc32, nullptr, "123456789", "cbf43926"},
        {FtpDigestKind::Crc32, &twoBlocks, nullptr, "171a3f5f"},
        {FtpDigestKind::Crc32, &million, nullptr, "dc25bfbc"},
    };
    ktest::TempDir directory;
    const std::string path = directory.path("message");
    // Pieces that cross block borders in every way: shorter than a block, exactly one, longer.
    const size_t pieces[] = {1, 7, 63, 64, 65, 127, 1000, 4097};
    for (const Vector& v : vectors) {
        const std::string message = v.message != nullptr ? *v.message : v.text;
        const std::string name =
            std::string(FtpDigestName(v.kind)) + " of " + std::to_string(message.size()) + " bytes";
        FtpDigest whole(v.kind);
        whole.update(message.data(), message.size());
        EXPECT_EQ(whole.hexLower(), v.hex) << name;

        FtpDigest pieced(v.kind);
        for (size_t at = 0, i = 0; at < message.size(); ++i) {
            size_t size = std::min(pieces[i % std::size(pieces)], message.size() - at);
            pieced.update(message.data() + at, size);
            at += size;
            if (i == 3) {
                pieced.hexLower();  // reading the digest midway changes nothing
            }
        }
        EXPECT_EQ(pieced.hexLower(), v.hex) << name << " in pieces";

        // The same through a local file, whole and as a range inside a longer one.
        std::ofstream(path, std::ios::binary) << message;
        std::string hex;
        EXPECT_TRUE(FtpDigestPath(path, v.kind, &hex)) << name;
        EXPECT_EQ(hex, v.hex) << name << " of a file";
        std::ofstream(path, std::ios::binary) << "xyz" << message << "tail";
        int32_t file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
        ASSERT_NE(file, PLAT_FILE_ERROR);
        hex.clear();
        EXPECT_TRUE(FtpDigestFile(file, v.kind, 3, static_cast<int64_t>(message.size()), &hex));
        EXPECT_EQ(hex, v.hex) << name << " of a range";
        // A range past the file's end cannot be read.
        EXPECT_FALSE(FtpDigestFile(file, v.kind, 3, static_cast<int64_t>(message.size()) + 5, &hex))
            << name;
        PlatFileClose(file);
    }
    // A file that is missing or cannot be read (a folder) gives no digest.
    std::string hex = "unchanged";
    EXPECT_FALSE(FtpDigestPath(directory.path("missing"), FtpDigestKind::Sha256, &hex));
    EXPECT_FALSE(FtpDigestPath(directory.path(""), FtpDigestKind::Sha256, &hex));
    EXPECT_EQ(hex, "unchanged");

    // Replies to HASH.
    struct HashReply {
        const char* reply;
        const char* hex;  // "" when the reply gives none
        FtpDigestKind kind = FtpDigestKind::Sha256;
        uint64_t start = 0, end = 0;
    } hashReplies[] = {
        {"213 SHA-256 0-49 169cd22282da7f147cb491e559e9dd filename",
         "169cd22282da7f147cb491e559e9dd", FtpDigestKind::Sha256, 0, 49},
        {"213 sha-1 0-3 A9993E364706816ABA3E25717850C26C9CD0D89D a b.txt\r\n",
         "a9993e364706816aba3e25717850c26c9cd0d89d", FtpDigestKind::Sha1, 0, 3},
        {"213 CRC32 10-4294967306 352441C2", "352441c2", FtpDigestKind::Crc32, 10, 4294967306},
        {"150 working\n213 MD5 0-0 d41d8cd98f00b204e9800998ecf8427e empty\n",
         "d41d8cd98f00b204e9800998ecf8427e", FtpDigestKind::Md5, 0, 0},
        {"504 Unknown algorithm", ""},
        {"213 SHA-512 0-1 abcd f", ""},
        {"213 SHA-256 x-1 abcd f", ""},
        {"213 SHA-256 0-49 notahash f", ""},
        {"250 SHA-256 0-49 abcd f", ""},
    };
    for (const HashReply& c : hashReplies) {
        FtpHashFacts facts;
        EXPECT_EQ(FtpParseHashReply(c.reply, &facts), c.hex) << c.reply;
        if (*c.hex != '\0') {
            EXPECT_EQ(facts.kind, c.kind) << c.reply;
            EXPECT_EQ(facts.start, c.start) << c.reply;
            EXPECT_EQ(facts.end, c.end) << c.reply;
        }
    }

    // Replies to XCRC, XMD5, XSHA1 and XSHA256.
    struct DigestReply {
        const char* reply;
        FtpDigestKind kind;
        const char* hex;
    } digestReplies[] = {
        {"250 0123ABCD", FtpDigestKind::Crc32, "0123abcd"},
        {"250 123abcd", FtpDigestKind::Crc32, "0123abcd"},
        {"213 0x352441C2 file.txt", FtpDigestKind::Crc32, "352441c2"},
        {"250 900150983cd24fb0d6963f7d28e17f72 abc.txt", FtpDigestKind::Md5,
         "900150983cd24fb0d6963f7d28e17f72"},
        {"213 abc.txt 900150983CD24FB0D6963F7D28E17F72", FtpDigestKind::Md5,
         "900150983cd24fb0d6963f7d28e17f72"},
        {"250 a9993e364706816aba3e25717850c26c9cd0d89d\r\n", FtpDigestKind::Sha1,
         "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"213 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         FtpDigestKind::Sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"550 abc.txt: No such file or directory", FtpDigestKind::Md5, ""},
        {"250 900150983cd24fb0d6963f7d28e17f72", FtpDigestKind::Sha1, ""},  // an MD5's length
        {"250 123456789", FtpDigestKind::Crc32, ""},                        // nine digits
        {"250 ", FtpDigestKind::Crc32, ""},
    };
    for (const DigestReply& c : digestReplies) {
        EXPECT_EQ(FtpParseDigestReply(c.reply, c.kind), c.hex) << c.reply;
    }

    // FEAT's HASH line, alone or inside the whole reply.
    using K = FtpDigestKind;
    struct Feature {
        const char* text;
        std::vector<FtpDigestKind> offered;
        std::optional<FtpDigestKind> selected;
    } features[] = {
        {" HASH SHA-256*;SHA-1;MD5;CRC32", {K::Sha256, K::Sha1, K::Md5, K::Crc32}, K::Sha256},
        {"211-Features:\r\n MDTM\r\n HASH SHA-1;sha-256;MD5*;SHA-512;CRC32\r\n SIZE\r\n211 End\r\n",
         {K::Sha1, K::Sha256, K::Md5, K::Crc32},
         K::Md5},
        {"211-Features:\r\n HASH CRC32\r\n211 End", {K::Crc32}, std::nullopt},
        {"211-Features:\r\n MDTM\r\n HASHES SHA-1\r\n211 End", {}, std::nullopt},
    };
    for (const Feature& c : features) {
        FtpHashFeature feature = FtpParseHashFeature(c.text);
        EXPECT_EQ(feature.offered, c.offered) << c.text;
        EXPECT_EQ(feature.selected, c.selected) << c.text;
    }
}

}  // namespace
