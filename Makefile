# The two commands of the README: `make demo` and `make test`. Everything they need is
# set up here: a .venv with Python 3.13, the build and test dependencies, the module.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native
DOCTEST_HEADER := /usr/include/doctest/doctest.h

# Python 3.13 from PATH, then pyenv, then /usr/bin; each candidate must really be 3.13.
FIND_PYTHON := for p in "$$(command -v python3.13)" \
	$$(ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r) \
	/usr/bin/python3.13 /usr/local/bin/python3.13; do \
	[ -x "$$p" ] && "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null && { echo "$$p"; exit 0; }; \
	done; exit 1

.PHONY: demo browser test test-python test-native test-wine test-asan test-as-not-linux win-python test-win-python test-installed lint module native-examples bench bench-wine dist dist-windows clean

demo: module
	$(PY) examples/demo.py

# Every suite runs, also after one failed; those that failed are named at the end.
TEST_SUITES := test-native test-wine test-python test-win-python
test:
	@failed=""; for suite in $(TEST_SUITES); do $(MAKE) $$suite || failed="$$failed $$suite"; done; \
	[ -z "$$failed" ] || { echo "make test: failed:$$failed" >&2; exit 1; }

test-python: module native-examples browser
	QUORVANE_NATIVE_EXAMPLES=$(abspath $(NATIVE_EXAMPLES)) $(PY) -m pytest

# Debian's chromium, which the view test drives headless; that one test is skipped where it
# cannot be installed (not root, no apt-get), except under CI (CI=true), which needs it.
browser:
	@command -v chromium >/dev/null || tests/native/apt_install.sh chromium || \
		{ [ "$${CI:-}" != true ] || { echo "error: the browser test needs chromium" >&2; exit 1; }; \
		echo "the browser test will be skipped: chromium is missing and cannot be installed here (needs root and apt-get)"; }

test-native: $(NATIVE_BUILD)/ring_tests
	$(NATIVE_BUILD)/ring_tests

# The Python suite as it runs on Windows: the tests that need Linux are skipped, the
# others check segments through the module only.
test-as-not-linux: module
	QUORVANE_TEST_AS_NOT_LINUX=1 $(PY) -m pytest

# The same C++ suite against the Win32 layer, under Wine.
test-wine:
	tests/native/wine_tests.sh

# The Windows CPython 3.13 (the embeddable one from PyPI) with NumPy, pytest and our
# modules cross-built by mingw-w64, and the C library with the native examples built against
# it; build/win-python/run ARGS runs that Python under Wine.
WIN_PYTHON := build/win-python
win-python: $(VENV)/.deps
	@PY=$(PY) tests/windows/win_python.sh || { status=$$?; \
		[ $$status != 3 ] || echo "error: make win-python needs wine64 and g++-mingw-w64-x86-64-posix (apt-get install, as root)" >&2; exit $$status; }

# Runs $(1) once the Windows Python is laid out; where Wine and mingw-w64 cannot be
# installed, says in one line that $(2) was skipped, except under CI (CI=true).
define on-win-python
	@status=0; PY=$(PY) tests/windows/win_python.sh || status=$$?; \
	if [ $$status = 0 ]; then $(1); \
	elif [ $$status = 3 ] && [ "$${CI:-}" != true ]; then \
		echo "skipped $(2): wine64 and g++-mingw-w64-x86-64-posix are missing and cannot be installed here (needs root and apt-get)"; \
	else [ $$status != 3 ] || echo "error: $(2) needs wine64 and g++-mingw-w64-x86-64-posix" >&2; exit $$status; fi
endef

# The Python suite on that Windows Python (Linux-only tests skip themselves there), with the
# Windows builds of the native examples, after the Linux run in make test.
test-win-python: $(VENV)/.deps
	$(call on-win-python,QUORVANE_NATIVE_EXAMPLES=$(abspath $(WIN_PYTHON)/cmake/examples) \
		$(WIN_PYTHON)/run -m pytest -p no:cacheprovider tests,the Python suite on Windows)

# Every test again with the module and the C++ suite built with ASan and UBSan. Python
# itself is not instrumented, so the runtime is preloaded and its leak report (CPython
# keeps memory until exit by design) is off for Python; the C++ suite keeps it.
ASAN_BUILD := build/asan
SANITIZER_OPTIONS := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan: module $(DOCTEST_HEADER)
	cmake -S . -B $(ASAN_BUILD) -DQUORVANE_SANITIZE=ON -DQUORVANE_NATIVE_TESTS=ON -DQUORVANE_WERROR=ON \
		-DQUORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
		-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build $(ASAN_BUILD) -j2
	cp python/quorvane_reader/*.py $(ASAN_BUILD)/quorvane_reader/
	mkdir -p $(ASAN_BUILD)/quorvane_bridge && cp python/quorvane_bridge/*.py $(ASAN_BUILD)/quorvane_bridge/
	mkdir -p $(ASAN_BUILD)/quorvane_tools && cp python/quorvane_tools/*.py $(ASAN_BUILD)/quorvane_tools/
	$(SANITIZER_OPTIONS) ASAN_OPTIONS=detect_leaks=1 $(ASAN_BUILD)/ring_tests
	$(SANITIZER_OPTIONS) ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so) \
		PYTHONPATH=$(abspath $(ASAN_BUILD)) QUORVANE_STRESS_SECONDS=5 QUORVANE_SANITIZED_BUILD=1 \
		QUORVANE_MODULE_DIR=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -p no:cacheprovider

# clang-format and clang-tidy over our own C++ (ring/, capi/ and the two extensions under
# python/), configured by the committed .clang-format and .clang-tidy; actionlint over the
# workflows. clang 14 needs telling that CPython 3.13's headers may use the GCC atomic
# builtins it has.
LINT_BUILD := build/lint
# The wheels hosted CI builds, one per platform and architecture; lint checks cibuildwheel
# agrees.
WHEELS_linux := cp313-manylinux_x86_64 cp313-manylinux_aarch64
WHEELS_windows := cp313-win_amd64 cp313-win_arm64
LINT_SOURCES := ring/platform/*.hpp ring/include/quorvane/*.hpp ring/shm_ring.cpp ring/platform/named_mapping_posix.cpp \
	python/quorvane/*.hpp python/quorvane/quorvane.cpp python/quorvane_reader/_native.cpp capi/ring_c.cpp
lint: $(VENV)/.deps
	command -v clang-tidy >/dev/null && command -v clang-format >/dev/null || \
		tests/native/apt_install.sh clang-tidy clang-format || \
		{ echo "error: make lint needs clang-tidy and clang-format (apt-get install clang-tidy clang-format)" >&2; exit 1; }
	clang-format --dry-run -Werror $(LINT_SOURCES) ring/platform/named_mapping_win32.cpp tests/windows/abi_check.cpp capi/include/quorvane/quorvane.h \
		examples/native/*.cpp examples/native/*.c examples/native/*.h
	cmake -S . -B $(LINT_BUILD) -DQUORVANE_BUILD_MODULE=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	clang-tidy --quiet -p $(LINT_BUILD) --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 \
		--extra-arg=-Wno-ignored-optimization-argument $(filter %.cpp,$(wildcard $(LINT_SOURCES)))
	$(PY) -m pip install -q --group lint
	$(VENV)/bin/actionlint .github/workflows/*.yml
	$(foreach platform,linux windows,\
		builds="$$($(VENV)/bin/cibuildwheel --print-build-identifiers --platform $(platform) | xargs)"; \
		[ "$$builds" = "$(WHEELS_$(platform))" ] || { echo "error: cibuildwheel would build '$$builds' for $(platform), not '$(WHEELS_$(platform))'" >&2; exit 1; };)

# Benchmarks are not tests: they print what they measured and write it to bench/results*.md,
# never failing on a timing.
# Each peer is installed on its own: one that cannot be is reported by e2e.py, not fatal.
bench: module native-examples
	for package in $$($(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench'])"); do \
		$(PY) -m pip install -q "$$package" || echo "could not install $$package: its benchmark is skipped"; done
	cd bench && ../$(PY) publish.py && ../$(PY) views.py && ../$(PY) wait.py && ../$(PY) e2e.py \
		&& ../$(PY) bridge.py && ../$(PY) bridge.py --link-gbit 10 && ../$(PY) bridge.py --link-gbit 1

# The benchmarks that make sense on Windows (publish, views), once on the Windows Python
# under Wine; bench/wine.py writes what they measured to bench/results-wine.md.
bench-wine: win-python
	cd bench && QUORVANE_C_LIBRARY=$(abspath $(WIN_PYTHON)/cmake/libquorvane_c.dll) ../$(WIN_PYTHON)/run wine.py

$(VENV)/.deps: pyproject.toml
	@python313=$$($(FIND_PYTHON)) || { echo "error: Python 3.13 not found (looked on PATH, in pyenv and in /usr/bin); install it, e.g. 'pyenv install 3.13'" >&2; exit 1; }; \
	echo "using $$python313"; "$$python313" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.12" "pybind11>=3.0,<4"
	touch $@

# Rebuilt every time (CMake's build folder keeps it incremental), with the test, bridge
# and tools extras.
module: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.QUORVANE_WERROR=ON ".[test,bridge,tools]"

$(DOCTEST_HEADER):
	@tests/native/apt_install.sh doctest-dev || \
		{ echo "error: the C++ tests need doctest: apt-get install doctest-dev (as root)" >&2; exit 1; }

$(NATIVE_BUILD)/ring_tests: $(DOCTEST_HEADER) FORCE
	cmake -S . -B $(NATIVE_BUILD) -DQUORVANE_NATIVE_TESTS=ON -DQUORVANE_WERROR=ON >/dev/null
	cmake --build $(NATIVE_BUILD) -j2

# The native package installed as a user installs it, and the examples built against it by
# their own CMake project; the Python suite runs them against Python readers and producers.
NATIVE_INSTALL := build/native-install
NATIVE_EXAMPLES := build/native-examples
native-examples: $(NATIVE_BUILD)/ring_tests
	cmake --install $(NATIVE_BUILD) --prefix $(NATIVE_INSTALL) >/dev/null
	cmake -S examples/native -B $(NATIVE_EXAMPLES) -DCMAKE_PREFIX_PATH=$(abspath $(NATIVE_INSTALL)) \
		-DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
	cmake --build $(NATIVE_EXAMPLES) -j2

FORCE:

# What a package index takes: the sdist, and a wheel repaired by auditwheel into a
# manylinux tag, both checked; then each is installed in a fresh venv (the sdist with
# build isolation, from the tarball alone) and the suite runs against that install. Then
# the Windows wheel (dist-windows).
DIST_CHECK := build/dist-check
dist: $(VENV)/.deps
	$(PY) -m pip install -q --group dist
	rm -rf dist $(DIST_CHECK)
	$(PY) -m validate_pyproject pyproject.toml
	$(PY) -m build --sdist --outdir dist .
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Ccmake.define.QUORVANE_WERROR=OFF . \
		-w $(DIST_CHECK)/linux-wheel
	PATH=$(abspath $(VENV))/bin:$$PATH auditwheel repair -w dist $(DIST_CHECK)/linux-wheel/*.whl
	$(VENV)/bin/twine check --strict dist/*
	$(VENV)/bin/check-wheel-contents dist/*.whl
	mkdir -p $(DIST_CHECK)/from-sdist && cp dist/*.tar.gz $(DIST_CHECK)/from-sdist/
	$(MAKE) test-installed FROM=$$(ls dist/*.whl) VENV_DIR=$(DIST_CHECK)/wheel-venv
	$(MAKE) test-installed FROM=$$(ls $(abspath $(DIST_CHECK))/from-sdist/*.tar.gz) VENV_DIR=$(DIST_CHECK)/sdist-venv
	$(MAKE) dist-windows

# The Windows wheel, built as the Linux one is but cross, with mingw-w64; checked, then
# installed by pip in a fresh embeddable CPython under Wine and tested there
# (tests/windows/dist.sh). Skipped with one line where Wine and mingw-w64 cannot be
# installed, never under CI (CI=true).
dist-windows: $(VENV)/.deps
	$(PY) -m pip install -q --group dist
	$(call on-win-python,PY=$(PY) tests/windows/dist.sh,the Windows wheel)

# The suite against quorvane installed from FROM (a wheel or an sdist) into a new venv;
# without pip's cache, which would otherwise hand back a wheel built from an older sdist
# at the same path.
test-installed:
	$(PY) -m venv $(VENV_DIR)
	$(VENV_DIR)/bin/pip install -q --no-cache-dir "quorvane[test,bridge,tools] @ file://$(abspath $(FROM))"
	cd $(VENV_DIR) && QUORVANE_MODULE_DIR=$$(bin/python -c "import sysconfig; print(sysconfig.get_path('platlib'))") \
		bin/python -m pytest -p no:cacheprovider $(abspath tests)

clean:
	rm -rf build $(VENV)
