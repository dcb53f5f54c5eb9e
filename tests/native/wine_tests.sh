#!/usr/bin/env bash
# The native suite against the Win32 layer: cross-compiled with mingw-w64 through the
# project's CMake build, run under Wine. Skips with one line when the tools cannot be
# had here; under CI (CI=true) it never skips.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/wine
wine=/usr/lib/wine/wine64
compiler=x86_64-w64-mingw32-g++-posix

if ! command -v "$compiler" >/dev/null || [ ! -x "$wine" ] || [ ! -f /usr/include/doctest/doctest.h ]; then
    status=0
    tests/native/apt_install.sh wine64 g++-mingw-w64-x86-64-posix doctest-dev || status=$?
    if [ "$status" != 0 ]; then
        if [ "${CI:-}" = true ]; then
            echo "error: the Windows layer tests need wine64, g++-mingw-w64-x86-64-posix and doctest-dev" >&2
            exit 1
        fi
        echo "skipped the Windows layer tests: wine64, g++-mingw-w64-x86-64-posix and doctest-dev are missing and cannot be installed here (needs root and apt-get)"
        exit 0
    fi
fi

# doctest is header-only; the cross compiler must see it without the rest of /usr/include.
mkdir -p "$build/include"
ln -sfn /usr/include/doctest "$build/include/doctest"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DQUORVANE_NATIVE_TESTS=ON -DQUORVANE_WERROR=ON -DDOCTEST_INCLUDE_DIR="$PWD/$build/include" >/dev/null
cmake --build "$build" -j2
# The first start makes the Wine prefix and prints a harmless line about rundll32.exe.
WINEPREFIX="$PWD/$build/prefix" WINEDEBUG=-all "$wine" "$build/ring_tests.exe"

# The examples built against the installed package, and the C++ producer feeding the C
# consumer as two Windows processes.
tests/native/windows_examples.sh "$build"
pair="qv_wine_pair_$$"
geometry=(--rows 48 --cols 64)
WINEPREFIX="$PWD/$build/prefix" WINEDEBUG=-all "$wine" "$build/examples/consumer.exe" "$pair" \
    "${geometry[@]}" --frames 1000 --timeout 30 &
consumer=$!
WINEPREFIX="$PWD/$build/prefix" WINEDEBUG=-all "$wine" "$build/examples/producer.exe" "$pair" \
    "${geometry[@]}" --capacity 8 --fps 500 --frames 1000
wait "$consumer"
