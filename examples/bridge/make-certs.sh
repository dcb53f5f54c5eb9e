#!/bin/sh
# Makes what examples/bridge/mtls.json5 needs, with OpenSSL: a certificate authority of
# your own in DIR, and for each HOST (an IP address or a DNS name, as the other side
# connects to it) a folder DIR/HOST holding that host's key, its certificate signed by the
# authority (for both ends of a link) and the authority's certificate. Copy DIR/HOST to
# `certs/` beside where the bridge runs on that host; keep DIR/ca.key offline.
#
#   sh examples/bridge/make-certs.sh bridge-certs 192.168.1.10 192.168.1.20
set -eu
[ $# -ge 2 ] || { echo "usage: $0 DIR HOST..." >&2; exit 2; }
dir=$1
shift
umask 077  # private keys readable by their owner only
mkdir -p "$dir"
# EC P-256: small, fast, and taken by Zenoh's TLS (rustls).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
    -subj "/CN=quorvane bridge CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
for host in "$@"; do
    case $host in
        *[!0-9.:]*) name="DNS:$host" ;;
        *) name="IP:$host" ;;
    esac
    mkdir -p "$dir/$host"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$host" \
        -keyout "$dir/$host/host.key" -out "$dir/$host/host.csr" 2>/dev/null
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth,clientAuth\n' "$name" \
        > "$dir/$host/extensions"
    openssl x509 -req -in "$dir/$host/host.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -days 825 -extfile "$dir/$host/extensions" -out "$dir/$host/host.pem" \
        2>/dev/null
    rm "$dir/$host/host.csr" "$dir/$host/extensions"
    cp "$dir/ca.pem" "$dir/$host/ca.pem"
done
