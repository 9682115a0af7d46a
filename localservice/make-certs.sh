#!/usr/bin/env bash
# Development certificates for the local service.
#
#   make-certs.sh [DIR]      (DIR defaults to certs/ beside this script)
#
# The desktop client compiles DIR/ca.pem in at configure time, so this script
# must never replace a CA that is still usable: a new CA would silently break
# every client built against the old one. It only creates what is missing,
# and re-issues the server certificate when it no longer chains to the CA
# that is there (or is about to expire).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
dir="${1:-$here/certs}"

command -v openssl >/dev/null 2>&1 || { echo "make-certs.sh: openssl is required" >&2; exit 1; }

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
umask 077

# The C++ configure step and the test suites may run this at the same time.
if command -v flock >/dev/null 2>&1; then
    exec 9>"$dir/.make-certs.lock"
    flock 9
fi

work="$(mktemp -d "$dir/.tmp.XXXXXX")"
trap 'rm -rf "$work"' EXIT

ca_pem="$dir/ca.pem"
ca_key="$dir/ca.key"
srv_pem="$dir/server.pem"
srv_key="$dir/server.key"

# A cert and key pair is usable when both parse, belong together and the cert
# outlives the next day. (x509 prints the key and fails -checkend in one go:
# every openssl start costs noticeable time on a busy build machine.)
pair_ok() {
    local cert="$1" key="$2" a b
    [[ -s "$cert" && -s "$key" ]] || return 1
    a="$(openssl x509 -noout -pubkey -checkend 86400 -in "$cert" 2>/dev/null)" || return 1
    b="$(openssl pkey -pubout -in "$key" 2>/dev/null)" || return 1
    [[ -n "$b" && "$a" == "$b"* ]]
}

random_serial() { echo "0x$(openssl rand -hex 16)"; }

if ! pair_ok "$ca_pem" "$ca_key"; then
    cat >"$work/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = v3_ca
[dn]
CN = Tovik Development CA
[v3_ca]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -days 3650 \
        -set_serial "$(random_serial)" \
        -config "$work/ca.cnf" -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
    chmod 600 "$work/ca.key"
    mv -f "$work/ca.key" "$ca_key"
    mv -f "$work/ca.pem" "$ca_pem"
    chmod 644 "$ca_pem"
    echo "make-certs.sh: created development CA in $dir" >&2
fi

server_ok() {
    pair_ok "$srv_pem" "$srv_key" || return 1
    openssl verify -CAfile "$ca_pem" "$srv_pem" >/dev/null 2>&1
}

if ! server_ok; then
    cat >"$work/server.ext" <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -subj "/CN=localhost" \
        -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
    openssl x509 -req -sha256 -days 825 -in "$work/server.csr" \
        -CA "$ca_pem" -CAkey "$ca_key" -set_serial "$(random_serial)" \
        -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null
    chmod 600 "$work/server.key"
    mv -f "$work/server.key" "$srv_key"
    mv -f "$work/server.pem" "$srv_pem"
    chmod 644 "$srv_pem"
    echo "make-certs.sh: issued server certificate for localhost and 127.0.0.1 in $dir" >&2
fi

# Keys copied in by hand may carry looser modes.
chmod 600 "$ca_key" "$srv_key"
