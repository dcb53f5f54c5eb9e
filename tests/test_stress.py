"""Load, faults and long runs: frames stay intact, nothing crashes, nothing leaks."""

import ctypes
import os
import signal
import threading
import time

import numpy as np
import pytest

from quorvane import Ring

from conftest import RUN_PREFIX, SANITIZED, shm_path
import helpers

STRESS_SECONDS = float(os.environ.get("QUORVANE_STRESS_SECONDS", "20"))


def run_producer_and_consumers(name, spawn, consumers, seconds, kill_producer_after=None,
                               capacity=8, rows=64, cols=64, per_call=1):
    # The run is timed from when every process has attached: starting one may take seconds
    # (spawn imports NumPy afresh; under Wine more than the shorter runs last).
    attached = spawn.Barrier(2 + consumers)
    running, stop, results = spawn.RawValue(ctypes.c_bool, True), spawn.Event(), spawn.Queue()
    producer = spawn.Process(target=helpers.publish_stamped_frames,
                             args=(name, capacity, rows, cols, per_call, attached, running))
    readers = [spawn.Process(target=helpers.check_stamped_frames,
                             args=(name, capacity, rows, cols, attached, stop, results))
               for _ in range(consumers)]
    producer.start()
    for p in readers:
        p.start()
    try:
        attached.wait(timeout=60)
        if kill_producer_after is not None:
            time.sleep(kill_producer_after)
            producer.kill()  # SIGKILL: no clean-up of any kind
            producer.join(10)
        time.sleep(seconds - (kill_producer_after or 0))
        stop.set()
        outcomes = [results.get(timeout=60) for _ in readers]
    finally:
        stop.set()
        running.value = False
        for p in [producer, *readers]:
            p.join(30)
            if p.is_alive():
                p.kill()
    return producer.exitcode, [p.exitcode for p in readers], outcomes


# Several frames per call: while a call writes its second frame, the index must already
# name it, or a reader's re-check passes frames that are being overwritten. Few large
# slots make the oldest held frame the one being overwritten most of the time.
@pytest.mark.parametrize("consumers, seconds, geometry", [
    (2, 2, {}),
    (4, STRESS_SECONDS, {}),
    (2, 3, {"capacity": 4, "rows": 256, "cols": 256, "per_call": 2}),
    (2, 3, {"capacity": 4, "rows": 256, "cols": 256, "per_call": 3}),
], ids=["2 consumers", "4 consumers, long", "2 frames a call", "3 frames a call"])
def test_producer_and_consumer_processes_see_only_intact_frames(name, spawn, consumers, seconds,
                                                                geometry):
    producer_code, reader_codes, outcomes = run_producer_and_consumers(
        name, spawn, consumers=consumers, seconds=seconds, **geometry)
    assert producer_code == 0 and reader_codes == [0] * consumers
    for checked, mismatches in outcomes:
        assert checked > 100 and mismatches == 0


@pytest.mark.linux_only
def test_consumers_outlive_a_killed_producer_and_the_segment_goes_with_them(name, spawn):
    producer_code, reader_codes, outcomes = run_producer_and_consumers(
        name, spawn, consumers=2, seconds=4, kill_producer_after=2)
    assert producer_code == -signal.SIGKILL and reader_codes == [0, 0]
    for checked, mismatches in outcomes:
        assert checked > 0 and mismatches == 0
    assert not os.path.exists(shm_path(name))


def test_publisher_and_reader_threads_in_one_process(name):
    capacity, frame_bytes = 4, 256 << 10
    writer = Ring.create(name, capacity, frame_bytes)
    stop = threading.Event()
    results, errors = [], []

    def publish():
        payloads = np.random.default_rng(2).integers(0, 256, (7, frame_bytes - 16), np.uint8)
        frame = np.empty(frame_bytes, np.uint8)
        n = 0
        while not stop.is_set():
            helpers.stamp(frame, n, payloads[n % len(payloads)])
            writer.publish(frame)
            n += 1

    def read():
        try:
            ring = Ring.open(name, capacity, frame_bytes)  # a handle of its own
            slots = helpers.byte_slots(ring)
            checked = mismatches = seen = 0
            while not stop.is_set():
                w = ring.write_idx
                counts = helpers.check_held_frames(ring, slots, seen, w)
                checked, mismatches, seen = checked + counts[0], mismatches + counts[1], w
            results.append((checked, mismatches))
        except Exception as error:  # noqa: BLE001 - reported by the test
            errors.append(error)

    threads = [threading.Thread(target=publish)] + [threading.Thread(target=read) for _ in range(3)]
    for t in threads:
        t.start()
    time.sleep(3)
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == [] and len(results) == 3
    for checked, mismatches in results:
        assert checked > 0 and mismatches == 0


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.linux_only
def test_a_million_publishes_allocate_nothing(name):
    ring = Ring.create(name, 16, 64)
    frame = np.ones(16, np.float32)
    for _ in range(10_000):
        ring.publish(frame)  # warm every path first
    before = resident_bytes()
    for _ in range(1_000_000):
        ring.publish(frame)
    grown = resident_bytes() - before
    assert ring.write_idx == 1_010_000
    assert SANITIZED or grown < 1 << 20, f"resident memory grew by {grown} bytes"


@pytest.mark.linux_only
def test_create_open_release_cycles_leak_nothing(name):
    def fds():
        return len(os.listdir("/proc/self/fd"))

    def entries():  # this run's only: other runs and programs come and go in /dev/shm
        return sorted(n for n in os.listdir("/dev/shm") if n.startswith(RUN_PREFIX))

    Ring.create(name, 4, 16)  # warm up
    before = fds(), entries(), resident_bytes()
    for _ in range(10_000):
        ring = Ring.create(name, 4, 16)
        reader = Ring.open(name, 4, 16)
        np.asarray(reader.view_frame(1, 2, 2))
        del ring, reader
        with pytest.raises(RuntimeError):
            Ring.open(name, 4, 16)
    after = fds(), entries(), resident_bytes()
    assert after[:2] == before[:2]
    grown = after[2] - before[2]
    assert SANITIZED or grown < 1 << 20, f"resident memory grew by {grown} bytes"
