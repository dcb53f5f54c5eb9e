"""A live view of a ring in the browser: a small web server whose page shows the newest
frame as it changes, with its number and the ring's rate.

One thread follows the ring with the waiting reader and renders the newest frame (at most
`max_fps` times a second); each page asks for the picture after the one it has and the
server answers when there is one (long polling), so an idle ring costs nothing on either
side and a fast one costs no more than `max_fps` pictures.

The frames are the ring owner's, while any local user can reach a port: every request must
carry the secret token of the address the command prints (as notebook servers do), and
name this machine in its Host header (a web page cannot reach the viewer through a name of
its own, DNS rebinding). Connections are capped and slow ones timed out, so that a flood of
half-sent requests costs neither threads nor the viewer's stop.
"""

from __future__ import annotations

import html
import ipaddress
import secrets
import socket
import sys
import threading
import time
from dataclasses import dataclass
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import quorvane_reader

from .frames import reader
from .image import draw, png
from .rings import Meter

POLL = 10.0  # seconds a request for the next picture waits before an empty answer
MAX_CONNECTIONS = 32  # served at once; more are closed at once (a page keeps two or three)
CLIENT_TIMEOUT = 5.0  # seconds a client may take to send its request or take the answer


@dataclass(frozen=True)
class Picture:
    version: int  # counts pictures, so that "newer" holds across a producer's restart
    seq: int
    rate: float
    png: bytes


class Follower:
    """Renders ring `name`'s newest frame whenever it changes, in a thread of its own."""

    def __init__(self, name: str, shape: tuple[int, int] | None = None, *,
                 fixed_range: tuple[float, float] | None = None, max_fps: float = 30.0,
                 timeout: float = 5.0) -> None:
        """`shape`: the float32 ROWSxCOLS of an untyped ring; a typed one takes none."""
        self.name = name
        ring = quorvane_reader.attach(name, timeout=timeout)
        self._reader = reader(ring, name, shape, start="newest")
        self._meter = Meter(self._reader.ring)
        self._range = fixed_range
        self._pause = 1.0 / max_fps
        self._picture: Picture | None = None
        self._failure: str | None = None
        self._changed = threading.Condition()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="quorvane view", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            self._follow()
        except ValueError as error:  # made again too small for us, or as no picture
            with self._changed:
                self._failure = str(error)
                self._changed.notify_all()

    def _follow(self) -> None:
        rate, measured = 0.0, time.monotonic()
        while not self._stop.is_set():
            try:
                self._reader.next(0.25)  # waits without the interpreter lock
            except TimeoutError:
                continue
            except EOFError:  # the last picture stays; a new producer is followed
                self._stop.wait(0.25)
                continue
            newest = self._reader.latest()  # never None once a frame was read
            assert newest is not None
            values = newest.array.copy()
            if not newest.intact():
                continue
            if time.monotonic() - measured >= 1.0:
                rate, measured = self._meter.sample()[0], time.monotonic()
            picture = png(draw(values, f"ring {self.name}  frame {newest.seq}",
                               fixed_range=self._range)[0])
            with self._changed:
                version = self._picture.version + 1 if self._picture else 0
                self._picture = Picture(version, newest.seq, rate, picture)
                self._changed.notify_all()
            self._stop.wait(self._pause)

    def after(self, version: int, timeout: float = POLL) -> Picture | None:
        """The newest picture once it is newer than `version`; None after `timeout` s.
        RuntimeError once the ring can no longer be followed."""
        with self._changed:
            self._changed.wait_for(lambda: self._failure is not None or (
                self._picture is not None and self._picture.version > version), timeout)
            if self._failure is not None:
                raise RuntimeError(self._failure)
            picture = self._picture
        return picture if picture is not None and picture.version > version else None

    def close(self) -> None:
        self._stop.set()
        self._thread.join()


PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>quorvane: {name}</title>
<style>body {{ font: 14px sans-serif; margin: 12px; }} img {{ image-rendering: pixelated; }}</style>
</head><body data-ring="{name}" data-token="{token}">
<div id="status">ring {name}: waiting for a frame</div>
<img id="frame" src="frame.png?token={token}" alt="the newest frame of ring {name}">
<script>
let version = -1;
const ring = document.body.dataset.ring, token = document.body.dataset.token;
const image = document.getElementById("frame"), status = document.getElementById("status");
async function follow() {{
  for (;;) {{
    try {{
      const answer = await fetch(`frame.png?token=${{token}}&after=${{version}}`, {{cache: "no-store"}});
      if (answer.status === 500) throw new Error(await answer.text());
      if (answer.status === 200) {{
        version = Number(answer.headers.get("X-Version"));
        const old = image.src;
        image.src = URL.createObjectURL(await answer.blob());
        if (old.startsWith("blob:")) URL.revokeObjectURL(old);
        status.textContent = `ring ${{ring}}: frame ${{answer.headers.get("X-Seq")}}, ` +
          `${{Number(answer.headers.get("X-Rate")).toFixed(1)}} frames/s`;
      }}
    }} catch (error) {{
      const stopped = error instanceof TypeError;  // no answer at all: the server is gone
      status.textContent = `ring ${{ring}}: ${{stopped ? "the viewer has stopped" : error.message}}`;
      await new Promise(resolve => setTimeout(resolve, 1000));
    }}
  }}
}}
follow();
</script></body></html>
"""


def _wildcard(host: str) -> bool:
    return host in ("", "0.0.0.0", "::")


def host_allowed(header: str | None, served_on: str) -> bool:
    """Whether a Host header names this machine as a browser on it would: `localhost`, a
    loopback address, or the address served on (with a wildcard, any address in digits).
    Any other name may be an attacker's, resolved to this machine (DNS rebinding)."""
    try:
        name = urlsplit(f"//{header}").hostname if header else None
    except ValueError:  # a malformed port or brackets
        return False
    if name is None:
        return False
    if name == "localhost" or name == served_on.lower():
        return True
    try:
        address = ipaddress.ip_address(name)
    except ValueError:
        return False
    return address.is_loopback or _wildcard(served_on)


class Server(ThreadingHTTPServer):
    """The viewer's HTTP server: its secret token, at most MAX_CONNECTIONS at once, and
    quiet about clients that leave."""

    daemon_threads = True  # a client still connected never holds up the stop
    # Connections wait here until accepted (and closed at once when over the cap): with
    # the standard library's 5, a burst of them keeps a page's own waiting for seconds.
    request_queue_size = 128

    def __init__(self, address: tuple[str, int],
                 handler: type[BaseHTTPRequestHandler]) -> None:
        self.token = secrets.token_urlsafe(24)
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        super().__init__(address, handler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host!s}:{port}/?token={self.token}"

    def process_request(self, request: socket.socket | tuple[bytes, socket.socket],
                        client_address: tuple[str, int] | str) -> None:
        if not self._slots.acquire(blocking=False):  # full: this one is closed unanswered
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request: socket.socket | tuple[bytes, socket.socket],
                               client_address: tuple[str, int] | str) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request: socket.socket | tuple[bytes, socket.socket],
                     client_address: tuple[str, int] | str) -> None:
        # A tab closed or a client too slow: theirs to end, nothing to report.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def server(follower: Follower, host: str = "127.0.0.1", port: int = 0) -> Server:
    """The page on `/` and the pictures on `/frame.png?after=VERSION`, each only with the
    server's token (`?token=`, as in its `url`); port 0 picks one."""

    class Handler(BaseHTTPRequestHandler):
        timeout = CLIENT_TIMEOUT  # on the socket: a request sent slowly ends there

        def do_GET(self) -> None:
            url = urlsplit(self.path)
            query = parse_qs(url.query)
            assert isinstance(self.server, Server)
            if not host_allowed(self.headers["Host"], host):
                self._send(HTTPStatus.FORBIDDEN, "text/plain", b"this viewer answers only "
                           b"to addresses of this machine")
                return
            if not secrets.compare_digest(query.get("token", [""])[0].encode(),
                                          self.server.token.encode()):
                self._send(HTTPStatus.FORBIDDEN, "text/plain", b"open the address the viewer "
                           b"printed, with its token")
                return
            if url.path == "/":
                self._send(HTTPStatus.OK, "text/html; charset=utf-8", PAGE.format(
                    name=html.escape(follower.name), token=self.server.token).encode())
            elif url.path == "/frame.png":
                try:
                    after = int(query.get("after", ["-1"])[0])
                except ValueError:
                    self._send(HTTPStatus.BAD_REQUEST, "text/plain", b"after takes a number")
                    return
                try:
                    picture = follower.after(after)
                except RuntimeError as error:
                    self._send(HTTPStatus.INTERNAL_SERVER_ERROR, "text/plain; charset=utf-8",
                               str(error).encode())
                    return
                if picture is None:
                    self._send(HTTPStatus.NO_CONTENT, "text/plain", b"")
                    return
                self._send(HTTPStatus.OK, "image/png", picture.png, {
                    "X-Version": str(picture.version), "X-Seq": str(picture.seq),
                    "X-Rate": f"{picture.rate:.3f}"})
            else:
                self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found")

        def _send(self, status: HTTPStatus, kind: str, body: bytes,
                  headers: dict[str, str] | None = None) -> None:
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            for key, value in (headers or {}).items():
                self.send_header(key, value)
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args: object) -> None:
            pass  # a request per picture: the terminal would fill with them

    return Server((host, port), Handler)
