"""The receiver's store: one small interface, an SQLite and a PostgreSQL implementation, one
schema kept as plain SQL files in migrations/."""
from __future__ import annotations

import abc
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any

STATUS_PENDING = "pending"
STATUS_DONE = "done"
STATUS_FAILED = "failed"
STATUS_IGNORED = "ignored"

# What an operator sees of an event: "waiting" is pending after a failed attempt (a Page not
# connected, a token that stopped working, a Graph API outage), with the reason in `error`.
STATES = {
    "pending": "status = 'pending' AND error IS NULL",
    "waiting": "status = 'pending' AND error IS NOT NULL",
    "failed": "status = 'failed'",
    "done": "status = 'done'",
    "ignored": "status = 'ignored'",
}
EVENT_COLUMNS = ("key, object_type, field, page_id, leadgen_id, status, attempts, next_try,"
                 " claimed_until, error, received_at, done_at")


def event_state(row: dict[str, Any]) -> dict[str, Any]:
    """An event row as listed, with its state."""
    state = row["status"]
    if state == STATUS_PENDING and row["error"] is not None:
        state = "waiting"
    return {"state": state, **row}


# What /metrics reads of the store, as one statement both databases run unchanged, each part
# on an index: open events by state, when the oldest not yet stored arrived, the leads stored
# (their last number: no full count of a table that only grows) and those whose forward failed.
METRICS_QUERY = (
    "SELECT (SELECT COUNT(*) FROM events WHERE status = 'pending' AND error IS NULL),"
    " (SELECT COUNT(*) FROM events WHERE status = 'pending' AND error IS NOT NULL),"
    " (SELECT COUNT(*) FROM events WHERE status = 'failed'),"
    " (SELECT MIN(received_at) FROM events WHERE status = 'pending'),"
    " (SELECT COALESCE(MAX(seq), 0) FROM leads),"
    " (SELECT COUNT(*) FROM leads WHERE forward_status = 'failed')")
METRICS_COLUMNS = ("pending", "waiting", "failed", "oldest_pending", "leads", "forward_failed")


def metrics_figures(row: Sequence[Any]) -> dict[str, float | None]:
    return {name: None if value is None else float(value) for name, value in zip(METRICS_COLUMNS, row)}


# A key goes into a unique index: PostgreSQL's b-tree takes about 2,700 bytes an entry.
MAX_ID_BYTES = 1024


@dataclass(frozen=True, init=False)
class NewEvent:
    """An event of a verified delivery, as it is recorded."""

    key: str
    object_type: str
    field: str
    page_id: str | None
    leadgen_id: str | None
    payload: str  # the event's value as JSON text

    def __init__(self, key: str, object_type: str, field: str, page_id: str | None,
                 leadgen_id: str | None, payload: str) -> None:
        # Written into the instance's dict: the generated __init__ of a frozen dataclass sets
        # each field through object.__setattr__, at three times the cost, for every event of
        # every delivery.
        members = self.__dict__
        members["key"] = key
        members["object_type"] = object_type
        members["field"] = field
        members["page_id"] = page_id
        members["leadgen_id"] = leadgen_id
        members["payload"] = payload

    @property
    def status(self) -> str:
        return STATUS_PENDING if self.field == "leadgen" and self.leadgen_id else STATUS_IGNORED


def check_storable(event: NewEvent) -> None:
    """Raises ValueError for an event that a database would refuse: text that is no UTF-8 (an
    escaped lone surrogate), a NUL character (PostgreSQL's text can't hold one), or a key or
    id too long for an index."""
    for text in (event.key, event.object_type, event.field, event.page_id, event.leadgen_id):
        # ASCII text (almost every id) is its own UTF-8: no need to encode it to know.
        if text is not None and ("\x00" in text or (len(text) if text.isascii()
                                                    else len(text.encode("utf-8"))) > MAX_ID_BYTES):
            raise ValueError("an id that can't be stored")
    if not event.payload.isascii():
        event.payload.encode("utf-8")  # UnicodeEncodeError is a ValueError


@dataclass(frozen=True)
class Claimed:
    """A pending lead event that a worker has taken for one attempt."""

    key: str
    page_id: str | None
    leadgen_id: str
    attempts: int  # this attempt included


@dataclass(frozen=True)
class LeadRecord:
    """A CRM record, stored in the same transaction that marks its event done. The dicts are
    stored as JSON text."""

    leadgen_id: str
    page_id: str | None
    form_id: str | None
    ad_id: str | None
    created_time: str | None
    fields: dict[str, Any]
    custom: dict[str, Any]
    ad_context: dict[str, Any]
    raw: dict[str, Any]


def migrations() -> list[tuple[str, list[str]]]:
    """(version, statements) of every migration file, in order."""
    folder = resources.files(__package__).joinpath("migrations")
    out = []
    for entry in sorted(folder.iterdir(), key=lambda e: e.name):
        if entry.name.endswith(".sql"):
            text = "\n".join(line for line in entry.read_text("utf-8").splitlines()
                             if not line.lstrip().startswith("--"))
            out.append((entry.name[:-4], [s.strip() for s in text.split(";") if s.strip()]))
    return out


class Store(abc.ABC):
    """What the receiver keeps. Every method is one transaction."""

    # True when one receiver process is the store's only user (a file of its own): the claims
    # a stopped run left are then freed at the next start instead of waiting out their lease.
    single_user: bool = False

    @abc.abstractmethod
    async def open(self) -> None:
        """Connects and brings the schema up to date."""

    @abc.abstractmethod
    async def close(self) -> None: ...

    # ---- events ----

    @abc.abstractmethod
    async def record(self, events: list[NewEvent], now: float) -> int:
        """Records the events whose key is new; returns how many were new."""

    @abc.abstractmethod
    async def claim(self, now: float, lease: float) -> Claimed | None:
        """Takes one due pending lead event for `lease` seconds, counting the attempt; no other
        worker (in this process or another) gets it during the lease."""

    async def claim_many(self, now: float, lease: float, limit: int) -> list[Claimed]:
        """Takes up to `limit` due pending lead events at once, each as claim() takes one. One
        statement: a claim whose caller is cancelled midway is lost to it only until its lease
        ends, as with claim(). This default takes one."""
        one = await self.claim(now, lease)
        return [] if one is None else [one]

    @abc.abstractmethod
    async def complete(self, key: str, lead: LeadRecord, now: float) -> None:
        """Stores the CRM record and marks the event done, together."""

    @abc.abstractmethod
    async def postpone(self, key: str, next_try: float, reason: str) -> None:
        """Leaves the event pending until `next_try`, with the reason of the failed attempt."""

    @abc.abstractmethod
    async def fail(self, key: str, reason: str, now: float) -> None:
        """Marks the event failed for good."""

    async def renew(self, key: str, until: float) -> None:
        """Extends a claim this worker holds while its fetch goes on."""

    async def renew_many(self, keys: Sequence[str], until: float) -> None:
        """Extends the claims of `keys` as renew() extends one; the stores do it in one
        statement."""
        for key in keys:
            await self.renew(key, until)

    async def release(self, key: str, retry_at: float | None = None) -> None:
        """Gives a claim back before its lease ends. Without `retry_at` (the worker stops) the
        attempt it counted is taken back; with it (a store call failed after the claim) the
        attempt stands and the event waits until then."""

    async def page_broken(self, page_id: str, reason: str) -> bool:
        """Marks a connected Page as needing to be connected again; True when it was not
        marked yet. Connecting it (save_page) clears the mark."""
        return False

    async def needs_reconnect(self, page_id: str) -> str | None:
        """Why the Page must be connected again, or None while its token works."""
        return None

    async def page_access(self, page_id: str) -> tuple[str, str | None, str | None] | None:
        """What a worker needs of a Page in one read: (page token, user token, why the Page
        must be connected again or None), or None when it is not connected."""
        tokens = await self.tokens(page_id)
        if tokens is None:
            return None
        return (*tokens, await self.needs_reconnect(page_id))

    async def wait_for_page(self, key: str, next_try: float, reason: str) -> None:
        """Gives a claimed event back to wait for its Page, the attempt not counted."""
        await self.postpone(key, next_try, reason)

    async def events(self, state: str | None = None, limit: int = 100) -> list[dict[str, Any]]:
        """Events, oldest first, without their payload; `state` is one of STATES."""
        raise NotImplementedError

    async def requeue(self, now: float, *, keys: Sequence[str] = (), state: str | None = None) -> int:
        """Makes failed and waiting events (those named, or all in `state`) due at once with
        fresh retries; an event being fetched right now is left alone. Returns how many."""
        raise NotImplementedError

    async def leads_after(self, after: int, limit: int) -> list[dict[str, Any]]:
        """CRM records in the order they were committed, after the one numbered `after` (each
        record's `seq`; 0 for the first)."""
        raise NotImplementedError

    # ---- forwarding to a CRM ----

    async def claim_forward(self, now: float, lease: float) -> dict[str, Any] | None:
        """Takes one stored lead due to be sent to the forward URL for `lease` seconds,
        counting the attempt; the lead as leads() gives it."""
        raise NotImplementedError

    async def forward_done(self, leadgen_id: str, status: str, reason: str | None,
                           next_try: float | None = None) -> None:
        """Settles a claimed forward: "sent", "failed" (for good, with the reason), or
        "pending" again at `next_try` with the reason of the failed attempt."""
        raise NotImplementedError

    async def release_forward(self, leadgen_id: str) -> None:
        """Gives a forward claim back (the receiver stops); its attempt is taken back."""
        raise NotImplementedError

    async def metrics(self) -> dict[str, float | None]:
        """METRICS_QUERY's figures by METRICS_COLUMNS' names; oldest_pending is a Unix time,
        None without a pending event."""
        raise NotImplementedError

    async def forward_counts(self) -> dict[str, int]:
        """Stored leads by forward_status: pending, sent, failed."""
        raise NotImplementedError

    async def probe(self, now: float) -> None:
        """A small write, for /health: raises when the store can't be written."""
        await self.counts()

    @abc.abstractmethod
    async def retry_page_now(self, page_id: str, now: float) -> int:
        """Makes the pending events of a Page due at once (it has just been connected); returns
        how many there were."""

    @abc.abstractmethod
    async def release_claims(self) -> None:
        """Frees every claim (a single receiver starting again after a stop)."""

    @abc.abstractmethod
    async def next_due(self) -> float | None:
        """The earliest time a pending event can be claimed: its next try, or the end of its
        claim's lease when that is later."""

    @abc.abstractmethod
    async def event(self, key: str) -> dict[str, Any] | None: ...

    @abc.abstractmethod
    async def counts(self) -> dict[str, int]:
        """Events by status, leads stored, and retries (attempts beyond each event's first)."""

    # ---- Pages and login ----

    @abc.abstractmethod
    async def save_page(self, page_id: str, name: str | None, token: str, user_token: str | None,
                        now: float) -> None: ...

    @abc.abstractmethod
    async def tokens(self, page_id: str) -> tuple[str, str | None] | None:
        """(page token, user token) of a connected Page."""

    @abc.abstractmethod
    async def pages(self) -> list[dict[str, Any]]:
        """Connected Pages without their tokens."""

    @abc.abstractmethod
    async def leads(self, limit: int = 100) -> list[dict[str, Any]]:
        """The newest CRM records, JSON members decoded."""

    @abc.abstractmethod
    async def put_state(self, state: str, redirect_uri: str, expires_at: float) -> None: ...

    @abc.abstractmethod
    async def take_state(self, state: str, now: float) -> str | None:
        """Spends a login state: its redirect URI when it was known and unexpired, else None.
        Either way it can never be used again."""


def open_store(db: str) -> Store:
    """The store for `--db`: a postgresql:// DSN, else an SQLite file path."""
    if db.startswith(("postgresql://", "postgres://")):
        from .postgres_store import PostgresStore

        return PostgresStore(db)
    from .sqlite_store import SqliteStore

    return SqliteStore(db)
