#!/usr/bin/python3
"""Turns the records of one scripts/bench.sh run into docs/benchmarks.md and its chart.

    report.py --results results.jsonl --machine machine.json --out benchmarks.md
              --chart benchmarks.png [--profile profile.txt] [--improvements FILE]

Every figure is the median of the runs of one case; every comparison is a ratio of two medians
taken in the same run. A case without a successful run is reported as not measured, with the
reason its runs gave.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

MIB = 1 << 20
PAUSE_EVERY_ALONE = 10
PAUSE_EVERY_SHARED = 3


def median(values):
    """The median of values (mean of the middle two for an even count), or None for none."""
    ordered = sorted(v for v in values if v is not None)
    if not ordered:
        return None
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def ratio(numerator, denominator):
    if numerator is None or denominator in (None, 0):
        return None
    return numerator / denominator


def fmt(value, digits=2, suffix=""):
    """A figure for a table cell; a dash for a value that was not measured."""
    if value is None:
        return "–"
    return "%.*f%s" % (digits, value, suffix)


def size_text(size):
    if size >= MIB and size % MIB == 0:
        return "%d MB" % (size // MIB)
    if size >= 1024 and size % 1024 == 0:
        return "%d KB" % (size // 1024)
    return "%d B" % size


def mb_per_second(result):
    seconds = result.get("session_seconds")
    if not seconds:
        return None
    return result["size"] / MIB / seconds


class Results:
    """The records of one run, grouped by case and server."""

    def __init__(self, lines):
        self.cases = {}
        for line in lines:
            line = line.strip()
            if not line:
                continue
            entry = json.loads(line)
            key = (entry["case"], entry["server"])
            self.cases.setdefault(key, []).append(entry)

    def ok(self, case, server="vsftpd"):
        return [e["result"] for e in self.cases.get((case, server), []) if "error" not in e]

    def entries(self, case, server="vsftpd"):
        return [e for e in self.cases.get((case, server), []) if "error" not in e]

    def recorded(self, case, server="vsftpd"):
        """The records of every run of a case that printed one, failed runs included: a run
        that measured a wrong outcome (an abort that did not end with -1) still counts."""
        return [e["result"] for e in self.cases.get((case, server), [])
                if isinstance(e.get("result"), dict)]

    def errors(self, case, server="vsftpd"):
        return [e["error"] for e in self.cases.get((case, server), []) if "error" in e]

    def measured(self, case, server="vsftpd"):
        return (case, server) in self.cases

    def median(self, case, value, server="vsftpd"):
        """Median of value(result) over the successful runs of a case, or None."""
        return median([value(r) for r in self.ok(case, server)])

    def runs(self, case, server="vsftpd"):
        return len(self.ok(case, server))

    def failures(self):
        """(case, server, reason) for every case with a failed run."""
        out = []
        for (case, server), entries in sorted(self.cases.items()):
            for entry in entries:
                if "error" in entry:
                    out.append((case, server, entry["error"]))
                    break
        return out


def throttled_rows(results):
    """Rows (direction, size, objects) found among the throttled cases, in a stable order."""
    rows = set()
    for case, _ in results.cases:
        parts = case.split("-")
        if parts[0] == "throttled" and len(parts) == 5:
            rows.add((parts[2], int(parts[3]), int(parts[4])))
    return sorted(rows, key=lambda r: (r[0] != "down", r[2], r[1]))


# Every transfer waits this long before it closes its listening socket once the server has
# connected: a fixed step of the data connection, outside the pause rhythm.
LISTEN_CLOSE_PAUSE = 0.1


def over_ideal(result):
    ideal = result.get("ideal_seconds")
    return result["seconds"] / ideal if ideal else None


def beyond_fixed_over_ideal(result):
    ideal = result.get("ideal_seconds")
    return (result["seconds"] - LISTEN_CLOSE_PAUSE) / ideal if ideal else None


def throttled_section(results):
    lines = [
        "## 1. Throttled transfers",
        "",
        "Transfers with the fixed pause rhythm: a 100 ms pause after every 10th block while one "
        "object exists, after every 3rd while several do. The ideal time is the number of pauses "
        "times 100 ms; *measured / ideal* is what the rest costs. All objects of a row start "
        "together; the time runs from the start until the last one has finished. Through the "
        "script interface the host calls `ftpRecvFile` or `ftpSendFile` and polls `ftpDone` "
        "every millisecond; the engine rows call the engine directly, one thread per object.",
        "",
        "Every transfer also waits 100 ms before it closes its listening socket, once the "
        "server has connected: a fixed step of the data connection, outside the rhythm. "
        "*Without closing pause* is (measured − 0.1 s) / ideal: the share that the code could "
        "still win back. Values below 1 mean pauses shorter than 100 ms (see *Where the time "
        "goes*, item 3).",
        "",
        "| Direction | Size | Objects | Pauses | Ideal (s) | Script interface (s) | "
        "Script / ideal | Without closing pause | Engine (s) | Engine / ideal | "
        "Blocks counted / expected |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    rows = throttled_rows(results)
    if not rows:
        return lines[:2] + ["Not measured in this run.", ""]
    for direction, size, objects in rows:
        script = "throttled-script-%s-%d-%d" % (direction, size, objects)
        engine = "throttled-engine-%s-%d-%d" % (direction, size, objects)
        any_run = (results.ok(engine) or results.ok(script) or [None])[0]
        ideal = any_run["ideal_seconds"] if any_run else None
        pauses = any_run.get("pauses_expected") if any_run else None
        counted = results.median(engine, lambda r: r.get("blocks_counted"))
        expected = results.median(engine, lambda r: r.get("blocks_expected"))
        lines.append("| %s | %s | %d | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            "download" if direction == "down" else "upload", size_text(size), objects,
            "–" if pauses is None else pauses, fmt(ideal, 1),
            fmt(results.median(script, lambda r: r["seconds"]), 2),
            fmt(results.median(script, over_ideal), 3),
            fmt(results.median(script, beyond_fixed_over_ideal), 3),
            fmt(results.median(engine, lambda r: r["seconds"]), 2),
            fmt(results.median(engine, over_ideal), 3),
            "–" if counted is None else "%d / %d" % (counted, expected)))
    if not any(results.measured("throttled-script-%s-%d-%d" % r) for r in rows):
        lines += ["", "The script-interface columns are not measured: the module and its host "
                  "were not in this build."]
    lines += ["", "A download counts one block per receive, and a receive may return less than "
              "4096 bytes when the data arrive in pieces; more blocks than expected means more "
              "pauses than the ideal counts.", ""]
    return lines


def raw_section(results, size):
    if not size:
        return ["## 2. Raw data path", "", "Not measured in this run.", ""]
    lines = ["## 2. Raw data path", "",
             "One %s file, downloaded and uploaded in active mode, the pause switched off in "
             "the benchmark's own sessions. Kestrel is the engine's transfer loops (4096-byte "
             "blocks); curl runs with `-P 127.0.0.1`; ftplib with `set_pasv(False)` and "
             "4096-byte blocks. Each time covers connecting, logging in and the transfer. MB/s "
             "are MiB per second; CPU is user + system seconds of the client process. Kestrel's "
             "time includes the 100 ms pause before it closes its listening socket, a fixed "
             "step of every transfer; the last ratio leaves it out." %
             size_text(size), ""]
    clients = [("kestrel", "Kestrel"), ("curl", "curl"), ("ftplib", "Python ftplib")]
    any_server = False
    for server in ("vsftpd", "pyftpdlib"):
        if not any(results.measured("raw-%s-down" % c, server) for c, _ in clients):
            continue
        any_server = True
        lines += ["### Server: %s" % server, "",
                  "| Client | Download (MB/s) | Upload (MB/s) | CPU, download (s) | "
                  "CPU, upload (s) | Runs |", "|---|---|---|---|---|---|"]
        rate = {}
        for client, label in clients:
            for direction in ("down", "up"):
                rate[client, direction] = results.median(
                    "raw-%s-%s" % (client, direction), mb_per_second, server)
            cpu = {}
            for direction in ("down", "up"):
                cpu[direction] = median(
                    [e.get("cpu_user", 0) + e.get("cpu_system", 0)
                     for e in results.entries("raw-%s-%s" % (client, direction), server)
                     if e.get("cpu_user") is not None])
            lines.append("| %s | %s | %s | %s | %s | %d |" % (
                label, fmt(rate[client, "down"], 0), fmt(rate[client, "up"], 0),
                fmt(cpu["down"], 2), fmt(cpu["up"], 2),
                results.runs("raw-%s-down" % client, server)))
        lines += ["", "| Ratio | Download | Upload |", "|---|---|---|"]
        for peer, label in clients[1:]:
            lines.append("| Kestrel / %s | %s | %s |" % (
                label, fmt(ratio(rate["kestrel", "down"], rate[peer, "down"]), 2),
                fmt(ratio(rate["kestrel", "up"], rate[peer, "up"]), 2)))
        # The same without the closing pause of the listening socket, which only Kestrel has.
        spare = {}
        for direction in ("down", "up"):
            spare[direction] = results.median(
                "raw-kestrel-%s" % direction, lambda r: mb_per_second(
                    dict(r, session_seconds=r["session_seconds"] - LISTEN_CLOSE_PAUSE)), server)
        lines.append("| Kestrel without its 0.1 s closing pause / curl | %s | %s |" % (
            fmt(ratio(spare["down"], rate["curl", "down"]), 2),
            fmt(ratio(spare["up"], rate["curl", "up"]), 2)))
        lines.append("")
    if not any_server:
        lines.append("Not measured in this run.")
        lines.append("")
    return lines


def noop_section(results, count, busy_loops=None):
    lines = ["## 3. Command latency", "",
             "NOOP round trips per second over one logged-in control connection (%s in a row, "
             "after 20 unmeasured): the engine's `FtpCommand`; the script interface's "
             "`ftpCommand` followed by polling `ftpDone` until it reports the end, as fast as "
             "the host can; ftplib's `voidcmd(\"NOOP\")`. The script interface hands each "
             "operation to a worker thread and the host's polling competes with it for the "
             "processors, so its figure depends heavily on how busy the machine is. "
             "*Under load*: the same while %s busy loops (one shell loop per core, started by "
             "the benchmark for the duration) compete for the processors. Goal: script "
             "interface / ftplib at least 1.0, with and without load."
             % (count or "–", busy_loops or "–"), "",
             "| Server | Load | Kestrel engine | Kestrel script interface | Python ftplib | "
             "Engine / ftplib | Script / ftplib |", "|---|---|---|---|---|---|---|"]
    rows = 0
    for server in ("vsftpd", "pyftpdlib"):
        for prefix, load in (("noop", "none"), ("noop-load", "busy loops")):
            if not results.measured(prefix + "-engine", server):
                continue
            rows += 1
            value = {}
            for client in ("engine", "script", "ftplib"):
                value[client] = results.median("%s-%s" % (prefix, client),
                                               lambda r: r["per_second"], server)
            lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
                server, load, fmt(value["engine"], 0), fmt(value["script"], 0),
                fmt(value["ftplib"], 0), fmt(ratio(value["engine"], value["ftplib"]), 2),
                fmt(ratio(value["script"], value["ftplib"]), 2)))
    if rows == 0:
        lines.append("| – | – | not measured | | | | |")
    lines.append("")
    return lines


FAST_MODES = ("active", "passive")


def fast_section(results):
    """Full speed: the option throttle 0 against curl on the same server in the same run."""
    lines = ["## 6. Full speed (option `throttle` 0)", ""]
    cases = [case for case, _ in results.cases if case.startswith("fast-")]
    if not cases:
        return lines + ["Not measured in this run.", ""]
    some = ([r for case in cases for r in results.ok(case)] or [{"size": 0}])[0]
    lines += ["One %s file on vsftpd, downloaded and uploaded with `ftpSetOption(\"throttle\", "
              "\"0\")` (and `\"passive\", \"1\"` in passive mode) set before `ftpLogin`: "
              "through the script interface (the module through its binary interface, the host "
              "polling `ftpDone` once a millisecond) and the engine called directly. curl runs "
              "with `-P 127.0.0.1` in active mode and with its default (EPSV) in passive mode. "
              "Each time covers logging in and the transfer; every copy is compared with the "
              "original. MB/s are MiB per second; CPU is user + system seconds of the client "
              "process. Goal: Kestrel / curl at least 1.0." % size_text(some["size"]), "",
              "| Mode | Direction | Script interface (MB/s) | Engine (MB/s) | curl (MB/s) | "
              "Script / curl | Engine / curl | CPU script / curl (s) | Verified |",
              "|---|---|---|---|---|---|---|---|---|"]
    for mode in FAST_MODES:
        for direction in ("down", "up"):
            case = {c: "fast-%s-%s-%s" % (c, mode, direction)
                    for c in ("script", "engine", "curl")}
            rate = {c: results.median(case[c], mb_per_second) for c in case}
            cpu = {c: median([e.get("cpu_user", 0) + e.get("cpu_system", 0)
                              for e in results.entries(case[c])
                              if e.get("cpu_user") is not None]) for c in case}
            runs = sum(len(results.cases.get((case[c], "vsftpd"), [])) for c in case)
            verified = sum(1 for c in case for r in results.ok(case[c]) if r.get("verified"))
            lines.append("| %s | %s | %s | %s | %s | %s | %s | %s / %s | %d of %d |" % (
                mode, "download" if direction == "down" else "upload",
                fmt(rate["script"], 0), fmt(rate["engine"], 0), fmt(rate["curl"], 0),
                fmt(ratio(rate["script"], rate["curl"]), 2),
                fmt(ratio(rate["engine"], rate["curl"]), 2),
                fmt(cpu["script"], 2), fmt(cpu["curl"], 2), verified, runs))
    return lines + [""]


TLS_SERVER = "vsftpd-tls"
# The least Kestrel / curl for a TLS download at full speed.
TLS_DOWNLOAD_GOAL = 0.8


def tls_rates(results, client, mode, direction):
    """Median MB/s of one client's TLS transfers in one mode and direction, or None."""
    return results.median("tls-%s-%s-%s" % (client, mode, direction), mb_per_second, TLS_SERVER)


def tls_curl_active_reason(results):
    """Why curl was not measured in active mode over TLS, or None when it could be."""
    probes = results.recorded("tls-curl-active-probe", TLS_SERVER)
    if not probes or probes[0].get("supported"):
        return None
    return probes[0].get("reason") or "it failed"


def tls_section(results):
    """FTPS at full speed: tls 1 and throttle 0 against curl --ssl-reqd on the same server."""
    lines = ["## 8. FTPS at full speed (options `tls` 1, `throttle` 0)", ""]
    cases = [case for case, server in results.cases
             if server == TLS_SERVER and case.startswith("tls-") and "probe" not in case]
    if not cases:
        return lines + ["Not measured in this run.", ""]
    some = ([r for case in cases for r in results.ok(case, TLS_SERVER)] or [{"size": 0}])[0]
    lines += ["One %s file on a second vsftpd that requires explicit TLS on the control and on "
              "every data connection (`force_local_logins_ssl`, `force_local_data_ssl`), and that "
              "each data connection resume the control connection's TLS session "
              "(`require_ssl_reuse`). Kestrel runs through the script interface with "
              "`ftpSetOption` `tls` 1, `caFile` the run's own CA, `throttle` 0 (and `passive` 1 "
              "in passive mode) before `ftpLogin`; curl with `--ssl-reqd --cacert` and the same "
              "CA, `-P 127.0.0.1` in active mode and its default (EPSV) in passive mode. Each time "
              "covers connecting, the handshakes, logging in and the transfer; every copy is "
              "compared with the original. MB/s are MiB per second; CPU is user + system seconds "
              "of the client process. Goal: Kestrel / curl at least %.1f for the download."
              % (size_text(some["size"]), TLS_DOWNLOAD_GOAL), "",
              "| Mode | Direction | Kestrel (MB/s) | curl (MB/s) | Kestrel / curl | "
              "CPU Kestrel / curl (s) | Verified |", "|---|---|---|---|---|---|---|"]
    no_active_curl = tls_curl_active_reason(results)
    for mode in FAST_MODES:
        for direction in ("down", "up"):
            case = {c: "tls-%s-%s-%s" % (c, mode, direction) for c in ("script", "curl")}
            rate = {c: tls_rates(results, c, mode, direction) for c in ("script", "curl")}
            cpu = {c: median([e.get("cpu_user", 0) + e.get("cpu_system", 0)
                              for e in results.entries(case[c], TLS_SERVER)
                              if e.get("cpu_user") is not None]) for c in case}
            runs = sum(len(results.cases.get((case[c], TLS_SERVER), [])) for c in case)
            verified = sum(1 for c in case for r in results.ok(case[c], TLS_SERVER)
                           if r.get("verified"))
            compared = fmt(ratio(rate["script"], rate["curl"]), 2)
            if mode == "active" and no_active_curl and rate["curl"] is None:
                # The closest comparison there is: curl's passive figure, marked as such.
                compared = "– (%s against curl passive)" % fmt(
                    ratio(rate["script"], tls_rates(results, "curl", "passive", direction)), 2)
            lines.append("| %s | %s | %s | %s | %s | %s / %s | %d of %d |" % (
                mode, "download" if direction == "down" else "upload", fmt(rate["script"], 0),
                fmt(rate["curl"], 0), compared, fmt(cpu["script"], 2), fmt(cpu["curl"], 2),
                verified, runs))
    lines.append("")
    if no_active_curl:
        lines += ["curl is not measured in active mode: this curl cannot make an active-mode FTPS "
                  "transfer (a test upload ended with \"%s\"), so only its passive figures "
                  "exist." % no_active_curl.replace("|", "/")[:160], ""]
    lines += ["What limits it: both clients resume the control connection's session on the "
              "data connection, so the handshakes are a small fixed part; the rest is "
              "the server encrypting (or decrypting) and the client decrypting (or encrypting) "
              "every byte, and the kernel copying it over loopback and through the page cache, "
              "with the server and the client sharing the machine's cores. Kestrel receives one "
              "TLS record (at most 16 KiB) per receive and writes it to the file at once; see "
              "*Where the time goes* for the measured counts.", ""]
    return lines


ABORT_FOLLOW_UPS = 3


def abort_rows(results):
    """(server, direction, delay) of the abort cases, in a stable order."""
    rows = set()
    for case, server in results.cases:
        parts = case.split("-")
        if parts[0] == "abort" and len(parts) == 3:
            rows.add((server, parts[1], int(parts[2])))
    servers = ["vsftpd", "pyftpdlib", "proftpd", "pure-ftpd"]
    return sorted(rows, key=lambda r: (servers.index(r[0]) if r[0] in servers else len(servers),
                                       r[0], r[1] != "down", -r[2]))


def abort_section(results):
    lines = ["## 7. Abort", ""]
    rows = abort_rows(results)
    if not rows:
        return lines + ["Not measured in this run.", ""]
    size = results.recorded("abort-%s-%d" % rows[0][1:], rows[0][0])
    lines += ["Through the script interface, an object with its defaults (active, the pause "
              "rhythm) starts a %s download (`ftpRecvFile`) or upload (`ftpSendFile`); the host "
              "calls `ftpAbort` the given time after the start of the call and polls `ftpDone` "
              "once a millisecond. *Time* runs from `ftpAbort` to `ftpDone` = 1. Then `ftpPWD`, "
              "`ftpCommand \"NOOP\"` and `ftpCommand \"SYST\"` must each get their own reply "
              "(a 257 reply whose quoted path `ftpResult` gives, a 200 and a 215, checked through "
              "`ftpErrorCode`, `ftpResult` and `ftpLastReply`): *in step* counts the runs in "
              "which all three did. Goal: `ftpDone` = 1 within 1 s, result -1 and in step in "
              "every run." % (size_text(size[0]["size"]) if size else "–"), "",
              "| Server | Direction | ftpAbort after | Time, median (s) | Time, max (s) | "
              "Result -1 | In step | Bytes moved before the abort (median) |",
              "|---|---|---|---|---|---|---|---|"]
    for server, direction, delay in rows:
        case = "abort-%s-%d" % (direction, delay)
        runs = results.recorded(case, server)
        times = [r["abort_seconds"] for r in runs if r.get("abort_seconds", -1) >= 0]
        total = len(results.cases.get((case, server), []))
        lines.append("| %s | %s | %d ms | %s | %s | %d of %d | %d of %d | %s |" % (
            server, "download" if direction == "down" else "upload", delay,
            fmt(median(times), 3), fmt(max(times) if times else None, 3),
            sum(1 for r in runs if r.get("result") == -1), total,
            sum(1 for r in runs if r.get("in_step") == 1), total,
            fmt(median([r.get("bytes_at_abort") for r in runs]), 0)))
    lines.append("")
    return lines


def scale_rows(results):
    rows = {}
    for case, _ in results.cases:
        parts = case.split("-")
        if parts[0] == "scale" and len(parts) == 3:
            rows.setdefault(parts[1], set()).add(int(parts[2]))
    return {level: sorted(objects) for level, objects in rows.items()}


def scale_section(results):
    lines = ["## 4. Scale and memory", "",
             "Objects logged in at once, each downloading the same small file; every copy is "
             "compared with the original. The ideal is the throttled ideal of one object "
             "(all run in parallel); the time runs from the common start to the last end. "
             "Memory is the growth of the process's resident set at its peak, divided by the "
             "number of objects.", ""]
    rows = scale_rows(results)
    if not rows:
        return lines + ["Not measured in this run.", ""]
    for level, title in (("script", "Through the script interface"),
                         ("engine", "Engine, one thread per object")):
        if level not in rows:
            continue
        lines += ["### %s" % title, "",
                  "| Objects | File | Verified | Time (s) | Ideal (s) | Time / ideal | "
                  "Throughput (MB/s) | Resident memory per object (KiB) |",
                  "|---|---|---|---|---|---|---|---|"]
        for objects in rows[level]:
            case = "scale-%s-%d" % (level, objects)
            runs = results.ok(case)
            if not runs:
                reason = (results.errors(case) or ["no run"])[0]
                lines.append("| %d | | not measured: %s | | | | | |" % (objects, reason[:80]))
                continue
            seconds = results.median(case, lambda r: r["seconds"])
            size = runs[0]["size"]
            lines.append("| %d | %s | %d of %d | %s | %s | %s | %s | %s |" % (
                objects, size_text(size), min(r["verified"] for r in runs), objects,
                fmt(seconds, 2), fmt(runs[0]["ideal_seconds"], 1),
                fmt(results.median(case, over_ideal), 2),
                fmt(ratio(objects * size / MIB, seconds), 1),
                fmt(results.median(case, lambda r: r["rss_per_object"] / 1024), 0)))
        lines.append("")
    return lines


def per_mb(result):
    span = (result["large"] - result["small"]) / MIB
    return (result["ir_large"] - result["ir_small"]) / span if span > 0 else None


def cpu_section(results, profile):
    lines = ["## 5. CPU cost", "",
             "Instructions executed in user space per downloaded MB, counted by "
             "`valgrind --tool=callgrind` on the same server and file: the difference between "
             "a large and a small download divided by the difference in size, so that start-up, "
             "log-in and library initialisation cancel out. Work done by the kernel on the "
             "client's behalf is not counted here (see the CPU seconds in section 2).", ""]
    kestrel = results.ok("cpu-kestrel")
    curl = results.ok("cpu-curl")
    if not kestrel and not curl:
        reason = (results.errors("cpu-kestrel") or results.errors("cpu-curl") or [""])[0]
        return lines + ["Not measured in this run%s." % (": " + reason if reason else ""), ""]
    k = results.median("cpu-kestrel", per_mb)
    c = results.median("cpu-curl", per_mb)
    sizes = (kestrel or curl)[0]
    lines += ["| Client | Instructions per MB | Downloads compared |", "|---|---|---|",
              "| Kestrel engine | %s | %s and %s |" % (
                  fmt(k and k / 1000, 0, " k"), size_text(sizes["small"]),
                  size_text(sizes["large"])),
              "| curl | %s | %s and %s |" % (fmt(c and c / 1000, 0, " k"),
                                            size_text(sizes["small"]), size_text(sizes["large"])),
              "", "Kestrel / curl: **%s**" % fmt(ratio(k, c), 2), ""]
    if profile:
        lines += ["Where the engine's instructions go (largest download, exclusive cost, top "
                  "entries of `callgrind_annotate`):", "", "```"] + profile + ["```", ""]
    return lines


def profile_lines(text, limit=14):
    """The function lines of a callgrind_annotate listing, without the header."""
    out = []
    started = False
    for line in text.splitlines():
        if "file:function" in line:
            started = True
            continue
        if started and line.strip() and not line.startswith("-"):
            out.append(line.rstrip()[:110])
        if len(out) >= limit:
            break
    return out


def chart_points(results):
    """(objects, measured MB/s, ideal MB/s) per series for the chart: the scale downloads and the
    throttled downloads of the smallest size that ran with several objects, through the script
    interface (the engine's when the script interface was not measured)."""
    scale = scale_rows(results)
    downloads = [row for row in throttled_rows(results) if row[0] == "down"]
    group_sizes = sorted({size for _, size, objects in downloads if objects > 1})
    level = "script" if "script" in scale or any(
        results.ok("throttled-script-down-%d-%d" % (s, o)) for _, s, o in downloads) else "engine"
    cases = ["scale-%s-%d" % (level, objects) for objects in scale.get(level, [])]
    if group_sizes:
        cases += ["throttled-%s-down-%d-%d" % (level, size, objects)
                  for _, size, objects in downloads if size == group_sizes[0]]
    title = "script interface" if level == "script" else "engine"
    series = {}
    for case in cases:
        runs = results.ok(case)
        seconds = results.median(case, lambda r: r["seconds"])
        if runs and seconds:
            size = runs[0]["size"]
            objects = runs[0]["objects"]
            ideal = runs[0]["ideal_seconds"]
            series.setdefault("%s, %s each" % (title, size_text(size)), []).append(
                (objects, objects * size / MIB / seconds,
                 objects * size / MIB / ideal if ideal else None))
    for points in series.values():
        points.sort()
    return series


def write_chart(series, path):
    """Draws throughput against objects with gnuplot. Returns an error text, or None."""
    if not series:
        return "no data for the chart"
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return "gnuplot is not installed"
    with tempfile.TemporaryDirectory() as scratch:
        plots = []
        for index, (title, points) in enumerate(sorted(series.items())):
            data = os.path.join(scratch, "series%d.dat" % index)
            with open(data, "w") as out:
                for objects, measured, ideal in points:
                    out.write("%d %.6f %s\n" % (objects, measured,
                                                "%.6f" % ideal if ideal else "NaN"))
            plots.append("'%s' using 1:2 with linespoints lw 2 pt 7 lc %d title '%s, measured'"
                         % (data, index + 1, title))
            plots.append("'%s' using 1:3 with lines dt 2 lc %d title '%s, ideal'"
                         % (data, index + 1, title))
        script = "\n".join([
            "set terminal pngcairo size 960,600 font 'DejaVu Sans,11'",
            "set output '%s'" % path,
            "set title 'Downloads with the pause rhythm: throughput against objects at once'",
            "set xlabel 'objects logged in and downloading at once'",
            "set ylabel 'total throughput (MB/s)'",
            "set logscale x 2", "set logscale y 2", "set grid", "set key top left",
            "plot " + ", ".join(plots), ""])
        done = subprocess.run([gnuplot], input=script.encode(), capture_output=True)
        if done.returncode != 0 or not os.path.exists(path):
            return "gnuplot failed: " + done.stderr.decode(errors="replace").strip()
    return None


def header(machine):
    lines = ["# Benchmarks", "",
             "Generated by `scripts/bench.sh` on %s (revision %s); do not edit by hand, run the "
             "script again." % (machine.get("date", "?"), machine.get("revision", "?")), "",
             "Kestrel against curl and Python's ftplib, on the same servers in the same run: "
             "vsftpd %s and pyftpdlib %s on loopback addresses of this machine; %s; %s. Every "
             "figure is the median of %d runs; every comparison is a ratio of two medians from "
             "the same run." % (machine.get("vsftpd", "?"), machine.get("pyftpdlib", "?"),
                                machine.get("curl", "?"), machine.get("python", "?"),
                                machine.get("repeats", 0)), "",
             "Machine: %s cores (%s), %s GiB, Linux %s. Load average before the run %s, after "
             "it %s; the run took %s s. Figures taken while other work runs on the machine are "
             "noisy: compare ratios from one run, not figures from different runs." % (
                 machine.get("cores", "?"), machine.get("cpu", "?"),
                 machine.get("memory_gib", "?"), machine.get("kernel", "?"),
                 machine.get("load_before", "?"), machine.get("load_after", "?"),
                 machine.get("seconds", "?")), ""]
    if machine.get("smoke"):
        lines += ["**Smoke run: tiny sizes, one run each. These figures say nothing about "
                  "speed.**", ""]
    return lines


def chart_section(chart_name, chart_error):
    lines = ["## Throughput against objects", ""]
    if chart_error:
        return lines + ["Chart not drawn: %s." % chart_error, ""]
    return lines + ["![Throughput against the number of objects](%s)" % chart_name, "",
                    "Solid lines are measured, dashed lines the throughput the pause rhythm "
                    "allows. One object alone pauses every 10 blocks, several every 3, hence the "
                    "step between one and two objects.", ""]


def failures_section(results):
    failed = results.failures()
    if not failed:
        return []
    lines = ["## Not measured", "", "| Case | Server | Reason |", "|---|---|---|"]
    for case, server, reason in failed:
        lines.append("| %s | %s | %s |" % (case, server, reason.replace("|", "/")[:200]))
    return lines + [""]


def abort_summary(results):
    runs = [r for server, direction, delay in abort_rows(results)
            for r in results.recorded("abort-%s-%d" % (direction, delay), server)]
    total = sum(len(results.cases.get(("abort-%s-%d" % (d, t), server), []))
                for server, d, t in abort_rows(results))
    if not total:
        return "–"
    times = [r["abort_seconds"] for r in runs if r.get("abort_seconds", -1) >= 0]
    return "%s; %d of %d" % (fmt(max(times) if times else None, 3),
                             sum(1 for r in runs if r.get("in_step") == 1 and
                                 r.get("result") == -1), total)


def summary_section(results):
    """The headline ratios, each from this run."""
    def span(values):
        values = [v for v in values if v is not None]
        if not values:
            return "–"
        low, high = min(values), max(values)
        return fmt(low, 3) if abs(high - low) < 0.0005 else "%s to %s" % (fmt(low, 3),
                                                                        fmt(high, 3))
    level = "script" if any(c.startswith("throttled-script") for c, _ in results.cases) \
        else "engine"
    throttled = ["throttled-%s-%s-%d-%d" % ((level,) + row) for row in throttled_rows(results)]
    rate = {}
    for client in ("kestrel", "curl", "ftplib"):
        for direction in ("down", "up"):
            rate[client, direction] = results.median("raw-%s-%s" % (client, direction),
                                                     mb_per_second)
    noop = {c: results.median("noop-" + c, lambda r: r["per_second"])
            for c in ("engine", "script", "ftplib")}
    scale = scale_rows(results)
    scale_level = "script" if "script" in scale else "engine"
    biggest = max(scale.get(scale_level, [0]) or [0])
    scale_case = "scale-%s-%d" % (scale_level, biggest)
    lines = ["## Summary", "", "| Measurement | Ratio |", "|---|---|",
             "| Throttled transfers (%s), measured / ideal | %s |" % (
                 "script interface" if level == "script" else "engine",
                 span([results.median(c, over_ideal) for c in throttled])),
             "| The same without the 0.1 s closing pause | %s |" % span(
                 [results.median(c, beyond_fixed_over_ideal) for c in throttled]),
             "| Raw download, Kestrel / curl; / ftplib (vsftpd) | %s; %s |" % (
                 fmt(ratio(rate["kestrel", "down"], rate["curl", "down"])),
                 fmt(ratio(rate["kestrel", "down"], rate["ftplib", "down"]))),
             "| Raw upload, Kestrel / curl; / ftplib (vsftpd) | %s; %s |" % (
                 fmt(ratio(rate["kestrel", "up"], rate["curl", "up"])),
                 fmt(ratio(rate["kestrel", "up"], rate["ftplib", "up"]))),
             "| NOOP round trips, engine / ftplib; script interface / ftplib (vsftpd) | "
             "%s; %s |" % (fmt(ratio(noop["engine"], noop["ftplib"])),
                           fmt(ratio(noop["script"], noop["ftplib"]))),
             "| Full speed (throttle 0), script interface / curl, vsftpd, active and passive, "
             "down and up | %s |" % span(
                 [ratio(results.median("fast-script-%s-%s" % (m, d), mb_per_second),
                        results.median("fast-curl-%s-%s" % (m, d), mb_per_second))
                  for m in FAST_MODES for d in ("down", "up")]),
             "| FTPS at full speed (tls 1, throttle 0), script interface / curl, passive, "
             "download; upload (goal for the download: at least %.1f) | %s; %s |" % (
                 TLS_DOWNLOAD_GOAL,
                 fmt(ratio(tls_rates(results, "script", "passive", "down"),
                           tls_rates(results, "curl", "passive", "down"))),
                 fmt(ratio(tls_rates(results, "script", "passive", "up"),
                           tls_rates(results, "curl", "passive", "up")))),
             "| NOOP round trips under load, script interface / ftplib (vsftpd) | %s |" % fmt(
                 ratio(results.median("noop-load-script", lambda r: r["per_second"]),
                       results.median("noop-load-ftplib", lambda r: r["per_second"]))),
             "| Abort: ftpAbort to ftpDone = 1, slowest run (s); runs ending -1 and in step "
             "| %s |" % abort_summary(results),
             "| %d objects at once, time / ideal | %s |" % (
                 biggest, fmt(results.median(scale_case, over_ideal))),
             "| Instructions per downloaded MB, Kestrel / curl | %s |" % fmt(ratio(
                 results.median("cpu-kestrel", per_mb), results.median("cpu-curl", per_mb))),
             ""]
    return lines


def build_report(results, machine, chart_name, chart_error, profile, improvements):
    raw_runs = results.ok("raw-kestrel-down") or results.ok("raw-curl-down")
    raw_size = raw_runs[0]["size"] if raw_runs else 0
    noop_runs = results.ok("noop-engine") or results.ok("noop-ftplib")
    lines = header(machine)
    lines += summary_section(results)
    lines += throttled_section(results)
    lines += raw_section(results, raw_size)
    lines += noop_section(results, noop_runs[0]["round_trips"] if noop_runs else None,
                          machine.get("load_busy_loops"))
    lines += scale_section(results)
    lines += cpu_section(results, profile)
    lines += fast_section(results)
    lines += abort_section(results)
    lines += tls_section(results)
    lines += chart_section(chart_name, chart_error)
    lines += failures_section(results)
    if improvements:
        lines += [improvements.rstrip(), ""]
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", required=True)
    parser.add_argument("--machine", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--chart", required=True)
    parser.add_argument("--profile")
    parser.add_argument("--improvements",
                        default=os.path.join(os.path.dirname(__file__), "improvements.md"))
    options = parser.parse_args(argv)
    with open(options.results) as source:
        results = Results(source)
    with open(options.machine) as source:
        machine = json.load(source)
    profile = []
    if options.profile and os.path.exists(options.profile):
        with open(options.profile) as source:
            profile = profile_lines(source.read())
    improvements = ""
    if options.improvements and os.path.exists(options.improvements):
        with open(options.improvements) as source:
            improvements = source.read()
    for path in (options.out, options.chart):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    chart_error = write_chart(chart_points(results), options.chart)
    text = build_report(results, machine, os.path.basename(options.chart), chart_error, profile,
                        improvements)
    with open(options.out, "w") as out:
        out.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
