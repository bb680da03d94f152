#!/usr/bin/env bash
# Cross-builds the 32-bit Windows module and host (preset "win32") and runs the Windows suite
# under Wine: the GoogleTest suites that need no POSIX, the check of the module's exports and
# imports, and the end-to-end scripts of kestrel-host.exe against a local pyftpdlib server.
#
#   scripts/windows.sh
#
# On a fresh Debian 12 machine it first installs what it needs (as root; otherwise it prints the
# commands to run and stops): the MinGW-w64 cross compiler, Wine with its 32-bit part, the
# GoogleTest sources, pyftpdlib, and for TLS Wine's 32-bit GnuTLS and the openssl command.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Wine's SChannel does its TLS with the 32-bit GnuTLS; the TLS tests make their certificates with
# the openssl command, and pyftpdlib's TLS handler needs pyOpenSSL.
packages=(cmake make g++-mingw-w64-i686 wine wine32:i386 libgnutls30:i386 openssl googletest
    python3-pyftpdlib python3-openssl)

source "$root/scripts/missing_packages.sh"
missing_packages "${packages[@]}"
needs_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    needs_i386=1
fi

if ((${#missing[@]} > 0)); then
    if [[ "$(id -u)" -ne 0 ]]; then
        echo "Missing packages. Install them with:" >&2
        ((needs_i386)) && echo "  sudo dpkg --add-architecture i386" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    ((needs_i386)) && dpkg --add-architecture i386
    apt-get update
    apt-get install -y "${missing[@]}"
fi

# One Wine prefix and one wine server for the whole run. The server is made persistent and Wine's
# own background processes (services, explorer) are started here, with their output going
# nowhere: started by the first test program instead, they would inherit its output pipe, and
# ctest would wait for them to end before it takes that test as finished.
export WINEPREFIX="$root/build/win32/wineprefix"
export WINEDEBUG=-all
mkdir -p "$root/build/win32"
cmake/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 </dev/null
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
cmake/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 </dev/null

echo "== configure (win32)"
cmake --preset win32
echo "== build (win32)"
cmake --build --preset win32 -j 2
echo "== test (win32, under $(wine --version))"
ctest --preset win32 -j 2
