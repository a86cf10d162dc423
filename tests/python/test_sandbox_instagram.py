"""The sandbox's Instagram hosts, driven with the requests the Instagram client sends, in
both login modes."""
from __future__ import annotations

import hashlib
import hmac
from urllib.parse import parse_qs, urlencode, urlsplit

import pytest

from corvane.sandbox import Sandbox
from corvane.sandbox.world import IG_ACCOUNT, PAGE_STORE

IG = "https://graph.instagram.com"
FB = "https://graph.facebook.com/v23.0"
REDIRECT = "https://crm.example/ig/callback"


async def call(sb, method, url, token, secret=None, json=None, **query):
    """One request as the platform wants it: with the proof of `token` keyed with `secret` (by
    default the secret of the app the host belongs to; "" sends none)."""
    query["access_token"] = token
    if secret is None:
        secret = sb.world.instagram.app_secret if url.startswith(IG) else sb.app_secret
    if secret:
        query["appsecret_proof"] = hmac.new(secret.encode(), token.encode(), hashlib.sha256).hexdigest()
    async with sb.session().request(method, url, params=query, json=json) as resp:
        return resp.status, await resp.json()


async def ig_login(sb) -> str:
    w = sb.world.instagram
    link = "https://www.instagram.com/oauth/authorize?" + urlencode(
        {"client_id": w.app_id, "redirect_uri": REDIRECT, "response_type": "code",
         "scope": "instagram_business_basic", "state": "x"})
    back = urlsplit(sb.consent(link))
    code = parse_qs(back.query)["code"][0]
    s = sb.session()
    async with s.get("https://api.instagram.com/oauth/access_token") as resp:
        assert resp.status == 400  # the token endpoint wants a POST with a form
    form = {"client_id": w.app_id, "client_secret": w.app_secret, "grant_type": "authorization_code",
            "redirect_uri": REDIRECT, "code": code}
    async with s.post("https://api.instagram.com/oauth/access_token", data=form) as resp:
        short = (await resp.json())["access_token"]
    status, long = await call(sb, "GET", f"{IG}/access_token", short, grant_type="ig_exchange_token",
                              client_secret=w.app_secret)
    assert status == 200
    status, fresh = await call(sb, "GET", f"{IG}/refresh_access_token", long["access_token"],
                               grant_type="ig_refresh_token")
    assert status == 200
    return str(fresh["access_token"])


async def test_instagram_login_profile_media_and_a_reel_that_takes_three_polls(sb):
    token = await ig_login(sb)
    secret = sb.world.instagram.app_secret
    status, me = await call(sb, "GET", f"{IG}/v23.0/me", token, secret, fields="id,username,followers_count")
    assert status == 200 and me["id"] == IG_ACCOUNT and me["followers_count"]
    status, media = await call(sb, "GET", f"{IG}/v23.0/me/media", token, secret, fields="id,media_type", limit=2)
    assert len(media["data"]) == 2 and "next" in media["paging"]

    status, container = await call(sb, "POST", f"{IG}/v23.0/{IG_ACCOUNT}/media", token, secret,
                                   video_url="https://cdn.example/reel.mp4", media_type="REELS", caption="Yangi!")
    cid = container["id"]
    polls = []
    for _ in range(3):
        polls.append((await call(sb, "GET", f"{IG}/v23.0/{cid}", token, secret, fields="status_code,status"))[1]["status_code"])
    assert polls == ["IN_PROGRESS", "IN_PROGRESS", "FINISHED"]
    status, published = await call(sb, "POST", f"{IG}/v23.0/{IG_ACCOUNT}/media_publish", token, secret,
                                   creation_id=cid)
    assert status == 200
    status, reel = await call(sb, "GET", f"{IG}/v23.0/{published['id']}", token, secret,
                              fields="id,media_type,media_product_type")
    assert reel["media_product_type"] == "REELS"
    status, insights = await call(sb, "GET", f"{IG}/v23.0/{published['id']}/insights", token, secret,
                                  metric="reach,views")
    assert [i["name"] for i in insights["data"]] == ["reach", "views"]


async def test_publishing_too_early_is_refused(sb):
    token = await ig_login(sb)
    _, container = await call(sb, "POST", f"{IG}/v23.0/me/media", token,
                              video_url="https://cdn.example/v.mp4", media_type="VIDEO")
    status, body = await call(sb, "POST", f"{IG}/v23.0/me/media_publish", token, creation_id=container["id"])
    assert status == 400 and body["error"]["code"] == 9007


async def test_comments_and_direct_messages(sb):
    token = await ig_login(sb)
    media_id = next(iter(sb.world.instagram.media))
    _, comments = await call(sb, "GET", f"{IG}/v23.0/{media_id}/comments", token, fields="id,text,from")
    first = comments["data"][0]["id"]
    assert (await call(sb, "POST", f"{IG}/v23.0/{first}/replies", token, message="Rahmat!"))[0] == 200
    assert (await call(sb, "POST", f"{IG}/v23.0/{first}", token, hide="true"))[0] == 200
    assert sb.world.instagram.comments[first]["hidden"] is True
    assert (await call(sb, "DELETE", f"{IG}/v23.0/{first}", token))[0] == 200

    _, convs = await call(sb, "GET", f"{IG}/v23.0/me/conversations", token, fields="id,participants", limit=10)
    people = [p["id"] for c in convs["data"] for p in c["participants"]["data"] if p["id"] != IG_ACCOUNT]
    looked_up = [(await call(sb, "GET", f"{IG}/v23.0/{igsid}", token, fields="id,name"))[0] for igsid in people]
    assert sorted(looked_up) == [200, 200, 400]  # one customer's profile is not readable
    status, sent = await call(sb, "POST", f"{IG}/v23.0/me/messages", token,
                              json={"recipient": {"id": people[0]}, "message": {"text": "Salom!"}})
    assert status == 200 and sent["recipient_id"] == people[0]
    conv = convs["data"][0]["id"]
    _, messages = await call(sb, "GET", f"{IG}/v23.0/{conv}/messages", token, fields="id,message")
    assert messages["data"][0]["message"] == "Salom!"


async def test_follower_insights_and_demographics(sb):
    token = await ig_login(sb)
    _, day = await call(sb, "GET", f"{IG}/v23.0/me/insights", token, metric="reach,profile_views",
                        period="day", metric_type="total_value")
    assert [i["total_value"]["value"] for i in day["data"]] == [100, 107]
    for breakdown in ("age,gender", "city", "country"):
        status, demo = await call(sb, "GET", f"{IG}/v23.0/me/insights", token, metric="follower_demographics",
                                  period="lifetime", metric_type="total_value", breakdown=breakdown,
                                  timeframe="this_month")
        assert status == 200 and demo["data"][0]["total_value"]["breakdowns"][0]["results"]
    sb.world.instagram.followers = 42
    status, body = await call(sb, "GET", f"{IG}/v23.0/me/insights", token, metric="follower_demographics",
                              breakdown="city")
    assert status == 400 and body["error"]["code"] == 10


async def test_facebook_login_mode_reaches_the_account_through_the_page(sb):
    from corvane.facebook import Facebook

    fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
    code = parse_qs(urlsplit(sb.consent(fb.login_url(redirect_uri=REDIRECT))).query)["code"][0]
    user = (await fb.exchange_code(code, redirect_uri=REDIRECT)).access_token
    page = next(p for p in await fb.pages(user) if p.id == PAGE_STORE)
    ig = page.instagram_business_account["id"]
    status, profile = await call(sb, "GET", f"{FB}/{ig}", page.access_token, fields="id,username")
    assert status == 200 and profile["username"]
    status, convs = await call(sb, "GET", f"{FB}/{PAGE_STORE}/conversations", page.access_token,
                               platform="instagram", fields="id,participants")
    assert status == 200 and len(convs["data"]) == 3
    # The account and its inbox take the Page's token; a user's is refused, as the platform does.
    for path in (ig, f"{PAGE_STORE}/conversations"):
        status, body = await call(sb, "GET", f"{FB}/{path}", user, platform="instagram")
        assert (status, body["error"]["code"]) == (400, 190), path
        assert body["error"]["message"] == "(#190) This method must be called with a Page Access Token"
    # The Graph API host wants the Facebook app's proof, as for every Facebook token.
    status, _ = await call(sb, "GET", f"{FB}/{ig}", user, "wrong-secret")
    assert status == 400
