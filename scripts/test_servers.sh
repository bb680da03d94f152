#!/usr/bin/env bash
# Unpacks proftpd (with mod_tls) and pure-ftpd for the interoperability tests into a folder of
# the tests' own, without installing them: as installed packages they conflict with vsftpd.
#
#   scripts/test_servers.sh [DIR]      # DIR defaults to build/test-servers
#
# The packages are fetched once (apt-get download) and unpacked with dpkg -x; a second run finds
# the folder complete and does nothing. The tests look for the servers in DIR (or in
# KESTREL_TEST_SERVERS), and run them with the libraries unpacked beside them.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build/test-servers}"
stamp="$dir/.complete"

if [[ -e "$stamp" ]]; then
    exit 0
fi

# The servers, mod_tls, and the libraries they need that a machine with vsftpd may lack.
packages=(proftpd-core proftpd-mod-crypto pure-ftpd libmemcached11 libmemcachedutil2
    libhashkit2 libpcre2-posix3 libhiredis0.14 libsodium23 libsasl2-2)

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
for binary in usr/sbin/proftpd usr/sbin/pure-ftpd usr/lib/proftpd/mod_tls.so; do
    if [[ ! -e "$dir/root/$binary" ]]; then
        echo "unpacked packages lack $binary" >&2
        exit 1
    fi
done
touch "$stamp"
echo "== test servers unpacked in $dir"
