"""The quorvane command (quorvane_tools), run as a user runs it: in a process of its own,
against rings this test makes."""

import getpass
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

import numpy as np
import pytest

import quorvane_reader
from quorvane import Ring
from quorvane_tools.recording import row_dtype

from conftest import segment_exists, shm_path
import helpers

pytest.importorskip("rich")  # the tools extra
Image = pytest.importorskip("PIL.Image")

TOOL = [sys.executable, "-m", "quorvane_tools"]


def tool(*args, timeout=60):
    done = subprocess.run([*TOOL, *args], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def leave_stale_ring(spawn, name):
    """A ring whose only holder was killed."""
    ready = spawn.Event()
    child = spawn.Process(target=helpers.create_then_die, args=(name, ready))
    child.start()
    assert ready.wait(60)
    child.join(60)
    assert child.exitcode == -signal.SIGKILL and os.path.exists(shm_path(name))


def publish_every(ring, seconds, stop):
    frame = np.zeros(ring.frame_bytes, np.uint8)
    while not stop.wait(seconds):
        ring.publish(frame)


@pytest.mark.linux_only
def test_ls_sees_rings_with_geometry_and_rate_and_clean_removes_only_stale_ones(name, spawn):
    ring = Ring.create(name, 8, 256)
    stop = threading.Event()
    publisher = threading.Thread(target=publish_every, args=(ring, 0.01, stop))
    publisher.start()
    try:
        # A process's first create or open of this user's, in any program, sweeps stale rings
        # too: on a shared machine one may go before the tool looks, which then cannot report it.
        leave_stale_ring(spawn, name + "_stale1")
        swept_first = not segment_exists(name + "_stale1")
        out = tool("clean")
        assert swept_first or f"removed {name}_stale1" in out, out
        assert not segment_exists(name + "_stale1") and segment_exists(name)

        leave_stale_ring(spawn, name + "_stale2")
        swept_first = not segment_exists(name + "_stale2")
        found = {entry["name"]: entry for entry in json.loads(tool("ls", "--json", "--look", "1"))}
    finally:
        stop.set()
        publisher.join()
    live = found[name]
    assert (live["capacity"], live["frame_bytes"], live["size"]) == (8, 256, 24 + 8 * 256)
    assert live["held"] and not live["stale"] and live["owner"] == getpass.getuser()
    assert 30 < live["fps"] < 110 and live["write_idx"] > 0, live  # about 100 a second
    if not swept_first:
        stale = found[name + "_stale2"]
        assert stale["stale"] and stale["capacity"] is None and stale["size"] == 24 + 4 * 16
    # ls's look opened a ring, and a process's first open sweeps the caller's stale ones.
    assert not segment_exists(name + "_stale2")


@pytest.mark.linux_only  # ls
def test_ring_names_cannot_steer_the_terminal_or_forge_lines(name):
    """Names may hold any character (Windows' do too); what the tools print escapes the
    unprintable ones, in plain lines (ls) as in rich's tables (watch)."""
    hostile = name + "\x1b]0;title\x07\x1b[31m\nforged"
    ring = Ring.create(hostile, 8, 16)
    watcher = subprocess.Popen([*TOOL, "watch", hostile, "--interval", "0.2"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=os.environ | {"COLUMNS": "200"})  # the name uncut
    try:
        listed = tool("ls", "--look", "0.1")
        time.sleep(1)  # a few tables; the last one is printed when it stops
    finally:
        watcher.send_signal(signal.SIGINT)
        watched, err = watcher.communicate(timeout=30)
    assert watcher.returncode == 0, err
    escaped = name + "\\x1b]0;title\\x07\\x1b[31m\\nforged"
    for out in (listed, watched):
        assert all(line.isprintable() for line in out.splitlines()), out
        assert escaped in out and not any(line.startswith(("forged", "│ forged"))
                                          for line in out.splitlines()), out
    del ring


def rows_in(file):
    """The rows of the recording at `file`; 0 while another file is there."""
    return len(np.load(file)) if file.read_bytes().startswith(b"\x93NUMPY") else 0


def wait_for_recorder(recorder, tmp_path, deadline):
    """Returns once the recorder's reader stands before the next frame: its temporary file
    appears then, beside the name it takes at the first frame."""
    while not list(tmp_path.glob("*.part")):
        assert time.monotonic() < deadline and recorder.poll() is None
        time.sleep(0.01)


@pytest.mark.linux_only  # breaks a header through the Linux layer's file
def test_ls_says_why_it_could_not_look_at_a_ring_and_lists_at_once_with_look_0(name):
    ring, broken = Ring.create(name, 8, 256), Ring.create(name + "_broken", 4, 16)
    with quorvane_reader.Producer.create(name + "_typed", 4, (2, 3, 3), np.uint8) as typed:
        typed.publish(np.zeros((2, 3, 3), np.uint8))
        typed = quorvane_reader.attach(name + "_typed")  # held past the end of its stream
    ring.publish(np.zeros((3, 256), np.uint8))
    with open(shm_path(name + "_broken"), "r+b") as file:
        file.seek(8)
        file.write(bytes(16))  # capacity and frame_bytes 0: no ring's header
    try:
        found = {entry["name"]: entry for entry in json.loads(tool("ls", "--json", "--look", "0"))}
        table = tool("ls", "--look", "0.1")  # a rate, also of a stream that has ended
    finally:
        del ring, broken, typed
    assert (found[name]["write_idx"], found[name]["capacity"], found[name]["fps"]) == (3, 8, None)
    assert found[name]["note"] is None and found[name + "_broken"]["capacity"] is None
    assert (found[name]["dtype"], found[name]["shape"]) == (None, None)  # untyped
    assert (found[name + "_typed"]["dtype"], found[name + "_typed"]["shape"]) == ("|u1", [2, 3, 3])
    # capacity, frame_bytes, dtype, shape, size (a number and its unit), write_idx, frames/s
    columns = {line.split()[0]: line.split()[1:9] for line in table.splitlines()[1:]}
    assert columns[name + "_typed"] == ["4", "18", "uint8", "2x3x3", "96", "B", "1", "0.0"], table
    assert columns[name][:4] == ["8", "256", "-", "-"], table
    assert "ring header not valid" in found[name + "_broken"]["note"], found
    assert any(line.startswith(name + "_broken ") and "ring header not valid" in line
               for line in table.splitlines()), table


def test_record_keeps_what_it_had_when_killed_and_replay_repeats_frames_and_timing(
        name, tmp_path):
    gaps = [0.3, 0.05, 0.15, 0.08, 0.2, 0.04, 0.1]
    rows, cols, file = 4, 6, tmp_path / "take.npy"
    ring = Ring.create(name, 32, rows * cols * 4 + 8)  # bytes past the values: not recorded
    file.write_text("precious")
    record = [*TOOL, "record", name, str(file), "--shape", f"{rows}x{cols}", "--seconds"]
    refused = subprocess.run([*record, "0.1"], capture_output=True, text=True, timeout=60)
    assert refused.returncode == 1 and "--force" in refused.stderr, refused.stderr
    assert file.read_text() == "precious" and not list(tmp_path.glob("*.part"))

    recorder = subprocess.Popen([*record, "60", "--force"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        wait_for_recorder(recorder, tmp_path, deadline)
        assert file.read_text() == "precious"  # until the first frame is recorded
        frames = [np.full((rows, cols), n, np.float32) + np.arange(cols, dtype=np.float32)
                  for n in range(len(gaps) + 1)]
        published = []  # just before each publish, on the recorder's clock
        for n, frame in enumerate(frames):
            if n:
                time.sleep(gaps[n - 1])
            published.append(time.time())
            ring.publish(np.frombuffer(frame.tobytes() + bytes(8), np.uint8))
        while rows_in(file) < len(frames):
            assert time.monotonic() < deadline
            time.sleep(0.01)
    finally:
        recorder.kill()  # no chance to tidy up
        recorder.communicate(timeout=30)
    del ring

    recording = np.load(file)  # NumPy alone
    assert len(recording) == len(frames)
    assert np.array_equal(recording["frame"], np.stack(frames))
    assert list(recording["seq"]) == list(range(len(frames)))
    assert set(recording["capacity"]) == {32} and set(recording["frame_bytes"]) == {rows * cols * 4 + 8}
    # Timing is judged only where the code decides it: a frame is stamped when the recorder
    # has it (never before it was published, in order); how late a busy machine lets the
    # recorder or this test's reader run is not the code's to keep.
    assert np.all(recording["time"] >= published) and np.all(np.diff(recording["time"]) >= 0)
    offsets = recording["time"] - recording["time"][0]

    copy = name + "_replayed"
    launched = time.monotonic()
    replayer = subprocess.Popen([*TOOL, "replay", str(file), copy, "--as-recorded"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        replayed = quorvane_reader.attach(copy, timeout=30)
        reader = quorvane_reader.Reader(replayed, rows, cols, start="oldest")
        seen, arrivals = [], []
        for _ in frames:
            frame = reader.next(timeout=30)
            arrivals.append(time.monotonic())
            seen.append(frame.array.copy())
        assert (replayed.capacity, replayed.frame_bytes) == (32, rows * cols * 4 + 8)
    finally:
        out, err = replayer.communicate(timeout=30)
    assert replayer.returncode == 0 and f"published {len(frames)} of {len(frames)}" in out, err
    assert np.array_equal(np.stack(seen), np.stack(frames))
    # The replayer publishes no frame before its recorded offset from its start, which
    # comes after it was launched.
    assert np.all(np.array(arrivals) - launched >= offsets), np.array(arrivals) - launched
    del frame, reader, replayed
    assert not segment_exists(copy)


def test_record_and_replay_keep_a_typed_ring_s_type_stamps_and_end_of_stream(name, tmp_path):
    file, shape, dtype = tmp_path / "take.npy", (2, 3, 4), np.dtype(">u2")  # not native order
    frames = [(np.arange(24).reshape(shape) * 1000 + n).astype(dtype) for n in range(5)]
    stamps = [(1_700_000_000_000_000_000 + n * 33_000_000, 2**64 - 1 - n) for n in range(5)]
    with quorvane_reader.Producer.create(name, 8, shape, dtype) as producer:
        refused = subprocess.run([*TOOL, "record", name, str(file), "--shape", "2x12",
                                  "--frames", "1"], capture_output=True, text=True, timeout=60)
        recorder = subprocess.Popen([*TOOL, "record", name, str(file), "--seconds", "60"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            wait_for_recorder(recorder, tmp_path, time.monotonic() + 30)
            for frame, (timestamp_ns, user) in zip(frames, stamps):
                producer.publish(frame, timestamp_ns=timestamp_ns, user=user)
        except BaseException:
            recorder.kill()
            raise
    out, err = recorder.communicate(timeout=30)  # ends with the stream, long before 60 s
    assert refused.returncode == 1 and "leave out --shape" in refused.stderr, refused.stderr
    assert recorder.returncode == 0 and "recorded 5 frames" in out, err
    assert "the producer ended its stream" in out, out

    take = np.load(file)  # NumPy alone
    assert take["frame"].dtype == dtype and take["frame"].shape == (5, *shape)
    assert np.array_equal(take["frame"], np.stack(frames))
    assert [(int(t), int(u)) for t, u in zip(take["timestamp_ns"], take["user"])] == stamps

    copy = name + "_replayed"
    replayer = subprocess.Popen([*TOOL, "replay", str(file), copy, "--rate", "4"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        reader = quorvane_reader.Reader(quorvane_reader.attach(copy, timeout=30), start="oldest")
        seen = [(frame.array.copy(), frame.timestamp_ns, frame.user) for frame in reader]
    finally:
        out, err = replayer.communicate(timeout=30)
    assert replayer.returncode == 0 and "published 5 of 5" in out, err
    assert (reader.dtype, reader.shape) == (dtype, shape)
    assert all(np.array_equal(got, frame) for (got, _, _), frame in zip(seen, frames))
    assert [(t, u) for _, t, u in seen] == stamps  # and iteration ended with the stream
    del reader


@pytest.mark.linux_only  # a file size limit (RLIMIT_FSIZE) stands in for a full disk
def test_record_on_a_full_disk_keeps_its_whole_rows(name, tmp_path):
    rows, cols, file = 4, 6, tmp_path / "take.npy"
    np.save(file, np.zeros(0, row_dtype(rows, cols)))
    header, row = file.stat().st_size, row_dtype(rows, cols).itemsize
    file.unlink()
    limit = header + 5 * row + row // 2  # room for five and a half rows
    ring = Ring.create(name, 64, rows * cols * 4)
    limited = ("import resource, sys; from quorvane_tools.__main__ import main; "
               f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit})); sys.exit(main())")
    recorder = subprocess.Popen([sys.executable, "-c", limited, "record", name, str(file),
                                 "--shape", f"{rows}x{cols}", "--frames", "20"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    frames = [np.full((rows, cols), n, np.float32) for n in range(10)]
    try:
        wait_for_recorder(recorder, tmp_path, time.monotonic() + 30)
        for frame in frames:
            ring.publish(frame)
            time.sleep(0.02)  # the recorder keeps up: none is overwritten before it is copied
        err = recorder.communicate(timeout=30)[1]
    finally:
        recorder.kill()  # if it failed otherwise
        recorder.wait()
    assert file.stat().st_size == header + 5 * row, err  # the sixth row, cut short, cut off
    for kept in (np.load(file), np.load(file, mmap_mode="r")):
        assert np.array_equal(kept["frame"], np.stack(frames[:5]))
    assert recorder.returncode == 1 and "Traceback" not in err, err
    assert "keeps the 5 frames recorded before" in err.splitlines()[-1], err
    assert "published 5 of 5 frames" in tool("replay", str(file), name + "_replayed",
                                             "--rate", "1000")
    del ring


def test_replay_ends_on_a_bad_or_shrinking_file_with_one_line(name, tmp_path):
    rows, cols = 64, 64  # a row of 16 kB: a cut through it is felt at once

    def save(file, count=40, dtype=row_dtype(rows, cols), **fields):
        take = np.zeros(count, dtype)
        take["time"] = 1.7e9 + np.arange(count) / 10
        take["capacity"], take["frame_bytes"] = 8, rows * cols * 4
        for field, value in fields.items():
            take[field][-1] = value
        np.save(file, take)
        return file

    def last_line(returncode, err):
        assert returncode == 1 and "Traceback" not in err, (returncode, err)
        return err.splitlines()[-1]

    # Cut short while it is replayed: the rows already read are published, then one line.
    file = save(tmp_path / "shrinks.npy")
    replayer = subprocess.Popen([*TOOL, "replay", str(file), name, "--rate", "5"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        quorvane_reader.attach(name, timeout=30)  # made at the first frame
        os.truncate(file, file.stat().st_size - 36 * row_dtype(rows, cols).itemsize)
    finally:
        err = replayer.communicate(timeout=30)[1]
        last = last_line(replayer.returncode, err)
    match = re.fullmatch(r"quorvane replay: '.*' ended after (\d+) of its 40 frames: it was "
                         r"cut short", last)
    assert match and 4 <= int(match[1]) < 40, last

    special = []  # a FIFO and a device: Linux files that Windows does not have
    if sys.platform == "linux":
        os.mkfifo(tmp_path / "fifo")
        os.symlink("/dev/zero", tmp_path / "zeros")
        special = [tmp_path / "fifo", tmp_path / "zeros"]
    bad = {"not a regular file": special,
           "is not a quorvane recording": [
               save(tmp_path / "bytes.npy", dtype=[("time", "S8"), *row_dtype(
                   rows, cols).descr[1:]])],
           "is no time to wait for": [save(tmp_path / "inf.npy", count=2, time=np.inf),
                                      save(tmp_path / "far.npy", count=2, time=1e300)],
           "do not fit the 64 bytes": [save(tmp_path / "big.npy", count=1, frame_bytes=64)]}
    for words, files in bad.items():
        for file in files:
            done = subprocess.run([*TOOL, "replay", str(file), name], capture_output=True,
                                  text=True, timeout=20)  # a FIFO must not block
            last = last_line(done.returncode, done.stderr)
            assert words in last and "pickle" not in last, (file, last)


def block_colours(png, rows, cols, scale):
    """The colour at the middle of each value's block: show puts the frame at the top left."""
    pixels = np.asarray(Image.open(png).convert("RGB"))
    return pixels[scale // 2::scale, scale // 2::scale][:rows, :cols].astype(int)


def brightness(colours):
    return colours @ np.array([0.299, 0.587, 0.114])


def test_show_writes_a_png_whose_pixels_follow_the_values(name, tmp_path):
    rows, cols, scale = 3, 5, 4
    values = np.arange(rows * cols, dtype=np.float32).reshape(rows, cols)
    ring = Ring.create(name, 4, values.nbytes)
    ring.publish(values)
    ring.publish(values[::-1, ::-1].copy())  # the newest frame

    tool("show", name, "--shape", f"{rows}x{cols}", "--frame", "0", "--scale", str(scale),
         "-o", str(tmp_path / "first.png"))
    first = block_colours(tmp_path / "first.png", rows, cols, scale).reshape(-1, 3)
    assert np.all(np.diff(brightness(first)) > 0), first  # brighter with every value
    assert len({tuple(colour) for colour in first}) == rows * cols

    tool("show", name, "--shape", f"{rows}x{cols}", "--scale", str(scale),
         "-o", str(tmp_path / "newest.png"))
    newest = block_colours(tmp_path / "newest.png", rows, cols, scale)
    assert np.array_equal(newest, first.reshape(rows, cols, 3)[::-1, ::-1])

    tool("show", name, "--shape", f"{rows}x{cols}", "--frame", "0", "--scale", str(scale),
         "--range", "0", "7", "-o", str(tmp_path / "clamped.png"))
    clamped = block_colours(tmp_path / "clamped.png", rows, cols, scale).reshape(-1, 3)
    assert np.all(np.diff(brightness(clamped[:8])) > 0)
    assert (clamped[7:] == clamped[7]).all()  # at or past the top of the range: one colour
    assert np.array_equal(clamped[0], first[0])

    gone = subprocess.run([*TOOL, "show", name, "--shape", f"{rows}x{cols}", "--frame", "9",
                           "--timeout", "0.2", "-o", str(tmp_path / "none.png")],
                          capture_output=True, text=True, timeout=60)
    assert gone.returncode == 1 and "TimeoutError" not in gone.stderr and gone.stderr, gone.stderr
    unshaped = subprocess.run([*TOOL, "show", name, "-o", str(tmp_path / "none.png")],
                              capture_output=True, text=True, timeout=60)
    assert unshaped.returncode == 1 and "untyped" in unshaped.stderr, unshaped.stderr
    del ring


def test_show_draws_a_typed_rgb_frame_as_its_pixels_and_mono_in_grey(name, tmp_path):
    rows, cols, scale = 2, 3, 4
    rgb = np.arange(rows * cols * 3, dtype=np.uint8).reshape(rows, cols, 3) * 13
    mono = np.arange(rows * cols, dtype=np.uint16).reshape(rows, cols, 1) * 1000
    with (quorvane_reader.Producer.create(name, 4, rgb.shape, np.uint8) as colour,
          quorvane_reader.Producer.create(name + "_mono", 4, mono.shape, np.uint16) as grey):
        colour.publish(rgb)
        grey.publish(mono)
        said = tool("show", name, "--scale", str(scale), "-o", str(tmp_path / "rgb.png"))
        tool("show", name + "_mono", "--scale", str(scale), "-o", str(tmp_path / "mono.png"))
        shaped = subprocess.run([*TOOL, "show", name, "--shape", "2x3", "-o",
                                 str(tmp_path / "none.png")],
                                capture_output=True, text=True, timeout=60)
    assert np.array_equal(block_colours(tmp_path / "rgb.png", rows, cols, scale), rgb), said
    assert "RGB" in said and "uint8 2x3x3" in said, said
    greys = block_colours(tmp_path / "mono.png", rows, cols, scale).reshape(-1, 3)
    assert (greys == greys[:, :1]).all() and np.all(np.diff(greys[:, 0]) > 0), greys
    assert (greys[0, 0], greys[-1, 0]) == (0, 255)  # the frame's own range, 0 to 5000

    def beside_frame(png):
        return np.asarray(Image.open(png).convert("RGB"))[:rows * scale, cols * scale:]

    # A colour frame has no bar beside it; a mono one has its range's.
    assert (beside_frame(tmp_path / "rgb.png") == 255).all()
    assert (beside_frame(tmp_path / "mono.png") < 128).any()
    assert shaped.returncode == 1 and "leave out --shape" in shaped.stderr, shaped.stderr


CHROMIUM = shutil.which("chromium")


def screenshot(url, path):
    # The sanitized run preloads its runtime into every child; the browser is not ours.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=400,300", f"--screenshot={path}", url],
                   capture_output=True, timeout=120, check=True, env=env)
    return np.asarray(Image.open(path).convert("RGB")).astype(int)


def share_near(pixels, colour):
    return float((np.abs(pixels - colour).sum(axis=2) < 12).mean())


@pytest.mark.linux_only  # stops the viewer as a terminal's Ctrl-C does, with SIGINT
def test_view_in_a_headless_browser_shows_the_newest_frame_as_it_changes(name, tmp_path):
    if not CHROMIUM:
        pytest.skip("needs chromium, which make test installs (as root)")
    ring = Ring.create(name, 4, 16 * 16 * 4)
    ring.publish(np.zeros((16, 16), np.float32))
    viewer = subprocess.Popen([*TOOL, "view", name, "--shape", "16x16", "--range", "0", "1"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = viewer.stdout.readline().split(" at ")[1].split()[0]
        low, high = (68, 1, 84), (253, 231, 37)  # the colour map's ends
        before = screenshot(url, tmp_path / "before.png")
        ring.publish(np.ones((16, 16), np.float32))
        # Until the viewer has drawn it: its picture after the first comes once there is one.
        page = urllib.parse.urlsplit(url)
        urllib.request.urlopen(f"http://{page.netloc}/frame.png?{page.query}&after=0",
                               timeout=30).close()
        after = screenshot(url, tmp_path / "after.png")
    finally:
        viewer.send_signal(signal.SIGINT)
        out, err = viewer.communicate(timeout=30)
    assert viewer.returncode == 0, err
    # 256 x 256 of the frame in a 400 x 300 page: well over a third of it.
    assert share_near(before, low) > 0.3 and share_near(before, high) < 0.05
    assert share_near(after, high) > 0.3 and share_near(after, low) < 0.05
    del ring


@pytest.mark.linux_only  # counts the viewer's threads in /proc, stops it with SIGTERM
def test_view_answers_only_its_token_and_local_names_caps_clients_and_stops_at_once(name):
    import http.client
    import socket
    from urllib.parse import urlsplit

    from quorvane_tools.view import CLIENT_TIMEOUT, MAX_CONNECTIONS

    ring = Ring.create(name, 4, 4 * 4 * 4)
    ring.publish(np.zeros((4, 4), np.float32))
    viewer = subprocess.Popen([*TOOL, "view", name, "--shape", "4x4"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    held = []
    try:
        url = urlsplit(viewer.stdout.readline().split(" at ")[1].split()[0])
        token = url.query.removeprefix("token=")
        assert len(token) >= 32, url

        def get(path, host=url.netloc):
            connection = http.client.HTTPConnection(url.hostname, url.port, timeout=30)
            try:
                connection.request("GET", path, headers={"Host": host})
                return connection.getresponse().status
            finally:
                connection.close()

        assert get(f"/?token={token}") == get(f"/frame.png?token={token}") == 200
        assert get(f"/?token={token}", f"localhost:{url.port}") == 200
        for path, host in [("/", url.netloc), ("/frame.png", url.netloc),
                           (f"/?token={token[:-1]}", url.netloc),
                           (f"/?token={token}", f"attacker.example:{url.port}"),
                           (f"/frame.png?token={token}", "attacker.example")]:
            assert get(path, host) == 403, (path, host)

        def threads():
            status = Path(f"/proc/{viewer.pid}/status").read_text()
            return int(status.split("Threads:")[1].split()[0])

        before = threads()
        for _ in range(MAX_CONNECTIONS + 40):  # requests that never end
            held.append(socket.create_connection((url.hostname, url.port), timeout=30))
            held[-1].sendall(b"GET / HTTP/1.1\r\n")
        started = time.monotonic()
        refused = sum(connection.recv(1) == b"" for connection in held[MAX_CONNECTIONS:])
        assert refused == 40 and threads() <= before + MAX_CONNECTIONS, (refused, threads())
        # The slow ones are let go, and their places serve others again.
        assert all(connection.recv(1) == b"" for connection in held[:MAX_CONNECTIONS])
        assert time.monotonic() - started < CLIENT_TIMEOUT + 10
        assert get(f"/?token={token}") == 200

        # A page that leaves while its picture is on the way.
        for _ in range(3):
            leaving = socket.create_connection((url.hostname, url.port), timeout=30)
            leaving.sendall(f"GET /frame.png?token={token}&after=99 HTTP/1.0\r\n"
                            f"Host: {url.netloc}\r\n\r\n".encode())
            time.sleep(0.2)
            leaving.close()
            ring.publish(np.ones((4, 4), np.float32))
        time.sleep(0.5)
    finally:
        for connection in held:
            connection.close()
        stopping = time.monotonic()
        viewer.send_signal(signal.SIGTERM)
        out, err = viewer.communicate(timeout=60)
        stopped = time.monotonic() - stopping
    assert viewer.returncode == 0 and "Traceback" not in err, err
    assert stopped < 3, stopped  # it stops in about 0.1 s
    del ring
