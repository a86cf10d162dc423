"""Shared fixtures: a real aiohttp.web server on 127.0.0.1 that records every request and
answers scripted replies, and a host-supplied aiohttp session to reach it."""
from __future__ import annotations

import asyncio
import contextlib
import functools
import inspect
import json as jsonlib
import uuid
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable
from urllib.parse import parse_qsl

import aiohttp
import pytest
from aiohttp import web
from hypothesis import settings
from loopback import serve

# Shared machines are noisy: a slow example is not a failure.
settings.register_profile("corvane", deadline=None)
settings.load_profile("corvane")

# Real webhook deliveries, lead objects and error bodies collected from public sources (where
# each came from: tests/data/SOURCES.md).
SAMPLES_DIR = Path(__file__).resolve().parents[1] / "data"

# The server's own waits must not go through a test's replacement of asyncio.sleep.
_real_sleep = asyncio.sleep


def pytest_addoption(parser):
    parser.addoption("--uvloop", action="store_true", default=False,
                     help="run every asynchronous test on uvloop's event loop")


def pytest_asyncio_loop_factories(config, item):
    # Many aiohttp deployments run uvloop: `make test` runs the suite once on each loop.
    if config.getoption("--uvloop"):
        import uvloop

        return {"uvloop": uvloop.new_event_loop}
    return {"asyncio": asyncio.new_event_loop}


@dataclass
class Recorded:
    method: str
    path: str
    raw_query: str
    query: list[tuple[str, str]]
    headers: dict[str, str]
    body: bytes
    raw_path: str = ""  # path and query exactly as they came on the wire

    @property
    def params(self) -> dict[str, str]:
        return dict(self.query)

    @property
    def form(self) -> dict[str, str]:
        return dict(parse_qsl(self.body.decode(), keep_blank_values=True))

    def json(self) -> Any:
        return jsonlib.loads(self.body)


@functools.cache
def _graph_client_type():
    from corvane.facebook import Facebook
    from corvane.http import BaseClient

    class GraphClient(BaseClient):
        def _error_kind(self, status, code, subcode):
            return Facebook._error_kind(self, status, code, subcode)

    return GraphClient


def graph_client(**options):
    """A BaseClient that names error kinds by the Graph clients' rules (codes before status)."""
    return _graph_client_type()(**options)


@dataclass
class Reply:
    status: int = 200
    json: Any = None
    body: bytes | str | None = None
    headers: dict[str, str] = field(default_factory=dict)
    content_type: str | None = None
    delay: float = 0.0


class FakeServer:
    """Answers each request with the next scripted reply (or a route's reply for its path);
    with nothing scripted, answers 200 {}."""

    def __init__(self) -> None:
        self.requests: list[Recorded] = []
        self.replies: deque[Reply] = deque()
        self.routes: dict[str, Callable[[Recorded], Any] | Reply] = {}
        self.base = ""
        self.closing = asyncio.Event()  # cuts scripted delays short at teardown

    def url(self, path: str = "/") -> str:
        return self.base + path

    def reply(self, status: int = 200, json: Any = None, **kwargs: Any) -> None:
        self.replies.append(Reply(status=status, json=json, **kwargs))

    def route(self, path: str, reply: Callable[[Recorded], Any] | Reply) -> None:
        self.routes[path] = reply

    @property
    def last(self) -> Recorded:
        return self.requests[-1]

    async def handle(self, request: web.Request) -> web.StreamResponse:
        raw_query = request.raw_path.partition("?")[2]
        recorded = Recorded(
            method=request.method,
            path=request.path,
            raw_query=raw_query,
            query=parse_qsl(raw_query, keep_blank_values=True),
            headers=dict(request.headers),
            body=await request.read(),
            raw_path=request.raw_path,
        )
        self.requests.append(recorded)
        if request.path in self.routes:
            scripted = self.routes[request.path]
            reply = scripted(recorded) if callable(scripted) else scripted
            if inspect.isawaitable(reply):  # an async route: waits inside the handler
                reply = await reply
        elif self.replies:
            reply = self.replies.popleft()
        else:
            reply = Reply(json={})
        if reply.delay:
            try:
                await asyncio.wait_for(self.closing.wait(), reply.delay)
            except asyncio.TimeoutError:
                pass
        if reply.body is not None:
            body = reply.body.encode() if isinstance(reply.body, str) else reply.body
            headers = dict(reply.headers)
            if reply.content_type:
                headers["Content-Type"] = reply.content_type
            return web.Response(status=reply.status, body=body, headers=headers)
        return web.json_response(reply.json, status=reply.status, headers=reply.headers)


class Held:
    """A route that holds each request until `released` is set, then answers `reply`;
    `started` is set once the first request waits. A test releases it at its end: the server's
    shutdown waits for every handler still running."""

    def __init__(self, reply: Reply) -> None:
        self.reply = reply
        self.started, self.released = asyncio.Event(), asyncio.Event()

    async def __call__(self, request: Recorded) -> Reply:
        self.started.set()
        await asyncio.wait_for(self.released.wait(), 30)
        return self.reply


def tasks_named(suffix: str) -> list[asyncio.Task[Any]]:
    """The loop's tasks whose coroutine's qualified name ends with `suffix`."""
    return [t for t in asyncio.all_tasks()
            if getattr(t.get_coro(), "__qualname__", "").endswith(suffix)]


async def cancelled(task: asyncio.Future[Any]) -> None:
    """Cancels `task`, which must end cancelled (not swallow the cancellation)."""
    assert task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def cancel_leaving_none(task: asyncio.Task[Any], suffix: str) -> None:
    """Cancels `task`, which must end cancelled; a few loop turns later no task named `suffix`
    (what it had started) may be left."""
    await cancelled(task)
    for _ in range(5):
        await _real_sleep(0)
    assert tasks_named(suffix) == []


@contextlib.asynccontextmanager
async def serving(server: FakeServer):
    """`server` on a free loopback port until the block ends."""
    app = web.Application()
    app.router.add_route("*", "/{tail:.*}", server.handle)
    runner, server.base = await serve(app)
    try:
        yield server
    finally:
        server.closing.set()
        await _real_sleep(0)
        await runner.cleanup()


@pytest.fixture
async def start_fake_server():
    """Starts a FakeServer on a port of its own at each call; all stop at the test's end."""
    async with contextlib.AsyncExitStack() as stack:
        yield lambda: stack.enter_async_context(serving(FakeServer()))


@pytest.fixture
async def fake_server(start_fake_server):
    return await start_fake_server()


@pytest.fixture
def graph_host(monkeypatch, fake_server):
    """The fake server as the Graph API's host."""
    from corvane import endpoints

    monkeypatch.setattr(endpoints.Graph, "host", fake_server.base)
    return fake_server


@pytest.fixture
def hosts(monkeypatch, fake_server):
    """The fake server as both Graph hosts: Facebook's under /fb, Instagram's under /ig."""
    from corvane import endpoints

    monkeypatch.setattr(endpoints.Graph, "host", fake_server.base + "/fb")
    monkeypatch.setattr(endpoints.InstagramGraph, "host", fake_server.base + "/ig")
    monkeypatch.setattr(endpoints, "INSTAGRAM_TOKEN_URL", fake_server.url("/oauth/access_token"))
    return fake_server


@pytest.fixture
async def session():
    """A session owned by the test (the host): clients must never close it."""
    async with aiohttp.ClientSession() as s:
        yield s


@pytest.fixture
def sleeps(monkeypatch):
    """Replaces asyncio.sleep: records each wait and returns at once (after one loop turn)."""
    waits: list[float] = []

    async def fake_sleep(delay, result=None):
        waits.append(delay)
        await _real_sleep(0)
        return result

    monkeypatch.setattr(asyncio, "sleep", fake_sleep)
    return waits


@pytest.fixture(scope="session")
def postgres_server():
    """The DSN of a PostgreSQL server started for this test session."""
    from pg_server import PostgresServer

    server = PostgresServer()
    try:
        yield server.start()
    finally:
        server.stop()


@pytest.fixture
def postgres_db(postgres_server):
    """A new, empty database on the session's server; its DSN. Made on a loop of its own, so
    that sync fixtures can ask for it too."""
    import asyncpg
    from concurrent.futures import ThreadPoolExecutor

    name = f"t_{uuid.uuid4().hex[:12]}"

    async def create() -> None:
        conn = await asyncpg.connect(postgres_server)
        try:
            await conn.execute(f"CREATE DATABASE {name}")
        finally:
            await conn.close()

    with ThreadPoolExecutor(1) as pool:
        pool.submit(asyncio.run, create()).result()
    return postgres_server.rsplit("/", 1)[0] + "/" + name


# A sandbox of the platforms for one test (files that need other settings define their own).
@pytest.fixture
async def sb():
    from corvane.sandbox import Sandbox

    async with Sandbox() as sandbox:
        yield sandbox


# A receiver's SQLite store for one test.
@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "leads.sqlite3")

