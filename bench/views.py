"""The consumer's per-frame cost: making a view, against numpy.ndarray over SharedMemory.

  peer   numpy.ndarray((rows, cols), numpy.float32, buffer=shm.buf, offset=...) on a
         multiprocessing.shared_memory block holding the same slots
"""

import argparse
import uuid
from multiprocessing import shared_memory

import numpy as np

import quorvane
from timing import seconds_per_call


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="480x640", help="rows x cols of a frame")
    parser.add_argument("--capacity", type=int, default=8)
    args = parser.parse_args()
    rows, cols = map(int, args.shape.split("x"))
    capacity, frame_bytes = args.capacity, rows * cols * 4
    ring = quorvane.Ring.create(f"qv_bench_{uuid.uuid4().hex[:8]}", capacity, frame_bytes)
    shm = shared_memory.SharedMemory(create=True, size=24 + capacity * frame_bytes)
    try:
        buf, slot = shm.buf, 3
        view_frame, view_window, asarray = ring.view_frame, ring.view_window, np.asarray
        calls = {
            "view_frame": lambda: view_frame(slot, rows, cols),
            "view_frame + asarray": lambda: asarray(view_frame(slot, rows, cols)),
            "view_window + asarray": lambda: asarray(view_window(slot, 1, rows, cols)),
            "peer ndarray": lambda: np.ndarray((rows, cols), np.float32, buffer=buf,
                                               offset=24 + slot * frame_bytes),
        }
        times = seconds_per_call(calls, min_seconds=0.1)
        peer = times["peer ndarray"]
        print(f"views of a {rows}x{cols} float32 frame, best of 9, interleaved; numpy {np.__version__}")
        print(f"{'':24} {'time':>9} {'vs peer':>8}")
        for label, seconds in times.items():
            print(f"{label:24} {seconds * 1e9:7.0f}ns {seconds / peer:7.2f}x")
        del buf
    finally:
        shm.close()
        shm.unlink()


if __name__ == "__main__":
    main()
