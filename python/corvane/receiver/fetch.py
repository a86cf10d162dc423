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
    def __init__(self, facebook: Facebook, gather: float = 0.005) -> None:
        self.facebook = facebook
        self.gather = gather  # how long the first ask waits for others to join its call
        self._waiting: dict[tuple[str, str | None], list[tuple[str, asyncio.Future[Any]]]] = {}
        self._calls: set[asyncio.Task[None]] = set()
        self.calls = 0  # batch calls made (for the bench and the operator)

    async def fetch(self, leadgen_id: str, page_token: str, ad_token: str | None) -> tuple[Any, Any]:
        key = (page_token, ad_token)
        future: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        asks = self._waiting.setdefault(key, [])
        asks.append((leadgen_id, future))
        if len(asks) == 1:
            self._start(key, self.gather)
        elif len(asks) == LEADS_PER_CALL:
            self._start(key, 0)
        # The call goes on for the others when this ask is cancelled (its fetch timed out).
        return await asyncio.shield(future)

    def _start(self, key: tuple[str, str | None], delay: float) -> None:
        task = asyncio.ensure_future(self._call(key, delay))
        self._calls.add(task)
        task.add_done_callback(self._calls.discard)

    async def _call(self, key: tuple[str, str | None], delay: float) -> None:
        if delay:
            await asyncio.sleep(delay)
        waiting = self._waiting.pop(key, [])
        asks, rest = waiting[:LEADS_PER_CALL], waiting[LEADS_PER_CALL:]
        if rest:
            self._waiting[key] = rest
            self._start(key, 0)
        if not asks:
            return  # a full call already took them
        page_token, ad_token = key
        self.calls += 1
        try:
            answers = await self.facebook.leads_with_context(
                [leadgen_id for leadgen_id, _ in asks], page_token, ad_token=ad_token)
        except BaseException as error:  # noqa: BLE001 - every ask hears of it, cancellation too
            for _, future in asks:
                if not future.done():
                    future.set_exception(error)
            if not isinstance(error, Exception):
                raise
            return
        for (_, future), answer in zip(asks, answers):
            if future.done():
                continue
            if isinstance(answer, BaseException):
                future.set_exception(answer)
            else:
                future.set_result(answer)

    async def close(self) -> None:
        for task in list(self._calls):
            task.cancel()
        await asyncio.gather(*self._calls, return_exceptions=True)
