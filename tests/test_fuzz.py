"""Random call sequences on every member, with arguments across their whole range, run
in a child process: every failure must be a TypeError or one of the module's own
RuntimeErrors, results must be consistent, and nothing may crash."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fuzz_worker
from conftest import segment_exists

EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "300"))
BASE = f"qv_fuzz_{os.getpid()}"

# Interesting edges, small values, and sizes far beyond any machine: a huge factor
# (>= 2**40) times any other positive one never fits in memory, so no fuzzed ring is
# ever large enough to hurt the machine.
HUGE = [2**40, 2**47, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**70]
sizes = st.one_of(st.integers(0, 12), st.integers(-3, 40),
                  st.sampled_from(HUGE + [-(2**63), -(2**64)]))
signed = st.one_of(st.integers(0, 8), st.integers(-5, 40),
                   st.sampled_from(HUGE + [-(2**63), -(2**63) - 1]))
not_ints = st.sampled_from([None, 1.5, "3", b"3", [1], np.float64(2.0)])
numbers = st.one_of(sizes, not_ints, st.integers(0, 40).map(np.uint16))
names = st.sampled_from([
    BASE + "_a", BASE + "_b", (BASE + "_a").encode(), bytearray((BASE + "_b").encode()),
    BASE + "_a\0tail", BASE + "_é", "", "/", "../x", "a/b", ".", "..", "x" * 300,
    None, 7,
])
arrays = st.one_of(
    st.fixed_dictionaries({
        "shape": st.lists(st.integers(0, 6), max_size=3).map(tuple),
        "dtype": st.sampled_from(["uint8", "int16", "float32", "float64", "complex64", "bool"]),
        "fortran": st.booleans(),
        "step": st.integers(1, 2),
        "readonly": st.booleans(),
    }),
    st.sampled_from([None, [1.0, 2.0], b"12345678", 3]),
)
usable_ring = st.tuples(st.sampled_from(["create", "open"]),
                        st.tuples(st.sampled_from([BASE + "_a", BASE + "_b"]), st.integers(1, 8),
                                  st.sampled_from([4, 8, 12, 16, 24, 64])))
steps = st.one_of(
    usable_ring,
    st.tuples(st.sampled_from(["create", "open"]), st.tuples(names, numbers, numbers)),
    st.tuples(st.just("props"), st.tuples(st.integers(0, 3))),
    st.tuples(st.just("publish"), st.tuples(st.integers(0, 3), arrays)),
    st.tuples(st.just("view_frame"), st.tuples(st.integers(0, 3), sizes, signed, signed)),
    st.tuples(st.just("view_window"),
              st.tuples(st.integers(0, 3), sizes, sizes, signed, signed)),
    st.tuples(st.just("drop"), st.tuples(st.integers(0, 3))),
    st.tuples(st.just("new"), st.just(())),
)
programs = st.tuples(usable_ring, st.lists(steps, max_size=25)).map(
    lambda first_and_rest: [first_and_rest[0], *first_and_rest[1]])


@pytest.fixture(scope="module")
def worker(spawn):
    parent_end, child_end = spawn.Pipe()
    process = spawn.Process(target=fuzz_worker.serve, args=(child_end,))
    process.start()
    yield parent_end, process
    if process.is_alive():
        parent_end.send(None)
        process.join(30)
    leftovers = [n for n in (BASE + "_a", BASE + "_b", BASE + "_é") if segment_exists(n)]
    assert not leftovers, f"fuzzing left segments behind: {leftovers}"


# A slow machine (or the sanitizer build) must not turn generation speed into a failure.
@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                 HealthCheck.data_too_large])
@given(program=programs)
def test_fuzzed_call_sequences(worker, program):
    connection, process = worker
    connection.send(program)
    if not connection.poll(60):
        pytest.fail(f"worker hung on {program!r}")
    try:
        complaints, _, _ = connection.recv()
    except EOFError:
        process.join(5)
        pytest.fail(f"worker died (exit code {process.exitcode}) on {program!r}")
    assert complaints == []
