"""Every public operation of the clients, repeated: successes and error answers, no growth."""
from __future__ import annotations

import contextlib

import pytest
from conftest import run  # noqa
from harness import Server, growth

from corvane import endpoints, errors
from corvane.facebook import Facebook
from corvane.http import RetryPolicy
from corvane.instagram import Instagram
from corvane.linkedin import LinkedIn

TOKEN = "user-token"
PAGE_TOKEN = "page-token"
IG = "9001"


@contextlib.contextmanager
def hosts(server: Server):
    """Points the Graph and LinkedIn addresses at the loopback server."""
    saved = [(endpoints.Graph, "host", endpoints.Graph.host),
             (endpoints.InstagramGraph, "host", endpoints.InstagramGraph.host)]
    endpoints.Graph.host = server.base
    endpoints.InstagramGraph.host = server.url("/ig")
    for name, path in [("INSTAGRAM_TOKEN_URL", "/oauth/access_token"), ("LINKEDIN_OAUTH", "/oauth/v2"), ("LINKEDIN_API", "/v2"),
                       ("LINKEDIN_REST", "/rest")]:
        saved.append((endpoints, name, getattr(endpoints, name)))
        setattr(endpoints, name, server.url(path))
    try:
        yield
    finally:
        for owner, name, value in saved:
            setattr(owner, name, value)


def facebook_operations(fb: Facebook):
    async def every_operation():
        fb.login_url(redirect_uri="https://crm.example/cb", state="s")
        await fb.exchange_code("code-1", redirect_uri="https://crm.example/cb")
        await fb.granted_scopes(TOKEN)
        await fb.revoke(TOKEN)
        await fb.me(TOKEN)
        await fb.pages(TOKEN)
        await fb.subscribe_page("1", PAGE_TOKEN, ["leadgen"])
        await fb.subscriptions("1", PAGE_TOKEN)
        await fb.unsubscribe_page("1", PAGE_TOKEN)
        await fb.lead_forms("1", PAGE_TOKEN)
        await fb.leads("2", PAGE_TOKEN, since=1700000000)
        await fb.lead("3", PAGE_TOKEN)
        await fb.ad_context("4", TOKEN)
        await fb.posts("1", PAGE_TOKEN)
        await fb.publish_post("1", PAGE_TOKEN, message="m", link="https://x.example/")
        await fb.delete_post("1_2", PAGE_TOKEN)
        await fb.post_insights("1_2", PAGE_TOKEN)
        await fb.comments("1_2", PAGE_TOKEN)
        await fb.reply_comment("5", PAGE_TOKEN, "thanks")
        await fb.hide_comment("5", PAGE_TOKEN)
        for walk in (fb.iter_leads("2", PAGE_TOKEN, since=1700000000),
                     fb.iter_posts("1", PAGE_TOKEN), fb.iter_comments("1_2", PAGE_TOKEN)):
            assert [item async for item in walk]

    return every_operation


def linkedin_operations(li: LinkedIn):
    async def every_operation():
        li.login_url("https://crm.example/cb", state="s")
        li.person_urn("member-1")
        await li.exchange_code("code-1", "https://crm.example/cb")
        await li.refresh("refresh-1")
        await li.introspect(TOKEN)
        await li.me(TOKEN)
        await li.posts(TOKEN, "urn:li:person:1")
        await li.create_post(TOKEN, "urn:li:person:1", "text", article_url="https://x.example/",
                             article_title="t")
        await li.delete_post(TOKEN, "urn:li:share:2")
        await li.organizations(TOKEN)
        assert [post["id"] async for post in li.iter_posts(TOKEN, "urn:li:organization:1")] == ["urn:li:share:1"]

    return every_operation


def instagram_operations(ig: Instagram):
    async def every_operation():
        if not ig.via_facebook:  # the Instagram login flows
            ig.login_url(redirect_uri="https://crm.example/cb", state="s")
            await ig.exchange_code("code-1", redirect_uri="https://crm.example/cb")
            await ig.refresh_token(TOKEN)
        await ig.profile(TOKEN, ig_user_id=IG)
        await ig.media(TOKEN, ig_user_id=IG)
        await ig.media_insights("9", TOKEN)
        await ig.publish(TOKEN, ig_user_id=IG, caption="c", image_url="https://x.example/i.jpg")
        await ig.publish(TOKEN, ig_user_id=IG, video_url="https://x.example/v.mp4", is_reel=True)
        await ig.comments("9", TOKEN)
        await ig.reply_comment("9", TOKEN, "thanks")
        await ig.hide_comment("9", TOKEN)
        await ig.delete_comment("9", TOKEN)
        await ig.conversations(TOKEN, ig_user_id=IG, page_id="1")
        await ig.messages("9", TOKEN)
        await ig.contact("9", TOKEN)
        await ig.send_message("9", TOKEN, "hi", ig_user_id=IG, page_id="1")
        await ig.insights(TOKEN, ig_user_id=IG)
        await ig.demographics(TOKEN, ig_user_id=IG)
        for walk in (ig.iter_media(TOKEN, ig_user_id=IG), ig.iter_comments("9", TOKEN),
                     ig.iter_conversations(TOKEN, ig_user_id=IG, page_id="1"),
                     ig.iter_messages("9", TOKEN)):
            assert [item async for item in walk]

    return every_operation


OPENED: list = []  # the clients of the running loop, closed when it ends


def opened(client):
    OPENED.append(client)
    return client


async def measure(make_step):
    async with Server() as server:
        with hosts(server):
            try:
                return await growth(make_step(server), iterations=200, warmup=20)
            finally:
                while OPENED:
                    await OPENED.pop().close()


# name: (the client, its operations, the requests of one pass)
CLIENTS = {
    "facebook": (lambda: Facebook(app_id="1", app_secret="s", retry=RetryPolicy(attempts=1)),
                 facebook_operations, 25),
    "linkedin": (lambda: LinkedIn(client_id="c", client_secret="s", retry=RetryPolicy(attempts=1)),
                 linkedin_operations, 9),
    "instagram": (lambda: Instagram(app_id="1", app_secret="s", retry=RetryPolicy(attempts=1)),
                  instagram_operations, 29),
    "instagram via facebook": (lambda: Instagram.via_facebook(app_secret="s", retry=RetryPolicy(attempts=1)),
                               instagram_operations, 29),
}


@pytest.mark.parametrize("name", CLIENTS)
def test_every_operation(flat, name):
    client, operations, requests = CLIENTS[name]
    flat(lambda: run(lambda: measure(lambda server: operations(opened(client())))), requests=requests)


def test_error_answers_through_the_clients(flat):
    """The Graph and LinkedIn error parsers and the failure paths of the operations."""

    def make(server):
        fb = opened(Facebook(app_id="1", app_secret="s", retry=RetryPolicy(attempts=1)))
        li = opened(LinkedIn(client_id="c", client_secret="s", retry=RetryPolicy(attempts=1)))

        async def step():
            endpoints.Graph.host = server.url("/status/403")
            with pytest.raises(errors.PermissionError):
                await fb.me(TOKEN)
            with pytest.raises(errors.ApiError):
                await fb.lead("3", PAGE_TOKEN)
            endpoints.Graph.host = server.base
            for name in ("LINKEDIN_API", "LINKEDIN_REST"):
                setattr(endpoints, name, server.url("/status/401"))
            with pytest.raises(errors.AuthError):
                await li.me(TOKEN)
            with pytest.raises(errors.AuthError):
                await li.create_post(TOKEN, "urn:li:person:1", "t")
            endpoints.LINKEDIN_API = server.url("/v2")
            endpoints.LINKEDIN_REST = server.url("/rest")

        return step

    flat(lambda: run(lambda: measure(make)), requests=4)
