"""Publishing: frames land in consecutive slots, then write_idx moves."""

import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from quorvane import Ring

from conftest import run_in_child
import helpers


def slots(ring):
    """Every slot's bytes, read through a window over the whole ring."""
    return [bytes(frame) for frame in helpers.byte_slots(ring)]


def frames_of(array, frame_bytes):
    raw = array.tobytes()
    return [raw[i:i + frame_bytes] for i in range(0, len(raw), frame_bytes)]


def test_frames_wrap_around_the_ring(name):
    ring = Ring.create(name, 4, 16)
    first = np.arange(8, dtype=np.float32).reshape(2, 4)
    ring.publish(first)
    assert ring.write_idx == 2
    second = np.arange(80, dtype=np.uint8) + 100
    ring.publish(second)  # frames 2-6 go to slots 2, 3, 0, 1, 2
    assert ring.write_idx == 7
    f = frames_of(second, 16)
    assert slots(ring) == [f[2], f[3], f[4], f[1]]


def test_more_frames_than_slots_keeps_the_last_ones(name):
    ring = Ring.create(name, 4, 16)
    data = np.arange(6 * 4, dtype=np.float32)
    ring.publish(data)
    f = frames_of(data, 16)
    assert ring.write_idx == 6
    assert slots(ring) == [f[4], f[5], f[2], f[3]]


def test_rejected_arrays_leave_slots_and_index_untouched(name):
    ring = Ring.create(name, 4, 8)
    ring.publish(np.ones(2, np.float32))
    before = slots(ring), ring.write_idx
    with pytest.raises(RuntimeError, match="^size not multiple of frame_bytes$"):
        ring.publish(np.full(3, 9, np.float32))
    square = np.full((4, 4), 9, np.float32)
    with pytest.raises(RuntimeError, match="^array must be C-contiguous$"):
        ring.publish(square[:, ::2])  # contiguity is checked before the size
    with pytest.raises(RuntimeError, match="^array must be C-contiguous$"):
        ring.publish(np.asfortranarray(square))
    assert (slots(ring), ring.write_idx) == before


@pytest.mark.parametrize("array, advance", [
    (np.zeros(0, np.float32), 0),
    (np.zeros((3, 0), np.float64), 0),
    (np.array(2.5, np.float64), 1),  # zero-dimensional: one frame of 8 bytes
    (np.arange(4, dtype=np.int16), 1),
])
def test_shapes_and_types_publish_their_bytes(name, array, advance):
    ring = Ring.create(name, 4, 8)
    ring.publish(array)
    assert ring.write_idx == advance
    if advance:
        assert slots(ring)[0] == array.tobytes()


def test_read_only_and_subclass_arrays_are_taken(name):
    ring = Ring.create(name, 2, 16)
    frozen = np.arange(4, dtype=np.float32)
    frozen.flags.writeable = False
    ring.publish(frozen)
    ring.publish(np.arange(4, 8, dtype=np.float32).view(np.matrix))
    assert slots(ring) == frames_of(np.arange(8, dtype=np.float32), 16)


def test_other_handles_and_processes_see_the_new_index(name, spawn):
    ring = Ring.create(name, 4, 16)
    reader = Ring.open(name, 4, 16)
    ring.publish(np.arange(4, dtype=np.float32))
    assert reader.write_idx == 1
    queue = spawn.Queue()
    assert run_in_child(spawn, helpers.open_and_report, name, 4, 16, queue) == 0
    assert queue.get(timeout=10)[2:] == (1, np.arange(4, dtype=np.float32).tobytes())


@pytest.mark.parametrize("source", ["frame", "window", "same slot", "another handle's window"])
def test_source_inside_the_segment_is_copied_first(name, source):
    ring = Ring.create(name, 4, 16)
    ring.publish(np.arange(20, dtype=np.float32))  # write_idx 5: the next frames go to slots 1-3
    before = slots(ring)
    reader = Ring.open(name, 4, 16)  # a second mapping of the same pages
    view, taken = {
        "frame": (ring.view_frame(0, 1, 4), [0]),
        # slots 0-2 into slots 1-3: a plain forward copy would spread slot 0 over all three
        "window": (ring.view_window(0, 3, 1, 4), [0, 1, 2]),
        "same slot": (ring.view_frame(1, 1, 4), [1]),
        "another handle's window": (reader.view_window(0, 3, 1, 4), [0, 1, 2]),
    }[source]
    ring.publish(np.asarray(view))
    assert slots(ring)[1:1 + len(taken)] == [before[k] for k in taken]


def test_other_threads_run_while_a_large_frame_is_copied(name):
    frame = np.ones(256 << 20, np.uint8)
    ring = Ring.create(name, 1, frame.nbytes)
    ring.publish(frame)  # fault the pages in, so the timed call is a plain copy
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.01)
    started = time.perf_counter()
    ring.publish(frame)
    finished = time.perf_counter()
    done.set()
    ticker.join()
    # Holding the lock for the call would leave at most the edges of it to the other
    # thread; its middle half would see no tick at all.
    quarter = (finished - started) / 4
    middle = [t for t in ticks if started + quarter < t < finished - quarter]
    assert len(middle) > 10, f"{len(middle)} ticks in the middle of a {finished - started:.3f} s copy"


def test_daemon_threads_publishing_or_waiting_at_exit_let_the_program_end(name):
    """At exit, CPython ends each daemon thread as it takes the interpreter lock back after
    a publish or a wait: the program still ends with its own status, and its rings go."""
    code = f"""if True:
        import threading, time, numpy as np, quorvane, quorvane_reader
        ring = quorvane.Ring.create({name!r}, 2, 16 << 20)
        frame = np.ones(4 << 20, np.float32)
        reader = quorvane_reader.Reader(quorvane_reader.attach({name!r}), 1, 4)

        def publish():
            while True:
                ring.publish(frame)

        def read():
            while True:
                reader.next()

        for target in (publish, publish, read):
            threading.Thread(target=target, daemon=True).start()
        time.sleep(0.2)
        raise SystemExit(3)
        """
    for _ in range(5):
        ended = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=60)
        assert ended.returncode == 3, ended.stderr
