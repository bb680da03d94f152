// Certificates for TLS tests, made at run time with the openssl command-line tool in a temporary
// directory of the test process, and removed when the process exits:
//
//   ca.pem          a private CA ("Kestrel test CA") that signs every server certificate here;
//                   the file to give a client as its trusted certificates
//   other-ca.pem    an unrelated CA ("Kestrel unrelated CA", a key of its own) that signed
//                   nothing here: a client that trusts only it must refuse every server here
//   server-ADDRESS.pem   a server certificate for ADDRESS (subjectAltName IP:ADDRESS and
//                   DNS:localhost, extended key usage serverAuth), signed by ca.pem
//   wrong-name.pem  a server certificate signed by ca.pem for DNS:wrong-name.invalid only, which
//                   matches no address a test server listens on
//   server.key      the private key of every server certificate (RSA 2048, unencrypted)
//
//     std::string why;
//     const ktest::TestCertificates* certificates = ktest::TestCertificates::get(&why);
//     ASSERT_NE(certificates, nullptr) << why;
//     ktest::ServerCertificate server;
//     ASSERT_TRUE(certificates->serverCertificate("127.0.0.3", true, &server, &why)) << why;
//     ... server.certFile, server.keyFile, certificates->caFile() ...
//
// The keys are RSA, which every TLS stack takes (vsftpd names its option rsa_cert_file, and
// SChannel under Wine checks chains through its own code). Each file is made on first use and
// then reused by the whole process; every openssl run has a time limit.
//
// Threads: every member may be called from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ktest {

struct ServerCertificate {
    std::string certFile;  // PEM, the server's certificate alone (the CA is not appended)
    std::string keyFile;   // PEM, its unencrypted private key
};

class TestCertificates {
public:
    // The process's certificates: on the first call makes the directory, the CA and the server
    // key. Returns nullptr with the reason in `why` when that fails (openssl missing or
    // failing); a later call tries again.
    static const TestCertificates* get(std::string* why);

    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& directory() const { return directory_; }
    // ca.pem: the CA that signed every server certificate.
    const std::string& caFile() const { return caFile_; }
    // other-ca.pem, made on first use. False with the reason in `why` when that fails.
    bool otherCaFile(std::string* path, std::string* why) const;
    // A certificate and key for a server on `address` (an IPv4 address) when `matchingName`,
    // else wrong-name.pem. Made on first use for each address.
    bool serverCertificate(const std::string& address, bool matchingName, ServerCertificate* out,
                           std::string* why) const;

private:
    explicit TestCertificates(std::string directory);
    // Runs openssl with `arguments` in the directory; false with its output in `why`.
    bool openssl(std::vector<std::string> arguments, std::string* why) const;
    // Makes name.pem (and name.key) as a self-signed CA with the given common name.
    bool makeCa(const std::string& name, const std::string& commonName, std::string* why) const;
    // Makes name.pem for server.key, signed by ca.pem, with the given subjectAltName.
    bool makeServerCertificate(const std::string& name, const std::string& commonName,
                               const std::string& altNames, std::string* why) const;

    std::string directory_;
    std::string caFile_;
    std::string keyFile_;
    mutable std::mutex mutex_;                        // guards the members below
    mutable std::string otherCaFile_;                 // empty until made
    mutable std::map<std::string, std::string> made_;  // certificate name -> file
};

}  // namespace ktest
