"""Facebook client: construction, from_env, signing, login link, code exchange, identity, Pages
and webhook subscriptions, against the loopback fake server through a host-supplied session."""
import functools
from urllib.parse import parse_qsl, urlsplit

import pytest
from conftest import Reply
import signing

from corvane import endpoints, errors, facebook, http
from corvane.facebook import DEFAULT_PAGE_WEBHOOK_FIELDS, Facebook

SECRET = "app-secret-9"
APP = "1234"


proof = functools.partial(signing.proof, secret=SECRET)
signed = functools.partial(signing.signed, secret=SECRET)


@pytest.fixture
def fb(graph_host, session):
    return Facebook(app_id=APP, app_secret=SECRET, session=session,
                    retry=http.RetryPolicy(attempts=1))


# ---- construction ----

@pytest.mark.parametrize("app_id, app_secret", [("", SECRET), (APP, ""), (None, SECRET), ("", "")])
def test_missing_credentials_raise_configuration_error(app_id, app_secret):
    with pytest.raises(errors.ConfigurationError) as info:
        Facebook(app_id=app_id, app_secret=app_secret)
    assert str(info.value) == "Facebook uchun `app_id` va `app_secret` majburiy"


def test_construction_is_named_only_and_hands_options_to_base_client():
    with pytest.raises(TypeError):
        Facebook(APP, SECRET)  # type: ignore[misc]
    with pytest.raises(TypeError):
        Facebook(app_id=APP, app_secret=SECRET, colour="red")  # unknown BaseClient option
    client = Facebook(app_id=APP, app_secret=SECRET, timeout=5, user_agent="crm/1",
                      graph_version="v24.0", config_id="cfg", scopes=("email", "pages_show_list"))
    assert client.timeout.total == 5 and client.user_agent == "crm/1"
    assert (client.provider, client.config_id, client.scopes) == ("facebook", "cfg", ["email", "pages_show_list"])
    assert client.graph.me().endswith("/v24.0/me")
    assert repr(client) == "Facebook(app_id='1234', graph_version='v24.0')"
    assert Facebook(app_id=APP, app_secret=SECRET).scopes == []


@pytest.mark.parametrize("scopes", ["email,pages_show_list", ["email", 3]])
def test_scopes_must_be_a_list_of_text(scopes):
    with pytest.raises(TypeError, match="scopes"):
        Facebook(app_id=APP, app_secret=SECRET, scopes=scopes)


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"FACEBOOK_APP_ID": "7", "FACEBOOK_APP_SECRET": "s", "FACEBOOK_CONFIG_ID": "",
          "META_GRAPH_VERSION": "v22.0"}, ("7", None, "v22.0")),
        ({"FACEBOOK_APP_ID": "7", "FACEBOOK_APP_SECRET": "s", "FACEBOOK_CONFIG_ID": "c9"},
         ("7", "c9", endpoints.DEFAULT_GRAPH_VERSION)),
    ],
)
def test_from_env(monkeypatch, env, expected):
    for name in ("FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET", "FACEBOOK_CONFIG_ID", "META_GRAPH_VERSION"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    client = Facebook.from_env(user_agent="env/1")
    assert (client.app_id, client.config_id, client.graph.version) == expected
    assert client.app_secret == "s" and client.user_agent == "env/1"
    with pytest.raises(TypeError, match="app_id"):
        Facebook.from_env(app_id="again")
    monkeypatch.delenv("FACEBOOK_APP_SECRET")
    with pytest.raises(errors.ConfigurationError):
        Facebook.from_env()


# ---- signing ----

def test_signed_adds_credentials_after_the_callers_keys_and_leaves_them_alone():
    client = Facebook(app_id=APP, app_secret=SECRET)
    params = {"fields": "id", "appsecret_proof": "stale", "limit": 5}
    out = client._signed("tok", params)
    assert list(out.items()) == [("fields", "id"), ("limit", 5), ("access_token", "tok"),
                                 ("appsecret_proof", proof("tok"))]
    assert params == {"fields": "id", "appsecret_proof": "stale", "limit": 5}
    for token in (None, ""):
        plain = client._signed(token, params)
        assert plain == params and plain is not params
    assert client._signed(None) == {}


async def test_helpers_send_one_signed_request_each(fb, fake_server):
    url = fb.graph.node("42")
    assert await fb._get(url, "tok", fields="a,b") == {}
    assert await fb._post(url, "tok", message="hi") == {}
    assert await fb._delete(url, None) == {}
    got = [(r.method, r.path, r.query, r.body) for r in fake_server.requests]
    assert got == [
        ("GET", "/v23.0/42", signed("tok", ("fields", "a,b")), b""),
        ("POST", "/v23.0/42", signed("tok", ("message", "hi")), b""),  # values in the query
        ("DELETE", "/v23.0/42", [], b""),
    ]


@pytest.mark.parametrize("helper, call", [
    ("_get", lambda fb: fb.lead("1", "t")),
    ("_post", lambda fb: fb.hide_comment("1", "t")),
    ("_delete", lambda fb: fb.delete_post("1", "t")),
    ("_list", lambda fb: fb.lead_forms("1", "t")),
    ("_signed", lambda fb: fb.lead_forms("1", "t")),
    ("_signed", lambda fb: fb.lead("1", "t")),
])
@pytest.mark.parametrize("where", ["subclass", "instance"])
async def test_a_replaced_request_helper_is_the_one_that_runs(graph_host, session, helper, call, where):
    # Operations skip the Python call of the library's own helpers, never a host's replacement.
    calls = []
    if where == "subclass":
        def spy(self, *args, **kwargs):
            calls.append(helper)
            return getattr(super(Sub, self), helper)(*args, **kwargs)
        Sub = type("Sub", (Facebook,), {helper: spy})
        fb = Sub(app_id=APP, app_secret=SECRET, session=session)
    else:
        fb = Facebook(app_id=APP, app_secret=SECRET, session=session)
        own = getattr(fb, helper)
        setattr(fb, helper, lambda *args, **kwargs: calls.append(helper) or own(*args, **kwargs))
    graph_host.reply(json={"data": [], "id": "1", "success": True})
    await call(fb)
    assert calls == [helper]
    assert dict(graph_host.last.query)["appsecret_proof"] == proof("t")


# ---- login link ----

def query_of(link):
    parts = urlsplit(link)
    return parts.path, parse_qsl(parts.query, keep_blank_values=True)


HEAD = [("client_id", APP), ("redirect_uri", "https://crm.example/cb?x=1"), ("response_type", "code")]


@pytest.mark.parametrize(
    "client_config, client_scopes, kwargs, tail",
    [
        (None, ["email", "ads_read"], {}, [("scope", "email,ads_read")]),
        (None, None, {}, [("scope", "")]),
        (None, ["email"], {"scopes": ["leads_retrieval", "pages_show_list"]},
         [("scope", "leads_retrieval,pages_show_list")]),
        (None, ["email"], {"scopes": []}, [("scope", "email")]),
        (None, ["email"], {"config_id": "arg-cfg", "state": "st"}, [("state", "st"), ("config_id", "arg-cfg")]),
        ("client-cfg", ["email"], {"state": ""}, [("config_id", "client-cfg")]),
        ("client-cfg", None, {"config_id": "", "scopes": ["email"]}, [("config_id", "client-cfg")]),
        ("client-cfg", None, {"config_id": "arg-cfg"}, [("config_id", "arg-cfg")]),
    ],
)
def test_login_url(client_config, client_scopes, kwargs, tail):
    client = Facebook(app_id=APP, app_secret=SECRET, config_id=client_config, scopes=client_scopes)
    link = client.login_url(redirect_uri="https://crm.example/cb?x=1", **kwargs)
    assert link.startswith("https://") and "%3A%2F%2Fcrm.example%2Fcb%3Fx%3D1" in link
    assert query_of(link) == ("/v23.0/dialog/oauth", HEAD + tail)
    assert SECRET not in link


def test_login_url_arguments_are_named_only():
    client = Facebook(app_id=APP, app_secret=SECRET)
    with pytest.raises(TypeError):
        client.login_url("https://crm.example/cb")  # type: ignore[misc]
    with pytest.raises(TypeError, match="redirect_uri"):
        client.login_url()  # type: ignore[call-arg]


# ---- code exchange ----

async def test_exchange_code_two_steps_and_merge(fb, fake_server):
    fake_server.reply(json={"access_token": "short", "token_type": "bearer", "expires_in": 3600,
                            "only_short": True})
    fake_server.reply(json={"access_token": "long", "expires_in": 5183944})
    bundle = await fb.exchange_code("the-code", redirect_uri="https://crm.example/cb")
    first, second = fake_server.requests
    assert (first.method, first.path, second.path) == ("GET", "/v23.0/oauth/access_token",
                                                        "/v23.0/oauth/access_token")
    assert first.query == [("client_id", APP), ("client_secret", SECRET),
                           ("redirect_uri", "https://crm.example/cb"), ("code", "the-code")]
    assert second.query == [("grant_type", "fb_exchange_token"), ("client_id", APP),
                            ("client_secret", SECRET), ("fb_exchange_token", "short")]
    assert bundle.access_token == "long"
    assert bundle.raw == {"access_token": "long", "token_type": "bearer", "expires_in": 5183944,
                          "only_short": True}


async def test_exchange_code_without_short_token_fails_before_a_second_request(fb, fake_server):
    answer = {"access_token": "", "error_hint": "none"}
    fake_server.reply(json=answer)
    with pytest.raises(errors.ApiError) as info:
        await fb.exchange_code("c", redirect_uri="https://crm.example/cb")
    assert str(info.value) == "Facebook qisqa muddatli token bermadi"
    assert (info.value.provider, info.value.payload) == ("facebook", answer)
    assert len(fake_server.requests) == 1


async def test_exchange_code_keeps_the_short_token_when_the_long_answer_has_none(fb, fake_server):
    fake_server.reply(json={"access_token": "short"})
    fake_server.reply(json={"note": "no long token"})
    bundle = await fb.exchange_code("c", redirect_uri="https://crm.example/cb")
    assert bundle.access_token == "short" and bundle.raw["note"] == "no long token"


# ---- granted scopes, revoke, me ----

@pytest.mark.parametrize(
    "answer, scopes",
    [({"data": {"scopes": ["email", "leads_retrieval"]}}, ["email", "leads_retrieval"]),
     ({"data": {}}, []), ({}, []), ({"data": {"scopes": None}}, [])],
)
async def test_granted_scopes(fb, fake_server, answer, scopes):
    fake_server.reply(json=answer)
    assert await fb.granted_scopes("user-tok") == scopes
    request = fake_server.last
    assert (request.path, request.query) == ("/v23.0/debug_token",
                                             [("input_token", "user-tok"), ("access_token", f"{APP}|{SECRET}"),
                                              ("appsecret_proof", proof(f"{APP}|{SECRET}"))])


@pytest.mark.parametrize("answer, result", [({"success": True}, True), ({"success": False}, False), ({}, False)])
async def test_revoke(fb, fake_server, answer, result):
    fake_server.reply(json=answer)
    assert await fb.revoke("tok") is result
    await fb.revoke("tok", user_id="99")
    assert [(r.method, r.path, r.query) for r in fake_server.requests] == [
        ("DELETE", "/v23.0/me/permissions", signed("tok")),
        ("DELETE", "/v23.0/99/permissions", signed("tok")),
    ]


@pytest.mark.parametrize(
    "answer, picture",
    [
        ({"id": 77, "name": "Ali Valiyev", "email": "ali@example.uz",
          "picture": {"data": {"url": "https://cdn.example/p.jpg"}}}, "https://cdn.example/p.jpg"),
        ({"id": "77", "name": "Ali Valiyev", "picture": {"other": 1}}, None),
        ({"id": "77", "name": "Ali Valiyev", "picture": {}}, None),
    ],
)
async def test_me(fb, fake_server, answer, picture):
    fake_server.reply(json=answer)
    profile = await fb.me("tok")
    assert fake_server.last.query == signed("tok", ("fields", endpoints.Fields.FB_USER))
    assert (profile.id, profile.platform, profile.username, profile.full_name) == (
        "77", "facebook", "Ali Valiyev", "Ali Valiyev")
    assert (profile.picture, profile.email, profile.raw) == (picture, answer.get("email"), answer)


async def test_me_without_id_is_an_api_error(fb, fake_server):
    fake_server.reply(json={"name": "x"})
    with pytest.raises(errors.ApiError):
        await fb.me("tok")


async def test_error_urls_never_carry_the_token_or_its_proof(fb, fake_server):
    fake_server.reply(status=400, json={"error": {"code": 190, "message": "expired"}})
    with pytest.raises(errors.AuthError) as info:
        await fb.me("secret-user-token")
    assert "secret-user-token" not in info.value.url and proof("secret-user-token") not in info.value.url


# ---- pages and subscriptions ----

def paged(fake_server, path, total, per_page):
    """Routes path to a list of `total` items served `per_page` at a time with next links."""

    def reply(request):
        start = int(request.params.get("after", 0))
        items = [{"id": str(i), "name": f"item {i}", "access_token": f"page-tok-{i}"}
                 for i in range(start, min(start + per_page, total))]
        body = {"data": items}
        if start + per_page < total:
            body["paging"] = {"next": fake_server.url(f"{path}?cursor=1&after={start + per_page}")}
        return Reply(json=body)

    fake_server.route(path, reply)


async def test_pages_asks_for_the_page_fields_and_stops_at_500(fb, fake_server):
    paged(fake_server, "/v23.0/me/accounts", total=620, per_page=100)
    pages = await fb.pages("user-tok")
    assert len(pages) == 500 and len(fake_server.requests) == 5
    assert (pages[0].id, pages[0].access_token, pages[-1].id) == ("0", "page-tok-0", "499")
    assert fake_server.requests[0].query == [("fields", facebook._PAGE_FIELDS),
                                             ("access_token", "user-tok"),
                                             ("appsecret_proof", proof("user-tok")), ("limit", "100")]
    # The link as given, with the caller's token (the link has none) and its proof.
    assert fake_server.requests[1].query == [("cursor", "1"), ("after", "100"), *signed("user-tok")]
    assert facebook._PAGE_FIELDS == endpoints.Fields.FB_PAGE + (
        ",instagram_business_account{id,username,name,profile_picture_url,followers_count,"
        "follows_count,media_count,biography,website}")


async def test_pages_maps_the_linked_instagram_account(fb, fake_server):
    item = {"id": "10", "name": "Shop", "access_token": "pt",
            "instagram_business_account": {"id": "17841", "username": "shop"}}
    fake_server.reply(json={"data": [item]})
    [page] = await fb.pages("user-tok")
    assert (page.id, page.name, page.access_token) == ("10", "Shop", "pt")
    assert page.instagram_business_account == {"id": "17841", "username": "shop"}
    assert "pt" not in repr(page)


@pytest.mark.parametrize(
    "args, sent",
    [((), ",".join(DEFAULT_PAGE_WEBHOOK_FIELDS)), ((None,), ",".join(DEFAULT_PAGE_WEBHOOK_FIELDS)),
     (([],), ",".join(DEFAULT_PAGE_WEBHOOK_FIELDS)), ((["leadgen"],), "leadgen"),
     ((["feed", "leadgen"],), "feed,leadgen")],
)
async def test_subscribe_page(fb, fake_server, args, sent):
    fake_server.reply(json={"success": True})
    assert await fb.subscribe_page("10", "pt", *args) is True
    request = fake_server.last
    assert (request.method, request.path, request.body) == ("POST", "/v23.0/10/subscribed_apps", b"")
    assert request.query == signed("pt", ("subscribed_fields", sent))


def test_default_webhook_fields():
    assert DEFAULT_PAGE_WEBHOOK_FIELDS == ("leadgen", "leadgen_update", "feed", "messages",
                                           "messaging_postbacks", "mention")
    assert facebook.__all__ == ("Facebook", "DEFAULT_PAGE_WEBHOOK_FIELDS")


@pytest.mark.parametrize(
    "answer, expected",
    [({"data": [{"name": "app", "subscribed_fields": ["leadgen"]}], "paging": {"next": "http://x/next"}},
      [{"name": "app", "subscribed_fields": ["leadgen"]}]),
     ({"data": []}, []), ({}, [])],
)
async def test_subscriptions_is_one_request(fb, fake_server, answer, expected):
    fake_server.reply(json=answer)
    assert await fb.subscriptions("10", "pt") == expected
    assert [(r.method, r.path, r.query) for r in fake_server.requests] == [
        ("GET", "/v23.0/10/subscribed_apps", signed("pt"))]


@pytest.mark.parametrize("answer, result", [({"success": True}, True), ({"success": 0}, False), (None, False)])
async def test_unsubscribe_page(fb, fake_server, answer, result):
    fake_server.reply(json=answer)
    assert await fb.unsubscribe_page("10", "pt") is result
    assert (fake_server.last.method, fake_server.last.path) == ("DELETE", "/v23.0/10/subscribed_apps")


@pytest.mark.parametrize("bad", ["", "10/../me", "10?fields=access_token", "..", "10#x", "a b"])
async def test_ids_that_would_change_the_url_are_refused_before_sending(fb, fake_server, bad):
    with pytest.raises(ValueError, match="page_id"):
        await fb.subscribe_page(bad, "pt")
    with pytest.raises(TypeError, match="page_id"):
        await fb.subscriptions(10, "pt")  # type: ignore[arg-type]
    assert fake_server.requests == []


# ---- paging links are signed ----

async def _walk_posts(fb):
    return [item async for item in fb.iter_posts("10", "page-tok")]


@pytest.mark.parametrize("walk", [
    lambda fb: fb.posts("10", "page-tok", limit=10), _walk_posts,
    lambda fb: fb.paginate(fb.graph.url("10/published_posts"), params=fb._signed("page-tok")),
])
@pytest.mark.parametrize("link, sent", [
    # The link's own token is proven; a stale proof is replaced where it stood; blank members,
    # escapes and order stay as the platform wrote them.
    ("access_token=B%7Cx&fields=&appsecret_proof=stale&after=Q%3D%3D&&limit=2",
     "access_token=B%7Cx&fields=&appsecret_proof={B|x}&after=Q%3D%3D&&limit=2"),
    # A link without a token goes out with the caller's.
    ("after=Q&limit=2", "after=Q&limit=2&access_token=page-tok&appsecret_proof={page-tok}"),
])
async def test_every_page_of_a_list_is_signed(fb, fake_server, walk, link, sent):
    fake_server.reply(json={"data": [{"id": "1"}], "paging": {"next": fake_server.url(
        f"/v23.0/10/published_posts?{link}")}})
    fake_server.reply(json={"data": [{"id": "2"}]})
    await walk(fb)
    expected = sent.replace("{B|x}", proof("B|x")).replace("{page-tok}", proof("page-tok"))
    assert fake_server.requests[1].raw_query == expected
