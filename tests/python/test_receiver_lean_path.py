"""Deliveries are answered on a lean connection path unless the host changed the app. Whatever
bytes a sender writes, the lean path answers as aiohttp.web's route does, request by request,
and what it cannot frame beyond doubt goes to aiohttp with the connection."""
from __future__ import annotations

import asyncio
import re
import socket

from aiohttp import web

from corvane.receiver import WorkerSettings
from corvane.receiver.delivery_connection import DeliveryConnection, DeliveryServer
from receiver_harness import Running, config_for
from test_receiver_limits import lead_body


@web.middleware
async def passing(request: web.Request, handler):  # any middleware turns the lean path off
    return await handler(request)


def post(body: bytes, sign, *, target: str = "/webhook", version: str = "HTTP/1.1",
         extra: bytes = b"", length: bytes | None = None, signed: bool = True) -> bytes:
    head = [f"POST {target} {version}".encode(), b"Host: 127.0.0.1",
            b"Content-Length: " + (str(len(body)).encode() if length is None else length)]
    if signed:
        head.append(b"X-Hub-Signature-256: " + sign(body).encode())
    return b"\r\n".join(head) + b"\r\n" + extra + b"\r\n" + body


def conversations(sign) -> list[list[bytes]]:
    """Connections, each a list of writes."""
    good = [lead_body(f'"{n}"') for n in range(5000, 5010)]
    chunked = (b"POST /webhook HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nX-Hub-Signature-256: "
               + sign(good[1]).encode() + b"\r\n\r\n" + b"%x\r\n" % len(good[1]) + good[1] + b"\r\n0\r\n\r\n")
    return [
        [post(good[0], sign) + post(good[0], sign) + post(good[2], sign)],  # pipelined, a repeat among them
        [chunked],
        [post(good[3], sign, extra=b"Content-Length: 5\r\n")],  # two lengths
        [post(good[3], sign, extra=b"Transfer-Encoding: chunked\r\n")],
        [post(good[3], sign, extra=b"X-Pad: a\r\n b\r\n")],  # a folded line
        [post(good[3], sign, extra=b"X-Pad: a\nb\r\n")],  # a bare LF
        [post(good[3], sign, extra="X-Ism: Sh\u00f6\r\n".encode())],
        [post(good[3], sign, version="HTTP/1.0")],
        [post(good[3], sign, target="/webhook/")],
        [post(good[3], sign, target="/webhook?x=1"), post(good[4], lambda b: "sha256=" + "0" * 64)],
        [post(good[5], sign, signed=False)],
        [post(good[5], sign, length=b"+12")],
        [post(good[5], sign, length=b"99999999")],
        [post(good[6], sign)[:40], post(good[6], sign)[40:]],  # split
        [post(b"{", sign) + post(b"[1]", sign) + post(good[7], sign, extra=b"Connection: close\r\n")],
        [post(good[8], sign) + b"GET /pages HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"],  # then an admin route
        [post(good[9], sign, extra=b"Expect: 100-continue\r\n")],
    ]


async def answers(base: str, writes: list[bytes]) -> list[tuple[str, bytes]]:
    host, port = base.removeprefix("http://").split(":")
    reader, writer = await asyncio.open_connection(host, int(port))
    got = b""
    try:
        for chunk in writes:
            writer.write(chunk)
            await writer.drain()
            await asyncio.sleep(0.05)
        while True:
            try:
                more = await asyncio.wait_for(reader.read(65536), 0.5)
            except asyncio.TimeoutError:
                break
            if not more:
                break
            got += more
    finally:
        writer.close()
    # Status line and body of each answer; headers differ by design (no Server header here).
    found = re.findall(rb"HTTP/1\.[01] (\d{3})[^\r]*\r\n(.*?)\r\n\r\n", got, re.S)
    out = []
    for status, head in found:
        length = re.search(rb"(?i)content-length: (\d+)", head)
        start = got.index(head) + len(head) + 4
        out.append((status.decode(), got[start:start + int(length.group(1)) if length else start]))
    return out


async def test_lean_path_answers_as_aiohttp_does(sb, tmp_path, monkeypatch):
    lean_answers = []
    answer = DeliveryConnection._answer

    def counted(self, *args):
        lean_answers.append(args[0])
        return answer(self, *args)

    monkeypatch.setattr(DeliveryConnection, "_answer", counted)
    quiet = config_for(sb, worker=WorkerSettings(concurrency=0))
    lean = await Running(sb, str(tmp_path / "lean.db"), quiet).start()
    plain = await Running(sb, str(tmp_path / "plain.db"), quiet, middlewares=(passing,)).start()
    try:
        assert isinstance(lean.runner.server, DeliveryServer)
        assert not isinstance(plain.runner.server, DeliveryServer)
        talks = conversations(sb.sign)
        ours = await asyncio.gather(*(answers(lean.base, writes) for writes in talks))
        theirs = await asyncio.gather(*(answers(plain.base, writes) for writes in talks))
        for writes, mine, aiohttps in zip(talks, ours, theirs):
            assert mine == aiohttps != [], writes
        assert len(lean_answers) == 9  # the rest went to aiohttp with their connections
        assert await lean.store.counts() == await plain.store.counts()
        assert (lean.stats.deliveries, lean.stats.duplicates) == (plain.stats.deliveries, plain.stats.duplicates)
    finally:
        await lean.stop()
        await plain.stop()


async def test_a_peer_that_does_not_read_is_not_answered_into_memory(sb, tmp_path):
    """Pipelined requests are answered as fast as the peer takes the answers, not faster."""
    running = await Running(sb, str(tmp_path / "r.db"), config_for(sb, worker=WorkerSettings(concurrency=0))).start()
    host, port = running.base.removeprefix("http://").split(":")
    # Small kernel buffers on both ends, so that what is not taken stays in the server's process.
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect((host, int(port)))
    reader, writer = await asyncio.open_connection(sock=sock)
    count = 4000
    try:
        while not running.runner.server._connections:
            await asyncio.sleep(0.01)
        (connection,) = running.runner.server._connections
        connection._transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        writer.write(post(b"{}", lambda b: "sha256=" + "0" * 64) * count)  # each answered 403
        await asyncio.sleep(0.5)
        assert connection._transport.get_write_buffer_size() < 128 * 1024
        got = b""
        while got.count(b"HTTP/1.1 403") < count:
            got += await asyncio.wait_for(reader.read(1 << 20), 10)
    finally:
        writer.close()
        await running.stop()
