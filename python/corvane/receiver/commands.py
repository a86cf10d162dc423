"""python -m corvane receiver events | export | backfill: what an operator does on the store
itself, with the receiver running or not."""
from __future__ import annotations

import argparse
import asyncio
import csv
import json
import math
import os
import re
import sys
import time
from collections.abc import AsyncIterator, Callable
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, TextIO

from .store import STATES, Store, open_store

if TYPE_CHECKING:
    from corvane.facebook import Facebook

    from .backfill import Backfill

_DB_HELP = "an SQLite file or a postgresql:// DSN"
_LEAD_COLUMNS = ("seq", "leadgen_id", "page_id", "form_id", "ad_id", "created_time", "stored_at")


def events_main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane receiver events", formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        description="Lists events, oldest first, as JSON lines (waiting: pending after a failed "
                    "attempt, with the reason in error), or requeues failed and waiting ones.")
    parser.add_argument("--db", default="corvane-leads.sqlite3", help=_DB_HELP)
    parser.add_argument("--state", choices=tuple(STATES), help="only events in this state")
    parser.add_argument("--limit", type=int, default=100, help="at most this many listed")
    parser.add_argument("--requeue", action="store_true",
                        help="make the chosen failed or waiting events (--key, or all of --state) "
                             "due at once with fresh retries")
    parser.add_argument("--key", action="append", default=[], help="an event's key (repeatable)")
    args = parser.parse_args(argv)
    if args.requeue and not (args.key or args.state in ("waiting", "failed")):
        parser.error("--requeue needs --key or --state waiting|failed")
    return asyncio.run(_events(args))


async def _events(args: argparse.Namespace) -> int:
    async with _opened(args.db) as store:
        if args.requeue:
            count = await store.requeue(_now(), keys=args.key, state=args.state)
            print(f"{count} ta hodisa qayta navbatga qo'yildi")
            return 0
        for event in await store.events(args.state, args.limit):
            print(json.dumps(event, ensure_ascii=False))
    return 0


def export_main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane receiver export", formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        description="Writes every stored lead, in the order they were stored: JSON Lines (each "
                    "record as /leads gives it) or CSV (one column per field, the custom answers "
                    "as JSON, the ad context as ad_* columns).")
    parser.add_argument("--db", default="corvane-leads.sqlite3", help=_DB_HELP)
    parser.add_argument("--format", choices=("jsonl", "csv"), default="jsonl")
    parser.add_argument("--output", help="a file to write (default: standard output)")
    args = parser.parse_args(argv)
    out = open(args.output, "w", encoding="utf-8", newline="") if args.output else sys.stdout
    try:
        return asyncio.run(_export(args.db, args.format, out))
    finally:
        if out is not sys.stdout:
            out.close()


async def _export(db: str, form: str, out: TextIO) -> int:
    async with _opened(db) as store:
        if form == "jsonl":
            async for lead in _all_leads(store):
                out.write(json.dumps(lead, ensure_ascii=False) + "\n")
            return 0
        # CSV wants its columns first: one pass to learn them, one to write.
        fields: set[str] = set()
        context: set[str] = set()
        async for lead in _all_leads(store):
            fields |= lead["fields"].keys()
            context |= lead["ad_context"].keys()
        writer = csv.writer(out)
        writer.writerow([*_LEAD_COLUMNS, *sorted(fields), "custom", *(f"ad_{k}" for k in sorted(context))])
        async for lead in _all_leads(store):
            writer.writerow([*(_cell(lead[c]) for c in _LEAD_COLUMNS),
                             *(_cell(lead["fields"].get(k)) for k in sorted(fields)),
                             json.dumps(lead["custom"], ensure_ascii=False),
                             *(_cell(lead["ad_context"].get(k)) for k in sorted(context))])
    return 0


# A cell a spreadsheet would run as a formula: the answers are whatever a lead typed. A phone
# number ("+998 71 200-00-01") stays as it is.
_FORMULA = re.compile(r"[=@\t\r]|[+-].*[^0-9 ()+\-.]")


def _cell(value: Any) -> str:
    if value is None:
        return ""
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return "'" + text if _FORMULA.match(text) else text


async def _all_leads(store: Store) -> AsyncIterator[dict[str, Any]]:
    after = 0
    while True:
        page = await store.leads_after(after, 500)
        for lead in page:
            yield lead
        if len(page) < 500:
            return
        after = page[-1]["seq"]


class Stop(Exception):
    """Ends a command with its one line and status 2."""


class StoreMissing(Stop):
    pass


class _opened:
    def __init__(self, db: str) -> None:
        if "://" not in db and not os.path.exists(db):  # never a new empty file by mistake
            raise StoreMissing(f"{db} topilmadi")
        self.store = open_store(db)

    async def __aenter__(self) -> Store:
        try:
            await self.store.open()
        except Exception as error:  # noqa: BLE001 - one line for the operator
            raise StoreMissing(f"ma'lumotlar bazasini ochib bo'lmadi: {type(error).__name__}") from None
        return self.store

    async def __aexit__(self, *exc: object) -> None:
        await self.store.close()


def _now() -> float:
    return time.time()


# Meta keeps a form's leads this long: an older --since finds nothing more.
KEPT_DAYS = 90


def parse_since(text: str) -> int:
    """--since: a Unix time, or an ISO date or time (UTC unless it names its zone)."""
    try:
        return int(float(text))
    except (ValueError, OverflowError):  # not a number, or nan/inf
        pass
    try:
        when = datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith(("Z", "z")) else text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"ISO sana/vaqt (2026-12-01, 2026-12-01T08:00+05:00) yoki Unix vaqt kerak, "
            f"{text!r} emas") from None
    return int((when if when.tzinfo else when.replace(tzinfo=timezone.utc)).timestamp())


def backfill_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m corvane receiver backfill", formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        description="Reads the leads of a connected Page's lead forms since a time and stores those "
                    "not stored yet (Meta stops redelivering webhooks after a while), so that they "
                    "flow on like any other. The app id and secret come from FACEBOOK_APP_ID and "
                    "FACEBOOK_APP_SECRET (and META_GRAPH_VERSION), the Page's token from the store.")
    parser.add_argument("--db", default="corvane-leads.sqlite3", help=_DB_HELP)
    # SUPPRESS: their help says what their absence means, not "(default: None)".
    parser.add_argument("--page", required=True, default=argparse.SUPPRESS,
                        help="a Page connected through /connect")
    parser.add_argument("--form", default=argparse.SUPPRESS,
                        help="only this lead form of the Page (default: every one)")
    parser.add_argument("--since", type=parse_since, default=argparse.SUPPRESS,
                        help=f"an ISO date or time (UTC unless it names its zone) or a Unix time "
                             f"(default: {KEPT_DAYS} days ago, as long as Meta keeps leads)")
    return parser


def backfill_main(argv: list[str]) -> int:
    args = backfill_parser().parse_args(argv)
    try:
        return asyncio.run(backfill(args))
    except KeyboardInterrupt:  # each lead is stored in a transaction of its own: none is half-kept
        print("backfill to'xtatildi; shu paytgacha saqlangan leadlar saqlanib qoldi", file=sys.stderr)
        return 130


ClientFactory = Callable[..., "Facebook"]  # called as Facebook is: app_id=, app_secret=, options


async def backfill(args: argparse.Namespace, factory: ClientFactory | None = None, *,
                   out: TextIO | None = None, err: TextIO | None = None, tty: bool | None = None) -> int:
    """The backfill command: 0 when every lead seen is stored, 1 when some could not be (a
    throttle, a failed call), 2 when it could not start (a setting, an unknown Page, a Page to
    connect again)."""
    from corvane.errors import CorvaneError
    from corvane.facebook import Facebook

    from .backfill import Backfill, progress_for

    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    tty = err.isatty() if tty is None else tty
    missing = [name for name in ("FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET") if not os.environ.get(name)]
    if missing:
        print(f"set {', '.join(missing)}", file=err)
        return 2
    since = getattr(args, "since", None) or int(_now()) - KEPT_DAYS * 86400
    form = getattr(args, "form", None)
    app_secret = os.environ["FACEBOOK_APP_SECRET"]
    version = os.environ.get("META_GRAPH_VERSION")
    options: dict[str, Any] = {"graph_version": version} if version else {}
    try:
        async with _opened(args.db) as store:
            tokens = await store.tokens(args.page)
            if tokens is None:
                raise Stop(f"Page {args.page} ulanmagan: avval uni /connect orqali ulang")
            broken = await store.needs_reconnect(args.page)
            if broken is not None:
                raise Stop(f"Page {args.page} qayta ulanishi kerak ({broken}): /connect orqali ulang")
            facebook = (factory or Facebook)(app_id=os.environ["FACEBOOK_APP_ID"], app_secret=app_secret,
                                             **options)
            run = Backfill(store, facebook, args.page, tokens, since, (app_secret,))
            try:
                try:
                    forms = await run.forms(form)
                except CorvaneError as error:  # nothing read: the reason alone
                    run.halted = error
                    return await _ended(run, err)
                if form and not forms:
                    raise Stop(f"{form} formasi Page {args.page} da topilmadi")
                progress = progress_for(len(forms), out, err, tty)
                try:
                    total = await run.run(forms, progress)
                finally:
                    progress.close()
                print(f"{total.forms}/{len(forms)} ta forma o'qildi: {total.line()}", file=out, flush=True)
                return await _ended(run, err)
            finally:
                await facebook.close()
    except Stop as error:
        print(error, file=err)
        return 2


async def _ended(run: Backfill, err: TextIO) -> int:
    from corvane.errors import RateLimitError

    from .worker import dead_token

    error = run.halted
    if isinstance(error, RateLimitError):
        after = error.retry_after
        wait = f"{math.ceil(after)} soniyadan keyin" if after is not None else "keyinroq"
        code = f" (kod {error.code})" if error.code is not None else ""
        print(f"Graph API so'rovlarni chekladi{code}: {wait} qayta ishga tushiring; shu paytgacha "
              f"o'qilganlar saqlandi", file=err)
        return 1
    broken = dead_token(error) if error is not None else None
    if error is not None and broken is not None:
        # Marked as the worker marks it: /pages shows it, and the Page's events wait for it.
        await run.store.page_broken(run.page_id, f"{broken} ({run.reason(error)})")
        print(f"Page {run.page_id} qayta ulanishi kerak ({broken}): /connect orqali ulang", file=err)
        return 2
    if error is not None:
        print(f"formalar o'qilmadi: {run.reason(error)}", file=err)
        return 1
    return 1 if run.problems or run.total.failed else 0


def run(command: str, argv: list[str]) -> int:
    try:
        if command == "backfill":
            return backfill_main(argv)
        return (events_main if command == "events" else export_main)(argv)
    except Stop as error:
        print(error, file=sys.stderr)
        return 2
