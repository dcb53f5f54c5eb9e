"""publish.py and views.py, the benchmarks that make sense on Windows, run on the Windows
CPython under Wine (make bench-wine). Writes results-wine.md beside this file: what they
printed, as they printed it.

These are Wine's numbers, not Windows': Wine carries out Windows' calls on Linux, so the
ratios say how the module fares against its peers under Wine, on this machine."""

import contextlib
import ctypes
import datetime
import io
import os
import platform
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The embeddable Python's path is what its ._pth file lists: the script's folder is not on it.
sys.path.insert(0, str(HERE))
import publish  # noqa: E402
import views  # noqa: E402


def wine_version():
    """Wine's version, or None outside Wine."""
    try:
        get = ctypes.WinDLL("ntdll").wine_get_version
    except (AttributeError, OSError):
        return None
    get.restype = ctypes.c_char_p
    return get().decode()


def printed_by(main):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        main()
    print(out.getvalue())
    return out.getvalue().rstrip()


def main():
    wine = wine_version()
    if wine is None:
        sys.exit("wine.py reports Wine's numbers: run it on the Windows Python under Wine "
                 "(make bench-wine)")
    outputs = [printed_by(publish.main), printed_by(views.main)]
    lines = [
        "# publish and views under Wine",
        "",
        f"Measured {datetime.date.today().isoformat()} by `make bench-wine` (bench/wine.py): "
        f"bench/publish.py and bench/views.py on the embeddable Windows CPython "
        f"{platform.python_version()} under Wine {wine}, with the module cross-built by "
        f"mingw-w64; {platform.processor()}, {os.cpu_count()} cores; NumPy {np.__version__}.",
        "",
        "Wine's numbers, not Windows': Wine carries out Windows' calls on Linux, so these ratios "
        "say how the module fares against its peers under Wine on this machine; no Windows "
        "machine has measured them.",
        "",
    ]
    for output in outputs:
        lines += ["```text", output, "```", ""]
    # Written on Windows, read in a Linux checkout: the line ends stay \n.
    (HERE / "results-wine.md").write_text("\n".join(lines), newline="\n")


if __name__ == "__main__":
    main()
