#!/usr/bin/python3
"""The Python ftplib peer of the benchmark: the same measurements as kestrel-bench, made with the
standard library's FTP client in active mode (set_pasv(False)) with 4096-byte blocks.

    ftplib_peer.py transfer --host H --user U --password P --direction down|up
                            --remote NAME --source FILE --work DIR [--server-root DIR]
    ftplib_peer.py noop --host H --user U --password P --count N

Prints one JSON record per run, with the keys kestrel-bench uses. A transfer is timed from the
connection attempt to the end of the transfer (connect, log in, transfer), as kestrel-bench times
its session and curl its time_total. Exit status 0 when every reply was as expected and the file
matched, 1 otherwise.
"""

import argparse
import filecmp
import ftplib
import json
import os
import sys
import time

BLOCK_SIZE = 4096


def transfer(options):
    upload = options.direction == "up"
    size = os.path.getsize(options.source)
    local = os.path.join(options.work, "down-ftplib")
    remote = options.remote + "-ftplib" if upload else options.remote
    started = time.monotonic()
    ftp = ftplib.FTP()
    ftp.connect(options.host, 21, timeout=30)
    ftp.login(options.user, options.password)
    ftp.set_pasv(False)
    begun = time.monotonic()
    if upload:
        with open(options.source, "rb") as source:
            ftp.storbinary("STOR " + remote, source, blocksize=BLOCK_SIZE)
    else:
        with open(local, "wb") as target:
            ftp.retrbinary("RETR " + remote, target.write, blocksize=BLOCK_SIZE)
    finished = time.monotonic()
    ftp.quit()
    copy = os.path.join(options.server_root, remote) if upload else local
    verified = filecmp.cmp(options.source, copy, shallow=False)
    os.remove(copy)
    return {
        "tool": "ftplib", "mode": "transfer", "direction": options.direction, "objects": 1,
        "size": size, "raw": True, "seconds": finished - begun,
        "session_seconds": finished - started, "verified": 1 if verified else 0,
        "failures": 0 if verified else 1,
    }


def noop(options):
    ftp = ftplib.FTP()
    ftp.connect(options.host, 21, timeout=30)
    ftp.login(options.user, options.password)
    for _ in range(20):
        ftp.voidcmd("NOOP")
    started = time.monotonic()
    for _ in range(options.count):
        ftp.voidcmd("NOOP")  # raises unless the reply is 2xx
    seconds = time.monotonic() - started
    ftp.quit()
    return {
        "tool": "ftplib", "mode": "noop", "round_trips": options.count, "seconds": seconds,
        "per_second": options.count / seconds if seconds > 0 else 0.0, "failures": 0,
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["transfer", "noop"])
    parser.add_argument("--host", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", default="")
    parser.add_argument("--direction", choices=["down", "up"], default="down")
    parser.add_argument("--remote")
    parser.add_argument("--source")
    parser.add_argument("--work")
    parser.add_argument("--server-root")
    parser.add_argument("--count", type=int, default=1000)
    options = parser.parse_args(argv)
    if options.mode == "transfer":
        if not (options.remote and options.source and options.work):
            parser.error("transfer needs --remote, --source and --work")
        if options.direction == "up" and not options.server_root:
            parser.error("uploads need --server-root")
        record = transfer(options)
    else:
        record = noop(options)
    print(json.dumps(record))
    return 0 if record["failures"] == 0 else 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (OSError, ftplib.Error, EOFError) as error:
        print("ftplib_peer: %s" % error, file=sys.stderr)
        sys.exit(1)
