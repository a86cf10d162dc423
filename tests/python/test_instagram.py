"""Instagram client: construction in both modes, signing, the login flow, profile, media and
publishing, against the loopback fake server through a host-supplied session."""
import functools
import logging

import pytest
from conftest import SAMPLES_DIR, Reply
import signing

from corvane import endpoints, errors, http, instagram
from corvane.instagram import Instagram

SECRET = "ig-secret-7"
DEFAULT_SCOPES = [
    "instagram_business_basic",
    "instagram_business_manage_messages",
    "instagram_business_manage_comments",
    "instagram_business_content_publish",
    "instagram_business_manage_insights",
]


proof = functools.partial(signing.proof, secret=SECRET)
signed = functools.partial(signing.signed, secret=SECRET)


def client(session, **kwargs):
    kwargs.setdefault("app_secret", SECRET)
    return Instagram(session=session, retry=http.RetryPolicy(attempts=1), **kwargs)


@pytest.fixture
def ig(hosts, session):
    return client(session, app_id="555")


@pytest.fixture
def fb_ig(hosts, session):
    return Instagram.via_facebook(app_secret=SECRET, session=session,
                                  retry=http.RetryPolicy(attempts=1))


# ---- construction ----

def test_only_public_name_and_constants():
    assert instagram.__all__ == ("Instagram",)
    assert (instagram._PUBLISH_ATTEMPTS, instagram._PUBLISH_DELAY) == (30, 2.0)
    assert instagram._PROFILE_CONCURRENCY == 8
    assert instagram._DEMOGRAPHIC_BREAKDOWNS == ("age,gender", "city", "country")
    assert Instagram.provider == "instagram"


@pytest.mark.parametrize("scopes", [None, [], ()])
def test_default_scopes_fresh_per_client(scopes):
    a, b = Instagram(scopes=scopes), Instagram(scopes=scopes)
    assert a.scopes == DEFAULT_SCOPES
    a.scopes.append("x")
    assert b.scopes == DEFAULT_SCOPES


def test_modes_pick_the_host():
    ig = Instagram(app_id="1", graph_version="v21.0", scopes=["a"])
    fb = Instagram.via_facebook(app_secret="s")
    assert (ig.via_facebook, type(ig.graph), ig.graph.version, ig.scopes) == (
        False, endpoints.InstagramGraph, "v21.0", ["a"])
    assert (fb.via_facebook, type(fb.graph), fb.app_id, fb.app_secret) == (
        True, endpoints.Graph, "", "s")
    # The class attribute stays the constructor.
    assert isinstance(Instagram.via_facebook(app_secret="t"), Instagram)


@pytest.mark.parametrize("call", [
    lambda: Instagram.via_facebook(app_secret="s", via_facebook=False),
    lambda: Instagram.via_facebook(),
    lambda: Instagram.from_env(app_id="x"),
    lambda: Instagram("positional"),
    lambda: Instagram(app_id=5),
])
def test_wrong_arguments(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("env, expected", [
    ({}, ("", "", "v23.0")),
    ({"INSTAGRAM_APP_ID": "9", "INSTAGRAM_APP_SECRET": "", "META_GRAPH_VERSION": "v20.0"},
     ("9", "", "v20.0")),
])
def test_from_env(monkeypatch, env, expected):
    for name in ("INSTAGRAM_APP_ID", "INSTAGRAM_APP_SECRET", "META_GRAPH_VERSION"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    made = Instagram.from_env(timeout=5)
    assert (made.app_id, made.app_secret, made.graph.version) == expected
    assert made.via_facebook is False
    if not expected[0]:
        with pytest.raises(errors.ConfigurationError, match="Instagram login uchun `app_id` majburiy"):
            made.login_url(redirect_uri="https://x")
    assert Instagram.from_env(via_facebook=True).via_facebook is True


def test_repr_keeps_the_secret_out():
    text = repr(Instagram(app_id="1", app_secret="SENTINEL-SECRET"))
    assert "SENTINEL-SECRET" not in text and "Instagram(app_id='1'" in text


# ---- signing and the node ----

@pytest.mark.parametrize("secret, token, expected", [
    (SECRET, None, [("a", "1"), ("access_token", "x")]),
    (SECRET, "", [("a", "1"), ("access_token", "x")]),
    ("", "tok", [("a", "1"), ("access_token", "tok")]),
    (SECRET, "tok", [("a", "1"), ("access_token", "tok"), ("appsecret_proof", proof("tok"))]),
])
def test_signed(secret, token, expected):
    params = {"access_token": "x", "a": "1"}
    out = Instagram(app_secret=secret)._signed(token, params)
    assert sorted(out.items()) == sorted(expected)
    if token:
        assert list(out)[-len(expected) + 1:] == [k for k, _ in expected[1:]]
    assert params == {"access_token": "x", "a": "1"}


@pytest.mark.parametrize("value, ig_mode, fb_mode", [
    (None, "me", errors.ConfigurationError),
    ("", "me", errors.ConfigurationError),
    ("178414", "178414", "178414"),
    ("../me", ValueError, ValueError),
])
def test_node(value, ig_mode, fb_mode):
    for made, expected in ((Instagram(), ig_mode), (Instagram.via_facebook(app_secret="s"), fb_mode)):
        if isinstance(expected, str):
            assert made._node(value) == expected
        else:
            with pytest.raises(expected):
                made._node(value)


# ---- login ----

@pytest.mark.parametrize("kwargs, query", [
    ({"redirect_uri": "https://app.example/cb/ig", "state": ""},
     "client_id=555&redirect_uri=https%3A%2F%2Fapp.example%2Fcb%2Fig&response_type=code"
     "&scope=" + "%2C".join(DEFAULT_SCOPES)),
    ({"redirect_uri": "x y", "state": "s/t é", "scopes": ["a", "b"]},
     "client_id=555&redirect_uri=x%20y&response_type=code&scope=a%2Cb&state=s%2Ft%20%C3%A9"),
])
def test_login_url_encoding(ig, kwargs, query):
    assert ig.login_url(**kwargs) == endpoints.INSTAGRAM_DIALOG + "?" + query


def test_login_url_needs_app_id(fb_ig):
    with pytest.raises(errors.ConfigurationError, match="Instagram login uchun `app_id` majburiy"):
        fb_ig.login_url(redirect_uri="https://x")


@pytest.mark.parametrize("mode", ["ig", "fb"])
async def test_exchange_code(hosts, session, mode):
    made = client(session, app_id="555", via_facebook=(mode == "fb"))
    hosts.reply(json={"access_token": "short", "user_id": 42, "permissions": ["a"]})
    hosts.reply(json={"access_token": "long", "token_type": "bearer", "expires_in": 5183944})
    bundle = await made.exchange_code("C0DE", redirect_uri="https://app/cb")
    first, second = hosts.requests
    assert (first.method, first.path, first.raw_query) == ("POST", "/oauth/access_token", "")
    assert first.body.decode() == ("client_id=555&client_secret=ig-secret-7&grant_type=authorization_code"
                                   "&redirect_uri=https%3A%2F%2Fapp%2Fcb&code=C0DE")
    # The long-lived exchange is always on the Instagram Graph host, without a proof.
    assert (second.method, second.path) == ("GET", "/ig/access_token")
    assert second.query == [("grant_type", "ig_exchange_token"), ("client_secret", SECRET),
                            ("access_token", "short"), ("appsecret_proof", proof("short"))]
    assert bundle.access_token == "long"
    assert bundle.raw["user_id"] == 42 and bundle.raw["token_type"] == "bearer"


@pytest.mark.parametrize("answer", [{}, {"access_token": ""}, {"error_type": "x"}])
async def test_exchange_without_short_token(ig, hosts, answer):
    hosts.reply(json=answer)
    with pytest.raises(errors.ApiError, match="Instagram qisqa muddatli token bermadi") as caught:
        await ig.exchange_code("c", redirect_uri="r")
    assert caught.value.payload == answer and caught.value.provider == "instagram"
    assert len(hosts.requests) == 1


async def test_refresh_token(ig, hosts):
    hosts.reply(json={"access_token": "new", "expires_in": 5183944})
    bundle = await ig.refresh_token("old")
    assert (hosts.last.path, hosts.last.query) == (
        "/ig/refresh_access_token", [("grant_type", "ig_refresh_token"), *signed("old")])
    assert bundle.access_token == "new"
    hosts.reply(json={"expires_in": 1})
    with pytest.raises(errors.ApiError, match="Token yangilanmadi"):
        await ig.refresh_token("old")


async def test_secrets_stay_out_of_errors_and_logs(hosts, session, caplog):
    made = client(session, app_id="555", app_secret="SENTINEL-SECRET")
    caplog.set_level(logging.DEBUG)
    hosts.reply(json={"access_token": "SENTINEL-SHORT"})
    hosts.reply(status=400, json={"error": {"message": "Invalid", "type": "OAuthException", "code": 100}})
    with pytest.raises(errors.ApiError) as caught:
        await made.exchange_code("SENTINEL-CODE", redirect_uri="r")
    hosts.reply(status=400, json={"error": {"message": "Bad", "code": 100}})
    with pytest.raises(errors.ApiError) as second:
        await made.profile("SENTINEL-TOKEN")
    for error in (caught.value, second.value):
        seen = " ".join([str(error), repr(error), str(error.url), str(error.payload), caplog.text])
        for secret in ("SENTINEL-SECRET", "SENTINEL-SHORT", "SENTINEL-CODE", "SENTINEL-TOKEN",
                       signing.proof("SENTINEL-TOKEN", "SENTINEL-SECRET")):
            assert secret not in seen


# ---- profile and media ----

async def test_profile_per_mode(ig, fb_ig, hosts):
    hosts.reply(json={"id": 17841400, "username": "shop", "account_type": "BUSINESS",
                      "followers_count": 10})
    got = await ig.profile("tok")
    assert (hosts.last.path, hosts.last.query) == (
        "/ig/v23.0/me", signed("tok", ("fields", endpoints.Fields.IG_PROFILE)))
    assert (got.id, got.platform, got.username, got.account_type, got.followers_count) == (
        "17841400", "instagram", "shop", "BUSINESS", 10)
    assert got.bio is None and got.website is None and got.media_count is None

    hosts.reply(json={"id": "1784", "biography": "Salom", "website": "https://shop.uz"})
    got = await fb_ig.profile("page-tok", ig_user_id="1784")
    assert (hosts.last.path, hosts.last.query) == (
        "/fb/v23.0/1784", signed("page-tok", ("fields", endpoints.Fields.IG_PROFILE_FB)))
    assert (got.bio, got.website, got.account_type) == ("Salom", "https://shop.uz", None)
    assert "account_type" not in endpoints.Fields.IG_PROFILE_FB.split(",")
    assert not {"biography", "website"} & set(endpoints.Fields.IG_PROFILE.split(","))


async def test_profile_refusals(ig, fb_ig, hosts):
    with pytest.raises(errors.ConfigurationError, match="`ig_user_id` majburiy"):
        await fb_ig.profile("page-tok")
    assert hosts.requests == []
    hosts.reply(json={"username": "no-id"})
    with pytest.raises(errors.ApiError):
        await ig.profile("tok")
    # What the Graph API host answers when asked for a member it does not know.
    sample = SAMPLES_DIR / "errors" / "graph-100--springsocial-nonExistingFields.json"
    hosts.reply(status=400, body=sample.read_bytes(), content_type="application/json")
    with pytest.raises(errors.ApiError, match="nonexisting field"):
        await fb_ig.profile("page-tok", ig_user_id="1784")


async def test_media_list(ig, hosts):
    hosts.reply(json={"data": [{"id": str(i)} for i in range(3)]})
    items = await ig.media("tok", ig_user_id="99", limit=2)
    assert [m["id"] for m in items] == ["0", "1"]
    request = hosts.last
    assert request.path == "/ig/v23.0/99/media"
    assert request.query[:1] == [("fields", endpoints.Fields.IG_MEDIA)]


# ---- media_insights ----

@pytest.mark.parametrize("info, kind", [
    ({"media_product_type": "REELS", "media_type": "VIDEO"}, "REELS"),
    ({"media_product_type": "FEED", "media_type": "VIDEO"}, "VIDEO"),
    ({"media_product_type": "feed", "media_type": "carousel_album"}, "CAROUSEL_ALBUM"),
    ({"media_product_type": "story", "media_type": "IMAGE"}, "STORY"),
    ({"media_type": "IMAGE"}, "IMAGE"),
    ({}, None),
])
async def test_media_insights_metric_choice(ig, hosts, info, kind):
    hosts.reply(json={"id": "m1", **info})
    hosts.reply(json={"data": [{"name": "reach", "values": [{"value": 5}, {"value": 9}]},
                               {"name": "saved"}, {"name": "reach", "values": [{"value": 7}]}]})
    got = await ig.media_insights("m1", "tok")
    first, second = hosts.requests
    assert first.query[0] == ("fields", "id,media_type,media_product_type")
    expected = instagram._MEDIA_METRICS[kind] if kind else instagram._DEFAULT_METRICS
    assert (second.path, second.query[0]) == ("/ig/v23.0/m1/insights", ("metric", expected))
    assert got == {"reach": 7, "saved": None}


async def test_media_insights_refusal_is_empty(ig, hosts, caplog):
    caplog.set_level(logging.INFO, "corvane.instagram")
    hosts.reply(json={"id": "m1", "media_type": "IMAGE"})
    hosts.reply(status=400, json={"error": {"message": "(#10) Not enough viewers", "code": 10}})
    assert await ig.media_insights("m1", "tok") == {}
    assert "Media m1 uchun insight yo'q" in caplog.text
    hosts.reply(status=400, json={"error": {"message": "gone", "code": 100}})
    with pytest.raises(errors.ApiError):  # the first request is not guarded
        await ig.media_insights("m1", "tok")


# ---- publish ----

async def test_publish_image(ig, hosts, sleeps):
    hosts.reply(json={"id": "c1"})
    hosts.reply(json={"id": "m1"})
    got = await ig.publish("tok", caption="", image_url="https://cdn/x.jpg", is_reel=True)
    assert got == {"container_id": "c1", "media_id": "m1"}
    create, publish = hosts.requests
    assert (create.method, create.path, create.body) == ("POST", "/ig/v23.0/me/media", b"")
    assert create.query == signed("tok", ("image_url", "https://cdn/x.jpg"))
    assert (publish.path, publish.query) == ("/ig/v23.0/me/media_publish",
                                             signed("tok", ("creation_id", "c1")))
    assert sleeps == []


@pytest.mark.parametrize("is_reel", [False, True])
async def test_publish_video_finished_at_once(fb_ig, hosts, sleeps, is_reel):
    hosts.reply(json={"id": "c2"})
    hosts.reply(json={"status_code": "FINISHED"})
    hosts.reply(json={})
    got = await fb_ig.publish("pt", ig_user_id="77", caption="Yangi", image_url="https://i",
                              video_url="https://v.mp4", is_reel=is_reel)
    assert got == {"container_id": "c2", "media_id": None}
    create, status, publish = hosts.requests
    # The platform takes no "VIDEO" any more: every video is a reel.
    assert create.query[:3] == [("caption", "Yangi"), ("video_url", "https://v.mp4"),
                                ("media_type", "REELS")]
    assert (status.path, status.query[0]) == ("/fb/v23.0/c2", ("fields", "status_code,status"))
    assert publish.path == "/fb/v23.0/77/media_publish"
    assert sleeps == []


@pytest.mark.parametrize("status, message", [
    ({"status_code": "ERROR", "status": "Error: 2207026"}, "Video qayta ishlanmadi: Error: 2207026"),
    ({"status_code": "ERROR"}, "Video qayta ishlanmadi: None"),
])
async def test_publish_video_error(ig, hosts, sleeps, status, message):
    hosts.reply(json={"id": "c3"})
    hosts.reply(json={"status_code": "IN_PROGRESS"})
    hosts.reply(json=status)
    with pytest.raises(errors.ApiError) as caught:
        await ig.publish("tok", video_url="https://v")
    assert caught.value.message == message and caught.value.payload == status
    assert sleeps == [2.0] and len(hosts.requests) == 3


async def test_publish_video_times_out(ig, hosts, sleeps):
    hosts.reply(json={"id": "c4"})
    hosts.route("/ig/v23.0/c4", Reply(json={"status_code": "finished"}))  # exact comparison
    with pytest.raises(errors.ApiError, match=r"Video qayta ishlash vaqti tugadi \(60s\)") as caught:
        await ig.publish("tok", video_url="https://v")
    assert caught.value.payload is None
    assert len([r for r in hosts.requests if r.path == "/ig/v23.0/c4"]) == 30
    assert sleeps == [2.0] * 30
    assert not any(r.path.endswith("media_publish") for r in hosts.requests)


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, errors.ConfigurationError, "`image_url` yoki `video_url` dan biri kerak"),
    ({"image_url": "", "video_url": None}, errors.ConfigurationError, "dan biri kerak"),
])
async def test_publish_needs_a_link(ig, hosts, kwargs, error, message):
    with pytest.raises(error, match=message):
        await ig.publish("tok", **kwargs)
    assert hosts.requests == []


async def test_publish_without_container_id(ig, hosts):
    hosts.reply(json={"id": ""})
    with pytest.raises(errors.ApiError, match="Container yaratilmadi") as caught:
        await ig.publish("tok", image_url="https://i")
    assert caught.value.payload == {"id": ""} and len(hosts.requests) == 1
