"""The demo, the examples (Python and native) and the type stubs work as a user meets them."""

import importlib.util
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import quorvane_reader
from quorvane import Ring

from conftest import NATIVE_EXAMPLES, ON_LINUX, SHM, needs_native_examples


ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(*args, timeout=120, **kwargs):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT, **kwargs)


def summary_rows(output):
    summary = output[output.index("summary over"):]
    return re.findall(r"^#\d+\s+(\d+)\s+([\d.]+)\s+\S+\s+\S+\s+(\d+)\s+(\d+)", summary, re.M)


def test_demo_streams_to_two_consumers_and_cleans_up():
    demo = subprocess.Popen([sys.executable, EXAMPLES / "demo.py", "--seconds", "2", "--consumers",
                             "2", "--shape", "120x160"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=ROOT)
    stdout, stderr = demo.communicate(timeout=120)
    assert demo.returncode == 0, stdout + stderr
    rows = summary_rows(stdout)
    assert len(rows) == 2
    for frames_per_second, _, _, errors in rows:
        assert int(frames_per_second) > 0 and int(errors) == 0
    assert "segment removed: yes" in stdout
    if ON_LINUX:  # its own segment only: other demos may run on this host meanwhile
        assert not os.path.exists(os.path.join(SHM, f"quorvane_demo_{demo.pid}"))


# Interrupted during start-up (right after the banner) and once frames flow (a table row).
@pytest.mark.linux_only
@pytest.mark.parametrize("signal_after", ["quorvane demo:", "#"])
def test_demo_stops_cleanly_on_ctrl_c(signal_after):
    demo = subprocess.Popen([sys.executable, EXAMPLES / "demo.py", "--seconds", "60"], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    output = ""
    for line in demo.stdout:
        output += line
        if line.startswith(signal_after):
            break
    os.killpg(demo.pid, signal.SIGINT)  # as a terminal does: the whole process group
    output += demo.communicate(timeout=60)[0]
    assert demo.returncode == 0, output
    assert "(interrupted)" in output and "process exit codes: [0, 0, 0]" in output
    assert "segment removed: yes" in output


def test_producer_and_consumer_examples_together(name):
    consumer = subprocess.Popen([sys.executable, EXAMPLES / "consumer.py", "--name", name,
                                 "--frames", "500"], stdout=subprocess.PIPE, text=True, cwd=ROOT)
    producer = run(EXAMPLES / "producer.py", "--name", name, "--frames", "500", "--fps", "1000")
    out, _ = consumer.communicate(timeout=60)
    assert producer.returncode == 0 and "published 500 frames" in producer.stdout
    assert consumer.returncode == 0, out
    read, lost = map(int, re.search(r"read (\d+) frames, lost (\d+)", out).groups())
    assert read > 0 and "newest frame 499 has mean 243.0" in out


def test_stubs_match_the_module():
    result = run("-m", "mypy.stubtest", "quorvane",
                 "--allowlist", ROOT / "tests" / "stubtest_allowlist.txt")
    assert result.returncode == 0, result.stdout + result.stderr


# For both platforms from any one: mypy follows the sys.platform checks for the platform it
# is told. Not on Windows under Wine, where NumPy 2.2.1, the newest that runs there, has
# older stubs than the code is annotated against; nor on 3.10, whose newest NumPy is 2.2 and
# where zenoh's stubs lose their types (they import typing.Self, which is 3.11's).
@pytest.mark.skipif(sys.platform == "win32", reason="type-checked for win32 too, on Linux")
@pytest.mark.skipif(sys.version_info < (3, 11), reason="NumPy 2.2's and zenoh's stubs are not "
                    "strict-clean on 3.10; type-checked on 3.11 and later")
@pytest.mark.parametrize("platform", ["linux", "win32"])
def test_examples_and_companions_type_check_strictly(platform):
    companions = [ROOT / "python" / "quorvane_reader"]
    if importlib.util.find_spec("zenoh"):  # the bridge's extra
        companions.append(ROOT / "python" / "quorvane_bridge")
    if importlib.util.find_spec("PIL") and importlib.util.find_spec("rich"):  # the tools extra
        companions.append(ROOT / "python" / "quorvane_tools")
    result = run("-m", "mypy", "--strict", "--no-incremental", "--platform", platform, EXAMPLES,
                 *companions)
    assert result.returncode == 0, result.stdout + result.stderr


# The native examples, built against the installed package by make test.
ROWS, COLS, CAPACITY, FRAMES = 48, 64, 8, 2000
GEOMETRY = ["--rows", str(ROWS), "--cols", str(COLS), "--capacity", str(CAPACITY)]  # producer
CAMERA = (ROWS, COLS, 3)


def pattern(n, rows=ROWS):
    """The native examples' moving picture: channel k of pixel (row, col) of frame n is
    (row + col + n + 85 k) % 256."""
    return ((np.arange(rows)[:, None, None] + np.arange(COLS)[:, None] + n
             + 85 * np.arange(3)) % 256).astype(np.uint8)


@needs_native_examples
def test_a_cpp_camera_writing_in_place_feeds_a_python_reader_to_its_end(name):
    producer = subprocess.Popen([Path(NATIVE_EXAMPLES) / "producer", name, *GEOMETRY,
                                 "--fps", "2000", "--frames", str(FRAMES)],
                                stdout=subprocess.PIPE, text=True)
    try:
        reader = quorvane_reader.Reader(quorvane_reader.attach(name, timeout=30), start="oldest")
        assert (reader.dtype, reader.shape) == (np.uint8, CAMERA)
        intact = []
        for frame in reader:  # until the producer ends its stream
            same = np.array_equal(frame.array, pattern(frame.seq)) and frame.user == frame.seq
            if frame.intact():
                assert same, f"frame {frame.seq} is intact but not its pattern and stamp"
                assert abs(frame.timestamp_ns - time.time_ns()) < 60e9  # the wall clock's
                intact.append(frame.seq)
    finally:
        out, _ = producer.communicate(timeout=60)
    assert producer.returncode == 0 and f"published {FRAMES} frames" in out
    assert len(intact) > FRAMES // 2 and intact == sorted(intact) and intact[-1] == FRAMES - 1
    del reader


@needs_native_examples
def test_a_c_consumer_follows_typed_python_producers_across_a_restart(name):
    """The second producer makes the ring again with half the slots of frames twice as tall:
    the C consumer follows it from its first frame, every frame it calls intact right, until
    the stream's end."""
    consumer = subprocess.Popen([Path(NATIVE_EXAMPLES) / "consumer", name, "--rows", str(ROWS),
                                 "--cols", str(COLS), "--timeout", "30"],
                                stdout=subprocess.PIPE, text=True)
    camera = quorvane_reader.Producer.create(name, CAPACITY, CAMERA, np.uint8)
    attached = consumer.stdout.readline()  # once it has the first ring
    assert attached.startswith(f"following ring '{name}'"), attached
    for n in range(100):
        camera.publish(pattern(n), user=n)
        time.sleep(0.0005)
    taller = quorvane_reader.Producer.create(name, CAPACITY // 2, (2 * ROWS, COLS, 3), np.uint8)
    del camera  # not closed: the stream goes on in the new ring
    with taller:
        for n in range(FRAMES):
            taller.publish(pattern(n, 2 * ROWS), user=n)
            time.sleep(0.0005)
    out, _ = consumer.communicate(timeout=60)
    assert consumer.returncode == 0, out
    read, wrong, restarts = map(int, re.search(r"read (\d+) frames, .* wrong (\d+), restarts "
                                               r"(\d+)", out).groups())
    assert wrong == 0 and restarts == 1 and read > FRAMES // 2, out
    assert "the producer ended its stream" in out
