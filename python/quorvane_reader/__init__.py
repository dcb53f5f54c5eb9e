"""Typed producers and readers for quorvane rings: publish arrays of one dtype and shape
with a timestamp and a word of your own per frame, attach by name, wait for frames without
burning a core, iterate until the producer ends its stream, and check that what was read
was intact.

    with quorvane_reader.Producer.create("camera0", 8, (720, 1280, 3), np.uint8) as camera:
        camera.publish(image, user=exposure_us)     # stamped with time.time_ns()

    reader = quorvane_reader.Reader(quorvane_reader.attach("camera0", timeout=5.0))
    for frame in reader:                  # waits between frames, ends with the stream
        result = process(frame.array)     # uint8 720 x 1280 x 3, zero-copy on the slot
        if frame.intact():                # not overwritten while we worked on it
            keep(result, frame.timestamp_ns, frame.user)

Untyped rings (made by quorvane.Ring.create, or a program that knows only the header) are
read as float32 rows x cols: Reader(ring, rows, cols).

Built on quorvane.Ring and the ring core's reader cursor, which its native part binds: the
same cursor the C API offers (the pattern it follows: the README's "The reader guarantee").
"""

from __future__ import annotations

import functools
import logging
import operator
import weakref
from collections.abc import Iterator
from types import TracebackType
from typing import Any, Literal, SupportsIndex

import numpy as np
import numpy.typing as npt

import quorvane

from . import _native
from ._native import Frame

__all__ = ["Frame", "Producer", "Reader", "attach", "frame_type", "header"]

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


def frame_type(ring: quorvane.Ring) -> tuple[np.dtype[Any], tuple[int, ...]] | None:
    """The dtype and shape the ring's producer declared (Producer.create); None for an
    untyped ring (or one made by a program that knows only the header)."""
    declared = _native.frame_type(ring)
    return None if declared is None else (np.dtype(declared[0]), declared[1])


class Producer:
    """The one producer of a typed ring: frames of one NumPy dtype and shape, each stamped
    with a timestamp and a 64-bit word of the producer's own, and an end of stream that
    readers see (their iteration ends, `Reader.next` raises EOFError).

    Make it with `Producer.create`; `close()`, or leaving a `with` block, ends the stream
    and lets go of the ring (which lives on while readers hold it, so they read every frame
    still held before they are told). Readers tell a producer that ended without closing (it
    crashed, or was killed) by `Reader.producer_alive`."""

    def __init__(self, ring: quorvane.Ring, name: str | bytes) -> None:
        """Use Producer.create: this wraps a ring a typed create has just made."""
        declared = frame_type(ring)
        if declared is None:
            raise ValueError(f"ring {name!r} holds untyped frames: make it with Producer.create")
        self.name = name
        self.dtype, self.shape = declared
        self._ring: quorvane.Ring | None = ring
        _names[ring] = name

    @classmethod
    def create(cls, name: str | bytes, capacity: SupportsIndex,
               shape: SupportsIndex | tuple[SupportsIndex, ...],
               dtype: npt.DTypeLike) -> Producer:
        """Makes the ring `name` for `capacity` frames of `shape` (1 to 4 dimensions) and
        `dtype` (a fixed-size number: bool, integers, floats, complex, either byte order),
        recording both beside it for readers; frame_bytes is their product. A live ring of
        that name is reused, and its readers follow the new stream from its first frame."""
        given = (shape,) if isinstance(shape, SupportsIndex) else tuple(shape)
        dims = tuple(operator.index(d) for d in given)
        dt = np.dtype(dtype)
        if dt.kind not in "biufc" or not 1 <= len(dims) <= 4 or min(dims) <= 0:
            raise ValueError(f"a typed ring holds 1 to 4 positive dimensions of a fixed-size "
                             f"number, not shape {dims} of dtype {dt}")
        try:
            ring = _native.create_typed(name, operator.index(capacity), dt.str, list(dims))
        except RuntimeError as error:
            if str(error) == _native.FAILURES["sizes_not_positive"]:
                raise ValueError(f"capacity must be positive, not {capacity}") from None
            raise
        return cls(ring, name)

    @property
    def ring(self) -> quorvane.Ring:
        """The ring itself (its write_idx, capacity, frame_bytes); ValueError once closed."""
        if self._ring is None:
            raise ValueError(f"the producer of ring {self.name!r} is closed")
        return self._ring

    def publish(self, array: npt.ArrayLike, *, timestamp_ns: int | None = None,
                user: int = 0) -> int:
        """Publishes one frame: `array` must have the ring's dtype and shape (ValueError
        naming both otherwise). Its stamp is `timestamp_ns` (by default time.time_ns() now,
        which other processes and hosts can compare) and `user`, a 64-bit word of your
        own; both are written before the frame is published, as its bytes are. Returns the
        frame's seq."""
        ring = self.ring
        frame = array if type(array) is np.ndarray else np.asarray(array)
        if frame.dtype != self.dtype or frame.shape != self.shape:
            raise ValueError(f"ring {self.name!r} takes frames of shape {self.shape} and dtype "
                             f"{self.dtype}, not shape {frame.shape} and dtype {frame.dtype}")
        return _native.publish_stamped(ring, frame, timestamp_ns, user)

    def close(self) -> None:
        """Ends the stream and lets go of the ring. Calling it again does nothing."""
        if self._ring is not None:
            _native.end_stream(self._ring)
            self._ring = None

    def __enter__(self) -> Producer:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._ring is None else f"write_idx={self._ring.write_idx}"
        return f"<Producer {self.name!r} {self.shape} {self.dtype} {state}>"


_STARTS = {"next": 0, "newest": 1, "oldest": 2}


def _tell_missed(label: str, count: int) -> None:
    _LOG.warning("%s: the reader fell a ring behind and lost %d frames, overwritten before it "
                 "read them (Reader.missed counts all; said once)", label, count)


class Reader:
    """Hands out a ring's frames in order, each as a zero-copy array: of the dtype and shape
    its producer declared (a typed ring: Reader(ring)), or float32 rows x cols (an untyped
    one: Reader(ring, rows, cols); also allowed on a typed ring).

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
    counted in `missed` and logged once, on the "quorvane_reader" logger.

    Once the producer ends its stream (Producer.close) and every frame was handed out,
    iteration stops and `next()` raises EOFError; a producer that is gone without ending it
    shows in `producer_alive`."""

    def __init__(self, ring: quorvane.Ring, rows: SupportsIndex | None = None,
                 cols: SupportsIndex | None = None, *, start: Start = "next") -> None:
        capacity, frame_bytes = ring.capacity, ring.frame_bytes
        name = _names.get(ring)
        self._label = "the ring" if name is None else f"ring {name!r}"
        if rows is None and cols is None:
            if frame_type(ring) is None:
                raise ValueError(f"{self._label} holds untyped frames: give rows and cols to "
                                 f"read them as float32 rows x cols")
        elif rows is None or cols is None:
            raise ValueError("give both rows and cols (an untyped ring), or neither (a typed one)")
        else:
            rows, cols = operator.index(rows), operator.index(cols)
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
        #: Whether frames are read as the producer declared them (Reader(ring)), with stamps.
        self.typed = rows is None
        # Not a bound method: the cursor would keep its Reader (and the Ring) alive.
        self._cursor = _native.Cursor(ring, rows, cols, _STARTS[start], self._label,
                                      functools.partial(_tell_missed, self._label))

    @property
    def dtype(self) -> np.dtype[Any]:
        """The dtype of the frames' arrays (the producer's, as of the last frame read)."""
        return self._cursor.dtype

    @property
    def shape(self) -> tuple[int, ...]:
        """The shape of the frames' arrays, likewise."""
        return self._cursor.shape

    @property
    def producer_alive(self) -> bool | None:
        """False once every producer of the ring is gone, with or without ending its stream
        (a crash, a kill): then no frame will come until a new one makes the ring again.
        None where it cannot be told (a ring made by a program that knows only its
        header)."""
        return _native.producer_alive(self.ring)

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
        within `timeout` seconds, EOFError at the end of the producer's stream. Frames
        overwritten before it count as missed."""
        return self._cursor.next(timeout)

    def latest(self) -> Frame | None:
        """The newest frame, without waiting; None if nothing was published yet. The next
        call to next() continues after it."""
        return self._cursor.latest()

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        try:
            return self.next()
        except EOFError:
            raise StopIteration from None
