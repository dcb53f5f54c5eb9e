"""A minimal consumer: attaches to a camera's ring by name and reads every frame, zero-copy,
until the producer ends its stream.

    python examples/consumer.py [--name camera0] [--frames 0]

quorvane_reader does the waiting (without burning a core), takes dtype and shape from the
producer, skips and counts frames it fell too far behind to read, follows a restarted
producer, and tells whether a frame stayed intact while it was used. Readers in C use the
same reader through <quorvane/quorvane.h>; the pattern beneath it is the README's "The
reader guarantee".
"""

import argparse
import time

import quorvane_reader


def main() -> None:
    parser = argparse.ArgumentParser(description="read frames from a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    args = parser.parse_args()

    ring = quorvane_reader.attach(args.name, timeout=60)  # waits for the producer
    # From the oldest frame the ring still holds: a producer started with this consumer
    # may have published before the attach, and "next" would skip those frames uncounted.
    reader = quorvane_reader.Reader(ring, start="oldest")
    print(f"following {args.name!r}: {reader.shape} {reader.dtype} frames")
    read = dropped = 0
    total, latency_ns = 0.0, 0
    try:
        while True:
            try:
                frame = reader.next(timeout=5)
            except EOFError:  # the producer ended its stream, and every frame was read
                break
            except TimeoutError:
                if reader.producer_alive is False:
                    print("the producer is gone: it ended without ending its stream")
                    break
                continue  # only quiet
            value = float(frame.array[0, 0, 0])  # your processing reads here
            age = time.time_ns() - frame.timestamp_ns
            # Checked after use: if the producer overwrote the slot meanwhile, what we read
            # (its stamp too) may mix two frames, so the result is dropped.
            if not frame.intact():
                dropped += 1
                continue
            read += 1
            total += value
            latency_ns = max(latency_ns, age)
            if args.frames and frame.seq + 1 >= args.frames:
                break
    except KeyboardInterrupt:
        pass
    print(f"read {read} frames, lost {reader.missed + dropped}, "
          f"producer restarts {reader.restarts}; their first values add up to {total:g}; "
          f"oldest when read: {latency_ns / 1e6:.2f} ms")

    # Readers that only want the latest frame (a display, say) call latest() instead:
    newest = reader.latest()
    if newest is not None:
        print(f"newest frame {newest.seq} has mean {newest.array.mean():.1f}")


if __name__ == "__main__":
    main()
