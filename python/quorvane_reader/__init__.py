"""Readers for quorvane rings: attach by name, wait for frames without burning a core,
iterate, and check that what was read was intact.

    ring = quorvane_reader.attach("camera0", timeout=5.0)  # the producer's own geometry
    reader = quorvane_reader.Reader(ring, 480, 640)
    for frame in reader:                  # waits between frames, interpreter lock released
        result = process(frame.array)     # float32 480 x 640, zero-copy on the slot itself
        if frame.intact():                # not overwritten while we worked on it
            keep(result)

Built on quorvane.Ring alone: its write_idx and views, and the re-check of the reader
pattern (the README's "The reader pattern and its guarantee").
"""

from __future__ import annotations

import operator
import time
from collections import deque
from collections.abc import Iterator
from statistics import median
from typing import Literal, SupportsIndex

import numpy as np

import quorvane

from . import _native
from ._native import Frame

__all__ = ["Frame", "Reader", "attach", "header"]

Start = Literal["next", "newest", "oldest"]


class _NotReady(Exception):
    """No ring to attach to yet: worth another look while waiting, else `error` is raised."""

    def __init__(self, error: Exception) -> None:
        super().__init__(str(error))
        self.error = error


def _probe(name: str | bytes) -> quorvane.Ring:
    """A handle on the header and the first byte, which every ring has."""
    try:
        return quorvane.Ring.open(name, 1, 1)
    except RuntimeError as error:
        if str(error) == "OpenFileMapping failed":
            raise _NotReady(FileNotFoundError(f"no ring named {name!r}")) from None
        raise ValueError(f"ring {name!r}: the segment is too small to hold a ring header "
                         "and a slot") from None


def _open_as_made(name: str | bytes) -> quorvane.Ring:
    probe = _probe(name)
    _, capacity, frame_bytes = _native.header(probe)
    if capacity == 0 or frame_bytes == 0:  # being created right now, or not a ring at all
        raise _NotReady(ValueError(
            f"ring {name!r} has no valid header: capacity {capacity}, frame_bytes {frame_bytes}"))
    try:
        ring = quorvane.Ring.open(name, capacity, frame_bytes)
    except RuntimeError as error:
        if str(error) == "OpenFileMapping failed":  # gone since the probe
            raise _NotReady(FileNotFoundError(f"no ring named {name!r}")) from None
        raise ValueError(f"ring {name!r}: its header says {capacity} slots of {frame_bytes} "
                         f"bytes, more than the segment holds ({error})") from None
    if _native.header(ring)[1:] != (capacity, frame_bytes):  # made again meanwhile
        raise _NotReady(ValueError(f"ring {name!r} changed its geometry while attaching"))
    return ring


def attach(name: str | bytes, *, timeout: float | None = None) -> quorvane.Ring:
    """Opens the live ring `name` with the capacity and frame_bytes its producer created it
    with, read from its header. With a timeout, waits that many seconds for a producer to
    create it (TimeoutError after); without, FileNotFoundError if there is none. Never
    creates a segment."""
    deadline = None if timeout is None else time.monotonic() + timeout
    pause = 0.001
    while True:
        try:
            return _open_as_made(name)
        except _NotReady as not_ready:
            if deadline is None:
                raise not_ready.error from None
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{not_ready} after waiting {timeout:g} s") from None
            time.sleep(min(pause, left))
            pause = min(pause * 2, 0.05)


def header(name: str | bytes) -> tuple[int, int, int]:
    """The live ring's header: (write_idx, capacity, frame_bytes), as its producer wrote
    them. FileNotFoundError if there is no ring of that name."""
    try:
        probe = _probe(name)
    except _NotReady as not_ready:
        raise not_ready.error from None
    return _native.header(probe)


class Reader:
    """Hands out a ring's frames in order, each as a zero-copy float32 rows x cols array.

    `next()` waits for the next frame without holding the interpreter lock and without
    any help from the producer (any program writing the ring wakes it); `latest()` skips to
    the newest; iterating yields frames for ever. `start` picks the first frame: "next"
    (the first published after this call), "newest" (the newest already there) or
    "oldest" (the oldest still held). `rows x cols x 4` may be less than the ring's
    frame_bytes: the rest of each frame is left to you."""

    def __init__(self, ring: quorvane.Ring, rows: SupportsIndex, cols: SupportsIndex, *,
                 start: Start = "next") -> None:
        rows, cols = operator.index(rows), operator.index(cols)
        capacity, frame_bytes = ring.capacity, ring.frame_bytes
        if rows < 0 or cols < 0:
            raise ValueError(f"rows and cols must be non-negative, not {rows} and {cols}")
        if rows * cols * 4 > frame_bytes:
            raise ValueError(f"{rows} x {cols} float32 values take {rows * cols * 4} bytes, "
                             f"more than the ring's frames hold ({frame_bytes} bytes)")
        _, made_capacity, made_frame_bytes = _native.header(ring)
        if (made_capacity, made_frame_bytes) != (capacity, frame_bytes):
            raise ValueError(
                f"this Ring was opened with capacity {capacity} and frame_bytes {frame_bytes}, "
                f"but its producer made capacity {made_capacity} and frame_bytes "
                f"{made_frame_bytes}: open it with quorvane_reader.attach")
        if capacity < 2:
            raise ValueError("a reader needs a ring of at least 2 slots: with one, the "
                             "producer may be overwriting the only frame at any moment")
        if start not in ("next", "newest", "oldest"):
            raise ValueError(f"start must be 'next', 'newest' or 'oldest', not {start!r}")
        self.ring = ring
        w = ring.write_idx
        first = {"next": w, "newest": w - 1, "oldest": w - capacity + 1}[start]
        slots = np.asarray(ring.view_window(0, capacity, rows, cols))
        self._cursor = _native.Cursor(ring, slots, max(first, 0))
        self._pace = _Pace()

    @property
    def missed(self) -> int:
        """Frames overwritten before this reader got to them (latest() skips none)."""
        return self._cursor.missed

    @property
    def restarts(self) -> int:
        """How often write_idx went down: a new producer called create."""
        return self._cursor.restarts

    def next(self, timeout: float | None = None) -> Frame:
        """The next frame in order, waiting for it if need be; TimeoutError if none comes
        within `timeout` seconds. Frames overwritten before it count as missed."""
        frame = self._cursor.take()
        if frame is not None:
            return frame
        deadline = None if timeout is None else time.perf_counter_ns() + int(timeout * 1e9)
        restarts = self._cursor.restarts
        while True:
            self._pace.wait(self.ring, self._cursor.index, deadline)
            frame = self._cursor.take()
            if self._cursor.restarts != restarts:  # a new producer: its own rhythm
                self._pace, restarts = _Pace(), self._cursor.restarts
            if frame is not None:
                self._pace.arrived(self._cursor.index)
                return frame
            if deadline is not None and time.perf_counter_ns() >= deadline:
                raise TimeoutError(f"no new frame within {timeout:g} s")

    def latest(self) -> Frame | None:
        """The newest frame, without waiting; None if nothing was published yet. The next
        call to next() continues after it."""
        return self._cursor.latest()

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        return self.next()


class _Pace:
    """When to look for the next frame, learnt from when frames came before.

    - Frames come fast (closer than FAST_NS): spin for the next one, briefly, in native
      code with the interpreter lock released.
    - Frames come at a steady rate: sleep until `lead` before the next is due, then look
      every POLL_NS until LATE_NS after it.
    - Otherwise, and after that: sleep, doubling from POLL_NS up to BACKOFF_MAX_NS.

    Near a due time it sleeps in short steps rather than spinning: a steady producer's
    frames scatter by hundreds of microseconds (one that paces itself with sleeps), which
    a spin would burn, while a look costs one wake, tens of microseconds of CPU.

    A frame came between the last look that did not see it and the one that did, and is
    timed as the middle of that window. The period is the median of the last SAMPLES
    intervals, steady if their quartiles lie within an eighth of it (beyond what the
    windows blur); the due time is the median of what the last few arrivals predict. This
    runs once a frame, just after a wake with cold caches, so it is kept to one sort.

    A frame already there on the first look after the long sleep came at an unknown moment
    of it and is not timed; it shows the reader woke late, so the next due time moves
    earlier by the lead, and the lead grows by a fifth (shrinking by 8 % when a frame comes
    later). It settles where about a third of the frames are there on waking, late by less
    than the lead: a little latency for fewer looks. Sleeps end early by how late sleeps
    have been waking."""

    FAST_NS = 200_000
    POLL_NS = 100_000
    LATE_NS = 2_000_000
    LEAD_MIN_NS = 100_000
    BACKOFF_MAX_NS = 5_000_000
    SAMPLES = 16

    def __init__(self) -> None:
        self._arrivals: deque[tuple[float, int]] = deque(maxlen=4)  # (ns, write_idx)
        self._intervals: deque[float] = deque(maxlen=self.SAMPLES)  # per frame, ns
        self._slack = 0.0  # half the width of the windows arrivals were seen in, smoothed
        self._period: float | None = None  # the producer's, once a steady one has shown
        self._due = 0.0  # when write_idx is due to reach _due_index
        self._due_index = 0
        self._lead = float(self.LEAD_MIN_NS)
        self._backoff = self.POLL_NS
        self._spun = 0  # ns spun for the frame awaited, when frames come fast
        self._oversleep = 0.0  # how late a sleep wakes, smoothed
        self._window = (0, 0, False)  # of the last wait: start, end, first look after sleep

    def arrived(self, index: int) -> None:
        """The last wait saw write_idx reach `index`."""
        start, end, first_look = self._window
        self._backoff = self.POLL_NS
        self._spun = 0
        if first_look and self._period is not None:
            self._due += (index + 1 - self._due_index) * self._period - self._lead
            self._due_index = index + 1
            self._lead = min(self._lead * 1.2, self._period / 4)
            return
        self._lead = max(self.LEAD_MIN_NS, self._lead * 0.92)
        came = (start + end) / 2
        if self._arrivals and index > self._arrivals[-1][1]:
            last, last_index = self._arrivals[-1]
            self._intervals.append((came - last) / (index - last_index))
        self._arrivals.append((came, index))
        self._slack += ((end - start) / 2 - self._slack) / 8
        self._period = None
        if len(self._intervals) < self.SAMPLES // 4:
            return
        ordered = sorted(self._intervals)
        n = len(ordered)
        period, spread = ordered[n // 2], (ordered[3 * n // 4] - ordered[n // 4]) / 2
        if period < self.FAST_NS or spread <= period / 8 + 2 * self._slack:
            self._period = period
            self._due = median(t + (index + 1 - i) * period for t, i in self._arrivals)
            self._due_index = index + 1

    def wait(self, ring: quorvane.Ring, seen: int, deadline: int | None) -> None:
        """Waits once (a sleep or a spin, never past `deadline`) for write_idx to pass
        `seen`, which the caller has just read."""
        now = time.perf_counter_ns()
        kind, until = self._plan(now)
        if deadline is not None:
            until = min(until, deadline)
        if kind == "spin":
            self._spun += max(until - now, 0)
            _native.spin(ring, seen, max(until - now, 0))
        else:
            time.sleep(max(until - now, 0) / 1e9)
            self._oversleep += (max(time.perf_counter_ns() - until, 0) - self._oversleep) / 8
        self._window = (now, time.perf_counter_ns(), kind == "sleep to due")

    def _plan(self, now: int) -> tuple[str, int]:
        """How to wait ("spin", "sleep to due" or "sleep"), and until when."""
        period = self._period
        if period is not None and period < self.FAST_NS:
            if self._spun < (budget := min(4 * period, self.FAST_NS)):
                return "spin", now + int(budget - self._spun)
        elif period is not None:
            if now < (wake := self._due - self._lead - self._oversleep):
                return "sleep to due", int(wake)
            if now < self._due + self.LATE_NS:
                return "sleep", now + self.POLL_NS
        wake = now + self._backoff
        self._backoff = min(self._backoff * 2, self.BACKOFF_MAX_NS)
        return "sleep", wake
