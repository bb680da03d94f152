#!/usr/bin/env bash
# Many small files through kestrel-host's own `wait`, next to Python's ftplib on the same server:
# COUNT files of SIZE bytes fetched one after another on one connection, in passive mode, from
# pyftpdlib on port 21 of 127.0.0.71. Prints files per second for each client, the median of
# REPEATS runs.
#
#   bench/small_files.sh [--host PATH] [--count N] [--size BYTES] [--repeats N] [--upload]
#
# Needs root (port 21). The host defaults to build/default/bin/kestrel-host.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host="$root/build/default/bin/kestrel-host"
count=1000
size=4096
repeats=3
upload=0
while (($# > 0)); do
    case "$1" in
        --host) host="$(realpath "$2")"; shift ;;
        --count) count="$2"; shift ;;
        --size) size="$2"; shift ;;
        --repeats) repeats="$2"; shift ;;
        --upload) upload=1 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "small_files.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

address=127.0.0.71
work="$(mktemp -d /tmp/kestrel-small-XXXXXX)"
server_pid=""
cleanup() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/served" "$work/local"
for ((i = 0; i < count; i++)); do
    head -c "$size" /dev/urandom >"$work/local/f$i"
done
cp "$work/local/"* "$work/served/"
chmod -R a+rwX "$work"

/usr/bin/python3 -m pyftpdlib -i "$address" -p 21 -d "$work/served" -u bench -P bench -w \
    >"$work/server.log" 2>&1 &
server_pid=$!
sleep 0.2
if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "small_files.sh: pyftpdlib did not start on $address:21 (is the port taken?)" >&2
    exit 1
fi
for ((i = 0; i < 100; i++)); do
    if /usr/bin/python3 -c "import socket; socket.create_connection(('$address', 21), 1)" \
        2>/dev/null; then
        break
    fi
    sleep 0.1
done

{
    echo "new a"
    echo "ftpSetOption a \"passive\" \"1\""
    echo "ftpSetOption a \"throttle\" \"0\""
    echo "ftpLogin a \"$address\" \"bench\" \"bench\""
    echo "wait a expect 0"
    for ((i = 0; i < count; i++)); do
        if ((upload)); then
            echo "ftpSendFile a \"$work/local/f$i\" \"u$i\" 73"
        else
            echo "ftpRecvFile a \"f$i\" \"$work/local/g$i\" 73"
        fi
        echo "wait a expect 0"
    done
    echo "ftpLogout a"
} >"$work/script.ks"

cat >"$work/ftplib_run.py" <<EOF
import ftplib, io, sys
f = ftplib.FTP()
f.connect("$address", 21)
f.login("bench", "bench")
for i in range($count):
    if $upload:
        with open("$work/local/f%d" % i, "rb") as src:
            f.storbinary("STOR p%d" % i, src)
    else:
        with open("$work/local/h%d" % i, "wb") as out:
            f.retrbinary("RETR f%d" % i, out.write)
f.quit()
EOF

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
rate() {  # files per second of a command, which must succeed
    local start end
    start=$(date +%s.%N)
    if ! "$@" >/dev/null; then
        echo "small_files.sh: $* failed" >&2
        exit 1
    fi
    end=$(date +%s.%N)
    awk -v n="$count" -v s="$start" -v e="$end" 'BEGIN {printf "%.0f\n", n / (e - s)}'
}

kestrel=()
ftplib=()
for ((r = 0; r < repeats; r++)); do
    kestrel+=("$(rate "$host" --fail "$work/script.ks")") || exit 1
    ftplib+=("$(rate /usr/bin/python3 "$work/ftplib_run.py")") || exit 1
done
k=$(printf '%s\n' "${kestrel[@]}" | median)
p=$(printf '%s\n' "${ftplib[@]}" | median)
direction=$([[ $upload == 1 ]] && echo up || echo down)
echo "$count x $size B $direction: kestrel-host wait ${k} files/s (runs: ${kestrel[*]}), " \
    "ftplib ${p} files/s (runs: ${ftplib[*]}), ratio $(awk -v a="$k" -v b="$p" \
    'BEGIN {printf "%.2f", a / b}')"
