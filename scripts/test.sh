#!/usr/bin/env bash
# Builds Kestrel and runs its whole test suite through ctest.
#
#   scripts/test.sh [default|asan|tsan]
#
# On a fresh Debian 12 machine it first installs what the build and the tests need (as root;
# otherwise it prints the apt-get line to run and stops). The interoperability tests start
# pyftpdlib and vsftpd themselves on loopback addresses, so no service needs to be running.
set -euo pipefail

preset="${1:-default}"
case "$preset" in
    default | asan | tsan) ;;
    *)
        echo "usage: $0 [default|asan|tsan]" >&2
        exit 2
        ;;
esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Compiler, build tools and GoogleTest; clang for the fuzz targets; libedit for the prompt of
# kestrel-host; the FTP servers that the interoperability tests run as installed (vsftpd,
# pyftpdlib, Twisted's and aioftp); OpenSSL 3 for TLS; for the servers' TLS variants, openssl
# (certificates made at run time) and pyOpenSSL (pyftpdlib's TLS handler); Node.js with npm for
# ftp-srv (scripts/test_servers.sh), unless they are there already (as from another source).
packages=(cmake g++ make libgtest-dev libgmock-dev clang libedit-dev vsftpd python3-pyftpdlib
    python3-twisted python3-aioftp libssl-dev openssl python3-openssl)
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi

source "$root/scripts/missing_packages.sh"
missing_packages "${packages[@]}"

if ((${#missing[@]} > 0)); then
    if [[ "$(id -u)" -ne 0 ]]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Packaged daemons (vsftpd) must not start as system services: the tests run their own
    # instances on port 21 of loopback addresses, which a system-wide listener would take.
    policy=/usr/sbin/policy-rc.d
    made_policy=0
    if [[ ! -e "$policy" ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
    if ((made_policy)); then
        rm -f "$policy"
    fi
fi

# proftpd, pure-ftpd and inetutils-ftpd for the interoperability tests, unpacked beside the
# builds (they conflict with vsftpd as installed packages), and ftp-srv from npm.
"$root/scripts/test_servers.sh"

jobs=2
echo "== configure ($preset)"
cmake --preset "$preset"
echo "== build ($preset)"
cmake --build --preset "$preset" -j "$jobs"
echo "== test ($preset)"
ctest --preset "$preset" -j "$jobs"
