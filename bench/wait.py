"""Waiting for frames: what quorvane_reader's Reader.next costs a consumer and what it
loses, against the ways of waiting a consumer writes by hand, in one run.

Arrival patterns: a producer process publishes float32 frames on a schedule into an 8-slot
ring, stamping each with its number; after each publish returns it hands perf_counter_ns()
over through a second, small ring. A consumer process waits for every frame and notes when
it got it. Reported per pattern and consumer: the consumer's CPU (user + system time over
wall time), its wake latency p50 / p99 (from publish returning to the wait returning) and
the frames it never saw.
  steady+restart  60 fps of 1080p frames (8.3 MB) for --seconds; halfway the producer
                  makes the ring again (write_idx back to 0)
  jitter          60 fps, each frame late by 0-16 ms
  bursts          4 frames back to back, 15 times a second
  rate change     60 fps, then 240 fps, then 30 fps
  pause           60 fps, 2 s of nothing, 60 fps again
  pause → 600 fps four times: 60 fps for 1 s, 0.6 s of nothing, 150 frames at 600 fps
  pause → 1000 fps the same at 1000 fps (both 256 × 256 frames)
  foreign         60 fps from a producer that knows only the 24-byte header: it makes and
                  writes the segment by hand, with no companion and no doorbell
  bridge          60 fps into a ring carried by quorvane_bridge over loopback TCP; the
                  consumer reads the far ring, whose frames come as TCP paces them
Consumers:
  Reader.next     quorvane_reader.Reader(ring, rows, cols).next()
  C quorvane_next the C interface's reader (through ctypes: one call per frame)
  sleep 1 ms      while ring.write_idx == seen: time.sleep(0.001); then every frame held
  spin            the same without the sleep (steady pattern only: the latency floor)

Per frame handed out, typed against untyped: Reader.latest() on a ring of 1080p RGB uint8
frames, read typed (Reader(ring): uint8 1080 x 1920 x 3, its stamp) and untyped
(Reader(ring, 1080, 1440): the same bytes as float32), interleaved, best of 9: what the
type and the stamp add to handing a frame out.

Full speed: the producer publishes 4 KiB frames as fast as it can; frames per second a
consumer hands to its caller, Reader.next against a bare polling loop (write_idx, then
one array per new frame from a view over the whole ring). Best of --rounds.
"""

import argparse
import ctypes
import os
import resource
import signal
import subprocess
import sys
import time
import uuid

import numpy as np

import quorvane
import quorvane_reader
import report
from bridge import free_port
from timing import seconds_per_call
from e2e import pin, result_of
from transports import C_LIBRARY
from multiprocessing import shared_memory
import multiprocessing as mp

CAPACITY = 8
FAST_FRAME_FLOATS, FAST_CAPACITY, FAST_SECONDS = 1024, 64, 1.0
TIMES = 8192  # slots of the small ring carrying (frame number, publish time)
FULL_HD, VGA, SMALL = (1080, 1920), (480, 640), (256, 256)


def schedule(pattern, seconds):
    """Publish times in seconds from the start, and the frame after which the producer
    makes the ring again (None: never)."""
    at_60 = np.arange(int(seconds * 60)) / 60
    if pattern == "steady+restart":
        return at_60, len(at_60) // 2
    if pattern == "jitter":
        return at_60 + np.random.default_rng(1).uniform(0, 0.016, len(at_60)), None
    if pattern == "bursts":
        return np.repeat(np.arange(int(seconds * 15)) / 15, 4), None
    if pattern == "rate change":
        third = seconds / 3
        return np.concatenate([np.arange(0, third, 1 / 60), np.arange(third, 2 * third, 1 / 240),
                               np.arange(2 * third, seconds, 1 / 30)]), None
    if pattern == "pause":
        half = at_60[: len(at_60) // 2]
        return np.concatenate([half, half + half[-1] + 2.0]), None
    if pattern.startswith("pause → "):
        fast = int(pattern.split()[-2])
        rounds = [np.concatenate([np.arange(60) / 60, 1.6 + np.arange(150) / fast]) + 2.0 * i
                  for i in range(4)]
        return np.concatenate(rounds), None
    if pattern in ("bridge", "foreign"):
        return at_60, None
    raise ValueError(pattern)


PATTERNS = {  # name: frame shape
    "steady+restart": FULL_HD, "jitter": VGA, "bursts": VGA, "rate change": VGA,
    "pause": VGA, "pause → 600 fps": SMALL, "pause → 1000 fps": SMALL, "foreign": VGA,
    "bridge": VGA}


class ForeignRing:
    """A producer that knows only the 24-byte header, writing the segment by hand (as
    docs/interop.md shows): no companion, so nothing rings for its readers."""

    def __init__(self, name, capacity, frame_bytes):
        self.memory = shared_memory.SharedMemory(name, create=True, track=False,
                                                 size=24 + capacity * frame_bytes)
        self.header = np.ndarray(3, np.uint64, self.memory.buf)
        self.slots = np.ndarray((capacity, frame_bytes), np.uint8, self.memory.buf, 24)
        self.header[:] = (0, capacity, frame_bytes)

    def publish(self, frame):
        index = int(self.header[0])
        self.header[0] = index  # names the frame being written (already does)
        self.slots[index % len(self.slots)] = frame.view(np.uint8).reshape(-1)
        self.header[0] = index + 1  # one aligned 8-byte store: x86 keeps it after the bytes

    def close(self):
        del self.header, self.slots
        self.memory.close()
        self.memory.unlink()


def produce(name, pattern, seconds, go):
    pin(0)
    rows, cols = PATTERNS[pattern]
    times, restart_after = schedule(pattern, seconds)
    foreign = pattern == "foreign"
    ring = (ForeignRing if foreign else quorvane.Ring.create)(name, CAPACITY, rows * cols * 4)
    stamps = quorvane.Ring.create(name + "_times", TIMES, 16)
    frame = np.random.default_rng(0).random((rows, cols), dtype=np.float32)
    number = frame.reshape(-1)[:2].view(np.int64)
    stamp = np.zeros(2, np.int64)
    number[0] = -1  # frames the consumer ignores: the far ring is made by the first across
    while not go.wait(0.05):
        if pattern == "bridge":
            ring.publish(frame)
    start = time.perf_counter()
    for n, due in enumerate(times):
        time.sleep(max(0.0, start + due - time.perf_counter()))
        number[0] = n
        ring.publish(frame)
        stamp[:] = (n, time.perf_counter_ns())
        stamps.publish(stamp)
        if n == restart_after:
            del ring
            ring = quorvane.Ring.create(name, CAPACITY, rows * cols * 4)
    time.sleep(1)  # the consumer reads the stamps before they go
    if foreign:
        ring.close()


class CFrame(ctypes.Structure):
    _fields_ = [("seq", ctypes.c_uint64), ("data", ctypes.c_void_p),
                ("frame_bytes", ctypes.c_uint64), ("capacity", ctypes.c_uint64),
                ("handed_at", ctypes.c_uint64), ("generation", ctypes.c_uint64),
                ("timestamp_ns", ctypes.c_int64), ("user", ctypes.c_uint64)]


def c_reader(name):
    """quorvane_next through ctypes: a function returning each frame's number, or None on a
    timeout. The C library keeps its own handle on the ring."""
    lib = ctypes.CDLL(C_LIBRARY)
    lib.quorvane_attach.argtypes = [ctypes.c_char_p, ctypes.c_uint64,
                                    ctypes.POINTER(ctypes.c_void_p)]
    lib.quorvane_cursor_new.argtypes = [ctypes.c_void_p, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_void_p)]
    lib.quorvane_next.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.POINTER(CFrame)]
    ring, cursor, frame = ctypes.c_void_p(), ctypes.c_void_p(), CFrame()
    if (lib.quorvane_attach(name.encode(), 30_000, ctypes.byref(ring)) != 0 or
            lib.quorvane_cursor_new(ring, 0, ctypes.byref(cursor)) != 0):
        raise RuntimeError("the C reader could not attach")

    def next_number():
        if lib.quorvane_next(cursor, 3000, ctypes.byref(frame)) != 0:
            return None
        return ctypes.c_int64.from_address(frame.data).value
    return next_number


def consume(name, times_name, pattern, method, expected, go, results):
    pin(1)
    rows, cols = PATTERNS[pattern]
    ring = quorvane_reader.attach(name, timeout=30)
    stamps = quorvane_reader.attach(times_name, timeout=30)
    reader = quorvane_reader.Reader(ring, rows, cols)
    next_in_c = c_reader(name) if method == "C quorvane_next" else None
    numbers = np.asarray(ring.view_window(0, CAPACITY, 1, 2)).view(np.int64)[:, 0, 0]
    got = {}
    seen = ring.write_idx
    go.set()
    before, started = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    while expected - 1 not in got:
        if method == "Reader.next":
            try:
                frame = reader.next(timeout=3)
            except TimeoutError:
                break
            got[int(frame.array[0, :2].view(np.int64)[0])] = time.perf_counter_ns()
            got.pop(-1, None)
            continue
        if next_in_c:
            if (number := next_in_c()) is None:
                break
            got[number] = time.perf_counter_ns()
            got.pop(-1, None)
            continue
        waited = time.perf_counter()
        while (w := ring.write_idx) == seen and time.perf_counter() - waited < 3:
            if method == "sleep 1 ms":
                time.sleep(0.001)
        if w == seen:
            break
        now = time.perf_counter_ns()
        if w < seen:  # a new producer
            seen = 0
        for k in range(max(seen, w - CAPACITY + 1), w):
            n = int(numbers[k % CAPACITY])
            if ring.write_idx < k + CAPACITY and n >= 0:
                got[n] = now
        seen = w
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) / wall
    sent = np.asarray(stamps.view_window(0, TIMES, 1, 4)).view(np.int64).reshape(TIMES, 2)
    sent = sent[:min(stamps.write_idx, TIMES)]  # slots never written read (0, 0)
    published = dict(zip(sent[:, 0].tolist(), sent[:, 1].tolist()))
    latencies = np.array([t - published[n] for n, t in got.items() if n in published])
    results.put((cpu, latencies, expected - len(got)))


def start_bridge(name):
    """quorvane_bridge from ring `name` to ring `name`_far over loopback; the two processes."""
    endpoint, key = f"tcp/127.0.0.1:{free_port()}", f"quorvane/bench/{name}"
    command = [sys.executable, "-m", "quorvane_bridge"]
    common = ["--no-multicast-scouting", "--report-every", "3600",
              "--cfg=transport/shared_memory/enabled:false"]
    recv = subprocess.Popen([*command, "recv", key, name + "_far", "-l", endpoint, *common],
                            stdout=subprocess.DEVNULL)
    send = subprocess.Popen([*command, "send", name, key, "-e", endpoint, *common],
                            stdout=subprocess.DEVNULL)
    return send, recv


def paced(ctx, pattern, method, seconds):
    name = f"qv_wait_{uuid.uuid4().hex[:8]}"
    expected = len(schedule(pattern, seconds)[0])
    go = ctx.Event()  # the consumer is attached: the schedule starts
    results = ctx.Queue()
    producer = ctx.Process(target=produce, args=(name, pattern, seconds, go))
    bridge = ()
    consumed = name
    if pattern == "bridge":
        producer.start()
        bridge, consumed = start_bridge(name), name + "_far"
    consumer = ctx.Process(target=consume, args=(consumed, name + "_times", pattern, method,
                                                 expected, go, results))
    try:
        if pattern == "bridge":
            consumer.start()
            return results.get(timeout=300)
        return result_of(producer, consumer, results)
    finally:
        for process in bridge:
            process.send_signal(signal.SIGTERM)
            process.wait(30)
        for process in (consumer, producer):
            process.join(30)
            if process.is_alive():
                process.kill()


def produce_fast(name, stop, ready):
    pin(0)
    ring = quorvane.Ring.create(name, FAST_CAPACITY, FAST_FRAME_FLOATS * 4)
    frame = np.ones(FAST_FRAME_FLOATS, np.float32)
    ready.set()
    while not stop.value:
        ring.publish(frame)


def consume_fast(name, method, results):
    pin(1)
    ring = quorvane_reader.attach(name, timeout=30)
    delivered, end = 0, time.perf_counter() + FAST_SECONDS
    if method == "Reader.next":
        reader = quorvane_reader.Reader(ring, 1, FAST_FRAME_FLOATS)
        while time.perf_counter() < end:
            for _ in range(1000):
                reader.next()
            delivered += 1000
    else:
        slots = np.asarray(ring.view_window(0, FAST_CAPACITY, 1, FAST_FRAME_FLOATS))
        seen = ring.write_idx
        while time.perf_counter() < end:
            for _ in range(1000):
                while (w := ring.write_idx) == seen:
                    pass
                seen = max(seen, w - FAST_CAPACITY + 1)
                frame = slots[seen % FAST_CAPACITY]  # noqa: F841 - handed to the caller
                seen += 1
            delivered += 1000
    results.put(delivered / FAST_SECONDS)


def full_speed(ctx, method):
    name = f"qv_wait_{uuid.uuid4().hex[:8]}"
    stop, ready = ctx.RawValue("b", 0), ctx.Event()
    producer = ctx.Process(target=produce_fast, args=(name, stop, ready))
    producer.start()
    try:
        ready.wait(30)
        results = ctx.Queue()
        consumer = ctx.Process(target=consume_fast, args=(name, method, results))
        consumer.start()
        rate = results.get(timeout=120)
        consumer.join(30)
        return rate
    finally:
        stop.value = 1
        producer.join(30)


def typed_hand_out():
    """Seconds per Reader.latest() of a 1080p RGB uint8 ring: typed and untyped."""
    name = f"qv_wait_{uuid.uuid4().hex[:8]}"
    shape = (*FULL_HD, 3)
    with quorvane_reader.Producer.create(name, CAPACITY, shape, np.uint8) as camera:
        camera.publish(np.zeros(shape, np.uint8))
        typed = quorvane_reader.Reader(camera.ring)
        untyped = quorvane_reader.Reader(camera.ring, FULL_HD[0], FULL_HD[1] * 3 // 4)
        return seconds_per_call({"typed": typed.latest, "untyped": untyped.latest})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="of the steady pattern; the others run half as long (10)")
    parser.add_argument("--rounds", type=int, default=3, help="full-speed rounds (3)")
    parser.add_argument("--patterns", nargs="*", default=list(PATTERNS), choices=list(PATTERNS))
    args = parser.parse_args()
    ctx = mp.get_context("spawn")
    rows = []
    for pattern in args.patterns:
        if pattern == "bridge" and subprocess.call(
                [sys.executable, "-c", "import zenoh"], stderr=subprocess.DEVNULL) != 0:
            print(f"{pattern}: skipped, needs the bridge extra (eclipse-zenoh)")
            continue
        seconds = args.seconds if pattern == "steady+restart" else args.seconds / 2
        methods = ["Reader.next", "sleep 1 ms"]
        if os.path.exists(C_LIBRARY) and pattern != "bridge":
            methods.insert(1, "C quorvane_next")
        if pattern == "steady+restart":
            methods.append("spin")
        for method in methods:
            cpu, latencies, missed = paced(ctx, pattern, method, seconds)
            p50, p99 = np.percentile(latencies, [50, 99]) / 1e3
            rows.append([pattern, method, f"{100 * cpu:.2f}", f"{p50:.0f} µs", f"{p99:.0f} µs",
                         missed])
            print(*rows[-1], sep=" | ", flush=True)
    hand_out = typed_hand_out()
    best = {m: 0.0 for m in ("Reader.next", "bare loop")}
    for _ in range(args.rounds):
        for method in best:
            best[method] = max(best[method], full_speed(ctx, method))
    report.write("results-wait.md", "Waiting for frames", [
        f"A producer process publishes into a ring of {CAPACITY} slots on a schedule, a consumer "
        "process only waits for its frames: its CPU (% of a core), the latency from `publish` "
        "returning to the wait returning, and the frames it never got. The patterns and the "
        "method are in bench/wait.py. The C reader is driven through ctypes, one call per frame "
        "(its CPU includes that Python).", "",
        *report.table(["pattern", "consumer", "CPU %", "latency p50", "latency p99", "missed"],
                      rows),
        "", f"At full speed, {FAST_FRAME_FLOATS * 4 // 1024} KiB frames, best of {args.rounds}: "
        "frames a second handed to the caller, against a bare polling loop that makes one array "
        "per frame from a view over the whole ring.", "",
        *report.table(["consumer", "frames/s", "vs the bare loop"],
                      [[method, f"{rate:,.0f}", f"{rate / best['bare loop']:.2f}×"]
                       for method, rate in best.items()]),
        "", "Per frame handed out, `Reader.latest()` on a ring of 1080p RGB uint8 frames, best of "
        "9, interleaved: typed (`Reader(ring)`, uint8 1080 × 1920 × 3 with its stamp) against "
        "untyped (`Reader(ring, 1080, 1440)`, the same bytes as float32).", "",
        *report.table(["reader", "per frame", "over untyped"],
                      [[kind, f"{t * 1e6:.3f} µs", f"{(t - hand_out['untyped']) * 1e6:+.3f} µs"]
                       for kind, t in hand_out.items()])])


if __name__ == "__main__":
    main()
