"""The lead receiver: an aiohttp.web application for Meta's lead webhooks.

Routes: GET/POST /webhook (handshake, deliveries), /connect and /oauth/callback (the login flow
that connects Pages), /pages, /leads and /events (admin views, JSON), POST /events/requeue,
/health (the store's write state), /metrics (Prometheus), and the operator's inbox page at /
(inbox.py).
"""
from __future__ import annotations

import asyncio
import json
import logging
import secrets
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

import aiohttp
from aiohttp import http_exceptions, web

from corvane.errors import CorvaneError
from corvane.facebook import Facebook
from corvane.webhooks import _delivery_rows, parse_events, verify_challenge, verify_request

from .access import NO_ADMIN_TOKEN, admin_allowed, guard_aiohttp_access_log, redirect_host_allowed
from .delivery_connection import serve_deliveries_lean
from .forward import Forwarder, ForwardSettings
from .inbox import add_inbox
from .outage import OutageLog
from .redact import describe
from .store import STATES, NewEvent, Store, check_storable, open_store
from .store_rows import to_json
from .traffic import Traffic
from .worker import Worker, WorkerSettings

log = logging.getLogger("corvane.receiver")

MAX_BODY = 1024 * 1024
STATE_TTL = 600.0
ROLES = ("both", "receive", "work")
MAX_DEPTH = 64  # Meta's deliveries nest six levels deep
PROBE_EVERY = 1.0  # /health asks anyone in: at most one write probe a second
PROBE_TIMEOUT = 2.0
NO_REDIRECT_HOST = ("Bad Request: bu Host login qaytish manzili uchun ruxsat etilmagan. "
                    "--public-url (CORVANE_PUBLIC_URL) yoki --redirect-host bilan sozlang")
# Meta's Lead Ads retrieval guide: the Page permissions, leads_retrieval, and for the ad behind
# each lead ads_management with pages_read_engagement and pages_manage_ads.
SCOPES = ("pages_show_list", "pages_read_engagement", "pages_manage_metadata", "pages_manage_ads",
          "leads_retrieval", "ads_management")


@dataclass
class Config:
    app_id: str
    app_secret: str = field(repr=False)
    verify_token: str = field(repr=False)
    admin_token: str | None = field(default=None, repr=False)
    metrics_token: str | None = field(default=None, repr=False)  # GET /metrics only, besides the admin token
    # Without an admin token the admin routes are closed; this opens them to loopback
    # connections that name a loopback Host (a receiver on a developer's machine).
    trust_loopback: bool = False
    public_url: str | None = None  # e.g. https://crm.example; else taken from each request ...
    redirect_hosts: Sequence[str] = ()  # ... whose Host must be one of these (or loopback)
    body_timeout: float = 10.0  # seconds to receive a delivery's body
    # Signed delivery bodies being received at once, not yet verified: at most this many, and
    # at most this many bytes by their Content-Length (a chunked one counts as the largest). A
    # burst of small deliveries fits; trickling megabyte bodies do not pin memory.
    max_unverified: int = 256
    max_unverified_bytes: int = 32 * 1024 * 1024
    # A database that is down at start is waited for, with back-off; else the start fails
    # with StoreUnavailable.
    wait_for_store: bool = True
    # "receive": the webhook and admin routes, no worker; "work": the worker (/health, /metrics)
    # only; "both". Receiving and working as separate processes on one database keeps the
    # fetches off the event loop that acknowledges deliveries.
    role: str = "both"
    config_id: str | None = None
    graph_version: str | None = None
    scopes: Sequence[str] = SCOPES
    worker: WorkerSettings = field(default_factory=WorkerSettings)
    # Each stored lead POSTed to a CRM (url, secret, attempts ...); None: the CRM pulls.
    forward: ForwardSettings | None = None


class StoreUnavailable(Exception):
    """The store could not be opened at start (and waiting for it was not asked for)."""


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
        # The worker gives way to deliveries only where it shares their event loop.
        self.traffic = Traffic()
        self.worker = Worker(store, facebook, config.worker, (config.app_secret,),
                             self.traffic if config.role == "both" else None)
        self.forwarder = Forwarder(store, config.forward) if config.forward else None
        if self.forwarder is not None:
            self.worker.stored = self.forwarder.wake
        self.stats = Stats()
        self.release_claims = release_claims
        self.outage = OutageLog(log)
        self._unverified = 0
        self._unverified_bytes = 0
        self._probe: asyncio.Task[None] | None = None
        self._probed_at = float("-inf")
        self._store_state: str | None = None  # None: the last probe wrote

    # ---- webhook ----

    async def handshake(self, request: web.Request) -> web.Response:
        challenge = verify_challenge(request.query, self.config.verify_token)
        if challenge is None:
            return web.Response(status=403, text="Forbidden")
        return web.Response(text=str(challenge), content_type="text/plain")

    async def delivery(self, request: web.Request) -> web.StreamResponse:
        self.traffic.arrived()
        # Refused before a byte is read, and the connection closed rather than drained: an
        # oversized or stalled body costs the server nothing more.
        length = request.content_length  # parsed from the header at each ask
        if length is not None and length > MAX_BODY:
            return _closing(413, "Payload Too Large")
        if not request.headers.get("X-Hub-Signature-256"):  # unsigned: its body is never read
            return _closing(403, "Forbidden")
        size = MAX_BODY if length is None else length
        if (self._unverified >= self.config.max_unverified
                or self._unverified_bytes + size > self.config.max_unverified_bytes):
            return _closing(503, "Service Unavailable", {"Retry-After": "5"})
        self._unverified += 1
        self._unverified_bytes += size
        try:
            if length is not None and request.content.is_eof():
                # All of it came with the head, within the bound: taken as it is, no wait.
                body = request.content.read_nowait()
            else:
                body = await asyncio.wait_for(request.read(), self.config.body_timeout)
        except asyncio.TimeoutError:
            return _closing(408, "Request Timeout")
        except web.HTTPRequestEntityTooLarge:  # a chunked body past the bound
            return _closing(413, "Payload Too Large")
        except (ConnectionError, aiohttp.ClientError, http_exceptions.HttpProcessingError) as error:
            # The sender went away mid-body: nothing was verified, nothing to keep.
            log.debug("yetkazish tanasi oxirigacha kelmadi: %s", type(error).__name__)
            return _closing(400, "Bad Request")
        finally:
            self._unverified -= 1
            self._unverified_bytes -= size
        status, text = await self.accept(body, request.headers)
        return web.Response(status=status, text=text)

    async def accept(self, body: bytes, headers: Mapping[str, str]) -> tuple[int, str]:
        """A delivery's whole body, verified, parsed and recorded: the status and text to
        answer. Both ways a delivery comes in (the route above, and the lean connection of
        delivery_connection.py) end here."""
        if not verify_request(self.config.app_secret, body, headers):
            return 403, "Forbidden"
        try:
            # Almost every delivery goes from bytes to rows in C++; a body it declines, or one
            # that may nest too deep, is judged by json.loads as before.
            rows = None if _may_nest_deep(body) else _delivery_rows(body)
            if rows is not None:
                events = [NewEvent(*row) for row in rows]
            else:
                payload = _decode(body)
                if not isinstance(payload, dict) or (_may_nest_deep(body) and _depth(payload) > MAX_DEPTH):
                    raise ValueError("not an object, or nested too deep")
                events = [
                    NewEvent(e.key, e.object_type, e.field, e.page_id, e.leadgen_id, to_json(e.value))
                    for e in parse_events(payload)
                ]
            for e in events:  # one event that no database would take must not fail others
                check_storable(e)
        except (ValueError, TypeError, RecursionError):
            return 400, "Bad Request"
        try:
            added = await self.store.record(events, time.time())
        except Exception as error:  # noqa: BLE001 - not acknowledged: Meta delivers it again
            self.outage.failed("yetkazish saqlanmadi", error, describe(error, (self.config.app_secret,)))
            return 503, "Service Unavailable"
        self.outage.recovered("yetkazish saqlanmadi")
        self.stats.deliveries += 1
        self.stats.events += len(events)
        self.stats.duplicates += len(events) - added
        if added:
            self.worker.wake()
        return 200, "EVENT_RECEIVED"

    # ---- login flow ----

    def _redirect_uri(self, request: web.Request) -> str:
        base = self.config.public_url or f"{request.scheme}://{request.host}"
        return base.rstrip("/") + "/oauth/callback"

    async def connect(self, request: web.Request) -> web.Response:
        if not self._admin(request):
            return self._refused()
        if not self.config.public_url and not redirect_host_allowed(request, self.config.redirect_hosts):
            return web.Response(status=400, text=NO_REDIRECT_HOST)
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
        if not self._admin(request):
            return self._refused()
        return web.json_response(await self.store.pages())

    async def leads(self, request: web.Request) -> web.Response:
        if not self._admin(request):
            return self._refused()
        dumps = lambda v: json.dumps(v, ensure_ascii=False)  # noqa: E731
        if "after" not in request.query:  # the newest, for a person looking
            return web.json_response(await self.store.leads(_limit(request, 100)), dumps=dumps)
        # For a CRM that polls: in commit order after a cursor, with the next cursor. A lead
        # may come twice (the CRM's write failed, it asks again): it is keyed by leadgen_id.
        after = request.query["after"] or "0"
        if not after.isdigit() or len(after) > 18:
            return web.Response(status=400, text="Bad Request: after= oldingi javobdagi next bo'lishi kerak")
        leads = await self.store.leads_after(int(after), _limit(request, 100))
        return web.json_response({"leads": leads, "next": str(leads[-1]["seq"]) if leads else after},
                                 dumps=dumps)

    async def events(self, request: web.Request) -> web.Response:
        if not self._admin(request):
            return self._refused()
        state = request.query.get("state") or None
        if state is not None and state not in STATES:
            return web.Response(status=400, text=f"Bad Request: state {' / '.join(STATES)} bo'lishi kerak")
        limit = _limit(request, 100)
        return web.json_response(await self.store.events(state, limit),
                                 dumps=lambda v: json.dumps(v, ensure_ascii=False))

    async def requeue(self, request: web.Request) -> web.Response:
        if not self._admin(request):
            return self._refused()
        keys = request.query.getall("key", [])
        state = request.query.get("state") or None
        if (state is not None and state not in ("waiting", "failed")) or not (keys or state):
            return web.Response(status=400, text="Bad Request: key=<kalit> yoki state=waiting|failed kerak")
        return web.json_response({"requeued": await self.requeue_events(keys, state)})

    async def requeue_events(self, keys: Sequence[str], state: str | None) -> int:
        count = await self.store.requeue(time.time(), keys=keys, state=state)
        if count:
            self.worker.wake()
        return count

    def _admin(self, request: web.Request) -> bool:
        return admin_allowed(request, self.config.admin_token, trust_loopback=self.config.trust_loopback)

    def _refused(self) -> web.Response:
        configured = self.config.admin_token or self.config.trust_loopback
        return web.Response(status=403, text="Forbidden" if configured else NO_ADMIN_TOKEN)

    async def health(self, request: web.Request) -> web.Response:
        """ok while the store takes writes: a small write at most once a second, answered
        within PROBE_TIMEOUT even when the database hangs."""
        if self._probe is None and time.monotonic() - self._probed_at >= PROBE_EVERY:
            self._probe = asyncio.ensure_future(self._write_probe())
        if self._probe is not None:
            await asyncio.wait([self._probe], timeout=PROBE_TIMEOUT)
        state = self._store_state
        if self._probe is not None and not self._probe.done():
            state = "yozish sinovi javob bermadi"
        body = {"ok": state is None, "store": "writable" if state is None else state}
        return web.json_response(body, status=200 if state is None else 503)

    async def _write_probe(self) -> None:
        try:
            await self.store.probe(time.time())
            self._store_state = None
        except Exception as error:  # noqa: BLE001 - reported, never raised
            self._store_state = f"yozib bo'lmadi: {type(error).__name__}"
        finally:
            self._probed_at = time.monotonic()
            self._probe = None

    # ---- lifecycle ----

    async def _open_store(self) -> None:
        delay = 1.0
        while True:
            try:
                await self.store.open()
                break
            except Exception as error:  # noqa: BLE001 - a database that is not up yet
                reason = describe(error, _store_secrets(self.store))
                if not (self.config.wait_for_store and _not_up_yet(self.store, error)):
                    raise StoreUnavailable(f"ma'lumotlar bazasini ochib bo'lmadi: {reason}") from None
                self.outage.failed("ma'lumotlar bazasiga ulanib bo'lmadi, kutilmoqda", error, reason,
                                   level=logging.WARNING)
            await asyncio.sleep(delay)
            delay = min(30.0, delay * 2)
        self.outage.recovered("ma'lumotlar bazasiga ulanib bo'lmadi, kutilmoqda")

    async def on_startup(self, app: web.Application) -> None:
        await self._open_store()
        if self.config.role == "receive":
            return
        if self.release_claims:
            await self.store.release_claims()
        self.worker.start()
        if self.forwarder is not None:
            self.forwarder.start()

    async def on_cleanup(self, app: web.Application) -> None:
        await self.worker.stop()
        if self.forwarder is not None:
            await self.forwarder.stop()
        if self._probe is not None:  # a probe still waiting on a hung database is given up
            self._probe.cancel()
            await asyncio.wait([self._probe])
        if self.owns_facebook:
            await self.facebook.close()
        await self.store.close()


def _limit(request: web.Request, default: int) -> int:
    try:
        return max(1, min(1000, int(request.query.get("limit", str(default)))))
    except ValueError:
        return default


def _closing(status: int, text: str, headers: dict[str, str] | None = None) -> web.Response:
    response = web.Response(status=status, text=text, headers=headers)
    response.force_close()
    return response


def _store_secrets(store: Store) -> tuple[str | None, ...]:
    dsn = getattr(store, "dsn", None)
    if not isinstance(dsn, str):
        return ()
    try:
        return (dsn, urlsplit(dsn).password)
    except ValueError:
        return (dsn,)


def _may_nest_deep(body: bytes) -> bool:
    # Each level opens with a bracket: a body with fewer (almost every delivery) needs no walk.
    return body.count(b"{") + body.count(b"[") > MAX_DEPTH


def _depth(value: Any) -> int:
    deepest, stack = 0, [(value, 1)]
    while stack:
        node, depth = stack.pop()
        deepest = max(deepest, depth)
        if deepest > MAX_DEPTH:
            break
        children = node.values() if isinstance(node, dict) else node
        stack.extend((c, depth + 1) for c in children if isinstance(c, (dict, list)))
    return deepest


# What a database server says while it is down or starting; anything else (a wrong password, a
# missing database or directory) is a setting to fix, not to wait out.
_NOT_UP_YET = ("CannotConnectNowError", "TooManyConnectionsError", "ConnectionDoesNotExistError")


def _not_up_yet(store: Store, error: Exception) -> bool:
    if not isinstance(getattr(store, "dsn", None), str):
        return False  # a file store: nothing to wait for
    return isinstance(error, (OSError, asyncio.TimeoutError)) or type(error).__name__ in _NOT_UP_YET


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is no JSON")


# What json.loads would do with this argument, without building a decoder for each delivery.
_DECODER = json.JSONDecoder(parse_constant=_no_constant)


def _decode(body: bytes) -> Any:
    return _DECODER.decode(body.decode(json.detect_encoding(body), "surrogatepass"))


def create_app(db: str | Store, config: Config, *, session: aiohttp.ClientSession | None = None,
               facebook: Facebook | None = None) -> web.Application:
    """The receiver as an aiohttp.web application. `db` is an SQLite path, a postgresql:// DSN
    or a Store; `session` is handed to the Facebook client (the sandbox's, in tests).
    aiohttp's own access log, if a host keeps it, is cut of queries from here on."""
    guard_aiohttp_access_log()
    if config.forward is not None and not (config.forward.url and config.forward.secret):
        raise ValueError("Config.forward: url va secret ikkalasi ham kerak (CORVANE_FORWARD_URL, "
                         "CORVANE_FORWARD_SECRET)")
    if config.role not in ROLES:
        raise ValueError(f"Config.role: {' / '.join(ROLES)} bo'lishi kerak, {config.role!r} emas")
    store = open_store(db) if isinstance(db, str) else db
    owns_facebook = facebook is None
    if facebook is None:
        options: dict[str, Any] = {"session": session} if session is not None else {}
        if config.graph_version:
            options["graph_version"] = config.graph_version
        facebook = Facebook(app_id=config.app_id, app_secret=config.app_secret,
                            config_id=config.config_id, **options)
    # Claims left by a stopped run are freed at the start when this process is the store's only
    # user; receivers sharing PostgreSQL wait for the lease instead.
    receiver = Receiver(store, config, facebook, release_claims=store.single_user,
                        owns_facebook=owns_facebook)
    app = web.Application(client_max_size=MAX_BODY)
    app[STORE] = store
    app[WORKER] = receiver.worker
    app[STATS] = receiver.stats
    if config.role != "work":
        app.router.add_get("/webhook", receiver.handshake)
        app.router.add_post("/webhook", receiver.delivery)
        app.router.add_get("/connect", receiver.connect)
        app.router.add_get("/oauth/callback", receiver.callback)
        app.router.add_get("/pages", receiver.pages)
        app.router.add_get("/leads", receiver.leads)
        app.router.add_get("/events", receiver.events)
        app.router.add_post("/events/requeue", receiver.requeue)
        add_inbox(app, receiver)  # GET /, POST /login, /logout, /inbox/requeue
        serve_deliveries_lean(app, receiver, MAX_BODY)
    app.router.add_get("/health", receiver.health)
    from .metrics import MetricsRoute  # prometheus_client loads with an app, not with the package

    app.router.add_get("/metrics", MetricsRoute(receiver).handle)
    app.on_startup.append(receiver.on_startup)
    app.on_cleanup.append(receiver.on_cleanup)
    return app
