"""python -m corvane receiver --sandbox: the receiver against the built-in sandbox, offline. The
app's credentials are the sandbox's, the Graph API client reaches the sandbox, the sandbox's
Page is connected through the login flow at start, and POST /sandbox/lead has the sandbox
deliver a new lead to /webhook, signed, as Meta would."""
from __future__ import annotations

import argparse
import asyncio
import dataclasses
import logging
import os
import secrets
import signal
import sys
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING

from aiohttp import web

from .access import AccessLogger
from .app import Config, StoreUnavailable, create_app
from .forward import ForwardSettings

if TYPE_CHECKING:
    from corvane.sandbox import Sandbox

log = logging.getLogger("corvane.receiver")

SAMPLE = {"full_name": "Dilshod Rahimov", "email": "dilshod.rahimov@example.uz",
          "phone_number": "+998 90 123-45-67", "city": "Toshkent"}


class SandboxFailed(Exception):
    pass


def run(args: argparse.Namespace, default_db: str) -> int:
    """Serves until SIGTERM or SIGINT. The operator's default store is left alone: sandbox leads
    go to a new temporary SQLite file unless --db names another store."""
    url = os.environ.get("CORVANE_FORWARD_URL") or None
    secret = os.environ.get("CORVANE_FORWARD_SECRET") or None
    if bool(url) != bool(secret):
        print("set CORVANE_FORWARD_URL and CORVANE_FORWARD_SECRET together", file=sys.stderr)
        return 2
    try:
        import trustme  # noqa: F401 - the sandbox makes its TLS certificates with it
    except ImportError:
        print("--sandbox uchun trustme kerak: pip install 'corvane[sandbox]'", file=sys.stderr)
        return 2
    logging.basicConfig(level=getattr(logging, args.log_level),
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    db = args.db
    if db == default_db:
        db = str(Path(tempfile.mkdtemp(prefix="corvane-sandbox-")) / "leads.sqlite3")
    admin_token = os.environ.get("CORVANE_ADMIN_TOKEN") or None
    config = Config(app_id="sandbox", app_secret="", verify_token=secrets.token_urlsafe(16),
                    admin_token=admin_token, metrics_token=os.environ.get("CORVANE_METRICS_TOKEN") or None,
                    # Without a token the admin routes open to this machine: a sandbox is tried locally.
                    trust_loopback=args.trust_loopback or not admin_token,
                    wait_for_store=args.wait_for_db,
                    forward=ForwardSettings(url, secret) if url and secret else None)
    try:
        return asyncio.run(_serve(config, db, args.host, args.port))
    except (StoreUnavailable, SandboxFailed) as error:
        print(error, file=sys.stderr)
        return 2
    except OSError as error:  # the port is taken, or the address is not this machine's
        print(f"{args.host}:{args.port} da tinglab bo'lmadi: {error.strerror or error}", file=sys.stderr)
        return 2


async def _serve(config: Config, db: str, host: str, port: int) -> int:
    from corvane.sandbox import Sandbox

    # A signal during the start ends the run once the start is through, never half-way.
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    async with Sandbox() as sb:
        config = dataclasses.replace(config, app_id=sb.app_id, app_secret=sb.app_secret)
        app = create_app(db, config, facebook=sb.facebook_client())

        async def lead(request: web.Request) -> web.Response:
            return await _submit(sb, request)

        app.router.add_post("/sandbox/lead", lead)
        runner = web.AppRunner(app, access_log_class=AccessLogger)
        await runner.setup()
        try:
            site = web.TCPSite(runner, host, port)
            await site.start()
            port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
            local = "127.0.0.1" if host in ("", "0.0.0.0", "::") else host
            base = f"http://{f'[{local}]' if ':' in local else local}:{port}"
            await sb.subscribe_webhook(base + "/webhook", config.verify_token)
            await _connect(sb, base, config.admin_token)
            log.info("sandbox rejimi: Page'lar ulandi; sinov lead yuborish: curl -X POST %s/sandbox/lead "
                     "(JSON tanasi ixtiyoriy: lead javoblari), saqlangan leadlar: %s/leads", base, base)
            await stop.wait()
        finally:
            await runner.cleanup()
    return 0


async def _connect(sb: Sandbox, base: str, admin_token: str | None) -> None:
    """The login flow as the operator's browser would go through it: the Page is subscribed and
    its token kept."""
    headers = {"Authorization": f"Bearer {admin_token}"} if admin_token else {}
    async with sb.session() as browser:
        async with browser.get(base + "/connect", headers=headers) as resp:
            if resp.status != 200:
                raise SandboxFailed(f"sandbox Page ulanmadi: /connect HTTP {resp.status}")


async def _submit(sb: Sandbox, request: web.Request) -> web.Response:
    answers = dict(SAMPLE)
    if request.can_read_body:
        try:
            given = await request.json()
        except ValueError:
            given = None
        if not (isinstance(given, dict) and all(isinstance(v, str) for v in given.values())):
            return web.Response(status=400, text='Bad Request: tana {"savol": "javob", ...} bo\'lishi kerak')
        answers = given or answers
    lead_id = await sb.submit_lead(answers, deliver=False)
    status = await sb.deliver(lead_id)
    if status is None:  # the start has not connected the Page yet: nothing would be delivered
        return web.Response(status=503, text="Service Unavailable: sandbox Page hali ulanmagan")
    return web.json_response({"leadgen_id": lead_id, "webhook_status": status})

