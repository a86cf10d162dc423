"""The sandbox server: one TLS listener on 127.0.0.1 that answers for every emulated host
(told apart by the Host header), plus the webhook side that delivers leads to a receiver."""
from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import secrets
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, urlsplit

import aiohttp
from aiohttp import web

from .. import http as _http
from . import dialog, instagram, linkedin
from .fb_content import PageContent
from .graph import GRAPH_HOST, GraphHost
from .tls import Certificates, make_session
from .usage import Strictness, Usage
from .world import AD_ID, FORM_ID, PAGE_STORE, World

if TYPE_CHECKING:
    from ..facebook import Facebook
    from ..instagram import Instagram
    from ..linkedin import LinkedIn

# Every host the library talks to; the ones without a handler yet answer 404.
HOSTS = (
    GRAPH_HOST,
    dialog.FACEBOOK_WWW,
    "graph.instagram.com",
    "api.instagram.com",
    "www.instagram.com",
    "www.linkedin.com",
    "api.linkedin.com",
)


@dataclass
class Delivery:
    """One webhook POST the sandbox made, and how the receiver answered."""

    lead_id: str
    url: str
    status: int


class Sandbox:
    """A local stand-in for the platforms. Use it as an async context manager::

        async with Sandbox() as sb:
            fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
    """

    def __init__(self, *, world: World | None = None, rate_limit: tuple[int, float] = (10_000, 60.0),
                 strict: Strictness | None = None, usage: Usage | None = None) -> None:
        self.world = world or World()
        # The platforms' strict rules (each on unless a test switches it off) and the Graph
        # API's usage accounting, shared by the Graph API and Instagram Graph hosts.
        self.strict = strict or Strictness()
        self.usage = usage or Usage()
        self.graph = GraphHost(self.world, rate_limit=rate_limit, strict=self.strict, usage=self.usage)
        self.linkedin = linkedin.LinkedInHosts(self.world.linkedin)
        self.instagram = instagram.InstagramHosts(self.world.instagram, PAGE_STORE, strict=self.strict,
                                                  usage=self.usage)
        self.graph.instagram = self.instagram
        self.graph.content = PageContent(self.world)
        self.port = 0
        self.deliveries: list[Delivery] = []
        self._certs: Certificates | None = None
        self._runner: web.AppRunner | None = None
        self._sessions: list[aiohttp.ClientSession] = []
        self._outbound: aiohttp.ClientSession | None = None
        self._webhook: tuple[str, str] | None = None
        self._guard: asyncio.Task[None] | None = None

    @property
    def app_id(self) -> str:
        return self.world.app_id

    @property
    def app_secret(self) -> str:
        return self.world.app_secret

    # ---- lifecycle ----

    async def start(self) -> Sandbox:
        self._certs = Certificates(HOSTS)
        app = web.Application()
        app.router.add_route("*", "/{tail:.*}", self._dispatch)
        self._runner = web.AppRunner(app, access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0, ssl_context=self._certs.server_context())
        await site.start()
        self.port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
        # Deliveries go to the receiver over plain loopback HTTP, not through the resolver.
        self._outbound = aiohttp.ClientSession(trust_env=False)
        self._guard = asyncio.get_running_loop().create_task(self._stop_with_the_loop())
        return self

    async def _stop_with_the_loop(self) -> None:
        # A sandbox started without `async with` and never stopped: asyncio.run (and test
        # runners) cancel what is left when the loop ends, and the sandbox stops then, so that
        # none of its sessions is reported unclosed.
        try:
            await asyncio.Event().wait()
        finally:
            if self._guard is asyncio.current_task():
                self._guard = None
                await self.stop()

    async def stop(self) -> None:
        guard, self._guard = self._guard, None
        if guard is not None:
            guard.cancel()
            await asyncio.gather(guard, return_exceptions=True)
        for session in self._sessions:
            await session.close()
        self._sessions.clear()
        if self._outbound is not None:
            await self._outbound.close()
            self._outbound = None
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None

    async def __aenter__(self) -> Sandbox:
        return await self.start()

    async def __aexit__(self, *exc: object) -> None:
        await self.stop()

    def session(self, **kwargs: Any) -> aiohttp.ClientSession:
        """A new client session that reaches the emulated hosts; closed when the sandbox stops.
        A client using it after that raises ConfigurationError rather than fall back to a
        session of its own that would reach the real platforms."""
        if self._certs is None:
            raise RuntimeError("the sandbox is not started")
        session = _http._pin_session(make_session(self._certs, HOSTS, self.port, **kwargs))
        self._sessions.append(session)
        return session

    def facebook_client(self, **kwargs: Any) -> Facebook:
        """A Facebook client of the sandbox's app, on a session of the sandbox."""
        from ..facebook import Facebook

        return Facebook(app_id=self.app_id, app_secret=self.app_secret, session=self.session(), **kwargs)

    def instagram_client(self, **kwargs: Any) -> Instagram:
        """An Instagram client (Instagram login) of the sandbox's Instagram app, on a session of
        the sandbox."""
        from ..instagram import Instagram

        app = self.world.instagram
        return Instagram(app_id=app.app_id, app_secret=app.app_secret, session=self.session(), **kwargs)

    def linkedin_client(self, **kwargs: Any) -> LinkedIn:
        """A LinkedIn client of the sandbox's LinkedIn app, on a session of the sandbox."""
        from ..linkedin import LinkedIn

        app = self.world.linkedin
        return LinkedIn(client_id=app.client_id, client_secret=app.client_secret,
                        session=self.session(), **kwargs)

    async def _dispatch(self, request: web.Request) -> web.StreamResponse:
        host = request.url.host or ""
        if host == GRAPH_HOST:
            return await self.graph.handle(request)
        if host == dialog.FACEBOOK_WWW:
            return await dialog.handle(self.world, request)
        if host == instagram.GRAPH_HOST:
            return await self.instagram.graph(request)
        if host == instagram.TOKEN_HOST:
            return await self.instagram.token(request)
        if host == instagram.DIALOG_HOST:
            return await self.instagram.dialog(request)
        if host == linkedin.OAUTH_HOST:
            return await self.linkedin.oauth(request)
        if host == linkedin.API_HOST:
            return await self.linkedin.api(request)
        return web.Response(status=404, text=f"{host} is not emulated")

    # ---- what a test or the demo steers ----

    def fail(self, seconds: float, status: int = 500) -> None:
        """The Graph API host answers `status` with a transient error for `seconds`."""
        self.graph.fail_status = status
        self.graph.fail_until = time.monotonic() + seconds

    def consent(self, login_url: str) -> str:
        """The URL the user's browser is sent back to after approving a login link (of
        Facebook, Instagram or LinkedIn, told apart by the link's host)."""
        parts = urlsplit(login_url)
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        if parts.hostname == linkedin.OAUTH_HOST:
            status, where = self.linkedin.consent(query)
        elif parts.hostname == instagram.DIALOG_HOST:
            status, where = self.instagram.consent(query)
        else:
            status, where = dialog.facebook_consent(self.world, query)
        if status != 302:
            raise ValueError(where)
        return where

    async def subscribe_webhook(self, url: str, verify_token: str) -> None:
        """Saves the app's callback URL after the GET handshake, as Meta does: the answer must be
        exactly the challenge, as plain text."""
        assert self._outbound is not None, "the sandbox is not started"
        challenge = str(secrets.randbelow(10**10))
        params = {"hub.mode": "subscribe", "hub.verify_token": verify_token, "hub.challenge": challenge}
        async with self._outbound.get(url, params=params) as resp:
            text = await resp.text()
            if resp.status != 200 or text != challenge:
                raise RuntimeError(f"webhook handshake refused: HTTP {resp.status}")
        self._webhook = (url, verify_token)

    def leadgen_payload(self, lead_id: str) -> dict[str, Any]:
        lead = self.world.leads[lead_id]
        value: dict[str, Any] = {"form_id": lead.form_id, "leadgen_id": lead.id,
                                 "created_time": int(lead.created), "page_id": lead.page_id}
        if lead.ad_id:
            value["ad_id"] = lead.ad_id
            value["adgroup_id"] = lead.ad_id
        return {"object": "page",
                "entry": [{"id": lead.page_id, "time": int(time.time()),
                           "changes": [{"field": "leadgen", "value": value}]}]}

    def sign(self, body: bytes) -> str:
        return "sha256=" + hmac.new(self.app_secret.encode(), body, hashlib.sha256).hexdigest()

    async def submit_lead(self, answers: Mapping[str, str], *, form_id: str = FORM_ID,
                          ad_id: str | None = AD_ID, deliver: bool = True) -> str:
        """Stores a new lead and, when the Page is subscribed to "leadgen" and a webhook is
        saved, delivers it. Returns the lead id."""
        lead = self.world.add_lead(form_id, dict(answers), ad_id=ad_id)
        if deliver:
            await self.deliver(lead.id)
        return lead.id

    async def deliver(self, lead_id: str) -> int | None:
        """(Re)delivers the webhook of a lead; None when nothing would be delivered (no saved
        webhook, or the Page is not subscribed to "leadgen")."""
        lead = self.world.leads[lead_id]
        if self._webhook is None or "leadgen" not in self.world.pages[lead.page_id].subscribed_fields:
            return None
        assert self._outbound is not None
        url = self._webhook[0]
        body = json.dumps(self.leadgen_payload(lead_id), separators=(",", ":")).encode()
        headers = {"Content-Type": "application/json", "X-Hub-Signature-256": self.sign(body)}
        async with self._outbound.post(url, data=body, headers=headers) as resp:
            await resp.read()
            status = resp.status
        self.deliveries.append(Delivery(lead_id, url, status))
        return status
