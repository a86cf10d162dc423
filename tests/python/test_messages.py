"""Mistakes a caller makes are reported in the caller's own words: the operation and the
parameter they gave, the environment variables to set. The library's own texts stay as they
are."""
from __future__ import annotations

import pytest

from corvane import endpoints, errors, http
from corvane.facebook import Facebook
from corvane.instagram import Instagram
from corvane.linkedin import LinkedIn

FB = Facebook(app_id="1234", app_secret="secret")
IG = Instagram(app_id="1234", app_secret="secret")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: FB.leads("1", "t", limit=None), "leads: limit must be an int, not NoneType"),
        (lambda: FB.leads("1", "t", limit=True), "leads: limit must be an int, not bool"),
        (lambda: FB.posts("1", "t", limit="25"), "posts: limit must be an int, not str"),
        (lambda: FB.comments("1", "t", limit=1.5), "comments: limit must be an int, not float"),
        (lambda: FB.pages(123), "pages: token must be a str, not int"),
        (lambda: FB.me(b"t"), "me: token must be a str, not bytes"),
        (lambda: FB.revoke(1), "revoke: token must be a str, not int"),
        (lambda: FB.lead_forms("1", 123), "lead_forms: page_token must be a str, not int"),
        (lambda: FB.lead("1", ["t"]), "lead: page_token must be a str, not list"),
        (lambda: FB.ad_context("1", 5), "ad_context: token must be a str, not int"),
        (lambda: FB.subscribe_page("1", 5), "subscribe_page: page_token must be a str"),
        (lambda: FB.hide_comment("1", 5), "hide_comment: page_token must be a str"),
        (lambda: FB.reply_comment("1", 5, "hi"), "reply_comment: page_token must be a str"),
        (lambda: FB.delete_post("1", 5), "delete_post: page_token must be a str"),
        (lambda: IG.media("t", limit=None), "media: limit must be an int, not NoneType"),
        (lambda: IG.comments("1", "t", limit="9"), "comments: limit must be an int, not str"),
        (lambda: IG.conversations("t", limit=2.0), "conversations: limit must be an int"),
        (lambda: IG.messages("1", "t", limit=None), "messages: limit must be an int"),
        (lambda: IG.profile(7), "profile: token must be a str, not int"),
        (lambda: IG.contact("1", 7), "contact: token must be a str, not int"),
        (lambda: IG.send_message("1", 7, "hi"), "send_message: token must be a str"),
    ],
)
def test_argument_errors_name_the_public_parameter(call, message):
    # Raised by the call itself, before a coroutine exists: nothing is sent.
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)
    assert "paginate" not in str(info.value) and "_signed" not in str(info.value)


async def test_a_page_token_of_none_still_goes_out_unsigned(monkeypatch, fake_server, session):
    # None stays accepted (the platform answers for a missing token), only other types fail.
    monkeypatch.setattr(endpoints.Graph, "host", fake_server.base)
    fake_server.reply(json={"data": []})
    fb = Facebook(app_id="1234", app_secret="secret", session=session,
                  retry=http.RetryPolicy(attempts=1))
    assert await fb.lead_forms("77", None) == []
    assert "access_token" not in fake_server.last.params


def test_a_retry_that_is_no_policy_fails_at_construction():
    with pytest.raises(TypeError, match="retry must be a RetryPolicy or None, not int"):
        Facebook(app_id="1234", app_secret="secret", retry=3)

    class OwnPolicy:  # a host's own policy object is still taken
        attempts = 2

        def delay_for(self, attempt: int) -> float:
            return 0.0

    assert isinstance(Facebook(app_id="1234", app_secret="secret", retry=OwnPolicy()).retry,
                      OwnPolicy)


@pytest.mark.parametrize(
    "env, unset",
    [
        ({}, "FACEBOOK_APP_ID and FACEBOOK_APP_SECRET"),
        ({"FACEBOOK_APP_ID": "7"}, "FACEBOOK_APP_SECRET"),
        ({"FACEBOOK_APP_ID": "", "FACEBOOK_APP_SECRET": "s"}, "FACEBOOK_APP_ID"),
    ],
)
def test_from_env_names_the_variables_beside_the_message(monkeypatch, env, unset):
    for name in ("FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(errors.ConfigurationError) as info:
        Facebook.from_env()
    assert str(info.value) == "Facebook uchun `app_id` va `app_secret` majburiy"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == 1 and notes[0].endswith("unset or empty: " + unset)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Facebook.from_env(config_id="c"), "from_env() got multiple values for "
         "keyword argument 'config_id'"),
        (lambda: Instagram.from_env(graph_version="v1"), "from_env() got multiple values for "
         "keyword argument 'graph_version'"),
        (lambda: Instagram.via_facebook(app_secret="s", via_facebook=False), "via_facebook() "
         "got multiple values for keyword argument 'via_facebook'"),
        (lambda: LinkedIn.from_env(client_secret="s"), "from_env() got multiple values for "
         "keyword argument 'client_secret'"),
    ],
)
def test_a_client_factory_refuses_an_option_it_sets_itself(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "variable, login, message",
    [
        ("LINKEDIN_CLIENT_ID", lambda: LinkedIn.from_env().login_url("https://crm.example/cb"),
         "LinkedIn uchun `client_id` majburiy"),
        ("INSTAGRAM_APP_ID",
         lambda: Instagram.from_env().login_url(redirect_uri="https://crm.example/cb"),
         "Instagram login uchun `app_id` majburiy"),
    ],
)
def test_a_login_link_without_id_names_the_variable(monkeypatch, variable, login, message):
    monkeypatch.delenv(variable, raising=False)
    with pytest.raises(errors.ConfigurationError) as info:
        login()
    assert str(info.value) == message
    assert variable in info.value.__notes__[0]
