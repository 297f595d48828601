#!/usr/bin/env bash
# make-ca.sh DIR NAME: a certificate authority DIR/NAME-ca.crt made now, and a server certificate
# for 127.0.0.1 and localhost signed by it (DIR/NAME-server.crt, .key), for TLS tests only.
set -euo pipefail
dir=$1 name=$2
cd "$dir"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -keyout "$name-ca.key" -out "$name-ca.crt" -subj "/CN=$name test CA" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$name-server.key" -out "$name-server.csr" -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > "$name-san.ext"
openssl x509 -req -in "$name-server.csr" -CA "$name-ca.crt" -CAkey "$name-ca.key" -CAcreateserial \
  -days 1 -extfile "$name-san.ext" -out "$name-server.crt" 2>/dev/null
