"""A minimal consumer: attaches to a ring by name and reads frames zero-copy.

    python examples/consumer.py [--name camera0] [--frames 0]

Shows the reader pattern: poll write_idx, look at the newest frame, notice when it fell
more than `capacity` frames behind or the producer restarted, and read a range that wraps
with two view_window calls.
"""

import argparse
import time

import numpy as np

import quorvane

ROWS, COLS, CAPACITY = 240, 320, 16  # must match the producer's
FRAME_BYTES = ROWS * COLS * 4


def open_when_ready(name: str) -> quorvane.Ring:
    while True:
        try:
            return quorvane.Ring.open(name, CAPACITY, FRAME_BYTES)
        except RuntimeError:  # "OpenFileMapping failed": no producer yet
            time.sleep(0.05)


def held_frames(ring: quorvane.Ring, first: int, end: int) -> list[np.ndarray]:
    """Frames first .. end-1 as arrays on the ring's memory (no copy).

    A range may wrap past the last slot; a window never does, so take it in two parts."""
    start_slot = first % CAPACITY
    count = end - first
    head = min(count, CAPACITY - start_slot)  # up to the last slot
    parts = [np.asarray(ring.view_window(first, head, ROWS, COLS))]
    if count > head:
        parts.append(np.asarray(ring.view_window(0, count - head, ROWS, COLS)))
    return [frame for part in parts for frame in part]


def main() -> None:
    parser = argparse.ArgumentParser(description="read frames from a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    args = parser.parse_args()

    ring = open_when_ready(args.name)
    # The fastest loop for hot readers: one array over the whole ring, made once, then
    # indexed by slot. It stays valid (and keeps the ring mapped) as long as it lives.
    slots = np.asarray(ring.view_window(0, CAPACITY, ROWS, COLS))

    seen = ring.write_idx  # frames before this one are not ours to read
    read = lost = restarts = 0
    try:
        while args.frames == 0 or seen < args.frames:
            w = ring.write_idx  # acquire: every frame below w is fully written
            if w < seen:  # the index went down: a new producer called create; start over
                restarts += 1
                seen = 0
            if w == seen:
                time.sleep(0.001)
                continue
            if w - seen > CAPACITY:  # fell behind: the oldest of these are overwritten
                lost += w - CAPACITY - seen
                seen = w - CAPACITY
            for seq in range(seen, w):
                value = float(slots[seq % CAPACITY][0, 0])  # your processing reads here
                # The producer may have moved on while we read: frame `seq` was intact
                # only if write_idx is still below seq + CAPACITY afterwards, and not below
                # w (a restarted producer may have written over it).
                if not w <= ring.write_idx < seq + CAPACITY:
                    lost += 1
                    continue
                read += 1
                assert value == seq % 256, f"frame {seq} holds {value}"
            seen = w
    except KeyboardInterrupt:
        pass
    print(f"read {read} frames, lost {lost}, producer restarts {restarts}")

    # Readers that only want the latest frame (a display, say) skip the loop above:
    w = ring.write_idx
    if w > 0:
        newest = np.asarray(ring.view_frame(w - 1, ROWS, COLS))
        held = held_frames(ring, max(0, w - CAPACITY), w)
        print(f"newest frame {w - 1} has mean {newest.mean():.1f}; the ring holds {len(held)} frames")


if __name__ == "__main__":
    main()
