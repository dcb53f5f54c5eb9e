"""One frame taken out of a ring, whole: copied, then checked intact."""

from __future__ import annotations

import time

import numpy as np
import numpy.typing as npt

import quorvane_reader


def grab(name: str, rows: int, cols: int, *, frame: int | None = None,
         timeout: float = 5.0) -> tuple[int, npt.NDArray[np.float32]]:
    """(number, copy) of the newest frame of ring `name`, or of frame number `frame`,
    waiting up to `timeout` seconds for the ring and the frame. LookupError if that frame
    is no longer held, or was overwritten while it was copied."""
    deadline = time.monotonic() + timeout
    ring = quorvane_reader.attach(name, timeout=timeout)
    reader = quorvane_reader.Reader(ring, rows, cols,
                                    start="newest" if frame is None else "oldest")
    while True:
        try:
            taken = reader.next(max(deadline - time.monotonic(), 0.0))
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
