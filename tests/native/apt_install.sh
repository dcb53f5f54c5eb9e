#!/usr/bin/env bash
# Installs Debian packages the tests need. Exits 3 when this machine cannot (not root,
# no apt-get), so callers can say what to install instead.
set -euo pipefail
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    exit 3
fi
echo "installing $* with apt-get"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
