"""quorvane_reader: attach by name, wait, iterate, check."""

import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quorvane_reader
from quorvane import Ring
from quorvane_reader import Reader

from conftest import C_LIBRARY, run_in_child, shm_path
import helpers


def test_attach_waits_for_the_producer_and_takes_its_geometry(name, spawn):
    with pytest.raises(FileNotFoundError, match=f"^no ring named '{name}'$"):
        quorvane_reader.attach(name)
    with pytest.raises(TimeoutError, match=f"^no ring named '{name}' after waiting 0.05 s$"):
        quorvane_reader.attach(name, timeout=0.05)
    producer = threading.Timer(0.2, lambda: made.append(Ring.create(name, 6, 48)))
    made: list[Ring] = []
    producer.start()
    ring = quorvane_reader.attach(name, timeout=30)
    assert (ring.capacity, ring.frame_bytes) == (6, 48)
    made[0].publish(np.ones(12, np.float32))
    assert quorvane_reader.header(name) == (1, 6, 48)
    del made[0], ring


# Windows sizes a mapping to whole pages: a segment too small for its header cannot be told.
@pytest.mark.linux_only
def test_attach_refuses_what_is_not_a_ring_with_the_same_answer_from_python_and_c(name):
    """Both call the core's one attach: Python's exception carries the C call's message."""
    c = ctypes.CDLL(C_LIBRARY) if C_LIBRARY else None
    if c:
        c.quorvane_last_error.restype = ctypes.c_char_p

    def refused(target: str, status: int) -> str:
        with pytest.raises(ValueError) as python:
            quorvane_reader.attach(target, timeout=5)  # no waiting for what is there
        if c:
            ring = ctypes.c_void_p()
            assert c.quorvane_attach(target.encode(), 5000, ctypes.byref(ring)) == status
            expected, cause = str(python.value), python.value.__cause__
            if cause is not None:  # a system call failed: C appends what the system said
                expected += f": {cause.strerror} (errno {cause.errno})"
            assert f"ring {target!r}: {c.quorvane_last_error().decode()}" == expected
        return str(python.value)

    os.mkdir(shm_path(name + "_dir"))
    try:
        assert "something is at the name" in refused(name + "_dir", 12)  # QUORVANE_REFUSED
    finally:
        os.rmdir(shm_path(name + "_dir"))
    tiny = helpers.untracked_shared_memory(name, create=True, size=10)
    big = helpers.untracked_shared_memory(name + "_hdr", create=True, size=64)
    try:
        assert "too small" in refused(name, 10)  # QUORVANE_NOT_A_RING
        big.buf[8:24] = np.array([8, 1024], np.uint64).tobytes()  # 8 slots of 1 KiB in 64 B
        assert "says more than the segment holds" in refused(name + "_hdr", 10)
    finally:
        for segment in (tiny, big):
            segment.close()
            segment.unlink()
    one_slot = Ring.create(name, 1, 64)
    with pytest.raises(ValueError, match="at least 2 slots"):
        Reader(quorvane_reader.attach(name), 4, 4)
    if c:
        ring, cursor = ctypes.c_void_p(), ctypes.c_void_p()
        assert c.quorvane_attach(name.encode(), 0, ctypes.byref(ring)) == 0
        assert c.quorvane_cursor_new(ring, 0, ctypes.byref(cursor)) == 2  # QUORVANE_BAD_SIZE
        assert b"at least 2 slots" in c.quorvane_last_error()
        c.quorvane_release(ring)
    del one_slot


def test_a_geometry_the_ring_cannot_hold_is_refused(name):
    ring = Ring.create(name, 4, 64)
    with pytest.raises(ValueError, match="opened with capacity 2 and frame_bytes 64, but its "
                                         "producer made capacity 4 and frame_bytes 64"):
        Reader(Ring.open(name, 2, 64), 4, 4)
    with pytest.raises(ValueError, match="5 x 4 float32 values take 80 bytes, more than"):
        Reader(ring, 5, 4)
    Reader(ring, 3, 4)  # less than a frame: the rest is the user's


def frames(ring, first, count):
    """Publishes frames first .. first+count-1, each filled with its number."""
    values = np.arange(first, first + count, dtype=np.float32)
    ring.publish(np.repeat(values, ring.frame_bytes // 4))


def test_frames_come_in_order_and_overwritten_ones_count_as_missed(name, caplog):
    ring = Ring.create(name, 4, 16)
    frames(ring, 0, 2)
    oldest, newest, following = (Reader(ring, 2, 2, start=s) for s in ("oldest", "newest", "next"))
    frames(ring, 2, 1)
    assert [oldest.next().seq for _ in range(3)] == [0, 1, 2]
    assert newest.next().seq == 1 and following.next().seq == 2
    frame = oldest.latest()
    assert frame is not None and frame.seq == 2 and frame.array.tolist() == [[2, 2], [2, 2]]
    frames(ring, 3, 6)  # 3..8: with 4 slots, 6..8 are held (slot of 5 is next to go)
    assert [following.next().seq for _ in range(3)] == [6, 7, 8] and following.missed == 3
    assert oldest.next().seq == 6 and oldest.missed == 3
    frames(ring, 9, 8)  # each reader loses frames again, and says nothing more
    assert [following.next().seq for _ in range(3)] == [14, 15, 16] and following.missed == 8
    assert [r.getMessage() for r in caplog.records] == [
        "the ring: the reader fell a ring behind and lost 3 frames, overwritten before it read "
        "them (Reader.missed counts all; said once)"] * 2
    with pytest.raises(TimeoutError, match="no new frame within 0.05 s"):
        following.next(timeout=0.05)


def test_a_frame_overwritten_while_used_is_not_intact(name):
    ring = Ring.create(name, 4, 16)
    reader = Reader(ring, 1, 4)
    frames(ring, 0, 1)
    frame = reader.next()
    assert frame.array.flags.writeable is False and frame.intact()
    frames(ring, 1, 3)  # slot 0 is next to be written: it may be under the writer now
    assert not frame.intact() and reader.next().seq == 1
    with pytest.raises(AttributeError):
        frame.seq = 5


def test_a_restarted_producer_is_noticed_and_followed(name):
    ring = Ring.create(name, 4, 16)
    reader = Reader(ring, 1, 4)
    frames(ring, 0, 3)
    taken = reader.next()
    Ring.create(name, 4, 16)  # a new producer: write_idx back to 0
    assert not taken.intact()
    frames(ring, 0, 1)
    frame = reader.next(timeout=1)
    assert (frame.seq, reader.restarts, frame.array[0, 0]) == (0, 1, 0.0)


def test_a_producer_made_again_with_another_geometry_is_followed_or_refused(name):
    old = Ring.create(name, 4, 64)
    ring = quorvane_reader.attach(name)
    follower, too_wide = Reader(ring, 1, 8, start="oldest"), Reader(ring, 4, 4)
    frames(old, 100, 3)
    taken = follower.next()
    assert taken.intact()
    del old
    new = Ring.create(name, 8, 32)  # the same size: it takes over the live segment
    assert not taken.intact()
    frames(new, 0, 3)
    got = [follower.next(timeout=1) for _ in range(3)]
    assert [(f.seq, f.array.tolist(), f.intact()) for f in got] == [
        (n, [[float(n)] * 8], True) for n in range(3)]
    assert follower.restarts == 1 and follower.missed == 0
    with pytest.raises(ValueError, match=f"^ring '{name}': the producer made it again with "
                                         r"capacity 8 and frame_bytes 32 \(was capacity 4 and "
                                         r"frame_bytes 64\): 4 x 4 float32 values do not fit"):
        too_wide.next(timeout=1)
    del new, ring, follower, too_wide, taken, got


@pytest.mark.parametrize("pattern", ["jitter", "speed-up", "pause then faster"])
def test_uneven_arrivals_lose_nothing_a_poll_keeps(name, pattern, caplog):
    """60 fps with each frame late by up to a period, steady 60 fps that turns into 240 fps,
    or 60 fps that pauses 0.6 s and comes back at 600 fps (twice): a 1 ms poll keeps every
    frame of an 8-slot ring, and so must the reader. The poll runs beside it, so a machine
    too busy even for the poll fails neither."""
    ring = Ring.create(name, 8, 16)
    reader = Reader(ring, 1, 4)
    times = np.arange(240) / 60
    if pattern == "jitter":
        times += np.random.default_rng(7).uniform(0, 1 / 60, len(times))
    elif pattern == "speed-up":
        times[120:] = times[120] + np.arange(120) / 240
    else:
        burst = np.concatenate([np.arange(60) / 60, 1.6 + np.arange(60) / 600])
        times = np.concatenate([burst, burst + 1.8])
    polled_lost = 0

    def produce():
        start = time.perf_counter()
        for n, due in enumerate(times):
            time.sleep(max(0.0, start + due - time.perf_counter()))
            frames(ring, n, 1)

    def poll():  # reads up to the newest each millisecond; w - 7 ... w - 1 are still held
        nonlocal polled_lost
        wanted = 0
        while wanted < len(times):
            w = ring.write_idx
            polled_lost += max(0, w - 7 - wanted)
            wanted = max(wanted, w)
            time.sleep(0.001)

    threads = [threading.Thread(target=produce), threading.Thread(target=poll)]
    for thread in threads:
        thread.start()
    seqs = [reader.next(timeout=5).seq]
    while seqs[-1] < len(times) - 1:
        seqs.append(reader.next(timeout=5).seq)
    for thread in threads:
        thread.join()
    assert reader.missed <= polled_lost, (reader.missed, polled_lost)
    assert len(seqs) + reader.missed == len(times) and seqs == sorted(seqs)
    assert polled_lost or not caplog.records


def test_waiting_leaves_the_interpreter_lock_to_other_threads(name):
    reader = Reader(Ring.create(name, 4, 16), 1, 4)
    timed_out, ticks = [], []

    def wait():
        try:
            reader.next(timeout=0.3)
        except TimeoutError:
            timed_out.append(True)

    waiter = threading.Thread(target=wait)
    started = time.perf_counter()
    waiter.start()
    while waiter.is_alive():
        ticks.append(time.perf_counter())
    assert timed_out and time.perf_counter() - started >= 0.3 and len(ticks) > 1000


@pytest.mark.linux_only  # Windows' console Ctrl-C is seen by the 50 ms look instead
def test_ctrl_c_ends_a_reader_asleep_on_the_ring_at_once(name):
    ring = Ring.create(name, 4, 16)
    code = f"""if True:
        import quorvane_reader
        reader = quorvane_reader.Reader(quorvane_reader.attach({name!r}), 1, 4)
        print("waiting", flush=True)
        try:
            reader.next()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          text=True) as waiter:
        assert waiter.stdout and waiter.stdout.readline() == "waiting\n"
        time.sleep(0.3)  # asleep on the ring by now, past the first unrung look too
        sent = time.monotonic()
        waiter.send_signal(signal.SIGINT)
        assert waiter.stdout.readline() == "interrupted\n"
        assert time.monotonic() - sent < 0.15  # not the next look, 250 ms on
    del ring


def test_threads_sharing_a_reader_take_turns_and_each_frame_comes_once(name):
    ring = Ring.create(name, 64, 16)
    reader = Reader(ring, 1, 4)
    taken: list[list[int]] = [[], [], []]

    def take(into: list[int]) -> None:
        try:
            while True:
                into.append(reader.next(timeout=0.5).seq)
        except TimeoutError:
            pass

    threads = [threading.Thread(target=take, args=(into,)) for into in taken]
    for thread in threads:
        thread.start()
    for n in range(2000):
        frames(ring, n, 1)
        if n % 50 == 0:
            time.sleep(0.001)  # now and then, let them sleep on the ring
    for thread in threads:
        thread.join()
    seqs = [seq for into in taken for seq in into]
    assert len(set(seqs)) == len(seqs) and len(seqs) + reader.missed == 2000


def test_a_reader_in_another_process_follows_a_producer(name, spawn):
    capacity, rows, cols = 4, 64, 64
    attached, running = spawn.Barrier(2), spawn.RawValue("b", 1)
    results = spawn.Queue()
    producer = spawn.Process(target=helpers.publish_stamped_frames,
                             args=(name, capacity, rows, cols, 2, attached, running))
    producer.start()
    try:
        assert run_in_child(spawn, helpers.read_with_reader, name, rows * cols, attached,
                            results) == 0
        checked, torn, in_order = results.get(timeout=10)
        assert checked > 100 and torn == 0 and in_order
    finally:
        running.value = 0
        producer.join(30)


@pytest.mark.parametrize("ending", ["close", "killed"])
def test_a_typed_camera_arrives_with_its_type_stamps_and_end(name, spawn, ending):
    attached, closed_at = spawn.Barrier(2), spawn.Queue()
    producer = spawn.Process(target=helpers.publish_camera_frames,
                             args=(name, 20, ending, attached, closed_at))
    producer.start()
    try:
        reader = Reader(quorvane_reader.attach(name, timeout=30), start="oldest")
        assert (reader.dtype, reader.shape) == (np.uint8, helpers.CAMERA)
        assert reader.producer_alive  # quiet, not gone
        attached.wait(timeout=30)
        got = []
        if ending == "close":
            got = [(f.array.copy(), f.timestamp_ns, f.user, f.intact()) for f in reader]
            assert time.time_ns() - closed_at.get(timeout=10) < 100_000_000
            with pytest.raises(EOFError, match="the producer ended its stream"):
                reader.next(timeout=5)
        else:
            with pytest.raises(TimeoutError, match="the producer is gone"):
                while True:
                    f = reader.next(timeout=0.5)
                    got.append((f.array.copy(), f.timestamp_ns, f.user, f.intact()))
            assert reader.producer_alive is False
        assert len(got) == 20 and reader.missed == 0
        for n, (array, timestamp, user, intact) in enumerate(got):
            assert intact and (timestamp, user) == (1000 + n, 3 * n)
            np.testing.assert_array_equal(array, helpers.camera_frame(n))
    finally:
        producer.join(30)


def test_a_typed_ring_takes_only_its_own_frames(name):
    with pytest.raises(ValueError, match=r"not shape \(2, 3, 5\) of dtype <U1"):
        quorvane_reader.Producer.create(name, 4, (2, 3, 5), "U1")
    with quorvane_reader.Producer.create(name, 4, (2, 3), np.dtype(">u2")) as producer:
        assert producer.ring.frame_bytes == 12
        with pytest.raises(ValueError, match=rf"^ring '{name}' takes frames of shape \(2, 3\) and "
                                             r"dtype >u2, not shape \(3, 2\) and dtype uint16$"):
            producer.publish(np.zeros((3, 2), np.uint16))
        frame = np.arange(6, dtype=">u2").reshape(2, 3)
        seq = producer.publish(frame, user=2**64 - 1)
        reader = Reader(producer.ring, start="newest")
        taken = reader.next(timeout=1)
        assert seq == taken.seq == 0 and taken.user == 2**64 - 1
        assert taken.array.dtype == np.dtype(">u2") and (taken.array == frame).all()
        assert Reader(producer.ring, 1, 3, start="newest").next(timeout=0).array.dtype == np.float32
    with pytest.raises(ValueError, match="is closed"):
        producer.publish(frame)
    with pytest.raises(ValueError, match="holds untyped frames: give rows and cols"):
        Reader(Ring.create(name, 2, 12))  # made again, untyped
