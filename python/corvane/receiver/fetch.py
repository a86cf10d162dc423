"""Lead fetches gathered into Graph batches: the workers ask for one lead each, and the asks of
one Page that arrive together go out as one call (each lead with its ad, 25 leads per call),
so a backlog costs one HTTP call per 25 leads instead of two per lead. Each ask gets what
reading its lead alone would have given: the (lead, ad context) pair, or the lead's error."""
from __future__ import annotations

import asyncio
from typing import Any

from corvane.facebook import Facebook

# Leads per call: each brings its ad, and a call holds at most 50 operations.
LEADS_PER_CALL = 25


class LeadFetcher:
    """One call at a time per Page and token pair: the asks that arrive while a call is out
    wait for it and go together in the next one, so a backlog fills its calls by itself while
    a single lead waits at most `gather` seconds."""

    def __init__(self, facebook: Facebook, gather: float = 0.05) -> None:
        self.facebook = facebook
        self.gather = gather  # how long a call not yet full waits for others to join it
        self._waiting: dict[tuple[str, str | None], list[tuple[str, asyncio.Future[Any]]]] = {}
        self._running: dict[tuple[str, str | None], asyncio.Task[None]] = {}
        self._full: dict[tuple[str, str | None], asyncio.Event] = {}
        self.calls = 0  # batch calls made (for the bench and the operator)

    async def fetch(self, leadgen_id: str, page_token: str, ad_token: str | None) -> tuple[Any, Any]:
        key = (page_token, ad_token)
        future: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        waiting = self._waiting.setdefault(key, [])
        waiting.append((leadgen_id, future))
        if len(waiting) >= LEADS_PER_CALL and key in self._full:
            self._full[key].set()
        if key not in self._running:
            self._running[key] = asyncio.ensure_future(self._serve(key))
        # The call goes on for the others when this ask is cancelled (its fetch timed out).
        return await asyncio.shield(future)

    async def _serve(self, key: tuple[str, str | None]) -> None:
        try:
            while self._waiting.get(key):
                # Others may be a store round trip behind: a call not yet full waits for them.
                if len(self._waiting[key]) < LEADS_PER_CALL:
                    full = self._full.setdefault(key, asyncio.Event())
                    try:
                        await asyncio.wait_for(full.wait(), self.gather)
                    except asyncio.TimeoutError:
                        pass
                    self._full.pop(key, None)
                waiting = self._waiting.pop(key)
                asks, rest = waiting[:LEADS_PER_CALL], waiting[LEADS_PER_CALL:]
                if rest:
                    self._waiting[key] = rest
                await self._call(key, asks)
        finally:
            del self._running[key]
            for _, future in self._waiting.pop(key, []):  # only when cancelled mid-way
                future.cancel()

    async def _call(self, key: tuple[str, str | None], asks: list[tuple[str, asyncio.Future[Any]]]) -> None:
        page_token, ad_token = key
        self.calls += 1
        try:
            answers = await self.facebook.leads_with_context(
                [leadgen_id for leadgen_id, _ in asks], page_token, ad_token=ad_token)
        except Exception as error:  # noqa: BLE001 - every ask of the call hears of it
            for _, future in asks:
                if not future.done():
                    future.set_exception(error)
            return
        except BaseException:
            for _, future in asks:
                future.cancel()
            raise
        for (_, future), answer in zip(asks, answers):
            if future.done():
                continue
            if isinstance(answer, BaseException):
                future.set_exception(answer)
            else:
                future.set_result(answer)

    async def close(self) -> None:
        tasks = list(self._running.values())
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
