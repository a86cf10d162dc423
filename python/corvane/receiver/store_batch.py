"""Group commit for recording deliveries: deliveries that arrive while a write is in flight are
written together by the next one, so a burst costs one database round trip per batch rather
than one per delivery. Each delivery still learns how many of its own events were new."""
from __future__ import annotations

import asyncio
import collections
from collections.abc import Awaitable, Callable

from .store import NewEvent

Rows = list[tuple[NewEvent, float]]  # each event with the time its delivery was received
_Queued = tuple[list[NewEvent], float, "asyncio.Future[int]"]  # a delivery waiting for its write


class BatchedRecorder:
    def __init__(self, insert: Callable[[Rows], Awaitable[set[str]]], max_rows: int) -> None:
        """insert writes the rows (ON CONFLICT DO NOTHING) and returns the keys that were new;
        a batch holds at most max_rows rows unless one delivery alone is longer."""
        self._insert = insert
        self._max_rows = max_rows
        self._queued: collections.deque[_Queued] = collections.deque()
        self._writer: asyncio.Future[None] | None = None

    async def record(self, events: list[NewEvent], now: float) -> int:
        waiter: asyncio.Future[int] = asyncio.get_running_loop().create_future()
        self._queued.append((events, now, waiter))
        if self._writer is None or self._writer.done():
            self._writer = asyncio.ensure_future(self._write_queued())
        return await waiter

    async def drain(self) -> None:
        """Returns once every delivery accepted so far is written (or has failed)."""
        if self._writer is not None and not self._writer.done():
            await asyncio.wait([self._writer])

    async def _write_queued(self) -> None:
        while self._queued:
            batch: list[_Queued] = []
            size = 0
            while self._queued and (not batch or size + len(self._queued[0][0]) <= self._max_rows):
                batch.append(self._queued.popleft())
                size += len(batch[-1][0])
            try:
                try:
                    await self._write(batch)
                except Exception as exc:
                    if len(batch) == 1:  # it fails alone: none is lost, Meta delivers it again
                        _settle(batch, exc)
                        continue
                    # One bad delivery must not fail the others: each is written on its own, and
                    # only those that fail again fail (all of them, while the database is down).
                    for one in batch:
                        try:
                            await self._write([one])
                        except Exception as exc_one:  # noqa: BLE001
                            _settle([one], exc_one)
            except BaseException:  # cancelled with the loop: the deliveries are not acknowledged
                for _, _, waiter in batch:
                    waiter.cancel()
                raise

    async def _write(self, batch: list[_Queued]) -> None:
        new = await self._insert([(e, now) for events, now, _ in batch for e in events])
        for events, _, waiter in batch:
            added = 0
            for e in events:  # a key new in this batch counts for its first delivery
                if e.key in new:
                    new.discard(e.key)
                    added += 1
            if not waiter.done():
                waiter.set_result(added)


def _settle(batch: list[_Queued], exc: BaseException) -> None:
    for _, _, waiter in batch:
        if not waiter.done():
            waiter.set_exception(exc)
