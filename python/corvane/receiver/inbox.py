"""The operator's inbox page at GET /: connected Pages, recent leads, waiting and failed events
with a requeue button each, and the forward target's state.

Behind the admin token: the login form takes the token once and opens a session, kept in this
process's memory (a random id in an HttpOnly, SameSite=Strict cookie; the token itself is never
in the cookie). Every form on the page carries the session's CSRF token. Without an admin token
the page is closed as the other admin routes are, and with trusting loopback asked for, a
loopback request gets a session without logging in.
"""
from __future__ import annotations

import hmac
import logging
import secrets
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from aiohttp import web

from .access import NO_ADMIN_TOKEN, admin_allowed
from .inbox_html import CONTENT_SECURITY_POLICY, View, inbox_page, login_page

if TYPE_CHECKING:
    from .app import Receiver

COOKIE = "corvane_inbox"
SESSION_TTL = 12 * 3600.0
MAX_SESSIONS = 1000  # the oldest goes first: logging in again and again can't fill memory
RECENT_LEADS = 20
EVENTS_SHOWN = 100
WRONG_TOKEN = "Token noto'g'ri."


def same(given: str, expected: str) -> bool:
    try:
        return hmac.compare_digest(given.encode(), expected.encode())
    except UnicodeError:  # bytes that are no UTF-8 arrive as lone surrogates: never a match
        return False


@dataclass
class Session:
    csrf: str
    expires: float  # time.monotonic()


class Sessions:
    """Sessions of this process by their random id; each ends SESSION_TTL after it began."""

    def __init__(self, ttl: float = SESSION_TTL, limit: int = MAX_SESSIONS) -> None:
        self.ttl = ttl
        self.limit = limit
        self._by_id: dict[str, Session] = {}

    def begin(self) -> tuple[str, Session]:
        now = time.monotonic()
        for sid in [s for s, session in self._by_id.items() if session.expires <= now]:
            del self._by_id[sid]
        while len(self._by_id) >= self.limit:
            del self._by_id[next(iter(self._by_id))]
        sid = secrets.token_urlsafe(32)
        session = self._by_id[sid] = Session(secrets.token_urlsafe(32), now + self.ttl)
        return sid, session

    def get(self, sid: str | None) -> Session | None:
        session = self._by_id.get(sid) if sid else None
        if session is not None and session.expires <= time.monotonic():
            del self._by_id[sid]  # type: ignore[arg-type]
            return None
        return session

    def end(self, sid: str | None) -> None:
        if sid:
            self._by_id.pop(sid, None)


class Inbox:
    def __init__(self, receiver: Receiver) -> None:
        self.receiver = receiver
        self.config = receiver.config
        self.sessions = Sessions()

    # ---- who is in ----

    def _closed(self, request: web.Request) -> bool:
        """No admin token: the page follows the other admin routes (closed, or loopback only)."""
        return not self.config.admin_token and not admin_allowed(
            request, None, trust_loopback=self.config.trust_loopback)

    def _refused(self) -> web.Response:
        configured = self.config.admin_token or self.config.trust_loopback
        return _secured(web.Response(status=403, text="Forbidden" if configured else NO_ADMIN_TOKEN))

    def _session(self, request: web.Request) -> tuple[str, Session] | None:
        sid = request.cookies.get(COOKIE)
        session = self.sessions.get(sid)
        return (sid, session) if sid and session else None

    async def _checked_post(self, request: web.Request) -> tuple[str, dict[str, str]] | None:
        """The session id and the form of a POST from the page; None when the request has no
        session or not its CSRF token."""
        if self._closed(request):
            return None
        found = self._session(request)
        if found is None:
            return None
        form = {k: v for k, v in (await request.post()).items() if isinstance(v, str)}
        if not same(form.get("csrf", ""), found[1].csrf):
            return None
        return found[0], form

    def _open_session(self, request: web.Request, response: web.StreamResponse) -> Session:
        sid, session = self.sessions.begin()
        secure = request.secure or (self.config.public_url or "").lower().startswith("https:")
        response.set_cookie(COOKIE, sid, max_age=int(self.sessions.ttl), path="/", httponly=True,
                            samesite="Strict", secure=secure or None)
        return session

    # ---- routes ----

    async def page(self, request: web.Request) -> web.Response:
        if self._closed(request):
            return self._refused()
        found = self._session(request)
        response = web.Response(content_type="text/html", charset="utf-8")
        if found is not None:
            session = found[1]
        elif not self.config.admin_token:  # loopback trusted: nothing to log in with
            session = self._open_session(request, response)
        else:
            response.text = login_page()
            return _secured(response)
        requeued = request.query.get("requeued", "")
        response.text = inbox_page(await self._view(session.csrf, int(requeued) if requeued.isdigit()
                                                    and len(requeued) < 10 else None))
        return _secured(response)

    async def login(self, request: web.Request) -> web.Response:
        if not self.config.admin_token:
            return self._refused()
        given = (await request.post()).get("token")
        if not isinstance(given, str) or not same(given, self.config.admin_token):
            # One line per 30 s with the count of the others: guessing can't flood the log.
            self.receiver.outage.failed("lidlar qutisi: noto'g'ri admin token bilan kirishga urinish",
                                        PermissionError(), str(request.remote), level=logging.WARNING)
            return _secured(web.Response(status=403, text=login_page(WRONG_TOKEN),
                                         content_type="text/html", charset="utf-8"))
        self.sessions.end(request.cookies.get(COOKIE))  # a new id at each login
        response = _see_other("/")
        self._open_session(request, response)
        return response

    async def logout(self, request: web.Request) -> web.Response:
        checked = await self._checked_post(request)
        if checked is None:
            return _forbidden()
        self.sessions.end(checked[0])
        response = _see_other("/")
        response.del_cookie(COOKIE, path="/")
        return response

    async def requeue(self, request: web.Request) -> web.Response:
        checked = await self._checked_post(request)
        if checked is None:
            return _forbidden()
        form = checked[1]
        keys = [form["key"]] if form.get("key") else []
        state = form.get("state") if form.get("state") in ("waiting", "failed") else None
        if not (keys or state):
            return _secured(web.Response(status=400, text="Bad Request: key yoki state=waiting|failed kerak"))
        count = await self.receiver.requeue_events(keys, state)
        return _see_other(f"/?requeued={count}")

    # ---- the view ----

    async def _view(self, csrf: str, requeued: int | None) -> View:
        store, config, stats = self.receiver.store, self.config, self.receiver.stats
        forward = config.forward
        return View(
            csrf=csrf,
            pages=await store.pages(),
            leads=await store.leads(RECENT_LEADS),
            waiting=await store.events("waiting", EVENTS_SHOWN),
            failed=await store.events("failed", EVENTS_SHOWN),
            # Only the host: the URL's path or query may carry the CRM's own key.
            forward_host=(urlsplit(forward.url).hostname or "?") if forward else None,
            forward_attempts=forward.attempts if forward else 0,
            forward_counts=await store.forward_counts() if forward else {},
            forward_elsewhere=config.role == "receive",
            stats=(stats.deliveries, stats.events, stats.duplicates),
            requeued=requeued,
            can_log_out=bool(config.admin_token),
            limit=EVENTS_SHOWN,
        )


def _secured(response: web.Response) -> web.Response:
    response.headers["Cache-Control"] = "no-store"
    response.headers["Content-Security-Policy"] = CONTENT_SECURITY_POLICY
    response.headers["X-Content-Type-Options"] = "nosniff"
    response.headers["Referrer-Policy"] = "no-referrer"
    response.headers["X-Frame-Options"] = "DENY"
    return response


def _see_other(location: str) -> web.Response:
    return _secured(web.Response(status=303, headers={"Location": location}))


def _forbidden() -> web.Response:
    return _secured(web.Response(status=403, text="Forbidden"))


def add_inbox(app: web.Application, receiver: Receiver) -> None:
    inbox = Inbox(receiver)
    app.router.add_get("/", inbox.page)
    app.router.add_post("/login", inbox.login)
    app.router.add_post("/logout", inbox.logout)
    app.router.add_post("/inbox/requeue", inbox.requeue)
