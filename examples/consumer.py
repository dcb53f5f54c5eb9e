"""A minimal consumer: attaches to a ring by name and reads every frame, zero-copy.

    python examples/consumer.py [--name camera0] [--frames 0]

quorvane_reader does the waiting (without burning a core), skips and counts frames it fell
too far behind to read, notices a restarted producer, and tells whether a frame stayed
intact while it was used. The same done by hand, for readers in other languages, is in
the README ("The reader pattern and its guarantee").
"""

import argparse

import numpy as np

import quorvane
import quorvane_reader

ROWS, COLS = 240, 320  # the producer's frame shape; capacity and frame size come from the ring


def held_frames(ring: quorvane.Ring, first: int, end: int) -> list[np.ndarray]:
    """Frames first .. end-1 as arrays on the ring's memory (no copy).

    A range may wrap past the last slot; a window never does, so take it in two parts."""
    start_slot = first % ring.capacity
    count = end - first
    head = min(count, ring.capacity - start_slot)  # up to the last slot
    parts = [np.asarray(ring.view_window(first, head, ROWS, COLS))]
    if count > head:
        parts.append(np.asarray(ring.view_window(0, count - head, ROWS, COLS)))
    return [frame for part in parts for frame in part]


def main() -> None:
    parser = argparse.ArgumentParser(description="read frames from a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    args = parser.parse_args()

    ring = quorvane_reader.attach(args.name, timeout=60)  # waits for the producer
    reader = quorvane_reader.Reader(ring, ROWS, COLS)  # from the next frame published
    read = dropped = 0
    try:
        while True:
            try:
                frame = reader.next(timeout=5)
            except TimeoutError:
                print("no frame for 5 s: the producer has stopped")
                break
            value = float(frame.array[0, 0])  # your processing reads here
            # Checked after use: if the producer overwrote the slot meanwhile, what we read
            # may mix two frames, so the result is dropped.
            if not frame.intact():
                dropped += 1
                continue
            read += 1
            assert value == frame.seq % 256, f"frame {frame.seq} holds {value}"
            if args.frames and frame.seq + 1 >= args.frames:
                break
    except KeyboardInterrupt:
        pass
    print(f"read {read} frames, lost {reader.missed + dropped}, "
          f"producer restarts {reader.restarts}")

    # Readers that only want the latest frame (a display, say) call latest() instead:
    newest = reader.latest()
    if newest is not None:
        w = newest.seq + 1
        held = held_frames(ring, max(0, w - ring.capacity), w)
        print(f"newest frame {newest.seq} has mean {newest.array.mean():.1f}; "
              f"the ring holds {len(held)} frames")


if __name__ == "__main__":
    main()
