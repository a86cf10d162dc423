"""corvane.endpoints: address constants, URL builders and the named field sets."""

import subprocess
import sys
import urllib.parse

import pytest

from corvane import endpoints, policy
from corvane.endpoints import Fields, Graph, InstagramGraph, LinkedIn

GRAPH = "https://graph.facebook.com"
IG_GRAPH = "https://graph.instagram.com"


@pytest.fixture(autouse=True)
def baseline_after_each_test():
    yield
    policy.reset()


def test_constants_are_the_platforms_public_addresses():
    assert endpoints.DEFAULT_GRAPH_VERSION == "v23.0"
    assert endpoints.DEFAULT_LINKEDIN_VERSION == "202606"
    assert endpoints.GRAPH_HOST == GRAPH
    assert endpoints.INSTAGRAM_GRAPH_HOST == IG_GRAPH
    assert endpoints.FACEBOOK_DIALOG == "https://www.facebook.com/{version}/dialog/oauth"
    assert endpoints.INSTAGRAM_DIALOG == "https://www.instagram.com/oauth/authorize"
    assert endpoints.INSTAGRAM_TOKEN_URL == "https://api.instagram.com/oauth/access_token"
    assert endpoints.LINKEDIN_OAUTH == "https://www.linkedin.com/oauth/v2"
    assert endpoints.LINKEDIN_API == "https://api.linkedin.com/v2"
    assert endpoints.LINKEDIN_REST == "https://api.linkedin.com/rest"


@pytest.mark.parametrize("path", ["me", "/me", "///me"])
def test_url_drops_leading_slashes(path):
    assert Graph().url(path) == f"{GRAPH}/v23.0/me"


def test_graph_builders():
    g = Graph()
    assert g.version == "v23.0" and Graph.host == GRAPH
    assert g.url() == g.url("") == g.url("/") == f"{GRAPH}/v23.0"
    assert g.url("/me/accounts") == g.my_accounts() == f"{GRAPH}/v23.0/me/accounts"
    assert g.node("1234") == f"{GRAPH}/v23.0/1234"
    assert g.edge("1234", "leadgen_forms") == f"{GRAPH}/v23.0/1234/leadgen_forms"
    assert g.access_token() == f"{GRAPH}/v23.0/oauth/access_token"
    assert g.debug_token() == f"{GRAPH}/v23.0/debug_token"
    assert g.me() == f"{GRAPH}/v23.0/me"
    # Ids and edge names go in unescaped.
    assert g.edge("1_2", "a b") == f"{GRAPH}/v23.0/1_2/a b"


def test_another_version_is_in_every_url():
    g = Graph("v24.0")
    for url in (g.url(), g.me(), g.node("1"), g.edge("1", "feed"), g.access_token(),
                g.debug_token(), g.my_accounts(), g.oauth_dialog({"a": "b"})):
        assert "/v24.0" in url and "v23.0" not in url
    assert Graph(version="v24.0").version == "v24.0"


def test_instagram_graph():
    ig = InstagramGraph()
    assert isinstance(ig, Graph) and InstagramGraph.host == IG_GRAPH
    assert ig.me() == f"{IG_GRAPH}/v23.0/me"
    assert ig.long_lived_token() == f"{IG_GRAPH}/access_token"
    assert ig.refresh_token() == f"{IG_GRAPH}/refresh_access_token"
    assert InstagramGraph("v24.0").long_lived_token() == f"{IG_GRAPH}/access_token"


def test_oauth_dialog_encoding():
    url = Graph().oauth_dialog({
        "client_id": 123,
        "redirect_uri": "https://app.example/cb?x=1",
        "response_type": "code",
        "scope": "email,pages_show_list",
        "state": "a b+c/ʻ",
    })
    base, query = url.split("?")
    assert base == "https://www.facebook.com/v23.0/dialog/oauth"
    assert query == (
        "client_id=123&redirect_uri=https%3A%2F%2Fapp.example%2Fcb%3Fx%3D1&response_type=code"
        "&scope=email%2Cpages_show_list&state=a%20b%2Bc%2F%CA%BB"
    )
    assert urllib.parse.parse_qsl(query)[-1] == ("state", "a b+c/ʻ")


def test_oauth_dialog_without_parameters_ends_in_question_mark():
    assert Graph().oauth_dialog({}) == "https://www.facebook.com/v23.0/dialog/oauth?"


def test_linkedin():
    assert LinkedIn.authorization() == "https://www.linkedin.com/oauth/v2/authorization"
    assert LinkedIn.access_token() == "https://www.linkedin.com/oauth/v2/accessToken"
    assert LinkedIn.introspect() == "https://www.linkedin.com/oauth/v2/introspectToken"
    assert LinkedIn.userinfo() == "https://api.linkedin.com/v2/userinfo"
    assert LinkedIn.rest("") == "https://api.linkedin.com/rest/"
    assert LinkedIn.rest("//posts") == "https://api.linkedin.com/rest/posts"
    assert LinkedIn.rest("posts/urn%3Ali%3Ashare%3A1") == (
        "https://api.linkedin.com/rest/posts/urn%3Ali%3Ashare%3A1")


def test_hosts_are_read_at_each_call(monkeypatch):
    class Local(Graph):
        host = "http://127.0.0.1:8080"

    assert Local().me() == "http://127.0.0.1:8080/v23.0/me"
    monkeypatch.setattr(endpoints, "LINKEDIN_REST", "http://127.0.0.1:8080/rest")
    monkeypatch.setattr(endpoints, "FACEBOOK_DIALOG", "http://127.0.0.1:8080/{version}/d")
    assert LinkedIn.rest("posts") == "http://127.0.0.1:8080/rest/posts"
    assert Graph().oauth_dialog({}) == "http://127.0.0.1:8080/v23.0/d?"


class _Triples(dict):
    def items(self):
        return [("a", "b", "c")]


@pytest.mark.parametrize(
    "call, message, error",
    [
        (lambda: Graph(23), "Graph: version must be a str, not int", TypeError),
        (lambda: Graph(""), "Graph: version must be a non-empty str such as 'v23.0', not ''",
         ValueError),
        (lambda: Graph().url(b"me"), "url: path must be a str, not bytes", TypeError),
        (lambda: Graph().node(1234), "node: node_id must be a str, not int", TypeError),
        (lambda: Graph().edge("1", None), "edge: edge must be a str, not NoneType", TypeError),
        (lambda: Graph().oauth_dialog([("a", "b")]), "oauth_dialog: params must be a mapping, not list",
         TypeError),
        (lambda: Graph().oauth_dialog(_Triples()),
         "oauth_dialog: each item of params.items() must be a (name, value) pair, not 3 items",
         ValueError),
        (lambda: LinkedIn.rest(None), "rest: path must be a str, not NoneType", TypeError),
    ],
)
def test_bad_arguments_name_the_argument(call, message, error):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_import_does_not_load_the_policy():
    code = ("import sys, corvane.endpoints as e; assert 'corvane.policy' not in sys.modules;"
            "e.Fields.FB_PAGE; assert 'corvane.policy' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_fields_follow_the_policy_between_two_lookups():
    before = Fields.FB_PAGE
    assert before == policy.BASELINE["fields"]["FB_PAGE"]
    policy.install({"fields": {**policy.BASELINE["fields"], "FB_PAGE": "id,name"}})
    assert Fields.FB_PAGE == "id,name"
    policy.reset()
    assert Fields.FB_PAGE == before


class FakePolicy:
    def __init__(self, answer):
        self.answer, self.data = answer, {}

    def fields(self, name):
        return self.answer


@pytest.mark.parametrize("answer", [None, ""])
def test_unknown_set_message(monkeypatch, answer):
    monkeypatch.setattr(policy, "current", lambda: FakePolicy(answer))
    with pytest.raises(AttributeError) as info:
        Fields.FB_PAGE
    assert str(info.value) == "Noma'lum maydon to'plami: FB_PAGE"
    assert not hasattr(Fields, "FB_PAGE")
    assert getattr(Fields, "FB_PAGE", "fallback") == "fallback"


def test_private_names_do_not_ask_the_policy(monkeypatch):
    asked = []
    monkeypatch.setattr(policy, "current", lambda: asked.append(1) or policy.BASELINE)
    for name in ("_hidden", "__wrapped__"):
        with pytest.raises(AttributeError) as info:
            getattr(Fields, name)
        assert str(info.value) == name
    assert asked == []


def test_policy_is_asked_at_every_lookup_and_its_failures_pass_through(monkeypatch):
    calls = []

    def current():
        calls.append(1)
        return FakePolicy("id")

    monkeypatch.setattr(policy, "current", current)
    assert (Fields.IG_MEDIA, Fields.IG_MEDIA) == ("id", "id")
    assert len(calls) == 2

    def broken():
        raise RuntimeError("policy store unavailable")

    monkeypatch.setattr(policy, "current", broken)
    with pytest.raises(RuntimeError, match="policy store unavailable"):
        Fields.FB_PAGE


def test_listing_is_sorted_unique_union_of_baseline_and_current():
    baseline = sorted(policy.BASELINE["fields"])
    assert Fields.names() == baseline == dir(Fields)
    policy.install({"fields": {"FB_PAGE": "id", "AA_NEW": "id", "ZZ_NEW": "id"}})
    names = Fields.names()
    assert names == sorted(set(baseline) | {"AA_NEW", "ZZ_NEW"})
    assert dir(Fields) == names
    assert Fields.ZZ_NEW == "id"
    # Listed from the baseline, but not in the current policy's own sets.
    with pytest.raises(AttributeError, match="Noma'lum maydon to'plami: FB_USER"):
        Fields.FB_USER


def test_fields_is_a_class_with_no_members_of_its_own():
    assert isinstance(Fields, type)
    assert type(Fields).__name__ == "_FieldsMeta"
    assert not [k for k in vars(Fields) if not k.startswith("__")]
