from collections.abc import Callable
from typing import Any, final

import numpy as np
import numpy.typing as npt

import quorvane

@final
class Frame:
    """A frame handed out by a Reader: `seq`, `array`, `timestamp_ns`, `user` and `intact()`."""

    @property
    def seq(self) -> int:
        """The frame's number since the producer's create."""
    @property
    def array(self) -> npt.NDArray[Any]:
        """A read-only array on the slot itself (no copy): of the ring's dtype and shape, or
        float32 rows x cols on an untyped ring."""
    @property
    def timestamp_ns(self) -> int:
        """The producer's timestamp of the frame (nanoseconds since the epoch unless it chose
        otherwise); 0 where it gave none (an untyped producer). Covered by intact()."""
    @property
    def user(self) -> int:
        """The producer's own 64-bit word for the frame; 0 where it gave none. Covered by
        intact()."""
    def intact(self) -> bool:
        """True if the slot still held this frame, unchanged, until now. Call it after
        reading `array` (or computing from it); if it is False, what you read may mix this
        frame with another one: drop it."""

@final
class Cursor:
    """Where a reader stands in a ring: the ring core's reader cursor."""

    def __new__(cls, ring: quorvane.Ring, rows: int | None, cols: int | None, start: int,
                label: str, on_missed: Callable[[int], object] | None = None) -> Cursor:
        """rows and cols None for a typed ring; start: 0 (next), 1 (newest), 2 (oldest);
        label names the ring in errors; on_missed is called once, with the count, when
        frames are first missed."""
    @property
    def next_seq(self) -> int: ...
    @property
    def missed(self) -> int: ...
    @property
    def restarts(self) -> int: ...
    @property
    def dtype(self) -> np.dtype[Any]: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    def take(self) -> Frame | None: ...
    def latest(self) -> Frame | None: ...
    def next(self, timeout: float | None = None, /) -> Frame: ...

FAILURES: dict[str, str]
"""The ring's failure texts by name ("open_failed": "OpenFileMapping failed", ...)."""

COMPANION_SUFFIX: str
"""What the ring core appends to a ring's name to name the companion object beside it."""

def is_held(name: str | bytes) -> bool | None:
    """Whether a handle in any process holds the ring `name` (False: stale, its holders
    ended without releasing it), asked without a lock; None if it cannot be told."""

def header(ring: quorvane.Ring) -> tuple[int, int, int]:
    """The segment's header through this ring's mapping: (write_idx, capacity, frame_bytes)."""

def attach(name: str | bytes, timeout: float) -> quorvane.Ring:
    """The ring core's attach: waits up to `timeout` seconds for a producer (briefly for a
    ring being made); RuntimeError with the core's failure text otherwise, chained to the
    OSError of the system call that failed, if one did."""

def create_typed(name: str | bytes, capacity: int, typestr: str, shape: list[int]) -> quorvane.Ring:
    """Makes a typed ring: frames of the NumPy type string `typestr` and `shape`."""

def frame_type(ring: quorvane.Ring) -> tuple[str, tuple[int, ...]] | None:
    """The ring's (typestr, shape) as its producer declared them; None if untyped."""

def publish_stamped(ring: quorvane.Ring, frame: npt.NDArray[Any], timestamp_ns: int | None,
                    user: int) -> int:
    """Publishes one frame of frame_bytes (copied into C order first if it is not) with its
    stamp (timestamp_ns None: the system clock's nanoseconds since the epoch, as
    time.time_ns() gives them); returns its seq."""

def end_stream(ring: quorvane.Ring) -> None:
    """Ends the producer's stream: readers that took every frame are told so."""

def producer_alive(ring: quorvane.Ring) -> bool | None:
    """Whether a handle a create made is open in some process; None if it cannot be told."""
