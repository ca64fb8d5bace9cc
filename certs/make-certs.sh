#!/usr/bin/env bash
# Regenerates the test-only CA and certificates used by the sandbox and the
# tests. The keys are published on purpose: never trust this CA outside tests.
set -euo pipefail
cd "$(dirname "$0")"
days=36500

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days $days \
  -subj "/CN=QelSMS Sandbox Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"

issue() { # name days san
  local name=$1 d=$2 san=$3
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=${san%%,*}" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$4" > "$name.ext"
  openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$name.pem" -days "$d" \
    -extfile "$name.ext" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}
issue server $days "api.qelsms.example" "DNS:api.qelsms.example,DNS:localhost,IP:127.0.0.1,IP:::1"
issue other-host $days "other.example" "DNS:other.example"
# Expired: valid for one day in 2020. `openssl ca` is the tool that sets both dates.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/index.txt"
cat > "$tmp/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $tmp/index.txt
new_certs_dir = $tmp
serial = $tmp/serial
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = ext
[any]
commonName = supplied
[ext]
subjectAltName = DNS:api.qelsms.example,IP:127.0.0.1
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
CNF
echo 01 > "$tmp/serial"
openssl req -newkey rsa:2048 -nodes -keyout expired.key -out "$tmp/expired.csr" -subj "/CN=api.qelsms.example" 2>/dev/null
openssl ca -batch -config "$tmp/ca.cnf" -cert ca.pem -keyfile ca.key -in "$tmp/expired.csr" -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z -notext 2>/dev/null
rm -f ca.srl
# A self-signed certificate no CA vouches for.
openssl req -x509 -newkey rsa:2048 -nodes -keyout untrusted.key -out untrusted.pem -days $days \
  -subj "/CN=api.qelsms.example" -addext "subjectAltName=DNS:api.qelsms.example,IP:127.0.0.1" 2>/dev/null
