"""A minimal producer: publishes numbered frames into a ring until stopped.

    python examples/producer.py [--name camera0] [--frames 0] [--fps 100]

Run examples/consumer.py with the same --name in another terminal.
"""

import argparse
import time

import numpy as np

import quorvane

ROWS, COLS, CAPACITY = 240, 320, 16
FRAME_BYTES = ROWS * COLS * 4  # float32


def main() -> None:
    parser = argparse.ArgumentParser(description="publish frames into a quorvane ring")
    parser.add_argument("--name", default="camera0")
    parser.add_argument("--frames", type=int, default=0, help="stop after this many (0 = never)")
    parser.add_argument("--fps", type=float, default=100.0, help="0 = as fast as possible")
    args = parser.parse_args()

    # create() makes the segment, or takes over a live one of that name and restarts its
    # count at 0. The segment lives until the last handle on it, in any process, is gone.
    ring = quorvane.Ring.create(args.name, CAPACITY, FRAME_BYTES)
    frame = np.zeros((ROWS, COLS), np.float32)
    seq = 0
    try:
        while args.frames == 0 or seq < args.frames:
            frame.fill(seq % 256)  # your camera or simulation fills the frame here
            # publish() copies the frame into slot write_idx % capacity, then advances
            # write_idx; consumers never see a frame before its bytes are all written.
            ring.publish(frame)
            seq += 1
            if args.fps > 0:
                time.sleep(1 / args.fps)
    except KeyboardInterrupt:
        pass
    print(f"published {ring.write_idx} frames")
    # Keep the ring alive a moment, so consumers can read the last frames.
    time.sleep(0.5)


if __name__ == "__main__":
    main()
