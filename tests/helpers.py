"""Targets for child processes: importable by name, as the spawn start method needs."""

import os
import signal
import sys
import time
import zlib

from multiprocessing import resource_tracker, shared_memory

import numpy as np

import quorvane
import quorvane_reader


def untracked_shared_memory(name, create=False, size=0):
    """multiprocessing's SharedMemory on `name`, kept from Python's resource tracker, which
    unlinks at exit the segments it was told of. Before 3.13 (no track=False) one this process
    attaches to is taken off the tracker's list at once; one it makes stays on it until its
    unlink(), which tells the tracker too."""
    if sys.version_info >= (3, 13):
        return shared_memory.SharedMemory(name, create, size, track=False)
    segment = shared_memory.SharedMemory(name, create, size)
    if not create:
        resource_tracker.unregister(segment._name, "shared_memory")
    return segment


def open_and_report(name, capacity, frame_bytes, queue):
    ring = quorvane.Ring.open(name, capacity, frame_bytes)
    queue.put((ring.capacity, ring.frame_bytes, ring.write_idx, bytes(ring.view_frame(0, 1, 4))))


def create_then_die(name, ready):
    ring = quorvane.Ring.create(name, 4, 16)
    ring.publish(np.full(4, 7.0, np.float32))
    ready.set()
    os.kill(os.getpid(), signal.SIGKILL)


def attach_as_user(uid, name, queue):
    """Becomes user `uid`, then reports what create and open of `name` say: None for a Ring."""
    os.setgid(uid)
    os.setuid(uid)
    outcomes = []
    for factory in (quorvane.Ring.create, quorvane.Ring.open):
        try:
            factory(name, 4, 16)
            outcomes.append(None)
        except RuntimeError as error:
            outcomes.append(str(error))
    queue.put(outcomes)


def hold_a_read_lease(path, ready, done):
    """Holds a read lease on path (Linux), which makes an open for writing wait for it. The
    kernel asks the holder to let go with SIGIO, which would end it: ignored."""
    import fcntl  # POSIX only

    signal.signal(signal.SIGIO, signal.SIG_IGN)
    fd = os.open(path, os.O_RDONLY)
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
    ready.set()
    done.wait(60)
    os.close(fd)


held = []


def hold_ring(name):
    """Creates a ring and keeps it: the process ends holding it."""
    held.append(quorvane.Ring.create(name, 4, 16))


def release_together(name, rounds, start):
    """Opens the ring, then drops the handle at the same moment as another process."""
    for _ in range(rounds):
        start.wait(30)
        ring = quorvane.Ring.open(name, 1, 8)
        start.wait(30)
        del ring
        start.wait(30)


def read_dropped_ring_view(name):
    """Drops the Ring while a view and an array made from it live, then reads them."""
    ring = quorvane.Ring.create(name, 2, 16)
    ring.publish(np.arange(8, dtype=np.float32))
    view = ring.view_frame(1, 2, 2)
    array = np.asarray(ring.view_window(0, 2, 1, 4))
    del ring
    ok = view.tolist() == [[4.0, 5.0], [6.0, 7.0]] and array[1, 0, 3] == 7.0
    sys.exit(0 if ok else 1)


STAMP_BYTES = 16  # sequence number, then a CRC of it and the payload


def stamp(frame, n, payload):
    """Fills a uint8 frame as frame n: n, crc32(payload, n), payload."""
    frame[STAMP_BYTES:] = payload
    frame[:STAMP_BYTES].view(np.uint64)[:] = (n, zlib.crc32(payload, n & 0xFFFFFFFF))


def is_intact(frame, n):
    seq, crc = (int(v) for v in frame[:STAMP_BYTES].view(np.uint64))
    return seq == n and crc == zlib.crc32(frame[STAMP_BYTES:], n & 0xFFFFFFFF)


def byte_slots(ring):
    """One array over the whole ring, made once: row k is slot k's bytes (no copy)."""
    window = np.asarray(ring.view_window(0, ring.capacity, 1, ring.frame_bytes // 4))
    return window.view(np.uint8).reshape(ring.capacity, ring.frame_bytes)


def check_held_frames(ring, slots, seen, w):
    """Checks frames seen .. w-1 that the ring still holds, through `slots` (one uint8
    row per slot); returns (checked, mismatches) over those that cannot have been
    overwritten while read: frame n is overwritten only while n + capacity is published.
    The raw ring by hand, as other programs read it; the held frames are the reader
    cursor's (ring/include/quorvane/cursor.hpp)."""
    capacity = len(slots)
    checked = mismatches = 0
    for n in range(max(seen, w - capacity + 1), w):
        intact = is_intact(slots[n % capacity], n)
        if ring.write_idx < n + capacity:
            checked += 1
            mismatches += not intact
    return checked, mismatches


def publish_stamped_frames(name, capacity, rows, cols, per_call, attached, running):
    """Producer: publishes stamped frames, `per_call` in each publish, while `running` (a
    shared flag without a lock: the producer may be killed at any instant, and must not die
    holding one)."""
    frame_bytes = rows * cols * 4
    ring = quorvane.Ring.create(name, capacity, frame_bytes)
    payloads = np.random.default_rng(1).integers(0, 256, (61, frame_bytes - STAMP_BYTES), np.uint8)
    frames = np.empty((per_call, frame_bytes), np.uint8)
    attached.wait()
    n = 0
    while running.value:
        for i, frame in enumerate(frames):
            stamp(frame, n + i, payloads[(n + i) % len(payloads)])
        ring.publish(frames)
        n += per_call


def check_stamped_frames(name, capacity, rows, cols, attached, stop, results):
    """Consumer: looks at the newest frame through a view of its own and checks every
    frame the ring still holds through one array over the whole ring, until `stop`."""
    frame_bytes = rows * cols * 4
    while True:
        try:
            ring = quorvane.Ring.open(name, capacity, frame_bytes)
            break
        except RuntimeError:
            time.sleep(0.001)  # the producer has not created it yet
    slots = byte_slots(ring)
    attached.wait()
    checked = mismatches = seen = 0
    while not stop.is_set():
        w = ring.write_idx
        if w == seen:
            time.sleep(0)
            continue
        np.asarray(ring.view_frame(w - 1, rows, cols)).view(np.uint32).sum()
        counts = check_held_frames(ring, slots, seen, w)
        checked, mismatches, seen = checked + counts[0], mismatches + counts[1], w
    results.put((checked, mismatches))


def read_with_reader(name, floats, attached, results):
    """Consumer: follows the ring with a Reader for 2 s, checking every frame's stamp and
    counting those intact() vouched for that were not."""
    reader = quorvane_reader.Reader(quorvane_reader.attach(name, timeout=30), 1, floats)
    attached.wait()
    checked = torn = 0
    last, in_order = -1, True
    end = time.monotonic() + 2
    while time.monotonic() < end:
        frame = reader.next(timeout=10)
        stamped = is_intact(frame.array.view(np.uint8).reshape(-1), frame.seq)
        if frame.intact():
            checked += 1
            torn += not stamped
        in_order &= frame.seq > last
        last = frame.seq
    results.put((checked, torn, in_order))


def publish_numbered_frames(name, rows, cols, fps, running, published):
    """Frame n is rows x cols float32 values n, published fps times a second; `published`
    counts them."""
    ring = quorvane.Ring.create(name, 8, rows * cols * 4)
    while running.value:
        ring.publish(np.full((rows, cols), published.value, np.float32))
        published.value += 1
        time.sleep(1 / fps)


def follow_numbered_frames(name, rows, cols, until, results):
    """Reads a ring of numbered frames until it read one numbered `until.value` or later
    (0: not told yet), or for two minutes at most; reports the numbers of the intact ones
    and those that were not one number throughout."""
    reader = quorvane_reader.Reader(quorvane_reader.attach(name, timeout=30), rows, cols,
                                    start="oldest")
    numbers, mixed = [], []
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not (until.value and numbers and
                                               numbers[-1] >= until.value):
        try:
            frame = reader.next(timeout=1)
        except TimeoutError:
            continue
        first, low, high = float(frame.array[0, 0]), frame.array.min(), frame.array.max()
        if frame.intact():
            (numbers if low == high == first else mixed).append(int(first))
    results.put((numbers, mixed))


def call_members_on_none():
    """Exits 0 if every member that takes a ring refuses None for it with TypeError (a
    crash or another outcome fails the test)."""
    ring = quorvane.Ring
    calls = [
        lambda: ring.write_idx.fget(None), lambda: ring.capacity.fget(None),
        lambda: ring.frame_bytes.fget(None), lambda: ring.publish(None, np.zeros(4, np.float32)),
        lambda: ring.view_frame(None, 0, 1, 1), lambda: ring.view_window(None, 0, 1, 1, 1),
        lambda: quorvane_reader._native.Cursor(None, 1, 1, 0, "r"),
        lambda: quorvane_reader._native.header(None),
    ]
    for call in calls:
        try:
            call()
        except TypeError:
            continue
        sys.exit(1)


CAMERA = (48, 64, 3)


def camera_frame(n):
    """Frame n of a uint8 RGB camera: red is n, green the row, blue the column."""
    frame = np.empty(CAMERA, np.uint8)
    frame[..., 0] = n
    frame[..., 1] = np.arange(CAMERA[0])[:, None]
    frame[..., 2] = np.arange(CAMERA[1])
    return frame


def publish_camera_frames(name, count, ending, attached, closed_at):
    """A typed camera: `count` frames stamped 1000 + n and user word 3n, then the stream
    ends by close() (its time.time_ns() put in closed_at) or by the process being killed."""
    camera = quorvane_reader.Producer.create(name, 4, CAMERA, np.uint8)
    attached.wait(timeout=30)
    for n in range(count):
        camera.publish(camera_frame(n), timestamp_ns=1000 + n, user=3 * n)
        time.sleep(0.005)
    if ending == "killed":
        os._exit(0)  # as a crash ends it: nothing released, nothing closed
    closed_at.put(time.time_ns())
    camera.close()
    time.sleep(0.5)  # the reader tells an ended stream apart while the producer lives on
