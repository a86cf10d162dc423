"""When the pipeline tries again: a POST only when it certainly took no effect, a server's
Retry-After only up to max_retry_after, and RetryPolicy settings refused when they cannot work."""
import asyncio
import json
import math
import subprocess
import sys
import textwrap

import pytest

from corvane import errors, http
from conftest import graph_client
from corvane.http import BaseClient, RetryPolicy


def client(session, **options):
    return graph_client(session=session, **options)


@pytest.fixture
async def hang_up_server():
    """Reads each request in full, then closes the connection without answering."""
    received = []

    async def on_connection(reader, writer):
        head = await reader.readuntil(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        if length:
            await reader.readexactly(length)
        received.append(head.split(b" ", 1)[0].decode())
        writer.close()

    server = await asyncio.start_server(on_connection, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    yield f"http://127.0.0.1:{port}/x", received
    server.close()
    await server.wait_closed()


# ---- a POST is replayed only when it certainly took no effect ----

@pytest.mark.parametrize("method, reply, tries", [
    ("POST", (500, {}), 1),
    ("POST", (503, {"error": {"message": "down"}}), 1),
    ("POST", (429, {}), 3),
    ("POST", (400, {"error": {"code": 4, "message": "too many"}}), 3),  # a rate limit by code
    ("GET", (500, {}), 3),
    ("DELETE", (503, {}), 3),
])
async def test_error_answers(fake_server, session, sleeps, method, reply, tries):
    status, body = reply
    for _ in range(3):
        fake_server.reply(status, body)
    with pytest.raises(errors.ApiError) as caught:
        await client(session).request(method, fake_server.url("/feed"))
    assert len(fake_server.requests) == tries
    assert caught.value.status == status


@pytest.mark.parametrize("method, tries", [("POST", 1), ("post", 1), ("GET", 3)])
async def test_connection_lost_after_sending(session, sleeps, hang_up_server, method, tries):
    url, received = hang_up_server
    with pytest.raises(errors.TransportError):
        await client(session).request(method, url, data={"message": "hello"})
    assert len(sleeps) == tries - 1
    if method.upper() == "POST":
        assert len(received) == 1
    else:  # newer aiohttp also tries an idempotent request once more by itself
        assert len(received) in (tries, 2 * tries)


@pytest.mark.parametrize("method", ["POST", "GET"])
async def test_refused_connection_is_retried_for_every_method(session, sleeps, unused_tcp_port,
                                                             method):
    with pytest.raises(errors.TransportError):
        await client(session).request(method, f"http://127.0.0.1:{unused_tcp_port}/feed")
    assert sleeps == [pytest.approx(0.5, rel=0.5), pytest.approx(1.0, rel=0.5)]


async def test_post_time_out_is_not_replayed(fake_server):
    fake_server.route("/slow", __import__("conftest").Reply(json={}, delay=1.0))
    c = BaseClient(timeout=0.05, retry=RetryPolicy(backoff_base=0))
    try:
        with pytest.raises(errors.TransportError):
            await c.post(fake_server.url("/slow"))
    finally:
        await c.close()
    assert len(fake_server.requests) == 1


# ---- max_retry_after ----

@pytest.mark.parametrize("header, policy, tries, waits", [
    ("1e12", RetryPolicy(), 1, []),
    ("301", RetryPolicy(), 1, []),
    ("300", RetryPolicy(), 2, [300.0]),
    ("120", RetryPolicy(max_retry_after=60), 1, []),
    ("0", RetryPolicy(max_retry_after=0, jitter=False), 2, [0.5]),  # no server wait: back-off
])
async def test_server_wait_beyond_the_bound_is_left_to_the_host(fake_server, session, sleeps,
                                                               header, policy, tries, waits):
    fake_server.reply(429, {}, headers={"Retry-After": header})
    fake_server.reply(429, {}, headers={"Retry-After": header})
    with pytest.raises(errors.RateLimitError) as caught:
        await client(session, retry=RetryPolicy(attempts=2, backoff_base=policy.backoff_base,
                                                jitter=policy.jitter,
                                                max_retry_after=policy.max_retry_after)
                     ).get(fake_server.url("/x"))
    assert len(fake_server.requests) == tries
    assert sleeps == waits
    assert caught.value.retry_after == float(header)


def usage(*minutes):
    """An X-Business-Use-Case-Usage header: one business object per wait given."""
    return json.dumps({f"10{i}": [{"type": "pages", "call_count": 100, "total_cputime": 9, "total_time": 9,
                                   "estimated_time_to_regain_access": m}] for i, m in enumerate(minutes)})


@pytest.mark.parametrize("headers, tries, waits, retry_after", [
    ({"X-Business-Use-Case-Usage": usage(1, 3)}, 2, [180.0], 180.0),  # the longest wait, exactly
    ({"X-Business-Use-Case-Usage": usage(6)}, 1, [], 360.0),  # beyond max_retry_after: at once
    ({"X-Business-Use-Case-Usage": usage(9), "Retry-After": "2"}, 2, [2.0], 2.0),  # Retry-After first
    ({"X-Business-Use-Case-Usage": usage(0)}, 2, [0.5], 0.0),  # no wait to speak of: the back-off
    ({"X-Business-Use-Case-Usage": '{"1":[{"estimated_time_to_regain_access":"5"}'}, 2, [0.5], None),
])
async def test_business_throttle_waits_what_meta_says(fake_server, session, sleeps, headers, tries, waits,
                                                      retry_after):
    for _ in range(2):
        fake_server.reply(400, {"error": {"code": 80001, "message": "too many calls"}}, headers=headers)
    with pytest.raises(errors.RateLimitError) as caught:
        await client(session, retry=RetryPolicy(attempts=2, jitter=False)).get(fake_server.url("/x"))
    assert (len(fake_server.requests), sleeps) == (tries, waits)
    assert caught.value.retry_after == retry_after


# ---- RetryPolicy settings ----

@pytest.mark.parametrize("name, value", [
    ("backoff_base", math.nan), ("backoff_base", math.inf), ("backoff_base", -0.5),
    ("backoff_max", math.inf), ("backoff_max", -math.inf), ("backoff_max", -1),
    ("max_retry_after", math.nan), ("max_retry_after", -1), ("max_retry_after", 10**400),
    ("attempts", 2**63), ("attempts", -2**70),
])
def test_policy_refuses_settings_that_cannot_work(name, value):
    with pytest.raises(ValueError, match=name):
        RetryPolicy(**{name: value})


def test_policy_fields_and_defaults():
    policy = RetryPolicy()
    assert policy.max_retry_after == 300.0
    assert policy == RetryPolicy(3, 0.5, 30.0, True, 300)
    assert policy != RetryPolicy(max_retry_after=10)
    assert RetryPolicy(attempts=0).attempts == 0 and RetryPolicy(attempts=1).attempts == 1
    assert "max_retry_after=300.0" in repr(policy)


@pytest.mark.parametrize("attempt, expected", [
    (-2**62, 0.0), (-2**70, 0.0), (-2**63, 0.0), (2**70, 30.0), (0, 0.25),
])
def test_delay_for_extreme_attempts(attempt, expected):
    assert RetryPolicy(jitter=False).delay_for(attempt) == expected
    assert RetryPolicy(backoff_base=0, jitter=False).delay_for(attempt) == 0.0


def test_a_later_infinite_setting_is_refused_at_use():
    policy = RetryPolicy()
    policy.backoff_max = math.inf
    with pytest.raises(ValueError, match="backoff_max"):
        policy.delay_for(1)


# ---- _retry_after over a host's plain dict ----

def test_retry_after_survives_a_key_that_empties_the_headers():
    # Run apart: with the debug allocator a freed value is certain to crash the process.
    script = textwrap.dedent("""
        import gc
        from corvane import http

        class Key(str):
            def __str__(self):
                headers.clear(); gc.collect(); return "retry-after"
            def lower(self):
                headers.clear(); gc.collect(); return "retry-after"

        class Response:
            pass

        headers = {Key("RETRY-AFTER"): "".join(["1", "2"])}
        response = Response()
        response.headers = headers
        print(http._retry_after(response))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env={"PYTHONMALLOC": "debug", "PATH": ""}, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "12.0"
