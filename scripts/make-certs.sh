#!/usr/bin/env bash
# Usage: make-certs.sh <dir> <name> [<name>...]
#
# For each name, writes <dir>/<name>.cert.pem (self-signed, CN and DNS
# subjectAltName = name) and <dir>/<name>.key.pem (unencrypted EC P-256 key).
# A pair that is already there and matches its name is kept, so running the
# script twice is harmless.
set -euo pipefail

usage() {
  echo "usage: $0 <dir> <name> [<name>...]" >&2
  exit 2
}

[ "$#" -ge 2 ] || usage
dir=$1
shift

command -v openssl >/dev/null || { echo "make-certs: openssl not found" >&2; exit 1; }
mkdir -p "$dir"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/make-certs.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# True when the pair exists, parses, belongs together and carries the name.
pair_is_good() {
  local name=$1 cert=$2 key=$3 cert_pub key_pub
  [ -s "$cert" ] && [ -s "$key" ] || return 1
  cert_pub=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) || return 1
  key_pub=$(openssl pkey -in "$key" -pubout 2>/dev/null) || return 1
  [ "$cert_pub" = "$key_pub" ] || return 1
  openssl x509 -in "$cert" -noout -checkend 86400 >/dev/null 2>&1 || return 1
  openssl x509 -in "$cert" -noout -ext subjectAltName 2>/dev/null |
    grep -qx "[[:space:]]*DNS:$name"
}

for name in "$@"; do
  # The name becomes a file name and a subject field: keep it to a safe set.
  if ! [[ "$name" =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]]; then
    echo "make-certs: unsupported name '$name' (letters, digits, '.', '_', '-')" >&2
    exit 2
  fi
  cert="$dir/$name.cert.pem"
  key="$dir/$name.key.pem"
  if pair_is_good "$name" "$cert" "$key"; then
    continue
  fi

  # Own config so the result does not depend on the system's openssl.cnf.
  cat >"$tmp/$name.cnf" <<EOF
[req]
distinguished_name = dn
x509_extensions = ext
prompt = no

[dn]
CN = $name

[ext]
subjectAltName = DNS:$name
subjectKeyIdentifier = hash
EOF
  openssl req -x509 -new -config "$tmp/$name.cnf" \
    -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -noenc \
    -days 3650 -sha256 \
    -keyout "$tmp/$name.key.pem" -out "$tmp/$name.cert.pem" 2>"$tmp/$name.err" || {
    cat "$tmp/$name.err" >&2
    echo "make-certs: openssl failed for '$name'" >&2
    exit 1
  }
  chmod 600 "$tmp/$name.key.pem"
  # Key first: a cert without its key would be useless to a reader racing us.
  mv -f "$tmp/$name.key.pem" "$key"
  mv -f "$tmp/$name.cert.pem" "$cert"
done
