#!/usr/bin/python3
"""Twisted's FTP server for Kestrel's tests: one user with full write access in one directory,
plain FTP only (Twisted's FTP server has no TLS).

    twisted_ftpd.py --address A --port P --root DIR --user U --password W

Runs with Debian's interpreter (/usr/bin/python3), which has python3-twisted. Logs to standard
error.
"""

import sys

from twisted.cred import checkers, portal
from twisted.internet import reactor
from twisted.protocols import ftp
from twisted.python import filepath, log

import server_options


class OneDirectoryRealm(ftp.BaseFTPRealm):
    """Every user's home is the one directory served."""

    def getHomeDirectory(self, avatarId):
        return self.anonymousRoot


def main():
    options = server_options.parse(__doc__)

    log.startLogging(sys.stderr)
    users = checkers.InMemoryUsernamePasswordDatabaseDontUse()
    users.addUser(options.user, options.password)
    factory = ftp.FTPFactory(portal.Portal(OneDirectoryRealm(options.root), [users]))
    factory.allowAnonymous = False
    # Passive ports from the system's ephemeral range; the default range is port 0 alone, which
    # means the same, but say so.
    factory.passivePortRange = range(0, 1)
    if options.debug:
        ftp.FTP.debug = True
    reactor.listenTCP(options.port, factory, interface=options.address)
    reactor.run()


if __name__ == "__main__":
    main()
