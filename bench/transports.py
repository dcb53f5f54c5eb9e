"""The systems compared by e2e.py, each used the way its documentation recommends for
handing frames from one process to another.

Every transport has a sender side and a receiver side, built in their own processes from
a picklable `params` made by `prepare()`:
  sender.send(frame)   frame: a uint8 array of frame_bytes, stamped by the caller
  receiver.next()      the next frame as a uint8 array (or a buffer over it); blocks/polls
  receiver.done()      the caller has finished with that frame (ring flow control)
Shared-memory rings have no back-pressure of their own; for the throughput run every
transport must deliver every frame, so their senders wait while the receiver is a whole
ring behind (`acked`, a shared counter the receiver advances).
"""

import ctypes
import os
import tempfile
import time
import uuid
from multiprocessing import shared_memory

import numpy as np

CAPACITY = 8


def _wait_for_room(sent, acked, capacity):
    while sent - acked.value >= capacity:
        pass


class Quorvane:
    name = "quorvane"
    capacity = CAPACITY

    @classmethod
    def prepare(cls, ctx, frame_bytes):
        return {"name": f"qvb_{uuid.uuid4().hex[:10]}", "frame_bytes": frame_bytes,
                "capacity": cls.capacity, "acked": ctx.RawValue(ctypes.c_uint64, 0)}

    class Sender:
        def __init__(self, params):
            import quorvane
            self.capacity = params["capacity"]
            self.ring = quorvane.Ring.create(params["name"], self.capacity, params["frame_bytes"])
            self.acked, self.sent = params["acked"], 0

        def send(self, frame):
            _wait_for_room(self.sent, self.acked, self.capacity)
            self.ring.publish(frame)
            self.sent += 1

    class Receiver:
        def __init__(self, params):
            import quorvane
            fb, self.capacity = params["frame_bytes"], params["capacity"]
            self.ring = quorvane.Ring.open(params["name"], self.capacity, fb)
            # The hot-reader pattern: one array over every slot, made once, then indexed.
            window = np.asarray(self.ring.view_window(0, self.capacity, 1, fb // 4))
            self.slots = window.view(np.uint8).reshape(self.capacity, fb)
            self.acked, self.seen = params["acked"], 0

        def next(self):
            ring, seen = self.ring, self.seen
            while ring.write_idx <= seen:
                pass
            return self.slots[seen % self.capacity]

        def done(self):
            self.seen += 1
            self.acked.value = self.seen


class QuorvaneSmallRing(Quorvane):
    """The same with two slots: for large frames the slots a ring cycles through decide
    whether they stay in the cache (iceoryx2 reuses the sample just released)."""

    name = "quorvane, 2 slots"
    capacity = 2


# The C library of the native package (make native-examples installs it).
C_LIBRARY = os.environ.get("QUORVANE_C_LIBRARY", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "build", "native-install", "lib",
    "libquorvane_c.so"))


def create_in_c(name, capacity, frame_bytes):
    """A ring made through the C library, for writing in place: (library, ring handle)."""
    lib = ctypes.CDLL(C_LIBRARY)
    lib.quorvane_create.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64,
                                    ctypes.POINTER(ctypes.c_void_p)]
    lib.quorvane_next_slot.argtypes = lib.quorvane_commit.argtypes = [ctypes.c_void_p]
    lib.quorvane_next_slot.restype = ctypes.c_void_p
    lib.quorvane_release.argtypes = [ctypes.c_void_p]
    lib.quorvane_last_error.restype = ctypes.c_char_p
    ring = ctypes.c_void_p()
    if lib.quorvane_create(name.encode(), capacity, frame_bytes, ctypes.byref(ring)) != 0:
        raise RuntimeError(f"quorvane_create: {lib.quorvane_last_error().decode()}")
    return lib, ring


class QuorvaneInPlace(Quorvane):
    """A producer writing each frame in its slot through the C API (next_slot, commit), as
    native producers do, instead of copying it in; read by the same Python consumer. The
    frame (zeros and the stamp) is rendered in the slot by native memset and memmove; the
    calls into the library go through ctypes."""

    name = "quorvane in place (C API)"

    @classmethod
    def prepare(cls, ctx, frame_bytes):
        if not os.path.exists(C_LIBRARY):
            raise ImportError(f"{C_LIBRARY} is not built (make native-examples)")
        return super().prepare(ctx, frame_bytes)

    class Sender:
        def __init__(self, params):
            self.capacity, self.frame_bytes = params["capacity"], params["frame_bytes"]
            lib, self.ring = create_in_c(params["name"], self.capacity, self.frame_bytes)
            self.lib, self.acked, self.sent = lib, params["acked"], 0
            self.next_slot, self.commit = lib.quorvane_next_slot, lib.quorvane_commit
            self.frame = None

        def send(self, frame):
            _wait_for_room(self.sent, self.acked, self.capacity)
            if frame is not self.frame:  # the caller stamps one array again and again
                self.frame, self.stamp = frame, frame.__array_interface__["data"][0]
            slot = self.next_slot(self.ring)
            ctypes.memmove(slot, self.stamp, 16)
            ctypes.memset(slot + 16, 0, self.frame_bytes - 16)  # the rest of the frame
            self.commit(self.ring)
            self.sent += 1

        def close(self):
            self.lib.quorvane_release(self.ring)


class SharedMemoryRing:
    """The same ring written by hand: ndarray slots plus a uint64 index after the copy."""

    name = "shared_memory (by hand)"

    @staticmethod
    def prepare(ctx, frame_bytes):
        return {"name": f"qvb_{uuid.uuid4().hex[:10]}", "frame_bytes": frame_bytes,
                "acked": ctx.RawValue(ctypes.c_uint64, 0)}

    @staticmethod
    def _arrays(shm, fb):
        index = np.ndarray((1,), np.uint64, buffer=shm.buf)
        slots = np.ndarray((CAPACITY, fb), np.uint8, buffer=shm.buf, offset=8)
        return index, slots

    class Sender:
        def __init__(self, params):
            fb = params["frame_bytes"]
            self.shm = shared_memory.SharedMemory(params["name"], create=True, size=8 + CAPACITY * fb)
            self.index, self.slots = SharedMemoryRing._arrays(self.shm, fb)
            self.acked, self.sent = params["acked"], 0

        def send(self, frame):
            _wait_for_room(self.sent, self.acked, CAPACITY)
            w = int(self.index[0])
            self.slots[w % CAPACITY] = frame
            self.index[0] = w + 1
            self.sent += 1

        def close(self):
            del self.index, self.slots
            self.shm.close()
            self.shm.unlink()

    class Receiver:
        def __init__(self, params):
            self.shm = shared_memory.SharedMemory(params["name"], track=False)
            self.index, self.slots = SharedMemoryRing._arrays(self.shm, params["frame_bytes"])
            self.acked, self.seen = params["acked"], 0

        def next(self):
            index, seen = self.index, self.seen
            while index[0] <= seen:
                pass
            return self.slots[seen % CAPACITY]

        def done(self):
            self.seen += 1
            self.acked.value = self.seen

        def close(self):
            del self.index, self.slots
            self.shm.close()


class SharedArrayRing:
    """The same ring on SharedArray's named arrays."""

    name = "SharedArray"

    @staticmethod
    def prepare(ctx, frame_bytes):
        import SharedArray  # noqa: F401 - fails here if it is not installed
        tag = uuid.uuid4().hex[:10]
        return {"slots": f"shm://qvb_sa_slots_{tag}", "index": f"shm://qvb_sa_index_{tag}",
                "frame_bytes": frame_bytes, "acked": ctx.RawValue(ctypes.c_uint64, 0)}

    class Sender:
        def __init__(self, params):
            import SharedArray as sa
            self.params = params
            self.slots = sa.create(params["slots"], (CAPACITY, params["frame_bytes"]), np.uint8)
            self.index = sa.create(params["index"], 1, np.uint64)
            self.acked, self.sent = params["acked"], 0

        send = SharedMemoryRing.Sender.send

        def close(self):
            import SharedArray as sa
            sa.delete(self.params["slots"])
            sa.delete(self.params["index"])

    class Receiver:
        def __init__(self, params):
            import SharedArray as sa
            self.slots = sa.attach(params["slots"], ro=True)
            self.index = sa.attach(params["index"], ro=True)
            self.acked, self.seen = params["acked"], 0

        next = SharedMemoryRing.Receiver.next
        done = SharedMemoryRing.Receiver.done


class Pipe:
    name = "multiprocessing.Pipe"

    @staticmethod
    def prepare(ctx, frame_bytes):
        receive_end, send_end = ctx.Pipe(duplex=False)
        return {"recv": receive_end, "send": send_end, "frame_bytes": frame_bytes}

    class Sender:
        def __init__(self, params):
            self.connection = params["send"]

        def send(self, frame):
            self.connection.send_bytes(frame)

    class Receiver:
        def __init__(self, params):
            self.connection = params["recv"]
            self.buffer = np.empty(params["frame_bytes"], np.uint8)

        def next(self):
            self.connection.recv_bytes_into(self.buffer)
            return self.buffer

        def done(self):
            pass


class Queue:
    name = "multiprocessing.Queue"

    @staticmethod
    def prepare(ctx, frame_bytes):
        return {"queue": ctx.Queue(maxsize=CAPACITY), "frame_bytes": frame_bytes}

    class Sender:
        def __init__(self, params):
            self.queue = params["queue"]

        def send(self, frame):
            # put() pickles later, in a feeder thread: hand it bytes that will not change.
            self.queue.put(frame.tobytes())

    class Receiver:
        def __init__(self, params):
            self.queue = params["queue"]

        def next(self):
            return np.frombuffer(self.queue.get(), np.uint8)

        def done(self):
            pass


class Zmq:
    """PUSH/PULL over ipc://. Large frames are sent without a copy (copy=False, tracked,
    from a pool of buffers reused only once zmq is done with them); small ones with one,
    as pyzmq's documentation advises."""

    name = "pyzmq ipc://"
    ZERO_COPY_FROM = 64 << 10

    @staticmethod
    def prepare(ctx, frame_bytes):
        import zmq  # noqa: F401 - fails here if it is not installed
        path = os.path.join(tempfile.gettempdir(), f"qvb_{uuid.uuid4().hex[:10]}.ipc")
        return {"address": f"ipc://{path}", "path": path, "frame_bytes": frame_bytes}

    class Sender:
        def __init__(self, params):
            import zmq
            self.context = zmq.Context()
            self.socket = self.context.socket(zmq.PUSH)
            self.socket.sndhwm = CAPACITY
            self.socket.bind(params["address"])
            self.path = params["path"]
            self.zero_copy = params["frame_bytes"] >= Zmq.ZERO_COPY_FROM
            self.pool = [np.empty(params["frame_bytes"], np.uint8) for _ in range(CAPACITY)]
            self.trackers = [None] * CAPACITY
            self.sent = 0

        def send(self, frame):
            if not self.zero_copy:
                self.socket.send(frame, copy=True)
                return
            slot = self.sent % CAPACITY
            if self.trackers[slot] is not None:
                self.trackers[slot].wait()  # zmq still reads this buffer
            np.copyto(self.pool[slot], frame)
            self.trackers[slot] = self.socket.send(self.pool[slot], copy=False, track=True)
            self.sent += 1

        def close(self):
            self.socket.close(linger=1000)
            self.context.term()
            if os.path.exists(self.path):
                os.unlink(self.path)

    class Receiver:
        def __init__(self, params):
            import zmq
            self.context = zmq.Context()
            self.socket = self.context.socket(zmq.PULL)
            self.socket.rcvhwm = CAPACITY
            self.socket.connect(params["address"])
            self.copy = params["frame_bytes"] < Zmq.ZERO_COPY_FROM

        def next(self):
            message = self.socket.recv(copy=self.copy)
            return np.frombuffer(message if self.copy else message.buffer, np.uint8)

        def done(self):
            pass

        def close(self):
            self.socket.close(linger=0)
            self.context.term()


class Iceoryx2:
    """Publish/subscribe on a slice of bytes: the sender writes into a loaned sample and
    sends it; the receiver polls receive(). No frame is dropped (no safe overflow, the
    publisher retries until delivered)."""

    name = "iceoryx2"

    @staticmethod
    def prepare(ctx, frame_bytes):
        import iceoryx2  # noqa: F401 - fails here if it is not installed
        return {"service": f"qvb/{uuid.uuid4().hex[:10]}", "frame_bytes": frame_bytes}

    @staticmethod
    def _service(params):
        import iceoryx2 as iox2
        iox2.set_log_level_from_env_or(iox2.LogLevel.Error)
        node = iox2.NodeBuilder.new().create(iox2.ServiceType.Ipc)
        service = (node.service_builder(iox2.ServiceName.new(params["service"]))
                   .publish_subscribe(iox2.Slice[ctypes.c_uint8])
                   .enable_safe_overflow(False)
                   .subscriber_max_buffer_size(CAPACITY)
                   .open_or_create())
        return node, service

    class Sender:
        def __init__(self, params):
            import iceoryx2 as iox2
            self.node, service = Iceoryx2._service(params)
            self.frame_bytes = params["frame_bytes"]
            self.publisher = (service.publisher_builder()
                              .initial_max_slice_len(self.frame_bytes)
                              .backpressure_strategy(iox2.BackpressureStrategy.RetryUntilDelivered)
                              .create())

        def send(self, frame):
            sample = self.publisher.loan_slice_uninit(self.frame_bytes)
            np.frombuffer(sample.payload().as_memory_view(), np.uint8)[:] = frame
            sample.assume_init().send()

    class Receiver:
        def __init__(self, params):
            self.node, service = Iceoryx2._service(params)
            self.subscriber = service.subscriber_builder().buffer_size(CAPACITY).create()
            self.sample = None

        def next(self):
            receive = self.subscriber.receive
            while (sample := receive()) is None:
                pass
            self.sample = sample
            return np.frombuffer(sample.payload().as_memory_view(), np.uint8)

        def done(self):
            self.sample.delete()  # hand the sample back to the publisher at once
            self.sample = None


ALL = [Quorvane, QuorvaneSmallRing, QuorvaneInPlace, SharedMemoryRing, SharedArrayRing, Pipe, Queue, Zmq, Iceoryx2]


def unavailable_reason(transport, ctx):
    """None when the transport can run here, else why not (e.g. its package is missing)."""
    try:
        params = transport.prepare(ctx, 64)
    except ImportError as error:
        return f"not installed: {error}"
    del params
    return None


def pause(seconds):
    """Waits without holding the interpreter lock throughout, so that a sender's own
    threads (multiprocessing.Queue's feeder) run meanwhile."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        time.sleep(0)
