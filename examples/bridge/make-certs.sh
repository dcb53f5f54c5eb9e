#!/bin/sh
# Makes what examples/bridge/mtls.json5 needs, with OpenSSL: a certificate authority of
# your own in DIR, and for each ROLE@HOST a folder DIR/ROLE@HOST holding a key, its
# certificate signed by the authority (for both ends of a link) and the authority's
# certificate. HOST is an IP address or a DNS name, as the other side connects to it; ROLE,
# `sender` or `receiver`, is the certificate's common name, which mtls.json5's access
# control grants: senders put frames, receivers subscribe to them. Copy DIR/ROLE@HOST to
# `certs/` beside where the bridge of that role runs on that host (a host with both roles
# keeps two folders); keep DIR/ca.key offline.
#
#   sh examples/bridge/make-certs.sh bridge-certs sender@192.168.1.10 receiver@192.168.1.20
set -eu
[ $# -ge 2 ] || { echo "usage: $0 DIR ROLE@HOST..." >&2; exit 2; }
dir=$1
shift
for cert in "$@"; do
    case $cert in
        sender@?* | receiver@?*) ;;
        *) echo "$0: $cert: not ROLE@HOST with ROLE sender or receiver" >&2; exit 2 ;;
    esac
done
umask 077  # private keys readable by their owner only
mkdir -p "$dir"
# EC P-256: small, fast, and taken by Zenoh's TLS (rustls).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
    -subj "/CN=quorvane bridge CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
for cert in "$@"; do
    role=${cert%%@*}
    host=${cert#*@}
    case $host in
        *[!0-9.:]*) name="DNS:$host" ;;
        *) name="IP:$host" ;;
    esac
    out=$dir/$cert
    mkdir -p "$out"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$role" \
        -keyout "$out/host.key" -out "$out/host.csr" 2>/dev/null
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth,clientAuth\n' "$name" \
        > "$out/extensions"
    openssl x509 -req -in "$out/host.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -days 825 -extfile "$out/extensions" -out "$out/host.pem" 2>/dev/null
    rm "$out/host.csr" "$out/extensions"
    cp "$dir/ca.pem" "$out/ca.pem"
done
