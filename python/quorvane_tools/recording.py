"""Recordings: a ring's frames with their arrival times, in one .npy file NumPy reads alone.

The file holds a one-dimensional structured array, a row per frame: `time` (arrival, in
seconds since the epoch), `seq` (the frame's number in the ring), `capacity` and
`frame_bytes` (the ring's geometry when it arrived) and `frame` (float32 rows x cols). A
typed ring's rows hold its producer's `timestamp_ns` and `user` word before `frame`, which
has the ring's dtype and shape:

    recording = numpy.load("take.npy", mmap_mode="r")
    recording["frame"][10], recording["time"][-1] - recording["time"][0]

Rows are appended as frames come and the header's row count is rewritten after each one,
in place: NumPy pads the header so the count can grow to 21 digits without moving the
data. A row the disk does not take whole (a full disk) is cut off again, so a recording
that is killed or fails keeps every frame written before, with no count to guess and no
empty rows to trim. The file takes its name at its first row: until then it is a
temporary file beside it.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import os
import stat
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any, NamedTuple

import numpy as np
from numpy.lib import format as npy

import quorvane
import quorvane_reader
from quorvane_reader import frame_type

from .frames import describe, reader

# The fields of an untyped ring's rows and of a typed one's, each with the kinds of number
# it may hold (NumPy's: floating point, signed or unsigned integer, bool, complex).
KINDS = {"time": "f", "seq": "u", "capacity": "u", "frame_bytes": "u", "frame": "f"}
TYPED_KINDS = {"time": "f", "seq": "u", "capacity": "u", "frame_bytes": "u",
               "timestamp_ns": "i", "user": "u", "frame": "biufc"}


def row_dtype(rows: int, cols: int) -> np.dtype[np.void]:
    """A row of an untyped ring's recording: its frame as float32 rows x cols."""
    return np.dtype([("time", "<f8"), ("seq", "<u8"), ("capacity", "<u8"),
                     ("frame_bytes", "<u8"), ("frame", "<f4", (rows, cols))])


def typed_row_dtype(dtype: np.dtype[Any], shape: tuple[int, ...]) -> np.dtype[np.void]:
    """A row of a typed ring's recording: the frame's stamp, and the frame as declared."""
    return np.dtype([("time", "<f8"), ("seq", "<u8"), ("capacity", "<u8"),
                     ("frame_bytes", "<u8"), ("timestamp_ns", "<i8"), ("user", "<u8"),
                     ("frame", dtype, shape)])


class Writer:
    """Appends rows to a new recording at `path`: a valid .npy file after every row, and
    after any failure to write one. Until its first row the recording is a temporary file
    beside `path`, which then takes the name: a file already there is kept until then, and
    is refused unless `overwrite`."""

    def __init__(self, path: str | os.PathLike[str], dtype: np.dtype[np.void], *,
                 overwrite: bool = False) -> None:
        self.path, self.overwrite = os.fspath(path), overwrite
        self._refuse_existing()
        self.dtype = dtype
        self.count = 0
        self.row = np.zeros((), self.dtype)  # filled in place, then appended
        self._temporary: str | None = f"{self.path}.{uuid.uuid4().hex[:8]}.part"
        # Unbuffered: each write reaches the file at once.
        self._file = open(self._temporary, "xb", buffering=0)
        header = self._header(0)
        try:
            self._write_at(0, header)
        except BaseException:
            self.close()
            raise
        self._end = len(header)  # where the next row goes

    def _refuse_existing(self) -> None:
        if not self.overwrite and os.path.lexists(self.path):
            raise FileExistsError(f"{self.path!r} exists; a recording replaces a file only "
                                  "when told to (--force)")

    def _header(self, count: int) -> bytes:
        out = io.BytesIO()
        npy.write_array_header_1_0(out, {"descr": npy.dtype_to_descr(self.dtype),
                                         "fortran_order": False, "shape": (count,)})
        return out.getvalue()

    def _write_at(self, offset: int, data: bytes) -> None:
        # A full disk first takes part of a write, then fails the rest.
        self._file.seek(offset)
        view = memoryview(data)
        while view:
            view = view[self._file.write(view):]

    def append(self) -> None:
        """Writes `row` as the next row, then the count that includes it (the header keeps
        its length: NumPy leaves the count room to grow). A row the disk does not take
        whole is cut off again, and the count stays as it was."""
        data = self.row.tobytes()
        try:
            self._write_at(self._end, data)
            self._write_at(0, self._header(self.count + 1))
        except OSError as error:
            self._file.truncate(self._end)
            kept = (f"{self.path!r} keeps the {self.count} frames recorded before"
                    if self._temporary is None else "no frame was recorded")
            raise OSError(error.errno, f"{error.strerror}; {kept}") from error
        self._end += len(data)
        self.count += 1
        if self._temporary is not None:
            self._take_name()

    def _take_name(self) -> None:
        assert self._temporary is not None
        self._refuse_existing()  # again: a file may have come since the start
        # Closed first: Windows renames no file that is open.
        self._file.close()
        os.replace(self._temporary, self.path)
        self._temporary = None
        self._file = open(self.path, "r+b", buffering=0)

    def close(self) -> None:
        self._file.close()
        if self._temporary is not None:  # no row: the name stays as it was
            os.unlink(self._temporary)
            self._temporary = None

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


Progress = Callable[[int], None]


class Recorded(NamedTuple):
    written: int  # frames in the file
    lost: int  # missed by the reader, or overwritten while they were copied
    ended: bool  # the producer ended its stream


def record(name: str, path: str | os.PathLike[str], shape: tuple[int, int] | None = None, *,
           frames: int | None = None, seconds: float | None = None, timeout: float = 5.0,
           overwrite: bool = False, stop: threading.Event | None = None,
           progress: Progress | None = None) -> Recorded:
    """Records ring `name` from its next frame on, until `frames` were written, `seconds`
    passed, `stop` was set or the producer ended its stream. A typed ring's frames are kept
    as declared, with their stamps (and `shape` must be None); an untyped ring's as float32
    `shape`, by default the whole frame as one row. Frames overwritten while being copied
    are dropped. `path` is written only once a frame was recorded, and an existing file
    there is refused unless `overwrite`. ValueError if the producer makes a typed ring
    again with frames of another type (the file keeps those recorded before)."""
    stop = stop or threading.Event()
    ring = quorvane_reader.attach(name, timeout=timeout)
    declared = frame_type(ring)
    if declared is not None:
        dtype = typed_row_dtype(*declared)
    else:
        if shape is None:
            if ring.frame_bytes % 4:
                raise ValueError(f"ring {name!r} has frames of {ring.frame_bytes} bytes, not "
                                 "a whole number of float32 values: give the shape to keep")
            shape = (1, ring.frame_bytes // 4)
        dtype = row_dtype(*shape)
    taking = reader(ring, name, shape)
    end = None if seconds is None else time.monotonic() + seconds
    dropped, restarts, ended = 0, 0, False
    with Writer(path, dtype, overwrite=overwrite) as writer:
        row = writer.row
        row["capacity"], row["frame_bytes"] = ring.capacity, ring.frame_bytes
        while not stop.is_set() and (frames is None or writer.count < frames):
            left = 0.1 if end is None else min(0.1, end - time.monotonic())
            if left <= 0:
                break
            try:
                frame = taking.next(left)
            except TimeoutError:
                continue
            except EOFError:
                ended = True
                break
            if declared is not None and (frame.array.dtype, frame.array.shape) != declared:
                raise ValueError(
                    f"ring {name!r} was made again with frames of "
                    f"{describe(frame.array.dtype, frame.array.shape)}; {writer.path!r} keeps "
                    f"the {writer.count} frames of {describe(*declared)} recorded before")
            row["time"], row["seq"], row["frame"] = time.time(), frame.seq, frame.array
            if declared is not None:
                row["timestamp_ns"], row["user"] = frame.timestamp_ns, frame.user
            if not frame.intact():
                dropped += 1
                continue
            if taking.restarts != restarts:  # made again, maybe with another geometry
                restarts = taking.restarts
                _, row["capacity"], row["frame_bytes"] = quorvane_reader.header(name)
            writer.append()
            if progress:
                progress(writer.count)
        return Recorded(writer.count, taking.missed + dropped, ended)


class Recording:
    """A recording opened for reading its rows in order, with ordinary reads rather than a
    map, so that a file cut short while it is read ends in an error, not in a crash. Only
    a regular file is opened, and without waiting (a FIFO would wait for a writer);
    ValueError if it is not a recording."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        # Opened without waiting, as a FIFO would wait for a writer (it is refused below);
        # on Windows in binary, or the C runtime would translate line ends.
        if sys.platform == "win32":
            flags = os.O_RDONLY | os.O_BINARY
        else:
            flags = os.O_RDONLY | os.O_NONBLOCK  # which a regular file's reads ignore
        self._file = os.fdopen(os.open(self.path, flags), "rb")
        try:
            if not stat.S_ISREG(os.fstat(self._file.fileno()).st_mode):
                raise ValueError(f"{self.path!r} is not a regular file")
            self.count, self.dtype = self._header()
            self.typed = "user" in (self.dtype.names or ())  # a typed ring's, with stamps
        except BaseException:
            self._file.close()
            raise

    def _header(self) -> tuple[int, np.dtype[np.void]]:
        not_one = ValueError(f"{self.path!r} is not a quorvane recording: a .npy file of "
                             "rows of a float time, unsigned seq, capacity and frame_bytes, "
                             "and a float frame of rows x cols, or a signed timestamp_ns, "
                             "an unsigned user and a numeric frame of 1 to 4 dimensions")
        try:
            read = {(1, 0): npy.read_array_header_1_0,
                    (2, 0): npy.read_array_header_2_0}[npy.read_magic(self._file)]
            shape, _, dtype = read(self._file)
        except (ValueError, KeyError):
            raise not_one from None
        # Their kinds too, not only their names: replay computes with them.
        fields = dtype.fields
        kinds = KINDS if fields is None or "user" not in fields else TYPED_KINDS
        if (fields is None or len(shape) != 1 or tuple(fields) != tuple(kinds)
                or any(fields[field][0].base.kind not in kind for field, kind in kinds.items())
                or not (fields["frame"][0].ndim == 2 if kinds is KINDS
                        else 1 <= fields["frame"][0].ndim <= 4)):
            raise not_one
        return shape[0], dtype

    def __iter__(self) -> Iterator[np.void]:
        for index in range(self.count):
            data = self._file.read(self.dtype.itemsize)
            if len(data) < self.dtype.itemsize:
                raise ValueError(f"{self.path!r} ended after {index} of its {self.count} "
                                 "frames: it was cut short")
            yield np.frombuffer(data, self.dtype)[0]

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def replay(path: str | os.PathLike[str], name: str, *, rate: float | None = None,
           stop: threading.Event | None = None, progress: Progress | None = None) -> int:
    """Makes ring `name` with the geometry the recording's first frame arrived in and
    publishes the frames, `rate` per second or, without one, at the recorded intervals. A
    typed recording makes a typed ring (Producer.create), publishes each frame with its
    recorded stamp and ends the stream when the replay ends. Returns the frames published;
    the ring goes when the last handle on it does."""
    stop = stop or threading.Event()
    with Recording(path) as recording, contextlib.ExitStack() as ending:
        rows = iter(recording)
        first = next(rows, None)
        if first is None:
            raise ValueError(f"{recording.path!r} holds no frames")
        capacity, frame_bytes = int(first["capacity"]), int(first["frame_bytes"])
        shape = first["frame"].shape
        publish: Callable[[np.void], None]
        if recording.typed:
            producer = ending.enter_context(quorvane_reader.Producer.create(
                name, capacity, shape, first["frame"].dtype))

            def publish(row: np.void) -> None:
                producer.publish(row["frame"], timestamp_ns=int(row["timestamp_ns"]),
                                 user=int(row["user"]))
        else:
            if 4 * shape[0] * shape[1] > frame_bytes:
                raise ValueError(f"{recording.path!r}: frames of {shape[0]}x{shape[1]} float32 "
                                 f"values do not fit the {frame_bytes} bytes its ring's frames "
                                 "had")
            ring = quorvane.Ring.create(name, capacity, frame_bytes)
            slot = np.zeros(frame_bytes, np.uint8)  # a frame's bytes, zero past the values
            values = slot[:4 * shape[0] * shape[1]].view(np.float32).reshape(shape)

            def publish(row: np.void) -> None:
                values[...] = row["frame"]
                ring.publish(slot)
        started = time.monotonic()
        for index, row in enumerate(itertools.chain([first], rows)):
            due = index / rate if rate else float(row["time"] - first["time"])
            if not abs(due) < threading.TIMEOUT_MAX:  # also not inf, nor NaN
                raise ValueError(f"{recording.path!r}: frame {index} would be due {due:g} s "
                                 "after the first, which is no time to wait for")
            if stop.wait(max(0.0, started + due - time.monotonic())):
                return index
            publish(row)
            if progress:
                progress(index + 1)
        return recording.count
