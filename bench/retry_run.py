#!/usr/bin/python3
"""Transfers through a connection that is cut every few seconds: does the client reconnect,
log in again and resume, end with a byte-exact file, and how much does it send twice.

    bench/retry_run.py [--bin DIR] [--size MIB] [--cut-every S] [--rate MIB] [--retries N]
                       [--retry-delay MS] [--timeout S] [--tls LIST] [--directions LIST]
                       [--clients LIST] [--work DIR] [--keep]

Starts vsftpd on port 21 of 127.0.0.146 (plain, then explicit TLS required; passive ports
41400-41419) and bench/fault_proxy.py on 127.0.0.156 with --cut-every S (3 unless given): every
session's control and data connections are reset S seconds after it began. --rate (20 MiB/s
unless given) holds the data connections to that speed, so that a transfer of SIZE MiB (200
unless given) outlasts several cuts. Under TLS the proxy cannot read the passive replies and
forwards the fixed port range instead.

Kestrel (kestrel-host from DIR, default build/default/bin, driven through a pipe): `passive` 1,
`throttle` 0, `timeout`, `retries` N (5 unless given) and `retryDelay` MS (1000 unless given),
and `tls` 1 with `tlsVerify` 0 under TLS. An option the build does not know (ftpSetOption
answers 1000) is reported as missing and the transfer runs without it. While the transfer runs,
ftpProgress is read every 20 ms; the table says whether its byte count ever went down.

lftp, for comparison, through the same proxy: `set net:max-retries 10; set
net:reconnect-interval-base 1` (and a constant interval: multiplier 1, as retryDelay is), the
same time-out, passive mode, the passive reply's address ignored (the proxy's own address is
used, as Kestrel does), and under TLS `ftp:ssl-force`, protected data, no certificate check.

Each run has a proxy of its own, whose counters give the bytes the sender sent on data
connections in the transfer's direction (read by the proxy, whether a cut then kept them from
delivery or not) and the bytes delivered. Before the cut run, one run of each client, direction
and TLS mode goes through a proxy that cuts nothing: the bytes it sent (the file plus, under
TLS, the records' overhead) are the baseline, and the share sent twice is
(sent - baseline) / baseline. Bytes still in the server's own socket buffers at a cut are not
seen by the proxy, so the figure is a lower bound.
Every copy is compared with the original (cmp). Prints a Markdown table; needs root.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fault_support import (REPO, FaultProxy, Host, Server, log, make_file,  # noqa: E402
                           quoted, same_file)

SERVER_ADDRESS = "127.0.0.146"
PROXY_ADDRESS = "127.0.0.156"
PORTS = (41400, 41419)


def proxy_for(options, server, tls, cut, label, work):
    arguments = ["--quiet"]
    if cut:
        arguments += ["--cut-every", str(options.cut_every), "--rate", str(options.rate)]
    if tls:
        arguments += ["--data-ports", f"{PORTS[0]}-{PORTS[1]}"]
    return FaultProxy(PROXY_ADDRESS, server.address, arguments,
                      os.path.join(work, f"proxy-{label}.jsonl"),
                      os.path.join(work, f"proxy-{label}.err"))


def kestrel(options, server, tls, direction, source, target, remote, label, work):
    """One transfer by kestrel-host; a dict of what happened."""
    outcome = {"missing": [], "backwards": "no"}
    host = Host(options.bin, os.path.join(work, f"host-{label}.err"))
    try:
        host.call("new a")
        settings = [("passive", "1"), ("throttle", "0"), ("timeout", str(options.timeout)),
                    ("retries", str(options.retries)),
                    ("retryDelay", str(options.retry_delay))]
        if tls:
            settings += [("tls", "1"), ("tlsVerify", "0")]
        for name, value in settings:
            answer = host.call(f"ftpSetOption a {quoted(name)} {quoted(value)}")
            if answer != 0:
                if name in ("retries", "retryDelay"):
                    outcome["missing"].append(name)
                else:
                    raise RuntimeError(f"option {name} {value}: {answer}")
        host.call(f"ftpLogin a {quoted(PROXY_ADDRESS)} {quoted(server.user)} "
                  f"{quoted(server.password)}")
        while host.call("ftpDone a") != 1:
            time.sleep(0.02)
        if host.call("ftpErrorCode a") != 0:
            raise RuntimeError(f"log-in: {host.call('ftpErrorMessage a')}")
        began = time.monotonic()
        if direction == "down":
            started = host.call(f"ftpRecvFile a {quoted(remote)} {quoted(target)} 73")
        else:
            started = host.call(f"ftpSendFile a {quoted(source)} {quoted(remote)} 73")
        if started != 0:
            raise RuntimeError(f"the transfer did not start: {started}")
        last = 0
        deadline = began + options.limit
        while True:
            done = host.call("ftpDone a") == 1
            moved = int(host.call("ftpProgress a").split()[0])
            if moved < last and outcome["backwards"] == "no":
                outcome["backwards"] = f"yes ({last} to {moved})"
            last = max(last, moved)
            if done:
                break
            if time.monotonic() > deadline:
                host.call("ftpAbort a")
                while host.call("ftpDone a") != 1:
                    time.sleep(0.02)
                outcome["note"] = f"aborted after {options.limit} s"
                break
            time.sleep(0.02)
        outcome["seconds"] = time.monotonic() - began
        outcome["code"] = str(host.call("ftpErrorCode a"))
        outcome["message"] = host.call("ftpErrorMessage a")
    finally:
        host.close()
    return outcome


def lftp(options, server, tls, direction, source, target, remote, label, work):
    settings = ["set cmd:fail-exit yes", "set net:max-retries 10",
                "set net:reconnect-interval-base 1", "set net:reconnect-interval-multiplier 1",
                f"set net:timeout {options.timeout}", "set ftp:passive-mode on",
                "set ftp:ignore-pasv-address yes"]
    if tls:
        settings += ["set ftp:ssl-force yes", "set ftp:ssl-protect-data yes",
                     "set ssl:verify-certificate no"]
    else:
        settings += ["set ftp:ssl-allow no"]
    if direction == "down":
        command = f"get {remote} -o {target}"
    else:
        command = f"put {source} -o {remote}"
    script = "; ".join(settings + [command, "bye"])
    began = time.monotonic()
    try:
        done = subprocess.run(["lftp", "-u", f"{server.user},{server.password}", "-e", script,
                               PROXY_ADDRESS], capture_output=True, text=True,
                              timeout=options.limit, stdin=subprocess.DEVNULL)
        code, text = str(done.returncode), (done.stderr or done.stdout).strip()
    except subprocess.TimeoutExpired:
        code, text = "killed", f"no end within {options.limit} s"
    with open(os.path.join(work, f"lftp-{label}.err"), "w") as f:
        f.write(text)
    return {"seconds": time.monotonic() - began, "code": f"exit {code}",
            "message": text.splitlines()[-1][:120] if text else "", "missing": [],
            "backwards": "n/a"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="\n".join(__doc__.splitlines()[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "default", "bin"))
    parser.add_argument("--size", type=int, default=200)
    parser.add_argument("--cut-every", type=float, default=3)
    parser.add_argument("--rate", type=float, default=20, help="MiB/s through the proxy")
    parser.add_argument("--retries", type=int, default=5)
    parser.add_argument("--retry-delay", type=int, default=1000, help="milliseconds")
    parser.add_argument("--timeout", type=int, default=10)
    parser.add_argument("--limit", type=float, default=180, help="seconds a run may take")
    parser.add_argument("--tls", default="plain,explicit")
    parser.add_argument("--directions", default="down,up")
    parser.add_argument("--clients", default="kestrel,lftp")
    parser.add_argument("--work")
    parser.add_argument("--keep", action="store_true")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("retry_run.py: needs root (port 21, switching users)")
    clients = options.clients.split(",")
    if "kestrel" in clients and not os.access(os.path.join(options.bin, "kestrel-host"),
                                              os.X_OK):
        sys.exit(f"retry_run.py: no kestrel-host in {options.bin}")
    if "lftp" in clients and shutil.which("lftp") is None:
        sys.exit("retry_run.py: lftp is not installed (apt-get install lftp), or leave it "
                 "out with --clients kestrel")

    work = options.work or tempfile.mkdtemp(prefix="kestrel-retry-run-")
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o755)
    client_dir = os.path.join(work, "client")
    os.makedirs(client_dir, exist_ok=True)
    source = os.path.join(work, "source.bin")
    make_file(source, options.size)
    size = os.path.getsize(source)
    runs = {"kestrel": kestrel, "lftp": lftp}
    rows = []
    count = 0
    try:
        for tls in [t == "explicit" for t in options.tls.split(",")]:
            server = Server("vsftpd", SERVER_ADDRESS, tls, work, PORTS, "")
            server.start()
            try:
                server.place(source, "big.bin")
                for direction in options.directions.split(","):
                    for client in clients:
                        baseline = None
                        for cut in (False, True):
                            count += 1
                            label = (f"{count:02d}-{client}-{direction}-"
                                     f"{'tls' if tls else 'plain'}-{'cut' if cut else 'clean'}")
                            log(label)
                            target = os.path.join(client_dir, f"{label}.bin")
                            remote = "big.bin" if direction == "down" else f"up-{label}.bin"
                            proxy = proxy_for(options, server, tls, cut, label, work)
                            try:
                                outcome = runs[client](options, server, tls, direction, source,
                                                       target, remote, label, work)
                            except (RuntimeError, OSError, TimeoutError, EOFError) as error:
                                outcome = {"code": "–", "message": f"error: {error}",
                                           "seconds": 0, "missing": [], "backwards": "–"}
                            finally:
                                counters = proxy.stop()
                            copy = target if direction == "down" else server.path(remote)
                            exact = same_file(source, copy)
                            way = "data_s2c" if direction == "down" else "data_c2s"
                            wire = counters.get(way, 0)
                            sent = counters.get(f"{way}_read", 0)
                            if not cut:
                                baseline = sent if exact else None
                            twice = ("–" if baseline is None or not exact else
                                     f"{sent - baseline} B "
                                     f"({100.0 * (sent - baseline) / baseline:.3f} %)")
                            copy_size = os.path.getsize(copy) if os.path.exists(copy) else 0
                            rows.append({
                                "client": client, "direction": direction,
                                "tls": "explicit" if tls else "plain",
                                "proxy": f"cut every {options.cut_every:g} s" if cut
                                else "no cuts",
                                "missing": ", ".join(outcome["missing"]) or "–",
                                "code": outcome["code"], "message": outcome["message"],
                                "exact": "yes" if exact else f"no ({copy_size} of {size} B)",
                                "seconds": f"{outcome['seconds']:.1f}",
                                "sessions": counters.get("sessions", "–"),
                                "cuts": counters.get("cuts", "–"),
                                "wire": wire, "sent": sent,
                                "twice": twice if cut else "(baseline)",
                                "backwards": outcome["backwards"],
                                "note": outcome.get("note", "")})
                            log(f"  {rows[-1]['code']} {rows[-1]['message']!r} exact "
                                f"{rows[-1]['exact']} {rows[-1]['seconds']} s")
                            for path in (target, server.path(f"up-{label}.bin")):
                                if os.path.exists(path):
                                    os.remove(path)
            finally:
                server.stop()
    finally:
        if not options.keep and not options.work:
            shutil.rmtree(work, ignore_errors=True)

    print(f"vsftpd, passive, {options.size} MiB, proxy at {options.rate:g} MiB/s; Kestrel from "
          f"{os.path.realpath(options.bin)} with retries {options.retries}, retryDelay "
          f"{options.retry_delay} ms, timeout {options.timeout} s; lftp net:max-retries 10, "
          f"reconnect interval 1 s\n")
    print("| Client | Direction | TLS | Proxy | Options missing | Final code | Message | "
          "Byte-exact | Seconds | Sessions | Cuts | Data bytes sent | Delivered | "
          "Sent twice | ftpProgress went back | Note |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['client']} | {r['direction']} | {r['tls']} | {r['proxy']} | {r['missing']} "
              f"| {r['code']} | {r['message']} | {r['exact']} | {r['seconds']} | "
              f"{r['sessions']} | {r['cuts']} | {r['sent']} | {r['wire']} | {r['twice']} | "
              f"{r['backwards']} "
              f"| {r['note']} |")


if __name__ == "__main__":
    main()
