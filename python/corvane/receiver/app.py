"""The lead receiver: an aiohttp.web application for Meta's lead webhooks.

Routes: GET/POST /webhook (handshake, deliveries), /connect and /oauth/callback (the login flow
that connects Pages), /pages and /leads (admin views, JSON), /health.
"""
from __future__ import annotations

import json
import logging
import secrets
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import aiohttp
from aiohttp import web

from corvane.errors import CorvaneError
from corvane.facebook import Facebook
from corvane.webhooks import parse_events, verify_challenge, verify_request

from .access import admin_allowed
from .redact import describe
from .store import NewEvent, Store, open_store
from .worker import Worker, WorkerSettings

log = logging.getLogger("corvane.receiver")

MAX_BODY = 1024 * 1024
STATE_TTL = 600.0
# Meta's Lead Ads retrieval guide: the Page permissions, leads_retrieval, and for the ad behind
# each lead ads_management with pages_read_engagement and pages_manage_ads.
SCOPES = ("pages_show_list", "pages_read_engagement", "pages_manage_metadata", "pages_manage_ads",
          "leads_retrieval", "ads_management")


@dataclass
class Config:
    app_id: str
    app_secret: str
    verify_token: str
    admin_token: str | None = None
    public_url: str | None = None  # e.g. https://crm.example; else taken from each request
    config_id: str | None = None
    graph_version: str | None = None
    scopes: Sequence[str] = SCOPES
    worker: WorkerSettings = field(default_factory=WorkerSettings)


@dataclass
class Stats:
    deliveries: int = 0
    events: int = 0
    duplicates: int = 0


# Typed application keys where aiohttp has them (3.9 on); plain text keys before.
if hasattr(web, "AppKey"):
    STORE = web.AppKey("store", Store)
    WORKER = web.AppKey("worker", Worker)
    STATS = web.AppKey("stats", Stats)
else:  # pragma: no cover - the oldest supported aiohttp
    STORE, WORKER, STATS = "corvane.store", "corvane.worker", "corvane.stats"  # type: ignore[assignment]


class Receiver:
    def __init__(self, store: Store, config: Config, facebook: Facebook, *, release_claims: bool,
                 owns_facebook: bool) -> None:
        self.store = store
        self.owns_facebook = owns_facebook
        self.config = config
        self.facebook = facebook
        self.worker = Worker(store, facebook, config.worker, (config.app_secret,))
        self.stats = Stats()
        self.release_claims = release_claims

    # ---- webhook ----

    async def handshake(self, request: web.Request) -> web.Response:
        challenge = verify_challenge(request.query, self.config.verify_token)
        if challenge is None:
            return web.Response(status=403, text="Forbidden")
        return web.Response(text=str(challenge), content_type="text/plain")

    async def delivery(self, request: web.Request) -> web.Response:
        # Refused before a byte is parsed; aiohttp stops a longer chunked body the same way.
        if request.content_length is not None and request.content_length > MAX_BODY:
            return web.Response(status=413, text="Payload Too Large")
        body = await request.read()
        if not verify_request(self.config.app_secret, body, request.headers):
            return web.Response(status=403, text="Forbidden")
        try:
            payload = json.loads(body)
            if not isinstance(payload, dict):
                raise ValueError("not an object")
            events = [
                NewEvent(e.key, e.object_type, e.field, e.page_id, e.leadgen_id,
                         json.dumps(e.value, ensure_ascii=False, separators=(",", ":")))
                for e in parse_events(payload)
            ]
        except (ValueError, TypeError):
            return web.Response(status=400, text="Bad Request")
        added = await self.store.record(events, time.time())
        self.stats.deliveries += 1
        self.stats.events += len(events)
        self.stats.duplicates += len(events) - added
        if added:
            self.worker.wake()
        return web.Response(text="EVENT_RECEIVED")

    # ---- login flow ----

    def _redirect_uri(self, request: web.Request) -> str:
        base = self.config.public_url or f"{request.scheme}://{request.host}"
        return base.rstrip("/") + "/oauth/callback"

    async def connect(self, request: web.Request) -> web.Response:
        if not admin_allowed(request, self.config.admin_token):
            return web.Response(status=403, text="Forbidden")
        state = secrets.token_urlsafe(32)
        redirect_uri = self._redirect_uri(request)
        await self.store.put_state(state, redirect_uri, time.time() + STATE_TTL)
        link = self.facebook.login_url(redirect_uri=redirect_uri, state=state,
                                       scopes=list(self.config.scopes))
        raise web.HTTPFound(link)

    async def callback(self, request: web.Request) -> web.Response:
        state = request.query.get("state", "")
        # Spent before anything else: a state is good for one callback, whatever happens next.
        redirect_uri = await self.store.take_state(state, time.time()) if state else None
        if redirect_uri is None:
            return web.Response(status=400, text="Invalid or expired login state")
        code = request.query.get("code", "")
        if not code:
            return web.Response(status=400, text="Login was not approved")
        fb = self.facebook
        try:
            bundle = await fb.exchange_code(code, redirect_uri=redirect_uri)
            user_token = bundle.access_token or ""
            connected = []
            for page in await fb.pages(user_token):
                if not page.id or not page.access_token:
                    continue
                await fb.subscribe_page(page.id, page.access_token, ["leadgen"])
                await self.store.save_page(page.id, page.name, page.access_token, user_token, time.time())
                # Leads that arrived before the Page was connected are fetched now, not after
                # their back-off.
                await self.store.retry_page_now(page.id, time.time())
                connected.append(f"{page.name} ({page.id})")
        except CorvaneError as error:
            log.warning("login callback failed: %s", describe(error, (self.config.app_secret, code)))
            return web.Response(status=502, text="The Graph API refused the login")
        self.worker.wake()
        log.info("connected %d Page(s)", len(connected))
        return web.Response(text="Connected Pages:\n" + "\n".join(connected) + "\n")

    # ---- admin views ----

    async def pages(self, request: web.Request) -> web.Response:
        if not admin_allowed(request, self.config.admin_token):
            return web.Response(status=403, text="Forbidden")
        return web.json_response(await self.store.pages())

    async def leads(self, request: web.Request) -> web.Response:
        if not admin_allowed(request, self.config.admin_token):
            return web.Response(status=403, text="Forbidden")
        try:
            limit = max(1, min(1000, int(request.query.get("limit", "100"))))
        except ValueError:
            limit = 100
        return web.json_response(await self.store.leads(limit),
                                 dumps=lambda v: json.dumps(v, ensure_ascii=False))

    async def health(self, request: web.Request) -> web.Response:
        return web.json_response({"ok": True})

    # ---- lifecycle ----

    async def on_startup(self, app: web.Application) -> None:
        await self.store.open()
        if self.release_claims:
            await self.store.release_claims()
        self.worker.start()

    async def on_cleanup(self, app: web.Application) -> None:
        await self.worker.stop()
        if self.owns_facebook:
            await self.facebook.close()
        await self.store.close()


def create_app(db: str | Store, config: Config, *, session: aiohttp.ClientSession | None = None,
               facebook: Facebook | None = None) -> web.Application:
    """The receiver as an aiohttp.web application. `db` is an SQLite path, a postgresql:// DSN
    or a Store; `session` is handed to the Facebook client (the sandbox's, in tests)."""
    store = open_store(db) if isinstance(db, str) else db
    owns_facebook = facebook is None
    if facebook is None:
        options: dict[str, Any] = {"session": session} if session is not None else {}
        if config.graph_version:
            options["graph_version"] = config.graph_version
        facebook = Facebook(app_id=config.app_id, app_secret=config.app_secret,
                            config_id=config.config_id, **options)
    # A single SQLite receiver owns every claim, so claims left by a stopped run are freed at
    # start; receivers sharing PostgreSQL wait for the lease instead.
    from .sqlite_store import SqliteStore

    receiver = Receiver(store, config, facebook, release_claims=isinstance(store, SqliteStore),
                        owns_facebook=owns_facebook)
    app = web.Application(client_max_size=MAX_BODY)
    app[STORE] = store
    app[WORKER] = receiver.worker
    app[STATS] = receiver.stats
    app.router.add_get("/webhook", receiver.handshake)
    app.router.add_post("/webhook", receiver.delivery)
    app.router.add_get("/connect", receiver.connect)
    app.router.add_get("/oauth/callback", receiver.callback)
    app.router.add_get("/pages", receiver.pages)
    app.router.add_get("/leads", receiver.leads)
    app.router.add_get("/health", receiver.health)
    app.on_startup.append(receiver.on_startup)
    app.on_cleanup.append(receiver.on_cleanup)
    return app
