"""Shared timing for the benchmarks: best-of-N loops, interleaved across the contenders so
that drift in the machine's load hits them all alike."""

import time


def _loops_for(call, min_seconds):
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            call()
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds / 10:
            return max(1, int(loops * min_seconds / elapsed))
        loops *= 2


def seconds_per_call(calls, min_seconds=0.05, repeats=9):
    """{name: call} -> {name: best seconds per call}, repeats taken in turn."""
    loops = {name: _loops_for(call, min_seconds) for name, call in calls.items()}
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            for _ in range(loops[name]):
                call()
            best[name] = min(best[name], (time.perf_counter() - start) / loops[name])
    return best


def format_bytes(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:g} {unit}"
        n /= 1024
