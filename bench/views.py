"""The consumer's per-frame cost: making a view, against numpy.ndarray over SharedMemory.

  peer   numpy.ndarray((rows, cols), numpy.float32, buffer=shm.buf, offset=...) on a
         multiprocessing.shared_memory block holding the same slots
"""

import argparse
import uuid
from multiprocessing import shared_memory

import numpy as np

import quorvane
import report
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
        peer = times.pop("peer ndarray")
        cells = [[f"`{label}`", f"{seconds * 1e6:.2f} µs", f"{seconds / peer:.2f}×"]
                 for label, seconds in times.items()]
        report.write("results-views.md", "Views", [
            f"Time to make a view of one {rows} × {cols} float32 frame, best of 9, interleaved, "
            "against the peer `numpy.ndarray((rows, cols), numpy.float32, buffer=shm.buf, "
            f"offset=…)` over a `multiprocessing.shared_memory` block ({peer * 1e6:.2f} µs).",
            "", *report.table(["", "time", "vs the peer"], cells)])
        del buf
    finally:
        shm.close()
        shm.unlink()


if __name__ == "__main__":
    main()
