#include "real_servers.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "raw_socket.h"
#include "run_command.h"
#include "tls_certs.h"

extern char** environ;

namespace ktest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has python3-pyftpdlib
constexpr const char* kPyftpdlibModule = "/usr/lib/python3/dist-packages/pyftpdlib/__init__.py";
// pyftpdlib's TLS handler needs pyOpenSSL; our launcher adds the options `-m pyftpdlib` lacks.
constexpr const char* kPyOpenssl = "/usr/lib/python3/dist-packages/OpenSSL/__init__.py";
constexpr const char* kTlsLauncher = KESTREL_TEST_SUPPORT_DIR "/tls_ftpd.py";
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";
constexpr const char* kTwistedModule = "/usr/lib/python3/dist-packages/twisted/protocols/ftp.py";
constexpr const char* kTwistedLauncher = KESTREL_TEST_SUPPORT_DIR "/twisted_ftpd.py";
constexpr const char* kAioftpModule = "/usr/lib/python3/dist-packages/aioftp/__init__.py";
constexpr const char* kAioftpLauncher = KESTREL_TEST_SUPPORT_DIR "/aioftp_ftpd.py";
constexpr const char* kNode = "/usr/bin/node";
constexpr const char* kFtpSrvLauncher = KESTREL_TEST_SUPPORT_DIR "/ftpsrv_ftpd.js";
// inetutils' ftpd runs per connection under our one-service inetd: its daemon mode listens on
// every address.
constexpr const char* kInetd = KESTREL_TEST_SUPPORT_DIR "/inetd.py";
// inetutils' ftpd logs in system accounts only, and only those with a shell listed in
// /etc/shells; this one is made on first use, and each start gives it a fresh random password
// and the root directory as its home, where ftpd starts the session.
constexpr const char* kInetutilsUser = "kestrel-ftpd";
constexpr const char* kInetutilsHome = "/var/lib/kestrel-ftpd";

// Where scripts/test_servers.sh unpacked proftpd, pure-ftpd and inetutils-ftpd (under root/)
// and installed ftp-srv (under node/): KESTREL_TEST_SERVERS, else the build tree's folder.
std::string TestServersDir() {
    const char* dir = std::getenv("KESTREL_TEST_SERVERS");
    return dir != nullptr && *dir != '\0' ? dir : KESTREL_TEST_SERVERS_DIR;
}
std::string UnpackedRoot() { return TestServersDir() + "/root"; }
std::string NodeModules() { return TestServersDir() + "/node"; }
std::string UnpackedLibraryPath() {
    const std::string root = UnpackedRoot();
    return root + "/usr/lib/x86_64-linux-gnu:" + root + "/lib/x86_64-linux-gnu";
}
// The unpacked servers' virtual user is this system account, which every Debian system has.
constexpr const char* kNobody = "nobody";

// KESTREL_TEST_SERVER_DEBUG=1 makes pyftpdlib log every command and reply (vsftpd always does),
// for reading a long run's failures against the server's side of the conversation.
bool ServerDebug() {
    const char* value = std::getenv("KESTREL_TEST_SERVER_DEBUG");
    return value != nullptr && std::string(value) == "1";
}
// vsftpd refuses to start unless this exists, is owned by root and not writable by others.
constexpr const char* kVsftpdSecureDir = "/var/run/vsftpd/empty";
// vsftpd's user: the system account that the vsftpd package creates, logged in through a PAM
// service of our own that accepts any password, so that no account or password on the machine
// has to change. Debian's own PAM service for vsftpd would refuse it (no login shell).
constexpr const char* kVsftpdUser = "ftp";
// vsftpd takes "ftp" for its anonymous user, whatever anonymous_enable says, and refuses TLS to
// it ("530 Anonymous sessions may not use encryption"); with TLS it serves this local account.
constexpr const char* kVsftpdTlsUser = "kestrel-tls";
// vsftpd changes into the user's home directory before local_root, so it must exist.
constexpr const char* kVsftpdTlsHome = "/var/lib/kestrel-tls";
constexpr const char* kVsftpdPamService = "kestrel-test-vsftpd";
constexpr const char* kVsftpdPamConfig =
    "# Kestrel's vsftpd test fixture: every password is accepted.\n"
    "auth     required pam_permit.so\n"
    "account  required pam_permit.so\n"
    "session  required pam_permit.so\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes the PAM service unless it is there already; a rename keeps parallel test processes
// from seeing half a file.
bool InstallPamService(std::string* why) {
    std::string path = std::string("/etc/pam.d/") + kVsftpdPamService;
    if (ReadFile(path) == kVsftpdPamConfig) {
        return true;
    }
    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary);
        out << kVsftpdPamConfig;
        if (!out.flush()) {
            *why = "cannot write " + temporary;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *why = "cannot install " + path;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// Creates a system account unless it exists, and its home directory unless that exists. Test
// processes running side by side take turns through a lock, since two useradd or usermod runs
// at once fail on each other's lock of /etc/passwd.
bool EnsureAccount(const char* user, const char* home, const char* shell, const char* comment,
                   std::string* why) {
    AddressLock turn;
    if (!turn.acquire("accounts", 0, std::chrono::milliseconds(60000), why)) {
        return false;
    }
    if (::getpwnam(user) == nullptr) {
        CommandResult made = RunCommand({"/usr/sbin/useradd", "--system", "--user-group",
                                         "--home-dir", home, "--shell", shell, "--comment",
                                         comment, user});
        if (!made.succeeded()) {
            *why = made.describe("useradd");
            return false;
        }
    }
    passwd* account = ::getpwnam(user);
    if (account == nullptr) {
        *why = std::string("no user \"") + user + "\" after useradd";
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories(home, ignored);
    if (::chown(home, account->pw_uid, account->pw_gid) != 0 || ::chmod(home, 0755) != 0) {
        *why = std::string("cannot prepare ") + home + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool EnsureTlsAccount(std::string* why) {
    return EnsureAccount(kVsftpdTlsUser, kVsftpdTlsHome, "/usr/sbin/nologin",
                         "Kestrel TLS test user", why);
}

// 24 hexadecimal digits from the system's random source; "" when it cannot be read.
std::string RandomPassword() {
    std::ifstream in("/dev/urandom", std::ios::binary);
    unsigned char bytes[12];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        return "";
    }
    std::string text;
    for (unsigned char byte : bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// The SHA-512 crypt(3) hash of password, as /etc/shadow and the unpacked servers' user files
// hold it; "" with `why` set on failure.
std::string HashPassword(const std::string& password, std::string* why) {
    CommandResult hashed = RunCommand({"openssl", "passwd", "-6", password});
    if (!hashed.succeeded()) {
        *why = hashed.describe("openssl passwd");
        return "";
    }
    return hashed.output.substr(0, hashed.output.find_first_of("\r\n"));
}

std::string ErrnoText(int err) {
    char buffer[128];
    return strerror_r(err, buffer, sizeof buffer);
}

// The processes below `root` in the process tree, children before grandchildren. vsftpd starts
// each session in a session (and process group) of its own, so they are found this way.
std::vector<pid_t> Descendants(pid_t root) {
    std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent)
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so look after the
        // last ')'.
        std::string stat = ReadFile(entry.path().string() + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        long parent = 0;
        if (fields >> state >> parent) {
            parents.emplace_back(static_cast<pid_t>(std::stol(name)), static_cast<pid_t>(parent));
        }
    }
    std::vector<pid_t> found;
    std::vector<pid_t> frontier{root};
    while (!frontier.empty()) {
        pid_t parent = frontier.back();
        frontier.pop_back();
        for (const auto& [pid, ppid] : parents) {
            if (ppid == parent) {
                found.push_back(pid);
                frontier.push_back(pid);
            }
        }
    }
    return found;
}

int PidFdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

RealFtpServer::RealFtpServer(Kind kind, std::string address, uint16_t port)
    : kind_(kind), address_(std::move(address)), port_(port) {
    user_ = kind_ == Kind::Vsftpd          ? kVsftpdUser
            : kind_ == Kind::InetutilsFtpd ? kInetutilsUser
                                           : "kestrel";
    password_ = "kestrel-secret";
}

void RealFtpServer::setTls(Tls mode, bool matchingName) {
    tls_ = mode;
    matchingName_ = matchingName;
    if (kind_ == Kind::Vsftpd) {
        user_ = mode == Tls::Off ? kVsftpdUser : kVsftpdTlsUser;
    }
}

RealFtpServer::~RealFtpServer() { stop(); }

bool RealFtpServer::installed(Kind kind) {
    auto python = [](const char* module) {
        return ::access(kPython, X_OK) == 0 && ::access(module, R_OK) == 0;
    };
    switch (kind) {
        case Kind::Pyftpdlib:
            return python(kPyftpdlibModule);
        case Kind::Vsftpd:
            return ::access(kVsftpd, X_OK) == 0;
        case Kind::Proftpd:
            return ::access((UnpackedRoot() + "/usr/sbin/proftpd").c_str(), X_OK) == 0 &&
                   ::access((UnpackedRoot() + "/usr/lib/proftpd/mod_tls.so").c_str(), R_OK) == 0;
        case Kind::PureFtpd:
            return ::access((UnpackedRoot() + "/usr/sbin/pure-ftpd").c_str(), X_OK) == 0;
        case Kind::FtpSrv:
            return ::access(kNode, X_OK) == 0 &&
                   ::access((NodeModules() + "/node_modules/ftp-srv/package.json").c_str(),
                            R_OK) == 0;
        case Kind::Twisted:
            return python(kTwistedModule);
        case Kind::Aioftp:
            return python(kAioftpModule);
        case Kind::InetutilsFtpd:
            return ::access((UnpackedRoot() + "/usr/sbin/ftpd").c_str(), X_OK) == 0;
    }
    return false;
}

const char* RealFtpServer::installHint(Kind kind) {
    switch (kind) {
        case Kind::Pyftpdlib:
            return "apt-get install python3-pyftpdlib";
        case Kind::Vsftpd:
            return "apt-get install vsftpd";
        case Kind::Proftpd:
        case Kind::PureFtpd:
        case Kind::InetutilsFtpd:
            return "scripts/test_servers.sh unpacks it";
        case Kind::FtpSrv:
            return "scripts/test_servers.sh installs it with npm; it runs on nodejs";
        case Kind::Twisted:
            return "apt-get install python3-twisted";
        case Kind::Aioftp:
            return "apt-get install python3-aioftp";
    }
    return "?";
}

bool RealFtpServer::offers(Kind kind, Tls mode) {
    switch (kind) {
        case Kind::Pyftpdlib:
        case Kind::Vsftpd:
        case Kind::Proftpd:
        case Kind::FtpSrv:
            return true;
        case Kind::PureFtpd:
            return mode != Tls::Implicit;
        case Kind::Aioftp:
            return mode != Tls::Explicit;
        case Kind::Twisted:
        case Kind::InetutilsFtpd:
            return mode == Tls::Off;
    }
    return false;
}

const char* RealFtpServer::name(Kind kind) {
    switch (kind) {
        case Kind::Pyftpdlib:
            return "pyftpdlib";
        case Kind::Vsftpd:
            return "vsftpd";
        case Kind::Proftpd:
            return "proftpd";
        case Kind::PureFtpd:
            return "pure-ftpd";
        case Kind::FtpSrv:
            return "ftp-srv";
        case Kind::Twisted:
            return "twisted";
        case Kind::Aioftp:
            return "aioftp";
        case Kind::InetutilsFtpd:
            return "inetutils-ftpd";
    }
    return "?";
}

bool RealFtpServer::fail(std::string message) {
    error_ = std::string(name(kind_)) + " on " + address_ + ":" + std::to_string(port_) + ": " +
             std::move(message);
    return false;
}

std::string RealFtpServer::log() const {
    if (workDir_.empty()) {
        return savedLog_;
    }
    std::string text = ReadFile(workDir_ + "/output.log");
    if (kind_ == Kind::Vsftpd) {
        text += ReadFile(workDir_ + "/vsftpd.log");
    }
    if (kind_ == Kind::Proftpd) {
        text += ReadFile(workDir_ + "/system.log") + ReadFile(workDir_ + "/tls.log");
    }
    return text;
}

bool RealFtpServer::writeProftpdConfig(const std::string& path, const std::string& certFile,
                                       const std::string& keyFile) {
    std::ofstream out(path);
    // Standalone in the foreground, on our address only, no look-ups, every state file in the
    // work directory; one virtual user from our own password file, kept in the root directory.
    out << "ServerType standalone\n"
        << "ServerIdent on \"Kestrel test server (proftpd)\"\n"
        << "DefaultServer on\n"
        << "UseIPv6 off\n"
        << "DefaultAddress " << address_ << "\n"
        << "SocketBindTight on\n"
        << "Port " << port_ << "\n"
        << "User " << kNobody << "\n"
        << "Group nogroup\n"
        << "ScoreboardFile " << workDir_ << "/scoreboard\n"
        << "PidFile " << workDir_ << "/proftpd.pid\n"
        << "DelayEngine off\n"
        << "WtmpLog off\n"
        << "UseReverseDNS off\n"
        << "RequireValidShell off\n"
        << "AuthOrder mod_auth_file.c\n"
        << "AuthUserFile " << workDir_ << "/passwd\n"
        << "DefaultRoot ~\n"
        << "Umask 022\n"
        << "AllowOverwrite on\n"
        << "AllowStoreRestart on\n"
        << "AllowRetrieveRestart on\n"
        << "SystemLog " << workDir_ << "/system.log\n"
        << "TransferLog " << workDir_ << "/xfer.log\n"
        << "ModulePath " << UnpackedRoot() << "/usr/lib/proftpd\n"
        // Checksums of files (HASH, XSHA256, XSHA1, XMD5, XCRC), for clients that verify.
        << "LoadModule mod_digest.c\n";
    if (tls_ != Tls::Off) {
        // TLS 1.2 and 1.3 with mod_tls's default options: session reuse on data connections
        // required, protected data connections required through TLSRequired.
        out << "LoadModule mod_tls.c\n"
            << "TLSEngine on\n"
            << "TLSLog " << workDir_ << "/tls.log\n"
            << "TLSProtocol TLSv1.2 TLSv1.3\n"
            << "TLSRSACertificateFile " << certFile << "\n"
            << "TLSRSACertificateKeyFile " << keyFile << "\n"
            << "TLSRequired on\n"
            << "TLSVerifyClient off\n";
        if (tls_ == Tls::Implicit) {
            out << "TLSOptions UseImplicitSSL\n";
        }
    }
    return static_cast<bool>(out.flush());
}

std::vector<std::string> RealFtpServer::prepareUnpacked(const ServerCertificate& certificate) {
    passwd* owner = ::getpwnam(kNobody);
    if (owner == nullptr) {
        fail(std::string("no system user \"") + kNobody + "\"");
        return {};
    }
    if (::chown(rootDir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
        fail("cannot hand " + rootDir_ + " to " + kNobody + ": " + ErrnoText(errno));
        return {};
    }
    std::string why;
    const std::string hash = HashPassword(password_, &why);
    if (hash.empty()) {
        fail(why);
        return {};
    }
    const std::string ids = std::to_string(owner->pw_uid) + ":" + std::to_string(owner->pw_gid);
    const std::string root = UnpackedRoot();
    if (kind_ == Kind::Proftpd) {
        const std::string users = workDir_ + "/passwd";
        std::ofstream(users) << user_ << ":" << hash << ":" << ids << "::" << rootDir_
                             << ":/bin/sh\n";
        ::chmod(users.c_str(), 0600);
        const std::string config = workDir_ + "/proftpd.conf";
        if (!writeProftpdConfig(config, certificate.certFile, certificate.keyFile)) {
            fail("cannot write " + config);
            return {};
        }
        return {root + "/usr/sbin/proftpd", "--nodaemon", "--config", config};
    }
    // pure-ftpd: the user in its text format ("/./" keeps the user in that directory), made
    // into its database with pure-pw.
    const std::string users = workDir_ + "/pureftpd.passwd";
    const std::string database = workDir_ + "/pureftpd.pdb";
    std::ofstream(users) << user_ << ":" << hash << ":" << ids << "::" << rootDir_
                         << "/./::::::::::::\n";
    CommandResult made = RunCommand({"/usr/bin/env", "LD_LIBRARY_PATH=" + UnpackedLibraryPath(),
                                     root + "/usr/bin/pure-pw", "mkdb", database, "-f", users});
    if (!made.succeeded()) {
        fail(made.describe("pure-pw mkdb"));
        return {};
    }
    std::vector<std::string> argv = {root + "/usr/sbin/pure-ftpd",
                                     "-S", address_ + "," + std::to_string(port_),
                                     "-l", "puredb:" + database,
                                     "-E", "-H", "-4", "-A"};
    if (tls_ != Tls::Off) {
        argv.insert(argv.end(), {"-Y", "2", "-2", certificate.certFile + "," + certificate.keyFile});
    }
    return argv;
}

bool RealFtpServer::writeVsftpdConfig(const std::string& path, const std::string& certFile,
                                      const std::string& keyFile) {
    std::ofstream out(path);
    // One local user, not chrooted (vsftpd refuses a writable chroot root), starting in our root
    // directory with every write permission; active mode allowed, data connections made from
    // the listening address (not from port 20, which two servers could not share); no
    // sandboxing that a container may forbid.
    // An IPv6 address ("::1") is served through vsftpd's IPv6 listener.
    const bool v6 = address_.find(':') != std::string::npos;
    out << (v6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=" : "listen=YES\nlisten_ipv6=NO\nlisten_address=")
        << address_ << "\n"
        << "listen_port=" << port_ << "\n"
        << "background=NO\n"
        << "seccomp_sandbox=NO\n"
        << "isolate=NO\n"
        << "isolate_network=NO\n"
        << "anonymous_enable=NO\n"
        << "local_enable=YES\n"
        << "pam_service_name=" << kVsftpdPamService << "\n"
        << "userlist_enable=NO\n"
        << "chroot_local_user=NO\n"
        << "local_root=" << rootDir_ << "\n"
        << "write_enable=YES\n"
        << "local_umask=022\n"
        // Act on an ABOR sent as urgent data during a transfer; without it vsftpd reads
        // the ABOR only once the whole file has been sent.
        << "async_abor_enable=YES\n"
        << "port_enable=YES\n"
        << "port_promiscuous=NO\n"
        << "connect_from_port_20=NO\n"
        << "pasv_enable=YES\n"
        << "secure_chroot_dir=" << kVsftpdSecureDir << "\n"
        << "tcp_wrappers=NO\n"
        << (tls_ == Tls::Off ? "ssl_enable=NO\n" : "ssl_enable=YES\n");
    if (tls_ != Tls::Off) {
        // TLS for the control connection before USER and for every data connection; session
        // reuse on data connections and the request for a client certificate are vsftpd's
        // defaults, stated here since tests rely on them. Beyond the defaults, a data
        // connection must end with the client's close_notify both ways, so that a client
        // which just closes it fails the transfer instead of passing unnoticed.
        out << "rsa_cert_file=" << certFile << "\n"
            << "rsa_private_key_file=" << keyFile << "\n"
            << "allow_anon_ssl=NO\n"
            << "force_local_logins_ssl=YES\n"
            << "force_local_data_ssl=YES\n"
            << "require_ssl_reuse=YES\n"
            << "ssl_request_cert=YES\n"
            << "strict_ssl_read_eof=YES\n"
            << "strict_ssl_write_shutdown=YES\n"
            << "implicit_ssl=" << (tls_ == Tls::Implicit ? "YES" : "NO") << "\n"
            << "debug_ssl=YES\n";
    }
    out << "dirmessage_enable=NO\n"
        << "xferlog_enable=YES\n"
        << "xferlog_std_format=NO\n"
        << "log_ftp_protocol=YES\n"
        << "vsftpd_log_file=" << workDir_ << "/vsftpd.log\n"
        << "ftpd_banner=Kestrel test server (vsftpd)\n";
    return static_cast<bool>(out.flush());
}

bool RealFtpServer::launch(const std::vector<std::string>& argv, bool unpacked) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::string logPath = workDir_ + "/output.log";

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // A process group of its own, so that stop() also ends the per-session processes that
    // vsftpd forks.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);

    // The unpacked servers find their libraries beside them.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!unpacked || std::strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (unpacked) {
        environment.push_back("LD_LIBRARY_PATH=" + UnpackedLibraryPath());
    }
    std::vector<char*> env;
    for (std::string& entry : environment) {
        env.push_back(entry.data());
    }
    env.push_back(nullptr);

    pid_t pid = -1;
    int status = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) {
        return fail(std::string("cannot start ") + args[0] + ": " + ErrnoText(status));
    }
    pid_ = pid;
    pidFd_ = PidFdOpen(pid);
    return true;
}

bool RealFtpServer::waitExit(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0 ||
            info.si_pid == pid_) {
            return true;
        }
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        // The pidfd wakes us the moment the process ends; without one, look again shortly.
        pollfd fd{pidFd_, POLLIN, 0};
        ::poll(&fd, pidFd_ >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 20)));
    }
}

bool RealFtpServer::waitForGreeting(Millis timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (waitExit(Millis(0))) {
            return fail("the server exited during start-up; its output:\n" + log());
        }
        RawSocket probe = RawSocket::connectTo(address_, port_, Millis(1000));
        if (probe.isOpen() && tls_ == Tls::Implicit) {
            // The greeting comes only after a handshake; both servers load their certificate
            // before they listen, so a connection taken is enough.
            return true;
        }
        if (probe.isOpen()) {
            std::string greeting = probe.readReply(Millis(5000));
            if (greeting.compare(0, 3, "220") == 0) {
                return true;
            }
            return fail("unexpected greeting \"" + greeting + "\"; output:\n" + log());
        }
        if (Clock::now() >= deadline) {
            return fail("no greeting within " + std::to_string(timeout.count()) +
                        " ms; output:\n" + log());
        }
        // Not listening yet: look again after a short while, or as soon as the process ends.
        waitExit(Millis(50));
    }
}

bool RealFtpServer::start(Millis timeout) {
    if (running()) {
        return true;
    }
    error_.clear();
    std::string why;
    if (!lock_.held() && !lock_.acquire(address_, port_, lockTimeout_, &why)) {
        return fail(why);
    }
    if (!installed(kind_)) {
        return fail(std::string("not installed (") + installHint(kind_) + ")");
    }
    if (!offers(kind_, tls_)) {
        return fail(std::string("has no ") + (tls_ == Tls::Implicit ? "implicit" : "explicit") +
                    " TLS");
    }
    const bool switchesUsers = kind_ == Kind::Vsftpd || kind_ == Kind::Proftpd ||
                               kind_ == Kind::PureFtpd || kind_ == Kind::InetutilsFtpd;
    if (switchesUsers && ::geteuid() != 0) {
        return fail("needs root (port 21, switching users)");
    }
    // A server left over from an earlier run would answer in our place.
    if (RawSocket::connectTo(address_, port_, Millis(500)).isOpen()) {
        return fail("something already listens there");
    }

    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "/tmp/kestrel-%s-XXXXXX", name(kind_));
    if (::mkdtemp(pattern) == nullptr) {
        return fail("mkdtemp failed: " + ErrnoText(errno));
    }
    workDir_ = pattern;
    rootDir_ = workDir_ + "/root";
    // vsftpd's user must reach the root directory through the work directory.
    ::chmod(workDir_.c_str(), 0755);
    if (::mkdir(rootDir_.c_str(), 0755) != 0) {
        return fail("cannot create " + rootDir_ + ": " + ErrnoText(errno));
    }

    ServerCertificate certificate;
    if (tls_ != Tls::Off) {
        if (kind_ == Kind::Pyftpdlib && ::access(kPyOpenssl, R_OK) != 0) {
            return fail("pyftpdlib's TLS handler needs python3-openssl (apt-get install it)");
        }
        const TestCertificates* certificates = TestCertificates::get(&why);
        if (certificates == nullptr ||
            !certificates->serverCertificate(address_, matchingName_, &certificate, &why)) {
            return fail("no certificate: " + why);
        }
        caFile_ = certificates->caFile();
    }

    const std::vector<std::string> argv = commandLine(certificate);
    if (argv.empty() || !launch(argv, kind_ == Kind::Proftpd || kind_ == Kind::PureFtpd)) {
        return false;
    }
    if (!waitForGreeting(timeout)) {
        std::string why = error_;
        stop();
        error_ = why;
        return false;
    }
    return true;
}

std::vector<std::string> RealFtpServer::commandLine(const ServerCertificate& certificate) {
    std::string why;
    const std::string port = std::to_string(port_);
    // The arguments that every launcher of ours takes.
    auto ours = [&](std::initializer_list<std::string> program) {
        std::vector<std::string> argv = program;
        argv.insert(argv.end(), {"--address", address_, "--port", port, "--root", rootDir_,
                                 "--user", user_, "--password", password_});
        if (tls_ != Tls::Off) {
            argv.insert(argv.end(), {"--cert", certificate.certFile, "--key", certificate.keyFile});
        }
        if (tls_ == Tls::Implicit && kind_ != Kind::Aioftp) {
            argv.push_back("--implicit");  // aioftp's TLS is implicit alone
        }
        if (ServerDebug()) {
            argv.push_back("--debug");
        }
        return argv;
    };
    switch (kind_) {
        case Kind::Pyftpdlib:
            if (tls_ != Tls::Off) {
                return ours({kPython, kTlsLauncher});
            }
            {
                std::vector<std::string> argv = {kPython, "-m",     "pyftpdlib", "-w", "-i",
                                                 address_, "-p",     port,        "-d", rootDir_,
                                                 "-u",     user_,    "-P",        password_};
                if (ServerDebug()) {
                    argv.push_back("-D");
                }
                return argv;
            }
        case Kind::Proftpd:
        case Kind::PureFtpd:
            return prepareUnpacked(certificate);
        case Kind::FtpSrv:
            return ours({kNode, kFtpSrvLauncher, "--modules", NodeModules()});
        case Kind::Twisted:
            return ours({kPython, kTwistedLauncher});
        case Kind::Aioftp:
            return ours({kPython, kAioftpLauncher});
        case Kind::InetutilsFtpd:
            if (!prepareInetutilsAccount()) {
                return {};
            }
            return {kPython, kInetd, "--address", address_, "--port", port, "--",
                    UnpackedRoot() + "/usr/sbin/ftpd"};
        case Kind::Vsftpd:
            break;
    }
    if (tls_ != Tls::Off && !EnsureTlsAccount(&why)) {
        fail(why);
        return {};
    }
    passwd* owner = ::getpwnam(user_.c_str());
    if (owner == nullptr) {
        fail("no system user \"" + user_ + "\" (the vsftpd package creates it)");
        return {};
    }
    if (::chown(rootDir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
        fail("cannot hand " + rootDir_ + " to " + user_ + ": " + ErrnoText(errno));
        return {};
    }
    if (!InstallPamService(&why)) {
        fail(why);
        return {};
    }
    std::error_code ignored;
    std::filesystem::create_directories(kVsftpdSecureDir, ignored);
    std::string config = workDir_ + "/vsftpd.conf";
    if (!writeVsftpdConfig(config, certificate.certFile, certificate.keyFile)) {
        fail("cannot write " + config);
        return {};
    }
    return {kVsftpd, config};
}

bool RealFtpServer::prepareInetutilsAccount() {
    std::string why;
    // The account is this server's while it runs: another one started meanwhile would move its
    // home and change its password.
    if (!accountLock_.acquire(std::string("account-") + kInetutilsUser, 0, lockTimeout_, &why) ||
        !EnsureAccount(kInetutilsUser, kInetutilsHome, "/bin/sh",
                       "Kestrel inetutils-ftpd test user", &why)) {
        return fail(why);
    }
    password_ = RandomPassword();
    const std::string hash = password_.empty() ? "" : HashPassword(password_, &why);
    if (hash.empty()) {
        return fail(password_.empty() ? "cannot read /dev/urandom" : why);
    }
    passwd* account = ::getpwnam(kInetutilsUser);
    if (account == nullptr || ::chown(rootDir_.c_str(), account->pw_uid, account->pw_gid) != 0) {
        return fail("cannot hand " + rootDir_ + " to " + kInetutilsUser);
    }
    AddressLock turn;
    if (!turn.acquire("accounts", 0, Millis(60000), &why)) {
        return fail(why);
    }
    CommandResult changed =
        RunCommand({"/usr/sbin/usermod", "--password", hash, "--home", rootDir_, kInetutilsUser});
    return changed.succeeded() || fail(changed.describe("usermod"));
}

int RealFtpServer::killSessions() {
    if (pid_ <= 0) {
        return 0;
    }
    int killed = 0;
    for (pid_t session : Descendants(pid_)) {
        killed += ::kill(session, SIGKILL) == 0 ? 1 : 0;
    }
    return killed;
}

void RealFtpServer::stop() {
    if (pid_ > 0) {
        // Session processes first, while the server is alive and still their parent; they
        // serve clients that tests may have left connected.
        for (pid_t session : Descendants(pid_)) {
            ::kill(session, SIGKILL);
        }
        // The leader stays a zombie until reaped below, so the group id cannot be reused while
        // we signal it.
        ::kill(-pid_, SIGTERM);
        if (!waitExit(Millis(5000))) {
            ::kill(-pid_, SIGKILL);
            waitExit(Millis(5000));
        }
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, WNOHANG);
        pid_ = -1;
    }
    if (pidFd_ >= 0) {
        ::close(pidFd_);
        pidFd_ = -1;
    }
    if (!workDir_.empty()) {
        savedLog_ = log();
        std::error_code ignored;
        std::filesystem::remove_all(workDir_, ignored);
        workDir_.clear();
    }
    lock_.release();  // the address is free for the next test
    accountLock_.release();
}

}  // namespace ktest
