"""The request pipeline as a host sees it: what goes on the wire, what comes back, how
failures are reported and retried."""
import asyncio
import logging

import aiohttp
import pytest
from aiohttp import web
from conftest import Reply, graph_client
from loopback import serve

from corvane import errors
from corvane.http import RETRYABLE_STATUSES, BaseClient, RetryPolicy, Throttle, _retry_after

NO_JITTER = RetryPolicy(jitter=False)


def client(session, **kwargs):
    kwargs.setdefault("retry", NO_JITTER)
    return graph_client(session=session, **kwargs)


async def test_query_is_appended_encoded_and_nulls_dropped(fake_server, session):
    c = client(session)
    url = fake_server.url("/v1/node?after=QVFI%2Fx%3D%3D&urn=urn%3Ali%3Aperson%3A1")
    await c.get(url, params={"gone": None, "q": "a b/ç", "flag": True, "n": 5, "ids": [1, 2]})
    assert fake_server.last.raw_query == (
        "after=QVFI%2Fx%3D%3D&urn=urn%3Ali%3Aperson%3A1"
        "&q=a%20b%2F%C3%A7&flag=true&n=5&ids=%5B1%2C2%5D"
    )


async def test_only_nulls_add_no_query(fake_server, session):
    await client(session).get(fake_server.url("/x"), params={"a": None})
    assert fake_server.last.raw_query == ""


async def test_bodies_and_headers(fake_server, session):
    c = client(session)
    await c.post(fake_server.url("/j"), json={"a": [1, "ü"]}, headers={"X-Test": "1"})
    sent = fake_server.last
    assert sent.method == "POST" and sent.json() == {"a": [1, "ü"]}
    assert sent.headers["X-Test"] == "1"
    assert sent.headers["Content-Type"] == "application/json"
    await c.post(fake_server.url("/f"), data={"message": "salom dunyo", "published": False})
    assert fake_server.last.form == {"message": "salom dunyo", "published": "false"}
    await c.delete(fake_server.url("/d"))
    assert fake_server.last.method == "DELETE" and fake_server.last.body == b""
    with pytest.raises(ValueError):
        await c.post(fake_server.url("/both"), json={}, data={})


@pytest.mark.parametrize(
    "body, content_type, expected",
    [
        (b"", "application/json", None),
        (b" \n\t ", "text/plain", None),
        (b'{"a": 1}', "text/html", {"a": 1}),
        (b"[1, 2]", None, [1, 2]),
        (b"true", "application/json", True),
        (b"not json", "text/plain", {"raw": "not json"}),
        ('{"name": "Ñandú"}'.encode("latin-1"), "application/json; charset=latin-1", {"name": "Ñandú"}),
        ('{"v": "ok ✓"}'.encode(), "application/json; charset=x-unknown-charset", {"v": "ok ✓"}),
        (b'{"v": "\xff\xfe"}', "application/json; charset=utf-8", {"raw": '{"v": "\ufffd\ufffd"}'}),
        (b"[" * 100000, "application/json", {"raw": "[" * 100000}),
    ],
)
async def test_body_decoding(fake_server, session, body, content_type, expected):
    fake_server.reply(body=body, content_type=content_type)
    assert await client(session).get(fake_server.url("/b")) == expected


GRAPH_ERRORS = [
    # status, body, kind, message, code
    (400, {"error": {"code": 190, "message": "Invalid OAuth access token."}}, errors.AuthError, "Invalid OAuth access token.", 190),
    (400, {"error": {"code": 102, "message": "m"}}, errors.AuthError, "m", 102),
    (401, {}, errors.AuthError, "HTTP 401", None),
    (404, {"error": {"code": 190, "message": "m"}}, errors.AuthError, "m", 190),
    (403, {"error": {"code": 200, "message": "m"}}, errors.PermissionError, "m", 200),
    (400, {"error": {"code": 10, "message": "m", "error_user_msg": "for users"}}, errors.PermissionError, "for users", 10),
    (400, {"error": {"code": 299, "message": "m"}}, errors.PermissionError, "m", 299),
    (400, {"error": {"code": 803, "message": "m"}}, errors.NotFoundError, "m", 803),
    (404, {"error": {"message": "gone"}}, errors.NotFoundError, "gone", None),
    # A missing node (a deleted lead, a wrong id) is 400 with code 100, subcode 33.
    (400, {"error": {"code": 100, "error_subcode": 33, "message": "m"}}, errors.NotFoundError, "m", 100),
    (400, {"error": {"code": 100, "error_subcode": 34, "message": "m"}}, errors.ApiError, "m", 100),
    # Business use case throttles, and 613 with subcode 1996.
    *[(400, {"error": {"code": code, "message": "m"}}, errors.RateLimitError, "m", code)
      for code in (80000, 80001, 80002, 80005, 80006, 80009, 80014)],
    (400, {"error": {"code": 613, "error_subcode": 1996, "message": "m"}}, errors.RateLimitError, "m", 613),
    (400, {"error": {"code": 80010, "message": "m"}}, errors.ApiError, "m", 80010),
    (400, {"error": {"code": "190", "message": "m"}}, errors.ApiError, "m", "190"),
    (400, {"error": "invalid_grant", "error_description": "Code expired"}, errors.ApiError, "Code expired", None),
    (400, {"error": "invalid_grant"}, errors.ApiError, "invalid_grant", None),
    (400, {"message": 42}, errors.ApiError, "42", None),
    (400, {"message": None}, errors.ApiError, "None", None),
    (400, {"error": {"code": True, "message": "bool is no code"}}, errors.ApiError, "bool is no code", True),
    (403, {"error": {"error_user_msg": "", "message": ""}}, errors.PermissionError, "HTTP 403", None),
]


@pytest.mark.parametrize("status, body, kind, message, code", GRAPH_ERRORS)
async def test_error_table(fake_server, session, status, body, kind, message, code):
    fake_server.reply(status, body)
    with pytest.raises(errors.CorvaneError) as caught:
        await client(session, retry=RetryPolicy(attempts=1)).get(fake_server.url("/e"))
    err = caught.value
    assert type(err) is kind
    assert (str(err), err.code, err.status, err.payload) == (message, code, status, body)
    assert err.provider == "unknown"


def test_base_client_names_the_kind_by_status_alone():
    # The codes are the Graph clients' rules (their _error_kind); the base reads the body alike.
    by_status = {429: errors.RateLimitError, 401: errors.AuthError, 403: errors.PermissionError,
                 404: errors.NotFoundError}
    for status, body, _, message, code in GRAPH_ERRORS:
        error = BaseClient()._parse_error(status, body)
        assert type(error) is by_status.get(status, errors.ApiError)
        assert (str(error), error.code) == (message, code)


def test_a_subclass_names_the_kind_of_its_platform():
    class Teapot(BaseClient):
        def _error_kind(self, status, code, subcode):
            return "AuthError" if (status, code) == (418, 5) else 7

    assert type(Teapot()._parse_error(418, {"error": {"code": 5}})) is errors.AuthError
    with pytest.raises(TypeError, match="^_error_kind must return the name of a corvane.errors class, not int$"):
        Teapot()._parse_error(400, {})


async def test_non_json_error_body(fake_server, session):
    fake_server.reply(502, body="<html>Bad gateway</html>", content_type="text/html")
    with pytest.raises(errors.ApiError) as caught:
        await client(session, retry=RetryPolicy(attempts=1)).get(fake_server.url("/e"))
    assert str(caught.value) == "HTTP 502"
    assert caught.value.payload == {"raw": "<html>Bad gateway</html>"}


async def test_retries_then_raises_last_error(fake_server, session, sleeps, caplog):
    for _ in range(3):
        fake_server.reply(503, {"error": {"message": "down"}})
    url = fake_server.url("/v23.0/me?access_token=SECRET&appsecret_proof=PROOF&fields=id")
    with caplog.at_level(logging.WARNING, logger="corvane"):
        with pytest.raises(errors.ApiError) as caught:
            await client(session).get(url, params={"client_secret": "CS"})
    assert len(fake_server.requests) == 3
    assert sleeps == [0.5, 1.0]
    err = caught.value
    assert err.status == 503
    assert err.url.endswith("/v23.0/me?access_token=***&appsecret_proof=***&fields=id&client_secret=***")
    masked = fake_server.url("/v23.0/me?access_token=***&appsecret_proof=***&fields=id")
    assert [r.getMessage() for r in caplog.records] == [
        f"GET {masked} -> 503; 0.5s dan keyin qayta urinish (1/3)",
        f"GET {masked} -> 503; 1.0s dan keyin qayta urinish (2/3)",
    ]
    assert all("SECRET" not in r.getMessage() and "PROOF" not in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("status, body, tries", [
    (501, {}, 1),
    (400, {"error": {"code": 190}}, 1),
    (400, {"error": {"code": 4}}, 3),
    (403, {"error": {"code": 32}}, 3),
    (500, {}, 3),
    (504, {}, 3),
])
async def test_retryability(fake_server, session, sleeps, status, body, tries):
    fake_server.route("/r", lambda _: __import__("conftest").Reply(status=status, json=body))
    with pytest.raises(errors.ApiError):
        await client(session).get(fake_server.url("/r"))
    assert len(fake_server.requests) == tries


@pytest.mark.parametrize("header, wait", [
    ("7", 7.0), ("120", 120.0), (" 1.5 ", 1.5), ("2e1", 20.0),
    ("0", 0.5), ("inf", 0.5), ("NaN", 0.5), ("1e999", 0.5),
    ("Wed, 21 Oct 2015 07:28:00 GMT", 0.5), ("", 0.5), (None, 0.5),
])
async def test_retry_after_decides_the_wait(fake_server, session, sleeps, header, wait):
    headers = {} if header is None else {"Retry-After": header}
    fake_server.reply(429, {}, headers=headers)
    fake_server.reply(200, {"ok": 1})
    assert await client(session).get(fake_server.url("/rl")) == {"ok": 1}
    assert sleeps == [wait]


async def test_negative_retry_after_retries_without_wait(fake_server, session, sleeps):
    fake_server.reply(429, {}, headers={"Retry-After": "-3"})
    fake_server.reply(429, {})
    with pytest.raises(errors.RateLimitError) as caught:
        await client(session, retry=RetryPolicy(attempts=2, jitter=False)).get(fake_server.url("/rl"))
    assert sleeps == [] and len(fake_server.requests) == 2
    assert caught.value.retry_after is None  # the second answer had no header


async def test_attempts_zero_and_one(fake_server, session, sleeps):
    c = client(session, retry=RetryPolicy(attempts=0))
    with pytest.raises(errors.ApiError) as caught:
        await c.get(fake_server.url("/x?token=T"))
    assert (str(caught.value), caught.value.provider) == ("Noma'lum xato", "unknown")
    assert caught.value.url == fake_server.url("/x?token=***")
    assert fake_server.requests == []
    fake_server.reply(503, {})
    with pytest.raises(errors.ApiError):
        await client(session, retry=RetryPolicy(attempts=1)).get(fake_server.url("/x"))
    assert sleeps == [] and len(fake_server.requests) == 1


async def test_connection_failure_is_transport_error(session, sleeps, unused_tcp_port):
    url = f"http://127.0.0.1:{unused_tcp_port}/v23.0/me?access_token=SECRET"
    with pytest.raises(errors.TransportError) as caught:
        await client(session).get(url)
    err = caught.value
    assert isinstance(err.__cause__, aiohttp.ClientConnectionError)
    assert err.url.endswith("/v23.0/me?access_token=***")
    assert (err.provider, err.status) == (None, None)
    assert not isinstance(err, errors.ApiError)
    assert sleeps == [0.5, 1.0]


async def test_timeout_is_transport_error(fake_server, monkeypatch):
    fake_server.route("/slow", __import__("conftest").Reply(json={}, delay=1.0))
    c = BaseClient(timeout=0.05, retry=RetryPolicy(attempts=2, backoff_base=0))
    try:
        with pytest.raises(errors.TransportError) as caught:
            await c.get(fake_server.url("/slow"))
    finally:
        await c.close()
    assert str(caught.value) == "TimeoutError"
    assert isinstance(caught.value.__cause__, asyncio.TimeoutError)
    assert len(fake_server.requests) == 2


async def test_hook_failure_passes_unchanged(fake_server, session):
    class Broken(BaseClient):
        def _auth_params(self, params=None):
            raise KeyError("hook")

    with pytest.raises(KeyError):
        await Broken(session=session).get(fake_server.url("/x"))
    assert fake_server.requests == []


async def test_subclass_hooks_are_used(fake_server, session):
    class Signed(BaseClient):
        provider = "linkedin"

        def _auth_params(self, params=None):
            return {**(params or {}), "sig": "1"}

        def _auth_headers(self, headers=None):
            return {**(headers or {}), "Authorization": "Bearer t"}

    fake_server.reply(404, {})
    with pytest.raises(errors.NotFoundError) as caught:
        await Signed(session=session, retry=NO_JITTER).get(fake_server.url("/x"), params={"a": 1})
    assert fake_server.last.query == [("a", "1"), ("sig", "1")]
    assert fake_server.last.headers["Authorization"] == "Bearer t"
    assert caught.value.provider == "linkedin"


class FakeResponse:
    def __init__(self, headers):
        self.headers = headers


@pytest.mark.parametrize("headers, expected", [
    ({"retry-after": "3"}, 3.0),
    ({"RETRY-AFTER": "0.25"}, 0.25),
    ({"Retry-After": "soon"}, None),
    ({}, None),
])
def test_retry_after_reads_header_without_case(headers, expected):
    assert _retry_after(FakeResponse(headers)) == expected


def test_retry_policy_delays():
    p = RetryPolicy(jitter=False)
    assert [p.delay_for(n) for n in range(1, 9)] == [0.5, 1, 2, 4, 8, 16, 30, 30]
    assert RetryPolicy(backoff_base=0, jitter=False).delay_for(3) == 0
    assert p.delay_for(10**30) == 30
    spread = [RetryPolicy().delay_for(7) for _ in range(200)]
    assert all(15 <= d < 45 for d in spread) and len(set(spread)) > 1
    assert RetryPolicy() == RetryPolicy(3, 0.5, 30.0, True) != p
    assert RETRYABLE_STATUSES == {429, 500, 502, 503, 504}
    with pytest.raises(TypeError):
        RetryPolicy(attempts="3")


@pytest.mark.parametrize("call, message", [
    (lambda: RetryPolicy(1, 2, 3, True, 5, 6), "RetryPolicy() takes 6 positional arguments"),
    (lambda: RetryPolicy(attempts=True), "RetryPolicy: attempts must be an int, not bool"),
    (lambda: Throttle(90), "Throttle() takes at most 0 positional arguments (1 given)"),
    (lambda: Throttle(limit=1), "Throttle() got an unexpected keyword argument 'limit'"),
    (lambda: BaseClient(colour="red"), "BaseClient() got an unexpected keyword argument 'colour'"),
    (lambda: Throttle()._observe({}, 5), "_observe: url must be a str, not int"),
    (lambda: BaseClient._is_retryable(), "_is_retryable() missing 1 required positional argument"),
])
def test_constructors_and_hooks_name_themselves_in_call_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


# ---- what reaches the wire, whatever aiohttp and yarl versions are installed ----

@pytest.mark.parametrize("path_and_query, params, wire", [
    ("/rest/posts/urn%3Ali%3Ashare%3A7", None, "/rest/posts/urn%3Ali%3Ashare%3A7"),
    ("/rest/posts/urn%3Ali%3Ashare%3A7?q=a%2Cb", {"x": "1:2"},
     "/rest/posts/urn%3Ali%3Ashare%3A7?q=a%2Cb&x=1%3A2"),
    ("/v23.0/me?fields=picture%7Burl%7D&after=QVFI%3D", {}, "/v23.0/me?fields=picture%7Burl%7D&after=QVFI%3D"),
])
async def test_encoded_url_reaches_the_wire_unchanged(fake_server, session, path_and_query, params,
                                                      wire):
    await client(session).get(fake_server.url(path_and_query), params=params)
    assert fake_server.last.raw_path == wire


@pytest.fixture
async def other_origin():
    """A second loopback server (another port, so another origin) that records headers."""
    seen = []

    async def record(request):
        seen.append(dict(request.headers))
        return web.json_response({"landed": True})

    app = web.Application()
    app.router.add_route("*", "/{tail:.*}", record)
    runner, base = await serve(app)
    yield base, seen
    await runner.cleanup()


async def test_authorization_is_not_sent_to_another_origin_after_a_redirect(fake_server, session,
                                                                             other_origin):
    base, seen = other_origin
    fake_server.reply(302, body="", headers={"Location": base + "/landing"})
    answer = await client(session).get(fake_server.url("/start"),
                                       headers={"Authorization": "Bearer T0KEN"})
    assert answer == {"landed": True}
    assert fake_server.requests[0].headers["Authorization"] == "Bearer T0KEN"
    assert [h.get("Authorization") for h in seen] == [None]


async def test_redirect_within_the_origin_keeps_authorization(fake_server, session):
    fake_server.reply(302, body="", headers={"Location": "/next"})
    await client(session).get(fake_server.url("/start"), headers={"Authorization": "Bearer T0KEN"})
    assert [r.headers.get("Authorization") for r in fake_server.requests] == ["Bearer T0KEN"] * 2


async def test_every_answer_gives_its_connection_back(fake_server):
    # One connection in the pool: an answer left unreleased would stall the next request.
    async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=1)) as narrow:
        c = client(narrow, retry=RetryPolicy(attempts=1))
        for reply in [Reply(404, {"error": {"message": "no"}}), Reply(200, body="<html>"),
                      Reply(200, {"ok": 1}), Reply(500, body="")] * 2:
            fake_server.replies.append(reply)
            try:
                await asyncio.wait_for(c.get(fake_server.url("/x")), 5)
            except errors.ApiError:
                pass
    assert len(fake_server.requests) == 8
