"""quorvane ls | watch | show | view | record | replay | clean: rings from the terminal."""

from __future__ import annotations

import argparse
import json
import logging
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import asdict
from types import FrameType

import numpy
from rich.console import Console
from rich.live import Live
from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn,
                           TimeElapsedColumn)
from rich.table import Table
from rich.text import Text

import quorvane_reader

from . import frames, image, recording, rings, view

ERRORS = (FileNotFoundError, TimeoutError, EOFError, ValueError, LookupError, RuntimeError,
          OSError)
progress_console = Console(stderr=True)  # stdout keeps what scripts read


def printable(text: object) -> str:
    """`text` with its unprintable characters escaped as Python writes them (\\x1b, \\n):
    ring names and paths may hold any, and must neither steer the terminal nor forge a line
    of output."""
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in str(text))


def shape(text: str) -> tuple[int, int]:
    rows, _, cols = text.lower().partition("x")
    try:
        parsed = int(rows), int(cols)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a shape is ROWSxCOLS, e.g. 480x640, not {text!r}")
    if min(parsed) <= 0:
        raise argparse.ArgumentTypeError(f"rows and cols must be positive, not {text!r}")
    return parsed


def positive(kind: Callable[[str], float], *, zero: bool = False) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = kind(text)
        if not (value >= 0 if zero else value > 0):
            raise argparse.ArgumentTypeError(
                f"must be {'zero or more' if zero else 'positive'}, not {text!r}")
        return value
    parse.__name__ = kind.__name__  # argparse names the type in its messages
    return parse


def _quiet_reader_log() -> None:
    # Meters fall behind between samples on purpose; their losses are what they report.
    logging.getLogger("quorvane_reader").setLevel(logging.ERROR)


@contextmanager
def _stop_on_signals() -> Iterator[threading.Event]:
    """Ctrl-C and SIGTERM end the command's loop cleanly instead of interrupting a write."""
    stop = threading.Event()

    def stop_on(signum: int, frame: FrameType | None) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, stop_on) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield stop
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def _size(count: float) -> str:
    for unit in ("B", "kB", "MB"):
        if count < 1000:
            return f"{count:.3g} {unit}"
        count /= 1000
    return f"{count:.3g} GB"


def ls(args: argparse.Namespace) -> int:
    _quiet_reader_log()
    found = rings.list_rings(args.look)
    if args.json:
        print(json.dumps([asdict(info) | {"stale": info.stale} for info in found], indent=2))
        return 0
    lines: list[tuple[str, ...]] = [("name", "capacity", "frame_bytes", "dtype", "shape",
                                     "size", "write_idx", "frames/s", "owner", "held", "note")]
    for info in found:
        known = ("-" if value is None else str(value)
                 for value in (info.capacity, info.frame_bytes))
        typed = (("-", "-") if info.dtype is None or info.shape is None  # untyped
                 else (str(numpy.dtype(info.dtype)), "x".join(map(str, info.shape))))
        lines.append((printable(info.name), *known, *typed, _size(info.size),
                      "-" if info.write_idx is None else str(info.write_idx),
                      "-" if info.fps is None else f"{info.fps:.1f}", printable(info.owner),
                      {True: "yes", False: "STALE", None: "?"}[info.held],
                      printable(info.note or "")))
    # Plain columns, never cut to the terminal's width: ls is read by grep and awk too.
    widths = [max(len(line[column]) for line in lines) for column in range(len(lines[0]))]
    for line in lines:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
    return 0


def watch(args: argparse.Namespace) -> int:
    _quiet_reader_log()
    meters = [(name, rings.Meter(quorvane_reader.attach(name, timeout=args.timeout)))
              for name in args.names]
    totals = [0] * len(meters)

    def table() -> Table:
        # Not a loss of any reader's: what a reader looking only this often would find
        # overwritten, which a healthy ring of few slots shows too.
        shown = Table("ring", "frames/s", "MB/s", "restarts",
                      f"unread by a {args.interval:g} s look", "in all",
                      title=f"every {args.interval:g} s; Ctrl-C stops",
                      caption="unread: frames overwritten between two looks of a reader that "
                      f"looks every {args.interval:g} s (the ring holds capacity - 1); a "
                      "reader that waits for each frame misses none of them")
        for index, (name, meter) in enumerate(meters):
            rate, lost, restarts = meter.sample()
            totals[index] += lost
            shown.add_row(Text(printable(name)), f"{rate:.1f}",
                          f"{rate * meter.ring.frame_bytes / 1e6:.2f}",
                          str(restarts), str(lost), str(totals[index]))
        return shown

    try:
        with Live(f"measuring for {args.interval:g} s", auto_refresh=False) as live:
            while True:
                time.sleep(args.interval)
                live.update(table(), refresh=True)
    except KeyboardInterrupt:
        pass
    return 0


def show(args: argparse.Namespace) -> int:
    seq, values = frames.grab(args.name, args.shape, frame=args.frame, timeout=args.timeout)
    picture, shows = image.draw(values, f"ring {args.name}  frame {seq}",
                                fixed_range=args.range, scale=args.scale)
    picture.save(args.output)
    print(f"frame {seq} of ring {printable(args.name)} "
          f"({frames.describe(values.dtype, values.shape)}, {shows}) "
          f"written to {printable(args.output)}")
    return 0


def view_(args: argparse.Namespace) -> int:
    _quiet_reader_log()
    follower = view.Follower(args.name, args.shape, fixed_range=args.range,
                             max_fps=args.max_fps, timeout=args.timeout)
    httpd = view.server(follower, args.host, args.port)
    print(f"ring {printable(args.name)} at {httpd.url} (Ctrl-C stops)", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        httpd.server_close()
        follower.close()
    return 0


def _progress(description: str, total: int | None) -> tuple[Progress, Callable[[int], None]]:
    bar = Progress(TextColumn("{task.description}", markup=False), BarColumn(),
                   MofNCompleteColumn(), TimeElapsedColumn(), console=progress_console)
    task = bar.add_task(printable(description), total=total)
    return bar, lambda done: bar.update(task, completed=done)


def record(args: argparse.Namespace) -> int:
    with _stop_on_signals() as stop:
        bar, progress = _progress(f"recording {args.name}", args.frames)
        with bar:
            written, lost, ended = recording.record(
                args.name, args.file, args.shape, frames=args.frames, seconds=args.seconds,
                timeout=args.timeout, overwrite=args.force, stop=stop, progress=progress)
    kept = (f"to {printable(args.file)}" if written
            else f"({printable(args.file)} was not written)")
    print(f"recorded {written} frames of ring {printable(args.name)} {kept}"
          f"{'' if not lost else f'; {lost} lost (overwritten before they were copied)'}"
          f"{'; the producer ended its stream' if ended else ''}")
    return 0


def replay(args: argparse.Namespace) -> int:
    with recording.Recording(args.file) as take:
        total = take.count
    with _stop_on_signals() as stop:
        bar, progress = _progress(f"replaying into {args.name}", total)
        with bar:
            published = recording.replay(args.file, args.name, rate=args.rate, stop=stop,
                                         progress=progress)
    print(f"published {published} of {total} frames into ring {printable(args.name)}")
    return 0


def clean(args: argparse.Namespace) -> int:
    removed = rings.clean()
    for info in removed:
        print(f"removed {printable(info.name)} ({_size(info.size)})")
    print(f"{len(removed)} stale ring{'' if len(removed) == 1 else 's'} removed")
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="quorvane", description="look at, record and replay "
                                  "the quorvane rings on this machine")
    commands = top.add_subparsers(dest="command", required=True)
    waiting = argparse.ArgumentParser(add_help=False)
    waiting.add_argument("--timeout", type=positive(float), default=5.0, metavar="SECONDS",
                         help="how long to wait for the ring (and its frame); default 5")
    picture = argparse.ArgumentParser(add_help=False)
    picture.add_argument("name")
    picture.add_argument("--shape", type=shape, help="ROWSxCOLS of float32, for an untyped "
                         "ring (a typed one's frames are drawn as declared)")
    picture.add_argument("--range", type=float, nargs=2, metavar=("LO", "HI"),
                         help="the values at the colour map's ends (default: the frame's own)")

    found = commands.add_parser("ls", help="the rings on this machine (Linux)")
    found.add_argument("--json", action="store_true", help="one JSON list, for scripts")
    found.add_argument("--look", type=positive(float, zero=True), default=0.5,
                       metavar="SECONDS", help="how long to count frames for the rate "
                       "(0: no rates, at once); default 0.5")
    found.set_defaults(run=ls)

    watched = commands.add_parser("watch", parents=[waiting], help="a live table of rates")
    watched.add_argument("names", nargs="+", metavar="NAME")
    watched.add_argument("--interval", type=positive(float), default=1.0, metavar="SECONDS",
                         help="seconds between refreshes (and between a reader's looks); "
                         "default 1")
    watched.set_defaults(run=watch)

    shown = commands.add_parser("show", parents=[picture, waiting], help="one frame as a PNG")
    shown.add_argument("--frame", type=int, help="its number (default: the newest)")
    shown.add_argument("--scale", type=positive(int), help="pixels per value (default: about 256 "
                       "pixels on the longer side)")
    shown.add_argument("-o", "--output", required=True, help="the PNG file to write")
    shown.set_defaults(run=show)

    viewed = commands.add_parser("view", parents=[picture, waiting],
                                 help="a live view in the browser")
    viewed.add_argument("--host", default="127.0.0.1",
                        help="the address to serve on; default 127.0.0.1 (this machine only)")
    viewed.add_argument("--port", type=int, default=0, help="default: a free one")
    viewed.add_argument("--max-fps", type=positive(float), default=30.0,
                        help="pictures per second at most; default 30")
    viewed.set_defaults(run=view_)

    recorded = commands.add_parser("record", parents=[waiting],
                                   help="frames and arrival times into a .npy file")
    recorded.add_argument("name")
    recorded.add_argument("file")
    recorded.add_argument("--shape", type=shape, help="ROWSxCOLS of float32 to keep of an "
                          "untyped ring (default: the whole frame as one row); a typed ring's "
                          "frames are kept as declared")
    until = recorded.add_mutually_exclusive_group(required=True)
    until.add_argument("--seconds", type=positive(float))
    until.add_argument("--frames", type=positive(int))
    recorded.add_argument("--force", action="store_true", help="replace FILE if it exists "
                          "(once the first frame is recorded)")
    recorded.set_defaults(run=record)

    replayed = commands.add_parser("replay", help="a recording published into a new ring")
    replayed.add_argument("file")
    replayed.add_argument("name")
    pace = replayed.add_mutually_exclusive_group()
    pace.add_argument("--rate", type=positive(float), metavar="R", help="R frames per second")
    pace.add_argument("--as-recorded", action="store_true",
                      help="at the intervals they arrived at (the default)")
    replayed.set_defaults(run=replay)

    cleaned = commands.add_parser("clean", help="remove your stale rings (Linux)")
    cleaned.set_defaults(run=clean)
    return top


def main(argv: list[str] | None = None) -> int:
    commands = parser()
    args = commands.parse_args(argv)
    if getattr(args, "range", None) and not args.range[0] < args.range[1]:
        commands.error(f"--range takes LO below HI, not {args.range[0]:g} {args.range[1]:g}")
    # SIGTERM stops the long-running commands as Ctrl-C does: cleanly, saying what was done.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except ERRORS as error:
        print(f"quorvane {args.command}: {printable(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # stopped while waiting for a ring or a frame
        return 130


if __name__ == "__main__":
    sys.exit(main())
