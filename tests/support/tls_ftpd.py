#!/usr/bin/python3
"""pyftpdlib with TLS (RFC 4217) for Kestrel's tests: one user with full write access, TLS
required on the control connection before USER and on every data connection (PROT P before
PASV, EPSV, PORT or EPRT). `python3 -m pyftpdlib` has no TLS options, hence this launcher.

    tls_ftpd.py --address A --port P --root DIR --user U --password W \
                --cert CERT.pem --key KEY.pem [--implicit]

Explicit TLS by default (AUTH TLS after the greeting); with --implicit the handshake starts at
the first byte and the greeting comes inside TLS. Runs with Debian's interpreter
(/usr/bin/python3), which has python3-pyftpdlib and python3-openssl. Logs to standard error.
"""

import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer

import server_options


class ImplicitTlsHandler(TLS_FTPHandler):
    """Starts the handshake as soon as the client connects; the greeting that handle() queues
    is sent once the handshake is done, inside TLS."""

    def handle(self):
        self.secure_connection(self.ssl_context)
        super().handle()


def main():
    options = server_options.parse(__doc__, tls_required=True)

    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if options.debug else logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user(options.user, options.password, options.root, perm="elradfmwMT")

    handler = ImplicitTlsHandler if options.implicit else TLS_FTPHandler
    handler.certfile = options.cert
    handler.keyfile = options.key
    handler.tls_control_required = True
    handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.banner = "Kestrel test server (pyftpdlib, %s TLS)" % (
        "implicit" if options.implicit else "explicit")
    # The context is made once per class; make it now so that a bad certificate or key stops
    # the server at start-up, with the reason on standard error, not at the first client.
    handler.get_ssl_context()

    server = FTPServer((options.address, options.port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
