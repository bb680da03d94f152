// Real FTP servers for interoperability tests: pyftpdlib, vsftpd, proftpd and pure-ftpd, and
// ftp-srv, Twisted, aioftp and inetutils-ftpd, each started on a loopback address of the
// caller's choice (port 21 by default) with a fresh temporary root directory, and stopped, with
// every process it forked, when the object goes away.
//
//     ktest::RealFtpServer server(ktest::RealFtpServer::Kind::Vsftpd, "127.0.0.3");
//     ASSERT_TRUE(server.start()) << server.error();
//     WriteFile(server.rootDir() + "/hello.txt", "hi\r\n");   // served as "/hello.txt"
//     ... FtpLogin(server.address(), server.user(), server.password(), key) ...
//     ... on failure: << server.log() shows what the server said about it ...
//
// Tests that ctest runs in parallel may ask for the same address: start() first takes the
// AddressLock of address and port and holds it until stop(), so such tests take turns. Different addresses per server kind and test executable
// still let them run side by side; by convention 127.0.0.2 for pyftpdlib and 127.0.0.3 for
// vsftpd in the interoperability tests, 127.0.0.12 and 127.0.0.13 in the fixture's own tests.
//
// pyftpdlib serves one named user with a password and full write access. vsftpd serves the
// system user "ftp" (created by the vsftpd package) through a PAM service of the fixture's own
// that accepts any password (/etc/pam.d/kestrel-test-vsftpd, written on first use), not
// chrooted, starting in the root directory with full write access; it runs only as root,
// which it needs for port 21 and for switching to that user.
// Both accept active-mode data connections (PORT) to the address the client's control
// connection comes from, and vsftpd connects from the address it listens on.
//
// With setTls() before start() the server speaks FTPS (RFC 4217) with a certificate from
// TestCertificates for its address, signed by the CA in caFile(); it then refuses USER in clear
// and requires PROT P before any data connection:
//
//     ktest::RealFtpServer server(ktest::RealFtpServer::Kind::Vsftpd, "127.0.0.3");
//     server.setTls(ktest::RealFtpServer::Tls::Explicit);     // AUTH TLS after the greeting
//     ASSERT_TRUE(server.start()) << server.error();
//     ... tls 1, caFile server.caFile(), FtpLogin(server.address(), server.user(), ...) ...
//
// Tls::Implicit starts the handshake at the first byte; give such a server port 990.
//
// vsftpd runs with ssl_enable, force_local_logins_ssl and force_local_data_ssl; with its
// defaults require_ssl_reuse=YES (each data connection must resume the control connection's
// TLS session, else "522 SSL connection failed: session reuse required") and
// ssl_request_cert=YES (it asks for a client certificate and does without one); and, stricter
// than its defaults, with strict_ssl_read_eof and strict_ssl_write_shutdown: a data connection
// that the client closes without its close_notify fails the transfer with "426 Failure reading
// network stream" (upload) or "426 Failure writing network stream" (download). Its log (log())
// shows for each TLS connection the version, the cipher and whether the session was
// "reused". vsftpd takes "ftp" for its anonymous user and refuses TLS to it, so with TLS it
// serves a local account of its own, kestrel-tls (created on first use with home directory
// /var/lib/kestrel-tls and no login shell, logged in through the same permissive PAM service).
//
// pyftpdlib runs its TLS handler through tests/support/tls_ftpd.py (needs python3-openssl). It
// does not require session reuse or close_notify, and it drops a passive data connection on
// which bytes (a client's ClientHello) arrive before the transfer command: a client must start
// the data connection's handshake after sending RETR, STOR, LIST or NLST, as vsftpd also
// allows.
//
// proftpd (with mod_tls) and pure-ftpd run from the packages that scripts/test_servers.sh
// unpacks into build/test-servers (or the folder KESTREL_TEST_SERVERS names), with the libraries
// unpacked beside them; installed() is false until then. Both serve one virtual user of their
// own (a password file of the fixture's, mapped to the system's "nobody"), in the root
// directory. proftpd with TLS allows TLS 1.2 and 1.3 and keeps its default options, so every
// data connection must resume the control connection's session ("client did not reuse TLS
// session, rejecting data connection" in log()); its implicit mode is TLSOptions
// UseImplicitSSL. pure-ftpd with TLS runs with -Y 2 (TLS required on the control connection,
// data connections as the client asks with PROT); it has no implicit mode, and it never
// answers an ABOR that arrives during a transfer.
//
// ftp-srv (npm, installed by scripts/test_servers.sh into build/test-servers/node and run with
// /usr/bin/node through tests/support/ftpsrv_ftpd.js), Twisted (python3-twisted, through
// twisted_ftpd.py) and aioftp (python3-aioftp, through aioftp_ftpd.py) serve one named user with
// a password in the root directory, shown as "/", all sessions in one process. ftp-srv speaks
// explicit and implicit TLS; aioftp implicit TLS only (its passive data connections are then
// TLS from their first byte); Twisted none. Twisted and ftp-srv open active data connections
// from 127.0.0.1, not from the address they listen on.
//
// inetutils-ftpd is unpacked like proftpd and runs under tests/support/inetd.py, one process per
// session (its own daemon mode cannot be bound to one address). It logs in system accounts
// only: the fixture's account kestrel-ftpd (created on first use, with /bin/sh, since ftpd
// refuses users without a shell from /etc/shells) gets a fresh random password (password() is
// valid after start()) and the root directory as its home at each start, so only one such
// server runs at a time on the machine. It is not chrooted: PWD shows the real path. It takes
// no TLS, and it sends active data connections from port 20 of its address.
//
// Everything is bounded: start() gives up after its time-out, and stop() waits a few seconds
// for the processes to end before killing them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "address_lock.h"
#include "tls_certs.h"

namespace ktest {

class RealFtpServer {
public:
    enum class Kind {
        Pyftpdlib,
        Vsftpd,
        Proftpd,
        PureFtpd,
        FtpSrv,
        Twisted,
        Aioftp,
        InetutilsFtpd,
    };
    // Off: plain FTP. Explicit: AUTH TLS after the greeting. Implicit: TLS from the first byte.
    enum class Tls { Off, Explicit, Implicit };
    using Millis = std::chrono::milliseconds;

    // Prepares a server; nothing runs until start().
    RealFtpServer(Kind kind, std::string address, uint16_t port = 21);
    // stop().
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    // Whether the server program of `kind` is installed (or, for proftpd, pure-ftpd and
    // inetutils-ftpd, unpacked; for ftp-srv, installed with npm).
    static bool installed(Kind kind);
    // How to install it, for the message of a test that skips without it.
    static const char* installHint(Kind kind);
    // Whether the server can serve with TLS in `mode` (every kind serves Tls::Off).
    static bool offers(Kind kind, Tls mode);
    static const char* name(Kind kind);

    // Serves with TLS; call before start(). With matchingName false the server's certificate
    // is signed by the same CA but made out to another name (DNS:wrong-name.invalid), for
    // host-name checks.
    void setTls(Tls mode, bool matchingName = true);
    Tls tls() const { return tls_; }

    // Creates the root directory and the configuration, starts the server and waits until it
    // answers a connection with its 220 greeting. Returns false with error() set when the
    // program is missing, cannot run here (vsftpd needs root), exits early, something else
    // already listens on the address, or no greeting came within `timeout`.
    bool start(Millis timeout = Millis(20000));
    // How long start() waits for another test to let the same address and port go (150 s by
    // default, below ctest's per-test limit).
    void setLockTimeout(Millis timeout) { lockTimeout_ = timeout; }
    // Ends the server's session processes and process group (TERM, then KILL after a bounded
    // wait), reaps it, removes the temporary directory and lets the address go. Safe to call
    // more than once.
    void stop();

    // Kills the processes that serve sessions (SIGKILL), leaving the server listening: to the
    // client both connections close at once. The number killed; 0 for a server that serves
    // sessions in its own process (pyftpdlib).
    int killSessions();

    bool running() const { return pid_ > 0; }
    Kind kind() const { return kind_; }
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    // The directory served as "/". Valid after a successful start().
    const std::string& rootDir() const { return rootDir_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // With TLS: the PEM file of the CA that signed the server's certificate (from
    // TestCertificates), valid after a successful start(); empty without TLS.
    const std::string& caFile() const { return caFile_; }
    // Why start() failed.
    const std::string& error() const { return error_; }
    // What the server wrote to its output and log file so far, for failure messages.
    std::string log() const;

private:
    bool fail(std::string message);
    bool writeVsftpdConfig(const std::string& path, const std::string& certFile,
                           const std::string& keyFile);
    bool writeProftpdConfig(const std::string& path, const std::string& certFile,
                            const std::string& keyFile);
    // The argument list of proftpd or pure-ftpd, after writing their user file; empty on failure.
    std::vector<std::string> prepareUnpacked(const ServerCertificate& certificate);
    // The server's argument list, after its configuration, users and accounts are in place;
    // empty with error() set on failure.
    std::vector<std::string> commandLine(const ServerCertificate& certificate);
    // Takes the inetutils-ftpd account for this server: its password and home directory.
    bool prepareInetutilsAccount();
    bool launch(const std::vector<std::string>& argv, bool unpacked = false);
    bool waitForGreeting(Millis timeout);
    // Waits up to `timeout` for the server process to end, leaving it unreaped so that its
    // process-group id stays ours until stop() has signalled the whole group.
    bool waitExit(Millis timeout);

    Kind kind_;
    std::string address_;
    uint16_t port_;
    std::string user_;
    std::string password_;
    Tls tls_ = Tls::Off;
    bool matchingName_ = true;
    std::string caFile_;
    std::string workDir_;  // temporary directory holding the root, configuration and logs
    std::string rootDir_;
    std::string error_;
    std::string savedLog_;  // log() once the work directory is gone
    pid_t pid_ = -1;
    int pidFd_ = -1;  // becomes readable when the server process ends
    Millis lockTimeout_{150000};
    AddressLock lock_;  // held while the server runs
    AddressLock accountLock_;  // inetutils-ftpd: its account, held while the server runs
};

}  // namespace ktest
