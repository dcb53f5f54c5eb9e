"""Frame and window views: geometry, bounds, liveness and lifetime."""

import hashlib
import io
import sys

import numpy as np
import pytest

from quorvane import Ring

from conftest import run_in_child
import helpers


def numbered_ring(name):
    """Four slots of four floats; slot k holds 4k, 4k+1, 4k+2, 4k+3."""
    ring = Ring.create(name, 4, 16)
    ring.publish(np.arange(16, dtype=np.float32))
    return ring


def address(view):
    return np.asarray(view).__array_interface__["data"][0]


def base_address(ring):
    return address(ring.view_frame(0, 0, 0)) - 24


@pytest.mark.parametrize("args, shape, strides, offset", [
    ((5, 2, 2), (2, 2), (8, 4), 40),
    ((1, 1, 4), (1, 4), (16, 4), 40),
    ((2**64 - 1, 1, 1), (1, 1), (4, 4), 72),
    ((0, 0, 7), (0, 7), (28, 4), 24),
])
def test_frame_view_geometry(name, args, shape, strides, offset):
    ring = numbered_ring(name)
    view = ring.view_frame(*args)
    assert (view.shape, view.strides, view.format, view.itemsize) == (shape, strides, "f", 4)
    assert view.readonly and view.nbytes == 4 * np.prod(shape)
    assert address(view) - base_address(ring) == offset


@pytest.mark.parametrize("args, shape, strides, offset", [
    ((6, 2, 2, 2), (2, 2, 2), (16, 8, 4), 56),
    ((7, 1, 2, 2), (1, 2, 2), (16, 8, 4), 72),
    ((0, 4, 2, 2), (4, 2, 2), (16, 8, 4), 24),
    ((3, 0, 2, 2), (0, 2, 2), (16, 8, 4), 72),
    ((0, 2, 1, 2), (2, 1, 2), (16, 8, 4), 24),  # a partial frame per slot
])
def test_window_view_geometry(name, args, shape, strides, offset):
    ring = numbered_ring(name)
    view = ring.view_window(*args)
    assert (view.shape, view.strides, view.format) == (shape, strides, "f")
    assert address(view) - base_address(ring) == offset


def test_empty_views_of_any_representable_shape_convert_to_arrays(name):
    ring = numbered_ring(name)
    assert np.asarray(ring.view_frame(0, 2**40, 0)).shape == (2**40, 0)
    assert np.asarray(ring.view_window(0, 0, 2**20, 2**20)).shape == (0, 2**20, 2**20)


def test_views_show_the_slots_values(name):
    ring = numbered_ring(name)
    assert ring.view_frame(1, 1, 4).tolist() == [[4, 5, 6, 7]]
    assert ring.view_frame(1, 2, 2).tolist() == [[4, 5], [6, 7]]
    assert ring.view_window(2, 2, 1, 2).tolist() == [[[8, 9]], [[12, 13]]]
    # A view may run from one slot into the next while it stays inside the segment.
    assert ring.view_frame(2, 2, 4).tolist() == [[8, 9, 10, 11], [12, 13, 14, 15]]


@pytest.mark.parametrize("args", [(7, 2, 2, 2), (0, 5, 2, 2), (1, 2**64 - 1, 1, 1)])
def test_windows_that_wrap_are_refused(name, args):
    ring = numbered_ring(name)
    with pytest.raises(RuntimeError, match="^window wraps ring; split into two calls$"):
        ring.view_window(*args)


@pytest.mark.parametrize("method, args, message", [
    ("view_frame", (0, -1, 2), "rows and cols must be non-negative"),
    ("view_window", (0, 1, 2, -2**63), "rows and cols must be non-negative"),
    ("view_frame", (3, 2, 4), "view exceeds ring segment"),          # past the last byte
    ("view_frame", (0, 1, 17), "view exceeds ring segment"),
    ("view_frame", (0, 2**62, 2**62), "view exceeds ring segment"),  # rows*cols*4 overflows
    ("view_frame", (0, 0, 2**62), "view exceeds ring segment"),      # its row stride would
    ("view_frame", (0, 2**62, 0), "view exceeds ring segment"),      # empty, yet no array
    ("view_window", (0, 0, 2**62, 1), "view exceeds ring segment"),
    ("view_window", (0, 4, 1, 5), "view exceeds ring segment"),
    ("view_window", (3, 1, 2**31, 2**31), "view exceeds ring segment"),
])
def test_geometry_outside_the_segment_is_refused(name, method, args, message):
    ring = numbered_ring(name)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        getattr(ring, method)(*args)


def test_views_are_read_only(name):
    ring = numbered_ring(name)
    view = ring.view_frame(0, 1, 4)
    with pytest.raises(TypeError):
        view[0, 0] = 1.0
    array = np.asarray(ring.view_window(0, 2, 1, 4))
    assert array.dtype == np.float32 and not array.flags.writeable
    with pytest.raises(ValueError):
        array[0, 0, 0] = 1.0
    with pytest.raises(TypeError, match="read-write"):
        io.BytesIO(b"abcd").readinto(view.obj)  # the exporter itself refuses writers


def test_exporter_gives_plain_bytes_only_where_they_are_contiguous(name):
    ring = numbered_ring(name)
    frame = ring.view_frame(1, 1, 4)
    assert hashlib.sha256(frame.obj).digest() == hashlib.sha256(frame.tobytes()).digest()
    window = ring.view_window(0, 2, 1, 2)  # 8 of every 16 bytes
    assert not window.c_contiguous
    with pytest.raises(BufferError, match="not contiguous"):
        hashlib.sha256(window.obj)  # asks for a simple buffer
    assert window.tobytes() == np.array([0, 1, 4, 5], np.float32).tobytes()


def test_view_reflects_later_publish(name):
    ring = numbered_ring(name)
    view = ring.view_frame(1, 2, 2)
    array = np.asarray(view)
    ring.publish(np.full(8, -1, np.float32))  # slots 0 and 1
    assert view.tolist() == [[-1, -1], [-1, -1]] and array.sum() == -4


def test_numpy_array_shares_the_ring_memory(name):
    ring = numbered_ring(name)
    view = ring.view_frame(3, 1, 4)
    array = np.asarray(view)
    assert address(view) == array.__array_interface__["data"][0]
    assert array.base.obj is view.obj  # the chain ends at the exporter holding the Ring


def test_views_keep_a_dropped_ring_readable(name, spawn):
    assert run_in_child(spawn, helpers.read_dropped_ring_view, name) == 0


def test_views_leave_no_reference_behind(name):
    ring = numbered_ring(name)
    before = sys.getrefcount(ring)
    for _ in range(1000):
        np.asarray(ring.view_window(0, 2, 1, 4)).sum()
    assert sys.getrefcount(ring) == before


def test_last_view_gone_releases_the_segment(name):
    ring = Ring.create(name, 2, 16)
    window = np.asarray(ring.view_window(0, 2, 1, 4))
    piece = ring.view_frame(1, 1, 4)[0:1]
    del ring
    assert window.sum() == 0 and piece.tolist() == [[0, 0, 0, 0]]
    del window
    del piece  # the name fixture checks the segment is gone
