# The two commands of the README: `make demo` and `make test`. Everything they need is
# set up here: a .venv with Python 3.13, the build and test dependencies, the module; and
# the same in .venv-VERSION for each of the other Python versions found here.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
# The venv of PYTHON_VERSION: `make module PYTHON_VERSION=3.10` builds into .venv-3.10.
PYTHON_VERSION := 3.13
VENV := $(if $(filter 3.13,$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
PY := $(VENV)/bin/python
# The other versions the suite runs on here, each in its venv: its core (pytest -m core,
# chosen in tests/conftest.py), which keeps .ci/run within its time; 3.13 runs all of it.
# 3.14 is built and tested in the hosted workflow only.
OTHER_PYTHONS := 3.10 3.11 3.12
SUITE := $(if $(filter 3.13,$(PYTHON_VERSION)),,-m core)
NATIVE_BUILD := build/native
DOCTEST_HEADER := /usr/include/doctest/doctest.h

# Python $(1) from PATH, then pyenv (its newest), then /usr/bin; each candidate must really be $(1).
find-python = for p in "$$(command -v python$(1))" \
	$$(ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V -r) \
	/usr/bin/python$(1) /usr/local/bin/python$(1); do \
	[ -x "$$p" ] && "$$p" -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] != sys.argv[1])' "$(1)" 2>/dev/null \
	&& { echo "$$p"; exit 0; }; \
	done; exit 1

# Runs `make $(1) PYTHON_VERSION=V` for each V of OTHER_PYTHONS, all of them also after one
# failed, naming the failed ones. A version not found here is reported and skipped, except
# under CI (CI=true), which needs them all.
define for-other-pythons
	@failed=""; for version in $(OTHER_PYTHONS); do \
		if ( $(call find-python,$$version) ) >/dev/null; then \
			$(MAKE) $(1) PYTHON_VERSION=$$version || failed="$$failed $$version"; \
		elif [ "$${CI:-}" = true ]; then echo "error: Python $$version not found" >&2; failed="$$failed $$version"; \
		else echo "skipped Python $$version: not found (looked on PATH, in pyenv and in /usr/bin)"; fi; \
	done; [ -z "$$failed" ] || { echo "make $(1) failed on Python$$failed" >&2; exit 1; }
endef

.PHONY: demo browser test test-python test-other-pythons other-modules test-native test-wine test-asan test-as-not-linux win-python test-win-python test-installed lint module native-examples bench bench-wine dist dist-wheel test-dist-wheel dist-windows clean

demo: module
	$(PY) examples/demo.py

# Every suite runs, also after one failed; those that failed are named at the end.
TEST_SUITES := test-native test-wine test-python test-other-pythons test-win-python
test:
	@failed=""; for suite in $(TEST_SUITES); do $(MAKE) $$suite || failed="$$failed $$suite"; done; \
	[ -z "$$failed" ] || { echo "make test: failed:$$failed" >&2; exit 1; }

# The suite on PYTHON_VERSION: all of it on 3.13, which also runs the test across versions
# with each other version's venv (QUORVANE_PYTHONS: VERSION=PYTHON ...); its core elsewhere.
test-python: module native-examples browser $(if $(SUITE),,other-modules)
	QUORVANE_NATIVE_EXAMPLES=$(abspath $(NATIVE_EXAMPLES)) QUORVANE_PYTHONS="$(other-venvs)" \
		$(PY) -m pytest $(SUITE)

# The core of the suite on each other version.
test-other-pythons:
	$(call for-other-pythons,test-python)

# The module built into each other version's venv.
other-modules:
	$(call for-other-pythons,module)

# VERSION=PYTHON for each other version whose venv is there.
other-venvs = $$(for version in $(OTHER_PYTHONS); do [ ! -x .venv-$$version/bin/python ] || \
	printf "$$version=$(CURDIR)/.venv-$$version/bin/python "; done)

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
# The wheels hosted CI builds, one per Python version, platform and architecture; lint
# checks cibuildwheel agrees.
WHEEL_PYTHONS := cp310 cp311 cp312 cp313 cp314
WHEELS_linux := $(WHEEL_PYTHONS:%=%-manylinux_x86_64) $(WHEEL_PYTHONS:%=%-manylinux_aarch64)
WHEELS_windows := $(WHEEL_PYTHONS:%=%-win_amd64) $(WHEEL_PYTHONS:%=%-win_arm64)
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
	@python=$$($(call find-python,$(PYTHON_VERSION))) || { echo "error: Python $(PYTHON_VERSION) not found (looked on PATH, in pyenv and in /usr/bin); install it, e.g. 'pyenv install $(PYTHON_VERSION)'" >&2; exit 1; }; \
	echo "using $$python"; "$$python" -m venv $(VENV)
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

# What a package index takes: the sdist, and a wheel for each local Python version
# repaired by auditwheel into a manylinux tag, all checked; then each is installed in a
# fresh venv of its version (the sdist with build isolation, from the tarball alone, on
# 3.13) and the suite runs against that install: its core on the other versions, all of it
# on 3.13, which runs the test across versions with the other versions' installs. Then the
# Windows wheel (dist-windows).
DIST_CHECK := build/dist-check
dist: $(VENV)/.deps
	$(PY) -m pip install -q --group dist
	rm -rf dist $(DIST_CHECK)
	$(PY) -m validate_pyproject pyproject.toml
	$(PY) -m build --sdist --outdir dist .
	$(MAKE) dist-wheel
	$(call for-other-pythons,dist-wheel)
	PATH=$(abspath $(VENV))/bin:$$PATH auditwheel repair -w dist $(DIST_CHECK)/linux-wheel/*.whl
	$(VENV)/bin/twine check --strict dist/*
	$(VENV)/bin/check-wheel-contents dist/*.whl
	mkdir -p $(DIST_CHECK)/from-sdist && cp dist/*.tar.gz $(DIST_CHECK)/from-sdist/
	$(call for-other-pythons,test-dist-wheel)
	$(MAKE) test-dist-wheel QUORVANE_PYTHONS="$$(for version in $(OTHER_PYTHONS); do \
		python=$(abspath $(DIST_CHECK))/wheel-venv-$$version/bin/python; [ ! -x $$python ] || printf "$$version=$$python "; done)"
	$(MAKE) test-installed FROM=$$(ls $(abspath $(DIST_CHECK))/from-sdist/*.tar.gz) VENV_DIR=$(DIST_CHECK)/sdist-venv
	$(MAKE) dist-windows

# The wheel of PYTHON_VERSION, from the build folder make module keeps for it (the same
# options, so nothing is compiled again after make test).
dist-wheel: $(VENV)/.deps
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Ccmake.define.QUORVANE_WERROR=ON . \
		-w $(DIST_CHECK)/linux-wheel

# The repaired wheel of PYTHON_VERSION in dist/, tested in a new venv of its version.
test-dist-wheel:
	$(MAKE) test-installed FROM=$$(ls dist/*-cp$(subst .,,$(PYTHON_VERSION))-*.whl) \
		VENV_DIR=$(DIST_CHECK)/wheel-venv-$(PYTHON_VERSION) PYTHON_VERSION=$(PYTHON_VERSION)

# The Windows wheel, built as the Linux one is but cross, with mingw-w64; checked, then
# installed by pip in a fresh embeddable CPython under Wine and tested there
# (tests/windows/dist.sh). Skipped with one line where Wine and mingw-w64 cannot be
# installed, never under CI (CI=true).
dist-windows: $(VENV)/.deps
	$(PY) -m pip install -q --group dist
	$(call on-win-python,PY=$(PY) tests/windows/dist.sh,the Windows wheel)

# The suite (SUITE: all of it on 3.13, its core on other versions) against quorvane
# installed from FROM (a wheel or an sdist) into a new venv of PYTHON_VERSION; an sdist
# without pip's cache, which would otherwise hand back a wheel built from an older sdist at
# the same path.
test-installed:
	$(PY) -m venv $(VENV_DIR)
	$(VENV_DIR)/bin/pip install -q $(if $(filter %.tar.gz,$(FROM)),--no-cache-dir) \
		"quorvane[test,bridge,tools] @ file://$(abspath $(FROM))"
	cd $(VENV_DIR) && QUORVANE_MODULE_DIR=$$(bin/python -c "import sysconfig; print(sysconfig.get_path('platlib'))") \
		bin/python -m pytest -p no:cacheprovider $(SUITE) $(abspath tests)

clean:
	rm -rf build .venv $(OTHER_PYTHONS:%=.venv-%)
