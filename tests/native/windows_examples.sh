#!/usr/bin/env bash
# The native package of the mingw-w64 build in BUILD (a folder under the project) installed
# in BUILD/install, and the examples built against it as a user's project builds them, in
# BUILD/examples, with the C library's DLL beside them, where Windows looks for it.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1
cmake --install "$build" --prefix "$build/install" >/dev/null
cmake -S examples/native -B "$build/examples" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$PWD/$build/install" -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$build/examples" -j2
cp "$build/install/bin/"*.dll "$build/examples/"
