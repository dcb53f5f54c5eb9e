"""Where the benchmarks leave what they measured: a Markdown file beside them, headed by
when, on what machine and with which versions, so that a table is never read without its
circumstances. The next `make bench` overwrites each file."""

import datetime
import importlib.metadata
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


def machine():
    """The CPU's name and the versions of what was measured: (cpu, {package: version})."""
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        cpu = next(line.split(":", 1)[1].strip() for line in lscpu.splitlines()
                   if line.startswith("Model name"))
    except (OSError, StopIteration):
        cpu = platform.processor() or "unknown"
    versions = {"python": platform.python_version(), "numpy": np.__version__}
    for package in ("quorvane", "pyzmq", "iceoryx2", "SharedArray", "eclipse-zenoh"):
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            pass
    return cpu, versions


def write(file_name, title, lines):
    """Writes bench/FILE_NAME: `title`, the line that says when and where, then `lines`
    (Markdown); prints it too, and returns its path."""
    cpu, versions = machine()
    script = os.path.basename(sys.argv[0])
    text = "\n".join([
        f"# {title}",
        "",
        f"Measured {datetime.date.today().isoformat()} by `make bench` (bench/{script}) on "
        f"{cpu}, {os.cpu_count()} cores; " + ", ".join(f"{k} {v}" for k, v in versions.items())
        + ".",
        "",
        *lines,
    ]) + "\n"
    path = HERE / file_name
    path.write_text(text)
    print(text)
    return path


def table(header, rows):
    """A Markdown table: header cells, then rows of cells."""
    return ["| " + " | ".join(header) + " |", "|---" * len(header) + "|",
            *("| " + " | ".join(map(str, row)) + " |" for row in rows)]
