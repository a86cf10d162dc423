"""Hands each stored lead on to a CRM: a POST of the lead as JSON to the forward URL, signed
with HMAC-SHA256 of the exact body under the forward secret, with the leadgen id as its
idempotency key. At least once: a lead is sent until the CRM answers 2xx, with back-off, and
ends "failed" (visible in /leads) after the last attempt. A lead being sent is claimed like an
event, so a stopped receiver loses nothing and two receivers never send it at once."""
from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import logging
import random
import time
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

import aiohttp

from .outage import OutageLog
from .redact import describe, redact
from .store import Store

log = logging.getLogger("corvane.receiver")

SIGNATURE_HEADER = "X-Corvane-Signature-256"
IDEMPOTENCY_HEADER = "Idempotency-Key"


@dataclass
class ForwardSettings:
    url: str
    secret: str
    attempts: int = 12  # then the lead is "failed", to be requeued by hand
    timeout: float = 15.0  # one POST
    lease: float = 60.0
    poll: float = 1.0
    backoff_base: float = 5.0
    backoff_max: float = 1800.0

    def __repr__(self) -> str:  # the secret, and whatever the URL carries, stay out
        return f"ForwardSettings(url=<{urlsplit(self.url).hostname}>, attempts={self.attempts})"

    def delay(self, attempts: int) -> float:
        raw = min(self.backoff_max, self.backoff_base * 2.0 ** max(0, attempts - 1))
        return raw * random.uniform(0.8, 1.0)


def signature(secret: str, body: bytes) -> str:
    """The header value a CRM checks: sha256= and the hex HMAC-SHA256 of the body."""
    return "sha256=" + hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()


def body_of(lead: dict[str, Any]) -> bytes:
    record = {k: v for k, v in lead.items() if not k.startswith("forward_")}
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()


class Forwarder:
    def __init__(self, store: Store, settings: ForwardSettings) -> None:
        self.store = store
        self.settings = settings
        self.outage = OutageLog(log)
        self._wake = asyncio.Event()
        self._task: asyncio.Task[None] | None = None
        self._session: aiohttp.ClientSession | None = None
        self._held: str | None = None
        self.failures = 0  # attempts that failed, for /metrics
        host = urlsplit(settings.url).hostname or "?"
        self._where = f"forward ({host})"

    def wake(self) -> None:
        self._wake.set()

    def start(self) -> None:
        self._session = aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=self.settings.timeout))
        self._task = asyncio.create_task(self._loop(), name="corvane-forward")

    async def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
            self._task = None
        if self._held is not None:  # the lead being sent goes back, for the next start
            try:
                await self.store.release_forward(self._held)
            except Exception as error:  # noqa: BLE001 - its lease frees it in the end
                self.outage.failed(self._where, error, describe(error))
            self._held = None
        if self._session is not None:
            await self._session.close()
            self._session = None

    async def _loop(self) -> None:
        while True:
            try:
                lead = await self.store.claim_forward(time.time(), self.settings.lease)
                if lead is not None:
                    self._held = lead["leadgen_id"]
                    await self._send(lead)
                    self._held = None
                    continue
            except asyncio.CancelledError:
                raise
            except Exception as error:  # noqa: BLE001 - a store hiccup: the lease frees the lead
                self.outage.failed(self._where, error, describe(error))
            self._wake.clear()
            try:
                await asyncio.wait_for(self._wake.wait(), self.settings.poll)
            except asyncio.TimeoutError:
                pass

    async def _send(self, lead: dict[str, Any]) -> None:
        assert self._session is not None
        body = body_of(lead)
        headers = {"Content-Type": "application/json", SIGNATURE_HEADER: signature(self.settings.secret, body),
                   IDEMPOTENCY_HEADER: str(lead["leadgen_id"])}
        reason = None
        try:
            async with self._session.post(self.settings.url, data=body, headers=headers) as resp:
                if 200 <= resp.status < 300:
                    await self.store.forward_done(lead["leadgen_id"], "sent", None)
                    return
                reason = f"HTTP {resp.status}"
        except (aiohttp.ClientError, asyncio.TimeoutError, OSError) as error:
            reason = redact(describe(error, (self.settings.url, self.settings.secret)), (self.settings.url,))
        self.failures += 1
        attempts = lead["forward_attempts"]
        if attempts >= self.settings.attempts:
            log.warning("lead %s CRM ga %d urinishda yetkazilmadi (%s): failed", lead["leadgen_id"],
                        attempts, reason)
            await self.store.forward_done(lead["leadgen_id"], "failed", reason)
        else:
            await self.store.forward_done(lead["leadgen_id"], "pending", reason,
                                          time.time() + self.settings.delay(attempts))
