#include "tls_certs.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "run_command.h"

namespace ktest {

namespace {

// Extensions of the two kinds of certificate; subjects and subjectAltName come with each run.
constexpr const char* kOpensslConfig =
    "[req]\n"
    "distinguished_name = subject\n"
    "prompt = no\n"
    "[subject]\n"
    "CN = unused\n"
    "[ca]\n"
    "basicConstraints = critical, CA:TRUE\n"
    "keyUsage = critical, keyCertSign, cRLSign\n"
    "subjectKeyIdentifier = hash\n"
    "[server]\n"
    "basicConstraints = critical, CA:FALSE\n"
    "keyUsage = critical, digitalSignature, keyEncipherment\n"
    "extendedKeyUsage = serverAuth\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid\n";

// Long enough for any test run, short enough that a leaked file is soon worthless.
constexpr const char* kValidDays = "30";
constexpr std::chrono::milliseconds kOpensslTimeout{30000};

std::mutex gInstanceMutex;
std::unique_ptr<TestCertificates> gInstance;  // removes the directory at exit

}  // namespace

const TestCertificates* TestCertificates::get(std::string* why) {
    std::lock_guard<std::mutex> lock(gInstanceMutex);
    if (gInstance) {
        return gInstance.get();
    }
    char pattern[] = "/tmp/kestrel-certs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        *why = std::string("mkdtemp failed: ") + std::strerror(errno);
        return nullptr;
    }
    // Servers that drop their privileges may read the certificates later; the key stays
    // readable by its owner only (openssl writes it so).
    ::chmod(pattern, 0755);
    std::unique_ptr<TestCertificates> made(new TestCertificates(pattern));
    {
        std::ofstream config(made->directory_ + "/openssl.cnf");
        config << kOpensslConfig;
        if (!config.flush()) {
            *why = "cannot write " + made->directory_ + "/openssl.cnf";
            return nullptr;
        }
    }
    if (!made->openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                        "-out", made->keyFile_},
                       why) ||
        !made->makeCa("ca", "Kestrel test CA", why)) {
        return nullptr;
    }
    gInstance = std::move(made);
    return gInstance.get();
}

TestCertificates::TestCertificates(std::string directory)
    : directory_(std::move(directory)),
      caFile_(directory_ + "/ca.pem"),
      keyFile_(directory_ + "/server.key") {}

TestCertificates::~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

bool TestCertificates::openssl(std::vector<std::string> arguments, std::string* why) const {
    arguments.insert(arguments.begin(), "openssl");
    CommandResult result = RunCommand(arguments, kOpensslTimeout);
    if (!result.succeeded()) {
        std::string command;
        for (const std::string& argument : arguments) {
            command += (command.empty() ? "" : " ") + argument;
        }
        *why = result.describe(command) + (result.started ? "" : " (apt-get install openssl)");
        return false;
    }
    return true;
}

bool TestCertificates::makeCa(const std::string& name, const std::string& commonName,
                              std::string* why) const {
    return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    directory_ + "/" + name + ".key", "-out", directory_ + "/" + name + ".pem",
                    "-days", kValidDays, "-subj", "/CN=" + commonName, "-config",
                    directory_ + "/openssl.cnf", "-extensions", "ca"},
                   why);
}

bool TestCertificates::makeServerCertificate(const std::string& name,
                                             const std::string& commonName,
                                             const std::string& altNames,
                                             std::string* why) const {
    return openssl({"req", "-x509", "-new", "-key", keyFile_, "-out",
                    directory_ + "/" + name + ".pem", "-days", kValidDays, "-subj",
                    "/CN=" + commonName, "-config", directory_ + "/openssl.cnf", "-extensions",
                    "server", "-addext", "subjectAltName = " + altNames, "-CA", caFile_,
                    "-CAkey", directory_ + "/ca.key"},
                   why);
}

bool TestCertificates::otherCaFile(std::string* path, std::string* why) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (otherCaFile_.empty()) {
        if (!makeCa("other-ca", "Kestrel unrelated CA", why)) {
            return false;
        }
        otherCaFile_ = directory_ + "/other-ca.pem";
    }
    *path = otherCaFile_;
    return true;
}

bool TestCertificates::serverCertificate(const std::string& address, bool matchingName,
                                         ServerCertificate* out, std::string* why) const {
    in_addr parsed{};
    if (matchingName && ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        *why = "not an IPv4 address: \"" + address + "\"";
        return false;
    }
    const std::string name = matchingName ? "server-" + address : "wrong-name";
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = made_.find(name);
    if (known == made_.end()) {
        bool ok = matchingName ? makeServerCertificate(name, "localhost",
                                                       "IP:" + address + ", DNS:localhost", why)
                               : makeServerCertificate(name, "wrong-name.invalid",
                                                       "DNS:wrong-name.invalid", why);
        if (!ok) {
            return false;
        }
        known = made_.emplace(name, directory_ + "/" + name + ".pem").first;
    }
    out->certFile = known->second;
    out->keyFile = keyFile_;
    return true;
}

}  // namespace ktest
