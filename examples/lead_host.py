"""A host's own lead receiver, typed end to end: an aiohttp.web app that answers Meta's webhook,
records each lead event once through the receiver's store interface, and a worker that fetches,
enriches, normalises and stores each lead.

    FACEBOOK_APP_ID=... FACEBOOK_APP_SECRET=... META_VERIFY_TOKEN=... \\
        python examples/lead_host.py --db leads.sqlite3 --port 8080

The store (corvane.receiver.open_store: SQLite or PostgreSQL) keeps the de-duplication keys in a
unique column, so a repeated delivery is recorded once, and the page tokens the worker needs:
connect Pages with `python -m corvane receiver` (its /connect login flow) or Store.save_page.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import time
from contextlib import suppress

from aiohttp import web

from corvane import ApiError, Facebook, TransportError, normalize, parse_events, verify_challenge
from corvane import verify_request
from corvane.receiver import LeadRecord, NewEvent, Store, open_store

LEASE = 120.0  # seconds a worker holds a claimed event
RETRY_AFTER = 300.0  # seconds before a failed fetch is tried again


class LeadHost:
    def __init__(self, store: Store, fb: Facebook, app_secret: str, verify_token: str) -> None:
        self.store = store
        self.fb = fb
        self.app_secret = app_secret
        self.verify_token = verify_token
        self.wake = asyncio.Event()

    async def handshake(self, request: web.Request) -> web.Response:
        challenge = verify_challenge(request.query, self.verify_token)
        if challenge is None:
            return web.Response(status=403)
        return web.Response(text=str(challenge))

    async def delivery(self, request: web.Request) -> web.Response:
        body = await request.read()  # the raw bytes: the signature covers exactly these
        if not verify_request(self.app_secret, body, request.headers):
            return web.Response(status=403)
        events = [
            NewEvent(key=event.key, object_type=event.object_type, field=event.field,
                     page_id=event.page_id, leadgen_id=event.leadgen_id,
                     payload=json.dumps(event.value))
            for event in parse_events(json.loads(body))
        ]
        await self.store.record(events, time.time())  # known keys are skipped
        self.wake.set()
        return web.Response(text="ok")  # answer at once; the worker does the slow part

    async def work_once(self) -> bool:
        """Handles one due lead event; False when there was none."""
        claimed = await self.store.claim(time.time(), LEASE)
        if claimed is None:
            return False
        tokens = await self.store.tokens(claimed.page_id) if claimed.page_id else None
        if tokens is None:
            await self.store.postpone(claimed.key, time.time() + RETRY_AFTER, "Page not connected")
            return True
        page_token, user_token = tokens
        try:
            lead = await self.fb.lead(claimed.leadgen_id, page_token)
            context = await self.fb.ad_context(lead.ad_id, user_token or page_token)
        except (ApiError, TransportError) as error:
            await self.store.postpone(claimed.key, time.time() + RETRY_AFTER, str(error))
            return True
        normalized = normalize(lead.field_data)
        fields = normalized.as_dict()
        fields.pop("custom", None)
        record = LeadRecord(leadgen_id=lead.id, page_id=claimed.page_id, form_id=lead.form_id,
                            ad_id=lead.ad_id, created_time=lead.created_time, fields=fields,
                            custom=normalized.custom, ad_context=dict(context), raw=lead.raw)
        await self.store.complete(claimed.key, record, time.time())
        return True

    async def worker(self) -> None:
        while True:
            if not await self.work_once():
                self.wake.clear()
                with suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(self.wake.wait(), 30.0)


def make_app(host: LeadHost) -> web.Application:
    app = web.Application()
    app.router.add_get("/webhook", host.handshake)
    app.router.add_post("/webhook", host.delivery)

    async def start(app: web.Application) -> None:
        await host.store.open()
        worker = asyncio.ensure_future(host.worker())

        async def stop(app: web.Application) -> None:
            worker.cancel()
            with suppress(asyncio.CancelledError):
                await worker
            await host.fb.close()
            await host.store.close()

        app.on_cleanup.append(stop)

    app.on_startup.append(start)
    return app


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", default="leads.sqlite3")
    parser.add_argument("--port", type=int, default=8080)
    args = parser.parse_args()
    fb = Facebook.from_env()
    host = LeadHost(open_store(args.db), fb, fb.app_secret, os.environ["META_VERIFY_TOKEN"])
    web.run_app(make_app(host), host="127.0.0.1", port=args.port)


if __name__ == "__main__":
    main()
