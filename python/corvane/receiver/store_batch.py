"""Group commit: writes handed in while a write is in flight are written together by the next
one, so a burst costs one database round trip per batch rather than one per write. Recording
deliveries goes through it (each delivery still learns how many of its own events were new),
and so do the leads the workers store."""
from __future__ import annotations

import asyncio
import collections
from collections.abc import Awaitable, Callable
from typing import Generic, TypeVar

from .store import NewEvent

Rows = list[tuple[NewEvent, float]]  # each event with the time its delivery was received
I = TypeVar("I")  # noqa: E741 - an item handed in
R = TypeVar("R")  # what its write says of it


class GroupCommit(Generic[I, R]):
    def __init__(self, write: Callable[[list[I]], Awaitable[list[R]]], size: Callable[[I], int],
                 max_size: int) -> None:
        """write stores the items and returns one result per item, in order; a batch holds
        items of at most max_size in all (by `size`) unless one item alone is larger."""
        self._write = write
        self._size = size
        self._max_size = max_size
        self._queued: collections.deque[tuple[I, asyncio.Future[R]]] = collections.deque()
        self._writer: asyncio.Future[None] | None = None

    async def put(self, item: I) -> R:
        waiter: asyncio.Future[R] = asyncio.get_running_loop().create_future()
        self._queued.append((item, waiter))
        if self._writer is None or self._writer.done():
            self._writer = asyncio.ensure_future(self._write_queued())
        return await waiter

    async def drain(self) -> None:
        """Returns once every item accepted so far is written (or has failed)."""
        if self._writer is not None and not self._writer.done():
            await asyncio.wait([self._writer])

    async def _write_queued(self) -> None:
        while self._queued:
            batch: list[tuple[I, asyncio.Future[R]]] = []
            size = 0
            while self._queued and (not batch or size + self._size(self._queued[0][0]) <= self._max_size):
                batch.append(self._queued.popleft())
                size += self._size(batch[-1][0])
            try:
                try:
                    await self._settle(batch)
                except Exception as exc:
                    if len(batch) == 1:  # it fails alone: none is lost, its caller hears of it
                        _fail(batch, exc)
                        continue
                    # One bad item must not fail the others: each is written on its own, and
                    # only those that fail again fail (all of them, while the database is down).
                    for one in batch:
                        try:
                            await self._settle([one])
                        except Exception as exc_one:  # noqa: BLE001
                            _fail([one], exc_one)
            except BaseException:  # cancelled with the loop: nothing is acknowledged
                for _, waiter in batch:
                    waiter.cancel()
                raise

    async def _settle(self, batch: list[tuple[I, asyncio.Future[R]]]) -> None:
        results = await self._write([item for item, _ in batch])
        for (_, waiter), result in zip(batch, results):
            if not waiter.done():
                waiter.set_result(result)


def _fail(batch: list[tuple[I, asyncio.Future[R]]], exc: BaseException) -> None:
    for _, waiter in batch:
        if not waiter.done():
            waiter.set_exception(exc)


class BatchedRecorder:
    """Deliveries recorded by group commit."""

    def __init__(self, insert: Callable[[Rows], Awaitable[set[str]]], max_rows: int) -> None:
        """insert writes the rows (ON CONFLICT DO NOTHING) and returns the keys that were new;
        a batch holds at most max_rows rows unless one delivery alone is longer."""
        self._insert = insert
        self._group: GroupCommit[tuple[list[NewEvent], float], int] = GroupCommit(
            self._write, lambda delivery: len(delivery[0]), max_rows)

    async def record(self, events: list[NewEvent], now: float) -> int:
        return await self._group.put((events, now))

    async def drain(self) -> None:
        await self._group.drain()

    async def _write(self, batch: list[tuple[list[NewEvent], float]]) -> list[int]:
        new = await self._insert([(e, now) for events, now in batch for e in events])
        counts = []
        for events, _ in batch:
            added = 0
            for e in events:  # a key new in this batch counts for its first delivery
                if e.key in new:
                    new.discard(e.key)
                    added += 1
            counts.append(added)
        return counts
