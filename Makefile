# The two commands of the README: `make demo` and `make test`. Everything they need is
# set up here: a .venv with Python 3.13, the build and test dependencies, the module.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native

# Python 3.13 from PATH, then pyenv, then /usr/bin; each candidate must really be 3.13.
FIND_PYTHON := for p in "$$(command -v python3.13)" \
	$$(ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r) \
	/usr/bin/python3.13 /usr/local/bin/python3.13; do \
	[ -x "$$p" ] && "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null && { echo "$$p"; exit 0; }; \
	done; exit 1

.PHONY: demo test test-python test-native module bench clean

demo: module
	$(PY) examples/demo.py

test: test-native test-python

test-python: module
	$(PY) -m pytest

test-native: $(NATIVE_BUILD)/ring_tests
	$(NATIVE_BUILD)/ring_tests

# Benchmarks are not tests: they print what they measured, never fail on a timing.
bench: module
	cd bench && ../$(PY) publish.py && ../$(PY) views.py

$(VENV)/.deps: pyproject.toml
	@python313=$$($(FIND_PYTHON)) || { echo "error: Python 3.13 not found (looked on PATH, in pyenv and in /usr/bin); install it, e.g. 'pyenv install 3.13'" >&2; exit 1; }; \
	echo "using $$python313"; "$$python313" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4"
	touch $@

# Rebuilt every time (CMake's build folder keeps it incremental), with the test extras.
module: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation ".[test]"

DOCTEST_HEADER := /usr/include/doctest/doctest.h
$(DOCTEST_HEADER):
	@if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
		apt-get update -qq && apt-get install -y -qq doctest-dev >/dev/null; \
	else echo "error: the C++ tests need doctest: apt-get install doctest-dev (as root)" >&2; exit 1; fi

$(NATIVE_BUILD)/ring_tests: $(DOCTEST_HEADER) $(VENV)/.deps FORCE
	$(VENV)/bin/cmake --version >/dev/null 2>&1 && cmake=$(VENV)/bin/cmake || cmake=cmake; \
	$$cmake -S . -B $(NATIVE_BUILD) -DQUORVANE_NATIVE_TESTS=ON >/dev/null && $$cmake --build $(NATIVE_BUILD) -j2

FORCE:

clean:
	rm -rf build $(VENV)
