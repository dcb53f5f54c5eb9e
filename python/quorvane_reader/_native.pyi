from typing import final

import numpy as np
import numpy.typing as npt

import quorvane

@final
class Frame:
    """A frame handed out by a Reader: `seq`, `array` and `intact()`."""

    @property
    def seq(self) -> int:
        """The frame's number since the producer's create."""
    @property
    def array(self) -> npt.NDArray[np.float32]:
        """A read-only float32 rows x cols array on the slot itself (no copy)."""
    def intact(self) -> bool:
        """True if the slot still held this frame, unchanged, until now. Call it after
        reading `array` (or computing from it); if it is False, what you read may mix this
        frame with a later one: drop it."""

@final
class Cursor:
    """Where a reader stands in a ring."""

    def __new__(cls, ring: quorvane.Ring, slots: npt.NDArray[np.float32], first: int) -> Cursor: ...
    @property
    def next(self) -> int: ...
    @property
    def index(self) -> int: ...
    @property
    def missed(self) -> int: ...
    @property
    def restarts(self) -> int: ...
    def take(self) -> Frame | None: ...
    def latest(self) -> Frame | None: ...

def header(ring: quorvane.Ring) -> tuple[int, int, int]:
    """The segment's header through this ring's mapping: (write_idx, capacity, frame_bytes)."""

def spin(ring: quorvane.Ring, seen: int, nanoseconds: int) -> int:
    """Polls write_idx, without the interpreter lock, until it is not `seen` or the time is
    up; returns the last value read."""
