"""A live view of a ring in the browser: a small web server whose page shows the newest
frame as it changes, with its number and the ring's rate.

One thread follows the ring with the waiting reader and renders the newest frame (at most
`max_fps` times a second); each page asks for the picture after the one it has and the
server answers when there is one (long polling), so an idle ring costs nothing on either
side and a fast one costs no more than `max_fps` pictures.
"""

from __future__ import annotations

import html
import threading
import time
from dataclasses import dataclass
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import quorvane_reader

from .image import png, render, value_range
from .rings import Meter

POLL = 10.0  # seconds a request for the next picture waits before an empty answer


@dataclass(frozen=True)
class Picture:
    version: int  # counts pictures, so that "newer" holds across a producer's restart
    seq: int
    rate: float
    png: bytes


class Follower:
    """Renders ring `name`'s newest frame whenever it changes, in a thread of its own."""

    def __init__(self, name: str, rows: int, cols: int, *,
                 fixed_range: tuple[float, float] | None = None, max_fps: float = 30.0,
                 timeout: float = 5.0) -> None:
        ring = quorvane_reader.attach(name, timeout=timeout)
        self.name = name
        self._reader = quorvane_reader.Reader(ring, rows, cols, start="newest")
        self._meter = Meter(ring)
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
        except ValueError as error:  # the producer made the ring again, too small for us
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
            newest = self._reader.latest()  # never None once a frame was read
            assert newest is not None
            values = newest.array.copy()
            if not newest.intact():
                continue
            if time.monotonic() - measured >= 1.0:
                rate, measured = self._meter.sample()[0], time.monotonic()
            lo, hi = self._range or value_range(values)
            picture = png(render(values, lo, hi, f"ring {self.name}  frame {newest.seq}"))
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
</head><body data-ring="{name}">
<div id="status">ring {name}: waiting for a frame</div>
<img id="frame" src="frame.png" alt="the newest frame of ring {name}">
<script>
let version = -1;
const ring = document.body.dataset.ring;
const image = document.getElementById("frame"), status = document.getElementById("status");
async function follow() {{
  for (;;) {{
    try {{
      const answer = await fetch(`frame.png?after=${{version}}`, {{cache: "no-store"}});
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


def server(follower: Follower, host: str = "127.0.0.1", port: int = 0) -> ThreadingHTTPServer:
    """The page on `/` and the pictures on `/frame.png?after=VERSION`; port 0 picks one."""
    page = PAGE.format(name=html.escape(follower.name)).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            url = urlsplit(self.path)
            if url.path == "/":
                self._send(HTTPStatus.OK, "text/html; charset=utf-8", page)
            elif url.path == "/frame.png":
                try:
                    after = int(parse_qs(url.query).get("after", ["-1"])[0])
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

    httpd = ThreadingHTTPServer((host, port), Handler)
    httpd.daemon_threads = True
    return httpd
