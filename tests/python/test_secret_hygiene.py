"""No credential leaves through anything a host may print or log. Every public operation of the
three clients runs with sentinel token, secret and code values through successes, each error
kind (with the platform quoting the request back in its message), retries, a reset connection,
a time-out, a redirect loop and a refused connection, with every logger at DEBUG. No sentinel
may appear in a log record, in an error's str, repr, url or formatted traceback (causes and
contexts included), in a returned record's repr or in a client's repr."""
from __future__ import annotations

import hashlib
import hmac
import json
import logging
import traceback

import pytest
from raw_server import Act, every_host_on, point_hosts_at

from corvane import http, models
from corvane.facebook import Facebook
from corvane.instagram import Instagram
from corvane.linkedin import LinkedIn

TOKEN = "SENTINELtok7f3a91"
SECRET = "SENTINELsec04e2b"
CODE = "SENTINELcode5d0e1"
REFRESH = "SENTINELrefb77c2"
PROOF = hmac.new(SECRET.encode(), TOKEN.encode(), hashlib.sha256).hexdigest()
SENTINELS = (TOKEN, SECRET, CODE, REFRESH, PROOF)

# Every answer a read needs, with the sentinels where a platform sends tokens back.
ITEM = {"id": "17", "name": "N", "access_token": TOKEN, "field_data": [], "created_time": "x"}
OK = json.dumps({
    **ITEM, "token_type": "bearer", "expires_in": 60, "refresh_token": REFRESH,
    "success": True, "data": [ITEM], "sub": "m1", "email": "m@example.com", "active": True,
    "status_code": "FINISHED", "user_id": "17", "permissions": ["p"],
}).encode()
# The platform quotes the request back, credentials included, as some error pages do.
ECHO = b'{"error": {"message": "bad request {target}", "code": %d}, "message": "at {target}"}'

CALLS = {
    Facebook: [
        lambda c: c.login_url(redirect_uri="https://crm.example/cb", state=CODE),
        lambda c: c.exchange_code(CODE, redirect_uri="https://crm.example/cb"),
        lambda c: c.granted_scopes(TOKEN),
        lambda c: c.revoke(TOKEN),
        lambda c: c.me(TOKEN),
        lambda c: c.pages(TOKEN),
        lambda c: c.subscribe_page("1", TOKEN),
        lambda c: c.subscriptions("1", TOKEN),
        lambda c: c.unsubscribe_page("1", TOKEN),
        lambda c: c.lead_forms("1", TOKEN),
        lambda c: c.leads("2", TOKEN),
        lambda c: c.lead("3", TOKEN),
        lambda c: c.ad_context("4", TOKEN),
        lambda c: c.posts("1", TOKEN),
        lambda c: c.publish_post("1", TOKEN, message="m"),
        lambda c: c.delete_post("1_2", TOKEN),
        lambda c: c.post_insights("1_2", TOKEN),
        lambda c: c.comments("1_2", TOKEN),
        lambda c: c.reply_comment("5", TOKEN, "thanks"),
        lambda c: c.hide_comment("5", TOKEN),
    ],
    LinkedIn: [
        lambda c: c.exchange_code(CODE, "https://crm.example/cb"),
        lambda c: c.refresh(REFRESH),
        lambda c: c.introspect(TOKEN),
        lambda c: c.me(TOKEN),
        lambda c: c.posts(TOKEN, "urn:li:person:1"),
        lambda c: c.create_post(TOKEN, "urn:li:person:1", "text"),
        lambda c: c.delete_post(TOKEN, "urn:li:share:2"),
    ],
    Instagram: [
        lambda c: c.exchange_code(CODE, redirect_uri="https://crm.example/cb"),
        lambda c: c.refresh_token(TOKEN),
        lambda c: c.profile(TOKEN),
        lambda c: c.media(TOKEN),
        lambda c: c.media_insights("9", TOKEN),
        lambda c: c.publish(TOKEN, caption="c", image_url="https://x.example/i.jpg"),
        lambda c: c.publish(TOKEN, video_url="https://x.example/v.mp4", is_reel=True),
        lambda c: c.comments("9", TOKEN),
        lambda c: c.reply_comment("9", TOKEN, "thanks"),
        lambda c: c.hide_comment("9", TOKEN),
        lambda c: c.delete_comment("9", TOKEN),
        lambda c: c.conversations(TOKEN, page_id="1"),
        lambda c: c.messages("9", TOKEN),
        lambda c: c.contact("9", TOKEN),
        lambda c: c.send_message("9", TOKEN, "hi", page_id="1"),
        lambda c: c.insights(TOKEN),
        lambda c: c.demographics(TOKEN),
    ],
}

MODES = {
    "success": [Act(body=OK)],
    "api_error": [Act(status=400, body=ECHO % 100)],
    "auth": [Act(status=401, body=ECHO % 190)],
    "permission": [Act(status=403, body=ECHO % 10)],
    "not_found": [Act(status=404, body=ECHO % 803)],
    "rate_limit_retried": [Act(status=429, headers={"Retry-After": "0"}, body=ECHO % 4)],
    "server_error_retried": [Act(status=503, body=ECHO % 2)],
    "not_json": [Act(body=b"<html>proxy says {target}</html>",
                     headers={"Content-Type": "text/html"})],
    "reset": [Act("reset")],
    "timeout": [Act("stall")],
    "redirect_loop": [Act("loop")],
}


def make(kind, **options):
    options.setdefault("retry", http.RetryPolicy(attempts=2, backoff_base=0, jitter=False))
    if kind is Facebook:
        return Facebook(app_id="1", app_secret=SECRET, **options)
    if kind is LinkedIn:
        return LinkedIn(client_id="c", client_secret=SECRET, **options)
    return Instagram.via_facebook(app_secret=SECRET, **options)


def chain(err: BaseException):
    seen = []
    while err is not None and err not in seen:
        seen.append(err)
        err = err.__cause__ or err.__context__
    return seen


def texts_of_error(err: BaseException):
    yield "".join(traceback.format_exception(err))
    for e in chain(err):
        yield str(e)
        yield repr(e)
        yield str(getattr(e, "url", ""))
        yield repr(getattr(e, "request_info", ""))
        yield repr(getattr(e, "args", ""))


def records_in(value):
    if isinstance(value, (list, tuple)):
        for item in value:
            yield from records_in(item)
    elif isinstance(value, dict):
        for item in value.values():
            yield from records_in(item)
    elif isinstance(value, (models.TokenBundle, models.Profile, models.Page, models.LeadForm,
                            models.Lead)):
        yield value


class Everything(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def every_logger():
    handler = Everything()
    root = logging.getLogger()
    saved = root.level, {}
    root.setLevel(logging.DEBUG)
    root.addHandler(handler)
    for name, logger in list(logging.Logger.manager.loggerDict.items()):
        if isinstance(logger, logging.Logger):
            saved[1][name] = logger.level
            logger.setLevel(logging.DEBUG)
    yield handler
    root.removeHandler(handler)
    root.setLevel(saved[0])
    for name, level in saved[1].items():
        logging.getLogger(name).setLevel(level)


async def drive(kind, calls, texts, **options):
    client = make(kind, **options)
    try:
        for call in calls:
            try:
                result = call(client)
                if hasattr(result, "__await__"):
                    result = await result
            except Exception as err:  # every failure is inspected, whatever its kind
                texts.extend(texts_of_error(err))
            else:
                texts.extend(repr(record) for record in records_in(result))
        texts.append(repr(client))
    finally:
        await client.close()


@pytest.mark.parametrize("kind", [Facebook, LinkedIn, Instagram], ids=lambda k: k.__name__)
async def test_no_sentinel_anywhere(monkeypatch, sleeps, every_logger, unused_tcp_port, kind):
    texts: list[str] = []
    async with every_host_on(monkeypatch, Act()) as server:
        for mode, acts in MODES.items():
            server.default = acts[0]
            await drive(kind, CALLS[kind], texts, timeout=0.1 if mode == "timeout" else 30)
    point_hosts_at(monkeypatch, f"http://127.0.0.1:{unused_tcp_port}")
    await drive(kind, CALLS[kind], texts)

    assert any("qayta urinish" in r.getMessage() for r in every_logger.records)  # retries ran
    for record in every_logger.records:
        texts += [record.getMessage(), repr(record), repr(record.args)]
        if record.exc_info:
            texts.append("".join(traceback.format_exception(*record.exc_info)))
    leaks = sorted({t for t in texts for s in SENTINELS if s in t})
    assert not leaks, f"{len(leaks)} texts show a secret:\n\n" + "\n\n".join(
        t[:800] for t in leaks[:12])
