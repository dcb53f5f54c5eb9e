"""Creates a ring, publishes a few frames, and reads them back from a second process."""

import multiprocessing

import numpy as np

import quorvane


def consumer(name, capacity, frame_bytes):
    ring = quorvane.Ring.open(name, capacity, frame_bytes)
    newest = np.asarray(ring.view_frame(ring.write_idx - 1, 2, 4))
    print(f"consumer: capacity={ring.capacity} frame_bytes={ring.frame_bytes} "
          f"write_idx={ring.write_idx} newest frame={newest.tolist()}")


def main():
    name, capacity, frame_bytes = "quorvane_demo", 4, 32
    ring = quorvane.Ring.create(name, capacity, frame_bytes)
    ring.publish(np.arange(3 * 8, dtype=np.float32))  # three frames of 2 x 4 floats
    print(f"producer: published 3 frames, write_idx={ring.write_idx}")
    child = multiprocessing.get_context("spawn").Process(
        target=consumer, args=(name, capacity, frame_bytes))
    child.start()
    child.join()
    raise SystemExit(child.exitcode)


if __name__ == "__main__":
    main()
