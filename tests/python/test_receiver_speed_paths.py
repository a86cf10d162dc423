"""The worker's shared lease renewal, and its claims giving way to a burst of deliveries."""
from __future__ import annotations

import asyncio
import json
import time

import pytest

from corvane.receiver.store import NewEvent, open_store
from corvane.receiver.traffic import Traffic


@pytest.fixture(params=["sqlite", "postgres"])
async def store(request, tmp_path):
    s = open_store(str(tmp_path / "s.sqlite3") if request.param == "sqlite"
                   else request.getfixturevalue("postgres_db"))
    await s.open()
    yield s
    await s.close()


async def test_one_renewal_extends_only_claims_still_held(store):
    await store.record([NewEvent(k, "page", "leadgen", "p1", k, json.dumps({"leadgen_id": k}))
                        for k in ("held", "released", "failed", "unclaimed")], 100.0)
    await store.claim_many(100.0, 30.0, 3)  # the oldest three, "unclaimed" last
    await store.release("released")
    await store.fail("failed", "gone", 101.0)
    await store.renew_many(["held", "released", "failed", "unclaimed"], 200.0)
    until = {k: (await store.event(k))["claimed_until"]
             for k in ("held", "released", "failed", "unclaimed")}
    assert until == {"held": 200.0, "released": None, "failed": None, "unclaimed": None}


@pytest.mark.parametrize("at_once, pause, most, waits", [
    # A burst that goes on: the claim waits its most, then goes. The sender runs between any
    # two looks of the claim, so a stalled machine cannot make the burst look over.
    (25, 0.0, 0.3, (0.25, 2.0)),
    (1, 0.005, 0.3, (0.0, 0.05)),  # two hundred a second: no burst, no wait
])
async def test_a_claim_waits_out_a_burst_but_never_longer_than_its_bound(at_once, pause, most,
                                                                         waits):
    traffic = Traffic()
    stop = asyncio.Event()

    async def deliveries():
        while not stop.is_set():
            for _ in range(at_once):
                traffic.arrived()
            await asyncio.sleep(pause)

    sender = asyncio.create_task(deliveries())
    await asyncio.sleep(0.05)
    started = time.monotonic()
    await traffic.calm(most)
    waited = time.monotonic() - started
    stop.set()
    await sender
    assert waits[0] <= waited <= waits[1]
    await traffic.calm(most)  # after the burst: at once
