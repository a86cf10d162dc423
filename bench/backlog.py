"""Receiver backlog figures: 1,000 pending lead events of one Page (the receiver was down while
a campaign ran) fetched by the worker with their ads, against the sandbox's Graph API, whose
every request takes `LATENCY` seconds as a real round trip would. corvane's worker reads the
leads of one Page in shared batch calls (each lead with its ad through a reference); the
baseline is the worker as it was, one lead request and one ad request per event, four at a
time. Both store into SQLite (in /dev/shm when the machine has it) and are checked to store
every lead with its campaign before their figures count."""

from __future__ import annotations

import asyncio
import shutil
import tempfile
import time
from pathlib import Path
from typing import Any

from aiohttp import web

from corvane.receiver.store import NewEvent, open_store
from corvane.receiver.worker import Worker, WorkerSettings
from corvane.sandbox import Sandbox
from corvane.sandbox.world import FORM_ID, GRANTED_SCOPES, PAGE_STORE

LEADS = 1000
LATENCY = 0.02


class OneByOne(Worker):
    """The worker as it was: a lead request, then an ad request, per event."""

    async def _fetch(self, event: Any, page_token: str, user_token: str | None) -> tuple[Any, Any]:
        lead = await self.facebook.lead(event.leadgen_id, page_token)
        return lead, await self.facebook.ad_context(lead.ad_id, user_token or page_token)


async def drain(worker_type: type[Worker], settings: WorkerSettings, folder: Path) -> dict[str, Any]:
    async with Sandbox() as sb:
        handle = sb.graph.handle
        http_calls = 0

        async def slow(request: web.Request) -> web.StreamResponse:
            nonlocal http_calls
            http_calls += 1
            await asyncio.sleep(LATENCY)
            return await handle(request)

        sb.graph.handle = slow
        store = open_store(str(folder / f"{worker_type.__name__}.sqlite3"))
        await store.open()
        page = sb.world.pages[PAGE_STORE]
        user = sb.world.issue_user_token("user", GRANTED_SCOPES)
        await store.save_page(PAGE_STORE, "bench", page.token, user, time.time())
        ids = [sb.world.add_lead(FORM_ID, {"full_name": f"Mijoz {n}"}).id for n in range(LEADS)]
        await store.record([NewEvent(f"page:leadgen:{i}", "page", "leadgen", PAGE_STORE, i, "{}")
                            for i in ids], time.time())
        worker = worker_type(store, sb.facebook_client(), settings)
        started = time.perf_counter()
        worker.start()
        try:
            while (await store.counts())["leads"] < LEADS:
                await asyncio.sleep(0.05)
            wall = time.perf_counter() - started
        finally:
            await worker.stop()
        leads = await store.leads(LEADS)
        await store.close()
        assert len(leads) == LEADS and all(lead["ad_context"] for lead in leads), "leads lost"
        return {"wall": wall, "http": http_calls}


async def measure() -> bool:
    folder = Path(tempfile.mkdtemp(dir="/dev/shm" if Path("/dev/shm").is_dir() else None))
    try:
        today = await drain(OneByOne, WorkerSettings(concurrency=4, in_flight=4, poll=0.05), folder)
        batched = await drain(Worker, WorkerSettings(poll=0.05), folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    limit = LEADS * 2 // 50 + 5
    print(f"\nReceiver backlog: {LEADS} pending leads of one Page with their ads, "
          f"{LATENCY * 1000:.0f} ms per Graph request")
    print(f"  {'':28} {'batched':>10} {'one by one':>12} {'ratio':>7}  target")
    print(f"  {'Graph HTTP calls':28} {batched['http']:>10} {today['http']:>12} "
          f"{batched['http'] / today['http']:>7.3f}  <= {limit}: "
          f"{'met' if batched['http'] <= limit else 'MISSED'}")
    print(f"  {'wall time (s)':28} {batched['wall']:>10.2f} {today['wall']:>12.2f} "
          f"{batched['wall'] / today['wall']:>7.3f}  (reported)")
    return batched["http"] <= limit


def run(_rounds: int = 1) -> bool:
    return asyncio.run(measure())


if __name__ == "__main__":
    raise SystemExit(0 if run() else 1)
