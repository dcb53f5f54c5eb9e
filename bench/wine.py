"""publish.py and views.py, the benchmarks that make sense on Windows, run on the Windows
CPython under Wine (make bench-wine). Their tables go to results-wine.md beside this file,
not to the results-*.md of the run on Linux.

These are Wine's numbers, not Windows': Wine carries out Windows' calls on Linux, so the
ratios say how the module fares against its peers under Wine, on this machine."""

import sys
from pathlib import Path

# The embeddable Python's path is what its ._pth file lists: the script's folder is not on it.
sys.path.insert(0, str(Path(__file__).resolve().parent))
import publish  # noqa: E402
import report  # noqa: E402
import views  # noqa: E402


def main():
    if report.wine_version() is None:
        sys.exit("wine.py reports Wine's numbers: run it on the Windows Python under Wine "
                 "(make bench-wine)")
    with report.gathered() as sections:
        publish.main()
        views.main()
    report.write("results-wine.md", "Publishing and views under Wine", [
        "bench/publish.py and bench/views.py on the embeddable Windows CPython under Wine, the "
        "module and the C library cross-built with mingw-w64 (make win-python). Wine's numbers, "
        "not Windows': Wine carries out Windows' calls on Linux, so these ratios say how the "
        "module fares against its peers under Wine on this machine; no Windows machine has "
        "measured them.", "", *sections])


if __name__ == "__main__":
    main()
