"""Many operations of the three clients at once on one loop (answers, error answers, time-outs),
then hundreds cancelled at random points: one session per client, every outcome an answer or an
error kind, and afterwards no pending task, no open connection and no coroutine left unawaited."""
from __future__ import annotations

import asyncio
import gc
import os
import random
import warnings

import pytest
from raw_server import Act, every_host_on, no_connection_left

from corvane import errors, http
from corvane.facebook import Facebook
from corvane.instagram import Instagram
from corvane.linkedin import LinkedIn

OK = b'{"id": "1", "sub": "m", "name": "N", "username": "u"}'
ACTS = [Act(body=OK), Act(status=404, body=b'{"error": {"code": 803, "message": "gone"}}'),
        Act(status=500, body=b"{}")] * 12 + [Act("stall")]
# A few time-outs: fewer stalls than the session's 100 connections, or every other operation
# would wait out its time in the pool behind them.


@pytest.fixture
async def raw(monkeypatch):
    async with every_host_on(monkeypatch, Act(body=OK)) as server:
        yield server


def clients():
    # Only the stalls should time out: 2,000 operations in debug mode on a busy 2-core machine
    # take seconds of CPU before the last answer is read, and several times that under the
    # sanitizers, or with the other suites of CI running beside it.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    options = {"retry": http.RetryPolicy(attempts=1), "timeout": 60.0 if sanitized else 25.0}
    return (Facebook(app_id="1", app_secret="s", **options),
            Instagram(app_id="1", app_secret="s", **options),
            LinkedIn(client_id="c", client_secret="s", **options))


def operations(fb, ig, li, count, rng):
    calls = [lambda: fb.me("t"), lambda: ig.profile("t", ig_user_id="17"), lambda: li.me("t")]
    return [rng.choice(calls)() for _ in range(count)]


async def test_mixed_load_then_random_cancellation(raw):
    rng = random.Random(15)
    fb, ig, li = clients()
    loop = asyncio.get_running_loop()
    loop.set_debug(True)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            sessions = [await c._ensure_session() for c in (fb, ig, li)]
            raw.script(*(rng.choice(ACTS) for _ in range(2000)))
            results = await asyncio.gather(*operations(fb, ig, li, 2000, rng),
                                           return_exceptions=True)
            for result in results:
                assert not isinstance(result, BaseException) or isinstance(
                    result, (errors.ApiError, errors.TransportError)), repr(result)
            # On a busy machine many wait out their time in the pool: a time-out is an outcome too.
            assert any(not isinstance(r, BaseException) for r in results)
            assert [c._sess.session for c in (fb, ig, li)] == sessions  # one session each

            raw.acts.clear()
            raw.script(*(rng.choice(ACTS) for _ in range(1000)))
            tasks = [asyncio.ensure_future(op) for op in operations(fb, ig, li, 1000, rng)]
            for task in tasks:
                loop.call_later(rng.uniform(0, 0.2), task.cancel)
            outcomes = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(t.done() for t in tasks)
            assert any(isinstance(o, asyncio.CancelledError) for o in outcomes)
            for c in (fb, ig, li):
                assert not c._sess.session.connector._acquired
        finally:
            for c in (fb, ig, li):
                await c.close()
        # Closing is prompt; the wait only ends late when two suites share two busy cores.
        await no_connection_left(raw, timeout=20)
        del tasks, outcomes, results
        gc.collect()
    assert [t for t in asyncio.all_tasks() if t is not asyncio.current_task()] == []
    assert not [w for w in seen if "never awaited" in str(w.message)]
