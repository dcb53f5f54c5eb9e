"""quorvane_bridge: a ring's frames carried over Zenoh into a ring elsewhere, here over
loopback TCP with multicast scouting off and Zenoh's shared-memory transport off, so that
frames cross the link as they would between two hosts."""

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

from conftest import free_port, segment_exists
import helpers

pytest.importorskip("zenoh")

ROWS, COLS = 64, 64
BRIDGE = [sys.executable, "-m", "quorvane_bridge"]


def bridge(*args):
    return subprocess.Popen([*BRIDGE, *args, "--no-multicast-scouting", "--report-every", "1",
                             "--cfg", "transport/shared_memory/enabled:false"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


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
    producer = spawn.Process(target=helpers.publish_numbered_frames,
                             args=(name, ROWS, COLS, 500, running, published))
    consumer = spawn.Process(target=helpers.follow_numbered_frames,
                             args=(remote, ROWS, COLS, 8, results))
    recv = bridge("recv", key, remote, "-l", endpoint)
    senders = []
    try:
        producer.start()
        consumer.start()
        senders.append(bridge("send", name, key, "-e", endpoint))
        time.sleep(4)
        senders[0].kill()  # no clean-up of any kind
        senders[0].wait(10)
        restarted_at = published.value
        senders.append(bridge("send", name, key, "-e", endpoint))
        numbers, mixed = results.get(timeout=60)
    finally:
        running.value = False
        for process in (recv, *senders):
            if process.poll() is None:
                process.terminate()  # SIGTERM: a clean stop
        outputs = [process.communicate(timeout=30)[0] for process in (recv, *senders)]
        for process in (producer, consumer):
            process.join(30)
    recv_out = outputs[0]
    assert recv.returncode == 0 and senders[1].returncode == 0, outputs
    assert mixed == [] and numbers == sorted(set(numbers)), "frames mixed, repeated or reordered"
    # Frames from both senders: the consumer kept reading through the restart.
    assert len(numbers) > 100 and numbers[0] < restarted_at < numbers[-1], (
        len(numbers), restarted_at, numbers[:3], numbers[-3:])
    final = recv_out.strip().splitlines()[-1]
    assert final.endswith("(stopped)") and re.search(r"restarts 1,", final), recv_out
    assert not segment_exists(remote)


class Bytes:
    def __init__(self, data):
        self.data = data

    def to_bytes(self):
        return self.data


class Sample:
    """What recv reads of a Zenoh sample."""

    def __init__(self, payload, attachment):
        self.payload = Bytes(payload)
        self.attachment = None if attachment is None else Bytes(attachment)


def test_recv_rejects_malformed_samples_once_each_and_lands_the_good_ones(name):
    from quorvane_bridge import HEADER, Counters, _ReceivingRing

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
    ]
    for sample in bad + bad:
        receiving.land(sample)
    receiving.land(good(1))
    receiving.land(good(2))
    assert (counters.frames, counters.dropped, counters.geometry_changes) == (3, 0, 0)
    assert counters.rejected == 2 * len(bad) and "rejected 22" in counters.line()
    assert len(said) == 5, said  # once per kind
    ring = quorvane.Ring.open(name, 4, frame_bytes)
    assert ring.write_idx == 3
    assert bytes(np.frombuffer(ring.view_frame(2, 1, frame_bytes // 4), np.uint8)) == (
        bytes([2]) * frame_bytes)
    del ring
    receiving.ring = None


def publish_for(ring, frame_bytes, first, seconds):
    """Frames of `frame_bytes` bytes, each all one float32 number, from `first` on."""
    deadline, n = time.monotonic() + seconds, first
    while time.monotonic() < deadline:
        ring.publish(np.full(frame_bytes // 4, n, np.float32))
        n += 1
        time.sleep(0.01)


@pytest.mark.linux_only
def test_a_producer_restarting_with_other_frames_is_followed_by_send_and_recv(name):
    remote, key = name + "_remote", f"quorvane/test/{name}"
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    ring = quorvane.Ring.create(name, 8, 4096)
    recv = bridge("recv", key, remote, "-l", endpoint)
    send = bridge("send", name, key, "-e", endpoint)
    try:
        time.sleep(3)  # both up, and linked
        publish_for(ring, 4096, 0, 1.5)
        # Made again while the sender holds the segment: the same bytes, other frames.
        ring = None
        ring = quorvane.Ring.create(name, 4, 8192)
        publish_for(ring, 8192, 1000, 1.5)
        ring = None
        ring = quorvane.Ring.create(name, 16, 2048)  # smaller than the sender's first frames
        publish_for(ring, 2048, 2000, 1.5)
        time.sleep(1)
        landed = quorvane_reader.attach(remote, timeout=5)
        assert (landed.capacity, landed.frame_bytes) == (16, 2048)
        reader = quorvane_reader.Reader(landed, 1, 512, start="oldest")
        values = []
        with pytest.raises(TimeoutError):
            while True:
                values.append(np.unique(reader.next(timeout=0.5).array))
    finally:
        ring = None
        for process in (recv, send):
            process.terminate()
        outputs = [process.communicate(timeout=30)[0] for process in (recv, send)]
    assert recv.returncode == 0 and send.returncode == 0, outputs
    for output in outputs:
        assert "geometry changes 2, " in output.strip().splitlines()[-1], output
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
    config = zenoh_config(listen=[f"tcp/127.0.0.1:{free_port()}"], multicast_scouting=False)
    sender = threading.Thread(target=send, args=(name, "quorvane/test/" + name, config),
                              kwargs={"stop": stop, "report_every": 0.1, "report": lines.append})
    sender.start()

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
        return subprocess.Popen([*BRIDGE, *args], cwd=tmp_path / host, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

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
        time.sleep(3)
        for n in range(300):
            ring.publish(np.full(1024, n, np.float32))
            foreign.publish(np.full(1024, -1, np.float32))
            time.sleep(0.01)
        time.sleep(1)
    finally:
        for process in processes:
            process.terminate()
        outputs = [process.communicate(timeout=30)[0] for process in processes]
        ring = foreign = None
    finals = [output.strip().splitlines()[-1] for output in outputs]
    landed = int(re.search(r": (\d+) frames", finals[0])[1])
    assert landed > 100 and "restarts 0," in finals[0], outputs  # none from an intruder
    for reader in (2, 4):
        assert re.search(r": 0 frames", finals[reader]), outputs  # read nothing
    assert not segment_exists(name + "_stolen") and not segment_exists(name + "_taken")
