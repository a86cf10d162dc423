"""Lists that stream: iterate() and the clients' iterators hand out a Graph list item by item,
fetching each page only when the one before is used up."""
import asyncio
import gc
import weakref

import pytest
from conftest import Reply, cancelled

from corvane import endpoints, errors, http
from corvane.facebook import Facebook
from corvane.http import BaseClient, RetryPolicy
from corvane.instagram import Instagram


@pytest.fixture
def c(session):
    return BaseClient(session=session, retry=RetryPolicy(attempts=1))


def serve(fake_server, path, total, per_page, delay=0.0):
    def reply(request):
        start = int(request.params.get("after", 0))
        body = {"data": list(range(start, min(start + per_page, total)))}
        if start + per_page < total:
            body["paging"] = {"next": fake_server.url(f"{path}?after={start + per_page}")}
        return Reply(json=body, delay=delay)

    fake_server.route(path, reply)


async def test_pages_are_fetched_only_when_the_previous_one_is_used_up(fake_server, c):
    serve(fake_server, "/list", 25, 10)
    walk = c.iterate(fake_server.url("/list"), params={"fields": "id"})
    assert fake_server.requests == []  # nothing is sent before the first item is asked for
    seen = []
    async for item in walk:
        seen.append(item)
        assert len(fake_server.requests) == item // 10 + 1
    assert seen == list(range(25))
    assert fake_server.requests[0].raw_query == "fields=id&limit=100"
    assert await c.paginate(fake_server.url("/list"), max_items=100) == seen


@pytest.mark.parametrize("params, page_size, limit", [
    (None, 100, "100"), (None, 7, "7"), ({"limit": 25}, 100, "25"),
])
async def test_limit_asked_for(fake_server, c, params, page_size, limit):
    fake_server.reply(json={"data": [1]})
    assert [i async for i in c.iterate(fake_server.url("/l"), params=params,
                                       page_size=page_size)] == [1]
    assert fake_server.last.params["limit"] == limit
    if params:
        assert params == {"limit": 25}  # the caller's params are not changed


@pytest.mark.parametrize("bodies, expected, fetched", [
    # a page without paging, or whose paging has no next link, ends the walk
    ([{"data": [1, 2]}], [1, 2], 1),
    ([{"data": [1], "paging": {"next": None}}], [1], 1),
    # a page without items but with a next link goes on
    ([{"paging": {"next": "/b"}}, {"data": [3]}], [3], 2),
    # a page that is not an object gives nothing and ends the walk
    ([[1, 2, 3]], [], 1),
    ([None], [], 1),
    # a next link already followed ends the walk instead of going round for ever
    ([{"data": [1], "paging": {"next": "/b"}}, {"data": [2], "paging": {"next": "/b"}}],
     [1, 2], 2),
])
async def test_where_the_walk_stops(fake_server, c, bodies, expected, fetched):
    for body in bodies:
        if isinstance(body, dict) and "paging" in body and body["paging"]["next"]:
            body = {**body, "paging": {"next": fake_server.url(body["paging"]["next"])}}
        fake_server.reply(json=body)
    assert [i async for i in c.iterate(fake_server.url("/a"))] == expected
    assert len(fake_server.requests) == fetched


async def test_a_page_that_is_not_json_fails_with_its_url_masked(fake_server, c):
    fake_server.reply(json={"data": [1], "paging": {"next": fake_server.url(
        "/b?access_token=SENTINEL-TOKEN")}})
    fake_server.reply(body="<html>proxy error</html>", content_type="text/html")
    walk = c.iterate(fake_server.url("/a"))
    assert await anext(walk) == 1
    with pytest.raises(errors.ApiError) as caught:
        await anext(walk)
    assert "SENTINEL-TOKEN" not in str(caught.value.url) + repr(caught.value)


async def test_errors_of_a_page_reach_the_caller_and_the_walk_can_go_on(fake_server, c):
    fake_server.reply(json={"data": [1], "paging": {"next": fake_server.url("/b")}})
    fake_server.reply(status=500, json={"error": {"message": "later"}})
    fake_server.reply(json={"data": [2]})
    walk = c.iterate(fake_server.url("/a"))
    assert await anext(walk) == 1
    with pytest.raises(errors.ApiError):
        await anext(walk)
    assert [i async for i in walk] == [2]  # the same link asked for again


async def test_cancelled_fetch_leaves_the_walk_usable_and_refuses_overlap(fake_server, c):
    serve(fake_server, "/slow", 3, 3, delay=0.2)
    walk = c.iterate(fake_server.url("/slow"))
    first = asyncio.ensure_future(anext(walk))
    await asyncio.sleep(0.05)
    with pytest.raises(RuntimeError, match="still fetching"):
        await anext(walk)
    await cancelled(first)
    assert [i async for i in walk] == [0, 1, 2]


async def test_a_dropped_walk_is_collected_even_in_a_cycle(fake_server, session):
    serve(fake_server, "/slow", 3, 1, delay=0.2)
    client = BaseClient(session=session)
    walk = client.iterate(fake_server.url("/slow"))
    client.walk = walk  # walk -> client -> walk
    assert await anext(walk) == 0
    pending = asyncio.ensure_future(anext(walk))
    await asyncio.sleep(0.05)
    await cancelled(pending)
    alive = weakref.ref(walk)
    del walk, client, pending
    for _ in range(3):
        await asyncio.sleep(0)
    gc.collect()
    assert alive() is None


# ---- Facebook ----

@pytest.fixture
def fb(graph_host, session):
    return Facebook(app_id="1234", app_secret="app-secret-9", session=session,
                    retry=http.RetryPolicy(attempts=1))


@pytest.fixture
def clients(fb, monkeypatch, fake_server, session):
    monkeypatch.setattr(endpoints.InstagramGraph, "host", fake_server.base)
    ig = Instagram(app_secret="app-secret-9", session=session, retry=http.RetryPolicy(attempts=1))
    via_fb = Instagram.via_facebook(app_secret="app-secret-9", session=session,
                                    retry=http.RetryPolicy(attempts=1))
    return {"fb": fb, "ig": ig, "ig_fb": via_fb}


ITERATORS = [
    ("fb", lambda fb: fb.iter_leads("f1", "pt", since=1717000000), "/v23.0/f1/leads", "FB_LEAD",
     {"filtering": '[{"field":"time_created","operator":"GREATER_THAN","value":1717000000}]'}),
    ("fb", lambda fb: fb.iter_posts("10", "pt"), "/v23.0/10/published_posts", "FB_POST", {}),
    ("fb", lambda fb: fb.iter_comments("10_2", "pt"), "/v23.0/10_2/comments", "FB_COMMENT",
     {"order": "reverse_chronological"}),
    ("ig", lambda ig: ig.iter_media("pt"), "/v23.0/me/media", "IG_MEDIA", {}),
    ("ig_fb", lambda ig: ig.iter_media("pt", ig_user_id="1784"), "/v23.0/1784/media",
     "IG_MEDIA", {}),
    ("ig", lambda ig: ig.iter_comments("m7", "pt"), "/v23.0/m7/comments", "IG_COMMENT", {}),
    ("ig", lambda ig: ig.iter_messages("t1", "pt"), "/v23.0/t1/messages", "IG_MESSAGE", {}),
    ("ig", lambda ig: ig.iter_conversations("pt"), "/v23.0/me/conversations", "IG_CONVERSATION",
     {"limit": "25"}),
    ("ig_fb", lambda ig: ig.iter_conversations("pt", page_id="42", enrich=False),
     "/v23.0/42/conversations", "IG_CONVERSATION", {"limit": "25", "platform": "instagram"}),
]


@pytest.mark.parametrize("client, call, path, fields, extra", ITERATORS)
async def test_iterators_ask_as_the_list_operations_do(clients, fake_server, client, call, path,
                                                       fields, extra):
    def reply(request):
        start = int(request.params.get("after", 0))
        body = {"data": [{"id": str(i), "created_time": "2024-05-29T10:15:00+0000",
                          "field_data": [{"name": "email", "values": ["a@b.uz"]}]}
                         for i in range(start, start + 2)]}
        if start == 0:
            body["paging"] = {"next": fake_server.url(f"{path}?after=2")}
        return Reply(json=body)

    fake_server.route(path, reply)
    items = [item async for item in call(clients[client])]
    ids = [item.id if hasattr(item, "id") else item["id"] for item in items]
    assert ids == ["0", "1", "2", "3"]
    first = fake_server.requests[0].params
    assert first["fields"] == getattr(endpoints.Fields, fields)
    assert first["access_token"] == "pt" and "appsecret_proof" in first
    expected = {"limit": "100", **extra}
    assert {k: first.get(k) for k in expected} == expected


async def test_iter_leads_gives_lead_records(fb, fake_server):
    fake_server.reply(json={"data": [{"id": "9", "field_data": []}]})
    [lead] = [lead async for lead in fb.iter_leads("f1", "pt")]
    assert type(lead).__name__ == "Lead" and lead.id == "9"
    assert "filtering" not in fake_server.last.params


@pytest.mark.parametrize("call, message", [
    (lambda c: c["fb"].iter_leads("f1", 7), "iter_leads: page_token"),
    (lambda c: c["fb"].iter_posts("10", b"pt"), "iter_posts: page_token"),
    (lambda c: c["fb"].iter_comments("10_2", 7.5), "iter_comments: page_token"),
    (lambda c: c["ig"].iter_media(7), "iter_media: token"),
    (lambda c: c["ig"].iter_comments("m7", 7), "iter_comments: token"),
    (lambda c: c["ig"].iter_comments("m/7", "pt"), "iter_comments: media_id"),
    (lambda c: c["ig_fb"].iter_media("pt"), "Facebook login oqimida `ig_user_id` majburiy"),
    (lambda c: c["ig"].iter_messages("t/1", "pt"), "iter_messages: conversation_id"),
    (lambda c: c["ig"].iter_conversations(7), "iter_conversations: token"),
    (lambda c: c["ig"].iter_conversations("pt", page_id=42), "iter_conversations: page_id"),
    (lambda c: c["ig_fb"].iter_conversations("pt"), "Facebook login oqimida `page_id` majburiy"),
])
def test_iterator_arguments_are_checked_at_the_call_naming_the_callers_parameter(
        clients, call, message):
    with pytest.raises((TypeError, ValueError, errors.ConfigurationError)) as caught:
        call(clients)
    assert str(caught.value).startswith(message), str(caught.value)
