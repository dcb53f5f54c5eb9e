import multiprocessing
import os
import uuid

import pytest

SHM = "/dev/shm"
# Set by make test-asan: the sanitizers replace the allocator (freed memory waits in a
# quarantine), so resident memory says nothing about leaks there.
SANITIZED = bool(os.environ.get("QUORVANE_SANITIZED_BUILD"))


def pytest_configure(config):
    # make test-asan runs the suite against the sanitized build; make sure it really does.
    if SANITIZED:
        expected = os.environ["QUORVANE_SANITIZED_BUILD"]
        import quorvane
        import quorvane_reader._native

        for module in (quorvane, quorvane_reader._native):
            assert module.__file__.startswith(expected + os.sep), module.__file__


def shm_path(name: str) -> str:
    return os.path.join(SHM, name)


@pytest.fixture
def name():
    """A fresh segment name; the test fails if the segment outlives it."""
    ring_name = f"qv_test_{uuid.uuid4().hex[:12]}"
    yield ring_name
    assert not os.path.exists(shm_path(ring_name)), f"segment {ring_name} left behind"


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
