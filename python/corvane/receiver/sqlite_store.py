"""The embedded store: one SQLite file through aiosqlite, so the event loop never waits on
the disk. One connection, one transaction at a time on it, deliveries' writes first."""
from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import sqlite3
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from collections.abc import Sequence
from typing import Any

import aiosqlite

from .store import (EVENT_COLUMNS, STATES, STATUS_DONE, STATUS_FAILED, STATUS_PENDING, Claimed,
                    LeadRecord, NewEvent, Store, event_state, migrations)
from .store import METRICS_QUERY, metrics_figures
from .store_batch import BatchedRecorder, Rows
from .store_rows import decode_lead, lead_row, page_row


class _NoStatements(logging.Filter):
    """aiosqlite logs every statement with its parameters at debug level, and the parameters
    of the pages table are tokens: those records never leave the logger."""

    def filter(self, record: logging.LogRecord) -> bool:
        return not (record.levelno <= logging.DEBUG and record.msg in ("executing %s", "operation %s completed"))


_aiosqlite_log = logging.getLogger("aiosqlite")
if not any(isinstance(f, _NoStatements) for f in _aiosqlite_log.filters):
    _aiosqlite_log.addFilter(_NoStatements())


def _create_private(path: str) -> None:
    """Creates the file readable by its owner only (it holds page tokens); SQLite gives its
    journal files the same mode."""
    if path == ":memory:":
        return
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    os.close(fd)
    os.chmod(path, 0o600)


class _Turns:
    """Turns on the one connection. A delivery's write goes before the worker's calls that
    are waiting, so an acknowledgement never queues behind the worker's bookkeeping."""

    def __init__(self) -> None:
        self._lock = asyncio.Lock()
        self._urgent = 0  # deliveries' writes holding or waiting for a turn
        self._no_urgent = asyncio.Event()
        self._no_urgent.set()

    @asynccontextmanager
    async def turn(self, urgent: bool = False) -> AsyncIterator[None]:
        if urgent:
            self._urgent += 1
            self._no_urgent.clear()
            try:
                async with self._lock:
                    yield
            finally:
                self._urgent -= 1
                if not self._urgent:
                    self._no_urgent.set()
            return
        while True:
            await self._no_urgent.wait()
            async with self._lock:
                if not self._urgent:  # else a delivery came while this one queued: after it
                    yield
                    return


_ROWS_PER_INSERT = 100  # 9 parameters a row, well under SQLite's bound of 999 per statement
_EVENT_ROW = "(?, ?, ?, ?, ?, ?, ?, ?, ?)"

async def _insert_events(db: aiosqlite.Connection, rows: Rows) -> set[str]:
    """One multi-row INSERT (one statement, atomic on its own); the keys that were new."""
    values: list[Any] = []
    for e, now in rows:
        values += (e.key, e.object_type, e.field, e.page_id, e.leadgen_id, e.payload, e.status, now, now)
    inserted = await db.execute_fetchall(
        "INSERT INTO events (key, object_type, field, page_id, leadgen_id, payload, status,"
        " next_try, received_at) VALUES " + ", ".join([_EVENT_ROW] * len(rows))
        + " ON CONFLICT (key) DO NOTHING RETURNING key", values)
    return {row[0] for row in inserted}


class SqliteStore(Store):
    single_user = True  # one process writes a SQLite file

    def __init__(self, path: str) -> None:
        self.path = path
        self._db: aiosqlite.Connection | None = None
        self._turns = _Turns()
        self._recorder = BatchedRecorder(self._insert_batch, _ROWS_PER_INSERT)

    async def open(self) -> None:
        if self._db is None:  # opened again: the schema is brought up to date on the same connection
            _create_private(self.path)
            self._db = await aiosqlite.connect(self.path, isolation_level=None)
            await self._db.execute("PRAGMA journal_mode=WAL")
            await self._db.execute("PRAGMA busy_timeout=5000")
            await self._db.execute("PRAGMA foreign_keys=ON")
        async with self._tx() as db:
            await db.execute("CREATE TABLE IF NOT EXISTS schema_migrations (version TEXT PRIMARY KEY)")
            done = {r[0] for r in await db.execute_fetchall("SELECT version FROM schema_migrations")}
            for version, statements in migrations():
                if version not in done:
                    for statement in statements:
                        await db.execute(statement)
                    await db.execute("INSERT INTO schema_migrations (version) VALUES (?)", (version,))

    async def close(self) -> None:
        await self._recorder.drain()  # what was accepted is written first
        if self._db is not None:
            await self._db.close()
            self._db = None

    @asynccontextmanager
    async def _tx(self, urgent: bool = False) -> AsyncIterator[aiosqlite.Connection]:
        if self._db is None:
            raise RuntimeError("the store is not open")
        async with self._turns.turn(urgent):
            try:
                await self._db.execute("BEGIN IMMEDIATE")
            except asyncio.CancelledError:
                # The statement runs on in aiosqlite's thread; a ROLLBACK queued behind it
                # keeps the next caller's BEGIN from finding a transaction already open.
                with contextlib.suppress(sqlite3.OperationalError):
                    await self._db.execute("ROLLBACK")
                raise
            try:
                yield self._db
            except BaseException:
                await self._db.execute("ROLLBACK")
                raise
            await self._db.execute("COMMIT")

    async def record(self, events: list[NewEvent], now: float) -> int:
        if not events:
            return 0
        if self._db is None:
            raise RuntimeError("the store is not open")
        return await self._recorder.record(events, now)

    async def _insert_batch(self, rows: Rows) -> set[str]:
        if len(rows) <= _ROWS_PER_INSERT:
            async with self._turns.turn(urgent=True):  # never inside another's open transaction
                assert self._db is not None
                return await _insert_events(self._db, rows)
        # A delivery longer than one statement takes: its chunks in one transaction.
        new: set[str] = set()
        async with self._tx(urgent=True) as db:
            for i in range(0, len(rows), _ROWS_PER_INSERT):
                new |= await _insert_events(db, rows[i:i + _ROWS_PER_INSERT])
        return new

    async def claim(self, now: float, lease: float) -> Claimed | None:
        claimed = await self.claim_many(now, lease, 1)
        return claimed[0] if claimed else None

    async def claim_many(self, now: float, lease: float, limit: int) -> list[Claimed]:
        async with self._tx() as db:
            rows = await db.execute_fetchall(
                "UPDATE events SET claimed_until = ?, attempts = attempts + 1 WHERE key IN ("
                " SELECT key FROM events WHERE status = ? AND next_try <= ?"
                " AND (claimed_until IS NULL OR claimed_until < ?) ORDER BY next_try, received_at LIMIT ?)"
                " RETURNING key, page_id, leadgen_id, attempts",
                (now + lease, STATUS_PENDING, now, now, limit))
        return [Claimed(*row) for row in rows]

    async def complete(self, key: str, lead: LeadRecord, now: float) -> None:
        async with self._tx() as db:
            await db.execute(
                # Numbered in the transaction, which SQLite runs one at a time: commit order.
                "INSERT INTO leads (leadgen_id, event_key, page_id, form_id, ad_id, created_time, fields,"
                " custom, ad_context, raw, stored_at, seq) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
                " (SELECT COALESCE(MAX(seq), 0) + 1 FROM leads)) ON CONFLICT (leadgen_id) DO NOTHING",
                lead_row(key, lead, now))
            await db.execute(
                "UPDATE events SET status = ?, claimed_until = NULL, error = NULL, done_at = ? WHERE key = ?",
                (STATUS_DONE, now, key))

    async def postpone(self, key: str, next_try: float, reason: str) -> None:
        async with self._tx() as db:
            await db.execute(
                "UPDATE events SET next_try = ?, claimed_until = NULL, error = ? WHERE key = ? AND status = ?",
                (next_try, reason, key, STATUS_PENDING))

    async def fail(self, key: str, reason: str, now: float) -> None:
        async with self._tx() as db:
            await db.execute(
                "UPDATE events SET status = ?, claimed_until = NULL, error = ?, done_at = ?"
                " WHERE key = ? AND status = ?", (STATUS_FAILED, reason, now, key, STATUS_PENDING))

    async def renew(self, key: str, until: float) -> None:
        async with self._tx() as db:
            await db.execute("UPDATE events SET claimed_until = ? WHERE key = ? AND status = ?"
                             " AND claimed_until IS NOT NULL", (until, key, STATUS_PENDING))

    async def renew_many(self, keys: Sequence[str], until: float) -> None:
        async with self._tx() as db:
            await db.executemany("UPDATE events SET claimed_until = ? WHERE key = ? AND status = ?"
                                 " AND claimed_until IS NOT NULL",
                                 [(until, key, STATUS_PENDING) for key in keys])

    async def release(self, key: str, retry_at: float | None = None) -> None:
        async with self._tx() as db:
            if retry_at is None:
                await db.execute("UPDATE events SET claimed_until = NULL, attempts = MAX(attempts - 1, 0)"
                                 " WHERE key = ? AND status = ? AND claimed_until IS NOT NULL",
                                 (key, STATUS_PENDING))
            else:
                await db.execute("UPDATE events SET claimed_until = NULL, next_try = ? WHERE key = ?"
                                 " AND status = ? AND claimed_until IS NOT NULL",
                                 (retry_at, key, STATUS_PENDING))

    async def page_broken(self, page_id: str, reason: str) -> bool:
        async with self._tx() as db:
            cur = await db.execute("UPDATE pages SET needs_reconnect = ? WHERE page_id = ?"
                                   " AND needs_reconnect IS NULL", (reason, page_id))
            return bool(cur.rowcount)

    async def page_access(self, page_id: str) -> tuple[str, str | None, str | None] | None:
        async with self._tx() as db:
            rows = list(await db.execute_fetchall(
                "SELECT access_token, user_token, needs_reconnect FROM pages WHERE page_id = ?", (page_id,)))
        return (rows[0][0], rows[0][1], rows[0][2]) if rows else None

    async def needs_reconnect(self, page_id: str) -> str | None:
        async with self._tx() as db:
            rows = list(await db.execute_fetchall(
                "SELECT needs_reconnect FROM pages WHERE page_id = ?", (page_id,)))
        return rows[0][0] if rows else None

    async def wait_for_page(self, key: str, next_try: float, reason: str) -> None:
        async with self._tx() as db:
            await db.execute(
                "UPDATE events SET next_try = ?, claimed_until = NULL, error = ?,"
                " attempts = MAX(attempts - 1, 0) WHERE key = ? AND status = ?",
                (next_try, reason, key, STATUS_PENDING))

    async def events(self, state: str | None = None, limit: int = 100) -> list[dict[str, Any]]:
        where = f"WHERE {STATES[state]}" if state else ""
        async with self._tx() as db:
            cur = await db.execute(f"SELECT {EVENT_COLUMNS} FROM events {where}"
                                   " ORDER BY received_at, key LIMIT ?", (limit,))
            rows = await cur.fetchall()
            names = [d[0] for d in cur.description]
        return [event_state(dict(zip(names, r))) for r in rows]

    async def requeue(self, now: float, *, keys: Sequence[str] = (), state: str | None = None) -> int:
        chosen = [f"key IN ({', '.join('?' * len(keys))})"] if keys else []
        if state:
            chosen.append(STATES[state])
        if not chosen:
            return 0
        async with self._tx() as db:
            cur = await db.execute(
                "UPDATE events SET status = ?, next_try = ?, attempts = 0, claimed_until = NULL,"
                " error = NULL, done_at = NULL WHERE status IN (?, ?)"
                " AND (claimed_until IS NULL OR claimed_until < ?) AND " + " AND ".join(chosen),
                (STATUS_PENDING, now, STATUS_PENDING, STATUS_FAILED, now, *keys))
            return int(cur.rowcount)

    async def leads_after(self, after: int, limit: int) -> list[dict[str, Any]]:
        async with self._tx() as db:
            cur = await db.execute("SELECT * FROM leads WHERE seq > ? ORDER BY seq LIMIT ?",
                                   (after, limit))
            rows = await cur.fetchall()
            names = [d[0] for d in cur.description]
        return [decode_lead(dict(zip(names, r))) for r in rows]

    async def claim_forward(self, now: float, lease: float) -> dict[str, Any] | None:
        async with self._tx() as db:
            cur = await db.execute(
                "UPDATE leads SET forward_claimed_until = ?, forward_attempts = forward_attempts + 1"
                " WHERE leadgen_id = (SELECT leadgen_id FROM leads WHERE forward_status = 'pending'"
                " AND forward_next_try <= ? AND (forward_claimed_until IS NULL OR forward_claimed_until < ?)"
                " ORDER BY seq LIMIT 1) RETURNING *", (now + lease, now, now))
            row = await cur.fetchone()
            names = [d[0] for d in cur.description] if cur.description else []
        return decode_lead(dict(zip(names, row))) if row else None

    async def forward_done(self, leadgen_id: str, status: str, reason: str | None,
                           next_try: float | None = None) -> None:
        async with self._tx() as db:
            await db.execute(
                "UPDATE leads SET forward_status = ?, forward_error = ?, forward_claimed_until = NULL,"
                " forward_next_try = COALESCE(?, forward_next_try) WHERE leadgen_id = ?",
                (status, reason, next_try, leadgen_id))

    async def release_forward(self, leadgen_id: str) -> None:
        async with self._tx() as db:
            await db.execute(
                "UPDATE leads SET forward_claimed_until = NULL, forward_attempts = MAX(forward_attempts - 1, 0)"
                " WHERE leadgen_id = ? AND forward_status = 'pending' AND forward_claimed_until IS NOT NULL",
                (leadgen_id,))

    async def metrics(self) -> dict[str, float | None]:
        async with self._tx() as db:
            row = list(await db.execute_fetchall(METRICS_QUERY))[0]
        return metrics_figures(row)

    async def forward_counts(self) -> dict[str, int]:
        async with self._tx() as db:
            rows = await db.execute_fetchall(
                "SELECT forward_status, COUNT(*) FROM leads GROUP BY forward_status")
        return {str(r[0]): int(r[1]) for r in rows}

    async def probe(self, now: float) -> None:
        async with self._tx() as db:
            await db.execute("INSERT INTO health_probe (id, written_at) VALUES (1, ?)"
                             " ON CONFLICT (id) DO UPDATE SET written_at = excluded.written_at", (now,))

    async def retry_page_now(self, page_id: str, now: float) -> int:
        async with self._tx() as db:
            cur = await db.execute(
                "UPDATE events SET next_try = ? WHERE page_id = ? AND status = ? AND next_try > ?",
                (now, page_id, STATUS_PENDING, now))
            return int(cur.rowcount)

    async def release_claims(self) -> None:
        async with self._tx() as db:
            await db.execute("UPDATE events SET claimed_until = NULL WHERE claimed_until IS NOT NULL")

    async def next_due(self) -> float | None:
        async with self._tx() as db:
            rows = list(await db.execute_fetchall(
                "SELECT MIN(MAX(next_try, COALESCE(claimed_until, next_try))) FROM events"
                " WHERE status = ?", (STATUS_PENDING,)))
        return rows[0][0] if rows else None

    async def event(self, key: str) -> dict[str, Any] | None:
        async with self._tx() as db:
            cur = await db.execute("SELECT * FROM events WHERE key = ?", (key,))
            row = await cur.fetchone()
            names = [d[0] for d in cur.description]
        return dict(zip(names, row)) if row else None

    async def counts(self) -> dict[str, int]:
        async with self._tx() as db:
            by_status = {str(r[0]): int(r[1]) for r in await db.execute_fetchall(
                "SELECT status, COUNT(*) FROM events GROUP BY status")}
            retries = list(await db.execute_fetchall(
                "SELECT COALESCE(SUM(attempts - 1), 0) FROM events WHERE attempts > 1"))[0][0]
            leads = list(await db.execute_fetchall("SELECT COUNT(*) FROM leads"))[0][0]
        return {**by_status, "retries": int(retries), "leads": int(leads)}

    async def save_page(self, page_id: str, name: str | None, token: str, user_token: str | None,
                        now: float) -> None:
        async with self._tx() as db:
            await db.execute(
                "INSERT INTO pages (page_id, name, access_token, user_token, connected_at)"
                " VALUES (?, ?, ?, ?, ?) ON CONFLICT (page_id) DO UPDATE SET name = excluded.name,"
                " access_token = excluded.access_token, user_token = excluded.user_token,"
                " connected_at = excluded.connected_at, needs_reconnect = NULL",
                (page_id, name, token, user_token, now))

    async def tokens(self, page_id: str) -> tuple[str, str | None] | None:
        async with self._tx() as db:
            rows = list(await db.execute_fetchall(
                "SELECT access_token, user_token FROM pages WHERE page_id = ?", (page_id,)))
        return (rows[0][0], rows[0][1]) if rows else None

    async def pages(self) -> list[dict[str, Any]]:
        async with self._tx() as db:
            rows = await db.execute_fetchall(
                "SELECT page_id, name, connected_at, needs_reconnect FROM pages"
                " ORDER BY connected_at, page_id")
        return [page_row(r) for r in rows]

    async def leads(self, limit: int = 100) -> list[dict[str, Any]]:
        async with self._tx() as db:
            cur = await db.execute(
                "SELECT * FROM leads ORDER BY stored_at DESC, leadgen_id LIMIT ?", (limit,))
            rows = await cur.fetchall()
            names = [d[0] for d in cur.description]
        return [decode_lead(dict(zip(names, r))) for r in rows]

    async def put_state(self, state: str, redirect_uri: str, expires_at: float) -> None:
        async with self._tx() as db:
            await db.execute("INSERT INTO oauth_states (state, redirect_uri, expires_at) VALUES (?, ?, ?)",
                             (state, redirect_uri, expires_at))

    async def take_state(self, state: str, now: float) -> str | None:
        async with self._tx() as db:
            # Expired states go too: the table never grows past ten minutes of logins.
            rows = list(await db.execute_fetchall(
                "DELETE FROM oauth_states WHERE state = ? RETURNING redirect_uri, expires_at", (state,)))
            await db.execute("DELETE FROM oauth_states WHERE expires_at < ?", (now,))
        if not rows or rows[0][1] < now:
            return None
        return str(rows[0][0])
