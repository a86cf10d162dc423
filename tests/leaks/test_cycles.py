"""Garbage cycles that run through a corvane coroutine are collected: the coroutine reports
every reference its suspended frames hold, so the collector can see and break the cycle."""
from __future__ import annotations

import asyncio
import gc
import weakref

import pytest

from conftest import run
from harness import Server

from corvane.http import BaseClient, _relay


async def collected(make) -> None:
    """`make` builds a cycle and returns a weak reference into it; after the cycle is dropped,
    one collection frees it."""
    for _ in range(3):
        ref = make()
        for _ in range(3):
            await asyncio.sleep(0)
        gc.collect()
        assert ref() is None, f"cycle through {make.__name__} survived a collection"


MAKERS = ["suspended_relay_holding_itself", "unstarted_relay_holding_itself",
          "client_holding_its_request", "future_callback_holding_the_coroutine"]




@pytest.mark.parametrize("maker", MAKERS)
def test_cycles_through_corvane_coroutines(maker):
    async def main():
        loop = asyncio.get_running_loop()
        async with Server() as server:
            async with BaseClient() as client:
                url = server.url("/slow")

                def suspended_relay_holding_itself():
                    box = []

                    async def inner(held):
                        await loop.create_future()

                    coro = _relay(inner(box))
                    box.append(coro)
                    coro.send(None)
                    return weakref.ref(coro)

                def unstarted_relay_holding_itself():
                    box = []

                    async def inner(held):
                        return held

                    coro = _relay(inner(box))
                    box.append(coro)
                    return weakref.ref(coro)

                def client_holding_its_request():
                    own = BaseClient(session=client._sess.session)
                    own.pending = own.get(url)  # the request's frames hold the client
                    own.pending.send(None)
                    return weakref.ref(own.pending)

                def future_callback_holding_the_coroutine():
                    waiter = loop.create_future()
                    coro = _relay(waiter)
                    coro.send(None)
                    waiter.add_done_callback(lambda _: coro)
                    return weakref.ref(coro)

                await collected(locals()[maker])

    run(main)
