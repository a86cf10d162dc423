"""Deliveries answered without aiohttp.web's request machinery.

Meta sends each lead webhook as one small POST, over connections it keeps open. For each,
aiohttp.web builds a request, a stream reader, a route match and a response, which costs more
CPU than verifying, parsing and recording the delivery itself. So each connection of the
receiver's server starts on a lean protocol that takes only requests it can frame beyond doubt:
`POST /webhook HTTP/1.1`, head and body whole in what has arrived, ASCII headers each named
once, one Content-Length within the body limit, a signature header, and no Transfer-Encoding,
Expect, Upgrade or Content-Encoding. From the first request that does not fit on, the
connection goes to aiohttp's own handler, with every byte it has sent since the last answer, and
aiohttp answers it as for any route: the admin routes, unsigned, oversized, chunked, trickling
or split bodies (408, 413, 503 ...). Only what aiohttp would frame the same way is taken here.

The lean path stands aside where the host changed what aiohttp would do for a delivery:
middlewares, response signals, or an access log other than the receiver's own.
"""
from __future__ import annotations

import asyncio
import logging
import re
import time
from email.utils import formatdate
from typing import TYPE_CHECKING, Any, cast

from aiohttp import web

from .access import AccessLogger

if TYPE_CHECKING:
    from .app import Receiver

log = logging.getLogger("corvane.receiver")

MAX_HEAD = 8190  # aiohttp's own bound on a request line or a header
KEEPALIVE = 75.0  # aiohttp's keep-alive timeout unless the runner names another
# What a client may send ahead while its request is answered; reading pauses beyond it.
MAX_AHEAD = 1024 * 1024
_REASONS = {200: "OK", 400: "Bad Request", 403: "Forbidden", 500: "Internal Server Error",
            503: "Service Unavailable"}
_NAME = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
_NOT_TEXT = re.compile(r"[^\t\x20-\x7e]")  # a control character (a lone CR or LF among them)
_HANDED_OVER = frozenset({"transfer-encoding", "expect", "upgrade", "content-encoding"})

Framed = tuple[bytes, dict[str, str], bool, int]


def frame(buffer: bytes, start: int, max_body: int) -> Framed | None:
    """The request at `start` in buffer if the lean path takes it: its body, its headers (by
    lower-case name), whether the connection closes after it, and where it ends; None for
    anything else, incomplete requests included."""
    head_end = buffer.find(b"\r\n\r\n", start, start + MAX_HEAD + 4)
    head = buffer[start:head_end]
    if head_end < 0 or not head.isascii():
        return None
    lines = head.decode("ascii").split("\r\n")
    method, _, rest = lines[0].partition(" ")
    target, _, version = rest.partition(" ")
    if (method != "POST" or version != "HTTP/1.1" or _NOT_TEXT.search(lines[0]) or " " in target
            or (target != "/webhook" and not target.startswith("/webhook?"))):
        return None
    headers: dict[str, str] = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon or not _NAME.fullmatch(name) or _NOT_TEXT.search(value):
            return None
        name = name.lower()
        if name in headers or name in _HANDED_OVER:
            return None
        headers[name] = value.strip(" \t")
    length = headers.get("content-length", "")
    connection = headers.get("connection", "keep-alive").lower()
    if (not length.isdigit() or len(length) > 9 or int(length) > max_body
            or connection not in ("keep-alive", "close") or not headers.get("x-hub-signature-256")):
        return None
    end = head_end + 4 + int(length)
    if len(buffer) < end:
        return None
    return buffer[head_end + 4:end], headers, connection == "close", end


_date: list[Any] = [0, ""]


def response(status: int, text: str, close: bool) -> bytes:
    now = int(time.time())
    if _date[0] != now:
        _date[:] = [now, formatdate(now, usegmt=True)]
    body = text.encode()
    closing = "Connection: close\r\n" if close else ""
    return (f"HTTP/1.1 {status} {_REASONS[status]}\r\nContent-Type: text/plain; charset=utf-8\r\n"
            f"Content-Length: {len(body)}\r\nDate: {_date[1]}\r\n{closing}\r\n").encode() + body


class DeliveryConnection(asyncio.Protocol):
    """One connection, while its requests are deliveries the lean path takes. Requests are
    answered one at a time, in order; while one is answered, what comes after it waits in the
    buffer (reading pauses past MAX_AHEAD), and while the peer does not take its answers,
    nothing more is read or answered."""

    def __init__(self, server: DeliveryServer) -> None:
        self._server = server
        self._transport: asyncio.Transport | None = None
        # Requests come at an offset, so that answering a long pipeline copies nothing per request.
        self._buffer = b""
        self._start = 0
        self._reading_paused = False
        self._writing_paused = False
        self.answering: asyncio.Task[None] | None = None  # held: the loop keeps tasks weakly
        self.idle_since = 0.0

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._transport = cast(asyncio.Transport, transport)  # uvloop's is none by class
        self._server.opened(self)

    def data_received(self, data: bytes) -> None:
        self._buffer = self._buffer[self._start:] + data if self._start < len(self._buffer) else data
        self._start = 0
        if self.answering is None and not self._writing_paused:
            self._next()
        elif len(self._buffer) > MAX_AHEAD:
            self._pause_reading()

    def pause_writing(self) -> None:
        self._writing_paused = True

    def resume_writing(self) -> None:
        self._writing_paused = False
        if self.answering is None and self._transport is not None:
            self._next()

    def connection_lost(self, exc: Exception | None) -> None:
        self._transport = None
        self._server.closed(self)

    def close_if_idle(self, since: float) -> None:
        if self.answering is None and self.idle_since <= since and self._transport is not None:
            self._transport.close()

    def _pause_reading(self) -> None:
        if not self._reading_paused and self._transport is not None:
            self._reading_paused = True
            self._transport.pause_reading()

    def _next(self) -> None:
        if self._reading_paused:
            self._reading_paused = False
            cast(asyncio.Transport, self._transport).resume_reading()
        if self._start >= len(self._buffer):
            self._buffer, self._start = b"", 0
            self.idle_since = self._server.loop.time()
            return
        framed = frame(self._buffer, self._start, self._server.max_body)
        if framed is None:
            self._hand_over()
            return
        body, headers, close, self._start = framed
        self._server.receiver.traffic.arrived()
        self.answering = self._server.loop.create_task(self._answer(body, headers, close))

    async def _answer(self, body: bytes, headers: dict[str, str], close: bool) -> None:
        started = self._server.loop.time()
        try:
            status, text = await self._server.receiver.accept(body, headers)
        except Exception:  # noqa: BLE001 - answered as aiohttp answers a handler's error
            log.exception("a delivery could not be answered")
            status, text, close = 500, "Internal Server Error", True
        transport = self._transport
        self.answering = None
        if transport is None or transport.is_closing():
            return
        transport.write(response(status, text, close))
        self._server.logged(status, self._server.loop.time() - started)
        if close:
            transport.close()
        elif self._writing_paused:  # resume_writing goes on
            self._pause_reading()
        else:
            self._next()

    def _hand_over(self) -> None:
        transport = cast(asyncio.Transport, self._transport)
        self._server.closed(self)
        handler = self._server.aiohttp_handler()
        transport.set_protocol(handler)
        handler.connection_made(transport)
        rest = self._buffer[self._start:]
        self._buffer, self._start = b"", 0
        handler.data_received(rest)


class DeliveryServer:
    """aiohttp's server of the app (the protocol factory its sites listen with, and what stops
    its connections), with every new connection starting on the lean path."""

    def __init__(self, server: web.Server, receiver: Receiver, access: logging.Logger | None,
                 keepalive: float, max_body: int) -> None:
        self._server = server
        self.receiver = receiver
        self.max_body = max_body
        self.loop = asyncio.get_running_loop()
        self._access = access
        self._keepalive = keepalive
        self._connections: set[DeliveryConnection] = set()
        self._sweep_handle: asyncio.TimerHandle | None = None

    def __call__(self) -> DeliveryConnection:
        return DeliveryConnection(self)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._server, name)

    def aiohttp_handler(self) -> Any:
        return self._server()

    def opened(self, connection: DeliveryConnection) -> None:
        connection.idle_since = self.loop.time()
        self._connections.add(connection)
        if self._sweep_handle is None:
            self._sweep_handle = self.loop.call_later(self._keepalive / 4, self._sweep)

    def closed(self, connection: DeliveryConnection) -> None:
        self._connections.discard(connection)

    def logged(self, status: int, seconds: float) -> None:
        if self._access is not None:  # as AccessLogger writes it
            self._access.info("%s %s %s %.3fs", "POST", "/webhook", status, seconds)

    def _sweep(self) -> None:
        # One timer for all connections rather than one per connection re-armed per request.
        limit = self.loop.time() - self._keepalive
        for connection in list(self._connections):
            connection.close_if_idle(limit)
        self._sweep_handle = (self.loop.call_later(self._keepalive / 4, self._sweep)
                              if self._connections else None)

    def pre_shutdown(self) -> None:
        for connection in list(self._connections):
            connection.close_if_idle(float("inf"))
        pre_shutdown = getattr(self._server, "pre_shutdown", None)
        if pre_shutdown is not None:
            pre_shutdown()

    async def shutdown(self, timeout: float | None = None) -> None:
        """Deliveries being answered are answered (within timeout) before their connections
        close; then aiohttp's own connections stop."""
        answering = [c.answering for c in self._connections if c.answering is not None]
        if answering:
            await asyncio.wait(answering, timeout=timeout)
        for connection in list(self._connections):
            connection.close_if_idle(float("inf"))
        if self._sweep_handle is not None:
            self._sweep_handle.cancel()
            self._sweep_handle = None
        await self._server.shutdown(timeout)


def serve_deliveries_lean(app: web.Application, receiver: Receiver, max_body: int) -> None:
    """From now on, the servers aiohttp's runners make for app start their connections on the
    lean path."""
    make_handler = getattr(app, "_make_handler", None)
    if make_handler is None:  # an aiohttp that builds its servers otherwise: its own path serves
        return

    # aiohttp has no public hook between an app and its server's connections; every runner
    # (run_app, AppRunner) asks the app for its server here.
    def make(**kwargs: Any) -> Any:
        server = make_handler(**kwargs)
        access = kwargs.get("access_log", logging.getLogger("aiohttp.access"))
        own_log = issubclass(kwargs.get("access_log_class", object), AccessLogger)
        if app.middlewares or app.on_response_prepare or (access is not None and not own_log):
            return server
        return DeliveryServer(server, receiver, access, kwargs.get("keepalive_timeout", KEEPALIVE), max_body)

    object.__setattr__(app, "_make_handler", make)
