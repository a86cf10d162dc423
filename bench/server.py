"""A minimal HTTP/1.1 keep-alive server for the pipeline benchmark, run as a process of its own
so that its CPU time never counts against either side. Every answer is prepared at start:

    /small              a 300-byte JSON object
    /small-usage        the same with the Graph API's usage headers, every figure low
    /large              one page of 100 posts
    /walk?after=N       pages of a 5,000-item list (100 per page), each linking the next
    /long?after=N       the same for a 50,000-item list

Prints its port on stdout, then serves until stdin closes.
"""

from __future__ import annotations

import asyncio
import json
import sys
from typing import Any

HEADERS = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\n"
           b"Content-Length: %d\r\n\r\n")


def post(i: int) -> dict[str, Any]:
    return {"id": f"1234567890321_{901097836652708 + i}",
            "message": f"Yangi kurslar: ro'yxatdan o'tish ochiq, joylar soni cheklangan #{i}",
            "created_time": "2024-05-29T10:15:00+0000", "permalink_url":
            f"https://www.example.com/1234567890321/posts/{901097836652708 + i}",
            "from": {"name": "Toshkent Savdo", "id": "1234567890321"},
            "shares": {"count": i % 17}, "is_published": True, "score": i * 0.25}


SMALL = {"id": "1234567890321", "name": "Toshkent Savdo", "category": "Education",
         "fan_count": 48213, "link": "https://www.example.com/toshkentsavdo",
         "verification_status": "not_verified", "is_published": True,
         "about": "Kurslar va treninglar: Toshkent, Samarqand, Buxoro. Ro'yxatdan o'tish ochiq.",
         "location": {"city": "Tashkent", "country": "Uzbekistan"}}


# What the Graph API says of an app and a Page well below their limits.
USAGE = (b'X-App-Usage: {"call_count":12,"total_time":4,"total_cputime":3}\r\n'
         b'X-Business-Use-Case-Usage: {"1234567890321":[{"type":"pages","call_count":9,'
         b'"total_cputime":2,"total_time":3,"estimated_time_to_regain_access":0}]}\r\n')


def answer(body: Any, headers: bytes = b"") -> bytes:
    data = json.dumps(body, separators=(",", ":"), ensure_ascii=False).encode()
    return (HEADERS[:-2] + headers + b"\r\n") % len(data) + data


def pages(base: str, total: int, host: str) -> dict[bytes, bytes]:
    out = {}
    for start in range(0, total, 100):
        page: dict[str, Any] = {"data": [post(i) for i in range(start, start + 100)],
                                "paging": {"cursors": {"before": f"b{start}", "after":
                                                       f"a{start + 100}"}}}
        if start + 100 < total:
            page["paging"]["next"] = f"http://{host}{base}?after={start + 100}&limit=100"
        out[f"{base}?after={start}".encode()] = answer(page)
    return out


class Serve(asyncio.Protocol):
    routes: dict[bytes, bytes] = {}

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        self.buffer = b""

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        while b"\r\n\r\n" in self.buffer:
            head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
            target = head.split(b" ", 2)[1]
            path, _, query = target.partition(b"?")
            after = b"0"
            for pair in query.split(b"&"):
                if pair.startswith(b"after="):
                    after = pair[6:]
            reply = self.routes.get(path) or self.routes.get(path + b"?after=" + after)
            self.transport.write(reply or b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")


async def main() -> None:
    loop = asyncio.get_running_loop()
    server = await loop.create_server(Serve, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    host = f"127.0.0.1:{port}"
    Serve.routes = {b"/small": answer(SMALL), b"/small-usage": answer(SMALL, USAGE),
                    b"/large": answer({"data": [post(i) for i in range(100)]})}
    Serve.routes.update(pages("/walk", 5000, host))
    Serve.routes.update(pages("/long", 50000, host))
    print(port, flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
