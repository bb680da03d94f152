#!/usr/bin/python3
"""Faults during transfers, against four servers: how each transfer ends, how long after the
fault, and whether a short or damaged file was ever reported as a success.

    bench/fault_table.py [--bin DIR] [--servers LIST] [--cases LIST] [--modes LIST]
                         [--tls LIST] [--timeout S] [--throttle 0|1] [--size MIB]
                         [--test-servers DIR] [--work DIR] [--keep]

Starts vsftpd (127.0.0.141), pyftpdlib (.142), proftpd (.143) and pure-ftpd (.144) on port 21,
plain and with explicit TLS required, each with a passive port range of its own, and runs
kestrel-host (DIR/kestrel-host, default build/default/bin) through a pipe, one host process per
case: the object gets `timeout` (3 s unless given), `throttle` (0 unless given: at the paced
400 KiB/s the megabytes a server puts into the loopback's socket buffers before a fault take the
client ten seconds to read), `passive` 1 in passive mode, and `tls` 1 with `tlsVerify` 0 for
explicit TLS; nothing else. The signal cases move a file of 1 GiB unless given, large enough
that a full-speed transfer is still running after 8 MiB, when the signal comes; the proxy's
cases move 8 MiB and their faults come after 256 KiB. bench/fault_proxy.py runs on 127.0.0.150
for the cases that need it (passive mode only: in active mode the server connects to the client
directly).
proftpd and pure-ftpd come from the folder scripts/test_servers.sh unpacks (build/test-servers,
or --test-servers DIR). Needs root.

Cases:
  stop-download   the server's session processes (those holding a connection from its port
                  21) get SIGSTOP once 8 MiB came down (pyftpdlib serves every session in
                  one process: the whole server stops)
  stop-upload     the same once 8 MiB went up
  kill-download   SIGKILL instead (pyftpdlib is started again afterwards)
  dead-link       the proxy forwards nothing more on the data connection after 256 KiB
  short-data      the proxy ends the data connection cleanly after 256 KiB from the server and
                  reads the rest into nothing, so the server still says 226
  reset-data      the proxy resets the client's data connection after 256 KiB
  stall-reply     once the data connection is open the proxy holds the control connection's
                  next final reply and all after it (256 KiB file; under TLS, where replies
                  cannot be read, from the data connection's first byte): the final reply
                  never comes

Elapsed is measured from the fault (the signal, or the proxy's event: for stall-reply the end
of the data connection), or from the last growth of ftpProgress when that came later (bytes
already in socket buffers still arrive after a server stopped), to the poll of ftpDone that
saw the operation end; polls come every 10 ms. A case that has not ended after time-out + 20 s
is aborted and shown as such.
Prints a Markdown table on standard output; progress on standard error.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fault_support import (REPO, SERVER_KINDS, FaultProxy, Host, Server, log,  # noqa: E402
                           make_file, quoted, same_file)

ADDRESSES = {"vsftpd": "127.0.0.141", "pyftpdlib": "127.0.0.142", "proftpd": "127.0.0.143",
             "pure-ftpd": "127.0.0.144"}
PORTS = {"vsftpd": (41000, 41019), "pyftpdlib": (41100, 41119), "proftpd": (41200, 41219),
         "pure-ftpd": (41300, 41319)}
PROXY_ADDRESS = "127.0.0.150"
TRIGGER = 256 * 1024  # bytes before the proxy's faults
SIGNAL_TRIGGER = 8 << 20  # bytes moved before a signal
PROXY_FILE_MIB = 8  # the file of the proxy's cases, which the short case's proxy reads whole

# Codes that name each fault as a failure. A stalled download ends in a time-out (2007), a
# failed data connection (2006) or, when the final reply is what does not come, 2002; a stalled
# upload in 2007, 2002, or a failed send (2005). Data that ends early is a short transfer
# (2010), or, under TLS, a data connection that ended without the server's close_notify
# (2006). A reset or a killed server is a failed data connection (2006), a short transfer
# (2010) or a lost control connection (1003).
DATA_STALL = (2002, 2006, 2007)
CASES = {
    "stop-download": {"direction": "down", "expect": DATA_STALL},
    "stop-upload": {"direction": "up", "expect": (2002, 2005, 2007)},
    "kill-download": {"direction": "down", "expect": (1003, 2006, 2010)},
    "dead-link": {"direction": "down", "expect": DATA_STALL,
                  "proxy": ["--blackhole-after-bytes", str(TRIGGER)], "onset": "blackhole"},
    "short-data": {"direction": "down", "expect": (2010,), "expect_tls": (2006, 2010),
                   "proxy": ["--short-after-bytes", str(TRIGGER)], "onset": "short"},
    "reset-data": {"direction": "down", "expect": (2006, 2010),
                   "proxy": ["--reset-data-after-bytes", str(TRIGGER)], "onset": "reset"},
    "stall-reply": {"direction": "down", "expect": (2002,), "small": True,
                    "proxy": ["--stall-control"], "onset": "data-end"},
}


class Run:
    def __init__(self, options, work):
        self.options = options
        self.work = work
        self.client = os.path.join(work, "client")
        os.makedirs(self.client, exist_ok=True)
        self.source = os.path.join(work, "source.bin")
        make_file(self.source, options.size)
        self.medium = os.path.join(work, "medium.bin")
        make_file(self.medium, PROXY_FILE_MIB)
        self.small = os.path.join(work, "small.bin")
        with open(self.small, "wb") as f:
            f.write(os.urandom(TRIGGER))
        self.count = 0

    def host(self, server, tls, passive, address, label):
        host = Host(self.options.bin, os.path.join(self.work, f"host-{label}.err"))
        host.call("new a")
        settings = [("timeout", str(self.options.timeout)), ("passive", "1" if passive else "0"),
                    ("throttle", str(self.options.throttle))]
        if tls:
            settings += [("tls", "1"), ("tlsVerify", "0")]
        for extra in self.options.option:
            name, _, value = extra.partition("=")
            settings.append((name, value))
        for name, value in settings:
            if host.call(f"ftpSetOption a {quoted(name)} {quoted(value)}") != 0:
                raise RuntimeError(f"option {name} {value} not taken")
        host.call(f"ftpLogin a {quoted(address)} {quoted(server.user)} "
                  f"{quoted(server.password)}")
        result = self.finish(host, 30)
        if result[0] != 0:
            host.close()
            raise RuntimeError(f"log-in failed: {result[0]} {result[1]}")
        return host

    def finish(self, host, limit, progress=False):
        """Polls ftpDone (and with PROGRESS ftpProgress) until the operation ends or LIMIT
        seconds pass (then it is aborted); the code, the message, the moment of the end,
        whether it ended by itself, and the last moment the byte count grew."""
        deadline = time.monotonic() + limit
        last_count, last_change = None, time.monotonic()
        while True:
            if progress:
                count = host.call("ftpProgress a").split()[0]
                if count != last_count:
                    last_count, last_change = count, time.monotonic()
            if host.call("ftpDone a") == 1:
                ended = time.monotonic()
                return (host.call("ftpErrorCode a"), host.call("ftpErrorMessage a"), ended,
                        True, last_change)
            if time.monotonic() > deadline:
                ended = time.monotonic()
                host.call("ftpAbort a")
                for _ in range(300):
                    if host.call("ftpDone a") == 1:
                        break
                    time.sleep(0.01)
                return (host.call("ftpErrorCode a"), host.call("ftpErrorMessage a"), ended,
                        False, last_change)
            time.sleep(0.01)

    def case(self, name, server, passive, tls):
        plan = CASES[name]
        expect = plan.get("expect_tls", plan["expect"]) if tls else plan["expect"]
        row = {"case": name, "server": server.kind, "mode": "passive" if passive else "active",
               "tls": "explicit" if tls else "plain", "expect": "/".join(map(str, expect)),
               "actual": "–", "message": "", "elapsed": "–", "within": "–",
               "reported": "–",
               "note": ""}
        if "proxy" in plan and not passive:
            row["note"] = ("n/a: the proxy forwards passive data connections only (in active "
                           "mode the server connects to the client)")
            return row
        self.count += 1
        label = f"{self.count:03d}-{name}-{server.kind}-{row['mode']}-{row['tls']}"
        server.start()
        if plan.get("small"):
            source, remote = self.small, "small.bin"
        elif "proxy" in plan:
            source, remote = self.medium, "medium.bin"
        else:
            source, remote = self.source, "big.bin"
        server.place(source, remote)
        local = os.path.join(self.client, f"{label}.bin")
        proxy = None
        address = server.address
        if "proxy" in plan:
            arguments = list(plan["proxy"])
            if tls:
                arguments += ["--data-ports", f"{server.ports[0]}-{server.ports[1]}"]
            proxy = FaultProxy(PROXY_ADDRESS, server.address, arguments,
                               os.path.join(self.work, f"proxy-{label}.jsonl"),
                               os.path.join(self.work, f"proxy-{label}.err"))
            address = PROXY_ADDRESS
        stopped = []
        host = None
        try:
            host = self.host(server, tls, passive, address, label)
            if plan["direction"] == "down":
                copy = local
                started = host.call(f"ftpRecvFile a {quoted(remote)} {quoted(local)} 73")
            else:
                copy = server.path("up.bin")
                if os.path.exists(copy):
                    os.remove(copy)
                started = host.call(f"ftpSendFile a {quoted(source)} \"up.bin\" 73")
            if started != 0:
                raise RuntimeError(f"the transfer did not start: {started}")
            onset = None
            if name.startswith(("stop-", "kill-")):
                # Wait for the trigger amount, polling back to back (a full-speed transfer
                # passes it within milliseconds), then signal the session's processes.
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    moved = int(host.call("ftpProgress a").split()[0])
                    if moved >= SIGNAL_TRIGGER or host.call("ftpDone a") == 1:
                        break
                if host.call("ftpDone a") == 1:
                    raise RuntimeError(f"the transfer ended before {SIGNAL_TRIGGER} bytes "
                                       "moved: no fault applied (try a larger --size)")
                pids = server.session_pids()
                if not pids:
                    raise RuntimeError("no session process found")
                number = signal.SIGSTOP if name.startswith("stop-") else signal.SIGKILL
                onset = time.monotonic()
                for pid in pids:
                    os.kill(pid, number)
                if number == signal.SIGSTOP:
                    stopped = pids
                row["note"] = f"signalled pids {','.join(map(str, pids))}; "
            code, message, ended, by_itself, last_change = self.finish(
                host, self.options.timeout + 20, progress=True)
            if proxy is not None:
                events = [e for e in proxy.events() if e["event"] == plan["onset"]]
                if plan["onset"] == "data-end" and not events:
                    events = [e for e in proxy.events() if e["event"] == "stall-control"]
                if events:
                    onset = events[-1]["t"] if plan["onset"] == "data-end" else events[0]["t"]
            row["actual"] = str(code) if by_itself else f"{code} (aborted: no end)"
            row["message"] = message
            if onset is None:
                row["note"] += "the fault never came; "
            else:
                # Data the server sent before the fault still sits in socket buffers: the
                # client can only notice the fault once the byte count stops growing.
                if last_change > onset:
                    row["note"] += f"last byte {last_change - onset:.2f} s after the fault; "
                    onset = last_change
                elapsed = ended - onset
                row["elapsed"] = f"{elapsed:.2f}"
                row["within"] = ("yes" if by_itself and elapsed <= self.options.timeout + 1
                                 else "no")
            size = os.path.getsize(copy) if os.path.exists(copy) else None
            whole = os.path.getsize(source)
            intact = same_file(source, copy)
            if code == 0:
                row["reported"] = "no (file complete)" if intact else "YES"
            else:
                row["reported"] = "no"
            row["note"] += ("copy intact" if intact else
                            f"copy {'missing' if size is None else f'{size} of {whole} bytes'}")
        except (RuntimeError, OSError, TimeoutError, EOFError) as error:
            row["note"] += f"error: {error}"
        finally:
            for pid in stopped:
                try:
                    os.kill(pid, signal.SIGCONT)
                    if server.kind != "pyftpdlib":
                        os.kill(pid, signal.SIGKILL)  # the session is of no more use
                except ProcessLookupError:
                    pass
            if host is not None:
                host.close()
            if proxy is not None:
                counters = proxy.stop()
                row["note"] += (f"; proxy: {counters.get('data_s2c', 0)} B down, "
                                f"{counters.get('data_c2s', 0)} B up")
            if os.path.exists(local):
                os.remove(local)
        log(f"  {label}: {row['actual']} {row['message']!r} {row['elapsed']} s")
        return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="\n".join(__doc__.splitlines()[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "default", "bin"))
    parser.add_argument("--servers", default=",".join(SERVER_KINDS))
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--modes", default="passive,active")
    parser.add_argument("--tls", default="plain,explicit")
    parser.add_argument("--timeout", type=int, default=3)
    parser.add_argument("--throttle", type=int, choices=(0, 1), default=0)
    parser.add_argument("--size", type=int, default=1024,
                        help="MiB of the file of the signal cases")
    parser.add_argument("--test-servers", default=os.environ.get(
        "KESTREL_TEST_SERVERS", os.path.join(REPO, "build", "test-servers")))
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                        help="one more ftpSetOption for every object (repeatable)")
    parser.add_argument("--work")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("fault_table.py: needs root (port 21, switching users, signals)")
    if not os.access(os.path.join(options.bin, "kestrel-host"), os.X_OK):
        sys.exit(f"fault_table.py: no kestrel-host in {options.bin}")
    for name in options.cases.split(","):
        if name not in CASES:
            sys.exit(f"fault_table.py: unknown case {name} (cases: {', '.join(CASES)})")

    work = options.work or tempfile.mkdtemp(prefix="kestrel-fault-table-")
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o755)
    run = Run(options, work)
    rows = []
    began = time.monotonic()
    try:
        for kind in options.servers.split(","):
            for tls in [t == "explicit" for t in options.tls.split(",")]:
                server = Server(kind, ADDRESSES[kind], tls, work, PORTS[kind],
                                options.test_servers)
                why = server.available()
                log(f"{kind}, {'explicit TLS' if tls else 'plain'}")
                if why is None:
                    try:
                        server.start()
                    except RuntimeError as error:
                        why = f"the server did not start: {str(error).strip()[-300:]}"
                        log(f"  {why}")
                try:
                    for name in options.cases.split(","):
                        for passive in [m == "passive" for m in options.modes.split(",")]:
                            if why is not None:
                                rows.append({"case": name, "server": kind,
                                             "mode": "passive" if passive else "active",
                                             "tls": "explicit" if tls else "plain",
                                             "expect": "", "actual": "–", "message": "",
                                             "elapsed": "–", "within": "–", "reported": "–",
                                             "note": f"n/a: {why}"})
                                continue
                            try:
                                rows.append(run.case(name, server, passive, tls))
                            except RuntimeError as error:
                                log(f"  {name}: {error}")
                                rows.append({"case": name, "server": kind,
                                             "mode": "passive" if passive else "active",
                                             "tls": "explicit" if tls else "plain",
                                             "expect": "", "actual": "–", "message": "",
                                             "elapsed": "–", "within": "–", "reported": "–",
                                             "note": f"error: {error}"})
                finally:
                    server.stop()
    finally:
        if not options.keep and not options.work:
            shutil.rmtree(work, ignore_errors=True)

    print(f"kestrel-host from {os.path.realpath(options.bin)}; time-out {options.timeout} s; "
          f"throttle {options.throttle}; {options.size} MiB file for the signals; "
          f"{time.monotonic() - began:.0f} s in all\n")
    print("| Case | Server | Mode | TLS | Expected | Actual | ftpErrorMessage | Elapsed s | "
          "Time-out s | ≤ time-out + 1 s | Short/damaged file reported as 0 | Note |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(f"| {row['case']} | {row['server']} | {row['mode']} | {row['tls']} | "
              f"{row['expect']} | {row['actual']} | {row['message']} | {row['elapsed']} | "
              f"{options.timeout} | {row['within']} | {row['reported']} | {row['note']} |")
    done = [r for r in rows if r["actual"] != "–"]
    good = [r for r in done if r["actual"].split()[0] in r["expect"].split("/")]
    print(f"\n{len(done)} cases run, {len(good)} ended with an expected code, "
          f"{sum(r['within'] == 'yes' for r in done)} within time-out + 1 s, "
          f"{sum(r['reported'] == 'YES' for r in done)} reported a short or damaged file "
          f"as success; {len(rows) - len(done)} n/a or not run.")


if __name__ == "__main__":
    main()
