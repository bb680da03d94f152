#!/usr/bin/env bash
# Unpacks proftpd (with mod_tls), pure-ftpd and inetutils-ftpd for the interoperability tests
# into a folder of the tests' own, without installing them: as installed packages they conflict
# with vsftpd. Installs ftp-srv there too, with npm, at the version that
# tests/support/ftp-srv/package-lock.json names.
#
#   scripts/test_servers.sh [DIR]      # DIR defaults to build/test-servers
#
# The packages are fetched once (apt-get download) and unpacked with dpkg -x (under DIR/root),
# ftp-srv installed once with npm ci (under DIR/node); a second run finds the folder complete and
# does nothing. The tests look for the servers in DIR (or in KESTREL_TEST_SERVERS), and run them
# with the libraries unpacked beside them. Without npm (it comes with Node.js) ftp-srv is left
# out, and its tests skip.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build/test-servers}"
stamp="$dir/.complete"
lock="$root/tests/support/ftp-srv/package-lock.json"

# The servers, mod_tls, and the libraries they need that a machine with vsftpd may lack.
packages=(proftpd-core proftpd-mod-crypto pure-ftpd inetutils-ftpd libmemcached11
    libmemcachedutil2 libhashkit2 libpcre2-posix3 libhiredis0.14 libsodium23 libsasl2-2)

# What the folder holds when complete: the packages and the lock file's checksum. A folder made
# for another list is completed.
contents="${packages[*]} ftp-srv:$(sha256sum "$lock" | cut -d' ' -f1)"
if [[ -e "$stamp" && "$(cat "$stamp")" == "$contents" ]]; then
    exit 0
fi

mkdir -p "$dir/debs" "$dir/root"
cd "$dir/debs"
missing=()
for package in "${packages[@]}"; do
    if ! compgen -G "${package}_*.deb" >/dev/null; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} > 0)); then
    echo "== downloading: ${missing[*]}"
    if ! apt-get download "${missing[@]}"; then
        # A machine whose package lists are old or absent: refresh them once and try again.
        if [[ "$(id -u)" -eq 0 ]]; then
            apt-get update
            apt-get download "${missing[@]}"
        else
            echo "apt-get download failed; as root, run apt-get update first" >&2
            exit 1
        fi
    fi
fi
for deb in ./*.deb; do
    dpkg -x "$deb" "$dir/root"
done
for binary in usr/sbin/proftpd usr/sbin/pure-ftpd usr/lib/proftpd/mod_tls.so usr/sbin/ftpd; do
    if [[ ! -e "$dir/root/$binary" ]]; then
        echo "unpacked packages lack $binary" >&2
        exit 1
    fi
done

# ftp-srv from npm, exactly as locked; no install scripts (only an optional tracing module of
# its logger has one).
if ! command -v npm >/dev/null; then
    echo "== npm is missing: ftp-srv is not installed, and its tests will skip" >&2
    exit 0
fi
echo "== installing ftp-srv with npm"
mkdir -p "$dir/node"
cp "$root/tests/support/ftp-srv/package.json" "$lock" "$dir/node/"
(cd "$dir/node" && npm ci --omit=dev --ignore-scripts --no-audit --no-fund)
if [[ ! -e "$dir/node/node_modules/ftp-srv/package.json" ]]; then
    echo "npm ci did not install ftp-srv" >&2
    exit 1
fi
echo "$contents" >"$stamp"
echo "== test servers unpacked in $dir"
