"""quorvane demo: one producer process streams frames into a ring, consumer processes
read the newest frame zero-copy and track the moving pattern in it.

    python examples/demo.py [--seconds 10] [--shape 480x640] [--capacity 8]
                            [--consumers 2] [--fps 60]

At a camera's 60 frames a second by default; --fps 0 publishes as fast as the machine
allows, where consumers that do real work on every frame fall behind and miss frames.

Each frame carries its sequence number and the producer's perf_counter_ns() timestamp in
its first 16 bytes, so consumers measure one-way latency and count the frames they missed.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import queue
import signal
import sys
import time
from dataclasses import dataclass, field
from multiprocessing.queues import Queue
from multiprocessing.synchronize import Event, Semaphore
from types import FrameType

import numpy as np

import quorvane
import quorvane_reader

REPORT_EVERY = 0.5  # seconds between a consumer's reports
STAMP_FLOATS = 4  # sequence number and timestamp: two int64 in the first four floats
# What a consumer reports: id, frames, bytes, latencies (ns), missed, errors, spot x,
# producer restarts.
Report = tuple[int, int, int, list[int], int, int, float, int]


def stamp(frame: np.ndarray, seq: int) -> None:
    frame.reshape(-1)[:STAMP_FLOATS].view(np.int64)[:] = (seq, time.perf_counter_ns())


def read_stamp(frame: np.ndarray) -> tuple[int, int]:
    seq, sent_ns = frame.reshape(-1)[:STAMP_FLOATS].view(np.int64)
    return int(seq), int(sent_ns)


def parent_gone() -> bool:
    """True once the demo's main process has died without stopping us (SIGKILL)."""
    parent = mp.parent_process()
    return parent is not None and not parent.is_alive()


def produce(name: str, capacity: int, rows: int, cols: int, fps: float,
            ready: Event, stop: Event) -> None:
    ring = quorvane.Ring.create(name, capacity, rows * cols * 4)
    # A bright Gaussian spot on a dim gradient; the frame shows a window sliding over it.
    y, x = np.mgrid[0:rows, 0:2 * cols].astype(np.float32)
    scene = 0.2 * x / (2 * cols) + np.exp(-((x - cols) ** 2 + (y - rows / 2) ** 2) / (rows * 2.0))
    frame = np.empty((rows, cols), np.float32)
    ready.set()
    period = 1.0 / fps if fps > 0 else 0.0
    next_at = time.perf_counter()
    seq = 0
    next_check = time.perf_counter() + REPORT_EVERY
    while not stop.is_set():
        shift = seq % cols
        np.copyto(frame, scene[:, shift:shift + cols])
        stamp(frame, seq)
        ring.publish(frame)
        seq += 1
        if period:
            next_at += period
            delay = next_at - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        if time.perf_counter() >= next_check:
            if parent_gone():
                break
            next_check += REPORT_EVERY


def consume(ident: int, name: str, rows: int, cols: int, ready: Event,
            attached: Semaphore, reports: Queue[Report], stop: Event) -> None:
    while not ready.wait(0.1):
        if stop.is_set() or parent_gone():
            return
    try:
        reader = quorvane_reader.Reader(quorvane_reader.attach(name), rows, cols)
    except FileNotFoundError:
        if stop.is_set():
            return  # stopped before we attached: the producer has already let the ring go
        raise
    attached.release()
    frame_bytes = rows * cols * 4
    frames = missed = errors = restarts = restarts_seen = 0
    latencies_ns: list[int] = []
    spot_x = 0.0
    last_seq = -1
    next_report = time.perf_counter() + REPORT_EVERY
    while not stop.is_set():
        try:
            frame = reader.next(timeout=0.1)  # waits without burning a core
        except TimeoutError:
            frame = None
        if frame is not None:
            frame = reader.latest() or frame  # more came meanwhile: show the newest
            arrived_ns = time.perf_counter_ns()
            seq, sent_ns = read_stamp(frame.array)
            # Real work on the whole shared frame: the column of the bright spot (row 0
            # holds the stamp).
            spot_x = float(np.argmax(frame.array[1:].sum(axis=0)))
            # A frame overwritten while we worked on it is dropped like a missed one.
            if frame.intact():
                if seq == frame.seq:
                    frames += 1
                    latencies_ns.append(arrived_ns - sent_ns)
                else:
                    errors += 1  # an intact frame must carry its own sequence number
            if reader.restarts > restarts_seen:  # a new producer counts from 0 again
                restarts += reader.restarts - restarts_seen
                restarts_seen, last_seq = reader.restarts, -1
            missed += frame.seq - last_seq - 1 if last_seq >= 0 else 0
            last_seq = frame.seq
        if time.perf_counter() >= next_report:
            if parent_gone():
                break
            reports.put((ident, frames, frames * frame_bytes, latencies_ns, missed, errors,
                         spot_x, restarts))
            frames = missed = errors = restarts = 0
            latencies_ns = []
            next_report += REPORT_EVERY
    reports.put((ident, frames, frames * frame_bytes, latencies_ns, missed, errors, spot_x,
                 restarts))


@dataclass
class Tally:
    frames: int = 0
    nbytes: int = 0
    missed: int = 0
    errors: int = 0
    spot_x: float = 0.0
    restarts: int = 0
    latencies_ns: list[int] = field(default_factory=list)

    def add(self, frames: int, nbytes: int, latencies_ns: list[int], missed: int,
            errors: int, spot_x: float, restarts: int) -> None:
        self.frames += frames
        self.nbytes += nbytes
        self.latencies_ns += latencies_ns
        self.missed += missed
        self.errors += errors
        self.spot_x = spot_x
        self.restarts += restarts

    def row(self, label: str, seconds: float) -> str:
        if self.latencies_ns:
            p50, p99 = np.percentile(self.latencies_ns, [50, 99]) / 1e3
            latency = f"{p50:8.1f} {p99:8.1f}"
        else:
            latency = f"{'-':>8} {'-':>8}"
        return (f"{label:<10} {self.frames / seconds:9.0f} {self.nbytes / seconds / 1e9:7.2f} "
                f"{latency} {self.missed:8d} {self.errors:6d} {self.spot_x:7.0f}")


HEADER = (f"{'consumer':<10} {'frames/s':>9} {'GB/s':>7} {'p50 us':>8} {'p99 us':>8} "
          f"{'missed':>8} {'errors':>6} {'spot x':>7}")
LEGEND = ("frames/s, GB/s: read by each consumer; p50/p99 us: from publish to read; missed:\n"
          "overwritten before it was read; errors: frames passed as intact that were not their\n"
          "own; spot x: the column of the bright spot each consumer finds in every frame")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to run (10)")
    parser.add_argument("--shape", default="480x640", help="frame rows x cols of float32 (480x640)")
    parser.add_argument("--capacity", type=int, default=8, help="slots in the ring (8)")
    parser.add_argument("--consumers", type=int, default=2, help="consumer processes (2)")
    parser.add_argument("--fps", type=float, default=60.0,
                        help="frames per second (60); 0 = as fast as possible")
    args = parser.parse_args(argv)
    try:
        args.rows, args.cols = (int(n) for n in args.shape.lower().split("x"))
    except ValueError:
        parser.error("--shape takes ROWSxCOLS, e.g. 480x640")
    if args.rows < 2 or args.cols < STAMP_FLOATS or args.capacity < 1 or args.consumers < 1:
        parser.error("--shape needs at least 2x4, --capacity and --consumers at least 1")
    return args


def show(window: list[Tally], seconds: float, live: bool) -> None:
    lines = [f"t = {seconds:5.1f} s", HEADER]
    lines += [t.row(f"#{i}", 1.0) for i, t in enumerate(window)]
    print("\n".join(lines), flush=True)
    if live:
        print(f"\x1b[{len(lines)}F", end="")  # redraw in place next time


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    name = f"quorvane_demo_{os.getpid()}"
    run = Processes(name, args)  # from here on, Ctrl-C asks the demo to stop
    print(f"quorvane demo: {args.rows}x{args.cols} float32 ({args.rows * args.cols * 4 / 1e6:.2f} MB"
          f" a frame), {args.capacity} slots, {args.consumers} consumers, "
          f"{'max fps' if args.fps <= 0 else f'{args.fps:g} fps'}; Ctrl-C stops")
    live = sys.stdout.isatty()
    with run:
        if run.wait_until_reading():
            while run.running(args.seconds):
                window = run.next_second()
                if not run.stop_asked:
                    show(window, run.seconds(), live)
    if live:
        print(f"\x1b[{args.consumers + 2}E", end="")
    leftover = os.path.exists(f"/dev/shm/{name}")
    print(f"\nsummary over {run.elapsed:.1f} s{' (interrupted)' if run.stop_asked else ''}:")
    print(HEADER)
    for i, t in enumerate(run.totals):
        print(t.row(f"#{i}", run.elapsed))
    print(LEGEND)
    if any(t.restarts for t in run.totals):
        print(f"the producer restarted: seen {max(t.restarts for t in run.totals)} times")
    print(f"segment removed: {'no' if leftover else 'yes'}; process exit codes: {run.exit_codes}")
    starved = not run.stop_asked and any(t.frames == 0 for t in run.totals)  # a stop may come first
    failed = leftover or any(run.exit_codes) or starved or any(t.errors for t in run.totals)
    return 1 if failed else 0


class Processes:
    """The producer and consumer processes, from start to exit, and the consumers' reports.

    Ctrl-C and SIGTERM only ask for a stop (`stop_asked`): raising KeyboardInterrupt could
    cut a report in half while it is read from the queue, and the summary would read
    garbage. Leaving the `with` block stops the processes, reads the consumers' last
    reports into `totals` and joins them."""

    def __init__(self, name: str, args: argparse.Namespace) -> None:
        ctx = mp.get_context("spawn")
        self.ready, self.stop, self.attached = ctx.Event(), ctx.Event(), ctx.Semaphore(0)
        self.reports: Queue[Report] = ctx.Queue()
        self.producer = ctx.Process(target=produce, name="producer", args=(
            name, args.capacity, args.rows, args.cols, args.fps, self.ready, self.stop))
        self.consumers = [ctx.Process(target=consume, name=f"consumer {i}", args=(
            i, name, args.rows, args.cols, self.ready, self.attached, self.reports, self.stop))
            for i in range(args.consumers)]
        self.totals = [Tally() for _ in self.consumers]
        self.exit_codes: list[int | None] = []
        self.stop_asked = False
        self.started = self.elapsed = 0.0
        signal.signal(signal.SIGINT, self.ask_stop)
        signal.signal(signal.SIGTERM, self.ask_stop)  # stop cleanly on kill too

    def ask_stop(self, signum: int, frame: FrameType | None) -> None:
        self.stop_asked = True

    def __enter__(self) -> Processes:
        # Children start with SIGINT blocked (the mask survives exec), so a terminal's Ctrl-C
        # reaches only this process, which then stops them in order. One pressed meanwhile
        # stays pending here until the unblock, instead of being lost. Windows cannot block
        # signals; there they start with it ignored.
        if sys.platform != "win32":
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        else:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            for p in (self.producer, *self.consumers):
                p.start()
        finally:
            if sys.platform != "win32":
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
            else:
                signal.signal(signal.SIGINT, self.ask_stop)
        self.started = time.perf_counter()
        return self

    def wait_until_reading(self) -> bool:
        """Waits (up to 30 s) for the producer and then for every consumer to attach, and
        counts the run from then: starting a process with NumPy may take longer than a
        short run (spawn on a loaded machine, or under Wine). False if stopped first."""
        # Short waits, so a Ctrl-C during start-up is not ignored until the producer is up.
        while not (self.ready.wait(0.1) or self.stop_asked or self.seconds() > 30):
            pass
        if not (self.ready.is_set() or self.stop_asked):
            print("error: the producer did not start", file=sys.stderr)
        waiting = len(self.consumers) if self.ready.is_set() else 0
        while waiting and not self.stop_asked and self.seconds() < 30:
            waiting -= self.attached.acquire(timeout=0.1)
        self.started = time.perf_counter()
        return self.ready.is_set() and not self.stop_asked

    def seconds(self) -> float:
        return time.perf_counter() - self.started

    def running(self, seconds: float) -> bool:
        return not self.stop_asked and self.seconds() < seconds

    def next_second(self) -> list[Tally]:
        """The consumers' reports over the next second (or until a stop is asked)."""
        window = [Tally() for _ in self.consumers]
        self.collect(window, time.perf_counter() + 1.0, stoppable=True)
        return window

    def collect(self, window: list[Tally], until: float, stoppable: bool = False) -> None:
        while (left := until - time.perf_counter()) > 0 and not (stoppable and self.stop_asked):
            try:
                report = self.reports.get(timeout=min(left, 0.1))  # a stop is seen soon
            except queue.Empty:
                continue
            for tallies in (self.totals, window):
                tallies[report[0]].add(*report[1:])

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.elapsed = self.seconds()
        # Read the consumers' last reports while they exit: a process cannot exit before
        # what it put on the queue is in the pipe, so joining first could wait for ever.
        scratch = [Tally() for _ in self.consumers]
        deadline = time.perf_counter() + 10
        while any(p.is_alive() for p in self.consumers) and time.perf_counter() < deadline:
            self.collect(scratch, time.perf_counter() + 0.1)
        self.collect(scratch, time.perf_counter() + 0.2)  # the rest of the pipe
        for p in (self.producer, *self.consumers):
            p.join(10)
            if p.is_alive():
                p.kill()
                p.join()
        self.exit_codes = [p.exitcode for p in (self.producer, *self.consumers)]


if __name__ == "__main__":
    sys.exit(main())
