"""quorvane_bridge: a ring's frames carried over Zenoh into a ring elsewhere, here over
loopback TCP with multicast scouting off, so that frames cross the link as they would
between two hosts. Tests wait for what the bridges say (connected, a receiver subscribed)
rather than sleeping for a time that a busy machine may not keep."""

import ctypes
import json
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import quorvane
import quorvane_reader

from conftest import OTHER_PYTHONS, free_port, segment_exists
import helpers

zenoh = pytest.importorskip("zenoh")

ROWS, COLS = 64, 64
BRIDGE = [sys.executable, "-m", "quorvane_bridge"]
SUBSCRIBED = "a receiver is subscribed"
CONNECTED = "connected to Zenoh"


class Bridge:
    """A bridge in a process of its own, its lines collected as they come."""

    def __init__(self, *args, cwd=None, python=sys.executable):
        self.process = subprocess.Popen([python, *BRIDGE[1:], *args], cwd=cwd,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.lines, self.ended = [], False
        self._changed = threading.Condition()
        self._reading = threading.Thread(target=self._read, daemon=True)
        self._reading.start()

    def _read(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self.ended = True
            self._changed.notify_all()

    def output(self):
        with self._changed:
            return "\n".join(self.lines)

    def said(self, pattern):
        with self._changed:
            return any(re.search(pattern, line) for line in self.lines)

    def wait_for(self, pattern, timeout=60):
        """Until a line matches `pattern`; fails with what was said if none does."""
        with self._changed:
            self._changed.wait_for(lambda: self.ended or any(
                re.search(pattern, line) for line in self.lines), timeout)
        assert self.said(pattern), f"no {pattern!r} in:\n{self.output()}"

    def stop(self):
        """Stops it cleanly (SIGTERM) and returns its last line."""
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(30)
        self._reading.join(30)
        self.process.stdout.close()
        return self.lines[-1] if self.lines else ""

    @property
    def returncode(self):
        return self.process.returncode


def bridge(*args, **kwargs):
    return Bridge(*args, "--no-multicast-scouting", "--report-every", "1", **kwargs)


@pytest.mark.parametrize("zenoh_options, says", [
    (["--cfg", "transport/shared_memory"], "KEY:VALUE"),
    (["--cfg", "transport/no_such_thing:1"], "unknown key"),
    (["--cfg", "transport/shared_memory/enabled:maybe"], "expected"),
    (["-c", "no_such_file.json5"], "no_such_file.json5"),
    ([], "no way to reach"),  # listening nowhere by default, and not scouting
])
def test_a_zenoh_configuration_that_cannot_be_taken_is_a_usage_error(zenoh_options, says):
    done = subprocess.run([*BRIDGE, "send", "ring", "key", *zenoh_options],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and says in done.stderr.splitlines()[-1], done.stderr


# The bridges are stopped with SIGTERM, which Windows does not have.
@pytest.mark.linux_only
def test_producer_send_recv_consumer_in_order_across_a_sender_restart(name, spawn):
    remote, key = name + "_remote", f"quorvane/test/{name}"
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    running, results = spawn.RawValue(ctypes.c_bool, True), spawn.Queue()
    published = spawn.RawValue(ctypes.c_uint64, 0)
    until = spawn.RawValue(ctypes.c_uint64, 0)
    producer = spawn.Process(target=helpers.publish_numbered_frames,
                             args=(name, ROWS, COLS, 500, running, published))
    consumer = spawn.Process(target=helpers.follow_numbered_frames,
                             args=(remote, ROWS, COLS, until, results))
    recv = bridge("recv", key, remote, "-l", endpoint)
    senders = []
    try:
        producer.start()
        consumer.start()
        senders.append(bridge("send", name, key, "-e", endpoint))
        senders[0].wait_for(SUBSCRIBED)
        recv.wait_for(r": [1-9]\d{2,} frames")  # a hundred landed
        senders[0].process.kill()  # no clean-up of any kind
        senders[0].process.wait(10)
        restarted_at = published.value
        senders.append(bridge("send", name, key, "-e", endpoint))
        until.value = restarted_at + 100  # the consumer reads on into the second sender's
        numbers, mixed = results.get(timeout=180)
    finally:
        running.value = False
        finals = [process.stop() for process in (recv, *senders)]
        for process in (producer, consumer):
            process.join(30)
    assert recv.returncode == 0 and senders[1].returncode == 0, recv.output()
    assert mixed == [] and numbers == sorted(set(numbers)), "frames mixed, repeated or reordered"
    # Frames from both senders: the consumer kept reading through the restart.
    assert len(numbers) > 100 and numbers[0] < restarted_at < numbers[-1], (
        len(numbers), restarted_at, numbers[:3], numbers[-3:])
    assert finals[0].endswith("(stopped)") and re.search(r"restarts 1,", finals[0]), (
        recv.output())
    assert not segment_exists(remote)


@pytest.mark.linux_only
@pytest.mark.parametrize("typed", [False, True], ids=["untyped", "typed"])
def test_every_frame_published_once_the_bridges_are_up_arrives_and_dev_shm_is_left_alone(
        name, typed):
    """Typed, the far ring is typed too, each frame keeps its stamp, and the producer's end
    of stream ends the far ring's."""
    remote, key = name + "_remote", f"quorvane/test/{name}"
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    frames, frame_bytes, shape, dtype = 300, 64, (2, 4, 2), np.dtype("<u4")

    def stamp(n):
        return 10**18 + n, (2**64 - 1) ^ n  # all 64 bits of the user word in use

    recv = bridge("recv", key, remote, "-l", endpoint, "--capacity", "512")
    send = bridge("send", name, key, "-e", endpoint)
    try:
        recv.wait_for(CONNECTED)
        send.wait_for(SUBSCRIBED)
        # Bridges up: the producer comes, and publishes its first frame before the sender
        # can have seen the ring.
        if typed:
            producer = quorvane_reader.Producer.create(name, 512, shape, dtype)

            def publish(n):
                producer.publish(np.full(shape, n, dtype), timestamp_ns=stamp(n)[0],
                                 user=stamp(n)[1])
        else:
            ring = quorvane.Ring.create(name, 512, frame_bytes)

            def publish(n):
                ring.publish(np.full(frame_bytes // 4, n, np.float32))
        publish(0)
        far = quorvane_reader.attach(remote, timeout=60)  # held: the end cannot take it away
        far = quorvane_reader.Reader(far, start="oldest") if typed else quorvane_reader.Reader(
            far, 1, 1, start="oldest")
        for n in range(1, frames):
            publish(n)
            time.sleep(0.002)
        if typed:
            producer.close()
        received = [far.next(timeout=60) for _ in range(frames)]
        values = [int(frame.array.flat[0]) for frame in received]
        stamps = [(frame.timestamp_ns, frame.user) for frame in received]
        if typed:
            with pytest.raises(EOFError):
                far.next(timeout=60)
            assert (far.dtype, far.shape) == (dtype, shape)
        # Zenoh's shared-memory transport would map a file of its own in /dev/shm, and
        # leave it there when the bridge stops.
        for process in (recv, send):
            maps = Path(f"/proc/{process.process.pid}/maps").read_text()
            assert ".zenoh" not in maps, [line for line in maps.splitlines() if "zenoh" in line]
    finally:
        ring = producer = far = received = publish = None
        finals = [process.stop() for process in (recv, send)]
    assert values == list(range(frames)), values[:5]
    assert stamps == ([stamp(n) for n in range(frames)] if typed else [(0, 0)] * frames)
    if typed:
        assert send.said("the producer ended its stream") and recv.said(
            f"so did ring '{remote}'"), (send.output(), recv.output())
    for final in finals:
        assert re.search(rf": {frames} frames, .*dropped 0, restarts 0,", final), finals
    assert re.search(r"receiving from sender [0-9a-f]{16}, from its frame 0$", recv.output(), re.M), (
        recv.output())


# Frame n all n, a frame every 2 ms into a ring that holds them all; it holds the ring until
# its stdin closes.
PRODUCER = """if True:
    import sys, time
    import numpy as np, quorvane
    name, frames, version = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    assert "%d.%d" % sys.version_info[:2] == version, sys.version
    ring = quorvane.Ring.create(name, frames + 1, {frame_bytes})
    for n in range(frames):
        ring.publish(np.full({floats}, n, np.float32))
        time.sleep(0.002)
    sys.stdin.read()
""".format(frame_bytes=ROWS * COLS * 4, floats=ROWS * COLS)


@pytest.mark.linux_only
@pytest.mark.skipif(sys.version_info[:2] != (3, 13) or not {"3.10", "3.12"} <= OTHER_PYTHONS.keys(),
                    reason="runs on 3.13 with the venvs of 3.10 and 3.12, which make test gives it")
def test_a_310_producer_a_313_reader_and_a_312_bridge_on_one_ring(name):
    remote, key = name + "_remote", f"quorvane/test/{name}"
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    frames = 200
    recv = bridge("recv", key, remote, "-l", endpoint, "--capacity", str(frames))
    send = bridge("send", name, key, "-e", endpoint, python=OTHER_PYTHONS["3.12"])
    producer = None
    try:
        send.wait_for(SUBSCRIBED)
        producer = subprocess.Popen([OTHER_PYTHONS["3.10"], "-c", PRODUCER, name, str(frames),
                                     "3.10"], stdin=subprocess.PIPE, text=True)
        reader = quorvane_reader.Reader(quorvane_reader.attach(name, timeout=30), ROWS, COLS,
                                        start="oldest")
        read = []
        while len(read) < frames:
            frame = reader.next(timeout=30)
            value = float(frame.array[0, 0])
            uniform = bool((frame.array == value).all())
            assert frame.intact() and uniform
            read.append((frame.seq, value))
        deadline = time.monotonic() + 60
        while not segment_exists(remote) or quorvane_reader.header(remote)[0] < frames:
            assert time.monotonic() < deadline, (recv.output(), send.output())
            time.sleep(0.05)
        landed = quorvane.Ring.open(remote, frames, ROWS * COLS * 4)
        carried = [np.unique(np.asarray(landed.view_frame(n, ROWS, COLS))).tolist() for n in range(frames)]
    finally:
        reader = landed = None
        if producer:
            producer.communicate(timeout=30)
        finals = [process.stop() for process in (recv, send)]
    assert producer.returncode == 0
    assert read == [(n, n) for n in range(frames)], read[:5]
    assert carried == [[n] for n in range(frames)], carried[:5]
    for final in finals:
        assert re.search(rf": {frames} frames, .*dropped 0, ", final), finals


class Bytes:
    def __init__(self, data):
        self.data = data

    def to_bytes(self):
        return self.data


class Sample:
    """What recv reads of a Zenoh sample."""

    def __init__(self, payload, attachment, kind=zenoh.SampleKind.PUT):
        self.payload = Bytes(payload)
        self.attachment = None if attachment is None else Bytes(attachment)
        self.kind = kind


def test_recv_rejects_malformed_samples_once_each_and_lands_the_good_ones(name):
    from quorvane_bridge import HEADER, TYPED_HEADER, Counters, _ReceivingRing

    frame_bytes, sender = 16, 7
    said = []
    counters = Counters("recv")
    receiving = _ReceivingRing(name, None, counters, said.append, max_ring_bytes=1 << 20)

    def good(seq):
        return Sample(bytes([seq]) * frame_bytes, HEADER.pack(seq, 4, frame_bytes, sender))

    receiving.land(good(0))
    bad = [
        Sample(b"x" * frame_bytes, None),
        Sample(b"x" * frame_bytes, b"short"),
        Sample(b"x" * frame_bytes, HEADER.pack(1, 4, frame_bytes, sender) + b"!"),
        Sample(b"", HEADER.pack(1, 4, frame_bytes, sender)),  # not a frame
        Sample(b"x" * 2 * frame_bytes, HEADER.pack(1, 4, frame_bytes, sender)),  # two
        Sample(b"x" * 3, HEADER.pack(1, 4, 4, sender)),  # short, and a new geometry
        Sample(b"", HEADER.pack(1, 4, 0, sender)),
        Sample(b"x" * 4, HEADER.pack(1, 0, 4, sender)),
        Sample(b"x" * 4, HEADER.pack(1, 1 << 28, 4, sender)),  # 1 GiB of /dev/shm
        Sample(b"x" * 4, HEADER.pack(1, 1 << 63, 1 << 63, sender)),
        Sample(b"x" * frame_bytes, HEADER.pack(999_999_999, 4, frame_bytes, sender)),
        # Typed frames of no type a typed ring holds, or not of the frame's size.
        *(Sample(b"x" * frame_bytes, TYPED_HEADER.pack(1, 4, frame_bytes, sender, 0, 0,
                                                        typestr, ndim, *dims))
          for typestr, ndim, dims in [(b"|O8", 1, (2, 0, 0, 0)), (b"<u3", 1, (4, 0, 0, 0)),
                                      (b"|u1", 0, (0, 0, 0, 0)), (b"|u1", 5, (1, 1, 1, 16)),
                                      (b"|u1", 2, (4, 2, 0, 0)), (b"<u2", 1, (16, 0, 0, 0))]),
        # An end of stream from a sender whose frames are not the ones landing.
        Sample(b"", HEADER.pack(1, 4, frame_bytes, sender + 1), zenoh.SampleKind.DELETE),
    ]
    for sample in bad + bad:
        receiving.land(sample)
    receiving.land(good(1))
    receiving.land(good(2))
    assert (counters.frames, counters.dropped, counters.geometry_changes) == (3, 0, 0)
    assert counters.rejected == 2 * len(bad) and "rejected 36" in counters.line()
    assert sum("rejected a sample" in line for line in said) == 7, said  # once per kind
    ring = quorvane.Ring.open(name, 4, frame_bytes)
    assert ring.write_idx == 3
    assert bytes(np.frombuffer(ring.view_frame(2, 1, frame_bytes // 4), np.uint8)) == (
        bytes([2]) * frame_bytes)
    del ring
    receiving.ring = None


def frame_sample(seq, capacity, frame_bytes, sender=7):
    """A bridge's sample of frame `seq`: frame_bytes bytes, each seq % 256."""
    from quorvane_bridge import HEADER

    return Sample(bytes([seq % 256]) * frame_bytes, HEADER.pack(seq, capacity, frame_bytes, sender))


def test_recv_makes_its_ring_at_most_once_a_pause_however_the_geometry_changes(name):
    import quorvane_bridge
    from quorvane_bridge import HEADER, Counters, _ReceivingRing

    said, counters = [], Counters("recv")
    receiving = _ReceivingRing(name, None, counters, said.append, max_ring_bytes=1 << 20)
    receiving.land(frame_sample(0, 4, 16))
    started = time.monotonic()
    # A peer flipping the geometry at every sample: frames of the same size land in the
    # ring there is, the others are refused until the ring has stood for the pause.
    for seq in range(1, 101):
        receiving.land(frame_sample(seq, 8 if seq % 2 else 4, 32 if seq % 2 else 16))
    assert time.monotonic() - started < quorvane_bridge.REMAKE_PAUSE  # else the test says nothing
    assert (counters.geometry_changes, counters.rejected, counters.frames, counters.dropped) == (
        0, 50, 51, 0)
    assert quorvane_reader.header(name) == (51, 4, 16)
    assert sum("at most once every" in line for line in said) == 1, said
    time.sleep(quorvane_bridge.REMAKE_PAUSE)
    receiving.land(frame_sample(101, 8, 32))
    assert counters.geometry_changes == 1 and quorvane_reader.header(name) == (1, 8, 32)
    # After the sender's end of stream, a new stream in the same ring's room is made at
    # once: that reserves nothing.
    far = quorvane_reader.Reader(quorvane_reader.attach(name), 1, 8, start="oldest")
    receiving.land(Sample(b"", HEADER.pack(102, 8, 32, 7), zenoh.SampleKind.DELETE))
    assert [frame.seq for frame in far] == [0]  # its readers read to the end of the stream
    receiving.land(frame_sample(0, 8, 32))
    assert quorvane_reader.header(name) == (1, 8, 32) and far.next(0).seq == 0
    assert (counters.rejected, counters.frames, counters.dropped) == (50, 53, 0), counters.line()
    del far
    receiving.release()


def test_recv_keeps_landing_while_a_reader_holds_the_ring_it_must_make_again(name, monkeypatch):
    import quorvane_bridge
    from quorvane_bridge import Counters, _ReceivingRing

    pause = 0.05
    monkeypatch.setattr(quorvane_bridge, "REMAKE_PAUSE", pause)
    said, counters = [], Counters("recv")
    receiving = _ReceivingRing(name, None, counters, said.append, max_ring_bytes=1 << 20)
    seq = 0

    def land(count, capacity, frame_bytes):
        nonlocal seq
        for _ in range(count):
            receiving.land(frame_sample(seq, capacity, frame_bytes))
            seq += 1

    land(3, 8, 16)
    far = quorvane_reader.Reader(quorvane_reader.attach(name), 1, 4, start="oldest")
    assert [far.next(0).seq for _ in range(3)] == [0, 1, 2]
    # Frames twice the size: 256 bytes of slots, where the ring the reader holds has 128.
    time.sleep(pause)
    land(3, 8, 32)
    assert quorvane_reader.header(name) == (3, 4, 32)  # as many slots as fit
    frame = far.next(0)  # the reader learnt the ring was made again, and reads on
    assert far.restarts == 1 and frame.seq == 0 and bytes(frame.array) == bytes([3]) * 16
    assert (counters.frames, counters.dropped) == (6, 0)
    assert "MapViewOfFile" not in said[-1] and re.search(
        r"another process still holds the ring .* landing its frames in it with capacity 4",
        said[-1]), said
    # Frames that do not fit at all: counted, and the ring made again all the same.
    time.sleep(pause)
    land(2, 8, 256)
    with pytest.raises(TimeoutError):
        far.next(0)
    assert far.restarts == 2 and counters.dropped == 2
    assert "do not fit in it and are counted as dropped" in said[-1], said
    # Once the reader lets go, the ring is made as the sender says.
    del frame, far
    time.sleep(pause)
    land(2, 8, 256)
    assert quorvane_reader.header(name) == (2, 8, 256)
    assert (counters.frames, counters.dropped) == (8, 2) and "at last" in said[-1], said
    receiving.ring = None


def publish_for(ring, frame_bytes, first, seconds):
    """Frames of `frame_bytes` bytes, each all one float32 number, from `first` on; returns
    the last number."""
    deadline, n = time.monotonic() + seconds, first
    while time.monotonic() < deadline:
        ring.publish(np.full(frame_bytes // 4, n, np.float32))
        n += 1
        time.sleep(0.01)
    return n - 1


@pytest.mark.linux_only
def test_a_producer_restarting_with_other_frames_is_followed_by_send_and_recv(name):
    remote, key = name + "_remote", f"quorvane/test/{name}"
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    ring = quorvane.Ring.create(name, 8, 4096)
    recv = bridge("recv", key, remote, "-l", endpoint)
    send = bridge("send", name, key, "-e", endpoint)
    try:
        send.wait_for(SUBSCRIBED)
        publish_for(ring, 4096, 0, 1.5)
        # Made again while the sender holds the segment: the same bytes, other frames.
        ring = None
        ring = quorvane.Ring.create(name, 4, 8192)
        publish_for(ring, 8192, 1000, 1.5)
        ring = None
        ring = quorvane.Ring.create(name, 16, 2048)  # smaller than the sender's first frames
        last = publish_for(ring, 2048, 2000, 1.5)
        landed = quorvane_reader.attach(remote, timeout=5)
        reader = quorvane_reader.Reader(landed, 1, 512, start="oldest")
        values = []
        while not values or values[-1][0] < last:  # until the last frame landed
            values.append(np.unique(reader.next(timeout=30).array))
        assert (landed.capacity, landed.frame_bytes) == (16, 2048)
    finally:
        ring = None
        finals = [process.stop() for process in (recv, send)]
    assert recv.returncode == 0 and send.returncode == 0, (recv.output(), send.output())
    for final in finals:
        assert "geometry changes 2, " in final, finals
    assert values and all(len(v) == 1 and v[0] >= 2000 for v in values), values
    del reader, landed


def test_recv_refuses_a_ring_it_did_not_make_unless_told_to_take_it_over(name):
    camera = quorvane.Ring.create(name, 4, 16)
    camera.publish(np.zeros(4, np.float32))
    try:
        refused = subprocess.run([*BRIDGE, "recv", f"quorvane/test/{name}", name,
                                  "-l", f"tcp/127.0.0.1:{free_port()}"],
                                 capture_output=True, text=True, timeout=30)
        assert refused.returncode == 1 and "--take-over" in refused.stderr, refused
        assert camera.write_idx == 1 and quorvane_reader.header(name) == (1, 4, 16)
    finally:
        del camera


def test_send_counts_frames_lost_to_the_producer_in_its_periodic_lines(name):
    from quorvane_bridge import send, zenoh_config

    ring = quorvane.Ring.create(name, 4, 16)
    lines, stop = [], threading.Event()
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    config = zenoh_config(listen=[endpoint], multicast_scouting=False)
    sender = threading.Thread(target=send, args=(name, "quorvane/test/" + name, config),
                              kwargs={"stop": stop, "report_every": 0.1, "report": lines.append})
    sender.start()
    # It takes frames only while a receiver is subscribed.
    session = zenoh.open(zenoh_config(connect=[endpoint], multicast_scouting=False))
    receiver = session.declare_subscriber("quorvane/test/" + name, lambda sample: None)

    def said(pattern):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if any(re.search(pattern, line) for line in lines):
                return True
            ring.publish(np.zeros(4, np.float32))
            time.sleep(0.05)
        return False

    try:
        assert said(r": [1-9]\d* frames"), lines
        ring.publish(np.zeros((1000, 4), np.float32))  # all but the last few overwritten
        assert said(r"dropped 9\d\d,"), lines
    finally:
        stop.set()
        sender.join(30)
        receiver.undeclare()
        session.close()
        del ring


def test_bridges_listen_only_where_told_and_scout_only_when_asked(tmp_path):
    from quorvane_bridge import zenoh_config

    def exposure(config):
        return (json.loads(config.get_json("listen/endpoints")),
                json.loads(config.get_json("scouting/multicast/enabled")))

    told = ["tcp/127.0.0.1:7447"]
    assert exposure(zenoh_config()) == exposure(zenoh_config(mode="client")) == ([], False)
    assert exposure(zenoh_config(listen=told, multicast_scouting=True)) == (told, True)
    file = tmp_path / "zenoh.json5"
    file.write_text('{listen: {endpoints: ["tcp/127.0.0.1:7447"]}, '
                    'scouting: {multicast: {enabled: true}}}')
    assert exposure(zenoh_config(str(file))) == (told, True)
    assert exposure(zenoh_config(str(file), multicast_scouting=False)) == (told, False)


@pytest.mark.linux_only
@pytest.mark.skipif(shutil.which("openssl") is None, reason="the recipe's certificates need openssl")
def test_under_the_mtls_recipe_only_a_peer_in_its_role_reads_or_injects(name, tmp_path):
    examples = Path(__file__).resolve().parent.parent / "examples" / "bridge"
    # Each role on an address of its own, each name one the other side can verify.
    sender_host, receiver_host, certified_receiver, certified_sender = (
        "127.0.0.1", "localhost", "127.0.0.2", "127.0.0.3")
    roles = {sender_host: "sender", receiver_host: "receiver", certified_receiver: "receiver",
             certified_sender: "sender"}
    subprocess.run(["sh", examples / "make-certs.sh", tmp_path / "made",
                    *(f"{role}@{host}" for host, role in roles.items())], check=True, timeout=60)
    for host, role in roles.items():
        (tmp_path / host).mkdir()
        (tmp_path / "made" / f"{role}@{host}").rename(tmp_path / host / "certs")
    sender_at = f"tls/{sender_host}:{free_port()}"
    receiver_at = f"tls/{receiver_host}:{free_port()}"
    key, intruder = f"quorvane/test/{name}", name + "_intruder"
    mtls = ["-c", examples / "mtls.json5", "--report-every", "1"]
    # Trusts the authority, as anyone may, but has no certificate of its own.
    bare = ["--cfg", f'transport/link/tls/root_ca_certificate:"{tmp_path / "made/ca.pem"}"',
            "--report-every", "1"]

    def bridge_on(host, *args):
        return Bridge(*args, cwd=tmp_path / host)

    ring = quorvane.Ring.create(name, 8, 4096)
    foreign = quorvane.Ring.create(intruder, 8, 4096)
    processes = [
        bridge_on(receiver_host, "recv", key, name + "_remote", *mtls, "-l", receiver_at,
                  "-e", sender_at),
        bridge_on(sender_host, "send", name, key, *mtls, "-l", sender_at),
        # Whoever holds no certificate, then a certificate holder outside its role.
        bridge_on(".", "recv", key, name + "_stolen", *bare, "-e", sender_at),
        bridge_on(".", "send", intruder, key, *bare, "-e", receiver_at),
        bridge_on(certified_sender, "recv", key, name + "_taken", *mtls, "-e", sender_at),
        bridge_on(certified_receiver, "send", intruder, key, *mtls, "-e", receiver_at),
    ]
    try:
        # The receiver subscribed with the sender, and the certificate holders outside their
        # role linked (those without one never can).
        processes[1].wait_for(SUBSCRIBED)
        for process in processes[4:]:
            process.wait_for(CONNECTED)
        for n in range(300):
            ring.publish(np.full(1024, n, np.float32))
            foreign.publish(np.full(1024, -1, np.float32))
            time.sleep(0.01)
        deadline = time.monotonic() + 60  # every frame landed, or counted as dropped
        while True:
            lines = [(process.output().splitlines() or [""])[-1] for process in processes[:2]]
            counts = [re.search(r": (\d+) frames, .*dropped (\d+),", line) for line in lines]
            if all(counts) and int(counts[0][1]) + int(counts[1][2]) >= 300:
                break
            assert time.monotonic() < deadline, lines
            time.sleep(0.1)
    finally:
        finals = [process.stop() for process in processes]
        ring = foreign = None
    landed = int(re.search(r": (\d+) frames", finals[0])[1])
    assert landed > 100 and "restarts 0," in finals[0], finals  # none from an intruder
    for reader in (2, 4):
        assert re.search(r": 0 frames", finals[reader]), finals  # read nothing
    assert not segment_exists(name + "_stolen") and not segment_exists(name + "_taken")
