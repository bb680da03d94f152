#!/usr/bin/env bash
# The main job: builds the module and its host, serves a demo folder with a local FTP server on
# port 21 of 127.0.0.21, runs examples/tour.ks through kestrel-host --fail, checks the files the
# tour made on both sides, and stops the server again.
#
#   scripts/demo.sh
#
# Exit status 0 only when every step of the tour ended as it should and the files match; the
# server it started is stopped on every path, Ctrl-C included. It refuses to run when something
# already answers on 127.0.0.21:21, since the tour would then talk to a server it did not start.
#
# On a fresh Debian 12 machine it first installs what is missing: the build tools, GoogleTest
# (the build configures the tests too), libedit and pyftpdlib, the demo's server. Installing and
# serving on port 21 need root; run as another user, it goes through sudo.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

address=127.0.0.21
python=/usr/bin/python3  # Debian's, which python3-pyftpdlib installs into

if [[ "$(id -u)" -eq 0 ]]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "demo: installing and serving on port 21 need root, and sudo is missing" >&2
    exit 1
fi

packages=(cmake g++ make libgtest-dev libgmock-dev libedit-dev libssl-dev python3-pyftpdlib)
source "$root/scripts/missing_packages.sh"
missing_packages "${packages[@]}"
if ((${#missing[@]} > 0)); then
    echo "== installing: ${missing[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y \
        --no-install-recommends "${missing[@]}"
fi

echo "== building the module and kestrel-host"
cmake --preset default >/dev/null
cmake --build --preset default --target kestrel kestrel-host
host="$root/build/default/bin/kestrel-host"

# The greeting of whatever answers on the demo address, or nothing; quietly.
greeting() {
    timeout 3 bash -c 'exec 3<>"/dev/tcp/$1/21" && IFS= read -r -t 2 line <&3 &&
        printf "%s\n" "${line%$'"'"'\r'"'"'}"' _ "$address" 2>/dev/null || true
}

if [[ -n "$(greeting)" ]]; then
    echo "demo: something already answers on $address:21 ($(greeting))." >&2
    echo "demo: the tour runs only against the server it starts itself; stop that one first." >&2
    exit 1
fi

# The demo folder: what the server serves, and the local side of the tour.
demo="$(mktemp -d /tmp/kestrel-demo-XXXXXX)"
mkdir -p "$demo/server" "$demo/local"
printf 'Welcome to the Kestrel demo server.\r\n' >"$demo/server/welcome.txt"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$demo/server/big.bin"
head -c $((1024 * 1024)) /dev/urandom >"$demo/local/picture.bin"
head -c 400000 "$demo/local/picture.bin" >"$demo/local/picture-part.bin"
printf 'Kestrel notes\nsecond line\n' >"$demo/local/notes.txt"
chmod -R a+rwX "$demo"
# Our server greets with this token, so that the tour is known to reach it and no other.
token="$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')"

server_pid=""
stop_server() {
    if [[ -n "$server_pid" ]]; then
        "${as_root[@]}" kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
        if [[ -n "$(greeting)" ]]; then
            echo "demo: the server still answers on $address:21 after it was stopped" >&2
            return 1
        fi
    fi
}
finish() {
    local status=$?
    stop_server || status=1
    "${as_root[@]}" rm -rf "$demo"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting pyftpdlib on $address:21, serving $demo/server (user demo, password demo)"
# In a session of its own, so that Ctrl-C at the terminal reaches kestrel-host, which then still
# gets its QUIT answered, and not the server; the script stops the server itself.
"${as_root[@]}" setsid "$python" - "$address" "$demo/server" "$token" >"$demo/server.log" 2>&1 <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

address, folder, token = sys.argv[1:4]
authorizer = DummyAuthorizer()
authorizer.add_user("demo", "demo", folder, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPHandler.banner = "Kestrel demo server " + token
FTPServer((address, 21), FTPHandler).serve_forever()
PY
server_pid=$!
ready=0
for _ in $(seq 1 100); do
    answer="$(greeting)"
    if [[ "$answer" == "220 Kestrel demo server $token" ]]; then
        ready=1
        break
    fi
    if [[ -n "$answer" ]]; then
        echo "demo: another server answers on $address:21 ($answer)" >&2
        exit 1
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

echo "== running examples/tour.ks through kestrel-host --fail"
echo
status=0
(cd "$demo/local" && "$host" --fail "$root/examples/tour.ks") || status=$?
echo
if ((status != 0)); then
    echo "== kestrel-host ended with status $status: the tour did not go as expected" >&2
    exit "$status"
fi

# What the tour must have left: the upload on the server, the download and the resumed download
# here, both equal to the picture; the notes renamed and deleted again.
check() {
    if ! "$@"; then
        echo "demo: check failed: $*" >&2
        status=1
    fi
}
check cmp -s "$demo/local/picture.bin" "$demo/server/tour/picture.bin"
check cmp -s "$demo/local/picture.bin" "$demo/local/picture-copy.bin"
check cmp -s "$demo/local/picture.bin" "$demo/local/picture-part.bin"
check test ! -e "$demo/server/tour/notes.txt"
check test ! -e "$demo/server/tour/old-notes.txt"
if ((status != 0)); then
    exit "$status"
fi
echo "== every step ended as expected; the uploaded, downloaded and resumed copies match"
echo "== stopping the server"
