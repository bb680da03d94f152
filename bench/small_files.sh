#!/usr/bin/env bash
# Many small files through kestrel-host's own `wait`, next to Python's ftplib, lftp and curl on the
# same server and the same files: COUNT files of SIZE bytes fetched (or sent) in passive mode,
# without TLS, from pyftpdlib on port 21 of 127.0.0.71, over 1 and over 4 connections at once.
# Prints files per second for each client and each number of connections, the median of REPEATS
# runs, and the ratio of kestrel-host's rate to each other client's.
#
#   bench/small_files.sh [--host PATH] [--count N] [--size BYTES] [--repeats N] [--upload]
#                        [--curl-count N] [--time-wait-limit N]
#                        [--clients kestrel,ftplib,lftp,curl[,curl-serial]] [--connections 1,4]
#
# With N connections, file i goes over connection i mod N:
#   kestrel  one kestrel-host script, one object per connection; each object's next operation
#            starts as soon as `wait` has seen its last one end, the objects taken in turn
#   ftplib   one Python process, one thread per connection
#   lftp     one lftp process: `mget`/`mput` of every file, with -P N when N > 1
#            (net:connection-limit N, cmd:parallel N, ftp:ssl-allow no, passive mode)
#   curl     one curl process given every file in one config file, --parallel --parallel-max N
#            (it keeps N connections and reuses them)
#   curl-serial  N curl processes at once, each given its files in one config file and moving
#            them one after another on one connection (curl's default)
# curl moves only the first CURL_COUNT of the files (--curl-count, 200 by default): on a reused
# connection some of its transfers wait a second before they connect their data connection, and
# the line of each curl client counts them ("stalls": transfers of 0.5 s or more).
# The server's log is read after every run: a run whose count of logins is not N is reported.
# Every copy is compared with its source after its run, outside the measured time.
#
# Each run leaves about one connection per file in TIME_WAIT, and a server that binds its passive
# ports to port 0 (pyftpdlib does) slows down as they fill the port range. So each repeat starts
# with the next client in turn, and a run starts only when at most TIME_WAIT_LIMIT sockets of the
# machine are in TIME_WAIT (--time-wait-limit, 6000 by default, 0 for no limit; at most 70 s of
# waiting); the lowest and highest counts at the starts of the runs are printed.
#
# Needs root (port 21). The host defaults to build/default/bin/kestrel-host.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host="$root/build/default/bin/kestrel-host"
count=1000
curl_count=200
time_wait_limit=6000
size=4096
repeats=3
upload=0
clients="kestrel,ftplib,lftp,curl"
connections="1,4"
while (($# > 0)); do
    case "$1" in
        --host) host="$(realpath "$2")"; shift ;;
        --count) count="$2"; shift ;;
        --curl-count) curl_count="$2"; shift ;;
        --time-wait-limit) time_wait_limit="$2"; shift ;;
        --size) size="$2"; shift ;;
        --repeats) repeats="$2"; shift ;;
        --upload) upload=1 ;;
        --clients) clients="$2"; shift ;;
        --connections) connections="$2"; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "small_files.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

IFS=, read -ra client_list <<<"$clients"
IFS=, read -ra connection_list <<<"$connections"
for value in "$count" "$curl_count" "$size" "$repeats" "1$time_wait_limit"; do
    if ! [[ "$value" =~ ^[1-9][0-9]*$ ]]; then
        echo "small_files.sh: --count, --curl-count, --size and --repeats take a number from 1," \
            "--time-wait-limit one from 0" >&2
        exit 2
    fi
done
curl_count=$((curl_count < count ? curl_count : count))
for n in "${connection_list[@]}"; do
    if ! [[ "$n" =~ ^[1-9][0-9]*$ ]] || ((n > curl_count)); then
        echo "small_files.sh: a number of connections is from 1 to the count of files" \
            "(and curl's count)" >&2
        exit 2
    fi
done
for c in "${client_list[@]}"; do
    case "$c" in
        kestrel | ftplib | lftp | curl | curl-serial) ;;
        *) echo "small_files.sh: unknown client $c" >&2; exit 2 ;;
    esac
done
for c in "${client_list[@]}"; do
    if [[ $c == kestrel && ! -x "$host" ]]; then
        echo "small_files.sh: no $host (cmake --build --preset default --target kestrel-host)" >&2
        exit 1
    fi
    if [[ $c == lftp || $c == curl* ]] && ! command -v "${c%-serial}" >/dev/null; then
        echo "small_files.sh: ${c%-serial} is not installed" >&2
        exit 1
    fi
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

# local/: the sources of uploads; served/: the sources of downloads (the same bytes), and
# served/up-CLIENT/ the target of each client's uploads; down/CLIENT/ the target of its downloads.
mkdir -p "$work/served" "$work/local" "$work/down"
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

# The target of a client's copies, emptied before each run.
target() {
    if ((upload)); then
        echo "$work/served/up-$1"
    else
        echo "$work/down/$1"
    fi
}

# One operation of kestrel-host's script: file i on object oN.
kestrel_operation() {
    local i=$1 n=$2
    if ((upload)); then
        echo "ftpSendFile o$((i % n)) \"$work/local/f$i\" \"up-kestrel/f$i\" 73"
    else
        echo "ftpRecvFile o$((i % n)) \"f$i\" \"$work/down/kestrel/f$i\" 73"
    fi
}

write_kestrel() {
    local n=$1 i j
    {
        for ((j = 0; j < n; j++)); do
            echo "new o$j"
            echo "ftpSetOption o$j \"passive\" \"1\""
            echo "ftpSetOption o$j \"throttle\" \"0\""
            echo "ftpLogin o$j \"$address\" \"bench\" \"bench\""
        done
        for ((j = 0; j < n; j++)); do
            echo "wait o$j expect 0"
        done
        for ((i = 0; i < count; i++)); do
            if ((i >= n)); then
                echo "wait o$((i % n)) expect 0"
            fi
            kestrel_operation "$i" "$n"
        done
        for ((j = 0; j < n; j++)); do
            echo "wait o$(((count + j) % n)) expect 0"
        done
        for ((j = 0; j < n; j++)); do
            echo "ftpLogout o$j"
        done
        for ((j = 0; j < n; j++)); do
            echo "wait o$j expect 0"
        done
    } >"$work/kestrel-$n.ks"
}

cat >"$work/ftplib_run.py" <<EOF
import ftplib, sys, threading

count, connections, upload = $count, int(sys.argv[1]), $upload
failures = []


def run(first):
    try:
        f = ftplib.FTP()
        f.connect("$address", 21, timeout=30)
        f.login("bench", "bench")
        for i in range(first, count, connections):
            if upload:
                with open("$work/local/f%d" % i, "rb") as src:
                    f.storbinary("STOR up-ftplib/f%d" % i, src)
            else:
                with open("$work/down/ftplib/f%d" % i, "wb") as out:
                    f.retrbinary("RETR f%d" % i, out.write)
        f.quit()
    except Exception as error:
        failures.append(error)


threads = [threading.Thread(target=run, args=(j,)) for j in range(connections)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
if failures:
    sys.exit("ftplib: %s" % failures[0])
EOF

write_lftp() {
    local n=$1 i parallel=""
    if ((n > 1)); then
        parallel="-P $n "
    fi
    {
        echo "set cmd:fail-exit yes"
        echo "set cmd:parallel $n"
        echo "set net:connection-limit $n"
        echo "set net:max-retries 1"
        echo "set ftp:passive-mode on"
        echo "set ftp:ssl-allow no"
        echo "set xfer:clobber on"
        echo "open -u bench,bench ftp://$address"
        if ((upload)); then
            printf 'mput %s-O up-lftp' "$parallel"
            for ((i = 0; i < count; i++)); do
                printf ' %s' "$work/local/f$i"
            done
        else
            printf 'mget %s-O %s' "$parallel" "$work/down/lftp"
            for ((i = 0; i < count; i++)); do
                printf ' f%d' "$i"
            done
        fi
        echo
    } >"$work/lftp-$n.lftp"
}

# Config files for curl: curl-N.conf with every file, curl-N-J.conf with those of connection J.
write_curl() {
    local n=$1 i j
    for ((i = 0; i < curl_count; i++)); do
        if ((upload)); then
            echo "upload-file = \"$work/local/f$i\""
            echo "url = \"ftp://bench:bench@$address/up-curl/f$i\""
        else
            echo "url = \"ftp://bench:bench@$address/f$i\""
            echo "output = \"$work/down/curl/f$i\""
        fi
    done >"$work/curl-$n.conf"
    for ((j = 0; j < n; j++)); do
        for ((i = j; i < curl_count; i += n)); do
            if ((upload)); then
                echo "upload-file = \"$work/local/f$i\""
                echo "url = \"ftp://bench:bench@$address/up-curl-serial/f$i\""
            else
                echo "url = \"ftp://bench:bench@$address/f$i\""
                echo "output = \"$work/down/curl-serial/f$i\""
            fi
        done >"$work/curl-$n-$j.conf"
    done
}

run_curl_serial() {
    local n=$1 j failed=0
    local pids=()
    for ((j = 0; j < n; j++)); do
        curl -sS --ftp-pasv --write-out '%{time_total}\n' --config "$work/curl-$n-$j.conf" \
            >"$work/times-$j" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
    return "$failed"
}

# One run of a client over n connections.
run_client() {
    case "$1" in
        kestrel) "$host" --fail "$work/kestrel-$2.ks" ;;
        ftplib) /usr/bin/python3 "$work/ftplib_run.py" "$2" ;;
        lftp) lftp -f "$work/lftp-$2.lftp" ;;
        curl)
            curl -sS --ftp-pasv --parallel --parallel-max "$2" --no-progress-meter \
                --write-out '%{time_total}\n' --config "$work/curl-$2.conf" >"$work/times-0"
            ;;
        curl-serial) run_curl_serial "$2" ;;
    esac
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
rate() {  # files per second of a command moving N files, which must succeed
    local n=$1 start end
    shift
    start=$(date +%s.%N)
    if ! "$@" >/dev/null; then
        echo "small_files.sh: $* failed" >&2
        exit 1
    fi
    end=$(date +%s.%N)
    awk -v n="$n" -v s="$start" -v e="$end" 'BEGIN {printf "%.0f\n", n / (e - s)}'
}
# True when DIR holds exactly the first N files of local/, byte for byte.
same_copies() {
    /usr/bin/python3 - "$work/local" "$1" "$2" <<'EOF'
import filecmp, os, sys
source, copy, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
names = ["f%d" % i for i in range(n)]
same = sorted(os.listdir(copy)) == sorted(names) and all(
    filecmp.cmp(os.path.join(source, name), os.path.join(copy, name), shallow=False)
    for name in names)
sys.exit(0 if same else 1)
EOF
}
logins() { grep -c "logged in" "$work/server.log" || true; }
time_waits() {
    if command -v ss >/dev/null; then
        ss -tanH state time-wait | wc -l
    else
        echo 0
    fi
}
# Waits (70 s at most) until no more than the limit of sockets are in TIME_WAIT; prints the count.
settle() {
    local waits=0 now
    now=$(time_waits)
    while ((time_wait_limit > 0 && now > time_wait_limit && waits < 70)); do
        sleep 1
        waits=$((waits + 1))
        now=$(time_waits)
    done
    echo "$now"
}

direction=$([[ $upload == 1 ]] && echo up || echo down)
for n in "${connection_list[@]}"; do
    write_kestrel "$n"
    write_lftp "$n"
    write_curl "$n"
    declare -A runs=() login_counts=() stalls=()
    low=-1
    high=0
    for ((r = 0; r < repeats; r++)); do
        for ((o = 0; o < ${#client_list[@]}; o++)); do
            c=${client_list[(r + o) % ${#client_list[@]}]}
            dir="$(target "$c")"
            rm -rf "$dir"
            mkdir -p "$dir"
            chmod a+rwX "$dir"
            waiting=$(settle)
            low=$((low < 0 || waiting < low ? waiting : low))
            high=$((waiting > high ? waiting : high))
            before=$(logins)
            files=$([[ $c == curl* ]] && echo "$curl_count" || echo "$count")
            rm -f "$work"/times-*
            runs[$c]+="$(rate "$files" run_client "$c" "$n") " || exit 1
            if [[ $c == curl* ]]; then
                stalls[$c]+="$(cat "$work"/times-* | awk '$1 >= 0.5' | wc -l) "
            fi
            # The server logs a login before it answers it, so the count is complete here.
            login_counts[$c]+="$(($(logins) - before)) "
            if ! same_copies "$dir" "$files"; then
                echo "small_files.sh: $c: the copies differ from their sources" >&2
                exit 1
            fi
        done
    done
    plural=$([[ $n == 1 ]] && echo connection || echo connections)
    k=""
    if [[ -n "${runs[kestrel]:-}" ]]; then
        k=$(median <<<"${runs[kestrel]}")
    fi
    for c in "${client_list[@]}"; do
        m=$(median <<<"${runs[$c]}")
        name=$([[ $c == kestrel ]] && echo "kestrel-host wait" || echo "$c")
        files=$([[ $c == curl* ]] && echo "$curl_count" || echo "$count")
        line="$files x $size B $direction, $n $plural: $name ${m} files/s (runs: ${runs[$c]% }"
        line+="; logins: ${login_counts[$c]% }"
        if [[ $c == curl* ]]; then
            line+="; stalls: ${stalls[$c]% }"
        fi
        line+=")"
        if [[ -n "$k" && $c != kestrel ]]; then
            line+=", ratio $(awk -v a="$k" -v b="$m" 'BEGIN {printf "%.2f", a / b}')"
        fi
        echo "$line"
        read -ra counted <<<"${login_counts[$c]}"
        for l in "${counted[@]}"; do
            if ((l != n)); then
                echo "small_files.sh: $c logged in $l times in a run over $n $plural" >&2
                break
            fi
        done
    done
    echo "$direction, $n $plural: $low to $high sockets in TIME_WAIT at the starts of the runs"
    unset runs login_counts stalls
done
