"""Publishing bandwidth and per-call time against copies into multiprocessing.shared_memory.

Baselines, measured in the same run with the same slot count and source bytes:
  copyto  numpy.copyto into ndarray slots over a SharedMemory block (the memcpy limit).
          The block is the ring's own segment, attached by name: at large frames the
          bandwidth depends on which physical pages a block got (the first large
          allocation of a run is measurably slower), so only the same pages compare
          the copying code alone.
  byhand  the ring a user writes by hand on its own SharedMemory block: ndarray slots
          plus a uint64 index stored after the copy

Then typed against untyped: quorvane_reader.Producer.publish (the dtype and shape checked,
the frame stamped) against Ring.publish of the same bytes into the same ring, interleaved,
for a 1 MiB mono frame and a 1080p RGB one (both uint8).

Then 64 B publishes a millisecond apart, each timed alone: with no reader, and with a reader
in another process asleep on the ring, which each of them wakes (with none, publish makes
no system call).

Then 64 B publishes beside a second thread that creates and drops a large ring over and
over, against the same publishes alone: a publish must never wait for another thread's
create or release. Both threads go through the C library (ctypes lets go of the
interpreter lock in every call; Ring.create keeps it, so Python threads would measure
that lock instead). Times are per call as Python sees them, ctypes' own cost included.
"""

import argparse
import ctypes
import itertools
import multiprocessing as mp
import statistics
import threading
import time
import uuid
from multiprocessing import shared_memory

import numpy as np

import quorvane
import quorvane_reader
import report
from timing import format_bytes, seconds_per_call
from transports import create_in_c

SIZES = [64, 4 << 10, 64 << 10, 1 << 20, 16 << 20]
TYPED = {"1 MiB mono": (1024, 1024), "1080p RGB": (1080, 1920, 3)}  # uint8


def wait_on(name, ready, stop):
    """A reader that waits for every frame: asleep on the ring between them."""
    reader = quorvane_reader.Reader(quorvane_reader.attach(name, timeout=30), 1, 16)
    ready.set()
    while not stop.is_set():
        try:
            reader.next(timeout=0.1)
        except TimeoutError:
            pass


def spaced_publish_times(capacity, with_sleeper, count=1000):
    """Median and 99th percentile seconds of 64 B publishes made 1 ms apart, while a reader
    in another process waits on the ring (with_sleeper) or with none."""
    name = f"qv_bench_{uuid.uuid4().hex[:8]}"
    ring = quorvane.Ring.create(name, capacity, 64)
    source = np.zeros(16, np.float32)
    ctx = mp.get_context("spawn")
    ready, stop = ctx.Event(), ctx.Event()
    reader = ctx.Process(target=wait_on, args=(name, ready, stop))
    if with_sleeper:
        reader.start()
        ready.wait(30)
    times = []
    try:
        for _ in range(count):
            time.sleep(0.001)
            start = time.perf_counter()
            ring.publish(source)
            times.append(time.perf_counter() - start)
    finally:
        stop.set()
        if with_sleeper:
            reader.join(30)
    return statistics.median(times), sorted(times)[int(0.99 * count)]


def measure(frame_bytes, capacity):
    source = np.random.default_rng(0).random(frame_bytes // 4, dtype=np.float32)
    source_bytes = source.view(np.uint8)
    name = f"qv_bench_{uuid.uuid4().hex[:8]}"
    ring = quorvane.Ring.create(name, capacity, frame_bytes)
    same_pages = shared_memory.SharedMemory(name, track=False)
    shm = shared_memory.SharedMemory(create=True, size=8 + capacity * frame_bytes)
    try:
        ring_slots = np.ndarray((capacity, frame_bytes), np.uint8, buffer=same_pages.buf,
                                offset=24)
        slot_cycle = itertools.cycle(list(ring_slots))
        index = np.ndarray((1,), np.uint64, buffer=shm.buf)
        slots = np.ndarray((capacity, frame_bytes), np.uint8, buffer=shm.buf, offset=8)

        def copyto():
            np.copyto(next(slot_cycle), source_bytes)

        def byhand():
            w = int(index[0])
            np.copyto(slots[w % capacity], source_bytes)
            index[0] = w + 1

        calls = {"quorvane": lambda: ring.publish(source), "copyto": copyto, "byhand": byhand}
        for warm in calls.values():
            for _ in range(2 * capacity):
                warm()  # every page touched before timing
        times = seconds_per_call(calls)
        del ring_slots, slot_cycle, index, slots
    finally:
        same_pages.close()
        shm.close()
        shm.unlink()
    return times


def typed_against_untyped(shape, capacity):
    """Seconds per publish of one uint8 frame of `shape`: typed and untyped, one ring."""
    name = f"qv_bench_{uuid.uuid4().hex[:8]}"
    producer = quorvane_reader.Producer.create(name, capacity, shape, np.uint8)
    frame = np.random.default_rng(0).integers(0, 256, shape, np.uint8)
    ring = producer.ring
    calls = {"typed": lambda: producer.publish(frame), "untyped": lambda: ring.publish(frame)}
    for warm in calls.values():
        for _ in range(2 * capacity):
            warm()
    times = seconds_per_call(calls)
    producer.close()
    return times


def publish_times(seconds, beside_bytes):
    """Seconds per 64 B publish through the C library for `seconds`, while another thread
    creates and drops a ring of `beside_bytes` (none if 0); and how many creates it made."""
    lib, ring = create_in_c(f"qv_bench_{uuid.uuid4().hex[:8]}", 8, 64)
    lib.quorvane_publish.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64]
    frame = ctypes.create_string_buffer(64)
    stop, creates = threading.Event(), [0]

    def create_and_drop():
        name = f"qv_bench_big_{uuid.uuid4().hex[:8]}"
        while not stop.is_set():
            big = create_in_c(name, beside_bytes // (1 << 20), 1 << 20)[1]
            lib.quorvane_release(big)
            creates[0] += 1

    beside = threading.Thread(target=create_and_drop)
    if beside_bytes:
        beside.start()
    times = []
    clock = time.perf_counter
    end = clock() + seconds
    try:
        while (start := clock()) < end:
            lib.quorvane_publish(ring, frame, 64)
            times.append(clock() - start)
    finally:
        stop.set()
        if beside_bytes:
            beside.join()
        lib.quorvane_release(ring)
    return times, creates[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--capacity", type=int, default=8)
    parser.add_argument("--beside-gib", type=float, default=1.0,
                        help="size of the ring the second thread creates and drops")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    rows = []
    for size in SIZES:
        t = measure(size, args.capacity)
        gbps = {k: size / v / 1e9 for k, v in t.items()}
        rows.append([format_bytes(size),
                     f"{t['quorvane'] * 1e6:.2f} µs ({gbps['quorvane']:.1f} GB/s)",
                     f"{t['copyto'] * 1e6:.2f} µs", f"{t['byhand'] * 1e6:.2f} µs",
                     f"{gbps['quorvane'] / gbps['copyto']:.2f}× the bandwidth",
                     f"{t['quorvane'] / t['byhand']:.2f}× the time"])
    lines = [f"Time per `publish` into a ring of {args.capacity} slots, best of 9, interleaved, "
             "against `numpy.copyto` into the same shared pages and a ring written by hand "
             "(ndarray slots plus a uint64 index stored after the copy); the method is in "
             "bench/publish.py.", "",
             *report.table(["frame", "quorvane", "numpy.copyto", "by hand",
                            "vs `numpy.copyto`", "vs the hand-written ring"], rows)]

    typed = []
    for case, shape in TYPED.items():
        t = typed_against_untyped(shape, args.capacity)
        size = int(np.prod(shape))
        typed.append([case, format_bytes(size),
                      f"{t['typed'] * 1e6:.2f} µs ({size / t['typed'] / 1e9:.1f} GB/s)",
                      f"{t['untyped'] * 1e6:.2f} µs ({size / t['untyped'] / 1e9:.1f} GB/s)",
                      f"{t['untyped'] / t['typed']:.2f}× the bandwidth"])
    lines += ["", "A typed producer's `publish` (dtype and shape checked, the frame stamped with "
              "`time.time_ns()`) against `Ring.publish` of the same uint8 frame into the same "
              "ring, best of 9, interleaved:", "",
              *report.table(["frame", "bytes", "typed", "untyped", "typed vs untyped"], typed)]

    spaced = [[case, *(f"{t * 1e6:.2f} µs" for t in spaced_publish_times(args.capacity, sleeper))]
              for case, sleeper in (("no reader", False), ("a reader asleep on the ring", True))]
    lines += ["", "64 B publishes 1 ms apart, each timed alone (Python's own call included): with "
              "nobody waiting publish makes no system call; a reader asleep is woken by it.", "",
              *report.table(["case", "median", "99th percentile"], spaced)]

    beside_bytes = int(args.beside_gib * (1 << 30)) >> 20 << 20
    rows = []
    for case, size in (("alone", 0), ("beside create/drop", beside_bytes)):
        times, creates = publish_times(args.seconds, size)
        times.sort()
        rows.append([case, f"{len(times):,}", f"{statistics.median(times) * 1e6:.2f} µs",
                     f"{times[int(len(times) * 0.999)] * 1e6:.1f} µs", f"{times[-1] * 1e3:.2f} ms",
                     creates if size else "-"])
    lines += ["", f"64 B publishes through the C library for {args.seconds:g} s, alone and beside "
              f"a thread creating and dropping a {format_bytes(beside_bytes)} ring:", "",
              *report.table(["case", "publishes", "median", "99.9th percentile", "worst",
                             "creates"], rows)]
    report.write("results-publish.md", "Publishing", lines)


if __name__ == "__main__":
    main()
