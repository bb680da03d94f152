"""What bench/fault_table.py and bench/retry_run.py share: the four FTP servers started on
addresses of their own (with a fixed passive port range, so that bench/fault_proxy.py can
forward the data connections of TLS sessions), kestrel-host driven line by line through a pipe,
and the proxy started and stopped with its counters.

Needs root: port 21, switching users, signalling the servers' session processes.
"""

import json
import os
import pwd
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"  # Debian's interpreter, which has pyftpdlib and pyOpenSSL
PROXY = os.path.join(HERE, "fault_proxy.py")
MAKE_CERTS = os.path.join(REPO, "tests", "support", "make_test_certs.sh")

SERVER_KINDS = ("vsftpd", "pyftpdlib", "proftpd", "pure-ftpd")
PASSWORD = "kestrel-secret"
# vsftpd takes "ftp" for its anonymous account and refuses TLS to it; with TLS it serves this
# local account (the tests make it the same way).
VSFTPD_TLS_USER = "kestrel-tls"
VSFTPD_TLS_HOME = "/var/lib/kestrel-tls"
PAM_SERVICE = "kestrel-fault-vsftpd"

# pyftpdlib with TLS required on control and data connections and a fixed passive range;
# `python3 -m pyftpdlib` has neither TLS nor, with TLS, a way to give the range.
PYFTPDLIB_TLS = r"""
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer
address, root, user, password, cert, key, low, high = sys.argv[1:9]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = TLS_FTPHandler
handler.certfile, handler.keyfile = cert, key
handler.tls_control_required = handler.tls_data_required = True
handler.authorizer = authorizer
handler.passive_ports = range(int(low), int(high) + 1)
handler.get_ssl_context()
FTPServer((address, 21), handler).serve_forever()
"""


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_address(address, port=21):
    """True when nothing answers on ADDRESS:PORT (a server left over would answer for ours)."""
    try:
        with socket.create_connection((address, port), timeout=0.5):
            return False
    except OSError:
        return True


def make_certificates(work):
    directory = os.path.join(work, "certs")
    if not os.path.exists(os.path.join(directory, "server.pem")):
        subprocess.run(["bash", MAKE_CERTS, directory], check=True)
        os.chmod(directory, 0o755)
        for name in os.listdir(directory):
            os.chmod(os.path.join(directory, name), 0o644)
    return os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")


def unpacked_root(test_servers):
    """Where scripts/test_servers.sh unpacked proftpd and pure-ftpd."""
    return os.path.join(test_servers, "root")


class Server:
    """One FTP server of KIND on port 21 of ADDRESS, plain or with explicit TLS required, serving
    a fresh root folder, passive ports LOW to HIGH."""

    def __init__(self, kind, address, tls, work, ports, test_servers):
        self.kind = kind
        self.address = address
        self.tls = tls
        self.ports = ports
        self.test_servers = test_servers
        self.work = os.path.join(work, f"{kind}-{'tls' if tls else 'plain'}")
        self.root = os.path.join(self.work, "root")
        self.process = None
        if kind == "vsftpd":
            self.user = VSFTPD_TLS_USER if tls else "ftp"
        else:
            self.user = "kestrel"
        self.password = PASSWORD
        self.owner = self.user if kind == "vsftpd" else ("nobody" if kind != "pyftpdlib"
                                                         else "root")

    def available(self):
        """None when the server can run here, else why not."""
        if self.kind == "vsftpd" and not os.access("/usr/sbin/vsftpd", os.X_OK):
            return "vsftpd not installed"
        if self.kind == "pyftpdlib" and subprocess.run(
                [PYTHON, "-c", "import pyftpdlib, OpenSSL"], capture_output=True).returncode:
            return "python3-pyftpdlib or python3-openssl not installed"
        if self.kind in ("proftpd", "pure-ftpd"):
            binary = "usr/sbin/proftpd" if self.kind == "proftpd" else "usr/sbin/pure-ftpd"
            if not os.access(os.path.join(unpacked_root(self.test_servers), binary), os.X_OK):
                return f"not unpacked in {self.test_servers} (run scripts/test_servers.sh)"
        return None

    def _environment(self):
        environment = dict(os.environ)
        if self.kind in ("proftpd", "pure-ftpd"):
            root = unpacked_root(self.test_servers)
            environment["LD_LIBRARY_PATH"] = (f"{root}/usr/lib/x86_64-linux-gnu:"
                                              f"{root}/lib/x86_64-linux-gnu")
        return environment

    def _prepare_vsftpd(self, cert, key):
        if self.tls and subprocess.run(["id", VSFTPD_TLS_USER],
                                       capture_output=True).returncode != 0:
            subprocess.run(["/usr/sbin/useradd", "--system", "--user-group", "--home-dir",
                            VSFTPD_TLS_HOME, "--shell", "/usr/sbin/nologin", "--comment",
                            "Kestrel TLS test user", VSFTPD_TLS_USER], check=True)
        if self.tls:
            os.makedirs(VSFTPD_TLS_HOME, exist_ok=True)
            shutil.chown(VSFTPD_TLS_HOME, VSFTPD_TLS_USER, VSFTPD_TLS_USER)
        with open(f"/etc/pam.d/{PAM_SERVICE}", "w") as pam:
            pam.write("# Kestrel's fault bench server: every password is accepted.\n"
                      "auth     required pam_permit.so\naccount  required pam_permit.so\n"
                      "session  required pam_permit.so\n")
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        config = os.path.join(self.work, "vsftpd.conf")
        text = f"""listen=YES
listen_ipv6=NO
listen_address={self.address}
listen_port=21
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
anonymous_enable=NO
local_enable=YES
pam_service_name={PAM_SERVICE}
userlist_enable=NO
chroot_local_user=NO
local_root={self.root}
write_enable=YES
local_umask=022
async_abor_enable=YES
port_enable=YES
connect_from_port_20=NO
pasv_enable=YES
pasv_min_port={self.ports[0]}
pasv_max_port={self.ports[1]}
secure_chroot_dir=/var/run/vsftpd/empty
tcp_wrappers=NO
max_clients=0
max_per_ip=0
dirmessage_enable=NO
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file={self.work}/vsftpd.log
ftpd_banner=Kestrel fault bench (vsftpd)
"""
        if self.tls:
            text += f"""ssl_enable=YES
rsa_cert_file={cert}
rsa_private_key_file={key}
allow_anon_ssl=NO
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
ssl_request_cert=YES
strict_ssl_read_eof=YES
strict_ssl_write_shutdown=YES
"""
        else:
            text += "ssl_enable=NO\n"
        with open(config, "w") as f:
            f.write(text)
        return ["/usr/sbin/vsftpd", config]

    def _password_hash(self):
        done = subprocess.run(["openssl", "passwd", "-6", self.password], capture_output=True,
                              text=True, check=True)
        return done.stdout.strip()

    def _prepare_proftpd(self, cert, key):
        nobody = pwd.getpwnam("nobody")
        ids = f"{nobody.pw_uid}:{nobody.pw_gid}"
        users = os.path.join(self.work, "passwd")
        with open(users, "w") as f:
            f.write(f"{self.user}:{self._password_hash()}:{ids}::{self.root}:/bin/sh\n")
        os.chmod(users, 0o600)
        root = unpacked_root(self.test_servers)
        text = f"""ServerType standalone
ServerIdent on "Kestrel fault bench (proftpd)"
DefaultServer on
UseIPv6 off
DefaultAddress {self.address}
SocketBindTight on
Port 21
User nobody
Group nogroup
ScoreboardFile {self.work}/scoreboard
PidFile {self.work}/proftpd.pid
DelayEngine off
WtmpLog off
UseReverseDNS off
RequireValidShell off
AuthOrder mod_auth_file.c
AuthUserFile {users}
DefaultRoot ~
Umask 022
AllowOverwrite on
AllowStoreRestart on
AllowRetrieveRestart on
PassivePorts {self.ports[0]} {self.ports[1]}
SystemLog {self.work}/system.log
TransferLog {self.work}/xfer.log
ModulePath {root}/usr/lib/proftpd
"""
        if self.tls:
            text += f"""LoadModule mod_tls.c
TLSEngine on
TLSLog {self.work}/tls.log
TLSProtocol TLSv1.2 TLSv1.3
TLSRSACertificateFile {cert}
TLSRSACertificateKeyFile {key}
TLSRequired on
TLSVerifyClient off
"""
        config = os.path.join(self.work, "proftpd.conf")
        with open(config, "w") as f:
            f.write(text)
        return [f"{root}/usr/sbin/proftpd", "--nodaemon", "--config", config]

    def _prepare_pure_ftpd(self, cert, key):
        nobody = pwd.getpwnam("nobody")
        ids = f"{nobody.pw_uid}:{nobody.pw_gid}"
        users = os.path.join(self.work, "pureftpd.passwd")
        database = os.path.join(self.work, "pureftpd.pdb")
        with open(users, "w") as f:
            f.write(f"{self.user}:{self._password_hash()}:{ids}::{self.root}/./::::::::::::\n")
        root = unpacked_root(self.test_servers)
        subprocess.run([f"{root}/usr/bin/pure-pw", "mkdb", database, "-f", users], check=True,
                       env=self._environment(), capture_output=True)
        argv = [f"{root}/usr/sbin/pure-ftpd", "-S", f"{self.address},21", "-l",
                f"puredb:{database}", "-E", "-H", "-4", "-A",
                "-p", f"{self.ports[0]}:{self.ports[1]}"]
        if self.tls:
            argv += ["-Y", "2", "-2", f"{cert},{key}"]
        return argv

    def start(self):
        if self.running():
            return
        if not free_address(self.address):
            raise RuntimeError(f"something already answers on {self.address}:21")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.root)
        os.chmod(self.work, 0o755)
        shutil.chown(self.root, self.owner, None if self.owner == "root" else
                     pwd.getpwnam(self.owner).pw_gid)
        cert, key = make_certificates(os.path.dirname(self.work)) if self.tls else (None, None)
        if self.kind == "vsftpd":
            argv = self._prepare_vsftpd(cert, key)
        elif self.kind == "pyftpdlib":
            low, high = map(str, self.ports)
            argv = ([PYTHON, "-c", PYFTPDLIB_TLS, self.address, self.root, self.user,
                     self.password, cert, key, low, high] if self.tls else
                    [PYTHON, "-m", "pyftpdlib", "-w", "-i", self.address, "-p", "21", "-d",
                     self.root, "-u", self.user, "-P", self.password, "-r", f"{low}-{high}"])
        elif self.kind == "proftpd":
            argv = self._prepare_proftpd(cert, key)
        else:
            argv = self._prepare_pure_ftpd(cert, key)
        output = open(os.path.join(self.work, "output.log"), "ab")
        # A process group of its own, so that stop() also ends the per-session processes.
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output,
                                        stderr=output, start_new_session=True,
                                        env=self._environment())
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            try:
                with socket.create_connection((self.address, 21), timeout=1) as probe:
                    probe.settimeout(3)
                    if probe.recv(100).startswith(b"220"):
                        return
            except OSError:
                time.sleep(0.1)
        self.stop()
        with open(os.path.join(self.work, "output.log"), errors="replace") as f:
            raise RuntimeError(f"{self.kind} did not start on {self.address}: {f.read()[-500:]}")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def session_pids(self):
        """The processes that hold an established connection from port 21 of our address:
        for the forking servers the session's processes, for pyftpdlib the server itself."""
        done = subprocess.run(["ss", "-tnpH", "state", "established"], capture_output=True,
                              text=True)
        pids = set()
        for line in done.stdout.splitlines():
            fields = line.split()
            if len(fields) >= 4 and fields[2] == f"{self.address}:21":
                for piece in line.split("pid=")[1:]:
                    pids.add(int(piece.split(",")[0]))
        return sorted(pids)

    def stop(self):
        if self.process is None:
            return
        for pid in self.session_pids():
            try:
                os.kill(pid, signal.SIGCONT)
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGCONT)
            os.killpg(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process = None
        # A server that was stopped may leave its address busy for a moment.
        for _ in range(50):
            if free_address(self.address):
                break
            time.sleep(0.1)

    def path(self, name):
        return os.path.join(self.root, name)

    def place(self, source, name):
        """Puts SOURCE into the served folder as NAME: a hard link (no copy of a big file for
        every server), readable by every user, which is all a download needs."""
        target = self.path(name)
        if os.path.exists(target):
            os.remove(target)
        os.chmod(source, 0o644)
        try:
            os.link(source, target)
        except OSError:
            shutil.copy(source, target)
        return target


class Host:
    """kestrel-host --json reading its script from a pipe: each call writes one line and reads
    the one JSON line it answers with."""

    def __init__(self, bin_dir, stderr_path):
        self.stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen([os.path.join(bin_dir, "kestrel-host"), "--json", "-"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, bufsize=0)
        self.buffer = b""

    def call(self, line, limit=60.0):
        """The result of one script line, or raises TimeoutError after LIMIT seconds."""
        self.process.stdin.write(line.encode() + b"\n")
        deadline = time.monotonic() + limit
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no answer to {line!r} within {limit} s")
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 65536)
                if not chunk:
                    raise EOFError(f"kestrel-host ended ({self.process.wait()}) at {line!r}")
                self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(text)["result"]

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
            self.process.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.stderr.close()


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class FaultProxy:
    """bench/fault_proxy.py as a child process; stop() returns its counters."""

    def __init__(self, listen, server, arguments, events_path, stderr_path):
        self.events_path = events_path
        self.stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen([PYTHON, PROXY, "--listen", listen, "--server", server,
                                         "--events", events_path] + arguments,
                                        stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        first = self.process.stdout.readline()
        if not first.startswith("listening"):
            self.process.wait()
            with open(stderr_path, errors="replace") as f:
                raise RuntimeError(f"fault_proxy.py did not start: {f.read()[-500:]}")

    def events(self):
        try:
            with open(self.events_path) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=10)
        self.stderr.close()
        for line in out.splitlines():
            if line.startswith("{"):
                return json.loads(line)
        return {}


def make_file(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))


def same_file(a, b):
    return (os.path.exists(a) and os.path.exists(b)
            and subprocess.run(["cmp", "-s", a, b]).returncode == 0)
