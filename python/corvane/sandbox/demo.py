"""The road of a lead, offline: the sandbox stands in for the platforms, the receiver runs on
loopback with a fresh SQLite file, a Page is connected through the login flow, three leads
arrive (one delivered twice, one while the Graph API answers 500), each is forwarded, signed, to
a stand-in CRM endpoint on loopback, and the stored CRM records are printed. Exits non-zero if
any step fails."""
from __future__ import annotations

import argparse
import asyncio
import hashlib
import hmac
import json
import logging
import secrets
import sys
import tempfile
import time
import unicodedata
from pathlib import Path
from typing import Any

from aiohttp import web

from corvane.facebook import Facebook
from corvane.http import RetryPolicy
from corvane.receiver import STATS, STORE, Config, ForwardSettings, WorkerSettings, create_app
from corvane.receiver.store import Store

from .server import Sandbox

LEADS = (
    {"full_name": "Oliver Bennett", "email": "oliver.bennett@example.com",
     "phone_number": "+44 20 7946 0958", "city": "London", "budget": "$5,000-10,000"},
    {"full_name": "Nodira Tursunova", "email": "nodira.tursunova@example.uz",
     "phone_number": "+998 (93) 555 12 34", "city": "Samarqand",
     "qachon_qo'ng'iroq_qilaylik": "Ertalab soat 10 gacha"},
    {"full_name": "Игорь Волков", "email": "igor.volkov@example.ru",
     "phone_number": "8 (495) 123-45-67", "city": "Москва", "какой_тариф_интересует": "Бизнес"},
)


class DemoFailed(Exception):
    pass


def say(text: str) -> None:
    print(text, flush=True)


class ForwardTarget:
    """A CRM's endpoint in miniature, as its own developer would write it: the signature is
    checked on the raw body, and each lead kept once under its Idempotency-Key."""

    def __init__(self, secret: str) -> None:
        self.secret = secret.encode()
        self.received: dict[str, str] = {}  # Idempotency-Key -> the body's leadgen_id
        self.refused = 0
        self.url = ""
        self._runner: web.AppRunner | None = None

    async def handle(self, request: web.Request) -> web.Response:
        body = await request.read()
        expected = "sha256=" + hmac.new(self.secret, body, hashlib.sha256).hexdigest()
        given = request.headers.get("X-Corvane-Signature-256", "")
        if not hmac.compare_digest(given.encode(), expected.encode()):
            self.refused += 1
            return web.Response(status=401)
        self.received.setdefault(request.headers.get("Idempotency-Key", ""), json.loads(body)["leadgen_id"])
        return web.Response(status=204)

    async def __aenter__(self) -> ForwardTarget:
        app = web.Application()
        app.router.add_post("/crm/leads", self.handle)
        self._runner = web.AppRunner(app, access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        await site.start()
        port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
        self.url = f"http://127.0.0.1:{port}/crm/leads"
        return self

    async def __aexit__(self, *exc: object) -> None:
        if self._runner is not None:
            await self._runner.cleanup()

    async def wait_for(self, count: int, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while len(self.received) < count:
            if time.monotonic() > deadline:
                raise DemoFailed(f"the forward target had {len(self.received)} of {count} lead(s) "
                                 f"after {timeout:.0f}s")
            await asyncio.sleep(0.05)


async def wait_for(store: Store, leads: int, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    while (await store.counts())["leads"] < leads:
        if time.monotonic() > deadline:
            raise DemoFailed(f"the receiver had not stored {leads} lead(s) after {timeout:.0f}s")
        await asyncio.sleep(0.05)


def _width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _cell(text: str, width: int) -> str:
    if _width(text) > width:
        while _width(text + "…") > width:
            text = text[:-1]
        text += "…"
    return text + " " * (width - _width(text))


def table(rows: list[dict[str, Any]]) -> str:
    columns = [("Name", 18), ("E-mail", 28), ("Phone", 14), ("City", 13), ("Campaign", 18),
               ("Other answers", 40)]
    lines = ["  ".join(_cell(name, w) for name, w in columns),
             "  ".join("-" * w for _, w in columns)]
    for row in rows:
        fields, ctx = row["fields"], row["ad_context"]
        other = "; ".join(f"{k}: {v}" for k, v in row["custom"].items())
        values = [fields.get("full_name", ""), fields.get("email", ""), fields.get("phone", ""),
                  fields.get("city", ""), ctx.get("campaign_name") or "-", other or "-"]
        lines.append("  ".join(_cell(str(v), w) for v, (_, w) in zip(values, columns)))
    return "\n".join(line.rstrip() for line in lines)


async def run(db: Path, outage: float) -> None:
    async with ForwardTarget(secrets.token_urlsafe(16)) as target, Sandbox() as sb:
        verify_token = secrets.token_urlsafe(16)
        admin_token = secrets.token_urlsafe(16)
        config = Config(app_id=sb.app_id, app_secret=sb.app_secret, verify_token=verify_token,
                        admin_token=admin_token,
                        worker=WorkerSettings(backoff_base=0.5, backoff_max=2.0, poll=0.2),
                        forward=ForwardSettings(target.url, target.secret.decode(), poll=0.2))
        # The client gives up on a request quickly, so the receiver's own back-off (what the
        # summary counts as retries) shows within the outage.
        facebook = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session(),
                            retry=RetryPolicy(attempts=2, backoff_base=0.2, jitter=False))
        app = create_app(str(db), config, facebook=facebook)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        try:
            site = web.TCPSite(runner, "127.0.0.1", 0)
            await site.start()
            port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
            base = f"http://127.0.0.1:{port}"
            store, stats = app[STORE], app[STATS]
            say(f"sandbox on 127.0.0.1:{sb.port} (TLS), receiver on {base}")

            await sb.subscribe_webhook(base + "/webhook", verify_token)
            say("1. webhook saved after the GET handshake")

            browser = sb.session()
            async with browser.get(base + "/connect",
                                   headers={"Authorization": f"Bearer {admin_token}"}) as resp:
                text = await resp.text()
                if resp.status != 200:
                    raise DemoFailed(f"login flow: HTTP {resp.status}: {text.strip()}")
            pages = await store.pages()
            say(f"2. login flow: {len(pages)} Page(s) connected and subscribed to leadgen: "
                + ", ".join(p["name"] for p in pages))

            first = await sb.submit_lead(LEADS[0])
            await wait_for(store, 1, 15)
            again = await sb.deliver(first)
            say(f"3. lead {first} delivered, fetched and stored; delivered again (HTTP {again})")

            sb.fail(outage)
            second = await sb.submit_lead(LEADS[1])
            say(f"4. lead {second} delivered while the Graph API answers 500 for {outage:.0f}s")
            await wait_for(store, 2, outage + 20)
            third = await sb.submit_lead(LEADS[2])
            await wait_for(store, 3, 15)
            say(f"5. lead {third} delivered and stored")
            await target.wait_for(3, 15)
            if target.refused or any(key != lead for key, lead in target.received.items()):
                raise DemoFailed("the forward target refused a signature or met a wrong Idempotency-Key")
            say(f"6. the forward target {target.url} received {len(target.received)} leads, each "
                f"signed (X-Corvane-Signature-256 valid)\n"
                f"   Idempotency-Key: {', '.join(sorted(target.received))}")

            statuses = {d.status for d in sb.deliveries}
            if statuses != {200}:
                raise DemoFailed(f"a delivery was refused: {sorted(statuses)}")
            rows = sorted(await store.leads(), key=lambda r: r["leadgen_id"])
            counts = await store.counts()
            say("\nStored CRM records:\n" + table(rows))
            say(f"\n{stats.deliveries} deliveries received, {stats.duplicates} duplicate(s) skipped, "
                f"{counts['retries']} retr{'y' if counts['retries'] == 1 else 'ies'}, "
                f"{counts['leads']} leads stored")
            if counts["leads"] != 3 or stats.duplicates < 1 or counts["retries"] < 1:
                raise DemoFailed("the summary is not what the road of a lead should give")
        finally:
            await runner.cleanup()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m corvane demo", description=" ".join(__doc__.split()))
    parser.add_argument("--db", type=Path, default=None,
                        help="the SQLite file to create (default: a new file in a temporary folder)")
    parser.add_argument("--outage", type=float, default=3.0, help="seconds the Graph API answers 500")
    args = parser.parse_args(argv)
    db = args.db or Path(tempfile.mkdtemp(prefix="corvane-demo-")) / "leads.sqlite3"
    if db.exists():
        print(f"{db} exists; the demo starts from a fresh file", file=sys.stderr)
        return 2
    logging.basicConfig(level=logging.ERROR, format="  [%(name)s] %(message)s")
    say(f"SQLite file: {db}")
    try:
        asyncio.run(run(db, args.outage))
    except (DemoFailed, OSError, RuntimeError) as error:
        print(f"demo failed: {error}", file=sys.stderr)
        return 1
    say(f"The records stay in {db}")
    return 0
