"""LinkedIn client: construction, from_env, headers, LinkedIn's error bodies, the sign-in link,
the token calls and the OpenID profile, against a loopback server through a host session."""
import json
import traceback
from urllib.parse import parse_qsl, urlsplit

import pytest
from conftest import Reply
from linkedin_fakes import CLIENT_ID, CLIENT_SECRET, DATA_DIR, li, li_server, lower_headers  # noqa: F401

from corvane import endpoints, errors, http, linkedin
from corvane.linkedin import DEFAULT_SCOPES, LinkedIn

VERSION = endpoints.DEFAULT_LINKEDIN_VERSION


# ---- construction ----

def test_defaults_options_and_a_repr_without_the_secret():
    client = LinkedIn(client_id="id", client_secret="hidden-SENTINEL", timeout=5, user_agent="crm/1")
    assert (client.provider, client.client_id, client.client_secret) == ("linkedin", "id", "hidden-SENTINEL")
    assert client.api_version == VERSION and client.scopes == DEFAULT_SCOPES
    assert client.timeout.total == 5 and client.user_agent == "crm/1"
    assert repr(client) == f"LinkedIn(client_id='id', api_version='{VERSION}')"
    assert DEFAULT_SCOPES == ["openid", "profile", "email", "w_member_social"]
    assert linkedin.__all__ == ("LinkedIn",)
    bare = LinkedIn()
    assert (bare.client_id, bare.client_secret) == ("", "")
    bare.scopes.append("x")  # the client's list is its own
    assert DEFAULT_SCOPES == ["openid", "profile", "email", "w_member_social"]
    with pytest.raises(TypeError):
        LinkedIn("id", "secret")  # type: ignore[misc]


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"client_id": 7}, "client_id"),
        ({"client_secret": b"s"}, "client_secret"),
        ({"api_version": 202506}, "api_version"),
        ({"scopes": "openid profile"}, "scopes"),
        ({"scopes": ["openid", 3]}, "scopes"),
        ({"scopes": {"openid": 1}}, "scopes"),
        # Checked before the base runs: its own complaint (timeout) would come first otherwise.
        ({"client_id": None, "timeout": "slow"}, "client_id"),
    ],
)
def test_wrong_types_are_type_errors(kwargs, name):
    with pytest.raises(TypeError, match=name):
        LinkedIn(**kwargs)


class FalsyList(list):
    def __bool__(self):
        return False


@pytest.mark.parametrize(
    "scopes, expected",
    [
        (None, DEFAULT_SCOPES),
        ([], DEFAULT_SCOPES),
        (("openid",), ["openid"]),
        (FalsyList(["r_organization_social"]), ["r_organization_social"]),
    ],
)
def test_scopes_fall_back_to_the_defaults_only_when_empty(scopes, expected):
    assert LinkedIn(client_id="id", scopes=scopes).scopes == expected


@pytest.mark.parametrize(
    "env, expected",
    [
        ({}, ("", "", VERSION)),
        ({"LINKEDIN_CLIENT_ID": "7", "LINKEDIN_CLIENT_SECRET": "s", "LINKEDIN_API_VERSION": "202601"},
         ("7", "s", "202601")),
        ({"LINKEDIN_CLIENT_ID": "7", "LINKEDIN_API_VERSION": ""}, ("7", "", "")),
    ],
)
def test_from_env(monkeypatch, env, expected):
    for name in ("LINKEDIN_CLIENT_ID", "LINKEDIN_CLIENT_SECRET", "LINKEDIN_API_VERSION"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    client = LinkedIn.from_env(user_agent="env/1", scopes=["openid"])
    assert (client.client_id, client.client_secret, client.api_version) == expected
    assert client.user_agent == "env/1" and client.scopes == ["openid"]
    with pytest.raises(TypeError, match="client_secret"):
        LinkedIn.from_env(client_secret="again")


# ---- headers ----

@pytest.mark.parametrize(
    "token, extra, expected",
    [
        (None, None, {"X-Restli-Protocol-Version": "2.0.0", "LinkedIn-Version": "202601"}),
        ("", {}, {"X-Restli-Protocol-Version": "2.0.0", "LinkedIn-Version": "202601"}),
        ("tok", None, {"X-Restli-Protocol-Version": "2.0.0", "LinkedIn-Version": "202601",
                       "Authorization": "Bearer tok"}),
        ("tok", {"LinkedIn-Version": "202605", "X-Extra": "1"},
         {"X-Restli-Protocol-Version": "2.0.0", "LinkedIn-Version": "202605",
          "Authorization": "Bearer tok", "X-Extra": "1"}),
    ],
)
def test_headers(token, extra, expected):
    out = LinkedIn(api_version="202601")._headers(token, extra)
    assert list(out.items()) == list(expected.items())


# ---- LinkedIn's error bodies ----

@pytest.mark.parametrize(
    "status, body, kind, message, code",
    [
        (404, {"message": "Not found", "serviceErrorCode": 100, "status": 404}, errors.NotFoundError, "Not found", 100),
        (400, {"error": "invalid_request", "error_description": "A required parameter is missing"},
         errors.ApiError, "A required parameter is missing", None),
        (400, {"error": "invalid_grant"}, errors.ApiError, "invalid_grant", None),
        (400, {"message": "", "error": {"reason": "x"}}, errors.ApiError, "{'reason': 'x'}", None),
        (502, {"raw": "<html>Bad gateway</html>"}, errors.ApiError, "HTTP 502", None),
        (502, "upstream down", errors.ApiError, "HTTP 502", None),
        (500, None, errors.ApiError, "HTTP 500", None),
    ],
)
def test_parse_error(status, body, kind, message, code):
    error = LinkedIn()._parse_error(status, body)
    assert type(error) is kind
    assert (error.message, error.code, error.status, error.provider) == (message, code, status, "linkedin")
    assert error.payload is body and error.subcode is None and error.url is None


ERROR_FILES = sorted((DATA_DIR / "errors").glob("linkedin-*.json"))
KINDS = {401: errors.AuthError, 403: errors.PermissionError, 426: errors.ApiError, 429: errors.RateLimitError}


@pytest.mark.parametrize("path", ERROR_FILES, ids=lambda p: p.stem)
def test_real_linkedin_error_bodies(path):
    body = json.loads(path.read_text())
    status = int(path.stem.split("-")[1])
    error = LinkedIn()._parse_error(status, body)
    assert type(error) is KINDS[status]
    # The gateway's own refusals (426) carry only a text code.
    assert error.message == body["message"] and error.code == body.get("serviceErrorCode", body.get("code"))


async def test_a_retired_version_is_an_api_error_with_its_code_and_one_warning(li, li_server, caplog):
    body = json.loads((DATA_DIR / "errors" / "linkedin-426--issue-pipedream-13965.json").read_text())
    li_server.reply(426, body)
    with caplog.at_level("DEBUG"), pytest.raises(errors.ApiError) as info:
        await li.me("tok-SENTINEL")
    error = info.value
    assert (type(error), error.code) == (errors.ApiError, "NONEXISTENT_VERSION")
    assert error.message == "Requested version 20230901 is not active"
    assert error.url == li_server.url("/v2/userinfo") and len(li_server.requests) == 1
    [record] = [r for r in caplog.records if r.name == "corvane.linkedin"]
    text = record.getMessage()
    assert record.levelname == "WARNING" and VERSION in record.args
    assert "api_version=" in text and "LINKEDIN_API_VERSION" in text and "SENTINEL" not in text


# ---- sign-in link ----

@pytest.mark.parametrize(
    "client_scopes, kwargs, tail",
    [
        (None, {}, "scope=openid%20profile%20email%20w_member_social"),
        (None, {"state": ""}, "scope=openid%20profile%20email%20w_member_social"),
        (["openid"], {"scopes": []}, "scope=openid"),
        (["openid"], {"scopes": ["profile", "w_member_social"], "state": "a b/ü"},
         "scope=profile%20w_member_social&state=a%20b%2F%C3%BC"),
    ],
)
def test_login_url(li_server, client_scopes, kwargs, tail):
    client = LinkedIn(client_id="id~1", scopes=client_scopes)
    link = client.login_url("https://crm.example/cb", **kwargs)
    assert link == (f"{li_server.url('/oauth/v2/authorization')}?response_type=code&client_id=id~1"
                    f"&redirect_uri=https%3A%2F%2Fcrm.example%2Fcb&{tail}")


def test_login_url_refuses_a_client_without_id():
    with pytest.raises(errors.ConfigurationError) as info:
        LinkedIn(client_secret="s").login_url("https://crm.example/cb")
    assert str(info.value) == "LinkedIn uchun `client_id` majburiy"
    with pytest.raises(TypeError):
        LinkedIn(client_id="id").login_url("https://x", scopes="openid")


def test_person_urn():
    assert LinkedIn.person_urn("abc") == "urn:li:person:abc"
    with pytest.raises(TypeError):
        LinkedIn.person_urn(5)


# ---- token calls ----

FORM_TYPE = "application/x-www-form-urlencoded"


@pytest.mark.parametrize(
    "call, args, path, form",
    [
        ("exchange_code", ("the-code", "https://crm.example/cb"), "/oauth/v2/accessToken",
         [("grant_type", "authorization_code"), ("code", "the-code"), ("client_id", CLIENT_ID),
          ("client_secret", CLIENT_SECRET), ("redirect_uri", "https://crm.example/cb")]),
        ("refresh", ("the-refresh",), "/oauth/v2/accessToken",
         [("grant_type", "refresh_token"), ("refresh_token", "the-refresh"), ("client_id", CLIENT_ID),
          ("client_secret", CLIENT_SECRET)]),
        ("introspect", ("the-token",), "/oauth/v2/introspectToken",
         [("token", "the-token"), ("client_id", CLIENT_ID), ("client_secret", CLIENT_SECRET)]),
    ],
)
async def test_token_calls_send_their_form(li, li_server, call, args, path, form):
    answer = {"access_token": "new", "expires_in": 5184000, "refresh_token": "r", "active": True}
    li_server.reply(200, answer)
    result = await getattr(li, call)(*args)
    sent = li_server.last
    assert (sent.method, sent.path) == ("POST", path)
    assert parse_qsl(sent.body.decode(), keep_blank_values=True) == form
    headers = lower_headers(sent)
    assert headers["content-type"] == FORM_TYPE
    assert "authorization" not in headers and "linkedin-version" not in headers
    if call == "introspect":
        assert result == answer
    else:
        assert (result.access_token, result.expires_in, result.refresh_token) == ("new", 5184000, "r")


@pytest.mark.parametrize(
    "call, args, message",
    [("exchange_code", ("c", "https://x"), "LinkedIn token bermadi"), ("refresh", ("r",), "Token yangilanmadi")],
)
@pytest.mark.parametrize("answer", [{"access_token": "", "expires_in": 1}, {"access_token": 7}, {"error": "pending"},
                                    None])
async def test_an_answer_without_token_fails_with_the_whole_answer(li, li_server, call, args, message, answer):
    li_server.reply(200, answer)
    with pytest.raises(errors.ApiError) as info:
        await getattr(li, call)(*args)
    assert type(info.value) is errors.ApiError
    assert (info.value.message, info.value.provider, info.value.status) == (message, "linkedin", None)
    assert info.value.payload == answer


async def test_introspect_refuses_an_answer_that_is_not_an_object(li, li_server):
    li_server.reply(200, ["active"])
    with pytest.raises(errors.ApiError, match="introspect: LinkedIn's answer must be an object, not list"):
        await li.introspect("t")
    li_server.reply(200, body="")
    assert await li.introspect("t") is None


async def test_no_secret_in_a_failed_token_call(li, li_server):
    code = "code-SENTINEL"  # the client secret is one too
    li_server.reply(401, {"error": "invalid_client", "error_description": "Client authentication failed"})
    with pytest.raises(errors.AuthError) as info:
        await li.exchange_code(code, "https://crm.example/cb")
    error = info.value
    shown = " ".join([str(error), repr(error), error.url, "".join(traceback.format_exception(error))])
    assert "SENTINEL" not in shown
    assert error.url == li_server.url("/oauth/v2/accessToken")


# ---- profile ----

INFO = {"sub": "782bbtaQ", "name": "Ada Lovelace", "given_name": "Ada", "family_name": "Lovelace",
        "picture": "https://media.example/ada.jpg", "email": "ada@example.com", "email_verified": True}


@pytest.mark.parametrize(
    "locale, language",
    [
        ({"country": "US", "language": "en"}, "en"),
        ("en_US", "en"),
        ("en-US", "en"),  # LinkedIn's own sample
        ("zh_Hant-TW", "zh"),
        ("uz", "uz"),
        ({"country": "US"}, None),
        (None, None),
    ],
)
async def test_me_takes_the_language_from_the_locale(li, li_server, locale, language):
    info = dict(INFO, locale=locale) if locale is not None else dict(INFO)
    li_server.reply(200, info)
    profile = await li.me("tok")
    assert profile.raw == dict(info, language=language)
    assert (profile.id, profile.platform, profile.username, profile.full_name) == (
        "782bbtaQ", "linkedin", "ada@example.com", "Ada Lovelace")
    assert (profile.picture, profile.email) == ("https://media.example/ada.jpg", "ada@example.com")
    sent = li_server.last
    assert (sent.method, sent.path) == ("GET", "/v2/userinfo")
    headers = lower_headers(sent)
    assert headers["authorization"] == "Bearer tok" and headers["linkedin-version"] == VERSION
    assert headers["x-restli-protocol-version"] == "2.0.0"


@pytest.mark.parametrize(
    "info, username, full_name",
    [
        ({"sub": "s1", "name": "", "given_name": "Ada", "family_name": "Lovelace"}, "s1", "Ada Lovelace"),
        ({"sub": "s1", "family_name": "Lovelace"}, "s1", "Lovelace"),
        ({"sub": "s1", "given_name": "Ada", "family_name": ""}, "s1", "Ada"),
        ({"sub": "s1", "email": ""}, "s1", ""),
    ],
)
async def test_me_name_fallbacks(li, li_server, info, username, full_name):
    li_server.reply(200, info)
    profile = await li.me("tok")
    assert (profile.username, profile.full_name, profile.email, profile.picture) == (
        username, full_name, info.get("email"), None)


@pytest.mark.parametrize(
    "answer, complaint",
    [
        ({"name": "no sub"}, 'member id "sub" must be a non-empty str, not NoneType'),
        ({"sub": ""}, "sub"),
        ({"sub": 782}, "sub"),
        (None, "userinfo answer must be an object, not NoneType"),
        (["782bbtaQ"], "userinfo answer must be an object, not list"),
        ({"sub": "s1", "email": 5}, '"email" must be a str, not int'),
        ({"sub": "s1", "name": {"first": "Ada"}}, '"name" must be a str, not dict'),
        ({"sub": "s1", "locale": ["en", "US"]}, '"locale" must be'),
        ({"sub": "s1", "locale": {"language": 1}}, '"locale" must be'),
    ],
)
async def test_a_userinfo_answer_of_the_wrong_shape_is_an_api_error(li, li_server, answer, complaint):
    li_server.reply(200, answer)
    with pytest.raises(errors.ApiError) as info:
        await li.me("tok")
    error = info.value
    assert type(error) is errors.ApiError and str(error).startswith("me: ") and complaint in str(error)
    assert (error.provider, error.payload) == ("linkedin", answer)


async def test_me_checks_its_token_before_sending(li, li_server):
    with pytest.raises(TypeError):
        li.me(None)
    assert li_server.requests == []


async def test_a_refused_token_is_an_auth_error_after_one_request(li, li_server):
    li_server.reply(401, json.loads((DATA_DIR / "errors" / "linkedin-401--issue-react-native-linkedin-80.json").read_text()))
    with pytest.raises(errors.AuthError) as info:
        await li.me("tok")
    assert (info.value.code, info.value.status, len(li_server.requests)) == (65600, 401, 1)
