#!/usr/bin/env bash
# Makes the test CA and the loopback server certificate it signs (127.0.0.1, ::1, localhost).
# The tests' fake server serves server.pem; clients under test trust ca.pem. The CA's key is not
# kept: run this again for new certificates.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 36500 \
  -subj "/CN=Kavo test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$work/ca.key" -out ca.pem 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout server.key -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "$work/ext"
openssl x509 -req -in "$work/server.csr" -CA ca.pem -CAkey "$work/ca.key" -CAcreateserial -CAserial "$work/ca.srl" -days 36500 \
  -extfile "$work/ext" -out server.pem 2>/dev/null
