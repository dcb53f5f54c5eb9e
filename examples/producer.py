"""A minimal producer: a camera of 240 x 320 RGB uint8 frames, published into a typed ring
until stopped.

    python examples/producer.py [--name camera0] [--frames 0] [--fps 100]

Run examples/consumer.py with the same --name in another terminal.
"""

import argparse
import time

import numpy as np

import quorvane_reader

SHAPE, CAPACITY = (240, 320, 3), 16  # rows, cols, RGB


def main() -> None:
    parser = argparse.ArgumentParser(description="publish camera frames into a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    parser.add_argument("--fps", type=float, default=100.0, help="0 = as fast as possible")
    args = parser.parse_args()

    # create() makes the ring (or takes over a live one of that name and restarts its count
    # at 0) and records dtype and shape beside it, so readers need not be told. The ring
    # lives until the last handle on it, in any process, is gone.
    frame = np.zeros(SHAPE, np.uint8)
    seq = 0
    with quorvane_reader.Producer.create(args.name, CAPACITY, SHAPE, np.uint8) as camera:
        try:
            while args.frames == 0 or seq < args.frames:
                frame.fill(seq % 256)  # your camera fills the frame here
                # publish() copies the frame into the next slot, stamps it (time.time_ns()
                # and a word of yours), then advances write_idx: consumers never see a
                # frame before its bytes are all written.
                camera.publish(frame, user=seq)
                seq += 1
                if args.fps > 0:
                    time.sleep(1 / args.fps)
        except KeyboardInterrupt:
            pass
        print(f"published {camera.ring.write_idx} frames")
    # Leaving the with block ended the stream: consumers read what is left, then stop.


if __name__ == "__main__":
    main()
