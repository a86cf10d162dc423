"""No credential leaves through what a failed request hands out: the TransportError's str, repr
and url, its formatted traceback with the chained cause, and log lines. Walked through Facebook
with sentinel credentials against a redirect loop, a refused connection and a time-out."""
import asyncio
import logging
import traceback

import aiohttp
import pytest
from conftest import Reply
from raw_server import Act, RawServer

from corvane import endpoints, errors, http
from corvane.facebook import Facebook

TOKEN = "SENTINEL-TOKEN-7f3a91"
APP_SECRET = "SENTINEL-SECRET-c04e2b"
CODE = "SENTINEL-CODE-55d0e1"


def every_text(err):
    """What a host, a debugger or an error tracker can read from an error: its texts and those
    of every exception chained below it, the locals of every frame of their tracebacks, and
    what an error answer carried."""
    yield str(err.url)
    yield repr(getattr(err, "payload", None))
    yield "".join(traceback.format_exception(err))
    seen, chain = set(), [err]
    while chain:
        e = chain.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        yield str(e)
        yield repr(e)
        yield repr(getattr(e, "__dict__", {}))
        if e is not err:  # the raising frames below the host's own
            for frame, _ in traceback.walk_tb(e.__traceback__):
                yield repr(frame.f_locals)
        linked = [e.__cause__, e.__context__, *getattr(e, "__dict__", {}).values()]
        chain += [x for x in linked if isinstance(x, BaseException)]


def sentinels_in(texts):
    return {sentinel for text in texts for sentinel in (TOKEN, APP_SECRET, CODE) if sentinel in text}


OPERATIONS = {
    "me": lambda fb: fb.me(TOKEN),
    "exchange_code": lambda fb: fb.exchange_code(CODE, redirect_uri="https://crm.example/cb"),
    "granted_scopes": lambda fb: fb.granted_scopes(TOKEN),
}
PATHS = ("/v23.0/me", "/v23.0/oauth/access_token", "/v23.0/debug_token")  # what they ask


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("fault, kind", [
    ("redirect loop", aiohttp.TooManyRedirects),
    ("refused", aiohttp.ClientConnectorError),
    ("time-out", asyncio.TimeoutError),
])
async def test_no_secret_in_a_transport_failure(monkeypatch, fake_server, unused_tcp_port, sleeps,
                                               caplog, fault, kind, operation):
    looping = None
    timeout = 30.0
    if fault == "redirect loop":
        looping = await RawServer().start()
        looping.default, host = Act("loop"), looping.base
    elif fault == "refused":
        host = f"http://127.0.0.1:{unused_tcp_port}"
    else:
        for path in PATHS:
            fake_server.route(path, Reply(json={}, delay=2.0))
        host, timeout = fake_server.base, 0.05
    monkeypatch.setattr(endpoints.Graph, "host", host)
    fb = Facebook(app_id="1234", app_secret=APP_SECRET, timeout=timeout)
    try:
        with caplog.at_level(logging.DEBUG):
            with pytest.raises(errors.TransportError) as caught:
                await OPERATIONS[operation](fb)
    finally:
        await fb.close()
        if looping is not None:
            await looping.stop()
    err = caught.value
    # The kind of failure survives in the cause, which hosts rely on.
    assert isinstance(err.__cause__, kind)
    assert "***" in err.url or "?" not in err.url
    logged = [record.getMessage() for record in caplog.records]
    assert sentinels_in([*every_text(err), *logged]) == set()


async def test_masked_cause_keeps_plain_attributes_only(session, sleeps, unused_tcp_port):
    url = f"http://127.0.0.1:{unused_tcp_port}/x?access_token={TOKEN}"
    c = http.BaseClient(session=session, retry=http.RetryPolicy(attempts=1))
    with pytest.raises(errors.TransportError) as caught:
        await c.get(url)
    cause = caught.value.__cause__
    assert isinstance(cause, aiohttp.ClientConnectorError)
    assert isinstance(cause.os_error, OSError)  # an errno says why; no secret in it
    assert str(cause).startswith("Cannot connect to host 127.0.0.1")
    # The HTTP library's frames hold the request in their locals: none are kept.
    assert cause.__traceback__ is None and cause.os_error.__traceback__ is None


@pytest.mark.parametrize("sent", [
    {"headers": {"Authorization": f"Bearer {TOKEN}"}},
    {"data": {"client_secret": TOKEN, "grant_type": "authorization_code"}},
])
async def test_credentials_outside_the_query_are_masked_too(fake_server, sent):
    # A failure whose text quotes what was sent (here raised by a host's own trace hook).
    async def quoting(session, ctx, params):
        raise aiohttp.ClientError(f"refused: {sent}")

    trace = aiohttp.TraceConfig()
    trace.on_request_start.append(quoting)
    async with aiohttp.ClientSession(trace_configs=[trace]) as traced:
        c = http.BaseClient(session=traced, retry=http.RetryPolicy(attempts=1))
        with pytest.raises(errors.TransportError) as caught:
            await c.post(fake_server.url("/x"), **sent)
    assert sentinels_in(every_text(caught.value)) == set()


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
async def test_no_secret_in_an_answer_that_echoes_the_request(monkeypatch, fake_server, operation):
    # A proxy or the platform quoting back what it was sent, in text and in nested members.
    def echo(request):
        sent = {"query": request.raw_query, "pairs": request.query, "form": request.body.decode()}
        return Reply(400, json={"error": {"message": f"refused {request.raw_query}", "code": 1},
                                "echo": [sent, {"values": list(request.params.values())}]})

    for path in PATHS:
        fake_server.route(path, echo)
    monkeypatch.setattr(endpoints.Graph, "host", fake_server.base)
    fb = Facebook(app_id="1234", app_secret=APP_SECRET, retry=http.RetryPolicy(attempts=1))
    try:
        with pytest.raises(errors.ApiError) as caught:
            await OPERATIONS[operation](fb)
    finally:
        await fb.close()
    assert sentinels_in([*every_text(caught.value), repr(caught.value.payload)]) == set()
