"""Targets for child processes: importable by name, as the spawn start method needs."""

import os
import signal
import sys
import time
import zlib

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


STAMP_BYTES = 16  # sequence number, then a CRC of it and the payload


def publish_stamped_frames(name, capacity, rows, cols, attached, done, frames=0):
    """Producer: frame n holds n, crc32(payload, n) and a payload that varies with n.
    Runs until `done` is set (or `frames` are published), then keeps the ring alive
    until `done`."""
    frame_bytes = rows * cols * 4
    ring = quorvane.Ring.create(name, capacity, frame_bytes)
    payloads = np.random.default_rng(1).integers(0, 256, (61, frame_bytes - STAMP_BYTES), np.uint8)
    frame = np.empty(frame_bytes, np.uint8)
    attached.wait()
    n = 0
    while not done.is_set() and (frames == 0 or n < frames):
        payload = payloads[n % len(payloads)]
        frame[STAMP_BYTES:] = payload
        frame[:STAMP_BYTES].view(np.uint64)[:] = (n, zlib.crc32(payload, n & 0xFFFFFFFF))
        ring.publish(frame)
        n += 1
    done.wait()


def check_stamped_frames(name, capacity, rows, cols, attached, stop, results, frames=0):
    """Consumer: reads every frame the ring still holds, through one array over the whole
    ring, and counts the ones whose stamp is wrong among those that cannot have been
    overwritten while they were read. Runs until `stop` is set or frame `frames - 1` is
    seen."""
    frame_bytes = rows * cols * 4
    while True:
        try:
            ring = quorvane.Ring.open(name, capacity, frame_bytes)
            break
        except RuntimeError:
            time.sleep(0.001)  # the producer has not created it yet
    slots = np.asarray(ring.view_window(0, capacity, rows, cols)).view(np.uint8)
    slots = slots.reshape(capacity, frame_bytes)
    newest = ring.view_frame  # the newest frame, as readers that want only it see it
    attached.wait()
    checked = mismatches = 0
    seen = 0
    while not stop.is_set() and (frames == 0 or seen < frames):
        w = ring.write_idx
        if w == seen:
            time.sleep(0)
            continue
        np.asarray(newest(w - 1, rows, cols)).view(np.uint32).sum()
        for n in range(max(seen, w - capacity), w):
            frame = slots[n % capacity]
            seq, crc = (int(v) for v in frame[:STAMP_BYTES].view(np.uint64))
            intact = crc == zlib.crc32(frame[STAMP_BYTES:], seq & 0xFFFFFFFF) and seq == n
            # Frame n is overwritten only while frame n + capacity is published.
            if ring.write_idx < n + capacity:
                checked += 1
                mismatches += not intact
        seen = w
    results.put((checked, mismatches))
