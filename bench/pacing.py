"""Pacing figures: 2,000 lead fetches, 32 at a time, against one Page whose call budget in the
sandbox is scaled down from an hour to seconds, through corvane with a Throttle of the same
window, against what hosts write today: an aiohttp loop of 32 workers that retries throttle
answers with exponential back-off and never reads the usage headers. Each side gets a sandbox of
its own, so both start with the whole budget. Then what pacing costs a request while every
budget is normal: a small GET with throttle=None against the default Throttle, on the request
pipeline's loopback server and with its machinery (bench/pipeline.py)."""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import logging
import random
import sys
import time
from typing import Any, Awaitable, Callable

import aiohttp

from corvane import endpoints
from corvane.errors import CorvaneError
from corvane.http import BaseClient, Throttle
from corvane.sandbox import Sandbox
from corvane.sandbox.usage import Usage
from corvane.sandbox.world import PAGE_STORE
from pipeline import Server, compare_repeated, print_figures, repeat

FETCHES = 2000
CONCURRENCY = 32
# The Page's leadgen budget: CALLS per WINDOW seconds; once spent, blocked for BLOCK seconds,
# and each call made while blocked adds PENALTY seconds more. 2,000 calls are then ten windows'
# worth. The penalty is kept small for the hand loop's sake: its 32 workers, each retrying at
# most every BACKOFF_CAP seconds, lengthen a block by 32 / BACKOFF_CAP * PENALTY seconds a second
# (0.4 here), and from 1 on the block would never end.
CALLS, WINDOW, BLOCK, PENALTY = 200, 1.0, 1.0, 0.05
# The hand-written loop's back-off: 0.1 s doubling up to BACKOFF_CAP, times [0.5, 1.5).
BACKOFF_BASE, BACKOFF_CAP = 0.1, 4.0
THROTTLE_CODES = frozenset((4, 17, 32, 613, *range(80001, 80007)))


def budget() -> Usage:
    return Usage(calls=CALLS, window=WINDOW, block=BLOCK, penalty=PENALTY)


async def fetch_all(one: Callable[[], Awaitable[Any]]) -> tuple[float, int]:
    """Wall seconds of FETCHES calls of `one`, CONCURRENCY at a time, and how many raised."""
    left, failed = FETCHES, 0

    async def worker() -> None:
        nonlocal left, failed
        while left > 0:
            left -= 1
            try:
                await one()
            except CorvaneError:
                failed += 1

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(CONCURRENCY)))
    return time.perf_counter() - start, failed


def a_lead(sb: Sandbox) -> str:
    return next(lead_id for lead_id, lead in sb.world.leads.items() if lead.page_id == PAGE_STORE)


async def with_corvane() -> dict[str, float]:
    async with Sandbox(usage=budget()) as sb:
        token, lead_id = sb.world.pages[PAGE_STORE].token, a_lead(sb)
        fb = sb.facebook_client(throttle=Throttle(window=WINDOW))
        # A budget changes state a few times a second at this scale: one log line each.
        log = logging.getLogger("corvane")
        level = log.level
        log.setLevel(logging.ERROR)
        try:
            wall, failed = await fetch_all(lambda: fb.lead(lead_id, token))
        finally:
            log.setLevel(level)
        return figures_of(sb, wall, failed)


async def by_hand() -> dict[str, float]:
    async with Sandbox(usage=budget()) as sb:
        token, lead_id = sb.world.pages[PAGE_STORE].token, a_lead(sb)
        session = sb.session()
        proof = hmac.new(sb.app_secret.encode(), token.encode(), hashlib.sha256).hexdigest()
        url = endpoints.Graph().node(lead_id)
        params = {"fields": endpoints.Fields.FB_LEAD, "access_token": token,
                  "appsecret_proof": proof}

        async def one() -> Any:
            attempt = 0
            while True:
                async with session.get(url, params=params) as response:
                    body = await response.json(content_type=None)
                if response.status < 400:
                    return body
                code = (body.get("error") or {}).get("code") if isinstance(body, dict) else None
                if response.status != 429 and not (response.status == 400
                                                   and code in THROTTLE_CODES):
                    raise RuntimeError(response.status, body)
                delay = min(BACKOFF_CAP, BACKOFF_BASE * 2 ** attempt)
                await asyncio.sleep(delay * random.uniform(0.5, 1.5))
                attempt += 1

        wall, failed = await fetch_all(one)
        return figures_of(sb, wall, failed)


def figures_of(sb: Sandbox, wall: float, failed: int) -> dict[str, float]:
    return {"wall": wall, "failed": failed, "blocks": sb.usage.blocks,
            "while_blocked": sb.usage.calls_while_blocked, "sent": len(sb.graph.requests)}


# ---- what pacing costs while every budget is normal ----

async def overhead(base: str, rounds: int) -> list[tuple[str, str, float, float, float, str,
                                                          bool]]:
    """CPU per small GET with the default Throttle against throttle=None, on one session, the
    answers carrying usage headers well below the threshold (as the Graph API's always do)."""
    rows = []
    connector = aiohttp.TCPConnector(limit=100)
    async with aiohttp.ClientSession(connector=connector) as session:
        paced, plain = BaseClient(session=session), BaseClient(session=session, throttle=None)
        params = {"access_token": "EAAGbenchtoken0000"}
        for what, path, count in (("GET 300 B", "/small", 512),
                                  ("GET 300 B + usage headers", "/small-usage", 512)):
            url = base + path
            assert await paced.get(url, params=params) == await plain.get(url, params=params)
            ours = repeat(lambda url=url: paced.get(url, params=params), count, 1)
            theirs = repeat(lambda url=url: plain.get(url, params=params), count, 1)
            o, t, ratio = await compare_repeated(ours, theirs, rounds, 5)
            rows.append((what, "throttle=None", o / count, t / count, ratio, "within 1 %",
                         ratio <= 1.01))
        assert paced.usage["app"] is not None, "the usage headers were not read"
    return rows


def run(rounds: int) -> bool:
    print(f"\nPacing: {FETCHES:,} lead fetches, {CONCURRENCY} at a time, against one Page's "
          f"budget of {CALLS} calls per {WINDOW:g} s (blocked {BLOCK:g} s when spent, "
          f"+{PENALTY:g} s for each call made while blocked); corvane with "
          f"Throttle(window={WINDOW:g}); baseline: aiohttp, {CONCURRENCY} workers retrying "
          f"throttle answers with back-off ({BACKOFF_BASE:g} s doubling, cap {BACKOFF_CAP:g} s, "
          f"jitter)")
    ours, theirs = asyncio.run(with_corvane()), asyncio.run(by_hand())
    for name, side in (("corvane", ours), ("hand loop", theirs)):
        print(f"{name}: {side['wall']:.1f} s, {side['sent']:,.0f} requests sent, "
              f"{side['failed']:.0f} fetches failed")
    ratio = ours["wall"] / theirs["wall"]
    rows = [("calls sent while blocked", "aiohttp+backoff", ours["while_blocked"],
             theirs["while_blocked"], "-", "0", ours["while_blocked"] == 0),
            ("blocks hit", "aiohttp+backoff", ours["blocks"], theirs["blocks"], "-", "<= 1",
             ours["blocks"] <= 1),
            ("wall time, s", "aiohttp+backoff", ours["wall"], theirs["wall"], f"{ratio:.2f}",
             "<= 0.50", ratio <= 0.5),
            ("fetches failed", "aiohttp+backoff", ours["failed"], theirs["failed"], "-", "0",
             ours["failed"] == 0)]
    ok = print_figures(rows)
    with Server() as base:
        cost = asyncio.run(overhead(base, rounds))
    print("\nPacing while every budget is normal: CPU of this process per request, server in "
          "another process; ratio = default Throttle / throttle=None, the median of five "
          "comparisons; the second row's answers carry X-App-Usage and "
          "X-Business-Use-Case-Usage well below the threshold")
    print(f"{'figure':<34}{'baseline':>16}{'corvane us':>12}{'base us':>10}{'ratio':>8}"
          f"  target")
    for name, base_name, o, t, r, target, met in cost:
        ok &= met
        print(f"{name:<34}{base_name:>16}{o:>12.2f}{t:>10.2f}{r:>8.3f}  {target} "
              f"{'ok' if met else 'MISSED'}")
    return ok


if __name__ == "__main__":
    sys.exit(0 if run(int(sys.argv[1]) if len(sys.argv) > 1 else 15) else 1)
