"""The senders of the receiver benchmark, run as a process of their own so that their CPU time
is not taken from the receiver's event loop: signed lead deliveries posted over 64 keep-alive
connections, either as fast as the receiver acknowledges them or at a fixed rate.

Reads one JSON command per line on stdin and answers each with one JSON line on stdout:

    {"port": P, "secret": S, "first": F, "count": N}               as fast as acknowledged
    {"port": P, "secret": S, "first": F, "count": N, "rate": R}    N deliveries at R per second

"ports": [P, Q] instead of "port" spreads the connections over several receivers, as a load
balancer would; "page": an id puts every event on that Page (one a sandbox has connected).

Deliveries are those of `deliveries(first, count, secret)`: the same command gives the same
bytes, so two receivers sent the same command get the same work.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import random
import sys
import time
from collections import Counter
from typing import Any

CONCURRENCY = 64
HEAD = (b"POST /webhook HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        b"X-Hub-Signature-256: sha256=%s\r\nContent-Length: %d\r\n\r\n")
FIRST_LEAD = 444_000_000_000_000


def deliveries(first: int, count: int, secret: str,
               page_id: str | None = None) -> tuple[list[bytes], int]:
    """`count` requests of 1 to 3 leadgen events each, leads numbered from `first` (each
    delivery takes three numbers), about one in ten a repeat of an earlier delivery of the same
    batch, byte for byte, as Meta repeats one it thinks was lost; and the number of distinct
    events among them."""
    rng = random.Random(first)
    requests: list[bytes] = []
    distinct = 0
    for i in range(count):
        if requests and rng.random() < 0.10:
            requests.append(rng.choice(requests))
            continue
        page = page_id or str(153125381133 + i % 7)
        changes = [{"field": "leadgen", "value": {
            "ad_id": "120208812345670123", "form_id": "987654321012345",
            "leadgen_id": str(FIRST_LEAD + first + 3 * i + n), "created_time": 1717000000,
            "page_id": page, "adgroup_id": "120208812345670123"}}
            for n in range(rng.randint(1, 3))]
        body = json.dumps({"object": "page", "entry": [
            {"id": page, "time": 1717000000, "changes": changes}]}).encode()
        signature = hmac.new(secret.encode(), body, hashlib.sha256).hexdigest().encode()
        requests.append(HEAD % (signature, len(body)) + body)
        distinct += len(changes)
    return requests, distinct


class Connection:
    """One keep-alive connection: a request written, its answer read before the next."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader, self.writer = reader, writer

    @classmethod
    async def open(cls, port: int) -> Connection:
        return cls(*await asyncio.open_connection("127.0.0.1", port))

    async def post(self, request: bytes) -> int:
        self.writer.write(request)
        head = await self.reader.readuntil(b"\r\n\r\n")
        at = head.lower().find(b"\r\ncontent-length:")
        length = int(head[at + 17:head.index(b"\r\n", at + 2)]) if at >= 0 else 0
        await self.reader.readexactly(length)
        return int(head[9:12])

    def close(self) -> None:
        self.writer.close()


async def as_fast_as_acknowledged(connections: list[Connection],
                                  requests: list[bytes]) -> dict[str, Any]:
    pending = iter(requests)
    statuses: Counter[int] = Counter()

    async def sender(connection: Connection) -> None:
        for request in pending:
            statuses[await connection.post(request)] += 1

    start = time.perf_counter()
    await asyncio.gather(*(sender(c) for c in connections))
    return {"seconds": time.perf_counter() - start, "statuses": statuses}


async def at_rate(connections: list[Connection], requests: list[bytes],
                  rate: float) -> dict[str, Any]:
    """Each delivery is due at its own moment; its latency runs from that moment, so a delivery
    that waited for a free connection counts its wait (the receiver fell behind)."""
    free: asyncio.Queue[Connection] = asyncio.Queue()
    for connection in connections:
        free.put_nowait(connection)
    statuses: Counter[int] = Counter()
    latencies: list[float] = []

    async def send(connection: Connection, request: bytes, due: float) -> None:
        statuses[await connection.post(request)] += 1
        latencies.append(time.perf_counter() - due)
        free.put_nowait(connection)

    tasks = []
    start = time.perf_counter() + 0.01
    for i, request in enumerate(requests):
        due = start + i / rate
        delay = due - time.perf_counter()
        if delay > 0:
            await asyncio.sleep(delay)
        connection = await free.get()
        tasks.append(asyncio.create_task(send(connection, request, due)))
    await asyncio.gather(*tasks)
    latencies.sort()
    return {"seconds": time.perf_counter() - start, "statuses": statuses,
            "p50": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
            "max": latencies[-1]}


async def serve_command(command: dict[str, Any]) -> dict[str, Any]:
    requests, distinct = deliveries(command["first"], command["count"], command["secret"],
                                    command.get("page"))
    ports = command.get("ports") or [command["port"]]
    connections = [await Connection.open(ports[n % len(ports)]) for n in range(CONCURRENCY)]
    try:
        if "rate" in command:
            result = await at_rate(connections, requests, command["rate"])
        else:
            result = await as_fast_as_acknowledged(connections, requests)
    finally:
        for connection in connections:
            connection.close()
    result["distinct"] = distinct
    result["statuses"] = {str(k): v for k, v in result["statuses"].items()}
    return result


def main() -> None:
    for line in sys.stdin:
        print(json.dumps(asyncio.run(serve_command(json.loads(line)))), flush=True)


if __name__ == "__main__":
    main()
