"""The C++ coroutines as asyncio sees them: the coroutine protocol, cancellation at every
await point of a request, errors crossing both ways, and no leaked references."""
import asyncio
import gc
import sys
import warnings

import pytest

from conftest import Reply, cancelled
from corvane import errors
from corvane.http import BaseClient, RetryPolicy, _relay


def acquired(session):
    return len(session.connector._acquired)


async def test_is_a_real_coroutine(fake_server, session):
    c = BaseClient(session=session)
    coro = c.get(fake_server.url("/x"))
    assert asyncio.iscoroutine(coro)
    assert (coro.__name__, coro.__qualname__) == ("request", "BaseClient.request")
    assert await asyncio.create_task(coro) == {}
    assert await asyncio.wait_for(c.get(fake_server.url("/y")), 5) == {}
    with pytest.raises(RuntimeError, match="already awaited"):
        coro.send(None)


def test_runs_under_asyncio_run():
    async def value():
        await asyncio.sleep(0)
        return "v"

    assert asyncio.run(_relay(value())) == "v"


async def test_protocol_edges():
    def nothing():  # an awaitable that is fine to drop unawaited
        done = asyncio.get_running_loop().create_future()
        done.set_result(None)
        return done

    coro = _relay(nothing())
    with pytest.raises(TypeError, match="non-None"):
        coro.send(1)
    coro.close()
    coro = _relay(nothing())
    with pytest.raises(KeyError):
        coro.throw(KeyError("thrown before start"))
    with pytest.raises(RuntimeError):
        coro.send(None)
    with pytest.raises(StopIteration) as stop:
        _relay(nothing()).send(None)
    assert stop.value.value is None
    with pytest.raises(TypeError, match="can't be used in 'await'"):
        await _relay(42)


async def test_return_values_are_not_unpacked():
    async def pair():
        return (1, 2)

    async def exc_value():
        return KeyError("as a value")

    assert await _relay(_relay(pair())) == (1, 2)
    assert isinstance(await _relay(exc_value()), KeyError)


async def test_errors_cross_both_ways():
    async def fail():
        await asyncio.sleep(0)
        raise errors.PermissionError("no", status=403)

    kind, caught = await _relay(fail(), catch=errors.ApiError)
    assert kind == "caught" and caught.status == 403
    with pytest.raises(errors.PermissionError):
        await _relay(fail(), catch=errors.TransportError)

    # An error thrown in by the caller reaches the awaited Python code and comes back out.
    async def waits():
        try:
            await asyncio.sleep(10)
        except ValueError:
            return "handled inside"

    coro = _relay(waits())
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(ValueError("from outside"))
    assert stop.value.value == "handled inside"


async def test_cancelled_error_is_never_swallowed():
    task = asyncio.create_task(_relay(asyncio.sleep(10), catch=Exception))
    await asyncio.sleep(0)
    await cancelled(task)


async def test_never_awaited_warns_and_half_run_is_closed(fake_server, session):
    c = BaseClient(session=session)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        c.get(fake_server.url("/x"))
        gc.collect()
    assert any("coroutine 'BaseClient.request' was never awaited" in str(w.message) for w in seen)

    fake_server.route("/slow", Reply(json={}, delay=0.2))
    coro = c.get(fake_server.url("/slow"))
    coro.send(None)  # now suspended inside the C++ frames
    assert coro.cr_await is not None and coro.cr_suspended
    del coro
    gc.collect()
    await asyncio.sleep(0.3)
    assert acquired(session) == 0


class Gate:
    """An awaitable point a test controls."""

    def __init__(self):
        self.entered = asyncio.Event()
        self.release = asyncio.Event()

    async def wait(self):
        self.entered.set()
        await self.release.wait()


async def cancel_when(task, gate_or_event):
    await asyncio.wait_for(gate_or_event.wait(), 5)
    await cancelled(task)


async def test_cancel_while_waiting_for_the_session_lock(fake_server):
    c = BaseClient()
    await c._sess.lock.acquire()
    task = asyncio.create_task(c.get(fake_server.url("/x")))
    await asyncio.sleep(0.01)
    await cancelled(task)
    c._sess.lock.release()
    assert await c.get(fake_server.url("/y")) == {}  # lock and slot still sound
    await c.close()


async def test_cancel_in_flight_and_in_body_read_releases_connection(fake_server, session):
    fake_server.route("/slow", Reply(json={}, delay=5))
    c = BaseClient(session=session)
    task = asyncio.create_task(c.get(fake_server.url("/slow")))
    await asyncio.sleep(0.05)
    await cancelled(task)

    gate = Gate()

    class SlowReader(BaseClient):
        @classmethod
        async def _read(cls, response):
            await gate.wait()

    task = asyncio.create_task(SlowReader(session=session).get(fake_server.url("/x")))
    await cancel_when(task, gate.entered)
    await asyncio.sleep(0)
    assert acquired(session) == 0
    assert await c.get(fake_server.url("/after")) == {}


async def test_cancel_during_retry_wait(fake_server, session):
    fake_server.reply(503, {})
    c = BaseClient(session=session, retry=RetryPolicy(backoff_base=30, jitter=False))
    task = asyncio.create_task(c.get(fake_server.url("/x")))
    for _ in range(100):
        await asyncio.sleep(0.01)
        if fake_server.requests:
            break
    await asyncio.sleep(0.05)
    await cancelled(task)
    assert len(fake_server.requests) == 1


async def test_wait_for_timeout_cancels_request(fake_server, session):
    fake_server.route("/slow", Reply(json={}, delay=5))
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(BaseClient(session=session).get(fake_server.url("/slow")), 0.05)


async def test_thousand_tasks_on_one_client(fake_server, session):
    c = BaseClient(session=session)
    results = await asyncio.gather(*(c.get(fake_server.url(f"/n/{i}")) for i in range(1000)))
    assert results == [{}] * 1000 and len(fake_server.requests) == 1000


async def settle():
    await asyncio.sleep(0.1)  # the server's handlers of cancelled requests finish
    for _ in range(5):
        await asyncio.sleep(0)
    gc.collect()


class PurePythonClient:
    """The same calls made in pure Python over the same session: the baseline that says how
    much asyncio and aiohttp themselves grow in this run (a few hundred objects under -X dev)."""

    def __init__(self, session):
        self.session = session

    async def get(self, url, params=None):
        async with self.session.get(url, params=params) as response:
            body = await response.json()
        if response.status >= 400:
            raise errors.NotFoundError("m", status=response.status)
        return body


async def test_no_leaks_over_many_requests_and_cancellations(fake_server, session):
    fake_server.route("/slow", Reply(json={}, delay=0.02))
    fake_server.route("/err", Reply(status=404, json={"error": {"code": 803, "message": "m"}}))
    params = {"fields": "id,name", "limit": 5}
    url = fake_server.url("/ok")

    async def round_trip(c):
        await c.get(url, params=params)
        try:
            await c.get(fake_server.url("/err"), params=params)
        except errors.NotFoundError:
            pass
        task = asyncio.create_task(c.get(fake_server.url("/slow"), params=params))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        coro = c.get(url)
        coro.close()
        fake_server.requests.clear()  # the server's own record is not the client's memory

    async def growth(c):
        for _ in range(50):  # warm up caches, pools, interned strings
            await round_trip(c)
        await settle()
        refs = [sys.getrefcount(x) for x in (c, session, params, url)]
        objects = len(gc.get_objects())
        for _ in range(1000):  # 3,000 requests, 1,000 cancellations, 1,000 closed coroutines
            await round_trip(c)
        await settle()
        assert [sys.getrefcount(x) for x in (c, session, params, url)] == refs
        return len(gc.get_objects()) - objects

    baseline = await growth(PurePythonClient(session))
    grown = await growth(BaseClient(session=session, retry=RetryPolicy(attempts=1)))
    # One object leaked per request would be 3,000 or more; pools and free lists of asyncio and
    # aiohttp move either count by a few hundred from run to run.
    assert grown - baseline < 1000, (grown, baseline)
