"""A ring's frames as the tools read them: typed rings as their producer declared them,
untyped ones as the float32 rows x cols the user names; and one frame taken out whole."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvane
import quorvane_reader
from quorvane_reader import frame_type


def describe(dtype: np.dtype[Any], shape: tuple[int, ...]) -> str:
    """`uint8 720x1280x3`, as ls and the messages name a frame type."""
    return f"{dtype} {'x'.join(map(str, shape))}"


def reader(ring: quorvane.Ring, name: str, shape: tuple[int, int] | None, *,
           start: quorvane_reader.Start = "next") -> quorvane_reader.Reader:
    """A reader of `ring` (attached as `name`): of a typed ring as declared, of an untyped
    one as float32 `shape`. ValueError if an untyped ring is given no shape, or a typed one
    is given one: its frames are what its producer said."""
    declared = frame_type(ring)
    if declared is None:
        if shape is None:
            raise ValueError(f"ring {name!r} holds untyped frames: give the shape to read them "
                             "as (--shape ROWSxCOLS of float32)")
        return quorvane_reader.Reader(ring, *shape, start=start)
    if shape is not None:
        raise ValueError(f"ring {name!r} holds frames of {describe(*declared)}, as its producer "
                         "declared them: leave out --shape")
    return quorvane_reader.Reader(ring, start=start)


def grab(name: str, shape: tuple[int, int] | None = None, *, frame: int | None = None,
         timeout: float = 5.0) -> tuple[int, npt.NDArray[Any]]:
    """(number, copy) of the newest frame of ring `name`, or of frame number `frame`,
    waiting up to `timeout` seconds for the ring and the frame; read as `reader` reads
    it. LookupError if that frame is no longer held, or was overwritten while it was
    copied; EOFError if the stream ended before it."""
    deadline = time.monotonic() + timeout
    taking = reader(quorvane_reader.attach(name, timeout=timeout), name, shape,
                    start="newest" if frame is None else "oldest")
    while True:
        try:
            taken = taking.next(max(deadline - time.monotonic(), 0.0))
        except TimeoutError:
            wanted = "no frame was published" if frame is None else f"frame {frame} did not come"
            raise TimeoutError(f"ring {name!r}: {wanted} within {timeout:g} s") from None
        if frame is not None and taken.seq < frame:
            continue
        if frame is not None and taken.seq > frame:
            raise LookupError(f"frame {frame} of ring {name!r} is no longer held (the oldest "
                              f"one read was {taken.seq})")
        copy = taken.array.copy()
        if taken.intact():
            return taken.seq, copy
        if frame is not None:
            raise LookupError(f"frame {frame} of ring {name!r} was overwritten while it "
                              "was copied")
