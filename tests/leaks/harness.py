"""Measuring growth on the debug interpreter, and the loopback server the leak loops talk to.

A debug build counts every live reference (sys.gettotalrefcount) and every allocated block
(sys.getallocatedblocks). aiohttp grows and drops in a sawtooth (pools, caches, the loop's own
bookkeeping), so one reading minus another proves nothing: a loop runs a warm-up, settles, and
then takes a reading every few iterations; the growth is the least-squares slope of those
readings per iteration, and it is judged against the same measurement of a plain aiohttp request
made in the same run.
"""
from __future__ import annotations

import asyncio
import gc
import heapq
import json
import sys
from dataclasses import dataclass
from typing import Awaitable, Callable

from aiohttp import web
from loopback import free_port, serve

WARMUP = 40
ITERATIONS = 300
EVERY = 10  # iterations between two readings

# Universal answer: every read operation of the clients finds what it needs in it.
ITEM = {
    "id": "9001",
    "name": "Item",
    "access_token": "page-token",
    "category": "Shop",
    "field_data": [{"name": "email", "values": ["a@example.com"]},
                   {"name": "full_name", "values": ["A B"]}],
    "created_time": "2025-01-02T03:04:05+0000",
    "message": "hello",
    "values": [{"value": 3}],
    "subscribed_fields": ["leadgen"],
}
UNIVERSAL = {
    **ITEM,
    "access_token": "user-token",
    "token_type": "bearer",
    "expires_in": 3600,
    "success": True,
    "data": [ITEM, {**ITEM, "id": "9002"}],
    "sub": "member-1",
    "email": "m@example.com",
    "given_name": "M",
    "family_name": "N",
    "active": True,
    "elements": [{"id": "urn:li:share:1", "organization": "urn:li:organization:1"}],
    "status_code": "FINISHED",
    "user_id": "9001",
}


def slope(values: list[int]) -> float:
    n = len(values)
    mean_x = (n - 1) / 2
    mean_y = sum(values) / n
    num = sum((x - mean_x) * (y - mean_y) for x, y in enumerate(values))
    den = sum((x - mean_x) ** 2 for x in range(n))
    return num / den


@dataclass
class Growth:
    refs: float  # references gained per iteration
    blocks: float  # allocated blocks gained per iteration

    def __str__(self) -> str:
        return f"{self.refs:+.3f} refs/it, {self.blocks:+.3f} blocks/it"


def drop_cancelled_timers(loop: asyncio.AbstractEventLoop) -> None:
    """asyncio keeps a cancelled timer in its heap until the cancelled ones are more than half
    of it: a sawtooth as long as a hundred cancelled waits, so a loop that cancels a long wait
    each pass reads as growing or not by where its readings fall on the tooth. Dropping them at
    each reading, the way the loop itself does at the top of the tooth, takes the phase out."""
    scheduled = getattr(loop, "_scheduled", None)
    if scheduled is None:
        return
    live = []
    for handle in scheduled:
        if handle.cancelled():
            handle._scheduled = False
        else:
            live.append(handle)
    heapq.heapify(live)
    loop._scheduled = live
    loop._timer_cancelled_count = 0


async def settle() -> None:
    for _ in range(3):
        await asyncio.sleep(0)
    drop_cancelled_timers(asyncio.get_running_loop())
    gc.collect()
    # The interpreter's type-attribute cache (4,096 slots, placed by the name's address) holds
    # a reference to the name of each lookup it caches: attribute names made afresh by C code
    # sit there until another lookup takes their slot, a few blocks per pass, bounded, that
    # Python code (whose names are the same interned objects every time) never shows.
    sys._clear_type_cache()


async def growth(step: Callable[[], Awaitable[None]], iterations: int = ITERATIONS,
                 warmup: int = WARMUP) -> Growth:
    for _ in range(warmup):
        await step()
    await asyncio.sleep(0.05)  # the server finishes the handlers of cancelled requests
    await settle()
    refs: list[int] = []
    blocks: list[int] = []
    for i in range(iterations):
        await step()
        if i % EVERY == EVERY - 1:
            await settle()
            refs.append(sys.gettotalrefcount())
            blocks.append(sys.getallocatedblocks())
    return Growth(slope(refs) / EVERY, slope(blocks) / EVERY)


class Server:
    """Answers by path:
    /status/N  status N with a Graph error body (code from ?code=), "Retry-After: 0" on 429;
    /flaky     503 and 200 in turn;
    /slow      answers after 30 s (for cancellation while in flight);
    /loop      redirects to itself;
    /stall     sends half a body and then stops (for cancellation while reading);
    anything else: 200 with UNIVERSAL (201 with an "x-restli-id" for POST /rest/posts).
    """

    def __init__(self) -> None:
        self.base = ""
        self.flips = 0
        self._runner: web.AppRunner | None = None

    def url(self, path: str) -> str:
        return self.base + path

    async def handle(self, request: web.Request) -> web.StreamResponse:
        path = request.path
        await request.read()
        if path.startswith("/status/"):
            status = int(path.split("/")[2])
            code = int(request.query.get("code", "1"))
            headers = {"Retry-After": "0"} if status == 429 else {}
            body = {"error": {"message": "no", "code": code, "error_subcode": 7}}
            return web.json_response(body, status=status, headers=headers)
        if path == "/flaky":
            self.flips += 1
            if self.flips % 2:
                return web.json_response({"error": {"message": "busy"}}, status=503)
            return web.json_response(UNIVERSAL)
        if path == "/slow":
            await asyncio.sleep(30)
        if path == "/loop":
            raise web.HTTPFound(path)
        if path == "/stall":
            response = web.StreamResponse(headers={"Content-Type": "application/json"})
            response.content_length = 100
            await response.prepare(request)
            await response.write(b'{"a": ')
            await asyncio.sleep(30)
            return response
        if request.method == "POST" and path.endswith("/rest/posts"):
            return web.Response(status=201, headers={"x-restli-id": "urn:li:share:2"})
        if request.method == "DELETE" and path.startswith("/rest/"):
            return web.Response(status=204)
        return web.Response(text=json.dumps(UNIVERSAL), content_type="application/json")

    async def __aenter__(self) -> "Server":
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self.handle)
        self._runner, self.base = await serve(app, handler_cancellation=True)
        return self

    async def __aexit__(self, *exc: object) -> None:
        assert self._runner is not None
        await self._runner.cleanup()


def refused_url() -> str:
    """A loopback address on which nothing listens."""
    return f"http://127.0.0.1:{free_port()}/gone"


def debug_interpreter() -> bool:
    return hasattr(sys, "gettotalrefcount")
