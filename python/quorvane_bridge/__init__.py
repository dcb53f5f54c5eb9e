"""Carries a quorvane ring's frames to other hosts over Zenoh, into a ring on the far side,
so that remote consumers run the same code as local ones.

    send("camera0", "lab/camera0", config)     # this host: ring -> Zenoh key
    recv("lab/camera0", "camera0", config)     # another: Zenoh key -> a ring of its own

Zenoh does the networking (peer-to-peer or through routers, TCP, UDP, QUIC, discovery,
fragmentation, reliability); its configuration is passed through as Zenoh takes it
(`zenoh_config`), except that a bridge listens only where told and scouts by multicast
only when asked; examples/bridge/mtls.json5 adds Zenoh's mutual TLS and access control by
role. Each frame travels as one Zenoh sample: the payload is the frame's bytes, the
attachment four little-endian uint64 (`HEADER`): the frame's number in the sender's ring,
that ring's capacity and frame_bytes (as the frame was read), and the sender's id, new
each time a sender starts. A typed ring's frames carry a longer attachment
(`TYPED_HEADER`, told apart by its length): the same four, then the frame's timestamp_ns
(int64) and user word, its NumPy type string (16 bytes, NUL-padded), its number of
dimensions and four dimensions (unused ones 0). When the producer ends its stream, the
sender puts a Zenoh DELETE sample on the key, its attachment a `HEADER` whose number is
the count of frames the producer published; the receiver then ends its ring's stream too.

Both run until `stop` is set (the command line sets it on Ctrl-C and SIGTERM) and report
their counters every `report_every` seconds through `report`.
"""

from __future__ import annotations

import json
import math
import re
import secrets
import struct
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import zenoh

import quorvane
import quorvane_reader
from quorvane_reader import _native

__all__ = ["HEADER", "TYPED_HEADER", "Counters", "recv", "send", "zenoh_config"]

HEADER = struct.Struct("<4Q")  # seq, capacity, frame_bytes, sender id
# HEADER's four, then timestamp_ns, user, typestr, ndim and four dimensions: a typed frame.
TYPED_HEADER = struct.Struct("<4QqQ16s5Q")
TYPESTR = re.compile(rb"[<>|][biufc][0-9]{1,2}")  # NumPy's, of the numbers a typed ring holds
# A frame type on the wire: NumPy's type string and the shape (None: untyped frames).
FrameType = tuple[str, tuple[int, ...]] | None
Geometry = tuple[int, int, FrameType]  # a ring's capacity, frame_bytes and frame type
RECV_QUEUE = 16  # samples recv holds before Zenoh holds the sender back
RING_HEADER_BYTES = 24  # before a ring's slots
MAX_RING_BYTES = 1 << 30  # the largest ring recv makes unless told otherwise
# A sequence number further ahead than this is taken for a forgery or garbage, not for lost
# frames; a sender that really jumped that far is followed from its next frame.
MAX_JUMP = 1 << 24
# Seconds a ring recv made stands before it is made again: a peer changing the geometry at
# every sample would otherwise have a ring of up to max_ring_bytes reserved for each.
REMAKE_PAUSE = 1.0


@dataclass
class Counters:
    """What a bridge has done so far; `line()` is what it reports."""

    role: str
    frames: int = 0
    bytes: int = 0
    dropped: int = 0  # send: overwritten or torn before it was sent; recv: lost on the way
    restarts: int = 0  # send: the local producer's; recv: the sender's (or its producer's)
    geometry_changes: int = 0
    rejected: int = 0  # recv: samples that were not a bridge's frames
    _last: tuple[float, int] = field(default_factory=lambda: (time.monotonic(), 0))

    def line(self) -> str:
        """The counters, with the rate since the last line (or since the start)."""
        now = time.monotonic()
        since, sent_then = self._last
        self._last = (now, self.bytes)
        rate = (self.bytes - sent_then) / max(now - since, 1e-9) / 1e9
        return (f"{self.role}: {self.frames} frames, {rate:.3f} GB/s, dropped {self.dropped}, "
                f"restarts {self.restarts}, geometry changes {self.geometry_changes}, "
                f"rejected {self.rejected}")


def zenoh_config(config_file: str | None = None, *, mode: str | None = None,
                 connect: Iterable[str] = (), listen: Iterable[str] = (),
                 multicast_scouting: bool | None = None,
                 settings: Mapping[str, str] | None = None) -> zenoh.Config:
    """A Zenoh configuration from a Zenoh config file and the usual options of Zenoh's own
    tools: mode ("peer", "client", "router"), endpoints to connect to and to listen on
    ("tcp/192.168.1.7:7447"), multicast scouting on or off, and any other setting by its
    path, the value in JSON5 ({"transport/link/tx/queue/size/data": "16"}), applied last.
    Unlike Zenoh's own defaults, nothing is exposed unless asked for: without endpoints to
    listen on (here or in the file) it listens nowhere, and multicast scouting is off
    unless turned on; and Zenoh's shared-memory transport is off unless `settings` turn it
    on ({"transport/shared_memory/enabled": "true"}), since it leaves files in /dev/shm.
    A file or setting Zenoh cannot take raises ValueError."""
    try:
        config = zenoh.Config.from_file(config_file) if config_file else zenoh.Config()
    except zenoh.ZError as error:
        raise ValueError(f"Zenoh config file {config_file}: {error}") from None
    # Zenoh's defaults are a listener on every interface and announcing it by multicast: a
    # bridge carrying frames should be reachable only where its user said.
    listen_on: list[str] | None = list(listen) or None
    if listen_on is None and not isinstance(json.loads(config.get_json("listen/endpoints")),
                                            list):  # Zenoh's default, one for each mode
        listen_on = []
    if multicast_scouting is None and config.get_json("scouting/multicast/enabled") == "null":
        multicast_scouting = False
    named = {"mode": mode, "connect/endpoints": list(connect) or None,
             "listen/endpoints": listen_on,
             "scouting/multicast/enabled": multicast_scouting,
             # Zenoh's shared-memory transport leaves its files in /dev/shm behind; frames
             # between hosts do not use it. Only a setting turns it on (file's are overridden).
             "transport/shared_memory/enabled": False}
    for key, value in named.items():
        if value is not None:
            config.insert_json5(key, json.dumps(value))
    for key, json5 in (settings or {}).items():
        try:
            config.insert_json5(key, json5)
        except zenoh.ZError as error:
            raise ValueError(f"Zenoh setting {key}: {json5}: {error}") from None
    return config


@contextmanager
def _reporting(counters: Counters, stop: threading.Event, every: float,
               report: Callable[[str], None]) -> Iterator[None]:
    """Reports the counters every `every` seconds until the block ends; ending it sets
    `stop`."""
    def run() -> None:
        while not stop.wait(every):
            report(counters.line())

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


def _attach(name: str, stop: threading.Event) -> quorvane.Ring | None:
    while not stop.is_set():
        try:
            return quorvane_reader.attach(name, timeout=0.5)
        except TimeoutError:
            continue
    return None


def _reader(ring_name: str, ring: quorvane.Ring,
            start: quorvane_reader.Start) -> quorvane_reader.Reader:
    """A reader of `ring` as its producer made it, from `start` on: of a typed ring as
    declared, of an untyped one each frame as one float32 row of all its bytes."""
    if quorvane_reader.frame_type(ring) is not None:
        return quorvane_reader.Reader(ring, start=start)
    if ring.frame_bytes % 4:
        raise ValueError(f"ring {ring_name!r}: frame_bytes {ring.frame_bytes} is not a whole "
                         "number of float32 values, which is all a ring's views show")
    return quorvane_reader.Reader(ring, 1, ring.frame_bytes // 4, start=start)


def _follow(ring_name: str, stop: threading.Event,
            start: quorvane_reader.Start) -> quorvane_reader.Reader | None:
    """A reader of the ring, once it is there, from `start` on; None if `stop` is set
    before the ring appears."""
    ring = _attach(ring_name, stop)
    return None if ring is None else _reader(ring_name, ring, start)


def _exists(ring_name: str) -> bool:
    try:
        quorvane_reader.header(ring_name)
    except FileNotFoundError:
        return False
    except ValueError:  # there, but too small for a ring
        pass
    return True


@contextmanager
def _telling_links(session: zenoh.Session, role: str,
                   report: Callable[[str], None]) -> Iterator[None]:
    """Says each time the session connects to another Zenoh node or loses one, so that the
    user (and a script) knows when a bridge is linked."""
    def told(event: zenoh.TransportEvent) -> None:
        peer = f"{str(event.transport.whatami).lower()} {event.transport.zid}"
        if event.kind == zenoh.SampleKind.PUT:
            report(f"{role}: connected to Zenoh {peer}")
        else:
            report(f"{role}: disconnected from Zenoh {peer}")

    with session.info.declare_transport_events_listener(told, history=True):
        yield


def send(ring_name: str, key: str, config: zenoh.Config | None = None, *, latest: bool = False,
         stop: threading.Event | None = None, report_every: float = 5.0,
         report: Callable[[str], None] = print) -> Counters:
    """Puts every frame of the local ring `ring_name` on the Zenoh key `key` (with
    `latest`, only the newest at each turn, dropping what a slow link cannot carry).
    Reads a ring that is already there from its next frame, one that appears later from
    its first, and follows a producer that makes it again, also with other frames. A typed
    ring's frames go with their type and stamps, and the end of its producer's stream goes
    too. Frames are taken only while a receiver is subscribed (Zenoh would drop them unseen
    otherwise); meanwhile they wait in the ring, and those overwritten there count as
    dropped. Returns the counters once `stop` is set."""
    stop = stop or threading.Event()
    counters = Counters(f"send {ring_name} -> {key}")
    reader: quorvane_reader.Reader | None = None
    try:
        # A ring already there is read from its next frame: those before it were published
        # before this sender was up.
        reader = _reader(ring_name, quorvane_reader.attach(ring_name, timeout=0), "next")
    except TimeoutError:  # none yet, or one being made right now
        pass
    sender_id = secrets.randbits(64)
    # Every frame: Zenoh blocks rather than drop. Latest only: it drops what cannot go now.
    congestion = zenoh.CongestionControl.DROP if latest else zenoh.CongestionControl.BLOCK
    subscribed = threading.Event()

    def matching(status: zenoh.MatchingStatus) -> None:
        if status.matching:
            subscribed.set()
            report(f"{counters.role}: a receiver is subscribed: sending")
        else:
            subscribed.clear()
            report(f"{counters.role}: no receiver is subscribed: frames wait in the ring "
                   "(those overwritten there count as dropped)")

    with (zenoh.open(config or zenoh_config()) as session,
          _telling_links(session, counters.role, report),
          session.declare_publisher(key, congestion_control=congestion) as publisher,
          publisher.declare_matching_listener(matching),
          _reporting(counters, stop, report_every, report)):
        if reader is None:  # one that comes later: from its first frame
            reader = _follow(ring_name, stop, "oldest")
            if reader is None:
                return counters
        missed = 0  # of this reader, already counted as dropped
        ended = False  # the end of the stream was carried, and no frame came since
        while not stop.is_set():
            if not subscribed.wait(0.25):
                continue
            restarts = reader.restarts
            try:
                frame = reader.next(timeout=0.25)
                if latest and (newest := reader.latest()) is not None:
                    counters.dropped += newest.seq - frame.seq
                    frame = newest
            except TimeoutError:
                continue
            except EOFError:  # carried once; then waiting for a producer to make it again
                if not ended:
                    ended = True
                    ring = reader.ring
                    # Blocking even with `latest`: an end dropped would leave the far
                    # readers waiting.
                    session.delete(key, congestion_control=zenoh.CongestionControl.BLOCK,
                                   attachment=HEADER.pack(ring.write_idx, ring.capacity,
                                                          ring.frame_bytes, sender_id))
                    report(f"{counters.role}: the producer ended its stream: so do the "
                           "receivers' rings")
                stop.wait(0.25)
                continue
            except ValueError:  # made again with frames smaller than the reader's rows,
                frame = None  # or without the type a typed reader reads
            finally:  # counted as it happens, so that the periodic lines add up
                counters.dropped += reader.missed - missed
                missed = reader.missed
            ended = False
            if frame is None or reader.restarts != restarts:
                # Made again: this reader's rows may be a part of the new frames, or more
                # than they hold. The ring as now made is read from its first frame.
                counters.restarts += max(reader.restarts - restarts, 1)
                ring = reader.ring
                reader = _follow(ring_name, stop, "oldest") or reader
                missed = 0
                counters.geometry_changes += (reader.ring.capacity, reader.ring.frame_bytes) != (
                    ring.capacity, ring.frame_bytes)
                continue
            payload = frame.array.tobytes()  # Zenoh may still hold it after put returns
            if not frame.intact():
                counters.dropped += 1
                continue
            ring = reader.ring
            if not reader.typed:
                attachment = HEADER.pack(frame.seq, ring.capacity, ring.frame_bytes, sender_id)
            else:
                shape = frame.array.shape
                attachment = TYPED_HEADER.pack(
                    frame.seq, ring.capacity, ring.frame_bytes, sender_id, frame.timestamp_ns,
                    frame.user, frame.array.dtype.str.encode(), len(shape),
                    *shape, *(0,) * (4 - len(shape)))
            publisher.put(payload, attachment=attachment)
            counters.frames += 1
            counters.bytes += len(payload)
    return counters


def _declared(typestr: bytes, ndim: int, dims: tuple[int, ...],
              frame_bytes: int) -> tuple[np.dtype[Any], tuple[int, ...]]:
    """The frame type a typed header declares, checked against its frame_bytes; ValueError
    saying what is wrong with it."""
    text = typestr.rstrip(b"\0")
    shape = dims[:ndim]
    if (not TYPESTR.fullmatch(text) or not 1 <= ndim <= 4 or min(shape) == 0
            or any(dims[ndim:])):
        raise ValueError(f"type string {text!r} and {ndim} dimensions {dims}")
    try:
        dtype = np.dtype(text.decode())
    except TypeError:  # no such size of that kind ("<u3")
        raise ValueError(f"type string {text!r}") from None
    if math.prod(shape) * dtype.itemsize != frame_bytes:
        raise ValueError(f"frames of {shape} values of {dtype}, which are not the "
                         f"{frame_bytes} bytes the header says")
    return dtype, shape


class _ReceivingRing:
    """The local ring `recv` publishes into, made as the sender's frames say, and what the
    last frame said: the sender, its geometry, the frame expected next.

    A geometry here is (capacity, frame_bytes, frame type): a typed sender's frames land in
    a typed ring (Producer.create) with their stamps, and its end of stream ends this
    ring's. The ring is kept, and the next frame makes it again: at once if it has the
    ring's geometry, which takes no new room.

    Another process may hold the ring (a local reader), and a held ring cannot grow: a
    geometry that needs more room than the held one has is landed in it with fewer slots,
    or if not even two fit, its frames are counted as dropped; each such time the ring is
    made again (its readers see a restart), and then tried with the sender's geometry
    every REMAKE_PAUSE seconds until the holder has let it go. However the sender's
    geometry changes, the ring is made at most once every REMAKE_PAUSE seconds."""

    def __init__(self, ring_name: str, capacity: int | None, counters: Counters,
                 report: Callable[[str], None], *,
                 max_ring_bytes: int = MAX_RING_BYTES) -> None:
        self.ring_name, self.capacity, self.counters, self.report = (ring_name, capacity,
                                                                     counters, report)
        self.max_ring_bytes = max_ring_bytes
        self.ring: quorvane.Ring | None = None
        self.producer: quorvane_reader.Producer | None = None  # a typed ring's
        self.geometry: Geometry | None = None  # the ring's, as made
        self.wanted: Geometry | None = None  # the sender's, which it may not have yet
        self.made_at = -REMAKE_PAUSE  # time.monotonic() of the last making (or attempt)
        self.sender: int | None = None
        self.next = 0
        self.ended = False  # the ring's stream, at the sender's end of stream
        self.jumped: int | None = None  # the last sequence number rejected as a jump
        self.told: set[str] = set()  # kinds of trouble reported so far
        self.sender_told_at = -REMAKE_PAUSE

    def tell_once(self, kind: str, text: str) -> None:
        """Reports `text` the first time something of this kind happens: a peer sending
        garbage, or a ring that cannot be made, would otherwise fill the log frame by frame."""
        if kind not in self.told:
            self.told.add(kind)
            self.report(f"{self.counters.role}: {text} (said once)")

    def reject(self, kind: str, detail: str) -> None:
        """Counts a sample that is not a bridge's frame, or one refused; says so once per
        kind."""
        self.counters.rejected += 1
        self.tell_once(kind, f"rejected a sample: {detail}; counted in 'rejected'")

    def release(self) -> None:
        """Lets go of the ring, without ending its stream: it goes with its last reader."""
        self.ring = self.producer = None
        self.geometry = None

    def land(self, sample: zenoh.Sample) -> None:
        """Publishes one sample's frame into the ring, ends its stream at the sender's end
        of stream, or counts why not."""
        # Everything is checked before the ring is touched: a peer's garbage must neither
        # stop the landing of later frames nor cost the local readers their ring.
        if sample.attachment is None:
            self.reject("attachment", "no attachment")
            return
        attachment = sample.attachment.to_bytes()
        if sample.kind == zenoh.SampleKind.DELETE:
            self.end(attachment)
            return
        stamp: tuple[int, int] | None = None
        frame_type: FrameType = None
        if len(attachment) == HEADER.size:
            seq, capacity, frame_bytes, sender = HEADER.unpack(attachment)
        elif len(attachment) == TYPED_HEADER.size:
            (seq, capacity, frame_bytes, sender, timestamp_ns, user, typestr,
             ndim, *dims) = TYPED_HEADER.unpack(attachment)
            try:
                dtype, shape = _declared(typestr, ndim, tuple(dims), frame_bytes)
            except ValueError as error:
                self.reject("type", str(error))
                return
            stamp, frame_type = (timestamp_ns, user), (dtype.str, shape)
        else:
            self.reject("attachment", f"an attachment of {len(attachment)} bytes, not "
                        f"{HEADER.size} (a frame) or {TYPED_HEADER.size} (a typed frame)")
            return
        geometry = (self.capacity or capacity, frame_bytes, frame_type)
        if geometry[0] < 2 or frame_bytes == 0:
            self.reject("geometry", f"capacity {capacity} and frame_bytes {frame_bytes}")
            return
        if geometry[0] * frame_bytes + RING_HEADER_BYTES > self.max_ring_bytes:
            self.reject("size", f"a ring of {geometry[0]} slots of {frame_bytes} bytes, more "
                        f"than the {self.max_ring_bytes} bytes this side makes")
            return
        payload = sample.payload.to_bytes()
        if len(payload) != frame_bytes:
            self.reject("payload", f"a payload of {len(payload)} bytes under a header that "
                        f"says frames of {frame_bytes}")
            return
        jump = seq - self.next
        same = geometry == self.wanted and sender == self.sender
        if same and jump > MAX_JUMP and seq - 1 != self.jumped:
            self.jumped = seq
            self.reject("jump", f"frame {seq} where {self.next} was next")
            return
        renewed = self.ended and geometry == self.geometry  # a new stream, in the same room
        due = renewed or time.monotonic() - self.made_at >= REMAKE_PAUSE
        fits = not self.ended and self.geometry is not None and self.geometry[1:] == geometry[1:]
        # Made again at every sample, a ring of up to max_ring_bytes would cost a peer one
        # sample and this side the time to reserve it; frames of the size (and type) the
        # ring has land in it meanwhile.
        refused = geometry != self.wanted and not due and not fits
        if sender != self.sender and time.monotonic() - self.sender_told_at >= REMAKE_PAUSE:
            self.sender_told_at = time.monotonic()
            self.report(f"{self.counters.role}: receiving from sender {sender:016x}, from "
                        f"its frame {seq}")
        if geometry != self.wanted and due:
            self.counters.geometry_changes += self.wanted is not None
            self.make(geometry)
        else:
            if self.geometry != self.wanted and due:  # landing in a held ring: try again
                self.make(geometry)
            if sender != self.sender or jump < 0:  # a new sender, or a new producer
                self.counters.restarts += 1
            elif jump <= MAX_JUMP:  # else the sender did jump that far: followed, not counted
                self.counters.dropped += jump
        self.sender, self.next = sender, seq + 1
        if refused:
            self.reject("remake", f"capacity {geometry[0]} and frame_bytes {frame_bytes} "
                        f"within {REMAKE_PAUSE:g} s of the ring's last making (it is made "
                        f"at most once every {REMAKE_PAUSE:g} s)")
            return
        if self.ring is None or self.geometry is None or self.geometry[1:] != geometry[1:]:
            self.counters.dropped += 1  # no ring these frames fit, said by make
            return
        if self.producer is not None and stamp is not None:
            self.producer.publish(np.frombuffer(payload, self.producer.dtype).reshape(
                self.producer.shape), timestamp_ns=stamp[0], user=stamp[1])
        else:
            self.ring.publish(np.frombuffer(payload, np.uint8))
        self.counters.frames += 1
        self.counters.bytes += frame_bytes

    def end(self, attachment: bytes) -> None:
        """Ends the ring's stream, as the sender's producer ended its own (what the ring
        holds is read to its end first). The ring is kept until the sender's next frame
        makes it again."""
        if len(attachment) != HEADER.size:
            self.reject("attachment", f"an end of stream with an attachment of "
                        f"{len(attachment)} bytes, not {HEADER.size}")
            return
        published, _, _, sender = HEADER.unpack(attachment)
        if self.ring is None or self.ended:  # never made, or ended already
            return
        if sender != self.sender:
            self.reject("end", f"an end of stream from sender {sender:016x}, whose frames "
                        "are not the ones landing here")
            return
        if 0 < published - self.next <= MAX_JUMP:  # the last frames were lost on the way
            self.counters.dropped += published - self.next
        self.next = published
        if self.producer is not None:
            self.producer.close()  # self.ring still holds the ring, as made
            self.producer = None
        else:
            _native.end_stream(self.ring)
        self.ended, self.wanted = True, None
        self.report(f"{self.counters.role}: the sender's producer ended its stream: so did "
                    f"ring {self.ring_name!r}")

    def make(self, geometry: Geometry) -> None:
        """Makes the ring with `geometry`, or, while another process holds a ring of that
        name too small for it, lands in that one as well as it can."""
        again = geometry == self.wanted  # tried before, and landing in a held ring since
        self.wanted, self.made_at, self.ended = geometry, time.monotonic(), False
        landing = self.geometry
        self.release()  # ours goes first, or create would take it over at its old size
        try:
            self.create(geometry)
        except RuntimeError as error:
            failure = error
        else:
            if again:
                self.report(f"{self.counters.role}: made ring {self.ring_name!r} with "
                            f"capacity {geometry[0]} and frame_bytes {geometry[1]} at last")
            return
        held = self.held_geometry()
        if held is None:  # not for want of room: /dev/shm full, or a file not ours
            self.tell_once("create", f"cannot make ring {self.ring_name!r} with capacity "
                           f"{geometry[0]} and frame_bytes {geometry[1]} ({failure}); its "
                           "frames are counted as dropped, and it is tried again every "
                           f"{REMAKE_PAUSE:g} s")
            return
        if again and landing is not None and held == landing[:2]:
            # Still as we made it: go on, its readers undisturbed.
            try:
                ring = quorvane.Ring.open(self.ring_name, *held)
                if landing[2] is not None:
                    self.producer = quorvane_reader.Producer(ring, self.ring_name)
            except (RuntimeError, ValueError):  # let go just now: made as told at the next frame
                self.made_at = -REMAKE_PAUSE
                return
            self.ring, self.geometry = ring, landing
            return
        room = held[0] * held[1]
        slots = min(geometry[0], room // geometry[1])
        fallback = (slots, *geometry[1:]) if slots >= 2 else (*held, None)
        if slots >= 2:
            what = f"landing its frames in it with capacity {slots}"
        else:
            what = "its frames do not fit in it and are counted as dropped"
        try:
            # Made again even when nothing fits: its readers see the ring replaced.
            self.create(fallback)
        except RuntimeError as error:
            what = f"nor can that be made again ({error}); its frames are counted as dropped"
        self.report(f"{self.counters.role}: cannot make ring {self.ring_name!r} with capacity "
                    f"{geometry[0]} and frame_bytes {geometry[1]}: another process still "
                    "holds the ring of that name (a reader of it, most likely), and a ring "
                    f"cannot grow past its {room} bytes of slots while it is held; {what} "
                    f"until it can be made as told, tried every {REMAKE_PAUSE:g} s")

    def create(self, geometry: Geometry) -> None:
        """Makes the ring: typed (Producer.create) if the geometry has a frame type."""
        capacity, frame_bytes, frame_type = geometry
        if frame_type is None:
            self.ring = quorvane.Ring.create(self.ring_name, capacity, frame_bytes)
        else:
            self.producer = quorvane_reader.Producer.create(self.ring_name, capacity,
                                                            frame_type[1], frame_type[0])
            self.ring = self.producer.ring
        self.geometry = geometry

    def held_geometry(self) -> tuple[int, int] | None:
        """The capacity and frame_bytes of the ring at the name, held by another process;
        None if there is none."""
        try:
            _, capacity, frame_bytes = quorvane_reader.header(self.ring_name)
        except (FileNotFoundError, ValueError):
            return None
        return (capacity, frame_bytes) if capacity and frame_bytes else None


def recv(key: str, ring_name: str, config: zenoh.Config | None = None, *,
         capacity: int | None = None, max_ring_bytes: int = MAX_RING_BYTES,
         take_over: bool = False, stop: threading.Event | None = None, report_every: float = 5.0,
         report: Callable[[str], None] = print) -> Counters:
    """Subscribes to `key` and publishes each frame into the local ring `ring_name`, made
    with the sender's geometry (and capacity, unless given) at the first frame and made
    again when the geometry changes: typed, with each frame's stamp, for a typed sender,
    whose end of stream ends the ring's. Samples that are not one whole frame under a
    bridge's header, or that would need a ring over `max_ring_bytes`, are counted as
    rejected and never touch the ring. A ring of that name that is already there belongs
    to someone else (on one host, likely the very ring being sent): FileExistsError,
    unless `take_over`. Returns the counters once `stop` is set; the ring is released then,
    its stream not ended (its name goes with the last local reader)."""
    stop = stop or threading.Event()
    counters = Counters(f"recv {key} -> {ring_name}")
    if not take_over and _exists(ring_name):
        raise FileExistsError(f"a ring named {ring_name!r} is already there and recv did not "
                              "make it: name another, or take it over knowingly")
    receiving = _ReceivingRing(ring_name, capacity, counters, report,
                               max_ring_bytes=max_ring_bytes)
    # Samples wait in a queue for a thread of ours: a callback would hold Zenoh's receiving
    # thread, and with it the link, for the two copies of every frame.
    with (zenoh.open(config or zenoh_config()) as session,
          _telling_links(session, counters.role, report)):
        with session.declare_subscriber(key, zenoh.handlers.FifoChannel(RECV_QUEUE)) as samples:
            def land_all() -> None:
                for sample in samples:  # ends when the subscriber is undeclared
                    receiving.land(sample)

            worker = threading.Thread(target=land_all)
            worker.start()
            with _reporting(counters, stop, report_every, report):
                while not stop.wait(0.5):  # in steps: a signal handler runs between them
                    pass
        worker.join()
    receiving.release()
    return counters
