"""python -m corvane receiver events | export: what an operator does on the store itself, with
the receiver running or not."""
from __future__ import annotations

import argparse
import asyncio
import csv
import json
import os
import re
import sys
import time
from collections.abc import AsyncIterator
from typing import Any, TextIO

from .store import STATES, Store, open_store

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


class StoreMissing(Exception):
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


def run(command: str, argv: list[str]) -> int:
    try:
        return (events_main if command == "events" else export_main)(argv)
    except StoreMissing as error:
        print(error, file=sys.stderr)
        return 2
