"""Waiting for frames: what quorvane_reader's Reader.next costs a consumer, against the two
ways of waiting a consumer writes by hand, in one run.

Paced: a producer process publishes 1080p float32 frames (1920 x 1080, 8.3 MB) at 60 fps
for --seconds; after each publish returns it hands perf_counter_ns() over through a second,
small ring. A consumer process waits for every frame and notes when it got it. Reported:
the consumer's CPU (user + system time over wall time), its wake latency p50 / p99 (from
publish returning to the wait returning) and the frames it missed.
  Reader.next     quorvane_reader.Reader(ring, 1080, 1920).next()
  spin            while ring.write_idx == seen: pass
  sleep 1 ms      while ring.write_idx == seen: time.sleep(0.001)

Full speed: the producer publishes 4 KiB frames as fast as it can; frames per second a
consumer hands to its caller, Reader.next against a bare polling loop (write_idx, then
one array per new frame from a view over the whole ring). Best of --rounds.
"""

import argparse
import os
import resource
import time
import uuid

import numpy as np

import quorvane
import quorvane_reader
from e2e import pin, result_of
import multiprocessing as mp

ROWS, COLS, FPS, CAPACITY = 1080, 1920, 60.0, 4
FAST_FRAME_FLOATS, FAST_CAPACITY, FAST_SECONDS = 1024, 64, 1.0
TIMES = 4096  # slots of the small ring carrying (seq, publish time)


def produce_paced(name, seconds, go):
    pin(0)
    ring = quorvane.Ring.create(name, CAPACITY, ROWS * COLS * 4)
    times = quorvane.Ring.create(name + "_times", TIMES, 16)
    frame = np.random.default_rng(0).random((ROWS, COLS), dtype=np.float32)
    stamp = np.zeros(2, np.int64)
    go.wait()
    next_at = time.perf_counter()
    for seq in range(int(seconds * FPS)):
        ring.publish(frame)
        stamp[:] = (seq, time.perf_counter_ns())
        times.publish(stamp)
        next_at += 1 / FPS
        time.sleep(max(0.0, next_at - time.perf_counter()))


def consume_paced(name, method, frames, go, results):
    pin(1)
    ring = quorvane_reader.attach(name, timeout=30)
    times = quorvane_reader.attach(name + "_times", timeout=30)
    got, seqs = np.zeros(frames, np.int64), np.zeros(frames, np.int64)
    reader = quorvane_reader.Reader(ring, ROWS, COLS)
    seen = ring.write_idx
    go.wait()
    before, started = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    for i in range(frames):
        if method == "Reader.next":
            seqs[i] = reader.next(timeout=10).seq
        else:
            while (w := ring.write_idx) == seen:
                if method == "sleep 1 ms":
                    time.sleep(0.001)
            seqs[i], seen = w - 1, w
        got[i] = time.perf_counter_ns()
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) / wall
    sent = np.asarray(times.view_window(0, TIMES, 1, 4)).view(np.int64).reshape(TIMES, 2)
    published = dict(zip(sent[:, 0].tolist(), sent[:, 1].tolist()))
    latencies = got - np.array([published[int(s)] for s in seqs])
    missed = int(seqs[-1] - seqs[0] + 1 - len(set(seqs.tolist())))
    results.put((cpu, latencies[frames // 20:], missed))


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


def run(ctx, producer_target, producer_args, consumer_target, consumer_args):
    results = ctx.Queue()
    producer = ctx.Process(target=producer_target, args=producer_args)
    consumer = ctx.Process(target=consumer_target, args=(*consumer_args, results))
    return result_of(producer, consumer, results)


def paced(ctx, method, seconds):
    name = f"qv_wait_{uuid.uuid4().hex[:8]}"
    go = ctx.Barrier(2)  # both attached: the first frame is published
    return run(ctx, produce_paced, (name, seconds, go),
               consume_paced, (name, method, int(seconds * FPS) - 2, go))


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="of each paced run (10)")
    parser.add_argument("--rounds", type=int, default=3, help="full-speed rounds (3)")
    args = parser.parse_args()
    ctx = mp.get_context("spawn")
    print(f"waiting for frames; {os.cpu_count()} cores, numpy {np.__version__}")
    print(f"\n{FPS:g} fps, {ROWS}x{COLS} float32, {args.seconds:g} s each")
    print(f"{'consumer':<12} {'CPU %':>7} {'p50 us':>8} {'p99 us':>8} {'missed':>7}")
    for method in ("Reader.next", "spin", "sleep 1 ms"):
        cpu, latencies, missed = paced(ctx, method, args.seconds)
        p50, p99 = np.percentile(latencies, [50, 99]) / 1e3
        print(f"{method:<12} {100 * cpu:7.2f} {p50:8.0f} {p99:8.0f} {missed:7d}", flush=True)
    print(f"\nfull speed, {FAST_FRAME_FLOATS * 4 // 1024} KiB frames, best of {args.rounds}")
    best = {m: 0.0 for m in ("Reader.next", "bare loop")}
    for _ in range(args.rounds):
        for method in best:
            best[method] = max(best[method], full_speed(ctx, method))
    for method, rate in best.items():
        print(f"{method:<12} {rate:12,.0f} frames/s  {rate / best['bare loop']:5.2f}x")


if __name__ == "__main__":
    main()
