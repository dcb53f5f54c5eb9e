"""Segments: layout, lifetime across handles and processes, and the Linux layer's rules
(its files, fork, signals: marked linux_only)."""

import errno
import gc
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import quorvane_reader
from quorvane import Ring

from conftest import ON_LINUX, run_in_child, segment_exists, shm_path
import helpers


def header(name):
    with open(shm_path(name), "rb") as f:
        data = f.read()
    return struct.unpack_from("<3Q", data), data


@pytest.mark.linux_only
def test_create_writes_header_and_zero_slots_into_a_private_segment(name):
    ring = Ring.create(name, 4, 16)
    (write_idx, capacity, frame_bytes), data = header(name)
    assert (write_idx, capacity, frame_bytes) == (0, 4, 16)
    assert len(data) == 88 and data[24:] == bytes(64)
    assert (ring.capacity, ring.frame_bytes, ring.write_idx) == (4, 16, 0)
    assert stat.S_IMODE(os.stat(shm_path(name)).st_mode) == 0o1600  # sticky: made by us


@pytest.mark.linux_only
def test_open_with_other_geometry(name):
    ring = Ring.create(name, 4, 16)
    smaller = Ring.open(name, 2, 16)
    assert (smaller.capacity, smaller.frame_bytes) == (2, 16)
    assert header(name)[0] == (0, 4, 16)  # the header keeps the creator's numbers
    with pytest.raises(RuntimeError, match="^MapViewOfFile failed$"):
        Ring.open(name, 8, 16)
    with pytest.raises(RuntimeError, match="^MapViewOfFile failed$"):
        Ring.create(name, 8, 16)  # an existing segment keeps its size
    del ring, smaller


def test_second_create_resets_write_idx_for_every_handle(name):
    first = Ring.create(name, 4, 16)
    first.publish(np.arange(8, dtype=np.float32))
    second = Ring.create(name, 4, 16)
    assert first.write_idx == second.write_idx == 0
    assert np.asarray(second.view_frame(1, 1, 4)).tolist() == [[4, 5, 6, 7]]  # slots stay


def test_last_release_frees_the_name(name):
    ring = Ring.create(name, 4, 16)
    other = Ring.open(name, 4, 16)
    del ring
    assert segment_exists(name)
    del other
    assert not segment_exists(name)
    with pytest.raises(RuntimeError, match="OpenFileMapping failed"):
        Ring.open(name, 4, 16)


def test_a_failed_system_call_is_the_cause_of_the_fixed_error(name):
    with pytest.raises(RuntimeError, match="^OpenFileMapping failed$") as raised:
        Ring.open(name, 4, 16)
    with pytest.raises(FileNotFoundError) as attached:
        quorvane_reader.attach(name)
    for cause in (raised.value.__cause__, attached.value.__cause__):
        assert isinstance(cause, FileNotFoundError), cause
        assert (cause.errno, cause.filename) == (errno.ENOENT, name)


@pytest.mark.parametrize("capacity, frame_bytes, message", [
    (0, 16, "capacity and frame_bytes must be positive"),
    (4, 0, "capacity and frame_bytes must be positive"),
    (2**63, 2, "ring size too large"),
    (2**64 - 1, 2**64 - 1, "ring size too large"),
    (1, 2**64 - 24, "ring size too large"),
    (2**40, 2**10, "ring size too large"),
])
def test_unusable_sizes_are_refused_before_anything_is_made(name, capacity, frame_bytes, message):
    for factory in (Ring.create, Ring.open):
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            factory(name, capacity, frame_bytes)


@pytest.mark.linux_only
def test_ring_larger_than_dev_shm_is_refused_at_create(name):
    fs = os.statvfs("/dev/shm")
    too_big = fs.f_blocks * fs.f_frsize + (1 << 30)
    with pytest.raises(RuntimeError, match="^CreateFileMapping failed$") as raised:
        Ring.create(name, too_big // 4096, 4096)
    assert raised.value.__cause__.errno == errno.ENOSPC
    assert not any(n.startswith(".") or n == name for n in os.listdir("/dev/shm"))


@pytest.mark.linux_only
@pytest.mark.parametrize("hostile", ["", "../x", "a/b", "/abs", ".", "..", "x" * 255, "y" * 300])
def test_names_posix_cannot_hold_fail_and_create_nothing(hostile, tmp_path):
    before = set(os.listdir("/dev/shm")), set(os.listdir("/dev")), set(os.listdir(tmp_path))
    with pytest.raises(RuntimeError, match="^CreateFileMapping failed$") as raised:
        Ring.create(hostile, 4, 16)
    assert raised.value.__cause__.errno == (errno.ENAMETOOLONG if len(hostile) > 254 else
                                            errno.EINVAL)
    with pytest.raises(RuntimeError, match="^OpenFileMapping failed$"):
        Ring.open(hostile, 4, 16)
    after = set(os.listdir("/dev/shm")), set(os.listdir("/dev")), set(os.listdir(tmp_path))
    assert before == after


@pytest.mark.linux_only
@pytest.mark.parametrize("kind", ["cut at NUL", "254 bytes"])
def test_names_end_at_the_first_nul_and_may_be_254_bytes(name, kind):
    given, file = (name + "\0tail", name) if kind == "cut at NUL" else (name.ljust(254, "q"),) * 2
    ring = Ring.create(given, 1, 8)
    assert os.listdir("/dev/shm").count(file) == 1
    assert Ring.open(file, 1, 8).capacity == 1
    del ring
    assert not os.path.exists(shm_path(file))


def test_second_process_opens_the_ring(name, spawn):
    ring = Ring.create(name, 4, 16)
    ring.publish(np.arange(4, dtype=np.float32))
    queue = spawn.Queue()
    assert run_in_child(spawn, helpers.open_and_report, name, 4, 16, queue) == 0
    assert queue.get(timeout=10) == (4, 16, 1, np.arange(4, dtype=np.float32).tobytes())
    assert ring.write_idx == 1  # the child's release did not take the segment away


@pytest.mark.linux_only
@pytest.mark.parametrize("first_look", ["open", "create"])
def test_killed_creator_leaves_no_segment(name, spawn, first_look):
    ready = spawn.Event()
    child = spawn.Process(target=helpers.create_then_die, args=(name, ready))
    child.start()
    assert ready.wait(60)
    child.join(60)
    assert child.exitcode == -signal.SIGKILL
    # The dead object is found and removed by the next one to look for it.
    if first_look == "open":
        with pytest.raises(RuntimeError, match="OpenFileMapping failed"):
            Ring.open(name, 4, 16)
        assert not os.path.exists(shm_path(name))
    ring = Ring.create(name, 4, 16)
    assert ring.write_idx == 0
    assert header(name)[1][24:] == bytes(64)  # a fresh, zero-filled segment
    del ring


def test_last_holders_releasing_at_once_free_the_name(name, spawn):
    rounds, start = 2000, spawn.Barrier(3)
    children = [spawn.Process(target=helpers.release_together, args=(name, rounds, start))
                for _ in range(2)]
    for child in children:
        child.start()
    try:
        for _ in range(rounds):
            ring = Ring.create(name, 1, 8)
            start.wait(30)  # the children open it
            start.wait(30)
            del ring  # now only the children hold it; they release together
            start.wait(30)
            assert not segment_exists(name)
    except BaseException:
        start.abort()  # only on failure: aborting a passed barrier breaks waiters still waking
        raise
    finally:
        for child in children:
            child.join(30)
    assert [child.exitcode for child in children] == [0, 0]


def fork_child(body):
    """Runs body() in a forked child that ends with os._exit, as multiprocessing's fork
    children do: no clean-up of any kind. Returns the pid."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if body() else 1
        finally:
            os._exit(code)
    return pid


def exit_code(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


@pytest.mark.linux_only
def test_forked_child_dropping_its_copy_keeps_parent_segment(name):
    ring = Ring.create(name, 4, 16)

    def drop():
        nonlocal ring
        del ring
        gc.collect()
        return True

    assert exit_code(fork_child(drop)) == 0
    assert Ring.open(name, 4, 16).capacity == 4
    del ring


@pytest.mark.linux_only
def test_forked_child_reads_its_inherited_ring_without_holding_the_segment(name):
    ring = Ring.create(name, 4, 16)
    go_read, go_write = os.pipe()

    def read_when_told():
        os.close(go_write)
        return os.read(go_read, 1) == b"x" and ring.view_frame(0, 1, 4).tolist() == [[7] * 4]

    pid = fork_child(read_when_told)
    try:
        ring.publish(np.full(4, 7, np.float32))  # after the fork: the mapping is shared
        del ring  # the parent was the only holder: the name goes now, the child still running
        assert not os.path.exists(shm_path(name))
        os.write(go_write, b"x")
    finally:
        os.close(go_write)  # the child stops waiting whatever happened here
        assert exit_code(pid) == 0


def test_exit_releases_rings_the_program_never_dropped(name):
    held_by_thread, in_cycle = name, name + "_cycle"
    code = f"""if True:
        import threading, time, quorvane
        ring = quorvane.Ring.create({held_by_thread!r}, 4, 16)
        threading.Thread(target=lambda r=ring: time.sleep(60), daemon=True).start()
        cycle = [quorvane.Ring.create({in_cycle!r}, 4, 16)]
        cycle.append(cycle)
        del ring
        """
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
    assert not segment_exists(in_cycle)  # the fixture checks the other


# Ways a process ends without running its clean-up; multiprocessing's fork and forkserver
# children end with os._exit when their target returns.
ENDINGS_WITHOUT_CLEAN_UP = {
    "os._exit": "helpers.hold_ring(NAME); os._exit(0)",
    "exec": "helpers.hold_ring(NAME); os.execv(sys.executable, [sys.executable, '-c', ''])",
    "SIGTERM": "helpers.hold_ring(NAME); os.kill(os.getpid(), signal.SIGTERM)",
    "abort": "helpers.hold_ring(NAME); os.abort()",
    "fork child": "in_child('fork')",
    "forkserver child": "in_child('forkserver')",
}


@pytest.mark.linux_only
def test_segments_left_by_endings_without_clean_up_go_at_a_process_first_create_of_any_ring(
        name):
    left = {ending: f"{name}_{i}" for i, ending in enumerate(ENDINGS_WITHOUT_CLEAN_UP)}
    for ending, ring_name in left.items():
        code = f"""if True:
            import multiprocessing, os, signal, sys
            sys.path.insert(0, {os.path.dirname(__file__)!r})
            import helpers
            NAME = {ring_name!r}
            def in_child(method):
                child = multiprocessing.get_context(method).Process(target=helpers.hold_ring,
                                                                    args=(NAME,))
                child.start()
                child.join(60)
                sys.exit(child.exitcode)
            {ENDINGS_WITHOUT_CLEAN_UP[ending]}
            """
        subprocess.run([sys.executable, "-c", code], timeout=60)
        assert segment_exists(ring_name), f"{ending} released its ring at once"
    # Any ring of ours, dropped at once, by a new process: this one may have swept lately.
    create = f"import quorvane; quorvane.Ring.create({name!r}, 4, 16)"
    subprocess.run([sys.executable, "-c", create], check=True, timeout=60)
    assert [ending for ending, ring_name in left.items() if segment_exists(ring_name)] == []


# The mark is the one thing every process sees: whether the last release removes the name
# follows the mark as it is then, not as some handle found it when it was made.
@pytest.mark.linux_only
def test_the_mark_at_the_last_release_decides_whether_the_name_goes(name):
    ring = Ring.create(name, 4, 16)
    os.chmod(shm_path(name), 0o600)  # the owner takes the mark off: foreign from now on
    del ring
    assert os.path.exists(shm_path(name))
    ring = Ring.open(name, 4, 16)  # opened without the mark
    os.chmod(shm_path(name), 0o1600)
    del ring
    assert not os.path.exists(shm_path(name))


def private_dev_shm_available():
    probe = ["unshare", "--mount", "sh", "-c", "mount -t tmpfs tmpfs /dev/shm"]
    return (ON_LINUX and os.geteuid() == 0 and shutil.which("unshare")
            and subprocess.run(probe).returncode == 0)


# In the usual /dev/shm (sticky), only a file's owner may remove it, so a process that gave
# up root cannot remove a name root made. Without the sticky bit it can, and must.
@pytest.mark.linux_only
@pytest.mark.skipif(not private_dev_shm_available(), reason="needs root and mount namespaces")
def test_last_holder_frees_the_name_after_dropping_privileges(name):
    code = f"""if True:
        import os, quorvane
        ring = quorvane.Ring.create({name!r}, 4, 16)
        os.setgid(65534)
        os.setuid(65534)
        del ring
        assert not os.path.exists("/dev/shm/{name}")
        quorvane.Ring.create({name!r}, 4, 16)  # the name is free for the new user
        """
    shell = 'mount -t tmpfs -o mode=0777 tmpfs /dev/shm && exec "$0" -c "$1"'
    subprocess.run(["unshare", "--mount", "sh", "-c", shell, sys.executable, code], check=True,
                   timeout=60)


# The sweep for rings whose holders all ended reads every entry of /dev/shm, other users'
# too, so a process sweeps at its first create or open and then seldom; and it removes only
# what holds a ring's header and size (or a companion's), not any marked file of the user's.
@pytest.mark.linux_only
@pytest.mark.skipif(not private_dev_shm_available(), reason="needs root and mount namespaces")
def test_the_sweep_removes_only_rings_and_create_and_open_stay_fast_beside_100k_entries():
    code = """if True:
        import os, statistics, struct, subprocess, sys, time
        import quorvane
        for i in range(100_000):
            fd = os.open(f"/dev/shm/another_users_{i}", os.O_CREAT | os.O_WRONLY, 0o600)
            os.fchown(fd, 65534, 65534)
            os.close(fd)
        # Left by processes that ended without releasing: a ring and its companion, and
        # files of ours with the mark that are no ring (a text; a header past its file).
        left = "import os, quorvane; ring = quorvane.Ring.create('left', 4, 16); os._exit(0)"
        subprocess.run([sys.executable, "-c", left], check=True)
        for name, data in (("text", b"not a ring " * 10), ("cut", struct.pack("<3Q", 0, 4, 16))):
            with open(f"/dev/shm/{name}", "wb") as f:
                f.write(data)
            os.chmod(f"/dev/shm/{name}", 0o1600)
        ring = quorvane.Ring.create("timed", 4, 16)  # this process's first: it sweeps
        ours = sorted(n for n in os.listdir("/dev/shm") if not n.startswith("another_users_"))
        assert ours == ["cut", "text", "timed", "timed.quorvane"], ours
        created, opened = [], []
        for _ in range(500):
            started = time.perf_counter()
            quorvane.Ring.create("created", 4, 16)  # dropped at once
            created.append(time.perf_counter() - started)
            started = time.perf_counter()
            quorvane.Ring.open("timed", 4, 16)
            opened.append(time.perf_counter() - started)
        print(statistics.median(created), statistics.median(opened))
        """
    shell = 'mount -t tmpfs tmpfs /dev/shm && exec "$0" -c "$1"'
    result = subprocess.run(["unshare", "--mount", "sh", "-c", shell, sys.executable, code],
                            timeout=300, capture_output=True, text=True)
    assert result.returncode == 0, (result.returncode, result.stderr)
    create_s, open_s = map(float, result.stdout.split())
    assert create_s < 1e-3 and open_s < 1e-3, f"medians: create {create_s}, open {open_s} s"


# A file made by ftruncate alone (as multiprocessing.shared_memory makes them) has no pages
# yet; on a full /dev/shm the first write into one would raise SIGBUS in publish.
@pytest.mark.linux_only
@pytest.mark.skipif(not private_dev_shm_available(), reason="needs root and mount namespaces")
def test_create_over_a_sparse_file_reserves_its_pages_or_fails(name):
    code = f"""if True:
        from multiprocessing import shared_memory
        import numpy as np, quorvane
        shared_memory.SharedMemory({name!r}, create=True, size=(2 << 20) + 24)
        try:
            ring = quorvane.Ring.create({name!r}, 512, 4096)
        except RuntimeError as error:
            assert str(error) == "CreateFileMapping failed", error
        else:
            ring.publish(np.zeros(512 * 1024, np.float32))
            raise SystemExit("create took over a segment /dev/shm cannot back")
        """
    shell = 'mount -t tmpfs -o size=1m tmpfs /dev/shm && exec "$0" -c "$1"'
    result = subprocess.run(["unshare", "--mount", "sh", "-c", shell, sys.executable, code],
                            timeout=60, capture_output=True, text=True)
    assert result.returncode == 0, (result.returncode, result.stderr)


@pytest.mark.linux_only
def test_foreign_segment_is_opened_but_never_removed(name):
    foreign = helpers.untracked_shared_memory(name, create=True, size=88)
    try:
        ring = Ring.open(name, 4, 16)
        assert ring.write_idx == 0
        again = Ring.create(name, 4, 16)  # attaches; the header is written
        again.publish(np.ones(4, np.float32))
        assert struct.unpack_from("<3Q", foreign.buf) == (1, 4, 16)
        del ring, again
        assert os.path.exists(shm_path(name))
        assert Ring.open(name, 4, 16).write_idx == 1  # no holder, yet not dead: not ours
    finally:
        foreign.close()
        foreign.unlink()


# As user B: a file at the name, writable by all and carrying our mark, locked as if held.
@pytest.mark.linux_only
@pytest.mark.skipif(not ON_LINUX or os.geteuid() != 0, reason="needs root to be two users")
def test_a_file_of_another_user_at_the_name_is_refused_at_once_to_root_too(name, spawn):
    import fcntl  # POSIX only: imported here so that the module loads on Windows

    path = shm_path(name)
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    ready, done = spawn.Event(), spawn.Event()
    leaser = spawn.Process(target=helpers.hold_a_read_lease, args=(path, ready, done))
    try:
        os.ftruncate(fd, 88)
        os.fchown(fd, 65534, 65534)
        os.fchmod(fd, 0o1666)
        fcntl.lockf(fd, fcntl.LOCK_SH)
        queue = spawn.Queue()
        assert run_in_child(spawn, helpers.attach_as_user, 65533, name, queue) == 0
        assert queue.get(timeout=10) == ["CreateFileMapping failed", "OpenFileMapping failed"]
        # Root neither: the squatter would read its frames and could truncate the file under
        # its publish. And a lease on the file, which makes an open for writing wait until
        # it breaks (45 s), makes no call wait. (No lease while the file is open for writing.)
        os.close(fd)
        fd = -1
        leaser.start()
        assert ready.wait(30)
        started = time.monotonic()
        for factory, failed in ((Ring.create, "CreateFileMapping failed"),
                                (Ring.open, "OpenFileMapping failed")):
            with pytest.raises(RuntimeError, match=f"^{failed}$"):
                factory(name, 4, 16)
        with pytest.raises(ValueError, match="not a ring this user may open"):
            quorvane_reader.attach(name)
        assert time.monotonic() - started < 5
    finally:
        done.set()
        if leaser.is_alive():
            leaser.join(60)
        if fd >= 0:
            os.close(fd)
        os.unlink(path)


def test_ring_is_readable_with_multiprocessing_shared_memory(name):
    ring = Ring.create(name, 4, 16)
    ring.publish(np.arange(8, dtype=np.float32))
    other = helpers.untracked_shared_memory(name)
    try:
        assert struct.unpack_from("<3Q", other.buf) == (2, 4, 16)
        assert np.frombuffer(other.buf, np.float32, 4, 24 + 16).tolist() == [4, 5, 6, 7]
    finally:
        other.close()
    del ring
