"""Type stubs for the quorvane extension module."""

import typing

import numpy

# Integers are converted like int() but a float is refused at run time, so the stubs take
# only what has __index__. Views hold float32 values (format "f"), read as Python floats.
_Int: typing.TypeAlias = typing.SupportsIndex
_Float32View: typing.TypeAlias = memoryview[float]

class Ring:
    """A handle on one named ring segment. Made only by create() and open()."""

    @staticmethod
    def create(arg0: str | bytes | bytearray, arg1: _Int, arg2: _Int, /) -> Ring:
        """create(name, capacity, frame_bytes): makes the named segment (zero-filled) and
        writes its header; a live segment of that name is reused, its write_idx reset to 0."""
    @staticmethod
    def open(arg0: str | bytes | bytearray, arg1: _Int, arg2: _Int, /) -> Ring:
        """open(name, capacity, frame_bytes): attaches to a live segment; the header is not
        read, the handle uses the numbers given."""
    @property
    def frame_bytes(self) -> int:
        """The size of one slot, as this handle was made with."""
    @property
    def capacity(self) -> int:
        """The number of slots, as this handle was made with."""
    @property
    def write_idx(self) -> int:
        """Frames published since the last create, loaded fresh (acquire); the next frame
        goes to slot write_idx % capacity."""
    def publish(self, arg0: numpy.ndarray[typing.Any, typing.Any], /) -> None:
        """publish(arr): copies a C-contiguous array of whole frames into the slots after
        write_idx, advancing write_idx after each frame."""
    def view_frame(self, arg0: _Int, arg1: _Int, arg2: _Int, /) -> _Float32View:
        """view_frame(idx, rows, cols): a read-only float32 (rows, cols) view on slot
        idx % capacity, live, not a snapshot."""
    def view_window(self, arg0: _Int, arg1: _Int, arg2: _Int, arg3: _Int, /) -> _Float32View:
        """view_window(start, count, rows, cols): a read-only float32 (count, rows, cols)
        view on count consecutive slots from start % capacity; never wraps."""
