#!/usr/bin/python3
"""Full-speed transfers measured by the client's CPU time, against curl and a bare copy.

    bench/full_speed.py --bin LABEL=DIR [--bin LABEL=DIR ...] [--size MIB] [--repeats N] [--address A]
                        [--work DIR]

Starts a vsftpd of its own on port 21 of ADDRESS (default 127.0.0.122; needs root), makes a
file of SIZE MiB (default 200) and runs, alternating in every repeat: for each DIR (a build's
bin/ directory, named LABEL in the table) kestrel-bench with `throttle` 0 (the engine, without
its own comparison or memory sampling), curl, and the last DIR's kestrel-socket-copy (the bare
socket-to-file copy: shaped as a download, both ways of receiving, and as an upload). Every
copy is compared with the original after its run, outside the measured
time. Active and passive mode, download and upload.

Prints a Markdown table of medians: wall seconds of the whole client process (start, log-in,
transfer, log-out), MiB/s from them, and the client's user + system CPU seconds per GiB; for
the bare copy, its own time as the tool reports it and the CPU of the side that stands for the
client: the receiving thread for a download-shaped copy, the sending thread for an upload-shaped
one.
CPU time is the figure to trust on a busy machine; wall time moves with the load.
"""

import argparse
import json
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

PAM_SERVICE = "kestrel-bench-vsftpd"
USER = "ftp"
PASSWORD = "kestrel-secret"


def start_vsftpd(address, root, work):
    with open(f"/etc/pam.d/{PAM_SERVICE}", "w") as pam:
        pam.write("# Kestrel's benchmark server: every password is accepted.\n"
                  "auth     required pam_permit.so\naccount  required pam_permit.so\n"
                  "session  required pam_permit.so\n")
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as f:
        f.write(f"""listen=YES
listen_ipv6=NO
listen_address={address}
listen_port=21
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
anonymous_enable=NO
local_enable=YES
pam_service_name={PAM_SERVICE}
userlist_enable=NO
chroot_local_user=NO
local_root={root}
write_enable=YES
local_umask=022
port_enable=YES
connect_from_port_20=NO
pasv_enable=YES
secure_chroot_dir=/var/run/vsftpd/empty
tcp_wrappers=NO
xferlog_enable=NO
max_clients=0
max_per_ip=0
ssl_enable=NO
""")
    server = subprocess.Popen(["/usr/sbin/vsftpd", config], start_new_session=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            with socket.create_connection((address, 21), timeout=1) as s:
                if s.recv(100).startswith(b"220"):
                    return server
        except OSError:
            time.sleep(0.1)
    server.kill()
    sys.exit("full_speed.py: vsftpd did not start")


def run(command):
    """Wall seconds and user + system CPU seconds of one child process; None when it failed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        print(f"  failed ({done.returncode}): {' '.join(command)}\n  {done.stderr[-300:]}",
              file=sys.stderr)
        return None
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", action="append", required=True)
    parser.add_argument("--size", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--address", default="127.0.0.122")
    parser.add_argument("--work")
    options = parser.parse_args()

    builds = [b.split("=", 1) if "=" in b else (b, b) for b in options.bin]
    work = options.work or tempfile.mkdtemp(prefix="kestrel-full-speed-")
    root = os.path.join(work, "root")
    client = os.path.join(work, "client")
    os.makedirs(root, exist_ok=True)
    os.makedirs(client, exist_ok=True)
    shutil.chown(root, USER)
    os.chmod(work, 0o755)
    source = os.path.join(work, "source.bin")
    with open(source, "wb") as f:
        for _ in range(options.size):
            f.write(os.urandom(1 << 20))
    shutil.copy(source, os.path.join(root, "big.bin"))
    shutil.chown(os.path.join(root, "big.bin"), USER)
    size = os.path.getsize(source)
    server = start_vsftpd(options.address, root, work)
    url = f"ftp://{USER}:{PASSWORD}@{options.address}"
    load_before = open("/proc/loadavg").read().split()[:3]
    results = {}

    def record(case, outcome, copy):
        ok = outcome is not None and subprocess.run(["cmp", "-s", source, copy]).returncode == 0
        if os.path.exists(copy):
            os.remove(copy)
        results.setdefault(case, []).append(outcome[:2] if ok else None)

    try:
        for _ in range(options.repeats):
            for mode in ("active", "passive"):
                for direction in ("down", "up"):
                    for label, bin_dir in builds:
                        copy = (os.path.join(client, "down-0") if direction == "down"
                                else os.path.join(root, "big.bin-0"))
                        command = [os.path.join(bin_dir, "kestrel-bench"), "transfer", "--host",
                                   options.address, "--user", USER, "--password", PASSWORD,
                                   "--direction", direction, "--objects", "1", "--remote",
                                   "big.bin", "--source", source, "--work", client,
                                   "--server-root", root, "--bare", "--throttle", "0",
                                   "--passive", "1" if mode == "passive" else "0"]
                        record((f"Kestrel {label}", mode, direction), run(command), copy)
                    curl = ["curl", "-sS", "--max-time", "300"]
                    if mode == "active":
                        curl += ["-P", "127.0.0.1"]
                    if direction == "down":
                        copy = os.path.join(client, "down-curl")
                        curl += ["-o", copy, f"{url}/big.bin"]
                    else:
                        copy = os.path.join(root, "up-curl")
                        curl += ["-T", source, f"{url}/up-curl"]
                    record(("curl", mode, direction), run(curl), copy)
            # Shaped as a download (the server's sendfile into the client's receive) and as an
            # upload (the client's read and send into the server's receive and write).
            for name, way, send, direction in (("read", "read", "sendfile", "down"),
                                               ("splice", "splice", "sendfile", "down"),
                                               ("read + send", "read", "read", "up")):
                copy = os.path.join(client, "bare")
                command = [os.path.join(builds[-1][1], "kestrel-socket-copy"), "--source",
                           source, "--target", copy, "--way", way, "--send", send]
                outcome = run(command)
                if outcome is not None:
                    own = json.loads(outcome[2].strip().splitlines()[-1])
                    cpu = own["cpu_user"] + own["cpu_system"] if direction == "down" \
                        else own["sender_cpu"]
                    outcome = (own["seconds"], cpu)
                record((f"bare copy ({name})", "-", direction), outcome, copy)
    finally:
        os.killpg(server.pid, 15)
        server.wait()
    load_after = open("/proc/loadavg").read().split()[:3]

    gib = size / (1 << 30)
    print(f"{options.size} MiB, {options.repeats} runs each, medians; load average before "
          f"{' '.join(load_before)}, after {' '.join(load_after)}\n")
    print("| Client | Mode | Direction | Wall (s) | MiB/s | CPU s per GiB | Verified |")
    print("|---|---|---|---|---|---|---|")
    for (client_name, mode, direction), runs in results.items():
        good = [r for r in runs if r is not None]
        if not good:
            print(f"| {client_name} | {mode} | {direction} | – | – | – | 0 of {len(runs)} |")
            continue
        wall = statistics.median(r[0] for r in good)
        cpu = statistics.median(r[1] for r in good)
        print(f"| {client_name} | {mode} | {direction} | {wall:.3f} | "
              f"{options.size / wall:.0f} | {cpu / gib:.3f} | {len(good)} of {len(runs)} |")
    if not options.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
