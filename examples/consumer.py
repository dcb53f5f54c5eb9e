"""A minimal consumer: attaches to a ring by name and reads every frame, zero-copy.

    python examples/consumer.py [--name camera0] [--frames 0]

quorvane_reader does the waiting (without burning a core), skips and counts frames it fell
too far behind to read, follows a restarted producer, and tells whether a frame stayed
intact while it was used. Readers in C use the same reader through <quorvane/quorvane.h>;
the pattern beneath it is the README's "The reader guarantee".
"""

import argparse

import quorvane_reader

ROWS, COLS = 240, 320  # the producer's frame shape; capacity and frame size come from the ring


def main() -> None:
    parser = argparse.ArgumentParser(description="read frames from a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    args = parser.parse_args()

    ring = quorvane_reader.attach(args.name, timeout=60)  # waits for the producer
    # From the oldest frame the ring still holds: a producer started with this consumer
    # may have published before the attach, and "next" would skip those frames uncounted.
    reader = quorvane_reader.Reader(ring, ROWS, COLS, start="oldest")
    read = dropped = 0
    total = 0.0  # what the processing adds up, from intact frames only
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
            total += value
            if args.frames and frame.seq + 1 >= args.frames:
                break
    except KeyboardInterrupt:
        pass
    print(f"read {read} frames, lost {reader.missed + dropped}, "
          f"producer restarts {reader.restarts}; their first values add up to {total:g}")

    # Readers that only want the latest frame (a display, say) call latest() instead:
    newest = reader.latest()
    if newest is not None:
        print(f"newest frame {newest.seq} has mean {newest.array.mean():.1f}")

if __name__ == "__main__":
    main()
