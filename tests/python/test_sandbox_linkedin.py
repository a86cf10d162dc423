"""The sandbox's LinkedIn hosts, driven with the requests the LinkedIn client sends."""
from __future__ import annotations

import calendar
import time
from urllib.parse import parse_qs, quote, urlencode, urlsplit

import pytest

from corvane import endpoints, errors
from corvane.http import RetryPolicy
from corvane.linkedin import LinkedIn
from corvane.sandbox import Sandbox
from corvane.sandbox.linkedin import active_versions

OAUTH = "https://www.linkedin.com/oauth/v2"
REST = "https://api.linkedin.com/rest"
REDIRECT = "https://crm.example/li/callback"
VERSION = time.strftime("%Y%m", time.gmtime())


def headers(token: str | None, version: str | None = VERSION) -> dict[str, str]:
    out = {"X-Restli-Protocol-Version": "2.0.0"}
    if version:
        out["LinkedIn-Version"] = version
    if token:
        out["Authorization"] = f"Bearer {token}"
    return out


async def sign_in(sb: Sandbox, scopes: str = "openid profile email w_member_social") -> dict:
    li = sb.world.linkedin
    link = f"{OAUTH}/authorization?" + urlencode(
        {"response_type": "code", "client_id": li.client_id, "redirect_uri": REDIRECT,
         "scope": scopes, "state": "st"}, quote_via=quote)
    query = parse_qs(urlsplit(sb.consent(link)).query)
    assert query["state"] == ["st"]
    form = {"grant_type": "authorization_code", "code": query["code"][0], "client_id": li.client_id,
            "client_secret": li.client_secret, "redirect_uri": REDIRECT}
    async with sb.session().post(f"{OAUTH}/accessToken", data=form) as resp:
        assert resp.status == 200
        return await resp.json()


async def test_sign_in_userinfo_refresh_and_introspection(sb):
    li = sb.world.linkedin
    bundle = await sign_in(sb)
    s = sb.session()
    async with s.get("https://api.linkedin.com/v2/userinfo", headers=headers(bundle["access_token"], None)) as resp:
        info = await resp.json()
        assert info["sub"] == li.member["sub"] and info["locale"]["language"] == "uz"
    form = {"grant_type": "refresh_token", "refresh_token": bundle["refresh_token"],
            "client_id": li.client_id, "client_secret": li.client_secret}
    async with s.post(f"{OAUTH}/accessToken", data=form) as resp:
        fresh = await resp.json()
        assert fresh["access_token"] != bundle["access_token"]
    for token, active in ((fresh["access_token"], True), ("nope", False)):
        form = {"token": token, "client_id": li.client_id, "client_secret": li.client_secret}
        async with s.post(f"{OAUTH}/introspectToken", data=form) as resp:
            assert (await resp.json())["active"] is active


async def test_code_is_single_use(sb):
    li = sb.world.linkedin
    link = f"{OAUTH}/authorization?" + urlencode(
        {"response_type": "code", "client_id": li.client_id, "redirect_uri": REDIRECT, "scope": "openid"})
    code = parse_qs(urlsplit(sb.consent(link)).query)["code"][0]
    form = {"grant_type": "authorization_code", "code": code, "client_id": li.client_id,
            "client_secret": li.client_secret, "redirect_uri": REDIRECT}
    statuses = []
    for _ in range(2):
        async with sb.session().post(f"{OAUTH}/accessToken", data=form) as resp:
            statuses.append(resp.status)
    assert statuses == [200, 400]


@pytest.mark.parametrize("version, token, status", [
    (None, "good", 426),
    ("200001", "good", 426),
    (VERSION, "bad", 401),
    (VERSION, "good", 200),
])
async def test_rest_needs_an_active_version_and_a_token(sb, version, token, status):
    bundle = await sign_in(sb)
    tok = bundle["access_token"] if token == "good" else "AQVnope"
    params = {"q": "author", "author": sb.world.linkedin.member_urn, "start": 0, "count": 10}
    async with sb.session().get(f"{REST}/posts", params=params, headers=headers(tok, version)) as resp:
        assert resp.status == status
        body = await resp.json()
        assert (body["status"] == status) if status != 200 else "elements" in body


async def test_post_create_list_delete(sb):
    token = (await sign_in(sb))["access_token"]
    urn = sb.world.linkedin.member_urn
    post = {"author": urn, "commentary": "Salom, dunyo!", "visibility": "PUBLIC",
            "distribution": {"feedDistribution": "MAIN_FEED", "targetEntities": [],
                             "thirdPartyDistributionChannels": []},
            "lifecycleState": "PUBLISHED", "isReshareDisabledByAuthor": False}
    s = sb.session()
    async with s.post(f"{REST}/posts", json=post, headers=headers(token)) as resp:
        assert resp.status == 201
        post_id = resp.headers["x-restli-id"]
    params = {"q": "author", "author": urn, "start": 0, "count": 10}
    async with s.get(f"{REST}/posts", params=params, headers=headers(token)) as resp:
        assert [p["id"] for p in (await resp.json())["elements"]] == [post_id]
    other = {**params, "author": "urn:li:organization:5515715"}
    async with s.get(f"{REST}/posts", params=other, headers=headers(token)) as resp:
        assert resp.status == 403
    async with s.delete(f"{REST}/posts/" + quote(post_id, safe=""), headers=headers(token)) as resp:
        assert resp.status == 204
    assert sb.world.linkedin.posts == []


def test_versions_run_a_year_back():
    versions = active_versions(time.mktime((2026, 2, 15, 0, 0, 0, 0, 0, 0)))
    assert "202602" in versions and "202503" in versions and "202502" not in versions


@pytest.mark.parametrize("version, kept, strict, status", [
    ("202512", 12, True, 426),   # 2026-12 and the 11 months before it
    ("202601", 12, True, 200),
    ("202606", 6, True, 426),
    ("202512", 1, False, 200),   # switched off: any version
    ("", 12, False, 426),        # but never none at all
])
async def test_version_window_is_configurable_and_can_be_switched_off(sb, version, kept, strict, status):
    token = (await sign_in(sb))["access_token"]
    li = sb.world.linkedin
    li.clock = lambda: calendar.timegm((2026, 12, 9, 12, 0, 0))
    li.versions_kept, li.strict_versions = kept, strict
    params = {"q": "author", "author": li.member_urn}
    async with sb.session().get(f"{REST}/posts", params=params, headers=headers(token, version)) as resp:
        assert resp.status == status


async def test_a_spent_daily_member_quota_is_429_until_midnight_utc(sb):
    token = (await sign_in(sb))["access_token"]
    li = sb.world.linkedin
    now = [calendar.timegm((2026, 12, 9, 23, 59, 0))]
    li.clock, li.member_daily_quota = (lambda: now[0]), 2
    s = sb.session()

    async def userinfo() -> tuple[int, dict]:
        async with s.get("https://api.linkedin.com/v2/userinfo", headers=headers(token, None)) as resp:
            return resp.status, await resp.json()

    assert [(await userinfo())[0] for _ in range(2)] == [200, 200]
    status, body = await userinfo()
    assert status == 429 and body == {"serviceErrorCode": 101, "status": 429, "message":
                                      "Resource level throttle limit for calls to this resource is reached."}
    now[0] += 120  # past 00:00 UTC
    assert (await userinfo())[0] == 200
    li.member_daily_quota = None
    assert all([(await userinfo())[0] == 200 for _ in range(3)])


# ---- through the client ----

@pytest.fixture
async def member(sb):
    return (await sign_in(sb))["access_token"]


def client(sb: Sandbox, **kw) -> LinkedIn:
    return LinkedIn(client_id=sb.world.linkedin.client_id, session=sb.session(),
                    retry=RetryPolicy(attempts=1), **kw)


async def test_the_client_default_version_is_active_and_lists_posts_as_a_finder(sb, member):
    assert endpoints.DEFAULT_LINKEDIN_VERSION in active_versions()
    li = client(sb)
    me = await li.me(member)
    assert (await li.posts(member, me.id))["elements"] == []
    assert sb.world.linkedin.restli_methods == ["FINDER"]


@pytest.mark.parametrize("setting, kind, code", [
    ({"api_version": "202506"}, errors.ApiError, "NONEXISTENT_VERSION"),
    ({"quota": 1}, errors.RateLimitError, 101),
])
async def test_the_client_meets_the_sandbox_refusals(sb, member, setting, kind, code):
    sb.world.linkedin.member_daily_quota = setting.pop("quota", None)
    li = client(sb, **setting)
    await li.me(member)  # spends the one call of the quota
    with pytest.raises(errors.CorvaneError) as info:
        await li.posts(member, sb.world.linkedin.member_urn)
    assert (type(info.value), info.value.code) == (kind, code)


# ---- company pages ----

ADMIN_ORG, ANALYST_ORG = "urn:li:organization:2414183", "urn:li:organization:5515715"
ALL_SCOPES = "openid profile email w_member_social r_organization_social w_organization_social"


async def test_a_member_posts_lists_and_deletes_as_the_page_it_administers(sb):
    token = (await sign_in(sb, ALL_SCOPES))["access_token"]
    li = client(sb)
    assert await li.organizations(token) == [ADMIN_ORG]
    created = [(await li.create_post(token, ADMIN_ORG, f"Yangilik {n}"))["id"] for n in range(5)]
    await li.create_post(token, sb.world.linkedin.member["sub"], "mine")
    walked = [post["id"] async for post in li.iter_posts(token, ADMIN_ORG, page_size=2)]
    assert walked == created[::-1]  # newest first, the member's own post not among them
    assert sb.world.linkedin.restli_methods == ["FINDER"] * 4  # the ACLs, then pages of 2, 2 and 1
    await li.delete_post(token, created[0])
    assert len([p async for p in li.iter_posts(token, ADMIN_ORG)]) == 4


@pytest.mark.parametrize("scopes, author, operation", [
    ("openid w_member_social r_organization_social", ADMIN_ORG, "create"),  # no w_organization_social
    (ALL_SCOPES, ANALYST_ORG, "create"),                                   # no posting role there
    ("openid w_organization_social", ADMIN_ORG, "list"),                   # no r_organization_social
    (ALL_SCOPES, ANALYST_ORG, "list"),
    ("openid profile email w_member_social", None, "organizations"),
])
async def test_the_sandbox_refuses_a_page_without_scope_or_role(sb, scopes, author, operation):
    token = (await sign_in(sb, scopes))["access_token"]
    li = client(sb)
    calls = {"create": lambda: li.create_post(token, author, "x"),
             "list": lambda: li.posts(token, author), "organizations": lambda: li.organizations(token)}
    with pytest.raises(errors.PermissionError) as info:
        await calls[operation]()
    payload = info.value.payload
    assert (payload["status"], payload["code"], payload["serviceErrorCode"]) == (403, "ACCESS_DENIED", 100)
    assert sb.world.linkedin.posts == []


async def test_a_page_post_is_deleted_only_with_the_write_scope(sb):
    writer = (await sign_in(sb, ALL_SCOPES))["access_token"]
    reader = (await sign_in(sb, "openid r_organization_social"))["access_token"]
    li = client(sb)
    urn = (await li.create_post(writer, ADMIN_ORG, "x"))["id"]
    with pytest.raises(errors.PermissionError):
        await li.delete_post(reader, urn)
    assert (await li.delete_post(writer, urn))["deleted"] is True
