#!/usr/bin/python3
"""aioftp's FTP server for Kestrel's tests: one user with full write access in one directory,
plain or with implicit TLS (aioftp has no AUTH TLS; its TLS covers the control connection from
the first byte and every passive data connection).

    aioftp_ftpd.py --address A --port P --root DIR --user U --password W \
                   [--cert CERT.pem --key KEY.pem]

Runs with Debian's interpreter (/usr/bin/python3), which has python3-aioftp. Logs to standard
error.
"""

import asyncio
import logging
import ssl
import sys

import aioftp

import server_options


async def serve(options):
    context = None
    if options.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(options.cert, options.key)
    user = aioftp.User(options.user, options.password, base_path=options.root, home_path="/",
                       permissions=[aioftp.Permission("/", readable=True, writable=True)])
    server = aioftp.Server([user], ssl=context)
    await server.start(options.address, options.port)
    await server.serve_forever()


def main():
    options = server_options.parse(__doc__)
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if options.debug else logging.INFO)
    asyncio.run(serve(options))


if __name__ == "__main__":
    main()
