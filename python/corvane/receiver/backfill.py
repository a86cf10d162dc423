"""Catching up: reads the leads of a connected Page's forms since a time and stores those the
receiver has not stored. Meta stops redelivering a webhook after a while, and a Page that was
disconnected got none, so without this those leads would never reach the CRM.

A lead is stored as the worker stores a fetched one (the same normalisation, its ad context,
the same transaction) under the key its webhook event has, so a delivery that comes later is a
repeat, and a stored lead then flows on like any other (the pull cursor, the forward URL)."""
from __future__ import annotations

import asyncio
import json
import time
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Protocol, TextIO

from corvane.errors import CorvaneError, RateLimitError
from corvane.facebook import Facebook
from corvane.models import Lead, LeadForm
from corvane.webhooks import WebhookEvent

from .redact import describe
from .store import STATUS_DONE, Claimed, NewEvent, Store
from .worker import crm_record, dead_token

# Forms read at once: enough to overlap the round trips, few enough that the client's pacing
# (the usage headers of one Page's budget) stays in charge.
CONCURRENCY = 3


@dataclass
class Counts:
    forms: int = 0  # forms read to the end
    seen: int = 0
    stored: int = 0  # new, stored now
    present: int = 0  # stored before (by the worker or an earlier run)
    failed: int = 0

    def count(self, outcome: str) -> None:
        """One lead seen, and what became of it: stored, present or failed."""
        self.seen += 1
        setattr(self, outcome, getattr(self, outcome) + 1)

    def line(self) -> str:
        return (f"{self.seen} ta lead ko'rildi, {self.stored} tasi yangi saqlandi, {self.present} "
                f"tasi oldin saqlangan edi, {self.failed} tasi saqlanmadi")


class Progress(Protocol):
    def lead(self, total: Counts) -> None: ...

    def form(self, form_id: str, counts: Counts, problem: str | None) -> None: ...

    def close(self) -> None: ...


class Lines:
    """One line per form, for a log."""

    def __init__(self, out: TextIO) -> None:
        self.out = out

    def lead(self, total: Counts) -> None:
        pass

    def form(self, form_id: str, counts: Counts, problem: str | None) -> None:
        tail = f"; to'xtadi: {problem}" if problem else ""
        print(f"forma {form_id}: {counts.line()}{tail}", file=self.out, flush=True)

    def close(self) -> None:
        pass


class Bar:
    """A progress bar on a terminal: leads seen, forms done, leads stored."""

    def __init__(self, tqdm: Any, forms: int, err: TextIO) -> None:
        self.forms, self.done, self.err = forms, 0, err
        self.bar = tqdm(total=None, unit=" lead", desc=f"0/{forms} forma", file=err, leave=True)

    def lead(self, total: Counts) -> None:
        self.bar.set_postfix_str(f"{total.stored} yangi", refresh=False)
        self.bar.update(1)

    def form(self, form_id: str, counts: Counts, problem: str | None) -> None:
        self.done += 1
        self.bar.set_description_str(f"{self.done}/{self.forms} forma")
        if problem:
            self.bar.write(f"forma {form_id}: to'xtadi: {problem}", file=self.err)

    def close(self) -> None:
        self.bar.close()


def progress_for(forms: int, out: TextIO, err: TextIO, tty: bool) -> Progress:
    if tty:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:  # the bar is a nicety: plain lines do
            return Lines(out)
        return Bar(tqdm, forms, err)
    return Lines(out)


class Backfill:
    """One run over one Page's forms with one client, so its pacing covers the whole run."""

    def __init__(self, store: Store, facebook: Facebook, page_id: str, tokens: tuple[str, str | None],
                 since: int, secrets: Sequence[str]) -> None:
        self.store = store
        self.facebook = facebook
        self.page_id = page_id
        self.page_token, user_token = tokens
        # The ad is read as the worker reads it: with the connecting user's token (ads_management).
        self.ad_token = user_token or self.page_token
        self.since = since
        self.secrets = (*secrets, self.page_token, user_token)
        self.total = Counts()
        self.halted: CorvaneError | None = None  # a throttle or a dead token: the run stops
        self.problems = 0  # forms whose listing failed otherwise
        self._ads: dict[str, asyncio.Future[Any]] = {}

    def reason(self, error: BaseException) -> str:
        return describe(error, self.secrets)

    async def forms(self, form_id: str | None) -> list[LeadForm]:
        forms = await self.facebook.lead_forms(self.page_id, self.page_token)
        return [f for f in forms if form_id is None or f.id == form_id]

    async def run(self, forms: list[LeadForm], progress: Progress) -> Counts:
        slots = asyncio.Semaphore(CONCURRENCY)

        async def one(form: LeadForm) -> None:
            async with slots:
                if self.halted is None:
                    await self._form(form.id, progress)

        await asyncio.gather(*(one(form) for form in forms))
        return self.total

    async def _form(self, form_id: str, progress: Progress) -> None:
        counts = Counts()
        problem = None
        try:
            async for lead in self.facebook.iter_leads(form_id, self.page_token, since=self.since):
                if self.halted is not None:
                    break
                outcome = await self._lead(lead)
                counts.count(outcome)
                self.total.count(outcome)
                progress.lead(self.total)
            else:
                counts.forms = 1
        except CorvaneError as error:
            problem = self.reason(error)
            if isinstance(error, RateLimitError) or dead_token(error) is not None:
                self.halted = self.halted or error
            else:
                self.problems += 1
        progress.form(form_id, counts, problem)
        self.total.forms += counts.forms

    async def _lead(self, lead: Lead) -> str:
        event = _event(self.page_id, lead)
        try:
            known = await self.store.event(event.key)
            if known is not None and known["status"] == STATUS_DONE:
                return "present"
            context = await self._ad(lead.ad_id)
            now = time.time()
            if known is None:
                # Recorded first, as a delivery would be, since a stored lead names its event.
                await self.store.record([event], now)
            record = crm_record(Claimed(event.key, self.page_id, lead.id, 0), lead, context)
            await self.store.complete(event.key, record, now)
        except RateLimitError:
            raise
        except CorvaneError as error:
            if dead_token(error) is not None:
                raise
            return "failed"
        except Exception:  # noqa: BLE001 - a store hiccup fails this lead; a rerun takes it again
            return "failed"
        return "stored"

    async def _ad(self, ad_id: str | None) -> dict[str, Any]:
        # The leads of a form mostly come through a few ads: each is read once a run.
        if not ad_id:
            return {}
        task = self._ads.get(ad_id)
        if task is None:
            task = self._ads[ad_id] = asyncio.ensure_future(self.facebook.ad_context(ad_id, self.ad_token))
        try:
            return dict(await task)
        except BaseException:
            if self._ads.get(ad_id) is task:  # the next lead of this ad tries again
                del self._ads[ad_id]
            raise


def _event(page_id: str, lead: Lead) -> NewEvent:
    """The event Meta's webhook would have delivered for the lead, under the same key."""
    value: dict[str, Any] = {"form_id": lead.form_id, "leadgen_id": lead.id, "page_id": page_id}
    created = _unix(lead.created_time)
    if created is not None:
        value["created_time"] = created
    if lead.ad_id:
        value["ad_id"] = lead.ad_id
    webhook = WebhookEvent("page", "leadgen", page_id, created, value)
    return NewEvent(webhook.key, "page", "leadgen", page_id, lead.id,
                    json.dumps(value, ensure_ascii=False, separators=(",", ":")))


def _unix(text: str | None) -> int | None:
    # The Graph API writes times as 2026-12-08T10:00:00+0000, which fromisoformat reads only
    # from Python 3.11 on.
    if not text:
        return None
    try:
        return int(datetime.strptime(text, "%Y-%m-%dT%H:%M:%S%z").timestamp())
    except ValueError:
        return None
