"""Readers for quorvane rings: attach by name, wait for frames without burning a core,
iterate, and check that what was read was intact.

    ring = quorvane_reader.attach("camera0", timeout=5.0)  # the producer's own geometry
    reader = quorvane_reader.Reader(ring, 480, 640)
    for frame in reader:                  # waits between frames, interpreter lock released
        result = process(frame.array)     # float32 480 x 640, zero-copy on the slot itself
        if frame.intact():                # not overwritten while we worked on it
            keep(result)

Built on quorvane.Ring and the ring core's reader cursor, which its native part binds: the
same cursor the C API offers (the pattern it follows: the README's "The reader guarantee").
"""

from __future__ import annotations

import functools
import logging
import operator
import os
import sys
import time
import weakref
from collections.abc import Iterator
from typing import Literal, SupportsIndex

import quorvane

from . import _native
from ._native import Frame

__all__ = ["Frame", "Reader", "attach", "header"]

Start = Literal["next", "newest", "oldest"]


# How long attach looks again at a ring being created, even without a timeout: create
# writes the header right after making the segment.
CREATING_GRACE = 0.1

_LOG = logging.getLogger("quorvane_reader")
# The names attach opened rings under, for messages: a Ring does not know its name.
_names: weakref.WeakKeyDictionary[quorvane.Ring, str | bytes] = weakref.WeakKeyDictionary()


class _NotReady(Exception):
    """No ring to attach to yet: worth another look while waiting, else `error` is raised.
    `creating`: a ring in the middle of being made, worth a look even without waiting."""

    def __init__(self, error: Exception, *, creating: bool = False) -> None:
        super().__init__(str(error))
        self.error = error
        self.creating = creating


_OPEN_FAILED = _native.FAILURES["open_failed"]


def _name_taken(name: str | bytes) -> bool:
    """Whether something is at the name though no ring could be opened there: the Linux
    layer's file at /dev/shm/NAME (the name ends at its first NUL, as on Windows). Windows
    does not tell an absent name from a refused one."""
    if sys.platform != "linux":
        return False
    base = (name.encode() if isinstance(name, str) else bytes(name)).split(b"\0")[0]
    return b"/" not in base and os.path.lexists(b"/dev/shm/" + base)


def _open(name: str | bytes, capacity: int, frame_bytes: int) -> quorvane.Ring:
    """Ring.open, with its "OpenFileMapping failed" told apart: no ring yet (_NotReady) or
    something at the name this user may not open (ValueError). Any other failure of open
    is raised as it is."""
    for _ in range(2):
        try:
            return quorvane.Ring.open(name, capacity, frame_bytes)
        except RuntimeError as error:
            if str(error) != _OPEN_FAILED:
                raise
        if not _name_taken(name):
            raise _NotReady(FileNotFoundError(f"no ring named {name!r}"))
        # There now: either refused, or made by a producer since open looked; a second look
        # tells which.
    raise ValueError(f"ring {name!r}: something is at the name, but not a ring this user "
                     "may open (a directory, a special file or another user's file)")


def _probe(name: str | bytes) -> quorvane.Ring:
    """A handle on the header and the first byte, which every ring has."""
    try:
        return _open(name, 1, 1)
    except RuntimeError:
        raise ValueError(f"ring {name!r}: the segment is too small to hold a ring header "
                         "and a slot") from None


def _open_as_made(name: str | bytes) -> quorvane.Ring:
    probe = _probe(name)
    _, capacity, frame_bytes = _native.header(probe)
    if capacity == 0 or frame_bytes == 0:  # being created right now, or not a ring at all
        raise _NotReady(ValueError(
            f"ring {name!r} has no valid header: capacity {capacity}, frame_bytes {frame_bytes}"),
            creating=True)
    try:
        ring = _open(name, capacity, frame_bytes)  # absent again: gone since the probe
    except RuntimeError as error:
        raise ValueError(f"ring {name!r}: its header says {capacity} slots of {frame_bytes} "
                         f"bytes, more than the segment holds ({error})") from None
    if _native.header(ring)[1:] != (capacity, frame_bytes):  # made again meanwhile
        raise _NotReady(ValueError(f"ring {name!r} changed its geometry while attaching"),
                        creating=True)
    _names[ring] = name
    return ring


def attach(name: str | bytes, *, timeout: float | None = None) -> quorvane.Ring:
    """Opens the live ring `name` with the capacity and frame_bytes its producer created it
    with, read from its header. With a timeout, waits that many seconds for a producer to
    create it (TimeoutError after); without, FileNotFoundError if there is none (a ring
    caught while being created is waited for briefly either way). Never creates a
    segment."""
    started = time.monotonic()
    pause = 0.001
    while True:
        try:
            return _open_as_made(name)
        except _NotReady as not_ready:
            waited = time.monotonic() - started
            if timeout is None:
                if not not_ready.creating or waited >= CREATING_GRACE:
                    raise not_ready.error from None
                left = CREATING_GRACE - waited
            else:
                left = timeout - waited
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


_STARTS = {"next": 0, "newest": 1, "oldest": 2}


def _tell_missed(label: str, count: int) -> None:
    _LOG.warning("%s: the reader fell a ring behind and lost %d frames, overwritten before it "
                 "read them (Reader.missed counts all; said once)", label, count)


class Reader:
    """Hands out a ring's frames in order, each as a zero-copy float32 rows x cols array.

    `next()` waits for the next frame without holding the interpreter lock and without
    any help from the producer (any program writing the ring wakes it); `latest()` skips to
    the newest; iterating yields frames for ever. `start` picks the first frame: "next"
    (the first published after this call), "newest" (the newest already there) or
    "oldest" (the oldest still held). `rows x cols x 4` may be less than the ring's
    frame_bytes: the rest of each frame is left to you.

    A producer that makes the ring again is followed from its first frame, also with
    another capacity or frame_bytes as long as rows x cols still fit (ValueError, naming
    both geometries, if not). Falling so far behind that frames are overwritten unread is
    counted in `missed` and logged once, on the "quorvane_reader" logger."""

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
        if start not in _STARTS:
            raise ValueError(f"start must be 'next', 'newest' or 'oldest', not {start!r}")
        self.ring = ring
        name = _names.get(ring)
        self._label = "the ring" if name is None else f"ring {name!r}"
        # Not a bound method: the cursor would keep its Reader (and the Ring) alive.
        self._cursor = _native.Cursor(ring, rows, cols, _STARTS[start], self._label,
                                      functools.partial(_tell_missed, self._label))

    @property
    def missed(self) -> int:
        """Frames overwritten before this reader got to them (latest() skips none)."""
        return self._cursor.missed

    @property
    def restarts(self) -> int:
        """How often a new producer made the ring again (create)."""
        return self._cursor.restarts

    def next(self, timeout: float | None = None) -> Frame:
        """The next frame in order, waiting for it if need be; TimeoutError if none comes
        within `timeout` seconds. Frames overwritten before it count as missed."""
        return self._cursor.next(timeout)

    def latest(self) -> Frame | None:
        """The newest frame, without waiting; None if nothing was published yet. The next
        call to next() continues after it."""
        return self._cursor.latest()

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        return self.next()
