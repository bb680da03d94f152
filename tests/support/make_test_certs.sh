#!/usr/bin/env bash
# Makes the certificates of the TLS tests in DIR with the openssl command:
#   ca.pem / ca.key         a test certificate authority
#   server.pem / server.key a server certificate from it, for localhost, 127.0.0.1 and ::1 (and
#                           ADDRESS when given)
#   other-ca.pem            an unrelated authority (a server certificate it did not sign is
#                           untrusted when this file is the trusted set)
# Elliptic-curve keys: quick to make. Valid for two days from now.
#
#   make_test_certs.sh DIR [ADDRESS]
set -euo pipefail

dir="$1"
names="DNS:localhost, IP:127.0.0.1, IP:::1"
if [[ -n "${2:-}" && "$2" != 127.0.0.1 ]]; then
    names+=", IP:$2"
fi
mkdir -p "$dir"
cd "$dir"
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)

openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Kestrel Test CA" 2>/dev/null
openssl req -x509 "${key[@]}" -keyout other-ca.key -out other-ca.pem -days 2 \
    -subj "/CN=Kestrel Other CA" 2>/dev/null
openssl req "${key[@]}" -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
cat >server.ext <<END
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = $names
END
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem 2>/dev/null
rm -f server.csr server.ext ca.srl
