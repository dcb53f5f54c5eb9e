"""The rings on this machine (Linux layer only), their rates, and the removal of stale ones."""

from __future__ import annotations

import os
import stat
import sys
import time
import uuid
from dataclasses import dataclass

import quorvane
import quorvane_reader
from quorvane_reader import _native

SHM = "/dev/shm"


class NeedsLinux(RuntimeError):
    """ls and clean read the Linux layer's directory; Windows keeps no such list."""

    def __init__(self) -> None:
        super().__init__("ls and clean need the Linux layer's /dev/shm: Windows keeps no "
                         "list of named mappings a program can read")


@dataclass
class RingInfo:
    """One ring found in /dev/shm. Header fields and rate are None where the ring could not
    be looked at: another user's, or stale (opening a stale ring would remove it)."""

    name: str
    owner: str
    size: int
    held: bool | None  # None: this user may not read the file to ask
    capacity: int | None = None
    frame_bytes: int | None = None
    write_idx: int | None = None
    dtype: str | None = None  # a typed ring's, as NumPy's type string ("|u1"); None untyped
    shape: list[int] | None = None
    fps: float | None = None
    note: str | None = None  # why a live ring of this user's could not be looked at

    @property
    def stale(self) -> bool:
        return self.held is False


def _owner(uid: int) -> str:
    if sys.platform != "linux":
        raise NeedsLinux()
    import pwd  # here, after the check: Linux only, as a type checker also sees

    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _marked() -> list[tuple[str, os.stat_result]]:
    """The rings this project made (the sticky bit marks its files), by name: each ring's
    companion, the file beside it named with the companion's suffix, is part of the ring."""
    found = []
    with os.scandir(SHM) as entries:
        for entry in entries:
            try:
                st = entry.stat(follow_symlinks=False)
            except FileNotFoundError:  # gone while listing
                continue
            if stat.S_ISREG(st.st_mode) and st.st_mode & stat.S_ISVTX:
                found.append((entry.name, st))
    names = {name for name, _ in found}
    suffix = _native.COMPANION_SUFFIX
    return sorted((name, st) for name, st in found
                  if not (name.endswith(suffix) and name[:-len(suffix)] in names))


def _probe(name: str, st: os.stat_result) -> RingInfo:
    info = RingInfo(name, _owner(st.st_uid), st.st_size, _native.is_held(name))
    if info.held is None and not os.path.lexists(os.path.join(SHM, name)):
        info.held = False  # released meanwhile
    return info


class Meter:
    """Counts a ring's frames between samples with a reader that takes no data (0 x 0), so
    that missed frames and restarts are the reader's own count, never re-derived here.
    Draining costs at most one ring's worth of steps per sample, however fast the ring."""

    def __init__(self, ring: quorvane.Ring) -> None:
        self.ring = ring
        self._reader = quorvane_reader.Reader(ring, 0, 0)  # counts from the next frame on
        self._missed = 0
        self._since = time.monotonic()

    def sample(self) -> tuple[float, int, int]:
        """(frames per second, frames a reader sampling this often missed, restarts) since
        the last sample."""
        frames = 0
        while True:
            try:
                self._reader.next(0)
            except (TimeoutError, EOFError):  # no frame yet, or none to come
                break
            frames += 1
        now = time.monotonic()
        missed = self._reader.missed - self._missed
        rate = (frames + missed) / max(now - self._since, 1e-9)
        self._missed, self._since = self._reader.missed, now
        return rate, missed, self._reader.restarts


def list_rings(look: float = 0.5) -> list[RingInfo]:
    """Every ring in /dev/shm; the caller's live ones with their header, a typed ring's
    dtype and shape, and their rate over `look` seconds (none with 0), or why they could
    not be looked at. A process's first open of a ring sweeps the caller's stale ones (the
    core's sweep), so stale rings are listed as found, and are gone after the look."""
    if sys.platform != "linux":
        raise NeedsLinux()
    found = [(_probe(name, st), st) for name, st in _marked()]
    looked: list[tuple[RingInfo, quorvane.Ring, Meter | None]] = []
    for info, st in found:
        if info.held and st.st_uid != os.getuid():
            info.note = "another user's: not opened"
        if not info.held or st.st_uid != os.getuid():
            continue
        try:
            ring = quorvane_reader.attach(info.name)
        except FileNotFoundError:  # gone meanwhile
            continue
        except ValueError as error:  # too small for a ring, or its header is not one's
            info.note = str(error)
            continue
        try:
            meter: Meter | None = Meter(ring) if look > 0 else None
        except ValueError:  # one slot: no reader can follow it, so no rate either
            meter = None
        looked.append((info, ring, meter))
    if looked and look > 0:
        time.sleep(look)
    for info, ring, meter in looked:
        info.fps = meter.sample()[0] if meter else None
        info.write_idx, info.capacity, info.frame_bytes = (ring.write_idx, ring.capacity,
                                                           ring.frame_bytes)
        declared = quorvane_reader.frame_type(ring)
        if declared is not None:
            info.dtype, info.shape = declared[0].str, list(declared[1])
    return [info for info, _ in found]


def clean() -> list[RingInfo]:
    """Removes the caller's stale rings and returns those that went. The removal is the
    core's own: a process's first open sweeps the caller's segments that nobody holds, so
    in a process of its own (the `clean` command) an open of a name that does not exist is
    the whole sweep (and it fails, as meant)."""
    if sys.platform != "linux":
        raise NeedsLinux()
    stale = [(_probe(name, st), st) for name, st in _marked() if st.st_uid == os.getuid()]
    stale = [(info, st) for info, st in stale if info.stale]
    try:
        quorvane.Ring.open(f"quorvane-clean-{uuid.uuid4().hex}", 1, 1)
    except RuntimeError as error:
        if str(error) != quorvane_reader._native.FAILURES["open_failed"]:
            raise
    removed = []
    for info, st in stale:
        try:
            now = os.stat(os.path.join(SHM, info.name))
        except FileNotFoundError:
            removed.append(info)
            continue
        if now.st_ino != st.st_ino:  # a new ring took the name after the old one went
            removed.append(info)
    return removed
