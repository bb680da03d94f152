#!/usr/bin/env bash
# Builds the packages the way a packager does and checks what they hold:
#
#   1. build/package: a plain `cmake -DCMAKE_BUILD_TYPE=Release` build (no preset, warnings not
#      errors), `cpack` makes the .deb.
#   2. The .deb unpacked into a fresh root (dpkg-deb -x), its control data read, and the
#      kestrel-host inside it, with no --module, runs a script with --fail against pyftpdlib on
#      port 21 of 127.0.0.22: an upload and a download, compared byte for byte.
#   3. With --win32: `cpack` in build/win32 (scripts/windows.sh builds it) makes the .zip, whose
#      listing must hold kestrel.dll, kestrel-host.exe, README.md and the examples.
#
#   scripts/package.sh [--win32]
#
# Needs root for port 21; installs what is missing as scripts/test.sh does.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

win32=0
case "${1:-}" in
    "") ;;
    --win32) win32=1 ;;
    *)
        echo "usage: $0 [--win32]" >&2
        exit 2
        ;;
esac

packages=(cmake g++ make libedit-dev python3-pyftpdlib)
source "$root/scripts/missing_packages.sh"
missing_packages "${packages[@]}"
if ((${#missing[@]} > 0)); then
    echo "== installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

work="$(mktemp -d /tmp/kestrel-package-XXXXXX)"
server_pid=""
finish() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT

echo "== the plain Release build and its .deb"
rm -rf build/package/packages
cmake -B build/package -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF -DKESTREL_BENCH=OFF
cmake --build build/package -j 2
(cd build/package && cpack)
deb="$(ls build/package/packages/kestrel_*.deb)"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== the .deb in a fresh root"
dpkg-deb -x "$deb" "$work/root"
for file in usr/bin/kestrel-host usr/lib/kestrel/libkestrel.so usr/include/kestrel/host_abi.h \
    usr/share/doc/kestrel/README.md usr/share/doc/kestrel/examples/tour.ks \
    usr/share/doc/kestrel/examples/check_server.sh; do
    if [[ ! -f "$work/root/$file" ]]; then
        echo "package: $file is missing from $deb" >&2
        exit 1
    fi
done
if [[ ! -x "$work/root/usr/share/doc/kestrel/examples/check_server.sh" ]]; then
    echo "package: check_server.sh is not executable" >&2
    exit 1
fi
# Every library the binaries link is a dependency of the package.
depends="$(dpkg-deb --field "$deb" Depends)"
for library in libc6 libstdc++6 libgcc-s1 libssl3 libedit2; do
    if ! grep -q "$library" <<<"$depends"; then
        echo "package: Depends ($depends) lacks $library" >&2
        exit 1
    fi
done
"$work/root/usr/bin/kestrel-host" --version
if ! "$work/root/usr/bin/kestrel-host" --help | grep -q "$work/root/usr/share/doc/kestrel/README.md"; then
    echo "package: kestrel-host --help does not name the installed README" >&2
    exit 1
fi

address=127.0.0.22
mkdir -p "$work/served" "$work/local"
chmod 777 "$work/served"
head -c 300000 /dev/urandom >"$work/local/sample.bin"
/usr/bin/python3 -m pyftpdlib -i "$address" -p 21 -w -d "$work/served" -u user -P pass \
    >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
    if timeout 2 bash -c 'exec 3<>"/dev/tcp/$1/21"' _ "$address" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
cat >"$work/check.ks" <<KS
new a
ftpLogin a "$address" "user" "pass"
wait a 30
ftpSendFile a "sample.bin" "sample.bin" 73
wait a 60
ftpRecvFile a "sample.bin" "copy.bin" 73
wait a 60
forget a
KS
(cd "$work/local" && "$work/root/usr/bin/kestrel-host" --fail "$work/check.ks")
cmp "$work/local/sample.bin" "$work/served/sample.bin"
cmp "$work/local/sample.bin" "$work/local/copy.bin"
echo "== the installed kestrel-host found its module and moved the file both ways"
printf 'pass\n' | KESTREL_HOST="$work/root/usr/bin/kestrel-host" \
    "$work/root/usr/share/doc/kestrel/examples/check_server.sh" "$address" user passive
echo "== the installed example ran against the server it was given"

if ((win32)); then
    echo "== the Windows .zip"
    rm -rf build/win32/packages
    (cd build/win32 && cpack)
    zip="$(ls build/win32/packages/kestrel-*-win32.zip)"
    listing="$(/usr/bin/python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")"
    echo "$listing"
    for file in kestrel.dll kestrel-host.exe README.md examples/tour.ks include/host_abi.h; do
        if ! grep -q "/$file\$" <<<"$listing"; then
            echo "package: $file is missing from $zip" >&2
            exit 1
        fi
    done
fi
echo "== packages checked"
