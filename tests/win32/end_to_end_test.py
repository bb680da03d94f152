"""kestrel-host against a real FTP server: scripts of method calls run by the reference host, with
the module loaded by it, against pyftpdlib on port 21 of 127.0.0.20. Every file that moves is
compared byte for byte with its original.

    end_to_end_test.py --host HOST [--runner RUNNER] [--windows-paths]

HOST is kestrel-host (the module beside it); RUNNER is a program that runs it (cmake/wine-run.sh
for the Windows build). With --windows-paths, local file names in the scripts are given the way a
Windows program sees the Linux file system under Wine (Z:\\tmp\\...).

Needs root (port 21) and Debian's pyftpdlib in /usr/bin/python3.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER_ADDRESS = "127.0.0.20"
SERVER_PORT = 21
USER = "user"
PASSWORD = "pass"
IMAGE = 73  # TransferType 'I'
RUN_LIMIT_SECONDS = 120

options = None
server = None
server_root = None
work = None


def local_name(path):
    """The name a script gives the host for a local file."""
    if options.windows_paths:
        return "Z:" + path.replace("/", "\\")
    return path


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def run_script(lines):
    """Runs a script in the host; returns the JSON result records, by call name in order."""
    command = ([options.runner] if options.runner else []) + [options.host, "--json", "-"]
    script = "\n".join(lines) + "\n"
    done = subprocess.run(command, input=script.encode(), capture_output=True,
                          timeout=RUN_LIMIT_SECONDS)
    output = done.stdout.decode(errors="replace")
    errors = done.stderr.decode(errors="replace")
    if done.returncode != 0:
        raise AssertionError("host exited with %d\nscript:\n%s\nstdout:\n%s\nstderr:\n%s"
                             % (done.returncode, script, output, errors))
    records = []
    for line in output.splitlines():
        line = line.strip()
        if line.startswith("{"):
            records.append(json.loads(line))
    return records


def results(records, call):
    return [r["result"] for r in records if r["call"] == call]


def login_lines():
    return ["new ftp",
            "ftpLogin ftp %s %s %s" % (quoted(SERVER_ADDRESS), quoted(USER), quoted(PASSWORD)),
            "wait ftp 60",
            "ftpErrorCode ftp"]


def logout_lines():
    return ["ftpLogout ftp", "wait ftp 60", "forget ftp"]


def make_file(path, size, seed):
    """A file of size bytes that differ from block to block, so a misplaced block shows."""
    data = bytearray(size)
    value = seed
    for i in range(size):
        value = (value * 1103515245 + 12345) & 0x7FFFFFFF
        data[i] = (value >> 16) & 0xFF
    with open(path, "wb") as f:
        f.write(data)
    return bytes(data)


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def start_server():
    global server, server_root
    server_root = tempfile.mkdtemp(prefix="kestrel-e2e-server-")
    os.chmod(server_root, 0o755)
    server = subprocess.Popen(
        ["/usr/bin/python3", "-m", "pyftpdlib", "-w", "-i", SERVER_ADDRESS,
         "-p", str(SERVER_PORT), "-d", server_root, "-u", USER, "-P", PASSWORD],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise RuntimeError("pyftpdlib ended at start (port %d of %s taken, or not root?)"
                               % (SERVER_PORT, SERVER_ADDRESS))
        try:
            with socket.create_connection((SERVER_ADDRESS, SERVER_PORT), timeout=1) as probe:
                if probe.recv(3) == b"220":
                    return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("pyftpdlib did not answer on %s:%d" % (SERVER_ADDRESS, SERVER_PORT))


def stop_server():
    if server is not None and server.poll() is None:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    if server_root is not None:
        shutil.rmtree(server_root, ignore_errors=True)


def setUpModule():
    global work
    work = tempfile.mkdtemp(prefix="kestrel-e2e-local-")
    start_server()


def tearDownModule():
    stop_server()
    if work is not None:
        shutil.rmtree(work, ignore_errors=True)


class EndToEnd(unittest.TestCase):

    def test_download_and_upload_are_byte_exact(self):
        original = make_file(os.path.join(server_root, "down.bin"), 300 * 1024 + 77, 1)
        upload = make_file(os.path.join(work, "up.bin"), 200 * 1024 + 5, 2)
        downloaded = os.path.join(work, "down.bin")
        records = run_script(login_lines() + [
            "ftpRecvFile ftp %s %s %d" % (quoted("down.bin"), quoted(local_name(downloaded)),
                                          IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpBytesTransferred ftp",
            "ftpSendFile ftp %s %s %d" % (quoted(local_name(os.path.join(work, "up.bin"))),
                                          quoted("up.bin"), IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0, 0])
        self.assertEqual(results(records, "ftpBytesTransferred"), [len(original)])
        self.assertEqual(contents(downloaded), original)
        self.assertEqual(contents(os.path.join(server_root, "up.bin")), upload)

    def test_passive_transfers_at_full_speed_are_byte_exact(self):
        original = make_file(os.path.join(server_root, "fast-down.bin"), 3 * 1024 * 1024 + 1, 5)
        upload = make_file(os.path.join(work, "fast-up.bin"), 1024 * 1024 + 3, 6)
        downloaded = os.path.join(work, "fast-down.bin")
        records = run_script([
            "new ftp",
            "ftpSetOption ftp %s %s" % (quoted("passive"), quoted("1")),
            "ftpSetOption ftp %s %s" % (quoted("throttle"), quoted("0")),
            "ftpSetOption ftp %s %s" % (quoted("throttle"), quoted("2")),
        ] + login_lines()[1:] + [
            "ftpRecvFile ftp %s %s %d" % (quoted("fast-down.bin"),
                                          quoted(local_name(downloaded)), IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpSendFile ftp %s %s %d" % (quoted(local_name(os.path.join(work, "fast-up.bin"))),
                                          quoted("fast-up.bin"), IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpLastReply ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpSetOption"), [0, 0, 1000])
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0, 0])
        self.assertTrue(results(records, "ftpLastReply")[0].startswith("226"))
        self.assertEqual(contents(downloaded), original)
        self.assertEqual(contents(os.path.join(server_root, "fast-up.bin")), upload)

    def test_listing_names_the_files_of_the_directory(self):
        os.makedirs(os.path.join(server_root, "listed"), exist_ok=True)
        for name in ("alpha.txt", "beta.bin", "gamma"):
            with open(os.path.join(server_root, "listed", name), "wb") as f:
                f.write(name.encode())
        records = run_script(login_lines() + [
            "ftpCWD ftp %s" % quoted("listed"),
            "wait ftp 60",
            "ftpDir ftp %s 0" % quoted(""),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpResult ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0])
        listing = results(records, "ftpResult")[0]
        self.assertEqual(sorted(listing), ["alpha.txt", "beta.bin", "gamma"])

    def test_aborted_download_resumes_to_a_byte_exact_file(self):
        # Large enough that the throttled transfer (about 400 KB a second) is still running
        # when the abort comes.
        original = make_file(os.path.join(server_root, "big.bin"), 2 * 1024 * 1024 + 333, 3)
        local = os.path.join(work, "big.bin")
        records = run_script(login_lines() + [
            "ftpRecvFile ftp %s %s %d" % (quoted("big.bin"), quoted(local_name(local)), IMAGE),
            "sleep 600",
            "ftpAbort ftp",
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpPWD ftp",
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpResult ftp",
        ] + logout_lines())
        # Aborted by the user, and the control connection still answers afterwards.
        self.assertEqual(results(records, "ftpErrorCode"), [0, -1, 0])
        self.assertEqual(results(records, "ftpResult"), ["/"])
        partial = contents(local)
        self.assertGreater(len(partial), 0)
        self.assertLess(len(partial), len(original))
        self.assertEqual(partial, original[:len(partial)])

        records = run_script(login_lines() + [
            "ftpRestartRecvFile ftp %s %s %d %d" % (quoted("big.bin"), quoted(local_name(local)),
                                                    IMAGE, len(partial)),
            "wait ftp 90",
            "ftpErrorCode ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0])
        self.assertEqual(contents(local), original)

    def test_resumed_upload_completes_the_remote_file(self):
        original = make_file(os.path.join(work, "resume-up.bin"), 150 * 1024 + 9, 4)
        half = 64 * 1024 + 3
        with open(os.path.join(server_root, "resume-up.bin"), "wb") as f:
            f.write(original[:half])
        records = run_script(login_lines() + [
            "ftpRestartSendFile ftp %s %s %d %d" % (
                quoted(local_name(os.path.join(work, "resume-up.bin"))), quoted("resume-up.bin"),
                IMAGE, half),
            "wait ftp 60",
            "ftpErrorCode ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0])
        self.assertEqual(contents(os.path.join(server_root, "resume-up.bin")), original)


LARGE_SIZE = 4831850553  # 4.5 GiB: counts and positions past 2 GiB and 4 GiB
LARGE_MARKS = [(1 << 31) - 3, (1 << 32) - 3, LARGE_SIZE - 16]


def make_sparse(path):
    """A sparse file of LARGE_SIZE bytes with a 16-byte mark at each of LARGE_MARKS."""
    with open(path, "wb") as f:
        f.truncate(LARGE_SIZE)
        for mark in LARGE_MARKS:
            f.seek(mark)
            f.write(("mark@%d" % mark).encode().ljust(16, b"#"))


def fingerprint(path):
    """The size and the bytes at every mark."""
    with open(path, "rb") as f:
        marks = []
        for mark in LARGE_MARKS:
            f.seek(mark)
            marks.append(f.read(16))
    return os.path.getsize(path), marks


class LargeAndForeign(unittest.TestCase):
    """What the 32-bit DLL must do beyond the plain transfers: 64-bit sizes, IPv6 and names in
    the ANSI code page (1252 under Wine) against a server that speaks UTF-8."""

    def test_files_beyond_four_gibibytes_move_and_count_exactly(self):
        source = os.path.join(server_root, "large.bin")
        make_sparse(source)
        local = os.path.join(work, "large.bin")
        try:
            records = run_script([
                "new ftp",
                "ftpSetOption ftp %s %s" % (quoted("passive"), quoted("1")),
                "ftpSetOption ftp %s %s" % (quoted("throttle"), quoted("0")),
                "ftpSetOption ftp %s %s" % (quoted("features"), quoted("1")),
            ] + login_lines()[1:] + [
                "ftpRecvFile ftp %s %s %d" % (quoted("large.bin"), quoted(local_name(local)),
                                              IMAGE),
                "wait ftp 600",
                "ftpErrorCode ftp",
                "ftpProgress ftp",
                "ftpBytesTransferred ftp",
            ] + logout_lines())
            self.assertEqual(results(records, "ftpErrorCode"), [0, 0])
            # pyftpdlib's 150 names no size: the total comes from SIZE (option features).
            self.assertEqual(results(records, "ftpProgress"),
                             ["%d %d" % (LARGE_SIZE, LARGE_SIZE)])
            self.assertEqual(results(records, "ftpBytesTransferred"), [2147483647])
            self.assertEqual(fingerprint(local), fingerprint(source))
        finally:
            for path in (source, local):
                if os.path.exists(path):
                    os.remove(path)

        upload = os.path.join(work, "large-up.bin")
        make_sparse(upload)
        target = os.path.join(server_root, "large-up.bin")
        try:
            records = run_script([
                "new ftp",
                "ftpSetOption ftp %s %s" % (quoted("passive"), quoted("1")),
                "ftpSetOption ftp %s %s" % (quoted("throttle"), quoted("0")),
            ] + login_lines()[1:] + [
                "ftpSendFile ftp %s %s %d" % (quoted(local_name(upload)), quoted("large-up.bin"),
                                              IMAGE),
                "wait ftp 600",
                "ftpErrorCode ftp",
                "ftpProgress ftp",
            ] + logout_lines())
            self.assertEqual(results(records, "ftpErrorCode"), [0, 0])
            self.assertEqual(results(records, "ftpProgress"),
                             ["%d %d" % (LARGE_SIZE, LARGE_SIZE)])
            self.assertEqual(fingerprint(target), fingerprint(upload))
        finally:
            for path in (upload, target):
                if os.path.exists(path):
                    os.remove(path)

    def test_ipv6_transfers_both_ways_through_eprt_and_epsv(self):
        root = tempfile.mkdtemp(prefix="kestrel-e2e-v6-")
        os.chmod(root, 0o755)
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
            port = probe.getsockname()[1]
        log_path = os.path.join(root, "..", os.path.basename(root) + ".log")
        with open(log_path, "wb") as log:
            v6 = subprocess.Popen(
                ["/usr/bin/python3", "-m", "pyftpdlib", "-w", "-D", "-i", "::1", "-p", str(port),
                 "-d", root, "-u", USER, "-P", PASSWORD], stdout=log, stderr=log)
        try:
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline:
                try:
                    with socket.create_connection(("::1", port), timeout=1) as probe:
                        if probe.recv(3) == b"220":
                            break
                except OSError:
                    time.sleep(0.1)
            original = make_file(os.path.join(root, "v6.bin"), 200 * 1024 + 1, 9)
            downloaded = os.path.join(work, "v6.bin")
            option = lambda name, value: "ftpSetOption ftp %s %s" % (quoted(name), quoted(value))
            records = run_script([
                "new ftp",
                option("port", str(port)),
                "ftpLogin ftp %s %s %s" % (quoted("::1"), quoted(USER), quoted(PASSWORD)),
                "wait ftp 60",
                "ftpErrorCode ftp",
                "ftpRecvFile ftp %s %s %d" % (quoted("v6.bin"), quoted(local_name(downloaded)),
                                              IMAGE),
                "wait ftp 60",
                "ftpErrorCode ftp",
                option("passive", "1"),
                "ftpSendFile ftp %s %s %d" % (quoted(local_name(downloaded)), quoted("v6-up.bin"),
                                              IMAGE),
                "wait ftp 60",
                "ftpErrorCode ftp",
            ] + logout_lines())
            self.assertEqual(results(records, "ftpErrorCode"), [0, 0, 0])
            self.assertEqual(contents(downloaded), original)
            self.assertEqual(contents(os.path.join(root, "v6-up.bin")), original)
        finally:
            v6.terminate()
            v6.wait(timeout=10)
            wire = contents(log_path).decode(errors="replace")
            os.remove(log_path)
            shutil.rmtree(root, ignore_errors=True)
        self.assertIn("EPRT |2|::1|", wire)
        self.assertIn("EPSV", wire)
        self.assertNotIn("PORT ", wire.replace("EPRT", ""))
        self.assertNotIn("PASV", wire)

    def test_names_in_code_page_1252_reach_a_utf8_server_intact(self):
        os.makedirs(os.path.join(server_root, "names"), exist_ok=True)
        original = make_file(os.path.join(server_root, "names", "caf\u00e9.bin"), 5000, 10)
        local_dir = os.path.join(work, "names")
        os.makedirs(local_dir, exist_ok=True)
        # The script's texts are the host's: code page 1252 bytes, as a Windows script has them.
        lines = ["new ftp", "ftpSetOption ftp %s %s" % (quoted("features"), quoted("1"))] + \
            login_lines()[1:] + [
            "ftpCWD ftp %s" % quoted("names"),
            "wait ftp 60",
            "ftpRecvFile ftp %s %s %d" % (quoted("caf\u00e9.bin"),
                                          quoted(local_name(os.path.join(local_dir,
                                                                         "caf\u00e9.bin"))),
                                          IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpSendFile ftp %s %s %d" % (quoted(local_name(os.path.join(local_dir,
                                                                         "caf\u00e9.bin"))),
                                          quoted("na\u00efve \u20ac.bin"), IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpDir ftp %s 0" % quoted(""),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpResult ftp",
        ] + logout_lines()
        command = ([options.runner] if options.runner else []) + [options.host, "--json", "-"]
        done = subprocess.run(command, input=("\n".join(lines) + "\n").encode("cp1252"),
                              capture_output=True, timeout=RUN_LIMIT_SECONDS)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        records = [json.loads(line) for line in done.stdout.decode().splitlines()
                   if line.startswith("{")]
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0, 0, 0])
        # Listed names come back in the code page; the JSON gives each byte as ISO 8859-1.
        listed = sorted(name.encode("latin-1").decode("cp1252")
                        for name in results(records, "ftpResult")[0])
        self.assertEqual(listed, ["caf\u00e9.bin", "na\u00efve \u20ac.bin"])
        self.assertEqual(contents(os.path.join(local_dir, "caf\u00e9.bin")), original)
        self.assertEqual(contents(os.path.join(server_root, "names", "na\u00efve \u20ac.bin")),
                         original)


class TlsEndToEnd(unittest.TestCase):
    """Explicit FTPS against pyftpdlib's TLS handler, on a port of our choice, with a CA made for
    the test: the module checks the server's chain against caFile and its address."""

    def setUp(self):
        here = os.path.dirname(os.path.abspath(__file__))
        self.certs = tempfile.mkdtemp(prefix="kestrel-e2e-certs-")
        subprocess.run([os.path.join(here, "..", "support", "make_test_certs.sh"), self.certs],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
        self.root = tempfile.mkdtemp(prefix="kestrel-e2e-tls-")
        os.chmod(self.root, 0o755)
        with socket.socket() as probe:  # a free port on 127.0.0.1, where the certificate is valid
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.server = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(here, "..", "support", "tls_ftpd.py"),
             "--address", "127.0.0.1", "--port", str(self.port), "--root", self.root,
             "--user", USER, "--password", PASSWORD,
             "--cert", os.path.join(self.certs, "server.pem"),
             "--key", os.path.join(self.certs, "server.key")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as probe:
                    if probe.recv(3) == b"220":
                        return
            except OSError:
                time.sleep(0.1)
        self.fail("the TLS server did not answer")

    def tearDown(self):
        self.server.terminate()
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.rmtree(self.certs, ignore_errors=True)

    def test_tls_login_listing_and_transfers_are_byte_exact(self):
        original = make_file(os.path.join(self.root, "secret.bin"), 300000, 7)
        upload = make_file(os.path.join(work, "tls-up.bin"), 123457, 8)
        downloaded = os.path.join(work, "tls-down.bin")
        option = lambda name, value: "ftpSetOption ftp %s %s" % (quoted(name), quoted(value))
        records = run_script([
            "new ftp",
            option("tls", "1"),
            option("port", str(self.port)),
            option("caFile", local_name(os.path.join(self.certs, "ca.pem"))),
            "ftpLogin ftp %s %s %s" % (quoted("127.0.0.1"), quoted(USER), quoted(PASSWORD)),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpDir ftp %s 0" % quoted(""),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "ftpResult ftp",
            "ftpRecvFile ftp %s %s %d" % (quoted("secret.bin"), quoted(local_name(downloaded)),
                                          IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
            option("passive", "1"),
            "ftpSendFile ftp %s %s %d" % (quoted(local_name(os.path.join(work, "tls-up.bin"))),
                                          quoted("tls-up.bin"), IMAGE),
            "wait ftp 60",
            "ftpErrorCode ftp",
        ] + logout_lines())
        self.assertEqual(results(records, "ftpSetOption"), [0, 0, 0, 0])
        self.assertEqual(results(records, "ftpErrorCode"), [0, 0, 0, 0])
        self.assertEqual(results(records, "ftpResult"), [["secret.bin"]])
        self.assertEqual(contents(downloaded), original)
        self.assertEqual(contents(os.path.join(self.root, "tls-up.bin")), upload)

    def test_untrusted_server_is_refused_before_user(self):
        records = run_script([
            "new ftp",
            "ftpSetOption ftp %s %s" % (quoted("tls"), quoted("1")),
            "ftpSetOption ftp %s %s" % (quoted("port"), quoted(str(self.port))),
            "ftpSetOption ftp %s %s" % (quoted("caFile"),
                                        quoted(local_name(os.path.join(self.certs,
                                                                       "other-ca.pem")))),
            "ftpLogin ftp %s %s %s" % (quoted("127.0.0.1"), quoted(USER), quoted(PASSWORD)),
            "wait ftp 60",
            "ftpErrorCode ftp",
            "forget ftp",
        ])
        self.assertEqual(results(records, "ftpErrorCode"), [4003])


def main():
    global options
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--windows-paths", action="store_true")
    options, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
