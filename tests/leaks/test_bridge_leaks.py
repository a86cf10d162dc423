"""The coroutine bridge's paths, each repeated a few hundred times: no reference and no block
gained per pass, beyond what a plain aiohttp request shows in the same run."""
from __future__ import annotations

import asyncio
import json
import time

import pytest
from conftest import run
from harness import Server, growth, refused_url

from corvane import errors
from corvane.http import BaseClient, RetryPolicy, _relay


async def value_soon():
    await asyncio.sleep(0)
    return {"v": [1, 2]}


async def fail_soon():
    await asyncio.sleep(0)
    raise errors.NotFoundError("gone", status=404)


def pending():
    return asyncio.get_running_loop().create_future()


async def relay_success():
    assert await _relay(value_soon()) == {"v": [1, 2]}


async def relay_error():
    with pytest.raises(errors.NotFoundError):
        await _relay(fail_soon())


async def relay_caught():
    kind, _ = await _relay(fail_soon(), catch=errors.ApiError)
    assert kind == "caught"


async def relay_cancelled():
    task = asyncio.ensure_future(_relay(pending()))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def relay_closed_suspended():
    coro = _relay(pending())
    coro.send(None)
    coro.close()


async def relay_thrown_suspended():
    coro = _relay(pending())
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("from the host"))


async def relay_thrown_handled():
    async def handles():
        try:
            await pending()
        except ValueError:
            return "handled"

    coro = _relay(handles())
    coro.send(None)
    with pytest.raises(StopIteration):
        coro.throw(ValueError("in"))


async def relay_dropped_unawaited():
    done = asyncio.get_running_loop().create_future()
    done.set_result(None)
    _relay(done)


@pytest.mark.parametrize("step", [
    relay_success, relay_error, relay_caught, relay_cancelled, relay_closed_suspended,
    relay_thrown_suspended, relay_thrown_handled, relay_dropped_unawaited,
], ids=lambda f: f.__name__)
def test_relay_paths(step, flat):
    flat(lambda: run(lambda: growth(step)), requests=0)


class Reader(BaseClient):
    """Stops a request inside body decoding, until cancelled."""

    entered: asyncio.Event | None = None

    @classmethod
    async def _read(cls, response):
        assert cls.entered is not None
        cls.entered.set()
        await asyncio.get_running_loop().create_future()


# The retry-wait paths wait this long, far beyond any timer aiohttp itself sets (its server
# keeps an idle connection for an hour): a timer this far out is the wait having begun.
RETRY_WAIT = 1_000_000.0


def in_retry_wait() -> bool:
    """Whether the retry wait has begun. The server counts its answer before the client has
    read it, so cancelling on that count would land, by the machine's timing, either in the
    reading (a path with a loop of its own) or in the wait."""
    loop = asyncio.get_running_loop()
    return any(not h.cancelled() and h.when() - loop.time() > RETRY_WAIT / 2
               for h in loop._scheduled)


async def cancel_after(coro, turns: int = 1, until=None):
    """Cancels `coro` after `turns` turns of the loop, or once `until()` holds: a loop that
    cancelled anywhere else would measure another path."""
    task = asyncio.ensure_future(coro)
    if until is None:
        for _ in range(max(turns, 1)):
            await asyncio.sleep(0)
    else:
        deadline = time.monotonic() + 10
        while not until():
            if time.monotonic() > deadline:
                task.cancel()
                pytest.fail("the point to cancel at never came")
            await asyncio.sleep(0.001)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


def request_scenarios(server: Server, client: BaseClient):
    ok, flaky = server.url("/ok"), server.url("/flaky")
    params = {"fields": "id,name", "limit": 5, "skip": None}
    refused = refused_url()

    async def success():
        await client.get(ok, params=params)
        await client.post(ok, json={"a": [1, {"b": None}]})
        await client.post(ok, data={"message": "m", "published": False})
        await client.delete(ok, headers={"X-A": "b"})

    async def error_kinds():
        # A plain BaseClient goes by the HTTP status alone (the Graph codes are the Graph
        # clients' rules); 429 is walked by retries().
        for status, code, kind in [(400, 100, errors.ApiError), (401, 1, errors.AuthError),
                                   (403, 10, errors.PermissionError),
                                   (404, 803, errors.NotFoundError),
                                   (400, 4, errors.ApiError), (501, 1, errors.ApiError)]:
            with pytest.raises(kind):
                await client.get(server.url(f"/status/{status}"), params={"code": code})

    async def retries():
        await client.get(flaky)  # a 503 and then a 200
        with pytest.raises(errors.RateLimitError):  # 429 "Retry-After: 0" three times
            await client.get(server.url("/status/429"))
        with pytest.raises(errors.ApiError):  # a POST after a 503 is not replayed
            await client.post(server.url("/status/503"), json={})

    async def transport():
        with pytest.raises(errors.TransportError):
            await client.get(refused)
        with pytest.raises(errors.TransportError):
            await client.get(server.url("/loop"))

    async def cancelled_in_flight():
        await cancel_after(client.get(server.url("/slow")), turns=3)

    async def cancelled_reading():
        Reader.entered = asyncio.Event()
        reader = Reader(session=client._sess.session)
        await cancel_after(reader.get(ok), until=Reader.entered.is_set)

    async def cancelled_waiting_for_the_lock():
        fresh = BaseClient()
        await fresh._sess.lock.acquire()
        try:
            await cancel_after(fresh.get(ok), turns=2)
        finally:
            fresh._sess.lock.release()
            await fresh.close()

    async def cancelled_in_retry_wait():
        slow = BaseClient(session=client._sess.session,
                          retry=RetryPolicy(backoff_base=RETRY_WAIT, backoff_max=RETRY_WAIT,
                                            jitter=False))
        server.flips = 0  # the next /flaky answer is a 503
        await cancel_after(slow.get(flaky), until=in_retry_wait)

    async def closed_suspended():
        coro = client.get(ok, params=params)
        coro.send(None)
        coro.close()

    async def thrown_suspended():
        coro = client.get(ok, params=params)
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("from the host"))

    async def dropped_unawaited():
        client.get(ok, params=params)

    async def owned_session_round():
        async with BaseClient() as own:
            await own.get(ok)

    return {
        "success": success,
        "error_kinds": error_kinds,
        "retries": retries,
        "transport": transport,
        "cancelled_in_flight": cancelled_in_flight,
        "cancelled_reading": cancelled_reading,
        "cancelled_waiting_for_the_lock": cancelled_waiting_for_the_lock,
        "cancelled_in_retry_wait": cancelled_in_retry_wait,
        "closed_suspended": closed_suspended,
        "thrown_suspended": thrown_suspended,
        "dropped_unawaited": dropped_unawaited,
        "owned_session_round": owned_session_round,
    }


REQUESTS = {"success": 4, "error_kinds": 6, "retries": 7, "transport": 13,
            "owned_session_round": 1}
SCENARIOS = ["success", "error_kinds", "retries", "transport", "cancelled_in_flight",
             "cancelled_reading", "cancelled_waiting_for_the_lock", "cancelled_in_retry_wait",
             "closed_suspended", "thrown_suspended", "dropped_unawaited", "owned_session_round"]
# Loops whose passes cost many requests (ten redirects, retries) run fewer passes.
SHORT = {"transport": 100, "retries": 150, "error_kinds": 150}


def native_scenarios(server: Server, client: BaseClient):
    """The same awaits as a native coroutine, for the paths where aiohttp itself keeps
    something behind."""
    session = client._sess.session
    ok, flaky = server.url("/ok"), server.url("/flaky")
    params = {"fields": "id,name", "limit": 5}

    async def native_get(url):
        async with session.get(url, params=params) as response:
            return json.loads(await response.text())

    async def native_retry():
        await native_get(flaky)
        await asyncio.sleep(RETRY_WAIT)

    async def closed_suspended():
        coro = native_get(ok)
        coro.send(None)
        coro.close()

    async def thrown_suspended():
        coro = native_get(ok)
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("from the host"))

    async def cancelled_in_retry_wait():
        server.flips = 0
        await cancel_after(native_retry(), until=in_retry_wait)

    return {"closed_suspended": closed_suspended, "thrown_suspended": thrown_suspended,
            "cancelled_in_retry_wait": cancelled_in_retry_wait}


def measure_loop(name, scenarios):
    async def main():
        async with Server() as server:
            async with BaseClient(retry=RetryPolicy(backoff_base=0, jitter=False)) as client:
                step = scenarios(server, client)[name]
                return await growth(step, iterations=SHORT.get(name, 300))

    return run(main)


@pytest.mark.parametrize("name", SCENARIOS)
def test_request_paths(name, flat):
    reference = None
    if name in ("closed_suspended", "thrown_suspended", "cancelled_in_retry_wait"):
        reference = lambda: measure_loop(name, native_scenarios)  # noqa: E731
    flat(lambda: measure_loop(name, request_scenarios), REQUESTS.get(name, 1), reference)
