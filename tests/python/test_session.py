"""The session slot: who creates, who closes, and the scope protocol."""
import asyncio

import aiohttp
import pytest
from aiohttp import web
from loopback import serve

from corvane.http import BaseClient


@pytest.fixture
def created(monkeypatch):
    """Counts the sessions clients create through aiohttp.ClientSession."""
    made = []
    real = aiohttp.ClientSession

    def counting(*args, **kwargs):
        s = real(*args, **kwargs)
        made.append((s, kwargs))
        return s

    monkeypatch.setattr(aiohttp, "ClientSession", counting)
    yield made
    for s, _ in made:
        assert s.closed, "a session the client created was left open"


async def test_supplied_session_is_used_and_never_closed(fake_server, session, created):
    c = BaseClient(session=session)
    await c.get(fake_server.url("/a"))
    async with c:
        await c.get(fake_server.url("/b"))
    assert not session.closed and created == []
    assert c._sess.session is None and c._sess.owned is False
    # The slot is empty now: the next request creates and owns a session.
    await c.get(fake_server.url("/c"))
    assert len(created) == 1 and c._sess.owned is True and c._sess.session is created[0][0]
    await c.close()
    assert created[0][0].closed and not session.closed


async def test_created_session_carries_timeout_and_user_agent(fake_server, created):
    async with BaseClient(timeout=12.5, user_agent="crm/2.0") as c:
        assert c._sess.owned is True
        await c.get(fake_server.url("/ua"), headers={"X-Extra": "1"})
        await c.get(fake_server.url("/ua"), headers={"User-Agent": "override"})
    (session, kwargs), = created
    assert kwargs["timeout"].total == 12.5 and session.closed
    assert fake_server.requests[0].headers["User-Agent"] == "crm/2.0"
    assert fake_server.requests[1].headers["User-Agent"] == "override"
    assert c._sess.session is None


async def test_concurrent_first_calls_create_one_session(fake_server, created):
    c = BaseClient()
    try:
        await asyncio.gather(*(c.get(fake_server.url(f"/{i}")) for i in range(20)))
    finally:
        await c.close()
    assert len(created) == 1 and len(fake_server.requests) == 20


async def test_closed_session_in_slot_is_replaced_with_one_warning(fake_server, created, caplog):
    own = aiohttp.ClientSession()
    await own.close()
    c = BaseClient(session=own)
    await c.get(fake_server.url("/x"))
    await c.get(fake_server.url("/y"))
    assert len(created) == 2 and c._sess.owned is True and c._sess.session is created[1][0]
    # The host's session was closed under the client: its requests now reach the real hosts.
    warned = [r for r in caplog.records if r.levelname == "WARNING"]
    assert [(r.name, r.args) for r in warned] == [("corvane", ("BaseClient",))]
    assert "xost bergan sessiya yopilgan" in warned[0].getMessage()
    await c.close()
    await c.close()  # closing an empty slot does nothing


async def test_scope_exit_never_suppresses(created):
    with pytest.raises(ZeroDivisionError):
        async with BaseClient() as c:
            assert c._sess.session is created[0][0]
            1 / 0
    assert created[0][0].closed


async def test_reentering_after_close_makes_a_fresh_session(created):
    c = BaseClient()
    async with c:
        pass
    async with c:
        pass
    assert len(created) == 2 and all(s.closed for s, _ in created)


def test_construction_sends_nothing_and_validates(created):
    c = BaseClient()
    assert created == [] and c.provider == "unknown" and c.timeout.total == 30.0
    assert c.user_agent == "corvane-python"
    with pytest.raises(TypeError):
        BaseClient(timeout="soon")
    with pytest.raises(TypeError):
        BaseClient(30.0)  # every parameter is by name
    for senseless in (float("nan"), -1, -0.5):
        with pytest.raises(ValueError, match="timeout"):
            BaseClient(timeout=senseless)


# ---- a client used from more than one event loop ----

async def _serve_and_get(client):
    """Starts a server on the running loop, asks it once through `client`, stops it (the
    client is left open, as a host's long-lived client is)."""
    async def answer(request):
        return web.json_response({"loop": id(asyncio.get_running_loop())})

    app = web.Application()
    app.router.add_get("/", answer)
    runner, base = await serve(app)
    try:
        body = await client.get(base + "/")
        return body, await client._ensure_session()
    finally:
        await runner.cleanup()


def test_own_session_is_renewed_on_a_second_event_loop(created):
    c = BaseClient()
    first, session_one = asyncio.run(_serve_and_get(c))
    second, session_two = asyncio.run(_serve_and_get(c))
    assert first != second  # each answer came through its own loop
    assert session_two is not session_one and session_one.closed
    assert c._sess.owned
    asyncio.run(c.close())
    assert len(created) == 2


def test_supplied_session_of_another_loop_is_never_replaced(created):
    async def make():
        return aiohttp.ClientSession()

    supplied = asyncio.run(make())
    c = BaseClient(session=supplied)

    async def ensure():
        return await c._ensure_session()

    try:
        assert asyncio.run(ensure()) is supplied
        assert not supplied.closed and not c._sess.owned
        assert len(created) == 1  # the host's own, nothing more
    finally:
        supplied.detach()
