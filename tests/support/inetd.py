#!/usr/bin/python3
"""A one-service inetd for Kestrel's tests: listens on one address and port and runs a server
program for each connection with the connection as its standard input and output, as inetd
does (inetutils' ftpd in inetd mode: its own daemon mode cannot be bound to one address).

    inetd.py --address A --port P -- PROGRAM [ARGUMENT...]

Each program runs in a process of its own, a child of this one; their standard error goes to
ours. Ends on SIGTERM.
"""

import argparse
import signal
import socket
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("program", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    program = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not program:
        parser.error("no program to run")

    # Children that ended are reaped by the system; theirs are theirs to wait for.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    default_child_signal = lambda: signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    listener = socket.create_server((options.address, options.port), reuse_port=False)
    print(f"inetd: {' '.join(program)} on {options.address}:{options.port}", file=sys.stderr,
          flush=True)
    while True:
        connection, peer = listener.accept()
        try:
            subprocess.Popen(program, stdin=connection, stdout=connection, close_fds=True,
                             preexec_fn=default_child_signal)
        except OSError as error:
            print(f"inetd: cannot start {program[0]} for {peer}: {error}", file=sys.stderr,
                  flush=True)
        connection.close()


if __name__ == "__main__":
    main()
