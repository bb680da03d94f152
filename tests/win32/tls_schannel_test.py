#!/usr/bin/env python3
"""Runs tls_schannel_test.exe under Wine against a TLS server on this side (Python's ssl module,
that is OpenSSL), with certificates made for the run by tests/support/make_test_certs.sh.

    tls_schannel_test.py --test tls_schannel_test.exe --runner cmake/wine-run.sh

The server answers each connection with "220 ready", then one line per command:
    REUSED        "1" when this connection resumed an earlier session, else "0"
    BLOCK n       n bytes of the pattern (byte i is i * 7 + 3 modulo 256)
    UPLOAD n      "go", then reads n bytes and answers "received n intact" when they are the pattern
    QUIT          close_notify, then the connection ends
Exits with the test program's status.
"""
import argparse
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_CERTS = os.path.join(HERE, "..", "support", "make_test_certs.sh")


def pattern(size):
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


def serve_one(context, raw):
    raw.settimeout(20)
    try:
        conn = context.wrap_socket(raw, server_side=True)
    except (ssl.SSLError, OSError) as error:
        # A refused certificate ends the handshake: expected in some cases.
        print(f"server: handshake ended: {error}", flush=True)
        raw.close()
        return
    try:
        conn.sendall(b"220 ready\r\n")
        reader = conn.makefile("rb")
        for line in reader:
            words = line.strip().split()
            if not words:
                continue
            command = words[0].upper()
            if command == b"REUSED":
                conn.sendall(b"1\r\n" if conn.session_reused else b"0\r\n")
            elif command == b"BLOCK":
                conn.sendall(pattern(int(words[1])))
            elif command == b"UPLOAD":
                size = int(words[1])
                conn.sendall(b"go\r\n")
                data = reader.read(size)
                verdict = "intact" if data == pattern(size) else "damaged"
                conn.sendall(f"received {len(data)} {verdict}\r\n".encode())
            elif command == b"QUIT":
                reader.close()
                try:
                    conn.unwrap()  # ours, then waits for the client's close_notify
                    print("server: close_notify came back from the client", flush=True)
                except (ssl.SSLError, OSError) as error:
                    print(f"server: no close_notify from the client: {error}", flush=True)
                break
    except (ssl.SSLError, OSError):
        pass
    finally:
        conn.close()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--test", required=True)
    parser.add_argument("--runner", required=True)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kestrel-schannel-") as certs:
        subprocess.run(["bash", MAKE_CERTS, certs], check=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(certs, "server.pem"),
                                os.path.join(certs, "server.key"))
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listener.settimeout(1)
        port = listener.getsockname()[1]
        stop = threading.Event()

        def accept_loop():
            while not stop.is_set():
                try:
                    raw, _ = listener.accept()
                except socket.timeout:
                    continue
                threading.Thread(target=serve_one, args=(context, raw), daemon=True).start()

        server = threading.Thread(target=accept_loop, daemon=True)
        server.start()
        env = dict(os.environ)
        env["KESTREL_TLS_PORT"] = str(port)
        env["KESTREL_TLS_CA"] = windows_path(os.path.join(certs, "ca.pem"))
        env["KESTREL_TLS_OTHER_CA"] = windows_path(os.path.join(certs, "other-ca.pem"))
        try:
            status = subprocess.run([args.runner, args.test], env=env, timeout=240).returncode
        finally:
            stop.set()
            server.join(5)
            listener.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
