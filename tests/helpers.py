"""Targets for child processes: importable by name, as the spawn start method needs."""

import os
import signal
import sys

import numpy as np

import quorvane


def open_and_report(name, capacity, frame_bytes, queue):
    ring = quorvane.Ring.open(name, capacity, frame_bytes)
    queue.put((ring.capacity, ring.frame_bytes, ring.write_idx, bytes(ring.view_frame(0, 1, 4))))


def create_then_die(name, ready):
    ring = quorvane.Ring.create(name, 4, 16)
    ring.publish(np.full(4, 7.0, np.float32))
    ready.set()
    os.kill(os.getpid(), signal.SIGKILL)


def read_dropped_ring_view(name):
    """Drops the Ring while a view and an array made from it live, then reads them."""
    ring = quorvane.Ring.create(name, 2, 16)
    ring.publish(np.arange(8, dtype=np.float32))
    view = ring.view_frame(1, 2, 2)
    array = np.asarray(ring.view_window(0, 2, 1, 4))
    del ring
    ok = view.tolist() == [[4.0, 5.0], [6.0, 7.0]] and array[1, 0, 3] == 7.0
    sys.exit(0 if ok else 1)


def publish_numbered_frames(name, capacity, rows, cols, frames, attached, done):
    """Producer: frame n is filled with n (exact in float32 below 2**24)."""
    ring = quorvane.Ring.create(name, capacity, rows * cols * 4)
    attached.wait()  # every consumer has opened the ring
    frame = np.empty((rows, cols), np.float32)
    for n in range(frames):
        frame.fill(n)
        ring.publish(frame)
    done.wait()  # the segment must outlive the consumers' reads


def check_numbered_frames(name, capacity, rows, cols, frames, attached, results):
    """Consumer: reads the newest frame and every frame the ring still holds, and counts
    those whose contents are not their sequence number among the frames that cannot have
    been overwritten while they were read."""
    while True:
        try:
            ring = quorvane.Ring.open(name, capacity, rows * cols * 4)
            break
        except RuntimeError:
            pass  # the producer has not created it yet
    window = np.asarray(ring.view_window(0, capacity, rows, cols))
    attached.wait()
    checked = mismatches = 0
    w = 0
    while w < frames:
        w = ring.write_idx
        if w == 0:
            continue
        newest = np.asarray(ring.view_frame(w - 1, rows, cols))
        seen = [(w - 1, newest.min(), newest.max())]
        seen += [(n, window[n % capacity].min(), window[n % capacity].max())
                 for n in range(max(0, w - capacity), w)]
        # Frame n is overwritten only while frame n + capacity is published.
        intact_from = ring.write_idx - capacity + 1
        for n, low, high in seen:
            if n >= intact_from:
                checked += 1
                mismatches += bool(low != n or high != n)
    results.put((checked, mismatches))
