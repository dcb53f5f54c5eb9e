#!/bin/sh
# Makes what examples/bridge/mtls.json5 needs, with OpenSSL: a certificate authority of
# your own in DIR, and for each ROLE@HOST a folder DIR/HOST holding that host's key, its
# certificate signed by the authority (for both ends of a link) and the authority's
# certificate. HOST is an IP address or a DNS name, as the other side connects to it; ROLE,
# `sender` or `receiver`, is the certificate's common name, which mtls.json5's access
# control grants: senders put frames, receivers subscribe to them. Copy DIR/HOST to
# `certs/` beside where the bridge runs on that host; keep DIR/ca.key offline.
#
#   sh examples/bridge/make-certs.sh bridge-certs sender@192.168.1.10 receiver@192.168.1.20
set -eu
[ $# -ge 2 ] || { echo "usage: $0 DIR ROLE@HOST..." >&2; exit 2; }
dir=$1
shift
for spec in "$@"; do
    case $spec in
        sender@?* | receiver@?*) ;;
        *) echo "$0: $spec: not ROLE@HOST with ROLE sender or receiver" >&2; exit 2 ;;
    esac
done
umask 077  # private keys readable by their owner only
mkdir -p "$dir"
# EC P-256: small, fast, and taken by Zenoh's TLS (rustls).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
    -subj "/CN=quorvane bridge CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
for spec in "$@"; do
    role=${spec%%@*}
    host=${spec#*@}
    case $host in
        *[!0-9.:]*) name="DNS:$host" ;;
        *) name="IP:$host" ;;
    esac
    mkdir -p "$dir/$host"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$role" \
        -keyout "$dir/$host/host.key" -out "$dir/$host/host.csr" 2>/dev/null
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth,clientAuth\n' "$name" \
        > "$dir/$host/extensions"
    openssl x509 -req -in "$dir/$host/host.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -days 825 -extfile "$dir/$host/extensions" -out "$dir/$host/host.pem" \
        2>/dev/null
    rm "$dir/$host/host.csr" "$dir/$host/extensions"
    cp "$dir/ca.pem" "$dir/$host/ca.pem"
done
