#!/bin/sh
# Logs in to the FTP server you name, shows where you are and what is there, and logs out: a
# first run of Kestrel against your own server, through kestrel-host.
#
#   check_server.sh HOST USER [passive]
#
# The password is asked for without echo and reaches kestrel-host through a pipe, never a file.
# "passive" uses passive mode (for servers behind firewalls and NAT). kestrel-host is taken from
# $KESTREL_HOST, else from the PATH.
set -eu

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 HOST USER [passive]" >&2
    exit 2
fi
host="$1"
user="$2"
passive=0
[ "${3:-}" = passive ] && passive=1
kestrel_host="${KESTREL_HOST:-kestrel-host}"

# The script language quotes strings; a " or \ inside a value is escaped.
quote() {
    printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"
}

printf 'Password for %s on %s: ' "$user" "$host" >&2
stty -echo 2>/dev/null || true
IFS= read -r password || true
stty echo 2>/dev/null || true
echo >&2

{
    echo "new a"
    echo "ftpSetOption a \"passive\" \"$passive\""
    echo "ftpLogin a $(quote "$host") $(quote "$user") $(quote "$password")"
    echo "wait a 60"
    echo "ftpPWD a"
    echo "wait a 30"
    echo "ftpResult a"
    echo "ftpDir a \"\" 1"
    echo "wait a 60"
    echo "ftpResult a"
    echo "ftpLogout a"
} | "$kestrel_host" --fail -
