"""A successful answer whose body is not JSON (a proxy's page, a body cut short): request()
hands it back as {"raw": text}, but nothing that reads members of an answer takes it for an
empty result."""
import pytest
from conftest import Reply

from corvane import endpoints, errors, http
from corvane.facebook import Facebook

TOKEN = "tok-123456"
HTML = "<html><body>Proxy says hello</body></html>"


@pytest.fixture
def fb(graph_host, session):
    return Facebook(app_id="1", app_secret="s3", session=session,
                    retry=http.RetryPolicy(attempts=1))


def html(fake_server, times=1):
    for _ in range(times):
        fake_server.reply(200, body=HTML, content_type="text/html")


OPERATIONS = {
    "pages": lambda fb: fb.pages(TOKEN),
    "subscriptions": lambda fb: fb.subscriptions("42", TOKEN),
    "subscribe_page": lambda fb: fb.subscribe_page("42", TOKEN),
    "unsubscribe_page": lambda fb: fb.unsubscribe_page("42", TOKEN),
    "lead_forms": lambda fb: fb.lead_forms("42", TOKEN),
    "leads": lambda fb: fb.leads("77", TOKEN),
    "lead": lambda fb: fb.lead("88", TOKEN),
    "ad_context": lambda fb: fb.ad_context("99", TOKEN),
    "posts": lambda fb: fb.posts("42", TOKEN),
    "delete_post": lambda fb: fb.delete_post("42_1", TOKEN),
    "post_insights": lambda fb: fb.post_insights("42_1", TOKEN),
    "comments": lambda fb: fb.comments("42_1", TOKEN),
    "granted_scopes": lambda fb: fb.granted_scopes(TOKEN),
    "revoke": lambda fb: fb.revoke(TOKEN),
    "me": lambda fb: fb.me(TOKEN),
    "exchange_code": lambda fb: fb.exchange_code("c0de", redirect_uri="https://x.example/cb"),
}


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
async def test_operations_refuse_an_answer_that_is_not_json(fb, fake_server, operation):
    html(fake_server)
    with pytest.raises(errors.ApiError) as caught:
        await OPERATIONS[operation](fb)
    err = caught.value
    assert type(err) is errors.ApiError
    assert "not JSON" in str(err)
    assert (err.status, err.provider) == (200, "facebook")
    assert err.url.startswith(fake_server.base) and TOKEN not in err.url and "s3" not in err.url
    assert err.payload == {"raw": HTML}


async def test_request_still_returns_the_raw_text(fb, fake_server):
    html(fake_server)
    answer = await fb.get(fake_server.url("/v23.0/me"))
    assert answer == {"raw": HTML} and isinstance(answer, dict)


async def test_a_json_answer_with_a_raw_member_is_json(fb, fake_server):
    fake_server.reply(200, {"raw": "x", "success": True})
    assert await fb.unsubscribe_page("42", TOKEN) is True


async def test_walk_that_meets_a_page_not_json_fails_instead_of_ending(fb, fake_server):
    fake_server.reply(200, {"data": [{"id": "1"}],
                            "paging": {"next": fake_server.url("/v23.0/page2?access_token=" + TOKEN)}})
    html(fake_server)
    with pytest.raises(errors.ApiError) as caught:
        await fb.paginate(fake_server.url("/v23.0/42/feed"))
    assert caught.value.url.endswith("/v23.0/page2?access_token=***&appsecret_proof=***")
    assert len(fake_server.requests) == 2


async def test_secret_echoed_in_the_page_is_masked_in_the_payload(fb, fake_server):
    fake_server.reply(200, body=f"<a href='/me?access_token={TOKEN}'>", content_type="text/html")
    with pytest.raises(errors.ApiError) as caught:
        await fb.me(TOKEN)
    assert TOKEN not in repr(caught.value)
    assert caught.value.payload == {"raw": "<a href='/me?access_token=***'>"}


async def test_undecodable_bytes_are_not_json_either(fb, fake_server):
    fake_server.replies.append(Reply(200, body=b"\xff\xfe{", content_type="application/json"))
    with pytest.raises(errors.ApiError, match="not JSON"):
        await fb.lead_forms("42", TOKEN)


# ---- Instagram ----

IG_SECRET = "ig-secret-7"


@pytest.fixture
def ig(monkeypatch, fake_server, session):
    monkeypatch.setattr(endpoints.Graph, "host", fake_server.base)
    monkeypatch.setattr(endpoints.InstagramGraph, "host", fake_server.base)
    monkeypatch.setattr(endpoints, "INSTAGRAM_TOKEN_URL", fake_server.url("/oauth/access_token"))
    from corvane.instagram import Instagram
    return Instagram(app_id="555", app_secret=IG_SECRET, session=session,
                     retry=http.RetryPolicy(attempts=1))


IMAGE = "https://cdn.example/a.jpg"
# name: (JSON answers before the one that is not JSON, the operation)
IG_OPERATIONS = {
    "profile": ([], lambda ig: ig.profile(TOKEN)),
    "media": ([], lambda ig: ig.media(TOKEN)),
    "media_insights": ([], lambda ig: ig.media_insights("1789", TOKEN)),
    "media_insights, statistics": ([{"id": "1789", "media_type": "IMAGE"}],
                                   lambda ig: ig.media_insights("1789", TOKEN)),
    "publish, container": ([], lambda ig: ig.publish(TOKEN, image_url=IMAGE)),
    "publish, media_publish": ([{"id": "1789"}], lambda ig: ig.publish(TOKEN, image_url=IMAGE)),
    "_await_container": ([], lambda ig: ig._await_container("1789", TOKEN)),
    "comments": ([], lambda ig: ig.comments("1789", TOKEN)),
    "contact": ([], lambda ig: ig.contact("6612", TOKEN)),
    "conversations": ([], lambda ig: ig.conversations(TOKEN)),
    "insights": ([], lambda ig: ig.insights(TOKEN)),
    "demographics": ([], lambda ig: ig.demographics(TOKEN)),
    "exchange_code, short-lived": (
        [], lambda ig: ig.exchange_code("c0de", redirect_uri="https://x.example/cb")),
    "exchange_code, long-lived": (
        [{"access_token": "short-1", "user_id": 7}],
        lambda ig: ig.exchange_code("c0de", redirect_uri="https://x.example/cb")),
    "refresh_token": ([], lambda ig: ig.refresh_token(TOKEN)),
}


@pytest.mark.parametrize("operation", sorted(IG_OPERATIONS))
async def test_instagram_operations_refuse_an_answer_that_is_not_json(ig, fake_server, operation):
    before, call = IG_OPERATIONS[operation]
    for answer in before:
        fake_server.reply(200, answer)
    html(fake_server)
    with pytest.raises(errors.ApiError) as caught:
        await call(ig)
    err = caught.value
    assert type(err) is errors.ApiError and "not JSON" in str(err)
    assert (err.status, err.provider) == (200, "instagram")
    assert err.payload == {"raw": HTML}
    assert len(fake_server.requests) == len(before) + 1
    for secret in (TOKEN, IG_SECRET, "short-1"):
        assert secret not in err.url and secret not in repr(err)
