#!/usr/bin/env bash
# Benchmarks Kestrel against the FTP clients users would otherwise pick (curl, Python's ftplib)
# on the same local servers (vsftpd, pyftpdlib), and regenerates docs/benchmarks.md and its chart.
#
#   scripts/bench.sh [--smoke] [--full] [--repeats N] [--only SECTIONS] [--build DIR]
#                    [--out FILE] [--keep]
#
#   --smoke        tiny sizes, one run each, report to a temporary directory (CI: the benchmark
#                  keeps working; no timing is asserted)
#   --full         the throttled transfers of 4 and 16 MB also with 2, 8 and 32 objects
#                  (with 3 runs, about 100 minutes more)
#   --repeats N    runs per measurement (default 3; the median is reported; the abort cases
#                  run at least 5 times)
#   --only LIST    comma-separated sections: throttled,raw,fast,abort,noop,scale,cpu,tls
#                  (default all)
#   --build DIR    use (and update) this build directory instead of build/bench
#   --out FILE     where the report goes (default docs/benchmarks.md, its chart next to it)
#   --keep         keep the work directory (results.jsonl, server logs, profiles)
#
# The records of the last run are also copied to DIR/bench-last/ of the build directory;
# bench/report.py makes the report from them again without measuring.
#
# Needs root: vsftpd listens on port 21 of 127.0.0.30 and pyftpdlib on port 21 of 127.0.0.31;
# for the abort section also proftpd on 127.0.0.34 and pure-ftpd on 127.0.0.35 (unpacked by
# scripts/test_servers.sh, a user of their own mapped to "nobody");
# for the tls section a second vsftpd with explicit TLS on port 21 of 127.0.0.33, serving the
# local account kestrel-tls (created when missing, as the test fixtures do), with a CA and a
# server certificate for that address made by the run.
# Installs what is missing with apt-get. Exits non-zero when a measurement failed (a file that
# did not arrive intact, a server that did not start); the report then says "not measured" with
# the reason.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

smoke=0
full=0
repeats=""
only="throttled,raw,fast,abort,noop,scale,cpu,tls"
build_dir="$root/build/bench"
out=""
keep=0
while (($# > 0)); do
    case "$1" in
        --smoke) smoke=1 ;;
        --full) full=1 ;;
        --repeats) repeats="$2"; shift ;;
        --only) only="$2"; shift ;;
        --build) build_dir="$(realpath -m "$2")"; shift ;;
        --out) out="$(realpath -m "$2")"; shift ;;
        --keep) keep=1 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

vsftpd_address=127.0.0.30
pyftpd_address=127.0.0.31
tls_address=127.0.0.33  # 127.0.0.32 belongs to the benchmark tools' own tests
proftpd_address=127.0.0.34
pureftpd_address=127.0.0.35
unpacked_user=kestrel  # proftpd's and pure-ftpd's virtual user
py=/usr/bin/python3  # Debian's: it has pyftpdlib, and its ftplib is the peer measured
password=kestrel-secret
vsftpd_user=ftp  # the account the vsftpd package creates, logged in through our PAM service
pyftpd_user=kestrel
pam_service=kestrel-bench-vsftpd
# vsftpd refuses TLS to its anonymous user "ftp": with TLS it serves this local account, the one
# the test fixtures use (no login shell, logged in through the permissive PAM service above).
tls_user=kestrel-tls
tls_home=/var/lib/kestrel-tls

MiB=$((1 << 20))
KiB=1024
if ((smoke)); then
    repeats="${repeats:-1}"
    throttled_alone_sizes=(65536)
    throttled_group_sizes=(65536)
    throttled_groups=(2)
    raw_size=$MiB
    fast_size=$MiB
    abort_size=$MiB
    abort_runs=1
    noop_count=50
    scale_objects=(1 8)
    scale_size=$((16 * KiB))
    cpu_small=$MiB
    cpu_large=$((2 * MiB))
    tls_size=$((64 * KiB))
else
    repeats="${repeats:-3}"
    throttled_alone_sizes=($MiB $((4 * MiB)) $((16 * MiB)))
    throttled_group_sizes=($MiB)
    ((full)) && throttled_group_sizes=($MiB $((4 * MiB)) $((16 * MiB)))
    throttled_groups=(2 8 32)
    raw_size=$((256 * MiB))
    fast_size=$((200 * MiB))
    abort_size=$((64 * MiB))
    abort_runs=5
    noop_count=2000
    scale_objects=(1 8 64 256)
    scale_size=$((256 * KiB))
    cpu_small=$((8 * MiB))
    cpu_large=$((40 * MiB))
    tls_size=$((200 * MiB))
fi
if ! [[ "$repeats" =~ ^[1-9][0-9]*$ ]]; then
    echo "bench.sh: --repeats needs a positive number" >&2
    exit 2
fi
((repeats > abort_runs)) && abort_runs=$repeats
# ftpAbort this long after the start of the operation.
abort_delays_ms=(500 30)

section() { echo; echo "== $*"; }
wanted() { [[ ",$only," == *",$1,"* ]]; }

# ---------------------------------------------------------------------------------------------
# What the benchmark needs

if [[ "$(id -u)" -ne 0 ]]; then
    echo "bench.sh: needs root (the servers listen on port 21 of their loopback addresses)" >&2
    exit 1
fi
packages=(cmake g++ make libssl-dev vsftpd python3-pyftpdlib curl valgrind gnuplot-nox time procps
    openssl util-linux passwd)
source "$root/scripts/missing_packages.sh"
missing_packages "${packages[@]}"
if ((${#missing[@]} > 0)); then
    section "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The vsftpd package must not start a system-wide server: it would take port 21.
    policy=/usr/sbin/policy-rc.d
    made_policy=0
    if [[ ! -e "$policy" ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    apt-get -o DPkg::Lock::Timeout=600 update
    apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
    ((made_policy)) && rm -f "$policy"
fi

section "build ($build_dir)"
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=OFF
fi
targets=(kestrel-bench)
# grep reads the whole list: with -q it would stop early, and the broken pipe would fail the
# pipeline (pipefail) and leave the tool out of the build.
if cmake --build "$build_dir" --target help | grep 'kestrel-script-bench' >/dev/null; then
    targets+=(kestrel-script-bench)
fi
cmake --build "$build_dir" -j 2 --target "${targets[@]}"
engine_bench="$build_dir/bin/kestrel-bench"
script_bench="$build_dir/bin/kestrel-script-bench"
[[ -x "$script_bench" ]] || script_bench=""

# ---------------------------------------------------------------------------------------------
# Work directory, servers, files

work="$(mktemp -d /tmp/kestrel-bench.XXXXXX)"
chmod 755 "$work"  # vsftpd's user must reach its root directory below it
results="$work/results.jsonl"
: >"$results"
server_pids=()
failures=0

stop_servers() {
    local pid child
    for pid in "${server_pids[@]}"; do
        # vsftpd serves each client from a process of its own below the listener.
        for child in $(ps -o pid= --ppid "$pid" 2>/dev/null); do
            kill -TERM "$child" 2>/dev/null || true
        done
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${server_pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    server_pids=()
}
# Busy loops, one per core, that load the machine while a measurement runs.
load_pids=()
start_load() {
    local core
    for core in $(seq "$(nproc)"); do
        (while :; do :; done) &
        load_pids+=($!)
    done
}
stop_load() {
    local pid
    for pid in "${load_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    load_pids=()
}
finish() {
    stop_load
    stop_servers
    if ((keep)); then
        echo "work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap finish EXIT
trap 'exit 130' INT TERM

# Reads the greeting of the server at $1 (port 21) within a second; prints it.
greeting() {
    local line=""
    if { exec 3<>"/dev/tcp/$1/21"; } 2>/dev/null; then
        IFS= read -r -t 1 line <&3 || true
        exec 3<&- 3>&-
    fi
    printf '%s' "$line"
}

wait_for_greeting() {  # address pid log
    for _ in $(seq 200); do
        [[ "$(greeting "$1")" == 220* ]] && return 0
        if ! kill -0 "$2" 2>/dev/null; then
            echo "bench.sh: the server on $1 exited; its output:" >&2
            cat "$3" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "bench.sh: no greeting from $1 within 20 s" >&2
    return 1
}

# The configuration both vsftpd servers share: address, root directory, banner.
vsftpd_config() {  # address root banner
    cat <<EOF
listen=YES
listen_ipv6=NO
listen_address=$1
listen_port=21
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
anonymous_enable=NO
local_enable=YES
pam_service_name=$pam_service
userlist_enable=NO
chroot_local_user=NO
local_root=$2
write_enable=YES
local_umask=022
port_enable=YES
port_promiscuous=NO
connect_from_port_20=NO
pasv_enable=YES
secure_chroot_dir=/var/run/vsftpd/empty
tcp_wrappers=NO
dirmessage_enable=NO
xferlog_enable=NO
max_clients=0
max_per_ip=0
ftpd_banner=$3
EOF
}

start_vsftpd() {
    local dir="$work/vsftpd"
    mkdir -p "$dir/root" /var/run/vsftpd/empty
    chown "$vsftpd_user:" "$dir/root"
    # A PAM service of our own that accepts any password, so that no account has to change.
    printf '%s\n' "# Kestrel's benchmark server: every password is accepted." \
        "auth     required pam_permit.so" "account  required pam_permit.so" \
        "session  required pam_permit.so" >"/etc/pam.d/$pam_service"
    vsftpd_config "$vsftpd_address" "$dir/root" "Kestrel benchmark server (vsftpd)" \
        >"$dir/vsftpd.conf"
    echo "ssl_enable=NO" >>"$dir/vsftpd.conf"
    setsid /usr/sbin/vsftpd "$dir/vsftpd.conf" >"$dir/output.log" 2>&1 &
    server_pids+=($!)
    wait_for_greeting "$vsftpd_address" "$!" "$dir/output.log"
}

# The certificates of the TLS server: a CA (the clients' only trusted certificate) and a
# server certificate for its address.
tls_ca="$work/vsftpd-tls/certs/ca.pem"

# The TLS server's account and its home directory, unless they exist. Test processes create the
# same account: everyone takes turns through the fixtures' lock, since two useradd runs at once
# fail on each other's lock of /etc/passwd.
ensure_tls_account() {
    local locks=/tmp/kestrel-ftp-locks
    mkdir -p "$locks"
    chmod 1777 "$locks"
    flock -w 60 "$locks/account-kestrel-tls-0.lock" bash -c '
        getent passwd "$1" >/dev/null ||
            useradd --system --user-group --home-dir "$2" --shell /usr/sbin/nologin \
                --comment "Kestrel TLS test user" "$1"
        mkdir -p "$2" && chown "$1:" "$2" && chmod 755 "$2"' _ "$tls_user" "$tls_home"
}

start_vsftpd_tls() {
    local dir="$work/vsftpd-tls"
    ensure_tls_account
    mkdir -p "$dir/root" /var/run/vsftpd/empty
    chown "$tls_user:" "$dir/root"
    bash "$root/tests/support/make_test_certs.sh" "$dir/certs" "$tls_address"
    chmod 644 "$dir/certs/"*.pem
    # Explicit TLS (AUTH TLS after the greeting) on the control connection before USER and on
    # every data connection; each data connection must resume the control connection's session
    # (vsftpd's default, stated here), and must end with close_notify both ways. This vsftpd
    # takes no ssl_tlsv1_2 line: it offers what its OpenSSL offers.
    vsftpd_config "$tls_address" "$dir/root" "Kestrel benchmark server (vsftpd with TLS)" \
        >"$dir/vsftpd.conf"
    cat >>"$dir/vsftpd.conf" <<EOF
ssl_enable=YES
rsa_cert_file=$dir/certs/server.pem
rsa_private_key_file=$dir/certs/server.key
allow_anon_ssl=NO
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
strict_ssl_read_eof=YES
strict_ssl_write_shutdown=YES
implicit_ssl=NO
EOF
    setsid /usr/sbin/vsftpd "$dir/vsftpd.conf" >"$dir/output.log" 2>&1 &
    server_pids+=($!)
    wait_for_greeting "$tls_address" "$!" "$dir/output.log"
}

start_pyftpdlib() {
    local dir="$work/pyftpdlib"
    mkdir -p "$dir/root"
    setsid "$py" -m pyftpdlib -w -i "$pyftpd_address" -p 21 -d "$dir/root" \
        -u "$pyftpd_user" -P "$password" >"$dir/output.log" 2>&1 &
    server_pids+=($!)
    wait_for_greeting "$pyftpd_address" "$!" "$dir/output.log"
}

# proftpd and pure-ftpd, from the packages that scripts/test_servers.sh unpacks; a password
# file of their own with one user, who is "nobody" to the system.
unpacked="$root/build/test-servers/root"
unpacked_libraries="$unpacked/usr/lib/x86_64-linux-gnu:$unpacked/lib/x86_64-linux-gnu"
start_proftpd() {
    local dir="$work/proftpd" hash
    mkdir -p "$dir/root"
    chown nobody:nogroup "$dir/root"
    hash="$(openssl passwd -6 "$password")"
    printf '%s:%s:%s:%s::%s:/bin/sh\n' "$unpacked_user" "$hash" "$(id -u nobody)" \
        "$(id -g nobody)" "$dir/root" >"$dir/passwd"
    chmod 600 "$dir/passwd"
    printf '%s\n' "ServerType standalone" \
        "ServerIdent on \"Kestrel benchmark server (proftpd)\"" "DefaultServer on" \
        "UseIPv6 off" "DefaultAddress $proftpd_address" "SocketBindTight on" "Port 21" \
        "User nobody" "Group nogroup" "ScoreboardFile $dir/scoreboard" \
        "PidFile $dir/proftpd.pid" "DelayEngine off" "WtmpLog off" "UseReverseDNS off" \
        "RequireValidShell off" "AuthOrder mod_auth_file.c" "AuthUserFile $dir/passwd" \
        "DefaultRoot ~" "Umask 022" "AllowOverwrite on" "SystemLog $dir/system.log" \
        >"$dir/proftpd.conf"
    LD_LIBRARY_PATH="$unpacked_libraries" setsid "$unpacked/usr/sbin/proftpd" --nodaemon \
        --config "$dir/proftpd.conf" >"$dir/output.log" 2>&1 &
    server_pids+=($!)
    wait_for_greeting "$proftpd_address" "$!" "$dir/output.log"
}
start_pureftpd() {
    local dir="$work/pure-ftpd" hash
    mkdir -p "$dir/root"
    chown nobody:nogroup "$dir/root"
    hash="$(openssl passwd -6 "$password")"
    printf '%s:%s:%s:%s::%s/./::::::::::::\n' "$unpacked_user" "$hash" "$(id -u nobody)" \
        "$(id -g nobody)" "$dir/root" >"$dir/passwd"
    LD_LIBRARY_PATH="$unpacked_libraries" "$unpacked/usr/bin/pure-pw" mkdb "$dir/passwd.pdb" \
        -f "$dir/passwd" >/dev/null
    LD_LIBRARY_PATH="$unpacked_libraries" setsid "$unpacked/usr/sbin/pure-ftpd" \
        -S "$pureftpd_address,21" -l "puredb:$dir/passwd.pdb" -E -H -4 -A \
        >"$dir/output.log" 2>&1 &
    server_pids+=($!)
    wait_for_greeting "$pureftpd_address" "$!" "$dir/output.log"
}

section "servers"
addresses=("$vsftpd_address" "$pyftpd_address")
wanted tls && addresses+=("$tls_address")
if wanted abort; then
    "$root/scripts/test_servers.sh"
    addresses+=("$proftpd_address" "$pureftpd_address")
fi
for address in "${addresses[@]}"; do
    if [[ -n "$(greeting "$address")" ]]; then
        echo "bench.sh: something already answers on $address:21; stop it first" >&2
        exit 1
    fi
done
start_vsftpd
start_pyftpdlib
echo "vsftpd on $vsftpd_address, pyftpdlib on $pyftpd_address"
if wanted tls; then
    start_vsftpd_tls
    echo "vsftpd with TLS on $tls_address"
fi
if wanted abort; then
    start_proftpd
    start_pureftpd
    echo "proftpd on $proftpd_address, pure-ftpd on $pureftpd_address"
fi

# Test files: random bytes, made once, shared with both servers by hard links.
files="$work/files"
mkdir -p "$files" "$work/client"
make_file() {  # size
    local name="file-$1.bin"
    if [[ ! -f "$files/$name" ]]; then
        head -c "$1" /dev/urandom >"$files/$name"
        chmod 644 "$files/$name"
        ln "$files/$name" "$work/vsftpd/root/$name"
        ln "$files/$name" "$work/pyftpdlib/root/$name"
        for other in vsftpd-tls proftpd pure-ftpd; do
            if [[ -d "$work/$other/root" ]]; then
                ln "$files/$name" "$work/$other/root/$name"
            fi
        done
    fi
    printf '%s' "$name"
}

# Server parameters by name (vsftpd, pyftpdlib, vsftpd-tls): host, user, root directory.
server_host() {
    case $1 in
        vsftpd) echo "$vsftpd_address" ;;
        vsftpd-tls) echo "$tls_address" ;;
        proftpd) echo "$proftpd_address" ;;
        pure-ftpd) echo "$pureftpd_address" ;;
        *) echo "$pyftpd_address" ;;
    esac
}
server_user() {
    case $1 in
        vsftpd) echo "$vsftpd_user" ;;
        vsftpd-tls) echo "$tls_user" ;;
        proftpd | pure-ftpd) echo "$unpacked_user" ;;
        *) echo "$pyftpd_user" ;;
    esac
}
server_root() { echo "$work/$1/root"; }

# ---------------------------------------------------------------------------------------------
# Recording: every run appends one line {"case", "server", "rep", "result" | "error"}.

json_text() {  # a JSON string literal of $1 (control characters dropped)
    local text="${1//\\/\\\\}"
    text="${text//\"/\\\"}"
    printf '"%s"' "$(printf '%s' "$text" | tr -d '\000-\037')"
}

# User and system CPU time, in clock ticks, of this shell's finished children so far.
children_cpu() { awk '{ print $16, $17 }' "/proc/$$/stat"; }
ticks="$(getconf CLK_TCK)"

# record CASE SERVER REP COMMAND...: runs COMMAND, whose last output line is its JSON record.
# With cpu=1 in the environment, also the user and system CPU seconds of COMMAND and everything
# it started (COMMAND may be a function of this script, so no external timer can run it).
record() {
    local name="$1" server="$2" rep="$3"
    shift 3
    local status=0 output line extra="" user0 system0 user1 system1
    read -r user0 system0 < <(children_cpu)
    output="$("$@" 2>"$work/stderr")" || status=$?
    if [[ "${cpu:-0}" == 1 ]]; then
        read -r user1 system1 < <(children_cpu)
        extra="$(awk -v u=$((user1 - user0)) -v s=$((system1 - system0)) -v t="$ticks" \
            'BEGIN { printf ", \"cpu_user\": %.2f, \"cpu_system\": %.2f", u / t, s / t }')"
    fi
    line="$(printf '%s\n' "$output" | tail -n 1)"
    [[ "$line" == \{* ]] || line=null
    if ((status == 0)) && [[ "$line" != null ]]; then
        printf '{"case": "%s", "server": "%s", "rep": %d, "result": %s%s}\n' \
            "$name" "$server" "$rep" "$line" "$extra" >>"$results"
        printf '  %-28s %-9s run %d ok\n' "$name" "$server" "$rep"
    else
        local why
        why="$(tail -c 400 "$work/stderr" | tr '\n' ' ')"
        [[ -n "$why" ]] || why="exit status $status"
        printf '{"case": "%s", "server": "%s", "rep": %d, "result": %s, "error": %s}\n' \
            "$name" "$server" "$rep" "$line" "$(json_text "$why")" >>"$results"
        printf '  %-28s %-9s run %d FAILED: %s\n' "$name" "$server" "$rep" "$why" >&2
        failures=$((failures + 1))
    fi
}

# curl: one transfer, timed by curl itself (connect, log in, transfer). Active mode
# (-P 127.0.0.1) unless the fifth argument is "passive" (curl's default: EPSV, then PASV). On
# vsftpd-tls with explicit TLS (--ssl-reqd: AUTH TLS, PBSZ 0, PROT P) and the run's CA.
curl_transfer() {  # server direction remote source [active|passive]
    local server="$1" direction="$2" remote="$3" source="$4" seconds verified=0 copy
    local url="ftp://$(server_user "$server"):$password@$(server_host "$server")"
    local mode=(-P 127.0.0.1)
    [[ "${5:-active}" == passive ]] && mode=()
    [[ $server == vsftpd-tls ]] && mode+=(--ssl-reqd --cacert "$tls_ca")
    if [[ $direction == down ]]; then
        copy="$work/client/down-curl"
        seconds="$(curl -sS --max-time 900 "${mode[@]}" -o "$copy" -w '%{time_total}' \
            "$url/$remote")"
    else
        copy="$(server_root "$server")/$remote-curl"
        seconds="$(curl -sS --max-time 900 "${mode[@]}" -T "$source" -w '%{time_total}' \
            "$url/$remote-curl")"
    fi
    cmp -s "$source" "$copy" && verified=1
    rm -f "$copy"
    printf '{"tool": "curl", "mode": "transfer", "direction": "%s", "objects": 1, "size": %d, ' \
        "$direction" "$(stat -c %s "$source")"
    printf '"raw": true, "passive": %d, "session_seconds": %s, "verified": %d, "failures": %d}\n' \
        "$([[ "${5:-active}" == passive ]] && echo 1 || echo 0)" "$seconds" "$verified" \
        $((1 - verified))
    ((verified == 1))
}

engine() {  # server mode args...
    local server="$1" mode="$2"
    shift 2
    "$engine_bench" "$mode" --host "$(server_host "$server")" --user "$(server_user "$server")" \
        --password "$password" "$@"
}
scripted() {  # server mode args...
    local server="$1" mode="$2"
    shift 2
    local tls=()
    [[ $server == vsftpd-tls ]] && tls=(--tls 1 --ca-file "$tls_ca")
    "$script_bench" "$mode" --host "$(server_host "$server")" --user "$(server_user "$server")" \
        --password "$password" "${tls[@]}" "$@"
}
ftplib() {  # server mode args...
    local server="$1" mode="$2"
    shift 2
    "$py" "$root/bench/ftplib_peer.py" "$mode" --host "$(server_host "$server")" \
        --user "$(server_user "$server")" --password "$password" "$@"
}

transfer_args() {  # server direction name
    echo --direction "$2" --remote "$3" --source "$files/$3" --work "$work/client" \
        --server-root "$(server_root "$1")"
}

# ---------------------------------------------------------------------------------------------
# Measurements. Runs of the clients compared with each other alternate, so that a busy moment
# of the machine falls on all of them alike.

started=$SECONDS
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"

if wanted throttled; then
    section "throttled transfers (fixed pause rhythm)"
    for rep in $(seq "$repeats"); do
        for direction in down up; do
            for size in "${throttled_alone_sizes[@]}"; do
                name="$(make_file "$size")"
                args=($(transfer_args vsftpd "$direction" "$name"))
                if [[ -n "$script_bench" ]]; then
                    record "throttled-script-$direction-$size-1" vsftpd "$rep" \
                        scripted vsftpd transfer --objects 1 "${args[@]}"
                fi
                # The engine alone as a reference for the smallest size (time is dear here).
                if [[ -z "$script_bench" || $size == "${throttled_alone_sizes[0]}" ]]; then
                    record "throttled-engine-$direction-$size-1" vsftpd "$rep" \
                        engine vsftpd transfer --objects 1 "${args[@]}"
                fi
            done
            for size in "${throttled_group_sizes[@]}"; do
                name="$(make_file "$size")"
                args=($(transfer_args vsftpd "$direction" "$name"))
                for objects in "${throttled_groups[@]}"; do
                    if [[ -n "$script_bench" ]]; then
                        record "throttled-script-$direction-$size-$objects" vsftpd "$rep" \
                            scripted vsftpd transfer --objects "$objects" "${args[@]}"
                    fi
                    record "throttled-engine-$direction-$size-$objects" vsftpd "$rep" \
                        engine vsftpd transfer --objects "$objects" "${args[@]}"
                done
            done
        done
    done
fi

if wanted raw; then
    section "raw data path (pause off in the harness), $((raw_size / MiB)) MB"
    name="$(make_file "$raw_size")"
    for server in vsftpd pyftpdlib; do
        for rep in $(seq "$repeats"); do
            for direction in down up; do
                args=($(transfer_args "$server" "$direction" "$name"))
                cpu=1 record "raw-kestrel-$direction" "$server" "$rep" \
                    engine "$server" transfer --raw --objects 1 "${args[@]}"
                cpu=1 record "raw-curl-$direction" "$server" "$rep" \
                    curl_transfer "$server" "$direction" "$name" "$files/$name"
                cpu=1 record "raw-ftplib-$direction" "$server" "$rep" \
                    ftplib "$server" transfer "${args[@]}"
            done
        done
    done
fi

if wanted fast && [[ -n "$script_bench" ]]; then
    section "full speed (throttle 0 through ftpSetOption), $((fast_size / MiB)) MB, vsftpd"
    name="$(make_file "$fast_size")"
    for rep in $(seq "$repeats"); do
        for mode in active passive; do
            passive=0
            [[ $mode == passive ]] && passive=1
            for direction in down up; do
                args=($(transfer_args vsftpd "$direction" "$name"))
                cpu=1 record "fast-script-$mode-$direction" vsftpd "$rep" \
                    scripted vsftpd transfer --objects 1 --throttle 0 --passive "$passive" \
                    "${args[@]}"
                cpu=1 record "fast-curl-$mode-$direction" vsftpd "$rep" \
                    curl_transfer vsftpd "$direction" "$name" "$files/$name" "$mode"
                cpu=1 record "fast-engine-$mode-$direction" vsftpd "$rep" \
                    engine vsftpd transfer --objects 1 --throttle 0 --passive "$passive" \
                    "${args[@]}"
            done
        done
    done
fi

# Whether this curl can make an active-mode FTPS transfer at all: curl 7.88 fails its data
# connection ("sa_addr inet_ntop() failed"), and a download then hangs until the server gives
# up. One small upload within 20 s tells; the record says why not.
curl_tls_active_probe() {
    local name copy="$work/vsftpd-tls/root/probe-curl" why=""
    name="$(make_file 4096)"
    if why="$(curl -sS --max-time 20 -P 127.0.0.1 --ssl-reqd --cacert "$tls_ca" -T "$files/$name" \
        "ftp://$tls_user:$password@$tls_address/probe-curl" 2>&1)" && cmp -s "$files/$name" "$copy"
    then
        why=""
    fi
    rm -f "$copy"
    printf '{"tool": "curl", "mode": "probe", "passive": 0, "supported": %d, "reason": %s}\n' \
        "$([[ -z $why ]] && echo 1 || echo 0)" "$(json_text "${why:-}")"
}

if wanted tls && [[ -n "$script_bench" ]]; then
    section "TLS at full speed (tls 1, throttle 0), $((tls_size / KiB)) KB, vsftpd with TLS"
    name="$(make_file "$tls_size")"
    record tls-curl-active-probe vsftpd-tls 1 curl_tls_active_probe
    curl_active=0
    grep -q '"case": "tls-curl-active-probe".*"supported": 1' "$results" && curl_active=1
    ((curl_active)) || echo "  curl cannot transfer in active mode over TLS here: passive only"
    for rep in $(seq "$repeats"); do
        for mode in active passive; do
            passive=0
            [[ $mode == passive ]] && passive=1
            for direction in down up; do
                args=($(transfer_args vsftpd-tls "$direction" "$name"))
                cpu=1 record "tls-script-$mode-$direction" vsftpd-tls "$rep" \
                    scripted vsftpd-tls transfer --objects 1 --throttle 0 --passive "$passive" \
                    "${args[@]}"
                if [[ $mode == passive ]] || ((curl_active)); then
                    cpu=1 record "tls-curl-$mode-$direction" vsftpd-tls "$rep" \
                        curl_transfer vsftpd-tls "$direction" "$name" "$files/$name" "$mode"
                fi
            done
        done
    done
fi

if wanted abort && [[ -n "$script_bench" ]]; then
    section "abort: ftpAbort ${abort_delays_ms[*]} ms after the start, $((abort_size / MiB)) MB"
    name="$(make_file "$abort_size")"
    for server in vsftpd pyftpdlib proftpd pure-ftpd; do
        for rep in $(seq "$abort_runs"); do
            for direction in down up; do
                for delay in "${abort_delays_ms[@]}"; do
                    args=($(transfer_args "$server" "$direction" "$name"))
                    record "abort-$direction-$delay" "$server" "$rep" \
                        scripted "$server" abort --after-ms "$delay" "${args[@]}"
                done
            done
        done
    done
fi

noop_runs() {  # prefix: the three clients, alternating, on both servers
    local prefix="$1" server rep
    for server in vsftpd pyftpdlib; do
        for rep in $(seq "$repeats"); do
            record "$prefix-engine" "$server" "$rep" engine "$server" noop --count "$noop_count"
            if [[ -n "$script_bench" ]]; then
                record "$prefix-script" "$server" "$rep" \
                    scripted "$server" noop --count "$noop_count"
            fi
            record "$prefix-ftplib" "$server" "$rep" ftplib "$server" noop --count "$noop_count"
        done
    done
}

if wanted noop; then
    section "command latency: $noop_count NOOP round trips"
    noop_runs noop
    section "command latency under load: a busy loop on each of the $(nproc) cores"
    start_load
    noop_runs noop-load
    stop_load
fi

if wanted scale; then
    section "scale: objects logged in at once, each downloading $((scale_size / KiB)) KB"
    name="$(make_file "$scale_size")"
    args=($(transfer_args vsftpd down "$name"))
    for rep in $(seq "$repeats"); do
        for objects in "${scale_objects[@]}"; do
            if [[ -n "$script_bench" ]]; then
                record "scale-script-$objects" vsftpd "$rep" \
                    scripted vsftpd transfer --objects "$objects" "${args[@]}"
            fi
            record "scale-engine-$objects" vsftpd "$rep" \
                engine vsftpd transfer --objects "$objects" "${args[@]}"
        done
    done
fi

# Instructions per downloaded MB: the difference between a large and a small download, so that
# start-up, log-in and library initialisation, which do not grow with the file, cancel out.
callgrind() {  # label size command...
    local label="$1" size="$2"
    shift 2
    local profile="$work/callgrind.$label.$size"
    valgrind --tool=callgrind --callgrind-out-file="$profile" "$@" >"$work/cg.out" \
        2>"$work/cg.err" || { cat "$work/cg.err" >&2; return 1; }
    awk '/^(summary|totals):/ { print $2; exit }' "$profile"
}
cpu_case() {  # client
    local client="$1" small large ir_small ir_large copy="$work/client/down-1"
    small="$(make_file "$cpu_small")"
    large="$(make_file "$cpu_large")"
    for size in "$cpu_small" "$cpu_large"; do
        local name="file-$size.bin" ir
        if [[ $client == kestrel ]]; then
            ir="$(callgrind kestrel "$size" "$engine_bench" transfer --raw --bare --objects 1 \
                --host "$vsftpd_address" --user "$vsftpd_user" --password "$password" \
                --direction down --remote "$name" --source "$files/$name" --work "$work/client")"
            copy="$work/client/down-0"
        else
            ir="$(callgrind curl "$size" curl -sS -P 127.0.0.1 -o "$work/client/down-curl" \
                "ftp://$vsftpd_user:$password@$vsftpd_address/$name")"
            copy="$work/client/down-curl"
        fi
        cmp -s "$files/$name" "$copy" || { echo "$client: $name arrived damaged" >&2; return 1; }
        rm -f "$copy"
        if [[ $size == "$cpu_small" ]]; then ir_small="$ir"; else ir_large="$ir"; fi
    done
    printf '{"tool": "%s", "mode": "cpu", "small": %d, "large": %d, ' "$client" "$cpu_small" \
        "$cpu_large"
    printf '"ir_small": %s, "ir_large": %s}\n' "$ir_small" "$ir_large"
}

if wanted cpu; then
    section "CPU cost under callgrind: $((cpu_small / MiB)) and $((cpu_large / MiB)) MB downloads"
    for rep in $(seq "$repeats"); do
        record cpu-kestrel vsftpd "$rep" cpu_case kestrel
        record cpu-curl vsftpd "$rep" cpu_case curl
    done
    # The profile of the engine's largest download, for the report's list of hot functions.
    callgrind_annotate --inclusive=no "$work/callgrind.kestrel.$cpu_large" 2>/dev/null |
        head -n 60 >"$work/profile-kestrel.txt" || true
fi

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
elapsed=$((SECONDS - started))
stop_servers

# ---------------------------------------------------------------------------------------------
# Report

if [[ -z "$out" ]]; then
    if ((smoke)); then out="$work/benchmarks.md"; else out="$root/docs/benchmarks.md"; fi
fi
section "report: $out"
cat >"$work/machine.json" <<EOF
{"cores": $(nproc), "cpu": $(json_text "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"),
 "memory_gib": $(awk '/MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo),
 "kernel": $(json_text "$(uname -r)"), "date": $(json_text "$(date -u '+%Y-%m-%d %H:%M UTC')"),
 "revision": $(json_text "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"),
 "load_before": $(json_text "$load_before"), "load_after": $(json_text "$load_after"),
 "seconds": $elapsed, "repeats": $repeats, "smoke": $smoke, "full": $full,
 "load_busy_loops": $(nproc), "abort_runs": $abort_runs,
 "vsftpd": $(json_text "$(dpkg-query -W -f='${Version}' vsftpd)"),
 "pyftpdlib": $(json_text "$(dpkg-query -W -f='${Version}' python3-pyftpdlib)"),
 "curl": $(json_text "$(curl --version | head -n 1 | cut -d' ' -f1-2)"),
 "python": $(json_text "$("$py" --version 2>&1)")}
EOF
report_args=(--results "$results" --machine "$work/machine.json" --out "$out"
    --chart "$(dirname "$out")/$(basename "$out" .md).png")
[[ -f "$work/profile-kestrel.txt" ]] && report_args+=(--profile "$work/profile-kestrel.txt")
"$py" "$root/bench/report.py" "${report_args[@]}"
# The run's records stay with the build, so that the report can be made again without measuring.
mkdir -p "$build_dir/bench-last"
cp "$results" "$work/machine.json" "$build_dir/bench-last/"
[[ -f "$work/profile-kestrel.txt" ]] && cp "$work/profile-kestrel.txt" "$build_dir/bench-last/"

echo "measurements: $(wc -l <"$results"), failed: $failures, time: ${elapsed} s"
((failures == 0))
