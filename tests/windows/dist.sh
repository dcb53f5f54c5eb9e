#!/usr/bin/env bash
# make dist-windows, once make win-python has laid out build/win-python: the cp313-win_amd64
# wheel, built as the Linux one is (scikit-build-core, from pyproject.toml) but cross:
# mingw-w64 against that Windows Python, the platform tag told by _PYTHON_HOST_PLATFORM.
# Checked as an index checks it, then installed as a user installs it, under Wine: pip, run
# from its own wheel, installs it with the test and tools extras into a fresh copy of the
# embeddable CPython (build/win-python/wheel-python), from the wheels make win-python
# fetched and no index; then the `quorvane` command starts, and the suite runs against that
# install. The bridge extra is left out: zenoh's Windows build needs bcryptprimitives.dll,
# which Wine 8 lacks, so the bridge tests skip there.
set -euo pipefail
cd "$(dirname "$0")/../.."
host_python=${PY:-.venv/bin/python}
rm -f dist/*-win_amd64.whl
_PYTHON_HOST_PLATFORM=win-amd64 "$host_python" -m pip wheel -q --no-build-isolation --no-deps . -w dist \
    -Ccmake.args=--toolchain="$PWD/cmake/windows-python/toolchain.cmake" \
    -Ccmake.python-hints=false -Ccmake.define.QUORVANE_WERROR=OFF
wheel=$(realpath dist/*-win_amd64.whl)
"$host_python" -m twine check --strict "$wheel"
"$host_python" -m check_wheel_contents "$wheel"

out=build/win-python
python=$out/wheel-python
rm -rf "$python" && cp -r "$out/embed" "$python"
printf 'python313.zip\n.\nLib\\site-packages\n' >"$python/python313._pth"
run=(tests/windows/wine_run.sh "$python/python.exe")
"${run[@]}" "$(ls "$out"/downloads/pip/pip-*.whl)/pip" install -q --no-index --no-warn-script-location \
    --find-links "$out/downloads/wheels" "quorvane[test,tools] @ file://$wheel"
tests/windows/wine_run.sh "$python/Scripts/quorvane.exe" --help >/dev/null
platlib=$("${run[@]}" -c "import sysconfig; print(sysconfig.get_path('platlib'), end='')")
# Away from the checkout, as test-installed runs the Linux wheel's suite.
cd "$python" && QUORVANE_MODULE_DIR=$platlib ../../../tests/windows/wine_run.sh python.exe \
    -m pytest -p no:cacheprovider ../../../tests
