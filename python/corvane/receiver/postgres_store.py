"""The shared store: PostgreSQL through asyncpg, for several receivers behind one load
balancer. Events go in with ON CONFLICT DO NOTHING, so a delivery that reaches two receivers is
recorded once; workers claim with FOR UPDATE SKIP LOCKED, so no two fetch the same lead.

Every operation takes a connection of its own from the pool for its statement or transaction.
A connection the server has cut (a restart, a failover, an idle timeout) is found out only when
it is used, and one cut while idle in the pool fails its next use with asyncpg's "another
operation is in progress": the pool's connections are then replaced and the operation is run
again (a few times), which every operation here allows (inserts skip known keys, updates set what they
set)."""
from __future__ import annotations

from collections.abc import Awaitable, Callable, Sequence
from typing import Any, TypeVar

import asyncpg  # type: ignore[import-untyped]

from .store import (EVENT_COLUMNS, STATES, STATUS_DONE, STATUS_FAILED, STATUS_PENDING, Claimed,
                    LeadRecord, NewEvent, Store, event_state, migrations)
from .store import METRICS_QUERY, metrics_figures
from .store_batch import BatchedRecorder, GroupCommit, Rows
from .store_rows import decode_lead, lead_row, page_row

_ROWS_PER_BATCH = 1000  # events written by one statement
_LEADS_PER_COMMIT = 200  # leads stored by one transaction
# A server restarting cuts connections more than once in a row (each backend as it goes, then
# the new ones while it recovers): a few tries ride it out.
_ATTEMPTS = 3
T = TypeVar("T")

# What a connection cut under us looks like; the pool throws such a connection away.
_LOST = (asyncpg.exceptions.ConnectionDoesNotExistError, asyncpg.exceptions.InterfaceError,
         asyncpg.exceptions.InternalClientError, ConnectionError)

# Receivers starting together must not run the same migration twice.
_MIGRATION_LOCK = 0x636F7276  # "corv"
_LEAD_ORDER_LOCK = 0x6C656164  # "lead"


class _Connection(asyncpg.Connection):  # type: ignore[misc]
    """Every statement here leaves the session as it found it (advisory locks last until the
    transaction ends; no LISTEN, SET or cursor), so the reset query a pool runs at each release
    would be one more round trip per operation that resets nothing. An open transaction is
    still rolled back at release."""

    def get_reset_query(self) -> str:  # asyncpg 0.30 on
        return ""

    _get_reset_query = get_reset_query  # asyncpg before 0.30


class PostgresStore(Store):
    def __init__(self, dsn: str, *, pool_size: int = 5) -> None:
        self.dsn = dsn
        self.pool_size = pool_size
        self._pool: asyncpg.Pool | None = None
        # Deliveries are written on a connection of their own: the 200 never waits in line
        # behind the workers' claims and commits. One is enough, the recorder writes one batch
        # at a time.
        self._ingest: asyncpg.Pool | None = None
        self._recorder = BatchedRecorder(self._insert_batch, _ROWS_PER_BATCH)
        # The workers' leads by group commit too: those fetched in one Graph batch call come
        # back together, and go in with one transaction instead of one each.
        self._completer: GroupCommit[tuple[str, LeadRecord, float], None] = GroupCommit(
            self._complete_batch, lambda _: 1, _LEADS_PER_COMMIT)

    @property
    def pool(self) -> asyncpg.Pool:
        if self._pool is None:
            raise RuntimeError("the store is not open")
        return self._pool

    async def _run(self, work: Callable[[Any], Awaitable[T]], *, transaction: bool = False,
                   isolation: str | None = None, pool: asyncpg.Pool | None = None) -> T:
        pool = pool or self.pool
        for attempt in range(1, _ATTEMPTS + 1):
            try:
                async with pool.acquire() as conn:
                    if not transaction:
                        return await work(conn)
                    tx = conn.transaction(**({"isolation": isolation} if isolation else {}))
                    await tx.start()
                    try:
                        result = await work(conn)
                    except BaseException:
                        if not conn.is_closed():  # else the server has rolled it back
                            await tx.rollback()
                        raise
                    await tx.commit()
                    return result
            except _LOST:
                if attempt == _ATTEMPTS:
                    raise
                # The server cut one: it has likely cut every idle one too (a restart). Those
                # are replaced at their next acquire rather than found out one failure each.
                await pool.expire_connections()
        raise AssertionError("unreachable")

    async def _execute(self, query: str, *args: Any) -> str:
        return await self._run(lambda conn: conn.execute(query, *args))

    async def _fetch(self, query: str, *args: Any) -> list[Any]:
        return await self._run(lambda conn: conn.fetch(query, *args))

    async def _fetchrow(self, query: str, *args: Any) -> Any:
        return await self._run(lambda conn: conn.fetchrow(query, *args))

    async def _fetchval(self, query: str, *args: Any) -> Any:
        return await self._run(lambda conn: conn.fetchval(query, *args))

    async def open(self) -> None:
        if self._pool is None:
            self._pool = await asyncpg.create_pool(self.dsn, min_size=1, max_size=self.pool_size,
                                                   connection_class=_Connection)
        if self._ingest is None:
            self._ingest = await asyncpg.create_pool(self.dsn, min_size=1, max_size=1,
                                                     connection_class=_Connection)
        await self._run(self._migrate, transaction=True)

    async def _migrate(self, conn: Any) -> None:
        await conn.execute("SELECT pg_advisory_xact_lock($1)", _MIGRATION_LOCK)
        await conn.execute("CREATE TABLE IF NOT EXISTS schema_migrations (version TEXT PRIMARY KEY)")
        done = {r[0] for r in await conn.fetch("SELECT version FROM schema_migrations")}
        for version, statements in migrations():
            if version not in done:
                for statement in statements:
                    await conn.execute(statement)
                await conn.execute("INSERT INTO schema_migrations (version) VALUES ($1)", version)

    async def close(self) -> None:
        await self._recorder.drain()  # what was accepted is written first
        await self._completer.drain()
        for pool in (self._pool, self._ingest):
            if pool is not None:
                await pool.close()
        self._pool = self._ingest = None

    async def record(self, events: list[NewEvent], now: float) -> int:
        if not events:
            return 0
        if self._pool is None:
            raise RuntimeError("the store is not open")
        return await self._recorder.record(events, now)

    async def _insert_batch(self, rows: Rows) -> set[str]:
        # In key order: another receiver may be writing a repeat of the same delivery at the
        # same moment, and two inserts that take their keys' locks in different orders
        # deadlock (PostgreSQL breaks it after a second, failing one batch).
        rows = sorted(rows, key=lambda row: row[0].key)
        found = await self._run(lambda conn: conn.fetch(
            "INSERT INTO events (key, object_type, field, page_id, leadgen_id, payload, status,"
            " next_try, received_at)"
            " SELECT k, o, f, p, l, v, s, t, t FROM unnest($1::text[], $2::text[], $3::text[],"
            " $4::text[], $5::text[], $6::text[], $7::text[], $8::float8[])"
            " AS r(k, o, f, p, l, v, s, t)"
            " ON CONFLICT (key) DO NOTHING RETURNING key",
            [e.key for e, _ in rows], [e.object_type for e, _ in rows], [e.field for e, _ in rows],
            [e.page_id for e, _ in rows], [e.leadgen_id for e, _ in rows],
            [e.payload for e, _ in rows], [e.status for e, _ in rows], [now for _, now in rows]),
            pool=self._ingest)
        return {row[0] for row in found}

    async def claim(self, now: float, lease: float) -> Claimed | None:
        claimed = await self.claim_many(now, lease, 1)
        return claimed[0] if claimed else None

    async def claim_many(self, now: float, lease: float, limit: int) -> list[Claimed]:
        rows = await self._fetch(
            "UPDATE events SET claimed_until = $1, attempts = attempts + 1 WHERE key = ANY(ARRAY("
            " SELECT key FROM events WHERE status = $2 AND next_try <= $3"
            " AND (claimed_until IS NULL OR claimed_until < $3) ORDER BY next_try, received_at"
            " LIMIT $4 FOR UPDATE SKIP LOCKED))"
            " RETURNING key, page_id, leadgen_id, attempts",
            now + lease, STATUS_PENDING, now, limit)
        return [Claimed(r[0], r[1], r[2], r[3]) for r in rows]

    async def complete(self, key: str, lead: LeadRecord, now: float) -> None:
        await self._completer.put((key, lead, now))

    async def _complete_batch(self, batch: list[tuple[str, LeadRecord, float]]) -> list[None]:
        await self._run(lambda conn: self._complete(conn, batch))
        return [None] * len(batch)

    @staticmethod
    async def _complete(conn: Any, batch: list[tuple[str, LeadRecord, float]]) -> None:
        # Leads are numbered one commit at a time (the lock is held until this one commits), so
        # a CRM pulling after number n never meets a later commit with a smaller number. The
        # statement after the lock sees every lead committed before it: a lead stored already,
        # or twice in this batch, takes no number, as it would stored one at a time.
        # BEGIN and the lock go in one round trip (a statement without parameters can be two).
        await conn.execute(f"BEGIN; SELECT pg_advisory_xact_lock({_LEAD_ORDER_LOCK})")
        try:
            await PostgresStore._store_leads(conn, batch)
        except BaseException:
            if not conn.is_closed() and conn.is_in_transaction():  # else the server rolled it back
                await conn.execute("ROLLBACK")
            raise
        await conn.execute("COMMIT")

    @staticmethod
    async def _store_leads(conn: Any, batch: list[tuple[str, LeadRecord, float]]) -> None:
        rows, seen = [], set()
        for key, lead, now in batch:
            if lead.leadgen_id not in seen:
                seen.add(lead.leadgen_id)
                rows.append(lead_row(key, lead, now))
        columns = [list(c) for c in zip(*rows)]
        await conn.execute(
            "WITH stored AS (INSERT INTO leads (leadgen_id, event_key, page_id, form_id, ad_id,"
            " created_time, fields, custom, ad_context, raw, stored_at, seq)"
            " SELECT l, k, p, f, a, c, fi, cu, ac, ra, t,"
            " (SELECT COALESCE(MAX(seq), 0) FROM leads) + ROW_NUMBER() OVER (ORDER BY n)"
            " FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::text[], $6::text[],"
            " $7::text[], $8::text[], $9::text[], $10::text[], $11::float8[]) WITH ORDINALITY"
            " AS r(l, k, p, f, a, c, fi, cu, ac, ra, t, n)"
            " WHERE NOT EXISTS (SELECT 1 FROM leads WHERE leads.leadgen_id = r.l)"
            " ON CONFLICT (leadgen_id) DO NOTHING RETURNING 1)"
            " UPDATE events SET status = $12, claimed_until = NULL, error = NULL, done_at = d.t"
            " FROM unnest($13::text[], $14::float8[]) AS d(k, t) WHERE events.key = d.k",
            *columns, STATUS_DONE, [key for key, _, _ in batch], [now for _, _, now in batch])

    async def postpone(self, key: str, next_try: float, reason: str) -> None:
        await self._execute(
            "UPDATE events SET next_try = $1, claimed_until = NULL, error = $2 WHERE key = $3"
            " AND status = $4", next_try, reason, key, STATUS_PENDING)

    async def fail(self, key: str, reason: str, now: float) -> None:
        await self._execute(
            "UPDATE events SET status = $1, claimed_until = NULL, error = $2, done_at = $3"
            " WHERE key = $4 AND status = $5", STATUS_FAILED, reason, now, key, STATUS_PENDING)

    async def renew(self, key: str, until: float) -> None:
        await self._execute("UPDATE events SET claimed_until = $1 WHERE key = $2 AND status = $3"
                                " AND claimed_until IS NOT NULL", until, key, STATUS_PENDING)

    async def renew_many(self, keys: Sequence[str], until: float) -> None:
        await self._execute("UPDATE events SET claimed_until = $1 WHERE key = ANY($2::text[])"
                            " AND status = $3 AND claimed_until IS NOT NULL", until, list(keys),
                            STATUS_PENDING)

    async def release(self, key: str, retry_at: float | None = None) -> None:
        if retry_at is None:
            await self._execute(
                "UPDATE events SET claimed_until = NULL, attempts = GREATEST(attempts - 1, 0)"
                " WHERE key = $1 AND status = $2 AND claimed_until IS NOT NULL", key, STATUS_PENDING)
        else:
            await self._execute(
                "UPDATE events SET claimed_until = NULL, next_try = $1 WHERE key = $2 AND status = $3"
                " AND claimed_until IS NOT NULL", retry_at, key, STATUS_PENDING)

    async def page_broken(self, page_id: str, reason: str) -> bool:
        status = await self._execute("UPDATE pages SET needs_reconnect = $1 WHERE page_id = $2"
                                     " AND needs_reconnect IS NULL", reason, page_id)
        return status != "UPDATE 0"

    async def page_access(self, page_id: str) -> tuple[str, str | None, str | None] | None:
        row = await self._fetchrow(
            "SELECT access_token, user_token, needs_reconnect FROM pages WHERE page_id = $1", page_id)
        return (row[0], row[1], row[2]) if row else None

    async def needs_reconnect(self, page_id: str) -> str | None:
        value = await self._fetchval("SELECT needs_reconnect FROM pages WHERE page_id = $1", page_id)
        return str(value) if value is not None else None

    async def wait_for_page(self, key: str, next_try: float, reason: str) -> None:
        await self._execute(
            "UPDATE events SET next_try = $1, claimed_until = NULL, error = $2,"
            " attempts = GREATEST(attempts - 1, 0) WHERE key = $3 AND status = $4",
            next_try, reason, key, STATUS_PENDING)

    async def events(self, state: str | None = None, limit: int = 100) -> list[dict[str, Any]]:
        where = f"WHERE {STATES[state]}" if state else ""
        rows = await self._fetch(f"SELECT {EVENT_COLUMNS} FROM events {where}"
                                 " ORDER BY received_at, key LIMIT $1", limit)
        return [event_state(dict(r)) for r in rows]

    async def requeue(self, now: float, *, keys: Sequence[str] = (), state: str | None = None) -> int:
        chosen = ["key = ANY($4::text[])"] if keys else []
        if state:
            chosen.append(STATES[state])
        if not chosen:
            return 0
        status = await self._execute(
            "UPDATE events SET status = $1, next_try = $2, attempts = 0, claimed_until = NULL,"
            " error = NULL, done_at = NULL WHERE status IN ($1, $3)"
            " AND (claimed_until IS NULL OR claimed_until < $2) AND " + " AND ".join(chosen),
            STATUS_PENDING, now, STATUS_FAILED, *([list(keys)] if keys else []))
        return int(status.split()[-1])

    async def leads_after(self, after: int, limit: int) -> list[dict[str, Any]]:
        rows = await self._fetch("SELECT * FROM leads WHERE seq > $1 ORDER BY seq LIMIT $2", after, limit)
        return [decode_lead(dict(r)) for r in rows]

    async def claim_forward(self, now: float, lease: float) -> dict[str, Any] | None:
        row = await self._fetchrow(
            "UPDATE leads SET forward_claimed_until = $1, forward_attempts = forward_attempts + 1"
            " WHERE leadgen_id = (SELECT leadgen_id FROM leads WHERE forward_status = 'pending'"
            " AND forward_next_try <= $2 AND (forward_claimed_until IS NULL OR forward_claimed_until < $2)"
            " ORDER BY seq LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING *", now + lease, now)
        return decode_lead(dict(row)) if row else None

    async def forward_done(self, leadgen_id: str, status: str, reason: str | None,
                           next_try: float | None = None) -> None:
        await self._execute(
            "UPDATE leads SET forward_status = $1, forward_error = $2, forward_claimed_until = NULL,"
            " forward_next_try = COALESCE($3, forward_next_try) WHERE leadgen_id = $4",
            status, reason, next_try, leadgen_id)

    async def release_forward(self, leadgen_id: str) -> None:
        await self._execute(
            "UPDATE leads SET forward_claimed_until = NULL, forward_attempts = GREATEST(forward_attempts - 1, 0)"
            " WHERE leadgen_id = $1 AND forward_status = 'pending' AND forward_claimed_until IS NOT NULL",
            leadgen_id)

    async def metrics(self) -> dict[str, float | None]:
        row = await self._fetchrow(METRICS_QUERY)
        return metrics_figures(row)

    async def probe(self, now: float) -> None:
        await self._execute("INSERT INTO health_probe (id, written_at) VALUES (1, $1)"
                                " ON CONFLICT (id) DO UPDATE SET written_at = excluded.written_at", now)

    async def retry_page_now(self, page_id: str, now: float) -> int:
        status = await self._execute(
            "UPDATE events SET next_try = $1 WHERE page_id = $2 AND status = $3 AND next_try > $1",
            now, page_id, STATUS_PENDING)
        return int(status.split()[-1])

    async def release_claims(self) -> None:
        await self._execute("UPDATE events SET claimed_until = NULL WHERE claimed_until IS NOT NULL")

    async def next_due(self) -> float | None:
        value = await self._fetchval(
            "SELECT MIN(GREATEST(next_try, claimed_until)) FROM events WHERE status = $1", STATUS_PENDING)
        return float(value) if value is not None else None

    async def event(self, key: str) -> dict[str, Any] | None:
        row = await self._fetchrow("SELECT * FROM events WHERE key = $1", key)
        return dict(row) if row else None

    async def counts(self) -> dict[str, int]:
        return await self._run(self._counts, transaction=True, isolation="repeatable_read")

    @staticmethod
    async def _counts(conn: Any) -> dict[str, int]:
        by_status = {r[0]: int(r[1]) for r in await conn.fetch(
            "SELECT status, COUNT(*) FROM events GROUP BY status")}
        retries = await conn.fetchval(
            "SELECT COALESCE(SUM(attempts - 1), 0) FROM events WHERE attempts > 1")
        leads = await conn.fetchval("SELECT COUNT(*) FROM leads")
        return {**by_status, "retries": int(retries), "leads": int(leads)}

    async def save_page(self, page_id: str, name: str | None, token: str, user_token: str | None,
                        now: float) -> None:
        await self._execute(
            "INSERT INTO pages (page_id, name, access_token, user_token, connected_at)"
            " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (page_id) DO UPDATE SET name = excluded.name,"
            " access_token = excluded.access_token, user_token = excluded.user_token,"
            " connected_at = excluded.connected_at, needs_reconnect = NULL",
            page_id, name, token, user_token, now)

    async def tokens(self, page_id: str) -> tuple[str, str | None] | None:
        row = await self._fetchrow(
            "SELECT access_token, user_token FROM pages WHERE page_id = $1", page_id)
        return (row[0], row[1]) if row else None

    async def pages(self) -> list[dict[str, Any]]:
        rows = await self._fetch(
            "SELECT page_id, name, connected_at, needs_reconnect FROM pages ORDER BY connected_at, page_id")
        return [page_row(tuple(r)) for r in rows]

    async def forward_counts(self) -> dict[str, int]:
        rows = await self._fetch("SELECT forward_status, COUNT(*) FROM leads GROUP BY forward_status")
        return {str(r[0]): int(r[1]) for r in rows}

    async def leads(self, limit: int = 100) -> list[dict[str, Any]]:
        rows = await self._fetch(
            "SELECT * FROM leads ORDER BY stored_at DESC, leadgen_id LIMIT $1", limit)
        return [decode_lead(dict(r)) for r in rows]

    async def put_state(self, state: str, redirect_uri: str, expires_at: float) -> None:
        await self._execute(
            "INSERT INTO oauth_states (state, redirect_uri, expires_at) VALUES ($1, $2, $3)",
            state, redirect_uri, expires_at)

    async def take_state(self, state: str, now: float) -> str | None:
        async def take(conn: Any) -> Any:
            row = await conn.fetchrow(
                "DELETE FROM oauth_states WHERE state = $1 RETURNING redirect_uri, expires_at", state)
            await conn.execute("DELETE FROM oauth_states WHERE expires_at < $1", now)
            return row
        row = await self._run(take, transaction=True)
        if row is None or row[1] < now:
            return None
        return str(row[0])
