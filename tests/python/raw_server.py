"""A raw asyncio socket server that misbehaves on cue: it resets a connection mid-body, sends a
body that never ends, redirects to itself, or answers bytes exactly as scripted. It counts the
connections that are open, so a test can tell that a client left none behind; every platform's
host can be pointed at it."""
from __future__ import annotations

import asyncio
import contextlib
import json
import socket
import struct
from collections import deque
from dataclasses import dataclass, field

from corvane import endpoints


@dataclass
class Act:
    """What the server does with one request.
    kind: "answer" (status, headers, body), "reset" (headers and part of the body, then a TCP
    reset), "stall" (headers and part of the body, then nothing), "loop" (302 to the same path).
    "{target}" in a body is replaced by the request's path and query, as an echoing proxy or
    platform would quote them.
    """

    kind: str = "answer"
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b"{}"


REASONS = {200: "OK", 201: "Created", 204: "No Content", 302: "Found", 400: "Bad Request",
           404: "Not Found", 429: "Too Many Requests", 500: "Internal Server Error",
           503: "Service Unavailable"}


class RawServer:
    def __init__(self) -> None:
        self.acts: deque[Act] = deque()
        self.default = Act()
        self.requests: list[tuple[str, str]] = []  # (method, path) of each request read
        self.open = 0
        self.base = ""
        self._stop = asyncio.Event()
        self._server: asyncio.base_events.Server | None = None

    def script(self, *acts: Act) -> None:
        self.acts.extend(acts)

    def url(self, path: str = "/") -> str:
        return self.base + path

    async def _read_request(self, reader: asyncio.StreamReader) -> tuple[str, str] | None:
        try:
            head = await reader.readuntil(b"\r\n\r\n")
        except (asyncio.IncompleteReadError, ConnectionError):
            return None
        lines = head.decode("latin-1").split("\r\n")
        method, target, _ = lines[0].split(" ", 2)
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        if length:
            await reader.readexactly(length)
        return method, target

    @staticmethod
    def _head(status: int, headers: dict[str, str], length: int) -> bytes:
        lines = [f"HTTP/1.1 {status} {REASONS.get(status, 'Status')}",
                 f"Content-Length: {length}"]
        lines += [f"{k}: {v}" for k, v in headers.items()]
        if not any(k.lower() == "content-type" for k in headers):
            lines.append("Content-Type: application/json")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.open += 1
        try:
            while not self._stop.is_set():
                request = await self._read_request(reader)
                if request is None:
                    return
                self.requests.append(request)
                act = self.acts.popleft() if self.acts else self.default
                if act.kind == "answer":
                    quoted = json.dumps(request[1])[1:-1].encode()
                    body = act.body.replace(b"{target}", quoted)
                    writer.write(self._head(act.status, act.headers, len(body)) + body)
                    await writer.drain()
                elif act.kind == "loop":
                    path = request[1]
                    writer.write(self._head(302, {"Location": path}, 0))
                    await writer.drain()
                elif act.kind == "reset":
                    writer.write(self._head(200, {}, 1000) + act.body[:10])
                    await writer.drain()
                    sock = writer.get_extra_info("socket")
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    writer.transport.abort()
                    return
                elif act.kind == "stall":
                    writer.write(self._head(200, {}, 1000) + act.body[:10])
                    await writer.drain()
                    await self._until_closed(reader)
                    return
        except ConnectionError:
            return
        finally:
            self.open -= 1
            writer.close()

    async def _until_closed(self, reader: asyncio.StreamReader) -> None:
        """Waits until the client closes the connection or the server stops."""
        eof = asyncio.ensure_future(reader.read())
        stop = asyncio.ensure_future(self._stop.wait())
        await asyncio.wait([eof, stop], return_when=asyncio.FIRST_COMPLETED)
        for waiter in (eof, stop):
            waiter.cancel()
        # Finished, not just asked to stop: a test that counts the loop's tasks right after
        # must not find these two still cancelling.
        await asyncio.gather(eof, stop, return_exceptions=True)

    async def start(self) -> "RawServer":
        self._server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        port = self._server.sockets[0].getsockname()[1]
        self.base = f"http://127.0.0.1:{port}"
        return self

    async def stop(self) -> None:
        self._stop.set()
        assert self._server is not None
        self._server.close()
        with contextlib.suppress(Exception):
            await asyncio.wait_for(self._server.wait_closed(), 2)


async def no_connection_left(server: RawServer, timeout: float = 2.0) -> None:
    """Waits (on the loop's clock, not asyncio.sleep, which tests replace) until the server
    sees every connection closed; fails when one stays open."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout

    def serving() -> bool:
        # A connection accepted just before its client gave up has a task that has not run yet
        # (and not counted itself open): it ends as soon as it reads the end of the stream.
        return any(getattr(t.get_coro(), "__qualname__", "") == "RawServer._serve"
                   for t in asyncio.all_tasks())

    while (server.open or serving()) and loop.time() < deadline:
        waiter = loop.create_future()
        loop.call_later(0.01, waiter.set_result, None)
        await waiter
    assert server.open == 0, f"{server.open} connection(s) left open"


def point_hosts_at(monkeypatch, base: str) -> None:
    monkeypatch.setattr(endpoints.Graph, "host", base)
    monkeypatch.setattr(endpoints.InstagramGraph, "host", base + "/ig")
    monkeypatch.setattr(endpoints, "INSTAGRAM_TOKEN_URL", base + "/oauth/access_token")
    monkeypatch.setattr(endpoints, "LINKEDIN_OAUTH", base + "/oauth/v2")
    monkeypatch.setattr(endpoints, "LINKEDIN_API", base + "/v2")
    monkeypatch.setattr(endpoints, "LINKEDIN_REST", base + "/rest")


@contextlib.asynccontextmanager
async def every_host_on(monkeypatch, default: Act):
    """A started RawServer doing `default` unless scripted, every platform's host pointed at it."""
    server = await RawServer().start()
    server.default = default
    point_hosts_at(monkeypatch, server.base)
    try:
        yield server
    finally:
        await server.stop()
