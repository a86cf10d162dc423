"""The C++ coroutines against native ones. Each case runs once with an operation of the bridge
and once with a native `async def` doing the same awaits, and both must end the same way:
same result or exception, collected or not by the garbage collector, same warnings. Cases that
could crash the interpreter run in a subprocess and compare exit status and output."""
import asyncio
import collections.abc
import gc
import inspect
import os
import socket
import subprocess
import sys
import textwrap
import warnings
import weakref

import pytest

from conftest import Reply
from corvane.http import BaseClient, _relay


async def native_relay(awaitable, catch=None):
    """What _relay does, natively: awaits `awaitable` inside two nested frames."""
    async def inner(aw):
        return await aw

    try:
        return await inner(awaitable)
    except BaseException as e:
        if catch is None or not isinstance(e, catch):
            raise
        return ("caught", e)


RELAYS = {"bridge": _relay, "native": native_relay}


def outcome(step):
    """What calling `step()` ends with: ("returned", value), ("stopped", value) or
    ("raised", type name, message, cause type name)."""
    try:
        return ("returned", step())
    except StopIteration as e:
        return ("stopped", e.value)
    except BaseException as e:  # noqa: B036 - the exception itself is the outcome
        cause = type(e.__cause__).__name__ if e.__cause__ is not None else None
        return ("raised", type(e).__name__, str(e), cause)


def same_for_both(case):
    results = {name: case(relay) for name, relay in RELAYS.items()}
    assert results["bridge"] == results["native"]
    return results["native"]


def ready(value=None):
    future = asyncio.get_running_loop().create_future()
    future.set_result(value)
    return future


# ---- finished and half-run coroutines, thrown errors ----


@pytest.mark.parametrize("drive", [
    lambda c: c.send(None),
    lambda c: c.throw(KeyError("k")),
    lambda c: c.throw(StopIteration),
    lambda c: c.throw(GeneratorExit),
    lambda c: c.close(),
], ids=["send", "throw", "throw-StopIteration", "throw-GeneratorExit", "close"])
@pytest.mark.parametrize("end", ["returned", "closed-unstarted", "closed-suspended"])
async def test_driving_an_ended_coroutine(drive, end):
    def case(relay):
        loop = asyncio.get_running_loop()
        coro = relay(ready("v") if end == "returned" else loop.create_future())
        if end == "returned":
            outcome(lambda: coro.send(None))
        elif end == "closed-suspended":
            coro.send(None)
            coro.close()
        else:
            coro.close()
        return outcome(lambda: drive(coro)), outcome(lambda: drive(coro))

    first, again = same_for_both(case)
    assert first == again


@pytest.mark.parametrize("thrown, expected", [
    (KeyError("k"), ("raised", "KeyError", "'k'", None)),
    (StopIteration("v"), ("stopped", "v")),  # the awaited future "returns" it
    (GeneratorExit(), ("raised", "GeneratorExit", "", None)),
])
async def test_throw_at_the_await(thrown, expected):
    def case(relay):
        coro = relay(asyncio.get_running_loop().create_future())
        coro.send(None)
        return outcome(lambda: coro.throw(thrown))

    assert same_for_both(case) == expected


class StopsInAwait:
    """An awaitable whose __await__ raises StopIteration, as a buggy host hook might."""

    def __await__(self):
        raise StopIteration("lost")


async def test_stop_iteration_leaving_a_frame_is_a_runtime_error():
    def case(relay):
        return outcome(lambda: relay(StopsInAwait()).send(None))

    assert same_for_both(case) == (
        "raised", "RuntimeError", "coroutine raised StopIteration", "StopIteration")

    # In a task it must end the task (a StopIteration would leave it pending for ever).
    for relay in RELAYS.values():
        with pytest.raises(RuntimeError, match="raised StopIteration"):
            await asyncio.wait_for(asyncio.create_task(relay(StopsInAwait())), 5)


@pytest.mark.parametrize("started", [False, True], ids=["unstarted", "started"])
@pytest.mark.parametrize("thrown", [
    (StopIteration("v"),), (StopIteration,), (OSError, (2, "gone")), (OSError, FileNotFoundError(2, "gone")),
    (KeyError, "k"),
], ids=repr)
async def test_throw_follows_the_running_interpreters_rule(started, thrown):
    # 3.10 and 3.11 run an unstarted frame to raise there (StopIteration becomes RuntimeError,
    # OSError(2, ...) a FileNotFoundError); 3.12 on close it unrun, raise exactly the class
    # given and warn that the three-argument form is deprecated.
    def case(relay):
        coro = relay(asyncio.get_running_loop().create_future())
        if started:
            coro.send(None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            ended = outcome(lambda: coro.throw(*thrown))
        coro.close()
        return ended, {w.category.__name__ for w in caught}

    same_for_both(case)


async def test_stop_async_iteration_passes_as_from_a_native_coroutine():
    class EndsIteration:
        def __await__(self):
            raise StopAsyncIteration

    def case(relay):
        return outcome(lambda: relay(EndsIteration()).send(None))

    assert same_for_both(case)[:2] == ("raised", "StopAsyncIteration")


async def test_stop_iteration_from_a_client_hook(fake_server, session):
    class Stops(BaseClient):
        def _auth_params(self, params=None):
            return next(iter(()))

    coro = Stops(session=session).get(fake_server.url("/x"))
    assert outcome(lambda: coro.send(None))[:2] == ("raised", "RuntimeError")
    with pytest.raises(RuntimeError) as caught:
        await asyncio.wait_for(Stops(session=session).get(fake_server.url("/x")), 5)
    assert isinstance(caught.value.__cause__, StopIteration)


@pytest.mark.parametrize("returned", [5, object(), KeyError])
async def test_parse_error_returning_a_non_exception(fake_server, session, returned):
    class Odd(BaseClient):
        def _parse_error(self, status, body):
            return returned

    fake_server.reply(400, {"error": {"message": "bad"}})
    with pytest.raises(TypeError, match=f"_parse_error .*{type(returned).__name__}"):
        await Odd(session=session).get(fake_server.url("/x"))


# ---- asyncio's view of the type ----


async def test_recognised_as_a_coroutine_by_asyncio_inspect_and_abc():
    coro = _relay(ready(1))
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert await coro == 1


@pytest.mark.skipif(sys.version_info < (3, 12), reason="eager task factories came in 3.12")
@pytest.mark.parametrize("awaited", ["ready", "pending"])
async def test_eager_task_factory(awaited):
    loop = asyncio.get_running_loop()
    if not isinstance(loop, asyncio.BaseEventLoop):
        pytest.skip("eager task factories need asyncio's own loop (uvloop's create_task has no eager_start)")
    loop.set_task_factory(asyncio.eager_task_factory)
    try:
        results = {}
        for name, relay in RELAYS.items():
            future = loop.create_future()
            if awaited == "ready":
                future.set_result(name)
            task = asyncio.create_task(relay(future))  # its first step runs in here
            done_at_once = task.done()
            if not done_at_once:
                loop.call_soon(future.set_result, name)
            results[name] = (done_at_once, await task == name)
        assert results["bridge"] == results["native"] == {
            "ready": (True, True), "pending": (False, True)}[awaited]
    finally:
        loop.set_task_factory(None)


# ---- garbage collection through suspended frames ----


def collected(build):
    """Builds a cycle with `build()` (which returns the object to watch), drops it and reports
    whether gc frees it and which warnings it gave."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        ref = weakref.ref(build())
        gc.collect()
        gc.collect()
    return ref() is None, sorted({str(w.message).split("'")[0] for w in seen})


class NativeClient:
    def __init__(self, session):
        self.session = session

    async def get(self, url):
        async with self.session.get(url) as response:
            return await response.json()


async def test_client_storing_its_unstarted_coroutine_is_collected(fake_server, session):
    def bridge():
        client = BaseClient(session=session)
        client.pending = client.get(fake_server.url("/x"))
        return client

    def native():
        client = NativeClient(session)
        client.pending = client.get(fake_server.url("/x"))
        return client

    assert collected(bridge) == collected(native) == (True, ["coroutine "])


async def test_client_storing_its_suspended_request_is_collected(fake_server, session):
    fake_server.route("/slow", Reply(json={}, delay=0.3))

    def started(client):
        client.pending = client.get(fake_server.url("/slow"))
        client.pending.send(None)  # now waiting inside the HTTP layer
        return client

    assert collected(lambda: started(BaseClient(session=session))) == collected(
        lambda: started(NativeClient(session))) == (True, [])
    await asyncio.sleep(0.4)
    assert len(session.connector._acquired) == 0


async def test_task_cycle_through_a_suspended_coroutine_is_collected():
    loop = asyncio.get_running_loop()
    previous = loop.get_exception_handler()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but pending"
    try:
        results = {}
        for name, relay in RELAYS.items():
            async def waits(relay=relay):
                future = loop.create_future()  # task -> frame -> coroutine -> future -> task
                await relay(future)

            task = loop.create_task(waits())
            await asyncio.sleep(0)  # the task runs up to its wait
            ref = weakref.ref(task)
            del task
            gc.collect()
            results[name] = ref() is None
        assert results == {"bridge": True, "native": True}
    finally:
        loop.set_exception_handler(previous)


async def test_collections_while_operations_run_and_wait(fake_server, session):
    # The collector walks the frames' references at any allocation: while a frame runs (from a
    # hook it calls), while frames are parked, and while they unwind on cancellation.
    fake_server.route("/slow", Reply(json={}, delay=0.05))

    class Collects(BaseClient):
        def _auth_headers(self, headers=None):
            gc.collect()
            return super()._auth_headers(headers)

    client = Collects(session=session)
    calls = [client.get(fake_server.url(f"/n/{i}"), params={"i": i}) for i in range(10)]
    slow = [asyncio.create_task(client.get(fake_server.url("/slow"))) for _ in range(5)]
    await asyncio.sleep(0.01)
    gc.collect()
    slow[0].cancel()
    assert await asyncio.gather(*calls) == [{}] * 10
    results = await asyncio.gather(*slow, return_exceptions=True)
    assert isinstance(results[0], asyncio.CancelledError) and results[1:] == [{}] * 4


# ---- cases that could crash: each in its own interpreter ----

PRELUDE = '''
import asyncio, gc, sys, warnings
from corvane.http import _relay, BaseClient

async def native_relay(awaitable):
    async def inner(aw):
        return await aw
    return await inner(awaitable)

relay = _relay if sys.argv[1] == "bridge" else native_relay

def report(what, exc):
    print(what, type(exc).__name__, exc, flush=True)
'''


def run_both(body, timeout=120, distinct=False):
    """Runs `body` with each relay in its own interpreter; both must exit alike and print the
    same lines (with `distinct`, the same lines once each, in order of first appearance)."""
    runs = {}
    for mode in RELAYS:
        done = subprocess.run(
            [sys.executable, "-X", "dev", "-c", PRELUDE + textwrap.dedent(body), mode],
            capture_output=True, text=True, timeout=timeout)
        out = done.stdout
        if distinct:
            out = "".join(line + "\n" for line in dict.fromkeys(out.splitlines()))
        runs[mode] = (done.returncode, out)
    assert runs["bridge"] == runs["native"], runs
    assert runs["native"][0] == 0
    return runs["native"][1]


def test_reentry_while_closing_is_refused():
    out = run_both('''
        class Reenters:
            """An awaited iterator whose close() drives the coroutine that awaits it."""
            def __init__(self, op):
                self.op = op
            def __await__(self):
                return self
            def __iter__(self):
                return self
            def __next__(self):
                return None
            def send(self, value):
                return None
            def close(self):
                try:
                    if self.op == "send":
                        OUTER.send(None)
                    elif self.op == "throw":
                        OUTER.throw(KeyError("k"))
                    else:
                        OUTER.close()
                except BaseException as e:
                    report(self.op, e)

        for op in ("send", "throw", "close"):
            OUTER = relay(Reenters(op))
            OUTER.send(None)
            OUTER.close()
            try:
                OUTER.send(None)
            except BaseException as e:
                report("after", e)
    ''', distinct=True)  # a native chain of 3.11 calls the iterator's close() more than once
    assert out.splitlines() == [
        "send ValueError coroutine already executing",
        "after RuntimeError cannot reuse already awaited coroutine",
        "throw ValueError coroutine already executing",
        "close ValueError coroutine already executing",
    ]


def test_deep_chain_raises_recursion_error():
    out = run_both('''
        warnings.simplefilter("ignore")  # 100,000 coroutines never awaited
        chain = asyncio.sleep(0)
        for _ in range(100_000):
            chain = relay(chain)
        try:
            asyncio.run(chain)
        except RecursionError as e:
            print("RecursionError", flush=True)
        del chain
        gc.collect()
        print("dropped", flush=True)
    ''', timeout=300)
    assert out == "RecursionError\ndropped\n"


def test_pending_requests_on_a_closed_loop_leave_no_socket():
    # A server that takes connections and never answers: 20 requests of a client that owns its
    # session stay in flight, their tasks are abandoned, the loop is closed; gc must then free
    # every socket.
    out = run_both('''
        import os, socket, threading
        import aiohttp

        class NativeClient:
            session = None
            async def get(self, url):
                if self.session is None:
                    self.session = aiohttp.ClientSession()
                async with self.session.get(url) as response:
                    return await response.json()

        def open_fds():
            return len(os.listdir("/proc/self/fd"))

        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        accepted = []
        def accept():
            while len(accepted) < 20:
                accepted.append(listener.accept()[0])
        acceptor = threading.Thread(target=accept, daemon=True)
        acceptor.start()
        url = "http://127.0.0.1:%d/x" % listener.getsockname()[1]
        warnings.simplefilter("ignore")  # unclosed sessions and transports, on purpose
        before = open_fds()
        loop = asyncio.new_event_loop()
        loop.set_exception_handler(lambda loop, context: None)

        async def start():
            client = BaseClient() if sys.argv[1] == "bridge" else NativeClient()
            tasks = [asyncio.ensure_future(client.get(url)) for _ in range(20)]
            for _ in range(500):
                await asyncio.sleep(0.01)
                if len(accepted) == 20:
                    break
            await asyncio.sleep(0.05)  # the requests are written

        loop.run_until_complete(start())
        print("in flight", len(accepted), flush=True)
        loop.close()
        del loop
        gc.collect()
        gc.collect()
        print("leaked", open_fds() - before - len(accepted), flush=True)
    ''')
    assert out == "in flight 20\nleaked 0\n"



class Owned(str):
    """An id the platform answered that keeps its client alive, closing a cycle."""


def parked(make_operation):
    """Builds a client holding its own operation, parked at a wait that never ends."""
    def build():
        client, operation = make_operation()
        client.pending = operation
        assert isinstance(operation.send(None), asyncio.Future)
        return client
    return build


def never(*args, **kwargs):
    return asyncio.get_running_loop().create_future()


async def test_cycle_through_a_suspended_instagram_operation_is_collected(session):
    # The container id is a local of the frame while a video is processed; the frame alone
    # holds it, so only the frame's roots tell the collector about the edge to the client.
    from corvane.instagram import Instagram

    class Parked(Instagram):
        async def _post(self, url, token, **values):
            creation_id = Owned("1789")
            creation_id.client = self
            return {"id": creation_id}

        _await_container = staticmethod(never)

    def make():
        client = Parked(app_secret="s", session=session)
        return client, client.publish("tok", video_url="https://cdn.example/v.mp4")

    assert collected(parked(make)) == (True, [])


async def test_cycle_through_a_suspended_linkedin_operation_is_collected(session):
    # The session is a local of the publishing frame while the POST is in flight.
    from corvane.linkedin import LinkedIn

    class Session:
        def __init__(self, client):
            self.client = client

        request = staticmethod(never)

    class Parked(LinkedIn):
        async def _ensure_session(self):
            return Session(self)

    def make():
        client = Parked(client_id="c", client_secret="s", session=session)
        return client, client.create_post("tok", "782bbtaQ", "hello")

    assert collected(parked(make)) == (True, [])
