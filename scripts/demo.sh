#!/usr/bin/env bash
# The main job: builds the module and its host, serves a demo folder with a local FTP server on
# port 21 of 127.0.0.21, runs examples/tour.ks through kestrel-host, shows what it printed, and
# stops the server again.
#
#   scripts/demo.sh
#
# On a fresh Debian 12 machine it first installs what is missing: the build tools, GoogleTest
# (the build configures the tests too) and pyftpdlib, the demo's server. Installing and serving
# on port 21 need root; run as another user, it goes through sudo.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

address=127.0.0.21
python=/usr/bin/python3  # Debian's, which python3-pyftpdlib installs into

as_root() {
    if [[ "$(id -u)" -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "demo: '$*' needs root, and sudo is missing" >&2
        exit 1
    fi
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

packages=(cmake g++ make libgtest-dev libgmock-dev libssl-dev python3-pyftpdlib)
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    echo "== installing: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${missing[@]}"
fi

echo "== building the module and kestrel-host"
cmake --preset default >/dev/null
cmake --build --preset default --target kestrel kestrel-host
host="$root/build/default/bin/kestrel-host"

# The demo folder: what the server serves, and the local side of the tour.
demo="$(mktemp -d /tmp/kestrel-demo-XXXXXX)"
mkdir -p "$demo/server" "$demo/local"
printf 'Welcome to the Kestrel demo server.\r\n' >"$demo/server/welcome.txt"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$demo/server/big.bin"
head -c $((1024 * 1024)) /dev/urandom >"$demo/local/picture.bin"
head -c 400000 "$demo/local/picture.bin" >"$demo/local/picture-part.bin"
printf 'Kestrel notes\nsecond line\n' >"$demo/local/notes.txt"
chmod -R a+rwX "$demo"

server_pid=""
stop_server() {
    if [[ -n "$server_pid" ]]; then
        as_root kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
    rm -rf "$demo"
}
trap stop_server EXIT

echo "== starting pyftpdlib on $address:21, serving $demo/server (user demo, password demo)"
as_root "$python" -m pyftpdlib -i "$address" -p 21 -w -d "$demo/server" -u demo -P demo \
    >"$demo/server.log" 2>&1 &
server_pid=$!
ready=0
for _ in $(seq 1 100); do
    if exec 3<>"/dev/tcp/$address/21" 2>/dev/null; then
        if IFS= read -r -t 2 greeting <&3 && [[ "$greeting" == 220* ]]; then
            ready=1
        fi
        exec 3<&- 3>&-
        ((ready)) && break
    fi
    if ! kill -0 "$server_pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if ((!ready)); then
    echo "demo: the FTP server did not come up on $address:21" >&2
    cat "$demo/server.log" >&2
    exit 1
fi

echo "== running examples/tour.ks through kestrel-host"
echo
status=0
(cd "$demo/local" && "$host" "$root/examples/tour.ks") || status=$?
echo
if ((status == 0)); then
    cmp -s "$demo/local/picture.bin" "$demo/local/picture-copy.bin" &&
        cmp -s "$demo/local/picture.bin" "$demo/local/picture-part.bin" &&
        echo "== the downloaded and the resumed copies match the uploaded picture"
    echo "== tour finished; stopping the server"
else
    echo "== kestrel-host ended with status $status" >&2
fi
exit "$status"
