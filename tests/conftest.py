import multiprocessing
import os
import socket
import sys
import uuid

import pytest

from quorvane import Ring

# The one place that decides what runs where. Tests marked linux_only need the Linux layer
# itself (its files in /dev/shm, fork, signals, /proc); every other test runs everywhere.
# QUORVANE_TEST_AS_NOT_LINUX=1 runs the suite here as it runs on Windows.
ON_LINUX = sys.platform == "linux" and os.environ.get("QUORVANE_TEST_AS_NOT_LINUX") != "1"
SHM = "/dev/shm"
# Set by make test-asan: the sanitizers replace the allocator (freed memory waits in a
# quarantine), so resident memory says nothing about leaks there.
SANITIZED = bool(os.environ.get("QUORVANE_SANITIZED_BUILD"))
# Set by make test: the folder of the native examples, built against the installed package.
NATIVE_EXAMPLES = os.environ.get("QUORVANE_NATIVE_EXAMPLES")
needs_native_examples = pytest.mark.skipif(not NATIVE_EXAMPLES,
                                           reason="the native examples are built by make test")
# Set by make test (and by make dist for its 3.13 run): the other Python versions' venvs, each
# with this build in it, as "VERSION=PYTHON ..." (3.10=.venv-3.10/bin/python), for the tests
# across versions.
OTHER_PYTHONS = dict(pair.split("=", 1) for pair in os.environ.get("QUORVANE_PYTHONS", "").split())
# The C library the native examples use, as make test lays them out.
C_LIBRARY = None if not NATIVE_EXAMPLES else (
    os.path.join(NATIVE_EXAMPLES, "libquorvane_c.dll") if sys.platform == "win32" else
    os.path.join(NATIVE_EXAMPLES, os.pardir, "native-install", "lib", "libquorvane_c.so"))


# The core of the suite: what make test and make dist run on the Python versions other than
# 3.13 (`pytest -m core`), to keep CI within its time; 3.13 runs everything, and the hosted
# workflow everything on every version. Left out, as FILE or FILE::TEST: the longest, which
# test no Python version's ways (the stress tests: the core's ordering under load; the
# pages' commands, written for 3.13), and the checks of the stubs and the annotations.
NOT_CORE = ("test_stress.py", "test_docs.py", "test_examples.py::test_stubs_match_the_module",
            "test_examples.py::test_examples_and_companions_type_check_strictly")


def pytest_configure(config):
    config.addinivalue_line("markers", "linux_only: needs the Linux layer; skipped elsewhere")
    config.addinivalue_line("markers", "core: in the core of the suite (all but NOT_CORE)")
    # The suite must test the build it was pointed at (the sanitized build, an installed
    # wheel), never another one found on the path; reached through a link to it (the docs
    # test's scratch .venv) it is still that build.
    expected = os.environ.get("QUORVANE_MODULE_DIR")
    if expected:
        import quorvane
        import quorvane_reader._native

        for module in (quorvane, quorvane_reader._native):
            found = os.path.realpath(module.__file__)
            assert found.startswith(os.path.realpath(expected) + os.sep), module.__file__


def pytest_itemcollected(item):
    if not f"{item.path.name}::{item.originalname}".startswith(NOT_CORE):
        item.add_marker(pytest.mark.core)


def pytest_collection_modifyitems(config, items):
    if not ON_LINUX:
        skip = pytest.mark.skip(reason="needs Linux")
        for item in items:
            if "linux_only" in item.keywords:
                item.add_marker(skip)


def shm_path(name: str) -> str:
    return os.path.join(SHM, name)


def segment_exists(name: str) -> bool:
    """Whether a segment of this name is still alive: its file on Linux; elsewhere, whether
    it can still be opened (the probe's own handle is dropped at once)."""
    if ON_LINUX:
        return os.path.exists(shm_path(name))
    try:
        Ring.open(name, 1, 1)
    except RuntimeError:
        return False
    return True


# Every name this run makes starts with this, so that checks for leftovers count only ours,
# never those of another run on the same host.
RUN_PREFIX = f"qv_test_{uuid.uuid4().hex[:8]}_"


@pytest.fixture
def name():
    """A fresh segment name; the test fails if the segment outlives it."""
    ring_name = f"{RUN_PREFIX}{uuid.uuid4().hex[:8]}"
    yield ring_name
    assert not segment_exists(ring_name), f"segment {ring_name} left behind"


@pytest.fixture(scope="session")
def spawn():
    return multiprocessing.get_context("spawn")


def run_in_child(spawn, target, *args, timeout=60):
    """Runs target(*args) in a spawned process; returns its exit code (negative: a signal)."""
    child = spawn.Process(target=target, args=args)
    child.start()
    child.join(timeout)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail(f"{target.__name__} did not finish in {timeout} s")
    return child.exitcode


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on at the moment."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
