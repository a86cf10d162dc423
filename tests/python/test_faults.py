"""Each client against a server that misbehaves: every fault ends in the documented error kind
after the documented number of attempts (a POST is replayed only when nothing was sent or on a
rate limit), the same client serves the next request, and no connection stays open."""
from __future__ import annotations

import asyncio
import json
import math

import aiohttp
import pytest
from raw_server import Act, every_host_on, no_connection_left, point_hosts_at

from corvane import errors, http
from corvane.facebook import Facebook
from corvane.instagram import Instagram
from corvane.linkedin import LinkedIn

TOKEN = "tok-fault"
OK_BODY = json.dumps({"id": "1", "sub": "member-1", "access_token": "new", "success": True,
                      "name": "N", "data": []}).encode()


@pytest.fixture
async def raw(monkeypatch):
    async with every_host_on(monkeypatch, Act(body=OK_BODY)) as server:
        yield server


def facebook(**options):
    return Facebook(app_id="1", app_secret="fault-secret", **options)


def instagram(**options):
    return Instagram(app_id="1", app_secret="fault-secret", **options)


def linkedin(**options):
    return LinkedIn(client_id="c", client_secret="fault-secret", **options)


# name: (client factory, method as sent, operation). "POST*" sends outside the pipeline.
OPERATIONS = {
    "facebook.me": (facebook, "GET", lambda c: c.me(TOKEN)),
    "facebook.publish_post": (facebook, "POST", lambda c: c.publish_post("1", TOKEN, message="m")),
    "facebook.subscribe_page": (facebook, "POST", lambda c: c.subscribe_page("1", TOKEN)),
    "facebook.delete_post": (facebook, "DELETE", lambda c: c.delete_post("1_2", TOKEN)),
    "instagram.profile": (instagram, "GET", lambda c: c.profile(TOKEN)),
    "instagram.reply_comment": (instagram, "POST", lambda c: c.reply_comment("9", TOKEN, "hi")),
    "instagram.delete_comment": (instagram, "DELETE", lambda c: c.delete_comment("9", TOKEN)),
    "linkedin.me": (linkedin, "GET", lambda c: c.me(TOKEN)),
    "linkedin.exchange_code": (linkedin, "POST", lambda c: c.exchange_code("code", "https://x.example/cb")),
    "linkedin.delete_post": (linkedin, "DELETE", lambda c: c.delete_post(TOKEN, "urn:li:share:1")),
    "linkedin.create_post": (linkedin, "POST*", lambda c: c.create_post(TOKEN, "urn:li:person:1", "t")),
}


def tries(method: str, replayable_fault: bool) -> int:
    """Attempts under the default policy: three, unless the request is a POST whose first
    attempt may have taken effect (create_post is always sent exactly once)."""
    if method == "POST*":
        return 1
    if method == "POST" and not replayable_fault:
        return 1
    return 3


async def fails_then_recovers(raw, operation, acts, *, expect, attempts, **options):
    make, _, call = OPERATIONS[operation]
    client = make(**options)
    for act in acts:
        raw.script(act)
    try:
        with pytest.raises(expect) as caught:
            await call(client)
        assert len(raw.requests) == attempts
        raw.acts.clear()
        assert await call(client) is not None  # the same client serves the next request
        assert not client._sess.session.connector._acquired  # every connection given back
    finally:
        await client.close()
    await no_connection_left(raw)
    return caught.value


# ---- the connection fails ----

@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("fault", ["reset", "loop"])
async def test_connection_lost_or_redirected_forever(raw, sleeps, operation, fault):
    method = OPERATIONS[operation][1]
    attempts = tries(method, False)
    kind = aiohttp.ClientError if method == "POST*" else errors.TransportError
    if fault == "loop":
        # The HTTP layer gives up after ten requests; create_post follows redirects itself,
        # ten hops after the first, and reports the post's unknown fate as an error answer.
        attempts = 11 if method == "POST*" else attempts * 10
        kind = errors.ApiError if method == "POST*" else kind
    err = await fails_then_recovers(raw, operation, [Act(fault, body=b'{"id": "1", "x": "')] * 40,
                                    expect=kind, attempts=attempts)
    if kind is errors.TransportError:
        assert err.url.startswith(raw.base) and err.__cause__ is not None
        assert (err.status, err.provider) == (None, None)
    assert len(sleeps) == tries(method, False) - 1


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
async def test_body_that_never_ends_times_out(raw, sleeps, operation):
    method = OPERATIONS[operation][1]
    kind = (aiohttp.ClientError, asyncio.TimeoutError) if method == "POST*" else errors.TransportError
    err = await fails_then_recovers(raw, operation, [Act("stall", body=b'{"id": "1"')] * 3,
                                    expect=kind, attempts=tries(method, False), timeout=0.3)
    if method != "POST*":
        assert str(err) == "TimeoutError"


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
async def test_refused_connection(sleeps, unused_tcp_port, monkeypatch, operation):
    base = f"http://127.0.0.1:{unused_tcp_port}"
    point_hosts_at(monkeypatch, base)
    make, method, call = OPERATIONS[operation]
    client = make()
    try:
        if method == "POST*":
            with pytest.raises(aiohttp.ClientConnectionError):
                await call(client)
            assert sleeps == []
        else:
            # Nothing was sent, so even a POST is tried again.
            with pytest.raises(errors.TransportError) as caught:
                await call(client)
            assert len(sleeps) == 2 and caught.value.url.startswith(base)
    finally:
        await client.close()


# ---- the answer is broken ----

@pytest.mark.parametrize("operation", ["facebook.me", "facebook.subscribe_page",
                                       "instagram.profile", "linkedin.exchange_code"])
@pytest.mark.parametrize("body, content_type", [
    (b'{"id": "1", "sub": "s"', "application/json"),  # cut short
    (b"{'id': 1}", "application/json"),  # not JSON
    (b"<html>gateway</html>", "text/html"),
    ('{"id": "1", "sub": "\u00e9"}'.encode("utf-8"), "application/json; charset=utf-16"),
])
async def test_success_whose_body_is_not_json_is_refused_once(raw, sleeps, operation, body,
                                                               content_type):
    err = await fails_then_recovers(
        raw, operation, [Act(body=body, headers={"Content-Type": content_type})],
        expect=errors.ApiError, attempts=1)
    assert isinstance(err.payload, dict) and "raw" in err.payload
    assert sleeps == []


async def test_userinfo_that_is_not_json_has_no_member_id(raw):
    # LinkedIn's profile is built on the member's "sub": without it there is nothing to build.
    err = await fails_then_recovers(raw, "linkedin.me", [Act(body=b"<html>gateway</html>")],
                                    expect=errors.ApiError, attempts=1)
    assert "sub" in err.message and err.payload == {"raw": "<html>gateway</html>"}


@pytest.mark.parametrize("charset, body, expected", [
    ("x-no-such-charset", '{"id": "1", "name": "Caf\u00e9"}'.encode(), "Caf\u00e9"),
    ("latin-1", '{"id": "1", "name": "Caf\u00e9"}'.encode(), "Caf\u00c3\u00a9"),  # as declared
    ("utf-16", '{"id": "1", "name": "Caf\u00e9"}'.encode("utf-16"), "Caf\u00e9"),
])
async def test_declared_charset_decides_the_text(raw, charset, body, expected):
    raw.script(Act(body=body, headers={"Content-Type": f"application/json; charset={charset}"}))
    async with facebook() as fb:
        assert (await fb.me(TOKEN)).full_name == expected
    await no_connection_left(raw)


# ---- error answers ----

@pytest.mark.parametrize("operation", sorted(OPERATIONS))
async def test_server_error_storm(raw, sleeps, operation):
    method = OPERATIONS[operation][1]
    storm = Act(status=503, body=b'{"error": {"message": "down"}, "message": "down"}')
    err = await fails_then_recovers(raw, operation, [storm] * 5, expect=errors.ApiError,
                                    attempts=tries(method, False))
    assert err.status == 503 and err.url.startswith(raw.base)


def delays(policy_attempts=3):
    """The back-off waits of the default policy, with their spread."""
    return [(0.25, 0.75), (0.5, 1.5)][: policy_attempts - 1]


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("header, waits", [
    ("2", [2.0, 2.0]),
    ("Wed, 21 Oct 2026 07:28:00 GMT", None),  # a date: the back-off applies
    ("-5", []),  # in the past: at once
    ("nan", None),
    ("1e400", None),  # no finite number
    ("86400", "raised"),  # beyond what the client waits: left to the host
])
async def test_rate_limited(raw, sleeps, operation, header, waits):
    method = OPERATIONS[operation][1]
    limited = Act(status=429, headers={"Retry-After": header},
                  body=b'{"error": {"code": 4, "message": "slow down"}, "message": "slow down"}')
    once = method == "POST*" or waits == "raised"
    # Without pacing: a client that paces holds the token's next call for as long as it was told.
    err = await fails_then_recovers(raw, operation, [limited] * 3, expect=errors.RateLimitError,
                                    attempts=1 if once else 3, throttle=None)
    if once:
        assert sleeps == []
    elif waits is None:
        assert len(sleeps) == 2
        assert all(lo <= wait < hi for wait, (lo, hi) in zip(sleeps, delays()))
    else:
        assert sleeps == waits
    if method != "POST*":
        expected = float(header) if header in ("2", "-5", "86400") else None
        assert err.retry_after == expected
        assert err.retry_after is None or math.isfinite(err.retry_after)


async def test_rate_limit_then_success_returns_the_answer(raw, sleeps):
    raw.script(Act(status=429, headers={"Retry-After": "1"}, body=b"{}"))
    async with linkedin() as li:
        assert (await li.exchange_code("code", "https://x.example/cb")).access_token == "new"
    assert sleeps == [1.0] and len(raw.requests) == 2
    await no_connection_left(raw)


async def test_concurrent_faults_leave_the_pool_sound(raw, sleeps):
    """A mix of faults in flight at once on one client: each fails on its own, the session's
    pool is left with no connection in use, and every connection closes with the client."""
    import asyncio

    raw.script(*[Act("reset"), Act(status=503, body=b"{}"), Act(body=b"<x"),
                 Act("loop")] * 5)
    fb = facebook(retry=http.RetryPolicy(attempts=1))
    try:
        results = await asyncio.gather(*(fb.me(TOKEN) for _ in range(20)),
                                       return_exceptions=True)
        assert all(isinstance(r, (errors.ApiError, errors.TransportError)) or
                   getattr(r, "id", None) == "1" for r in results), results
        raw.acts.clear()
        assert (await fb.me(TOKEN)).id == "1"
        assert not fb._sess.session.connector._acquired
    finally:
        await fb.close()
    await no_connection_left(raw)
