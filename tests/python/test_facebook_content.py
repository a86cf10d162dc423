"""Facebook client: Lead Ads, posts, comments and insights, against the loopback fake server
through a host-supplied session."""
import functools
import json
import logging
import socket

import pytest
from conftest import SAMPLES_DIR as SAMPLES, Reply
import signing

from corvane import endpoints, errors, http, policy
from corvane.facebook import Facebook

SECRET = "app-secret-9"
METRICS = "post_media_view,post_total_media_view_unique,post_clicks,post_reactions_by_type_total"


signed = functools.partial(signing.signed, secret=SECRET)


@pytest.fixture
def fb(graph_host, session):
    return Facebook(app_id="1234", app_secret=SECRET, session=session,
                    retry=http.RetryPolicy(attempts=1))


def serve_list(fake_server, path, total, per_page, make=lambda i: {"id": str(i)}):
    """Routes path to `total` items, `per_page` at a time, chained by next links."""

    def reply(request):
        start = int(request.params.get("after", 0))
        body = {"data": [make(i) for i in range(start, min(start + per_page, total))]}
        if start + per_page < total:
            body["paging"] = {"next": fake_server.url(f"{path}?after={start + per_page}")}
        return Reply(json=body)

    fake_server.route(path, reply)


def info_lines(caplog):
    return [r for r in caplog.records if r.name == "corvane.facebook"]


# ---- Lead Ads ----

async def test_lead_forms(fb, fake_server):
    fake_server.reply(json={"data": [{"id": "f1", "name": "Kurs", "status": "ACTIVE"}]})
    [form] = await fb.lead_forms("10", "pt")
    assert (form.id, form.name, form.status) == ("f1", "Kurs", "ACTIVE")
    request = fake_server.last
    assert request.path == "/v23.0/10/leadgen_forms"
    assert request.query == signed("pt", ("fields", endpoints.Fields.FB_LEADGEN_FORM)) + [("limit", "100")]


@pytest.mark.parametrize(
    "kwargs, filtering",
    [({}, []), ({"since": 0}, []), ({"since": None}, []),
     ({"since": 42}, [("filtering", '[{"field":"time_created","operator":"GREATER_THAN","value":42}]')]),
     ({"since": 1735689600, "limit": 30},
      [("filtering", '[{"field":"time_created","operator":"GREATER_THAN","value":1735689600}]')])],
)
async def test_leads_query(fb, fake_server, kwargs, filtering):
    await fb.leads("f1", "pt", **kwargs)
    request = fake_server.last
    limit = str(min(kwargs.get("limit", 200), 100))
    assert request.path == "/v23.0/f1/leads"
    assert request.query == signed("pt", ("fields", endpoints.Fields.FB_LEAD), *filtering) + [("limit", limit)]


@pytest.mark.parametrize("kwargs, returned, requests", [({}, 200, 2), ({"limit": 1}, 1, 1), ({"limit": 250}, 250, 3)])
async def test_leads_cap_through_pagination(fb, fake_server, kwargs, returned, requests):
    serve_list(fake_server, "/v23.0/f1/leads", total=1000, per_page=100,
               make=lambda i: {"id": str(i), "field_data": []})
    leads = await fb.leads("f1", "pt", **kwargs)
    assert [lead.id for lead in leads] == [str(i) for i in range(returned)]
    assert len(fake_server.requests) == requests


@pytest.mark.parametrize("since", [1.5, "42", True])
async def test_leads_since_must_be_an_integer(fb, fake_server, since):
    with pytest.raises(TypeError, match="since"):
        await fb.leads("f1", "pt", since=since)
    assert fake_server.requests == []


async def test_lead_from_a_sample_lead_object(fb, fake_server):
    body = json.loads(next((SAMPLES / "leads").glob("*bulk-read-store-locator.json")).read_text())
    item = body["data"][0]
    fake_server.reply(json=item)
    lead = await fb.lead("998877", "pt")
    assert fake_server.last.path == "/v23.0/998877"
    assert fake_server.last.query == signed("pt", ("fields", endpoints.Fields.FB_LEAD))
    assert (lead.id, lead.form_id, lead.ad_id, lead.field_data) == (
        item["id"], item["form_id"], item["ad_id"], item["field_data"])


AD = {
    "id": "ad1", "name": "Spring ad",
    "adset": {"id": "as1", "name": "Tashkent 25-40", "optimization_goal": "LEAD_GENERATION",
              "targeting": {"geo_locations": {"countries": ["UZ"]}, "age_min": 25}},
    "campaign": {"id": "c1", "name": "Spring", "objective": "OUTCOME_LEADS"},
}


@pytest.mark.parametrize(
    "answer, expected",
    [
        (AD, {"ad_id": "ad1", "ad_name": "Spring ad", "adset_id": "as1", "adset_name": "Tashkent 25-40",
              "campaign_id": "c1", "campaign_name": "Spring", "objective": "OUTCOME_LEADS",
              "optimization_goal": "LEAD_GENERATION", "targeting": AD["adset"]["targeting"]}),
        ({"id": "ad1", "campaign": AD["campaign"], "adset": {}},
         {"ad_id": "ad1", "ad_name": None, "adset_id": None, "adset_name": None, "campaign_id": "c1",
          "campaign_name": "Spring", "objective": "OUTCOME_LEADS", "optimization_goal": None,
          "targeting": None}),
    ],
)
async def test_ad_context(fb, fake_server, answer, expected):
    fake_server.reply(json=answer)
    context = await fb.ad_context("ad1", "user-tok")
    assert list(context.items()) == list(expected.items())
    assert fake_server.last.query == signed("user-tok", ("fields", endpoints.Fields.FB_AD_CONTEXT))


@pytest.mark.parametrize("ad_id", [None, ""])
async def test_ad_context_without_an_ad_sends_nothing(fb, fake_server, ad_id):
    assert await fb.ad_context(ad_id, "user-tok") == {}
    assert fake_server.requests == []


@pytest.mark.parametrize("sample, status", [("graph-200--*", 403), ("graph-10--*", 400),
                                            ("graph-803--*", 404)])
async def test_ad_context_refusal_gives_empty_and_one_info_line(fb, fake_server, caplog, sample, status):
    body = json.loads(next((SAMPLES / "errors").glob(sample)).read_text())  # by error code
    fake_server.reply(status=status, json=body)
    with caplog.at_level(logging.INFO, logger="corvane.facebook"):
        assert await fb.ad_context("ad1", "user-tok") == {}
    [line] = info_lines(caplog)
    assert line.levelno == logging.WARNING and line.msg == "Ad konteksti olinmadi (ad_id=%s): %s"
    assert line.args[0] == "ad1" and line.args[1] == body["error"]["message"]
    assert "user-tok" not in line.getMessage()


async def test_ad_context_transport_failure_propagates(monkeypatch, session, caplog):
    with socket.socket() as probe:  # a port with nobody listening
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    monkeypatch.setattr(endpoints.Graph, "host", f"http://127.0.0.1:{port}")
    client = Facebook(app_id="1234", app_secret=SECRET, session=session, retry=http.RetryPolicy(attempts=1))
    with caplog.at_level(logging.INFO, logger="corvane.facebook"), pytest.raises(errors.TransportError):
        await client.ad_context("ad1", "user-tok")
    assert info_lines(caplog) == []


async def test_ad_context_throttled_is_raised_not_an_empty_context(fb, fake_server, caplog):
    """A throttle is no refusal: an empty context now would be kept as the lead's for good."""
    fake_server.reply(status=400, json={"error": {
        "message": "(#80004) There have been too many calls to this ad-account.", "type": "OAuthException",
        "code": 80004, "error_subcode": 2446079, "fbtrace_id": "AbC"}})
    with caplog.at_level(logging.INFO, logger="corvane.facebook"), pytest.raises(errors.RateLimitError):
        await fb.ad_context("ad1", "user-tok")
    assert info_lines(caplog) == []


# ---- posts ----

@pytest.mark.parametrize("kwargs, returned, first_limit", [({}, 25, "25"), ({"limit": 45}, 45, "45")])
async def test_posts_cap_and_query(fb, fake_server, kwargs, returned, first_limit):
    serve_list(fake_server, "/v23.0/10/published_posts", total=300, per_page=20)
    posts = await fb.posts("10", "pt", **kwargs)
    assert posts == [{"id": str(i)} for i in range(returned)]
    assert fake_server.requests[0].query == signed("pt", ("fields", endpoints.Fields.FB_POST)) + [
        ("limit", first_limit)]


@pytest.mark.parametrize(
    "kwargs, pairs",
    [({"message": "Salom"}, [("message", "Salom"), ("published", "true")]),
     ({"message": "Salom", "link": ""}, [("message", "Salom"), ("published", "true")]),
     ({"message": "Salom", "link": "https://shop.uz/a b", "published": False},
      [("message", "Salom"), ("published", "false"), ("link", "https://shop.uz/a b")])],
)
async def test_publish_post(fb, fake_server, kwargs, pairs):
    fake_server.reply(json={"id": "10_55"})
    assert await fb.publish_post("10", "pt", **kwargs) == {"id": "10_55"}
    request = fake_server.last
    assert (request.method, request.path, request.body) == ("POST", "/v23.0/10/feed", b"")
    assert request.query == signed("pt", *pairs)


async def test_publish_post_message_is_required_and_named(fb, fake_server):
    with pytest.raises(TypeError, match="message"):
        await fb.publish_post("10", "pt")  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        await fb.publish_post("10", "pt", "Salom")  # type: ignore[misc]
    assert fake_server.requests == []


@pytest.mark.parametrize("answer, result", [({"success": True}, True), ({}, False)])
async def test_delete_post(fb, fake_server, answer, result):
    fake_server.reply(json=answer)
    assert await fb.delete_post("10_55", "pt") is result
    assert (fake_server.last.method, fake_server.last.path, fake_server.last.query) == (
        "DELETE", "/v23.0/10_55", signed("pt"))


# ---- insights ----

async def test_post_insights_maps_metric_names_to_first_values(fb, fake_server):
    fake_server.reply(json={"data": [
        {"name": "post_impressions", "values": [{"value": 120}, {"value": 7}]},
        {"name": "post_reactions_by_type_total", "values": [{"value": {"like": 3, "love": 1}}]},
        {"name": "post_clicks", "values": []},
        {"name": "post_engaged_users"},
        {"name": "post_impressions", "values": [{"value": 130}]},
    ]})
    assert await fb.post_insights("10_55", "pt") == {
        "post_impressions": 130, "post_reactions_by_type_total": {"like": 3, "love": 1},
        "post_clicks": None, "post_engaged_users": None}
    assert (fake_server.last.path, fake_server.last.query) == ("/v23.0/10_55/insights",
                                                               signed("pt", ("metric", METRICS)))


async def test_post_insights_reads_the_metric_list_at_every_call(fb, fake_server):
    fake_server.reply(json={"data": []})
    fake_server.reply(json={"data": []})
    policy.install({"metrics": {"FB_POST_INSIGHTS": "post_clicks"}})
    try:
        await fb.post_insights("10_55", "pt")
        policy.install({"metrics": {}})
        with pytest.raises(LookupError, match="FB_POST_INSIGHTS"):
            await fb.post_insights("10_55", "pt")
    finally:
        policy.reset()
    await fb.post_insights("10_55", "pt")
    assert [r.params["metric"] for r in fake_server.requests] == ["post_clicks", METRICS]


async def test_post_insights_without_data_is_empty(fb, fake_server):
    fake_server.reply(json={})
    assert await fb.post_insights("10_55", "pt") == {}


async def test_post_insights_refusal_gives_empty_and_one_info_line(fb, fake_server, caplog):
    fake_server.reply(status=400, json={"error": {"code": 100, "message": "Unsupported get request"}})
    with caplog.at_level(logging.INFO, logger="corvane.facebook"):
        assert await fb.post_insights("10_55", "pt") == {}
    [line] = info_lines(caplog)
    assert line.getMessage() == "Post 10_55 uchun insight yo'q: Unsupported get request"
    assert len(fake_server.requests) == 1


# ---- comments ----

async def test_comments_order_on_first_request_only_and_cap(fb, fake_server):
    serve_list(fake_server, "/v23.0/10_55/comments", total=500, per_page=30)
    comments = await fb.comments("10_55", "pt")
    assert len(comments) == 50 and len(fake_server.requests) == 2
    first, second = fake_server.requests
    assert first.query == signed("pt", ("fields", endpoints.Fields.FB_COMMENT),
                                 ("order", "reverse_chronological")) + [("limit", "50")]
    assert second.query == [("after", "30"), *signed("pt")]  # the link, signed


async def test_reply_and_hide_comment(fb, fake_server):
    fake_server.reply(json={"id": "c1_r1"})
    assert await fb.reply_comment("c1", "pt", "Rahmat!") == {"id": "c1_r1"}
    await fb.hide_comment("c1", "pt")
    await fb.hide_comment("c1", "pt", False)
    got = [(r.method, r.path, r.query, r.body) for r in fake_server.requests]
    assert got == [
        ("POST", "/v23.0/c1/comments", signed("pt", ("message", "Rahmat!")), b""),
        ("POST", "/v23.0/c1", signed("pt", ("is_hidden", "true")), b""),
        ("POST", "/v23.0/c1", signed("pt", ("is_hidden", "false")), b""),
    ]
