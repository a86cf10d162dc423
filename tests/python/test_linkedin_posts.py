"""LinkedIn posts: listing by author, publishing outside the pipeline (body order, one send,
redirects that never carry the token to another origin, no secret in errors) and deleting by
URN, against loopback servers through a host session."""
import json
import traceback

import pytest
from conftest import Reply
from linkedin_fakes import DATA_DIR, li, li_server, lower_headers, other_server  # noqa: F401

from corvane import endpoints, errors
from corvane.linkedin import LinkedIn

VERSION = endpoints.DEFAULT_LINKEDIN_VERSION
TOKEN = "member-token-SENTINEL"
NO_PRODUCT = ("LinkedIn postlarni o'qishga ruxsat bermadi. `q=author` so'rovi 'Community Management API' "
              "ruxsatini talab qiladi — LinkedIn Developer portalida Products bo'limidan so'rang.")


def assert_rest_headers(recorded, token=TOKEN):
    headers = lower_headers(recorded)
    assert headers["x-restli-protocol-version"] == "2.0.0" and headers["linkedin-version"] == VERSION
    assert headers["authorization"] == f"Bearer {token}"


# ---- posts ----

@pytest.mark.parametrize(
    "author, kwargs, query",
    [
        ("782bbtaQ", {}, [("q", "author"), ("author", "urn:li:person:782bbtaQ"), ("start", "0"), ("count", "10")]),
        ("urn:li:organization:5515715", {"start": 20, "count": 5},
         [("q", "author"), ("author", "urn:li:organization:5515715"), ("start", "20"), ("count", "5")]),
    ],
)
async def test_posts_asks_by_author(li, li_server, author, kwargs, query):
    answer = {"elements": [{"id": "urn:li:share:1"}], "paging": {"start": 0, "count": 10}}
    li_server.reply(200, answer)
    assert await li.posts(TOKEN, author, **kwargs) == answer
    sent = li_server.last
    assert (sent.method, sent.path, sent.query) == ("GET", "/rest/posts", query)
    assert_rest_headers(sent)
    assert lower_headers(sent)["x-restli-method"] == "FINDER"


async def test_posts_without_community_management_names_the_product(li, li_server):
    body = json.loads((DATA_DIR / "errors" / "linkedin-403--issue-laravel-linkedin-share-9.json").read_text())
    li_server.reply(403, body)
    with pytest.raises(errors.PermissionError) as info:
        await li.posts(TOKEN, "782bbtaQ")
    error = info.value
    assert error.message == NO_PRODUCT and str(error).startswith("LinkedIn postlarni o'qishga ruxsat bermadi.")
    assert (error.provider, error.status, error.payload, error.code, error.url) == ("linkedin", 403, body, None, None)
    cause = error.__cause__
    assert type(cause) is errors.PermissionError and cause.code == 100
    assert cause.url.startswith(li_server.url("/rest/posts?"))


async def test_posts_lets_other_errors_through(li, li_server):
    li_server.reply(401, {"serviceErrorCode": 65600, "message": "Invalid access token", "status": 401})
    with pytest.raises(errors.AuthError) as info:
        await li.posts(TOKEN, "782bbtaQ")
    assert info.value.message == "Invalid access token" and info.value.__cause__ is None


@pytest.mark.parametrize("kwargs", [{"start": "0"}, {"count": True}, {"count": None}])
def test_posts_paging_values_are_integers(li, kwargs):
    with pytest.raises(TypeError):
        li.posts(TOKEN, "a", **kwargs)


# ---- create_post ----

def pairs_of(recorded):
    """The JSON body with every object as its list of (name, value) pairs, in wire order."""
    return json.loads(recorded.body, object_pairs_hook=lambda pairs: pairs)


DISTRIBUTION = [("feedDistribution", "MAIN_FEED"), ("targetEntities", []), ("thirdPartyDistributionChannels", [])]


@pytest.mark.parametrize(
    "kwargs, visibility, content",
    [
        ({}, "PUBLIC", None),
        ({"visibility": "CONNECTIONS", "article_url": ""}, "CONNECTIONS", None),
        ({"article_url": "https://blog.example/p"}, "PUBLIC",
         [("article", [("source", "https://blog.example/p"), ("title", "https://blog.example/p")])]),
        ({"article_url": "https://blog.example/p", "article_title": "Read me"}, "PUBLIC",
         [("article", [("source", "https://blog.example/p"), ("title", "Read me")])]),
    ],
)
async def test_create_post_sends_the_post_object_in_order(li, li_server, kwargs, visibility, content):
    li_server.reply(201, None, headers={"X-RestLi-Id": "urn:li:share:7"})
    result = await li.create_post(TOKEN, "782bbtaQ", "Hello ü", **kwargs)
    assert result == {"id": "urn:li:share:7", "body": None}
    sent = li_server.last
    assert (sent.method, sent.path) == ("POST", "/rest/posts")
    assert_rest_headers(sent)
    expected = [("author", "urn:li:person:782bbtaQ"), ("commentary", "Hello ü"), ("visibility", visibility),
                ("distribution", DISTRIBUTION), ("lifecycleState", "PUBLISHED"),
                ("isReshareDisabledByAuthor", False)]
    if content is not None:
        expected.append(("content", content))
    assert pairs_of(sent) == expected


async def test_create_post_without_id_header_still_succeeds(li, li_server):
    li_server.reply(201, {"ok": True})
    assert await li.create_post(TOKEN, "urn:li:organization:1", "x") == {"id": None, "body": {"ok": True}}
    assert pairs_of(li_server.last)[0] == ("author", "urn:li:organization:1")


@pytest.mark.parametrize("visibility", ["public", "LOGGED_IN", ""])
async def test_create_post_checks_visibility_before_sending(li, li_server, visibility):
    with pytest.raises(errors.ConfigurationError) as info:
        await li.create_post(TOKEN, "a", "x", visibility=visibility)
    assert str(info.value) == "`visibility` PUBLIC yoki CONNECTIONS bo'lishi kerak"
    assert li_server.requests == []


@pytest.mark.parametrize(
    "status, body, kind",
    [
        (422, {"message": "Field Value validation failed", "status": 422}, errors.ApiError),
        (503, {"message": "Service Unavailable"}, errors.ApiError),
        (429, {"serviceErrorCode": 101, "message": "Throttled", "status": 429}, errors.RateLimitError),
    ],
)
async def test_create_post_is_sent_exactly_once(li, li_server, sleeps, status, body, kind):
    li_server.reply(status, body, headers={"Retry-After": "1"})
    with pytest.raises(errors.ApiError) as info:
        await li.create_post(TOKEN, "a", "x")
    assert type(info.value) is kind and info.value.status == status
    assert (info.value.message, info.value.url) == (body["message"], li_server.url("/rest/posts"))
    assert len(li_server.requests) == 1 and sleeps == []


# ---- redirects of create_post ----

@pytest.mark.parametrize(
    "status, method, resent",
    [(307, "POST", True), (308, "POST", True), (302, "GET", False), (303, "GET", False)],
)
async def test_a_redirect_to_another_origin_carries_no_token(li, li_server, other_server, status, method, resent):
    li_server.route("/rest/posts", Reply(status, headers={"Location": other_server.url("/landing")}))
    other_server.reply(201, {"done": True}, headers={"x-restli-id": "urn:li:share:9"})
    assert await li.create_post(TOKEN, "a", "x") == {"id": "urn:li:share:9", "body": {"done": True}}
    assert_rest_headers(li_server.last)
    [hop] = other_server.requests
    headers = lower_headers(hop)
    assert "authorization" not in headers and headers["linkedin-version"] == VERSION
    assert hop.method == method and bool(hop.body) == resent and len(li_server.requests) == 1


async def test_a_redirect_within_the_origin_keeps_the_token_until_it_leaves(li, li_server, other_server):
    li_server.route("/rest/posts", Reply(307, headers={"Location": "/rest/posts-v2"}))
    li_server.route("/rest/posts-v2", Reply(307, headers={"Location": other_server.url("/away")}))
    other_server.route("/away", Reply(307, headers={"Location": li_server.url("/rest/back")}))
    li_server.route("/rest/back", Reply(201, headers={"x-restli-id": "urn:li:share:3"}))
    assert (await li.create_post(TOKEN, "a", "x"))["id"] == "urn:li:share:3"
    auth = [lower_headers(r).get("authorization") for r in li_server.requests]
    assert auth == [f"Bearer {TOKEN}", f"Bearer {TOKEN}", None]  # once dropped, never sent again
    assert "authorization" not in lower_headers(other_server.last)


@pytest.mark.parametrize(
    "path, call",
    [
        ("/v2/userinfo", lambda li: li.me(TOKEN)),
        ("/rest/posts", lambda li: li.posts(TOKEN, "a")),
        ("/rest/posts/urn%3Ali%3Ashare%3A1", lambda li: li.delete_post(TOKEN, "urn:li:share:1")),
    ],
)
async def test_operations_through_the_pipeline_keep_the_token_at_home_too(li, li_server, other_server, path, call):
    li_server.route(path.replace("%3A", ":"), Reply(302, headers={"Location": other_server.url("/elsewhere")}))
    other_server.reply(200, {"sub": "s"})
    await call(li)
    assert lower_headers(li_server.last)["authorization"] == f"Bearer {TOKEN}"
    assert "authorization" not in lower_headers(other_server.last)


async def test_a_redirect_loop_is_an_error_not_a_success(li, li_server):
    li_server.route("/rest/posts", Reply(307, headers={"Location": "/rest/posts"}))
    with pytest.raises(errors.ApiError) as info:
        await li.create_post(TOKEN, "a", "x")
    assert info.value.status == 307 and len(li_server.requests) == 11


async def test_no_secret_in_a_create_post_error(li, li_server, other_server):
    li_server.route("/rest/posts", Reply(302, headers={
        "Location": other_server.url(f"/landing?access_token={TOKEN}&code=code-SENTINEL&keep=1")}))
    other_server.reply(400, {"message": "Bad request"})
    with pytest.raises(errors.ApiError) as info:
        await li.create_post(TOKEN, "a", "x")
    error = info.value
    assert error.url == other_server.url("/landing?access_token=***&code=***&keep=1")
    shown = " ".join([str(error), repr(error), error.url, "".join(traceback.format_exception(error))])
    assert "SENTINEL" not in shown


async def test_an_unreachable_server_is_reported_by_the_http_layer_without_the_token(monkeypatch, session):
    import aiohttp
    import socket

    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    monkeypatch.setattr(endpoints, "LINKEDIN_REST", f"http://127.0.0.1:{port}/rest")
    client = LinkedIn(client_id="id", session=session)
    with pytest.raises(aiohttp.ClientConnectionError) as info:
        await client.create_post(TOKEN, "a", "x")
    assert not isinstance(info.value, errors.CorvaneError)
    assert "SENTINEL" not in "".join(traceback.format_exception(info.value))


async def test_a_malformed_answer_keeps_the_token_out_of_the_http_layers_error(monkeypatch, session):
    import asyncio

    import aiohttp

    async def garbage(reader, writer):
        await reader.readuntil(b"\r\n\r\n")
        writer.write(b"HTTP/1.1 abc\r\n\r\n")
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(garbage, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    monkeypatch.setattr(endpoints, "LINKEDIN_REST", f"http://127.0.0.1:{port}/rest")
    try:
        with pytest.raises(aiohttp.ClientResponseError) as info:
            await LinkedIn(client_id="id", session=session).create_post(TOKEN, "a", "x")
    finally:
        server.close()
    error = info.value
    assert error.request_info.headers["Authorization"] == "***"
    shown = " ".join([str(error), repr(error), "".join(traceback.format_exception(error))])
    assert "SENTINEL" not in shown


# ---- delete_post ----

@pytest.mark.parametrize(
    "urn, raw",
    [
        ("urn:li:share:1", "urn%3Ali%3Ashare%3A1"),
        ("urn:li:ugcPost:7/x y", "urn%3Ali%3AugcPost%3A7%2Fx%20y"),
    ],
)
async def test_delete_post_sends_the_urn_encoded_and_returns_it_as_given(li, li_server, urn, raw):
    li_server.reply(204, body=b"")
    assert await li.delete_post(TOKEN, urn) == {"deleted": True, "urn": urn}
    sent = li_server.last
    assert sent.method == "DELETE" and sent.raw_path == f"/rest/posts/{raw}"
    assert_rest_headers(sent)


async def test_delete_post_errors_come_from_the_pipeline(li, li_server):
    li_server.reply(404, {"message": "Not found", "serviceErrorCode": 100})
    with pytest.raises(errors.NotFoundError) as info:
        await li.delete_post(TOKEN, "urn:li:share:1")
    assert info.value.url == li_server.url("/rest/posts/urn%3Ali%3Ashare%3A1")


# ---- iter_posts ----

def page(ids, start, count, total=None):
    paging = {"start": start, "count": count, "links": []}
    if total is not None:
        paging["total"] = total
    return {"elements": [{"id": f"urn:li:share:{i}"} for i in ids], "paging": paging}


@pytest.mark.parametrize(
    "pages, ids, starts",
    [
        # LinkedIn's total ends the walk, though the last page is full.
        ([page([1, 2], 0, 2, 4), page([3, 4], 2, 2, 4)], [1, 2, 3, 4], ["0", "2"]),
        # Without a total, a page shorter than its count is the last.
        ([page([1, 2], 0, 2), page([3], 2, 2)], [1, 2, 3], ["0", "2"]),
        # LinkedIn caps the count: a page of its own full count is not short.
        ([page([1], 0, 1), page([2], 1, 1), page([], 2, 1)], [1, 2], ["0", "1", "2"]),
        # The same page again, by position or by content, ends the walk instead of looping.
        ([page([1, 2], 0, 2), page([1, 2], 0, 2)], [1, 2], ["0", "2"]),
        ([page([1, 2], 0, 2), page([1, 2], 2, 2)], [1, 2], ["0", "2"]),
        ([{}], [], ["0"]),
    ],
)
async def test_iter_posts_walks_start_count_pages(li, li_server, pages, ids, starts):
    for answer in pages:
        li_server.reply(200, answer)
    walk = li.iter_posts(TOKEN, "782bbtaQ", page_size=2)
    assert li_server.requests == []  # nothing is asked before the first item is
    got = []
    async for post in walk:
        got.append(post["id"])
        if len(got) == 1:  # one page held at a time: the next is asked for once this one is used up
            assert len(li_server.requests) == 1
    assert got == [f"urn:li:share:{i}" for i in ids]
    assert [dict(r.query)["start"] for r in li_server.requests] == starts
    first = li_server.requests[0]
    assert first.query == [("q", "author"), ("author", "urn:li:person:782bbtaQ"), ("start", "0"), ("count", "2")]
    assert_rest_headers(first)
    assert lower_headers(first)["x-restli-method"] == "FINDER"


@pytest.mark.parametrize(
    "args, kwargs, kind, message",
    [
        ((1, "a"), {}, TypeError, "iter_posts: token must be a str, not int"),
        ((TOKEN, None), {}, TypeError, "iter_posts: author must be a str, not NoneType"),
        ((TOKEN, "a"), {"page_size": "5"}, TypeError, "iter_posts: page_size must be an int, not str"),
        ((TOKEN, "a"), {"page_size": 101}, ValueError, "iter_posts: page_size must be from 1 to 100, not 101"),
    ],
)
def test_iter_posts_checks_its_arguments(li, args, kwargs, kind, message):
    with pytest.raises(kind) as info:
        li.iter_posts(*args, **kwargs)
    assert str(info.value) == message


async def test_iter_posts_of_a_page_without_rights_names_what_is_missing(li, li_server):
    li_server.reply(403, {"status": 403, "serviceErrorCode": 100, "code": "ACCESS_DENIED",
                          "message": "Not enough permissions to access: partnerApiPostsExternal.FINDER-author"})
    with pytest.raises(errors.PermissionError) as info:
        async for _ in li.iter_posts(TOKEN, "urn:li:organization:5515715"):
            pass
    assert info.value.message == NO_PRODUCT and "r_organization_social" in info.value.__notes__[0]


async def test_posts_refuses_an_empty_answer(li, li_server):
    li_server.reply(200, None, body=b"")
    with pytest.raises(errors.ApiError, match="^posts: LinkedIn's answer must be an object, not NoneType$"):
        await li.posts(TOKEN, "782bbtaQ")


# ---- organizations ----

async def test_organizations_lists_the_administered_pages_over_every_page(li, li_server):
    def acl(n):
        return {"roleAssignee": "urn:li:person:782bbtaQ", "role": "ADMINISTRATOR", "state": "APPROVED",
                "organization": f"urn:li:organization:{n}"}
    li_server.reply(200, {"elements": [acl(n) for n in range(100)], "paging": {"start": 0, "count": 100, "total": 101}})
    li_server.reply(200, {"elements": [acl(100), acl(3)], "paging": {"start": 100, "count": 100}})
    assert await li.organizations(TOKEN) == [f"urn:li:organization:{n}" for n in range(101)]
    first, second = li_server.requests
    assert (first.method, first.path) == ("GET", "/rest/organizationAcls")
    assert first.query == [("q", "roleAssignee"), ("role", "ADMINISTRATOR"), ("state", "APPROVED"),
                           ("start", "0"), ("count", "100")]
    assert dict(second.query)["start"] == "100"
    assert_rest_headers(first)
    assert lower_headers(first)["x-restli-method"] == "FINDER"


async def test_organizations_refuses_an_element_without_a_urn(li, li_server):
    body = {"elements": [{"role": "ADMINISTRATOR", "organization": 5}]}
    li_server.reply(200, body)
    with pytest.raises(errors.ApiError, match="^organizations: an element's organization must be a str, not int$") as info:
        await li.organizations(TOKEN)
    assert info.value.payload == body
