"""python -m corvane receiver: runs the lead receiver."""
from __future__ import annotations

import argparse
import asyncio
import logging
import os
import sys
from typing import Any

from aiohttp import web

from .access import AccessLogger
from .app import Config, StoreUnavailable, create_app
from .forward import ForwardSettings


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] in ("events", "export", "backfill"):
        from .commands import run

        return run(argv[0], argv[1:])
    parser = argparse.ArgumentParser(
        prog="python -m corvane receiver",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        description="Receives Meta's lead webhooks, fetches and stores each lead ('events --help' "
                    "and 'export --help': the stored events and leads; 'backfill --help': the "
                    "leads whose webhooks never came). The app id, app "
                    "secret and verify token come from FACEBOOK_APP_ID, FACEBOOK_APP_SECRET and "
                    "META_VERIFY_TOKEN; CORVANE_FORWARD_URL with CORVANE_FORWARD_SECRET sends each "
                    "stored lead on to a CRM; CORVANE_ADMIN_TOKEN guards /connect, /pages and /leads "
                    "(without it they are closed, unless --trust-loopback).")
    parser.add_argument("--db", default="corvane-leads.sqlite3",
                        help="an SQLite file (created with mode 0600) or a postgresql:// DSN")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (0.0.0.0: every interface)")
    parser.add_argument("--port", type=int, default=8080, help="the port to listen on")
    parser.add_argument("--public-url", default=os.environ.get("CORVANE_PUBLIC_URL"),
                        help="the address Meta and browsers reach this receiver at (for the login "
                             "redirect), e.g. https://crm.example; default: the request's own, "
                             "if its host is loopback or a --redirect-host")
    parser.add_argument("--redirect-host", action="append",
                        default=[h for h in os.environ.get("CORVANE_REDIRECT_HOSTS", "").split(",") if h],
                        help="without --public-url, a host name the login redirect may be built "
                             "from (repeatable; CORVANE_REDIRECT_HOSTS, comma-separated)")
    parser.add_argument("--trust-loopback", action="store_true",
                        default=os.environ.get("CORVANE_TRUST_LOOPBACK") == "1",
                        help="without CORVANE_ADMIN_TOKEN, serve the admin pages to connections "
                             "from this machine that name a loopback host (never through a "
                             "proxy); CORVANE_TRUST_LOOPBACK=1")
    parser.add_argument("--role", choices=("both", "receive", "work"), default="both",
                        help="receive: the webhook and admin routes without the worker; work: the "
                             "worker (and /health, /metrics) only; both (default). Run a receive and "
                             "a work process on one database to keep fetches off the acknowledging loop")
    parser.add_argument("--no-wait-for-db", dest="wait_for_db", action="store_false",
                        help="exit with status 2 when the database is unreachable at start, "
                             "instead of retrying with back-off")
    parser.add_argument("--log-level", default="INFO", type=str.upper,
                        choices=("DEBUG", "INFO", "WARNING", "ERROR"), help="the least level logged")
    parser.add_argument("--sandbox", action="store_true",
                        help="try the receiver offline: the built-in sandbox stands in for the Graph "
                             "API with its own app (no FACEBOOK_* or META_* variables needed), its "
                             "Page is connected at start, and POST /sandbox/lead delivers a test lead; "
                             "role both, a new temporary SQLite file unless --db names another store")
    args = parser.parse_args(argv)
    if args.sandbox:
        from .sandboxed import run as run_sandboxed

        return run_sandboxed(args, parser.get_default("db"))

    missing = [name for name in ("FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET", "META_VERIFY_TOKEN")
               if not os.environ.get(name)]
    forward_url, forward_secret = (os.environ.get("CORVANE_FORWARD_URL") or None,
                                   os.environ.get("CORVANE_FORWARD_SECRET") or None)
    if bool(forward_url) != bool(forward_secret):
        missing.append("CORVANE_FORWARD_URL and CORVANE_FORWARD_SECRET together")
    if missing:
        print(f"set {', '.join(missing)}", file=sys.stderr)
        return 2
    config = Config(
        app_id=os.environ["FACEBOOK_APP_ID"],
        app_secret=os.environ["FACEBOOK_APP_SECRET"],
        verify_token=os.environ["META_VERIFY_TOKEN"],
        admin_token=os.environ.get("CORVANE_ADMIN_TOKEN") or None,
        metrics_token=os.environ.get("CORVANE_METRICS_TOKEN") or None,
        trust_loopback=args.trust_loopback,
        public_url=args.public_url,
        redirect_hosts=tuple(args.redirect_host),
        wait_for_store=args.wait_for_db,
        role=args.role,
        forward=ForwardSettings(forward_url, forward_secret) if forward_url and forward_secret else None,
        config_id=os.environ.get("FACEBOOK_CONFIG_ID") or None,
        graph_version=os.environ.get("META_GRAPH_VERSION") or None,
    )
    logging.basicConfig(level=getattr(logging, args.log_level), format="%(asctime)s %(name)s %(levelname)s %(message)s")
    app = create_app(args.db, config)
    try:
        web.run_app(app, host=args.host, port=args.port, access_log_class=AccessLogger, loop=_quiet_loop(),
                    print=lambda text: logging.getLogger("corvane.receiver").info("%s", text.strip()))
    except StoreUnavailable as error:
        print(error, file=sys.stderr)
        return 2
    except OSError as error:  # the port is taken, or the address is not this machine's
        print(f"{args.host}:{args.port} da tinglab bo'lmadi: {error.strerror or error}", file=sys.stderr)
        return 2
    return 0


def _quiet_loop() -> asyncio.AbstractEventLoop:
    """aiohttp before 3.9 also logs, with a traceback, the failed start that main() reports as one
    line; its shutdown hands that to the loop's exception handler, so that one report is dropped."""
    loop = asyncio.new_event_loop()

    def handle(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if not (isinstance(context.get("exception"), (StoreUnavailable, OSError))
                and str(context.get("message", "")).startswith("unhandled exception during")):
            loop.default_exception_handler(context)

    loop.set_exception_handler(handle)
    return loop
