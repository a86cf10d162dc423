"""The sandbox as strict as the platform: the appsecret_proof on every Graph and Instagram
request, next links without it, user tokens refused where a Page's is needed, usage headers on
every answer and the business use case throttles; and the clients living with all of it."""
from __future__ import annotations

import json
from urllib.parse import parse_qsl, urlsplit

import pytest
from signing import proof

from corvane.errors import AuthError, NotFoundError, RateLimitError
from corvane.facebook import Facebook
from corvane.http import RetryPolicy
from corvane.instagram import Instagram
from corvane.sandbox import Sandbox, Usage, graph
from corvane.sandbox.world import FORM_ID, IG_ACCOUNT, PAGE_STORE

FB = "https://graph.facebook.com/v23.0"
IG = "https://graph.instagram.com/v23.0"


async def call(sb: Sandbox, url: str, token: str, secret: str | None = None, **query: str):
    query["access_token"] = token
    if secret:
        query["appsecret_proof"] = proof(token, secret)
    async with sb.session().get(url, params=query) as resp:
        return resp.status, await resp.json(), resp.headers


async def user_token(sb: Sandbox) -> str:
    """A user's token, through the login the platform offers."""
    fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
    redirect = "https://crm.example/cb"
    code = dict(parse_qsl(urlsplit(sb.consent(fb.login_url(redirect_uri=redirect))).query))["code"]
    return (await fb.exchange_code(code, redirect_uri=redirect)).access_token


def page_token(sb: Sandbox) -> str:
    return sb.world.pages[PAGE_STORE].token


def ig_token(sb: Sandbox) -> str:
    token = "IGAA-test-token"
    sb.world.instagram.tokens[token] = "long"
    return token


MISSING = "API calls from the server require an appsecret_proof argument"
WRONG = "Invalid appsecret_proof provided in the API argument"


@pytest.mark.parametrize("host", [FB, IG])
@pytest.mark.parametrize("sent, message", [(None, MISSING), ("wrong-secret", WRONG)])
async def test_every_request_needs_the_proof_unless_switched_off(sb, host, sent, message):
    token = page_token(sb) if host == FB else ig_token(sb)
    status, body, _ = await call(sb, f"{host}/{IG_ACCOUNT}", token, sent, fields="id")
    assert (status, body["error"]["code"], body["error"]["message"]) == (400, 100, message)
    sb.strict.appsecret_proof = False
    status, _, _ = await call(sb, f"{host}/{IG_ACCOUNT}", token, sent, fields="id")
    assert status == (200 if sent is None else 400)  # a wrong proof is refused all the same


async def test_next_links_are_the_platforms_and_carry_no_proof(sb, monkeypatch):
    monkeypatch.setattr(graph, "_MAX_PAGE", 1)
    token = page_token(sb)
    _, body, _ = await call(sb, f"{FB}/{FORM_ID}/leads", token, sb.app_secret, fields="id")
    link = urlsplit(body["paging"]["next"])
    query = dict(parse_qsl(link.query, keep_blank_values=True))
    assert (link.scheme, link.hostname, link.path) == ("https", "graph.facebook.com", f"/v23.0/{FORM_ID}/leads")
    assert query == {"access_token": token, "fields": "id", "limit": "1", "after": query["after"]}
    # Followed as written, the link is refused: the proof is the client's to add.
    async with sb.session().get(body["paging"]["next"]) as resp:
        assert (resp.status, (await resp.json())["error"]["message"]) == (400, MISSING)


async def test_every_list_walks_all_its_pages_through_the_strict_sandbox(sb, monkeypatch):
    monkeypatch.setattr(graph, "_MAX_PAGE", 1)  # one item per page: every list has a page 2
    fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session(),
                  retry=RetryPolicy(attempts=1))
    ig = Instagram.via_facebook(app_secret=sb.app_secret, session=sb.session(), retry=RetryPolicy(attempts=1))
    user = await user_token(sb)
    token = page_token(sb)
    post = next(iter(sb.graph.content.posts))
    media = next(iter(sb.world.instagram.media))

    async def walk(items):
        return [item async for item in items]

    counts = {
        "pages": len(await fb.pages(user)),
        "leads": len(await fb.leads(FORM_ID, token)),
        "iter_leads": len(await walk(fb.iter_leads(FORM_ID, token))),
        "posts": len(await fb.posts(PAGE_STORE, token, limit=3)),
        "iter_posts": len(await walk(fb.iter_posts(PAGE_STORE, token))),
        "comments": len(await fb.comments(post, token)),
        "iter_comments": len(await walk(fb.iter_comments(post, token))),
        "ig media": len(await ig.media(token, ig_user_id=IG_ACCOUNT, limit=3)),
        "ig iter_media": len(await walk(ig.iter_media(token, ig_user_id=IG_ACCOUNT))),
        "ig comments": len(await ig.comments(media, token)),
        "paginate": len(await fb.paginate(f"{FB}/me/accounts", params=fb._signed(user))),
    }
    assert counts == {"pages": 2, "leads": 3, "iter_leads": 3, "posts": 3, "iter_posts": 3, "comments": 2,
                      "iter_comments": 2, "ig media": 3, "ig iter_media": 3, "ig comments": 2, "paginate": 2}


async def test_a_missing_node_is_100_33_and_not_found_to_the_client(sb):
    status, body, _ = await call(sb, f"{FB}/123456789", page_token(sb), sb.app_secret)
    assert (status, body["error"]["code"], body["error"]["error_subcode"]) == (400, 100, 33)
    assert body["error"]["message"].startswith("Unsupported get request. Object with ID '123456789' does not exist")
    fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
    with pytest.raises(NotFoundError):
        await fb.lead("123456789", page_token(sb))


async def test_usage_headers_on_every_answer(sb):
    user = await user_token(sb)
    _, _, headers = await call(sb, f"{FB}/me", user, sb.app_secret)
    assert set(json.loads(headers["X-App-Usage"])) == {"call_count", "total_time", "total_cputime"}
    for url, token, owner, kind in [
        (f"{FB}/{FORM_ID}/leads", page_token(sb), PAGE_STORE, "leadgen"),
        (f"{FB}/{PAGE_STORE}/published_posts", page_token(sb), PAGE_STORE, "pages"),
        (f"{FB}/{IG_ACCOUNT}/media", page_token(sb), IG_ACCOUNT, "instagram"),
        (f"{FB}/{PAGE_STORE}/conversations", page_token(sb), PAGE_STORE, "messenger"),
    ]:
        _, _, headers = await call(sb, url, token, sb.app_secret)
        [figures] = json.loads(headers["X-Business-Use-Case-Usage"])[owner]
        assert figures["type"] == kind and figures["estimated_time_to_regain_access"] == 0
    sb.strict.usage_headers = False
    _, _, headers = await call(sb, f"{FB}/me", user, sb.app_secret)
    assert "X-App-Usage" not in headers


@pytest.mark.parametrize("url, owner, kind, code", [
    (f"{FB}/{FORM_ID}/leads", PAGE_STORE, "leadgen", 80005),
    (f"{FB}/{PAGE_STORE}/published_posts", PAGE_STORE, "pages", 80001),
    (f"{FB}/{IG_ACCOUNT}/media", IG_ACCOUNT, "instagram", 80002),
    (f"{FB}/{PAGE_STORE}/conversations", PAGE_STORE, "messenger", 80006),
])
async def test_a_spent_budget_throttles_and_calls_while_blocked_lengthen_it(url, owner, kind, code):
    async with Sandbox(usage=Usage(calls=2, block=600, penalty=120)) as sb:
        for _ in range(2):
            assert (await call(sb, url, page_token(sb), sb.app_secret))[0] == 200
        status, body, headers = await call(sb, url, page_token(sb), sb.app_secret)
        assert (status, body["error"]["code"]) == (400, code)
        assert json.loads(headers["X-Business-Use-Case-Usage"])[owner][0]["estimated_time_to_regain_access"] == 10
        await call(sb, url, page_token(sb), sb.app_secret)
        assert sb.usage.blocked_minutes(owner, kind) == 12


async def test_the_client_gives_up_at_once_on_a_long_throttle_and_waits_a_short_one(sleeps):
    async with Sandbox(usage=Usage(calls=1, block=600)) as sb:
        # Without pacing, which would hold the second call for the budget spent by the first.
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session(),
                      retry=RetryPolicy(attempts=3), throttle=None)
        await fb.lead_forms(PAGE_STORE, page_token(sb))
        with pytest.raises(RateLimitError) as caught:
            await fb.lead_forms(PAGE_STORE, page_token(sb))
        assert (caught.value.code, caught.value.retry_after, sleeps) == (80005, 600.0, [])
    async with Sandbox(usage=Usage(calls=1, block=120)) as sb:
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session(),
                      retry=RetryPolicy(attempts=2), throttle=None)
        await fb.lead_forms(PAGE_STORE, page_token(sb))
        sleeps.clear()  # the first sandbox's shutdown waited too
        with pytest.raises(RateLimitError):  # still blocked after the wait (nothing really waited)
            await fb.lead_forms(PAGE_STORE, page_token(sb))
        assert sleeps == [120.0]


@pytest.mark.parametrize("operation", [
    lambda ig, token: ig.profile(token, ig_user_id=IG_ACCOUNT),
    lambda ig, token: ig.conversations(token, ig_user_id=IG_ACCOUNT, page_id=PAGE_STORE),
])
async def test_the_instagram_inbox_and_account_take_the_pages_token(sb, operation):
    ig = Instagram.via_facebook(app_secret=sb.app_secret, session=sb.session(), retry=RetryPolicy(attempts=1))
    assert await operation(ig, page_token(sb))
    with pytest.raises(AuthError) as caught:
        await operation(ig, await user_token(sb))
    assert caught.value.code == 190
