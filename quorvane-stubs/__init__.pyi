"""Type stubs for the quorvane extension module."""

import typing

import numpy

class Ring:
    """A handle on one named ring segment. Made only by create() and open()."""

    @staticmethod
    def create(
        arg0: str | bytes | bytearray,
        arg1: typing.SupportsInt | typing.SupportsIndex,
        arg2: typing.SupportsInt | typing.SupportsIndex,
        /,
    ) -> Ring: ...
    @staticmethod
    def open(
        arg0: str | bytes | bytearray,
        arg1: typing.SupportsInt | typing.SupportsIndex,
        arg2: typing.SupportsInt | typing.SupportsIndex,
        /,
    ) -> Ring: ...
    @property
    def frame_bytes(self) -> int: ...
    @property
    def capacity(self) -> int: ...
    @property
    def write_idx(self) -> int: ...
    def publish(self, arg0: numpy.ndarray[typing.Any, typing.Any], /) -> None: ...
    def view_frame(
        self,
        arg0: typing.SupportsInt | typing.SupportsIndex,
        arg1: typing.SupportsInt | typing.SupportsIndex,
        arg2: typing.SupportsInt | typing.SupportsIndex,
        /,
    ) -> memoryview: ...
    def view_window(
        self,
        arg0: typing.SupportsInt | typing.SupportsIndex,
        arg1: typing.SupportsInt | typing.SupportsIndex,
        arg2: typing.SupportsInt | typing.SupportsIndex,
        arg3: typing.SupportsInt | typing.SupportsIndex,
        /,
    ) -> memoryview: ...
