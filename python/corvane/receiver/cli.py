"""python -m corvane receiver: runs the lead receiver."""
from __future__ import annotations

import argparse
import logging
import os
import sys

from aiohttp import web

from .access import AccessLogger
from .app import Config, create_app


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane receiver",
        description="Receives Meta's lead webhooks, fetches and stores each lead. The app id, app "
                    "secret and verify token come from FACEBOOK_APP_ID, FACEBOOK_APP_SECRET and "
                    "META_VERIFY_TOKEN; CORVANE_ADMIN_TOKEN guards /connect, /pages and /leads "
                    "(without it they answer only on loopback).")
    parser.add_argument("--db", default="corvane-leads.sqlite3",
                        help="an SQLite file (created with mode 0600) or a postgresql:// DSN")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--public-url", default=os.environ.get("CORVANE_PUBLIC_URL"),
                        help="the address Meta and browsers reach this receiver at (for the login "
                             "redirect), e.g. https://crm.example; default: the request's own")
    args = parser.parse_args(argv)

    missing = [name for name in ("FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET", "META_VERIFY_TOKEN")
               if not os.environ.get(name)]
    if missing:
        print(f"set {', '.join(missing)}", file=sys.stderr)
        return 2
    config = Config(
        app_id=os.environ["FACEBOOK_APP_ID"],
        app_secret=os.environ["FACEBOOK_APP_SECRET"],
        verify_token=os.environ["META_VERIFY_TOKEN"],
        admin_token=os.environ.get("CORVANE_ADMIN_TOKEN") or None,
        public_url=args.public_url,
        config_id=os.environ.get("FACEBOOK_CONFIG_ID") or None,
        graph_version=os.environ.get("META_GRAPH_VERSION") or None,
    )
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    app = create_app(args.db, config)
    web.run_app(app, host=args.host, port=args.port, access_log_class=AccessLogger,
                print=lambda text: logging.getLogger("corvane.receiver").info("%s", text.strip()))
    return 0
