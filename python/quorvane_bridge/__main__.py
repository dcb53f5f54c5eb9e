"""python -m quorvane_bridge send RING KEY | recv KEY RING, with Zenoh's usual options."""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
from types import FrameType

from . import MAX_RING_BYTES, recv, send, zenoh_config


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvane_bridge",
                                     description="carry a quorvane ring's frames over Zenoh")
    zenoh_options = argparse.ArgumentParser(add_help=False)
    group = zenoh_options.add_argument_group("Zenoh (as its own tools take them)")
    group.add_argument("-c", "--config", help="a Zenoh configuration file (JSON5)")
    group.add_argument("-m", "--mode", choices=["peer", "client", "router"])
    group.add_argument("-e", "--connect", action="append", default=[], metavar="ENDPOINT",
                       help="an endpoint to connect to, e.g. tcp/192.168.1.7:7447 (repeatable)")
    group.add_argument("-l", "--listen", action="append", default=[], metavar="ENDPOINT",
                       help="an endpoint to listen on, e.g. tcp/192.168.1.7:7447 (repeatable; "
                       "default: none)")
    group.add_argument("--multicast-scouting", action=argparse.BooleanOptionalAction,
                       help="find peers on the local network by multicast (default: off, "
                       "peers only through the endpoints given)")
    group.add_argument("--cfg", action="append", default=[], metavar="KEY:VALUE",
                       help="any other Zenoh setting: its path, a colon, its value in JSON5, "
                       "e.g. transport/link/tx/queue/size/data:16 (repeatable)")
    group.add_argument("--report-every", type=float, default=5.0, metavar="SECONDS",
                       help="seconds between lines of counters (default 5)")
    commands = parser.add_subparsers(dest="command", required=True)
    send_parser = commands.add_parser("send", parents=[zenoh_options],
                                      help="put a local ring's frames on a Zenoh key")
    send_parser.add_argument("ring")
    send_parser.add_argument("key")
    send_parser.add_argument("--latest", action="store_true",
                             help="only the newest frame at each turn (displays, slow links)")
    recv_parser = commands.add_parser("recv", parents=[zenoh_options],
                                      help="publish a Zenoh key's frames into a local ring")
    recv_parser.add_argument("key")
    recv_parser.add_argument("ring")
    recv_parser.add_argument("--capacity", type=int, help="slots of the local ring "
                             "(default: the sender's)")
    recv_parser.add_argument("--max-ring-bytes", type=int, default=MAX_RING_BYTES,
                             metavar="BYTES", help="the largest ring to make for a sender "
                             f"(default {MAX_RING_BYTES}); larger frames are rejected")
    recv_parser.add_argument("--take-over", action="store_true",
                             help="publish into a ring of that name even if it is already "
                             "there (its frames are overwritten)")
    args = parser.parse_args(argv)

    settings = {}
    for setting in args.cfg:
        key, _, value = setting.partition(":")
        if not key or not value:
            parser.error(f"--cfg takes KEY:VALUE, not {setting!r}")
        settings[key] = value
    try:
        config = zenoh_config(args.config, mode=args.mode, connect=args.connect,
                              listen=args.listen, settings=settings,
                              multicast_scouting=args.multicast_scouting)
    except ValueError as error:
        parser.error(str(error))
    if all(json.loads(config.get_json(path)) in ([], False) for path in
           ("listen/endpoints", "connect/endpoints", "scouting/multicast/enabled")):
        parser.error("no way to reach another bridge: give -l ENDPOINT to listen on, "
                     "-e ENDPOINT to connect to, a config file (-c) with either, or "
                     "--multicast-scouting")
    stop = threading.Event()

    def stop_on(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGINT, stop_on)
    signal.signal(signal.SIGTERM, stop_on)

    def report(line: str) -> None:
        print(line, flush=True)

    if args.command == "send":
        counters = send(args.ring, args.key, config, latest=args.latest, stop=stop,
                        report_every=args.report_every, report=report)
    else:
        if args.capacity is not None and args.capacity < 2:
            parser.error("--capacity must be at least 2")
        try:
            counters = recv(args.key, args.ring, config, capacity=args.capacity,
                            max_ring_bytes=args.max_ring_bytes, take_over=args.take_over,
                            stop=stop, report_every=args.report_every, report=report)
        except FileExistsError as error:
            print(f"{parser.prog} recv: {error} (--take-over)", file=sys.stderr)
            return 1
    report(counters.line() + " (stopped)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
