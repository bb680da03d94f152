#!/usr/bin/python3
"""An independent FTPS client for checking Kestrel's TLS test servers: Python's ftplib with the
server certificate checked against a given CA and the server's address, PBSZ 0 and PROT P, and
every data connection resuming the control connection's TLS session (vsftpd requires that).

    ftps_probe.py --address A --port P --user U --password W --cafile CA.pem
                  [--implicit] [--active] [--payload-size N]

Logs in, uploads N bytes as probe.bin, lists the directory, downloads the file again and compares
it with what was sent. Prints "ok <TLS version> <cipher>" and exits 0 on success; prints the
failure and exits 1 otherwise (a certificate that is not trusted or does not match the address
fails the login). Runs with Debian's /usr/bin/python3. Every network wait is bounded.
"""

import argparse
import ftplib
import io
import os
import socket
import ssl
import sys

TIMEOUT_SECONDS = 10


class SessionReusingFtp(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS session, and which
    can start in implicit mode (TLS from the first byte)."""

    def __init__(self, implicit, **kwargs):
        super().__init__(**kwargs)
        self.implicit = implicit

    def connect(self, host, port):
        if not self.implicit:
            return super().connect(host, port)
        # Implicit TLS: the handshake comes before the greeting, which is then read inside TLS.
        self.host, self.port = host, port
        raw = socket.create_connection((host, port), self.timeout)
        self.sock = self.context.wrap_socket(raw, server_hostname=host)
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome

    def ntransfercmd(self, cmd, rest=None):
        # ftplib wraps the data socket without the control session, which vsftpd refuses with
        # "522 SSL connection failed: session reuse required".
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--active", action="store_true")
    parser.add_argument("--payload-size", type=int, default=100000)
    options = parser.parse_args()

    context = ssl.create_default_context(cafile=options.cafile)  # checks chain and address
    client = SessionReusingFtp(options.implicit, context=context, timeout=TIMEOUT_SECONDS)
    try:
        client.connect(options.address, options.port)
        if not options.implicit:
            client.auth()
        client.login(options.user, options.password)
        client.prot_p()
        client.set_pasv(not options.active)
        payload = os.urandom(options.payload_size)
        client.storbinary("STOR probe.bin", io.BytesIO(payload))
        listing = []
        client.retrlines("LIST", listing.append)
        if not any("probe.bin" in line for line in listing):
            raise RuntimeError("LIST does not show probe.bin: %r" % listing)
        received = io.BytesIO()
        client.retrbinary("RETR probe.bin", received.write)
        if received.getvalue() != payload:
            raise RuntimeError("downloaded %d bytes differ from the %d uploaded"
                               % (len(received.getvalue()), len(payload)))
        version, cipher = client.sock.version(), client.sock.cipher()[0]
        client.quit()
    except (OSError, EOFError, ftplib.Error, RuntimeError) as error:
        print("failed: %s: %s" % (type(error).__name__, error))
        return 1
    print("ok %s %s" % (version, cipher))
    return 0


if __name__ == "__main__":
    sys.exit(main())
