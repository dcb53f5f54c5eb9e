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
import weakref
from collections.abc import Iterator
from typing import Literal, SupportsIndex

import quorvane

from . import _native
from ._native import Frame

__all__ = ["Frame", "Reader", "attach", "header"]

Start = Literal["next", "newest", "oldest"]

_LOG = logging.getLogger("quorvane_reader")
# The names attach opened rings under, for messages: a Ring does not know its name.
_names: weakref.WeakKeyDictionary[quorvane.Ring, str | bytes] = weakref.WeakKeyDictionary()

_OPEN_FAILED = _native.FAILURES["open_failed"]
# What attach finds at a name that is not a ring it can follow.
_NOT_A_RING = {_native.FAILURES[failure] for failure in
               ("name_refused", "segment_too_small", "header_past_segment", "header_not_valid")}


def attach(name: str | bytes, *, timeout: float | None = None) -> quorvane.Ring:
    """Opens the live ring `name` with the capacity and frame_bytes its producer created it
    with, read from its header. With a timeout, waits that many seconds for a producer to
    create it (TimeoutError after); without, FileNotFoundError if there is none (a ring
    caught while being created is waited for briefly either way). ValueError if what is at
    the name is not a ring this user may follow. Never creates a segment. Where a system
    call failed, its OSError (errno, strerror, the name) is the error's __cause__. The C
    interface's quorvane_attach is the same call."""
    try:
        ring: quorvane.Ring = _native.attach(name, 0.0 if timeout is None else timeout)
    except RuntimeError as error:
        if str(error) == _OPEN_FAILED:
            if timeout is None:
                raise FileNotFoundError(f"no ring named {name!r}") from error.__cause__
            raise TimeoutError(
                f"no ring named {name!r} after waiting {timeout:g} s") from error.__cause__
        if str(error) in _NOT_A_RING:
            raise ValueError(f"ring {name!r}: {error}") from error.__cause__
        raise
    _names[ring] = name
    return ring


def header(name: str | bytes) -> tuple[int, int, int]:
    """The live ring's header: (write_idx, capacity, frame_bytes), as its producer wrote
    them (zeros while it is being made). FileNotFoundError if there is no ring of that name
    this user may open, ValueError if the segment is too small for a header."""
    try:
        probe = quorvane.Ring.open(name, 1, 1)
    except RuntimeError as error:
        if str(error) == _OPEN_FAILED:
            raise FileNotFoundError(f"no ring named {name!r}") from None
        raise ValueError(f"ring {name!r}: {_native.FAILURES['segment_too_small']}") from None
    return _native.header(probe)


_STARTS = {"next": 0, "newest": 1, "oldest": 2}


def _tell_missed(label: str, count: int) -> None:
    _LOG.warning("%s: the reader fell a ring behind and lost %d frames, overwritten before it "
                 "read them (Reader.missed counts all; said once)", label, count)


class Reader:
    """Hands out a ring's frames in order, each as a zero-copy float32 rows x cols array.

    `next()` waits for the next frame without holding the interpreter lock: asleep until
    the producer rings, or, on a ring whose producer knows only the header, polling at most
    every millisecond; `latest()` skips to the newest; iterating yields frames for ever.
    A Reader may be shared between threads: their calls take turns. `start` picks the first frame: "next"
    (the first published after this call), "newest" (the newest already there) or
    "oldest" (the oldest still held). `rows x cols x 4` may be less than the ring's
    frame_bytes: the rest of each frame is left to you.

    A producer that makes the ring again is followed from its first frame, also with
    another capacity or frame_bytes as long as rows x cols still fit (ValueError, naming
    both geometries, if not); every such create counts in `restarts`. A ring of one slot is
    refused (ValueError): its only frame may be being overwritten at any moment. Falling so far behind that frames are overwritten unread is
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
