#!/usr/bin/env bash
# Runs a Windows program (PROGRAM ARGS...) under Wine, quietly and in the Wine prefix of
# build/win-python: the interpreters make win-python lays out, and what pip installs in them.
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="$root/build/win-python/prefix" WINEDEBUG=-all
program=(/usr/lib/wine/wine64 "$@")
# Under Wine 8 a program cannot open its standard streams when they are regular files (a
# log): it gets them through pipes then, each still going where it was sent.
if [ -f /dev/stdout ] || [ -f /dev/stderr ]; then
    { "${program[@]}" 2>&1 1>&3 3>&- | cat >&2; exit "${PIPESTATUS[0]}"; } 3>&1 | cat
    exit "${PIPESTATUS[0]}"
fi
exec "${program[@]}"
