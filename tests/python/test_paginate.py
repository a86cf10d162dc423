"""Cursor pagination: what is asked for and where the walk stops."""
import pytest

from conftest import Reply
from corvane.http import BaseClient, RetryPolicy


def page(server, data, nxt=None):
    body = {"data": data}
    if nxt is not None:
        body["paging"] = {"next": server.url(nxt) if nxt else nxt}
    return body


@pytest.fixture
def c(session):
    return BaseClient(session=session, retry=RetryPolicy(attempts=1))


@pytest.mark.parametrize("max_items, params, limit", [
    (0, None, "0"), (30, None, "30"), (500, {"limit": 25}, "25"), (500, None, "100"),
])
async def test_limit_asked_for(fake_server, c, max_items, params, limit):
    fake_server.reply(json=page(fake_server, list(range(40))))
    items = await c.paginate(fake_server.url("/list"), params=params, max_items=max_items)
    assert fake_server.last.params["limit"] == limit
    assert items == list(range(min(40, max_items)))


async def test_follows_next_links_unchanged_and_drops_surplus(fake_server, c):
    fake_server.reply(json=page(fake_server, [1, 2], "/list?after=QQ%3D%3D&access_token=t"))
    fake_server.reply(json=page(fake_server, [3, 4], "/list?after=Rg%3D%3D"))
    fake_server.reply(json=page(fake_server, [5, 6, 7], "/never"))
    assert await c.paginate(fake_server.url("/list"), params={"fields": "id"}, max_items=5) == [1, 2, 3, 4, 5]
    assert [r.raw_query for r in fake_server.requests] == [
        "fields=id&limit=5", "after=QQ%3D%3D&access_token=t", "after=Rg%3D%3D"]


@pytest.mark.parametrize("pages, expected, fetched", [
    # exactly max_items: the next link is not followed
    ([([1, 2, 3], "/n")], [1, 2, 3], 1),
    # no paging / paging without next / empty next
    ([([1], None)], [1], 1),
    ([([1], "")], [1], 1),
    # a first page without data still continues through its next link
    ([(None, "/n"), ([7], None)], [7], 2),
    # a next link already fetched ends the walk
    ([([1], "/a"), ([2], "/b"), ([3], "/a")], [1, 2, 3], 3),
])
async def test_stop_rules(fake_server, c, pages, expected, fetched):
    for data, nxt in pages:
        body = page(fake_server, data, nxt)
        if data is None:
            del body["data"]
        fake_server.reply(json=body)
    assert await c.paginate(fake_server.url("/list"), max_items=3) == expected
    assert len(fake_server.requests) == fetched


@pytest.mark.parametrize("second", [[1, 2], "text", None])
async def test_page_that_is_not_an_object_ends_the_walk(fake_server, c, second):
    fake_server.reply(json=page(fake_server, [1], "/n"))
    fake_server.reply(json=second)
    assert await c.paginate(fake_server.url("/list")) == [1]


async def test_failure_on_a_later_page_propagates(fake_server, c):
    from corvane.errors import AuthError
    fake_server.reply(json=page(fake_server, [1], "/n"))
    fake_server.reply(401, {"error": {"code": 190, "message": "expired"}})
    with pytest.raises(AuthError):
        await c.paginate(fake_server.url("/list"))
