"""The worker: fetches the lead of each pending "leadgen" event with its Page's token, adds the
ad context, normalises the answers and stores the CRM record in the transaction that marks the
event done. Never in the webhook request: a delivery is acknowledged as soon as it is recorded.

A claim is a lease: renewed while the worker holds it (one statement a third of a lease for
all it holds), and the fetch itself is bounded, so no other worker takes a lead that is still
being fetched. A claim is given back when the worker stops or a store call fails, rather than
held until its lease runs out."""
from __future__ import annotations

import asyncio
import logging
import random
import re
import time
from collections import Counter
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from corvane.errors import AuthError, CorvaneError, NotFoundError
from corvane.facebook import Facebook
from corvane.leads import normalize

from .fetch import LeadFetcher
from .outage import OutageLog
from .redact import describe
from .store import Claimed, LeadRecord, Store
from .traffic import Traffic

log = logging.getLogger("corvane.receiver")

# Events one claim takes at most: about a Graph batch call's worth (fetch.LEADS_PER_CALL), so
# that a backlog costs one claim per call rather than one per lead.
CLAIM_AT_ONCE = 25


@dataclass
class WorkerSettings:
    concurrency: int = 4  # loops claiming events
    in_flight: int = 50  # leads being fetched at once: those of one Page share batch calls
    lease: float = 90.0  # renewed every third of it while the worker holds the claim
    fetch_timeout: float = 45.0  # one lead with its ad context, retries included
    poll: float = 1.0  # how often to look for events that other receivers recorded
    # A loop that found fewer due events than it could take waits this long before its next
    # claim, so that a stream of deliveries is claimed a batch at a time, not one by one.
    gather: float = 0.05
    # In a process that also receives, a claim waits while a burst of deliveries comes in (over
    # a thousand a second), at most this long: acknowledging comes first.
    give_way: float = 0.5
    backoff_base: float = 2.0
    backoff_max: float = 600.0

    def delay(self, attempts: int) -> float:
        raw = min(self.backoff_max, self.backoff_base * 2.0 ** max(0, attempts - 1))
        return raw * random.uniform(0.8, 1.0)


# Graph's subcodes of a token that stopped working: only a new login brings the Page back.
_DEAD_TOKEN = {458: "ilova olib tashlangan", 460: "parol o'zgartirilgan", 463: "muddati o'tgan",
               467: "token yaroqsiz"}


def dead_token(error: BaseException) -> str | None:
    """Why a Page's token stopped working, or None for any other failure. Code 190 that names
    the kind of token a call needs is a wrong call, not a dead token."""
    if not isinstance(error, AuthError) or getattr(error, "code", None) != 190:
        return None
    if "must be called with" in str(getattr(error, "message", None) or error):
        return None
    return _DEAD_TOKEN.get(getattr(error, "subcode", None) or 0, "token ishlamayapti")


def failure_kind(error: BaseException) -> str:
    """A failed fetch's kind, for /metrics: its kind of corvane.errors in snake case (auth,
    rate_limit, not_found, transport, ...), timeout, or other. A small fixed set, never a text
    the error carries."""
    if isinstance(error, asyncio.TimeoutError):
        return "timeout"
    for kind in type(error).__mro__:
        if kind.__module__ == "corvane.errors":
            return re.sub(r"(?<=[a-z])(?=[A-Z])", "_", kind.__name__.removesuffix("Error")).lower()
    return "other"


def crm_record(event: Claimed, lead: Any, ad_context: Mapping[str, Any]) -> LeadRecord:
    normalized = normalize(lead.field_data).as_dict()
    custom = normalized.pop("custom", {})
    return LeadRecord(
        leadgen_id=event.leadgen_id, page_id=event.page_id, form_id=lead.form_id, ad_id=lead.ad_id,
        created_time=lead.created_time, fields=normalized, custom=custom, ad_context=dict(ad_context),
        raw=lead.raw)


class Worker:
    def __init__(self, store: Store, facebook: Facebook, settings: WorkerSettings,
                 secrets: tuple[str, ...] = (), traffic: Traffic | None = None) -> None:
        self.store = store
        self.traffic = traffic
        self.facebook = facebook
        self.settings = settings
        self.secrets = secrets
        self._wake = asyncio.Event()
        self._tasks: list[asyncio.Task[None]] = []
        self._fetching: set[asyncio.Task[None]] = set()
        self._slots = asyncio.Semaphore(settings.in_flight)
        self._held: set[str] = set()  # keys claimed and not yet settled
        # A Page's tokens being read: the events of one Page claimed together share the read.
        self._pages: dict[str, asyncio.Future[tuple[str, str | None, str | None] | None]] = {}
        self.fetcher = LeadFetcher(facebook)
        self.stored: Callable[[], None] = lambda: None  # told of each lead stored
        self.outage = OutageLog(log)
        self.failures: Counter[str] = Counter()  # failed fetches by failure_kind, for /metrics

    def wake(self) -> None:
        self._wake.set()

    def start(self) -> None:
        self._tasks = [asyncio.create_task(self._loop(), name=f"corvane-worker-{n}")
                       for n in range(self.settings.concurrency)]
        if self._tasks:
            self._tasks.append(asyncio.create_task(self._renew(), name="corvane-worker-leases"))

    async def stop(self) -> None:
        tasks = [*self._tasks, *self._fetching]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for read in list(self._pages.values()):
            read.cancel()
        await self.fetcher.close()
        self._tasks = []
        # The leads being fetched are given back, for the next start or another receiver.
        for key in list(self._held):
            await self._release(key)

    async def _loop(self) -> None:
        # A store that fails (a restarting database) must not end the loop: the event stays
        # pending, and its claim is given back (or comes back when its lease runs out).
        # Each claimed event is fetched in a task of its own, so that a loop claims the next one
        # at once: the leads of one Page being fetched together go out in shared batch calls.
        while True:
            if self.traffic is not None:  # before a slot is taken: a stop meanwhile holds none
                await self.traffic.calm(self.settings.give_way)
            await self._slots.acquire()
            taken = 1 + await self._take_free(CLAIM_AT_ONCE - 1)
            try:
                events = await self.store.claim_many(time.time(), self.settings.lease, taken)
                self.outage.recovered("ishchi")
            except asyncio.CancelledError:
                self._free(taken)
                raise
            except Exception as error:  # noqa: BLE001
                self._free(taken)
                self.outage.failed("ishchi", error, describe(error, self.secrets))
                await asyncio.sleep(self.settings.poll)
                await self._idle()
                continue
            self._free(taken - len(events))
            if not events:
                await self._idle()
                continue
            for event in events:
                self._held.add(event.key)
                task = asyncio.ensure_future(self._settle(event))
                self._fetching.add(task)
                task.add_done_callback(self._fetching.discard)
            if len(events) < taken:
                await asyncio.sleep(self.settings.gather)

    async def _take_free(self, most: int) -> int:
        taken = 0
        while taken < most and not self._slots.locked():
            await self._slots.acquire()  # a free slot: taken without waiting
            taken += 1
        return taken

    def _free(self, slots: int) -> None:
        for _ in range(slots):
            self._slots.release()

    async def _settle(self, event: Claimed) -> None:
        try:
            await self.process(event)
            self._held.discard(event.key)
        except asyncio.CancelledError:
            raise
        except Exception as error:  # noqa: BLE001
            self.outage.failed("ishchi", error, describe(error, self.secrets))
            # With back-off: a store that keeps refusing is not hammered.
            await self._release(event.key, time.time() + self.settings.delay(event.attempts))
        finally:
            self._slots.release()

    async def _release(self, key: str, retry_at: float | None = None) -> None:
        try:
            await self.store.release(key, retry_at)
        except Exception as error:  # noqa: BLE001 - the lease frees it in the end
            self.outage.failed("ishchi", error, describe(error, self.secrets))
        self._held.discard(key)

    async def _idle(self) -> None:
        # Due counts only what could be claimed: an event another worker holds becomes due
        # when its lease ends, not before.
        wait = self.settings.poll
        try:
            due = await self.store.next_due()
        except Exception:  # noqa: BLE001 - the loop must survive a store hiccup
            due = None
        if due is not None:
            wait = max(0.01, min(wait, due - time.time()))
        self._wake.clear()
        try:
            await asyncio.wait_for(self._wake.wait(), wait)
        except asyncio.TimeoutError:
            pass

    async def _fetch(self, event: Claimed, page_token: str, user_token: str | None) -> tuple[Any, Any]:
        # The ad is read with the token of the user who connected the Page (ads_management);
        # a refusal yields an empty context and the lead is stored all the same.
        lead, context = await self.fetcher.fetch(event.leadgen_id, page_token, user_token)
        return lead, context

    async def _renew(self) -> None:
        # Every claim held, in one statement: a claim settled meanwhile is left as it is (the
        # store renews only a pending event that is still claimed).
        while True:
            await asyncio.sleep(self.settings.lease / 3)
            if not self._held:
                continue
            try:
                await self.store.renew_many(list(self._held), time.time() + self.settings.lease)
            except Exception as error:  # noqa: BLE001 - the fetches go on; their bound holds
                self.outage.failed("ishchi", error, describe(error, self.secrets))

    async def process(self, event: Claimed) -> None:
        if not event.page_id:
            # Without a Page there is no token to read the lead with, now or later.
            await self.store.fail(event.key, "the event names no Page", time.time())
            return
        access = await self._page_access(event.page_id)
        if access is None:
            # The Page may be connected later; the event waits for it.
            await self._postpone(event, f"Page {event.page_id} is not connected")
            return
        page_token, user_token, broken = access
        if broken is not None:
            await self._wait_for_page(event, broken)
            return
        secrets = (*self.secrets, page_token, user_token)
        try:
            # Bounded whatever the client's session allows: a fetch never outlives its claim.
            lead, context = await asyncio.wait_for(self._fetch(event, page_token, user_token),
                                                   self.settings.fetch_timeout)
        except asyncio.CancelledError:
            raise
        except asyncio.TimeoutError:
            self.failures["timeout"] += 1
            await self._postpone(event, f"lead {self.settings.fetch_timeout:g}s ichida olinmadi")
            return
        except CorvaneError as error:
            self.failures[failure_kind(error)] += 1
            reason = describe(error, secrets)
            broken = dead_token(error)
            if broken is not None:
                if await self.store.page_broken(event.page_id, f"{broken} ({reason})"):
                    log.warning("Page %s qayta ulanishi kerak (%s): uning leadlari /connect orqali "
                                "qayta ulanguncha kutadi", event.page_id, broken)
                await self._wait_for_page(event, f"{broken} ({reason})")
                return
            # Not there (a deleted or expired lead, a wrong id): it will never be fetched.
            if isinstance(error, NotFoundError):
                log.warning("lead %s failed for good: %s", event.leadgen_id, reason)
                await self.store.fail(event.key, reason, time.time())
            else:
                await self._postpone(event, reason)
            return
        except Exception as error:  # noqa: BLE001 - a fault in one lead must not stop the others
            self.failures[failure_kind(error)] += 1
            await self._postpone(event, describe(error, secrets))
            return
        if lead.ad_id and not context:
            # The client logs the refusal at info level; for this host a lead without its
            # campaign is a fault of its setup, to be seen.
            log.warning("lead %s: the ad %s could not be read, stored without its campaign "
                        "(the connecting user's token needs ads_management)",
                        event.leadgen_id, lead.ad_id)
        await self.store.complete(event.key, crm_record(event, lead, context), time.time())
        log.info("lead %s stored", event.leadgen_id)
        self.stored()

    async def _page_access(self, page_id: str) -> tuple[str, str | None, str | None] | None:
        # A read already under way answers every event of the Page that asks meanwhile: what it
        # finds is no older than what a read of their own would have found when they asked.
        read = self._pages.get(page_id)
        if read is None:
            read = asyncio.ensure_future(self.store.page_access(page_id))
            self._pages[page_id] = read
            read.add_done_callback(lambda done: self._read_done(page_id, done))
        return await asyncio.shield(read)

    def _read_done(self, page_id: str, read: asyncio.Future[Any]) -> None:
        if self._pages.get(page_id) is read:
            del self._pages[page_id]
        if not read.cancelled():
            read.exception()  # each asker heard of it; none left to, it is not reported again

    async def _wait_for_page(self, event: Claimed, broken: str) -> None:
        # Its retries are not spent: connecting the Page again makes the event due at once.
        await self.store.wait_for_page(event.key, time.time() + self.settings.backoff_max,
                                       f"Page {event.page_id} qayta ulanishi kerak: {broken}")

    async def _postpone(self, event: Claimed, reason: str) -> None:
        delay = self.settings.delay(event.attempts)
        log.warning("lead %s attempt %d failed (%s); next try in %.1fs",
                    event.leadgen_id, event.attempts, reason, delay)
        await self.store.postpone(event.key, time.time() + delay, reason)
        self.wake()
