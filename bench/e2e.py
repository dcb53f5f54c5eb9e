"""Frames between two processes: one-way latency and throughput of quorvane against its
peers, on this machine, in one run. Writes results.md and results.png beside this file.

Method, the same for every system:
- Producer and consumer are processes started with multiprocessing's spawn method and
  pinned to different cores when there are two.
- Latency: the producer stamps time.perf_counter_ns() (system-wide and monotonic on
  Linux) and a sequence number into the frame and sends it; the consumer takes its clock
  as soon as it holds the frame. The next frame leaves only after the consumer has had
  the previous one, and a short pause, so no queue builds up. The first tenth of the
  frames warms up and is not recorded.
- Throughput: the producer sends as fast as the system lets it; the consumer touches
  every cache line of every frame it receives; no frame may be lost.
- memcpy: numpy.copyto of the same bytes into `CAPACITY` slots in turn, in this process.
- Every system runs `--rounds` times per size, in turn with the others; the best round
  counts (lowest p50, highest throughput).
"""

import argparse
import ctypes
import multiprocessing as mp
import os
import sys
import time

import numpy as np

import report
import transports
from timing import format_bytes, seconds_per_call

SIZES = [64, 4 << 10, 256 << 10, 4 << 20]
STOP = np.uint64(2**64 - 1)
GAP_SECONDS = 20e-6
THROUGHPUT_SECONDS = 1.0
BY_NAME = {t.name: t for t in transports.ALL}


def pin(core):
    if hasattr(os, "sched_setaffinity") and os.cpu_count() and os.cpu_count() >= 2:
        os.sched_setaffinity(0, {core})


def touch(frame):
    """Reads one word of every cache line, as a consumer that looks at the whole frame."""
    return int(np.add.reduce(frame.view(np.uint64)[::8]))


def produce(name, params, mode, frame_bytes, samples, sender_ready, receiver_ready, progress):
    pin(0)
    transport = BY_NAME[name]
    sender = transport.Sender(params)
    sender_ready.set()
    receiver_ready.wait()
    frame = np.zeros(frame_bytes, np.uint8)
    stamp = frame[:16].view(np.uint64)
    send, clock = sender.send, time.perf_counter_ns
    if mode == "latency":
        for i in range(samples):
            while progress.value < i:
                time.sleep(0)  # lets a sender's own threads run
            transports.pause(GAP_SECONDS)
            stamp[0] = i
            stamp[1] = clock()
            send(frame)
    else:
        end = time.perf_counter() + THROUGHPUT_SECONDS
        i = 0
        while time.perf_counter() < end:
            stamp[0] = i
            send(frame)
            i += 1
        stamp[0] = STOP
        send(frame)
    while progress.value != 2**64 - 1:  # the consumer is done with every frame
        time.sleep(0.001)
    if hasattr(sender, "close"):
        sender.close()


def consume(name, params, mode, samples, sender_ready, receiver_ready, progress, results):
    pin(1)
    transport = BY_NAME[name]
    sender_ready.wait()
    receiver = transport.Receiver(params)
    receiver_ready.set()
    receive, done, clock = receiver.next, receiver.done, time.perf_counter_ns
    wrong = 0
    if mode == "latency":
        latencies = np.empty(samples, np.int64)
        for i in range(samples):
            frame = receive()
            arrived = clock()
            seq, sent = frame[:16].view(np.uint64)
            latencies[i] = arrived - int(sent)
            wrong += int(seq) != i
            done()
            progress.value = i + 1
        outcome = latencies[samples // 10:]
    else:
        frames = 0
        while True:
            frame = receive()
            seq = frame[:8].view(np.uint64)[0]
            if seq == STOP:
                done()
                break
            if frames == 0:
                started = time.perf_counter()
            touch(frame)
            wrong += int(seq) != frames
            frames += 1
            done()
        outcome = (frames - 1) / (time.perf_counter() - started) if frames > 1 else 0.0
    if hasattr(receiver, "close"):
        receiver.close()
    progress.value = 2**64 - 1
    results.put((outcome, wrong))


def result_of(producer, consumer, results):
    """Starts both processes, returns what the consumer puts on `results`, and ends both
    (a process stuck after that is killed)."""
    producer.start()
    consumer.start()
    try:
        return results.get(timeout=300)
    finally:
        for p in (consumer, producer):
            p.join(30)
            if p.is_alive():
                p.kill()
                p.join()


def run_pair(ctx, transport, mode, frame_bytes):
    samples = 5000 if frame_bytes <= 256 << 10 else 1000
    params = transport.prepare(ctx, frame_bytes)
    sender_ready, receiver_ready = ctx.Event(), ctx.Event()
    progress, results = ctx.RawValue(ctypes.c_uint64, 0), ctx.Queue()
    producer = ctx.Process(target=produce, args=(transport.name, params, mode, frame_bytes, samples,
                                                 sender_ready, receiver_ready, progress))
    consumer = ctx.Process(target=consume, args=(transport.name, params, mode, samples,
                                                 sender_ready, receiver_ready, progress, results))
    outcome, wrong = result_of(producer, consumer, results)
    if wrong:
        raise RuntimeError(f"{transport.name}: {wrong} frames arrived out of order")
    return outcome


def memcpy_bandwidth(frame_bytes):
    source = np.ones(frame_bytes, np.uint8)
    slots = np.zeros((transports.CAPACITY, frame_bytes), np.uint8)
    for slot in slots:
        np.copyto(slot, source)
    state = {"i": 0}

    def copy():
        state["i"] += 1
        np.copyto(slots[state["i"] % transports.CAPACITY], source)

    return frame_bytes / seconds_per_call({"memcpy": copy})["memcpy"]


def write_report(results, memcpy, skipped):
    systems = [name for name in BY_NAME if name not in skipped]
    lines = [
        "One-way latency (µs, p50 / p99) and throughput (GB/s) of frames between two "
        "processes; the method is in bench/e2e.py. memcpy is `numpy.copyto` of the same "
        "bytes in one process: the physical limit for a copy.",
        "",
    ]
    header = "| system | " + " | ".join(format_bytes(s) for s in SIZES) + " |"
    rule = "|---" * (len(SIZES) + 1) + "|"
    lines += ["## Latency, p50 / p99 (µs)", "", header, rule]
    for name in systems:
        cells = [f"{np.percentile(results[name, s]['latency'], 50) / 1e3:.2f} / "
                 f"{np.percentile(results[name, s]['latency'], 99) / 1e3:.2f}" for s in SIZES]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "## Throughput, frames/s and GB/s", "", header, rule]
    lines.append("| memcpy | " + " | ".join(f"{memcpy[s] / 1e9:.1f} GB/s" for s in SIZES) + " |")
    for name in systems:
        cells = [f"{results[name, s]['fps']:,.0f} /s, {results[name, s]['fps'] * s / 1e9:.2f} GB/s"
                 for s in SIZES]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    peers = [n for n in systems if not n.startswith(transports.Quorvane.name)]
    ours = [n for n in (transports.Quorvane.name, transports.QuorvaneInPlace.name) if n in systems]
    lines += ["", "## quorvane against the best peer", "",
              "| frame | " + " | ".join(f"{n}: p50 vs best peer (lower is better) | "
                                       f"{n}: throughput vs memcpy" for n in ours) + " |",
              "|---" * (1 + 2 * len(ours)) + "|"]
    for s in SIZES:
        best = min(peers, key=lambda n: np.percentile(results[n, s]["latency"], 50))
        theirs = np.percentile(results[best, s]["latency"], 50)
        cells = [f"{np.percentile(results[n, s]['latency'], 50) / theirs:.2f}× ({best}) | "
                 f"{results[n, s]['fps'] * s / memcpy[s]:.2f}×" for n in ours]
        lines.append(f"| {format_bytes(s)} | " + " | ".join(cells) + " |")
    if skipped:
        lines += ["", "## Not measured", ""] + [f"- {n}: {why}" for n, why in skipped.items()]
    report.write("results.md", "Frames between two processes", lines)
    return systems


def plot(results, memcpy, systems):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (lat, thr) = plt.subplots(1, 2, figsize=(12, 4.8))
    for name in systems:
        style = {"linewidth": 2.5, "color": "black"} if name == "quorvane" else {}
        if name == transports.QuorvaneSmallRing.name:
            style = {"linewidth": 1.5, "color": "black", "linestyle": ":"}
        lat.plot(SIZES, [np.percentile(results[name, s]["latency"], 50) / 1e3 for s in SIZES],
                 marker="o", label=name, **style)
        thr.plot(SIZES, [results[name, s]["fps"] * s / 1e9 for s in SIZES], marker="o",
                 label=name, **style)
    thr.plot(SIZES, [memcpy[s] / 1e9 for s in SIZES], linestyle="--", color="grey", label="memcpy")
    for axis, title, unit in ((lat, "one-way latency, p50", "µs"), (thr, "throughput", "GB/s")):
        axis.set_xscale("log", base=2)
        axis.set_yscale("log")
        axis.set_xticks(SIZES, [format_bytes(s) for s in SIZES])
        axis.set_xlabel("frame size")
        axis.set_ylabel(unit)
        axis.set_title(title)
        axis.grid(True, which="both", alpha=0.3)
    thr.legend(fontsize=8)
    fig.suptitle("Frames between two processes (lower latency, higher throughput is better)")
    fig.tight_layout()
    fig.savefig(report.HERE / "results.png", dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--systems", nargs="*", default=list(BY_NAME), help="names to run")
    parser.add_argument("--rounds", type=int, default=3, help="runs per system and size; best kept")
    args = parser.parse_args()
    ctx = mp.get_context("spawn")
    skipped = {}
    for transport in transports.ALL:
        if transport.name not in args.systems:
            skipped[transport.name] = "not selected"
        elif reason := transports.unavailable_reason(transport, ctx):
            skipped[transport.name] = reason
    memcpy = {s: memcpy_bandwidth(s) for s in SIZES}
    running = [t for t in transports.ALL if t.name not in skipped]
    for name, reason in skipped.items():
        print(f"{name}: skipped ({reason})")
    results = {}
    for s in SIZES:
        # Rounds interleave the systems, so that the machine's drift (this is a shared VM)
        # hits them alike; each keeps its best round.
        for _ in range(args.rounds):
            for transport in running:
                latency = run_pair(ctx, transport, "latency", s)
                fps = run_pair(ctx, transport, "throughput", s)
                best = results.setdefault((transport.name, s), {"latency": latency, "fps": fps})
                if np.percentile(latency, 50) < np.percentile(best["latency"], 50):
                    best["latency"] = latency
                best["fps"] = max(best["fps"], fps)
        for transport in running:
            best = results[transport.name, s]
            latency, fps = best["latency"], best["fps"]
            print(f"{transport.name:24} {format_bytes(s):>8}  p50 {np.percentile(latency, 50) / 1e3:8.2f} us"
                  f"  p99 {np.percentile(latency, 99) / 1e3:8.2f} us  {fps:12,.0f} frames/s"
                  f"  {fps * s / 1e9:6.2f} GB/s (memcpy {memcpy[s] / 1e9:5.1f})", flush=True)
    systems = write_report(results, memcpy, skipped)
    plot(results, memcpy, systems)


if __name__ == "__main__":
    sys.exit(main())
