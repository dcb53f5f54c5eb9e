"""Frames over the network, on loopback: quorvane_bridge end to end (a producer's ring ->
send -> Zenoh -> recv -> a ring) against Zenoh's own put/subscribe of the same payloads
and pyzmq PUB/SUB over TCP, in one run.

Zenoh runs in two setups, the bridge and raw Zenoh alike in each: "between hosts", the
settings examples/bridge/bulk-frames.json5 recommends with Zenoh's shared-memory transport
off, so that payloads cross the TCP link as they would between two machines; and "Zenoh
defaults", where Zenoh, finding both ends on one host, moves payloads through shared memory
of its own, which no network link does. With --link-gbit G it all runs again in a network
namespace whose loopback is shaped to G Gbit/s, a link slower than memory, as between hosts.

Each system runs twice for --seconds per frame size, each time after a second of warm-up;
reported is the better run's rate of what arrived at the far end: frames per second and GB/s
(for the bridge, how far the far ring's write_idx advanced), and for Zenoh and the bridge
the CPU time both ends' processes took per frame that arrived, Zenoh's threads included: on
a machine whose cores the two ends share, the rate is bound by CPU as much as by the link,
and the CPU per frame shows what the bridge costs beyond Zenoh. Senders go as fast as their
system lets them; Zenoh's put blocks rather than drop (the bridge's default), pyzmq drops at
its high-water mark like PUB/SUB does. The bridge's producer commits frames in place
(paced_producer) at 1.2x the rate raw Zenoh reached, then again at 1.2x the rate the bridge
reached, the better run counting: it never limits the bridge and, like a camera writing by
DMA, costs little CPU, which matters on this machine's two cores.
"""

import argparse
import ctypes
import multiprocessing as mp
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import uuid

import numpy as np

import report

SIZES = [64 << 10, 1 << 20, 8 << 20]
GOAL, GOAL_FROM = 0.95, 1 << 20  # the bridge's rate against raw Zenoh's, from 1 MiB frames
HERE = os.path.dirname(os.path.abspath(__file__))
SHAPED = "QUORVANE_BENCH_LINK"  # set inside the namespace of a shaped link
SETUPS = {  # name: a Zenoh config file, other settings
    "between hosts": (os.path.join(HERE, "..", "examples", "bridge", "bulk-frames.json5"),
                      {"transport/shared_memory/enabled": "false"}),
    "Zenoh defaults": (None, {}),
}


def label(size):
    return f"{size >> 20} MiB" if size >= 1 << 20 else f"{size >> 10} KiB"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def zenoh_session(setup, endpoint, listen):
    """A session configured as the bridges are in `setup`."""
    import zenoh
    from quorvane_bridge import zenoh_config
    config_file, settings = SETUPS[setup]
    where = {"listen" if listen else "connect": [endpoint]}
    return zenoh.open(zenoh_config(config_file, multicast_scouting=False, settings=settings,
                                   **where))


def zenoh_put(setup, endpoint, key, frame_bytes, stop):
    import zenoh
    payload = np.ones(frame_bytes, np.uint8).tobytes()
    with zenoh_session(setup, endpoint, listen=False) as session, session.declare_publisher(
            key, congestion_control=zenoh.CongestionControl.BLOCK) as publisher:
        while not stop.value:
            publisher.put(payload)


def zenoh_subscribe(setup, endpoint, key, received, ready):
    def count(sample):
        sample.payload.to_bytes()  # as the bridge's far side does
        received.value += 1

    with (zenoh_session(setup, endpoint, listen=True) as session,
          session.declare_subscriber(key, count)):
        ready.set()
        while True:
            time.sleep(1)


def zmq_pub(endpoint, frame_bytes, stop):
    import zmq
    publisher = zmq.Context().socket(zmq.PUB)
    publisher.connect(endpoint)
    payload = np.ones(frame_bytes, np.uint8).tobytes()
    while not stop.value:
        publisher.send(payload)


def zmq_sub(endpoint, received, ready):
    import zmq
    subscriber = zmq.Context().socket(zmq.SUB)
    subscriber.bind(endpoint)
    subscriber.setsockopt(zmq.SUBSCRIBE, b"")
    ready.set()
    while True:
        subscriber.recv(copy=True)
        received.value += 1


def paced_producer(name, frame_bytes, fps, stop):
    """Publishes fps frames a second, sleeping whenever ahead, as a camera
    whose frames arrive by DMA: each frame is committed in place (the C API) with only its
    number written, so the producer costs next to no CPU whatever the frame size."""
    from transports import create_in_c
    # Slots enough for the bursts after a late wake, few enough to stay in the cache, as raw
    # Zenoh's one payload does.
    lib, ring = create_in_c(name, max(8, min(32, (2 << 20) // frame_bytes)), frame_bytes)
    start, n = time.perf_counter(), 0
    while not stop.value:
        ctypes.c_uint64.from_address(lib.quorvane_next_slot(ring)).value = n
        lib.quorvane_commit(ring)
        n += 1
        # Sleeps wake a tenth of a millisecond late here: only a long one keeps the rate,
        # and the frames it owes then come in a burst shorter than the ring.
        ahead = start + n / fps - time.perf_counter()
        if ahead > 0.0005:
            time.sleep(ahead)
    lib.quorvane_release(ring)


def cpu_seconds(pid):
    """The CPU time process `pid` has taken, all its threads, user and system."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(count, seconds, pids):
    """Frames per second that `count()` advanced by, after a second of warm-up, and the
    CPU seconds the processes `pids` took per frame."""
    time.sleep(1)
    first, cpu, t0 = count(), sum(map(cpu_seconds, pids)), time.perf_counter()
    time.sleep(seconds)
    frames, cpu = count() - first, sum(map(cpu_seconds, pids)) - cpu
    return frames / (time.perf_counter() - t0), cpu / max(frames, 1)


def run_pair(ctx, sender, sender_args, receiver, receiver_args, seconds):
    stop, received = ctx.RawValue(ctypes.c_bool, False), ctx.RawValue(ctypes.c_uint64, 0)
    ready = ctx.Event()
    receiving = ctx.Process(target=receiver, args=(*receiver_args, received, ready), daemon=True)
    receiving.start()
    ready.wait(30)
    sending = ctx.Process(target=sender, args=(*sender_args, stop))
    sending.start()
    try:
        return measure(lambda: received.value, seconds, (sending.pid, receiving.pid))
    finally:
        stop.value = True
        sending.join(10)
        for process in (sending, receiving):
            if process.is_alive():
                process.kill()
                process.join()


def bridge(ctx, setup, frame_bytes, fps, seconds):
    """Frames per second arriving in the far ring and the bridges' CPU seconds per frame;
    prints the bridges' final counters."""
    import quorvane_reader
    name = f"qvbr_{uuid.uuid4().hex[:8]}"
    endpoint, key = f"tcp/127.0.0.1:{free_port()}", f"quorvane/bench/{name}"
    config_file, settings = SETUPS[setup]
    common = ["--no-multicast-scouting", "--report-every", "3600",
              *(["-c", config_file] if config_file else []),
              *(f"--cfg={path}:{value}" for path, value in settings.items())]
    command = [sys.executable, "-m", "quorvane_bridge"]
    recv = subprocess.Popen([*command, "recv", key, name + "_far", "-l", endpoint, *common],
                            stdout=subprocess.PIPE, text=True)
    stop = ctx.RawValue(ctypes.c_bool, False)
    producer = ctx.Process(target=paced_producer, args=(name, frame_bytes, fps, stop))
    producer.start()
    send = subprocess.Popen([*command, "send", name, key, "-e", endpoint, *common],
                            stdout=subprocess.PIPE, text=True)
    try:
        far = quorvane_reader.attach(name + "_far", timeout=30)
        return measure(lambda: far.write_idx, seconds, (send.pid, recv.pid))
    finally:
        for process in (send, recv):
            process.send_signal(signal.SIGTERM)
            print("   ", process.communicate(timeout=30)[0].strip(), flush=True)
        stop.value = True
        producer.join(10)


def table_row(setup, size, ours, raw, zmq):
    """A row of the results table from the bridge's, raw Zenoh's (rate, CPU per frame) and
    pyzmq's rate."""
    cells = [f"{rate:,.0f} /s, {rate * size / 1e9:.2f} GB/s" for rate in (ours[0], raw[0], zmq)]
    return (f"| {setup} | {label(size)} | {' | '.join(cells)} | {ours[0] / raw[0]:.2f}× "
            f"| {ours[0] / zmq:.2f}× | {ours[1] * 1e6:,.0f} / {raw[1] * 1e6:,.0f} µs, "
            f"{ours[1] / raw[1]:.2f}× |")


def over_a_shaped_link(gbit):
    """Runs this bench again in a network namespace of its own, whose loopback passes `gbit`
    Gbit/s (a token bucket holding 8 ms of traffic), as a link between two hosts would."""
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("tc"):
        print(f"skipped: a {gbit:g} Gbit/s link needs root, unshare and tc")
        return 0
    shape = (f"ip link set lo up && tc qdisc add dev lo root tbf rate {gbit:g}gbit "
             f"burst {max(gbit, 1):g}mb latency 100ms && exec \"$0\" \"$@\"")
    return subprocess.call(["unshare", "--net", "sh", "-c", shape, sys.executable, *sys.argv],
                           env={**os.environ, SHAPED: f"{gbit:g} Gbit/s link"})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--sizes", type=lambda text: [int(kib) << 10 for kib in text.split(",")],
                        default=SIZES, metavar="KIB,…", help="frame sizes in KiB (64,1024,8192)")
    parser.add_argument("--link-gbit", type=float, metavar="G",
                        help="carry frames over a loopback shaped to G Gbit/s, in a network "
                        "namespace of its own (needs root, unshare and tc); 'between hosts' only")
    args = parser.parse_args()
    if args.link_gbit and SHAPED not in os.environ:
        return over_a_shaped_link(args.link_gbit)
    # Zenoh's own shared memory would carry the defaults setup past a shaped link.
    setups = ["between hosts"] if args.link_gbit else list(SETUPS)
    link = f", {os.environ[SHAPED]}" if args.link_gbit else ""
    ctx = mp.get_context("spawn")
    rows = {setup: [] for setup in setups}  # the table's rows, grouped by setup
    short = []  # frame sizes where a shaped link misses the goal
    for size in args.sizes:
        zmq_endpoint = f"tcp://127.0.0.1:{free_port()}"
        zmq = max(run_pair(ctx, zmq_pub, (zmq_endpoint, size), zmq_sub, (zmq_endpoint,),
                           args.seconds)[0] for _ in range(2))
        for setup in setups:
            key = f"quorvane/bench/raw{uuid.uuid4().hex[:8]}"
            endpoint = f"tcp/127.0.0.1:{free_port()}"
            raw = max(run_pair(ctx, zenoh_put, (setup, endpoint, key, size), zenoh_subscribe,
                               (setup, endpoint, key), args.seconds) for _ in range(2))
            # The producer just ahead of the bridge: first ahead of raw Zenoh, then of what
            # the bridge carried, so that frames nobody will carry do not take its CPU.
            ours = bridge(ctx, setup, size, 1.2 * raw[0], args.seconds)
            ours = max(ours, bridge(ctx, setup, size, 1.2 * ours[0], args.seconds))
            rows[setup].append(table_row(setup + link, size, ours, raw, zmq))
            print(rows[setup][-1], flush=True)
            if args.link_gbit and size >= GOAL_FROM and ours[0] < GOAL * raw[0]:
                short.append(f"{label(size)} ({ours[0] / raw[0]:.2f}×)")
    file_name, title, goal = "results-bridge.md", "The bridge", []
    if args.link_gbit:  # the goal is judged on shaped links only: loopback is no network
        file_name = f"results-bridge-{args.link_gbit:g}gbit.md"
        title += f" over a {args.link_gbit:g} Gbit/s link"
        goal = ["", f"Goal, at least {GOAL}× raw Zenoh from {label(GOAL_FROM)} frames on a "
                "shaped link: " + (f"missed at {', '.join(short)}." if short else "met.")]
    report.write(file_name, title, [
        "Frames and GB/s arriving at the far end, on loopback: the bridge ring to ring against "
        "Zenoh's own put/subscribe of the same payloads and pyzmq PUB/SUB over TCP, the better "
        "of two runs each, and the CPU time both ends took per frame (bridge / Zenoh); the "
        "setups and the method are in bench/bridge.py.", "",
        "| Zenoh setup | frame | bridge (ring → ring) | Zenoh put/subscribe | pyzmq PUB/SUB "
        "| bridge / Zenoh | bridge / pyzmq | CPU per frame, bridge / Zenoh |",
        "|---|---|---|---|---|---|---|---|",
        *(row for setup in setups for row in rows[setup]), *goal])


if __name__ == "__main__":
    sys.exit(main())
