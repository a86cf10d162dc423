"""The sandbox answers the Facebook client as the Graph API does, over TLS on loopback."""
from __future__ import annotations

import asyncio
import sys
import time
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

import aiohttp
import pytest

from corvane.errors import (ApiError, AuthError, ConfigurationError, NotFoundError, PermissionError,
                            RateLimitError)
from corvane.facebook import Facebook
from corvane.http import RetryPolicy
from corvane.sandbox import Sandbox
from corvane.sandbox.world import AD_ID, FORM_ID, PAGE_CLINIC, PAGE_STORE

REDIRECT = "https://crm.example/fb/callback"
SCOPES = ["pages_show_list", "pages_manage_metadata", "leads_retrieval", "ads_management"]


@pytest.fixture
async def sb():
    async with Sandbox(rate_limit=(40, 60.0)) as sandbox:
        yield sandbox


def client(sb: Sandbox, **kw) -> Facebook:
    kw.setdefault("app_secret", sb.app_secret)
    return Facebook(app_id=sb.app_id, session=sb.session(), scopes=SCOPES,
                    retry=RetryPolicy(attempts=1), **kw)


async def login(sb: Sandbox, fb: Facebook) -> str:
    back = sb.consent(fb.login_url(redirect_uri=REDIRECT, state="s-1"))
    query = parse_qs(urlsplit(back).query)
    assert query["state"] == ["s-1"]
    bundle = await fb.exchange_code(query["code"][0], redirect_uri=REDIRECT)
    assert bundle.access_token
    return bundle.access_token


async def test_lead_road_through_the_sandbox(sb):
    fb = client(sb)
    user = await login(sb, fb)
    assert set(await fb.granted_scopes(user)) == set(SCOPES)
    assert (await fb.me(user)).full_name

    pages = {p.id: p for p in await fb.pages(user)}
    assert set(pages) == {PAGE_STORE, PAGE_CLINIC}
    assert pages[PAGE_STORE].instagram_business_account["id"]
    token = pages[PAGE_STORE].access_token
    assert await fb.subscribe_page(PAGE_STORE, token, ["leadgen"])
    assert (await fb.subscriptions(PAGE_STORE, token))[0]["subscribed_fields"] == ["leadgen"]

    [form] = await fb.lead_forms(PAGE_STORE, token)
    assert form.id == FORM_ID
    for n in range(4):  # seven leads: the client must follow paging.next across pages
        await sb.submit_lead({"full_name": f"Lead {n}", "email": f"l{n}@example.com"})
    leads = await fb.leads(FORM_ID, token, limit=500)
    assert len({lead.id for lead in leads}) == 7
    assert len(await fb.leads(FORM_ID, token, limit=5)) == 5
    # The time filter: the world's three leads are days old, the four new ones are not.
    assert len(await fb.leads(FORM_ID, token, since=int(time.time()) - 3600)) == 4

    lead = await fb.lead(leads[0].id, token)
    assert lead.field_data and lead.ad_id == AD_ID
    context = await fb.ad_context(lead.ad_id, user)
    assert context["campaign_name"] and context["targeting"]
    # A page token holds no ads permission: the client gets a refusal and an empty context.
    assert await fb.ad_context(lead.ad_id, token) == {}
    assert await fb.unsubscribe_page(PAGE_STORE, token)
    assert await fb.subscriptions(PAGE_STORE, token) == []


async def _page_token(sb, fb):
    return next(p.access_token for p in await fb.pages(await login(sb, fb)) if p.id == PAGE_STORE)


@pytest.mark.parametrize(
    "case, kind, code",
    [
        ("unknown token", AuthError, 190),
        ("wrong proof", ApiError, 100),
        ("unknown node", NotFoundError, 100),
        ("user token on a page", AuthError, 190),
        ("other page's token", ApiError, 100),
    ],
)
async def test_graph_refusals(sb, case, kind, code):
    fb = client(sb)
    user = await login(sb, fb)
    pages = {p.id: p.access_token for p in await fb.pages(user)}
    lead_id = next(iter(sb.world.leads))
    if case == "unknown token":
        call = fb.lead(lead_id, "EAAnot-a-token")
    elif case == "wrong proof":
        call = client(sb, app_secret="not-the-secret").lead(lead_id, pages[PAGE_STORE])
    elif case == "unknown node":
        call = fb.lead("123456789", pages[PAGE_STORE])
    elif case == "user token on a page":
        call = fb.lead_forms(PAGE_STORE, user)
    else:
        call = fb.lead(lead_id, pages[PAGE_CLINIC])
    with pytest.raises(kind) as info:
        await call
    assert info.value.code == code
    assert "error" in info.value.payload


async def test_rate_limit_past_the_token_budget():
    async with Sandbox(rate_limit=(3, 60.0)) as sb:
        fb = client(sb)
        token = await _page_token(sb, fb)
        for _ in range(3):
            await fb.lead_forms(PAGE_STORE, token)
        with pytest.raises(RateLimitError) as info:
            await fb.lead_forms(PAGE_STORE, token)
        assert info.value.code == 4 and info.value.retry_after and info.value.retry_after > 0


async def test_code_is_single_use_and_bound_to_its_redirect_uri(sb):
    fb = client(sb)
    code = parse_qs(urlsplit(sb.consent(fb.login_url(redirect_uri=REDIRECT))).query)["code"][0]
    with pytest.raises(ApiError):
        await fb.exchange_code(code, redirect_uri="https://elsewhere.example/cb")
    assert (await fb.exchange_code(code, redirect_uri=REDIRECT)).access_token
    with pytest.raises(ApiError):
        await fb.exchange_code(code, redirect_uri=REDIRECT)


async def test_outage_then_recovery(sb):
    fb = client(sb)
    token = await _page_token(sb, fb)
    sb.fail(60)
    with pytest.raises(ApiError) as info:
        await fb.lead_forms(PAGE_STORE, token)
    assert info.value.status == 500 and not isinstance(info.value, (AuthError, PermissionError))
    sb.fail(0)
    assert await fb.lead_forms(PAGE_STORE, token)


@pytest.mark.parametrize("make", ["facebook_client", "instagram_client", "linkedin_client"])
async def test_clients_of_a_stopped_sandbox_never_reach_the_real_hosts(make, monkeypatch):
    async with Sandbox() as sandbox:
        handed_out = getattr(sandbox, make)()
        own = Facebook(app_id=sandbox.app_id, app_secret=sandbox.app_secret, session=sandbox.session())
    monkeypatch.setattr(aiohttp, "ClientSession", None)  # a session of the client's own: never made
    for request in [handed_out._ensure_session(), own.pages("tok")]:
        with pytest.raises(ConfigurationError, match="sandbox to'xtagan"):
            await request


def test_a_sandbox_never_stopped_leaves_no_session_open():
    sessions = []

    async def forget():
        sandbox = await Sandbox().start()
        sessions.extend([sandbox.session(), sandbox._outbound])

    asyncio.run(forget())  # ends its loop with the sandbox still running
    assert sessions and all(s.closed for s in sessions)


async def test_session_reaches_no_other_host(sb):
    with pytest.raises(aiohttp.ClientConnectorError):
        async with sb.session().get("https://example.com/"):
            pass


async def test_facebook_leads_example_runs_against_the_sandbox(sb, monkeypatch, capsys):
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    try:
        import facebook_leads
    finally:
        sys.path.pop(0)
    monkeypatch.setenv("FACEBOOK_APP_ID", sb.app_id)
    monkeypatch.setenv("FACEBOOK_APP_SECRET", sb.app_secret)
    monkeypatch.delenv("FACEBOOK_CONFIG_ID", raising=False)
    monkeypatch.delenv("META_GRAPH_VERSION", raising=False)
    link = Facebook.from_env(scopes=facebook_leads.SCOPES + ["ads_management"]).login_url(redirect_uri=REDIRECT)
    code = parse_qs(urlsplit(sb.consent(link)).query)["code"][0]
    await facebook_leads.show_leads(REDIRECT, code, None, session=sb.session())
    out = capsys.readouterr().out
    assert "Corvane Demo Store" in out and "3 lead(s)" in out and "Spring 2026 leads" in out
    for page in sb.world.pages.values():
        assert page.token not in out


async def test_page_posts_and_comments(sb):
    fb = client(sb)
    token = await _page_token(sb, fb)
    posts = await fb.posts(PAGE_STORE, token, limit=2)
    assert len(posts) == 2 and posts[0]["message"]
    created = await fb.publish_post(PAGE_STORE, token, message="Yangi mahsulot!", link="https://shop.example/x")
    assert (await fb.posts(PAGE_STORE, token))[0]["id"] == created["id"]
    assert all(isinstance(v, int) for v in (await fb.post_insights(created["id"], token)).values())
    comments = await fb.comments(posts[0]["id"], token)
    assert len(comments) == 2
    assert (await fb.reply_comment(comments[0]["id"], token, "Rahmat!"))["id"]
    assert (await fb.hide_comment(comments[1]["id"], token))["success"]
    assert await fb.delete_post(created["id"], token)
    with pytest.raises(AuthError):  # a user token is refused on a Page's post
        await fb.comments(posts[0]["id"], await login(sb, fb))
