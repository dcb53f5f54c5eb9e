"""Where the benchmarks leave what they measured: a Markdown file beside them, headed by
when, on what machine and with which versions, so that a table is never read without its
circumstances. The next `make bench` overwrites each file."""

import contextlib
import ctypes
import datetime
import importlib.metadata
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
_gathered: list[str] | None = None  # see gathered()


def wine_version():
    """Wine's version when this runs on Windows under Wine, else None."""
    try:
        get = ctypes.WinDLL("ntdll").wine_get_version
    except (AttributeError, OSError):  # not Windows, or Windows itself
        return None
    get.restype = ctypes.c_char_p
    return get().decode()


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
    if wine := wine_version():
        versions["wine"] = wine
    return cpu, versions


@contextlib.contextmanager
def gathered():
    """Within it, write() adds its title and tables as a section to the list this yields
    instead of writing a file of its own: several benchmarks' tables in one file."""
    global _gathered
    _gathered = []
    try:
        yield _gathered
    finally:
        _gathered = None


def write(file_name, title, lines):
    """Writes bench/FILE_NAME: `title`, the line that says when and where, then `lines`
    (Markdown); prints it too, and returns its path (None within gathered())."""
    if _gathered is not None:
        _gathered.extend([f"## {title}", "", *lines, ""])
        print("\n".join(lines))
        return None
    cpu, versions = machine()
    script = os.path.basename(sys.argv[0])
    target = "make bench-wine" if wine_version() else "make bench"
    text = "\n".join([
        f"# {title}",
        "",
        f"Measured {datetime.date.today().isoformat()} by `{target}` (bench/{script}) on "
        f"{cpu}, {os.cpu_count()} cores; " + ", ".join(f"{k} {v}" for k, v in versions.items())
        + ".",
        "",
        *lines,
    ]) + "\n"
    path = HERE / file_name
    # UTF-8 with \n line ends on Windows too, whose default is neither: one checkout, one form.
    path.write_text(text, encoding="utf-8", newline="\n")
    print(text)
    return path


def table(header, rows):
    """A Markdown table: header cells, then rows of cells."""
    return ["| " + " | ".join(header) + " |", "|---" * len(header) + "|",
            *("| " + " | ".join(map(str, row)) + " |" for row in rows)]
