// File checksums for checking a transfer against the server's own digest: incremental SHA-256,
// SHA-1, MD5 and CRC-32 (the zlib/IEEE polynomial, as servers' XCRC give it), the digest of a
// local file, and readers of the replies that carry a server's digest (HASH, XSHA256, XSHA1,
// XMD5, XCRC) and of the FEAT line that offers HASH.
//
// Byte order and alignment of the machine do not matter: words are assembled from bytes. Pure
// code without shared state; any thread may use its own FtpDigest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class FtpDigestKind { Sha256, Sha1, Md5, Crc32 };

// The algorithm's name as HASH and FEAT spell it: "SHA-256", "SHA-1", "MD5", "CRC32".
const char* FtpDigestName(FtpDigestKind kind);

// The length of the algorithm's digest in hexadecimal digits: 64, 40, 32 or 8.
size_t FtpDigestHexLength(FtpDigestKind kind);

// A running digest: feed it bytes in pieces of any size, read the digest of all bytes so far.
class FtpDigest {
  public:
    explicit FtpDigest(FtpDigestKind kind);

    // Adds size bytes at data (data may be null when size is 0).
    void update(const void* data, size_t size);
    // The digest of everything fed so far, in lower-case hexadecimal. Feeding may go on after.
    std::string hexLower() const;
    FtpDigestKind kind() const { return kind_; }

  private:
    void compress(const uint8_t* block);

    FtpDigestKind kind_;
    uint32_t state_[8] = {};  // the chaining words; CRC-32 uses the first
    uint64_t length_ = 0;     // bytes fed so far
    uint8_t block_[64] = {};  // a block not yet full (the block hashes)
    size_t blockUsed_ = 0;
};

// Digests the open local file from offset on: length bytes, or to its end when length is
// negative. Reads through the platform's file calls in blocks of 256 KiB and leaves the file
// position wherever reading stopped. Returns false, *hex untouched, when the file cannot be
// positioned or read, or ends before length bytes; else true with the digest in *hex (lower
// case). The caller keeps the handle.
bool FtpDigestFile(int32_t file, FtpDigestKind kind, int64_t offset, int64_t length,
                   std::string* hex);

// Digests the whole local file at path (opened for reading, closed again). False when it cannot
// be opened or read.
bool FtpDigestPath(const std::string& path, FtpDigestKind kind, std::string* hex);

// What a reply to HASH says besides the digest.
struct FtpHashFacts {
    FtpDigestKind kind = FtpDigestKind::Sha256;
    uint64_t start = 0;  // the byte range the server hashed, as it gives it
    uint64_t end = 0;
};

// Reads the digest from a reply to HASH: "213 SHA-256 0-49 169cd2...dd filename" (the reply's
// last line counts; the algorithm's name in any letter case, with or without its hyphen).
// Returns the digest in lower case and fills *facts when given, or "" when the reply is no
// success (213) or lacks a known algorithm, the range or a hexadecimal digest.
std::string FtpParseHashReply(const std::string& reply, FtpHashFacts* facts = nullptr);

// Reads the digest from a reply to XSHA256, XSHA1, XMD5 or XCRC (kind says which was asked):
// "250 <hex>" or "213 <hex>", with or without a file name after it (or, from a few servers,
// before it). A CRC-32 written without its leading zeros ("250 123abcd") or after "0x" is
// given as its eight digits. Returns the digest in lower case, or "" when the reply is no
// success (2xx) or holds no digest of the kind's length.
std::string FtpParseDigestReply(const std::string& reply, FtpDigestKind kind);

// What a server's FEAT says of HASH.
struct FtpHashFeature {
    std::vector<FtpDigestKind> offered;     // the known algorithms, in the server's order
    std::optional<FtpDigestKind> selected;  // the one marked '*': what HASH uses now
};

// Reads the HASH line of a FEAT reply (" HASH SHA-256*;SHA-1;MD5;CRC32"); text may be that line
// or the whole reply. Names are taken in any letter case; names it does not know are left out.
// Empty when no line offers HASH.
FtpHashFeature FtpParseHashFeature(const std::string& text);
