"""Instagram comments and Direct: requests of each operation, the shaped conversations, profile
enrichment (bounded, collected, cancellable), against the loopback fake server."""
import asyncio
import json
import logging

import pytest
from conftest import SAMPLES_DIR, Held, Reply, cancel_leaving_none, tasks_named

from corvane import endpoints, errors, http
from corvane.instagram import Instagram

PERMISSION_DENIED = json.loads(
    (SAMPLES_DIR / "errors" / "graph-10--springsocial-permissionDenied.json").read_text())


@pytest.fixture
def ig(hosts, session):
    return Instagram(session=session, retry=http.RetryPolicy(attempts=1))


@pytest.fixture
def fb_ig(hosts, session):
    return Instagram.via_facebook(app_secret="s", session=session, retry=http.RetryPolicy(attempts=1))


def conversation(cid, *participants, messages=None):
    conv = {"id": cid, "updated_time": "2025-01-02T10:00:00+0000",
            "participants": {"data": [{"id": p, "username": f"u{p}"} for p in participants]}}
    if messages is not None:
        conv["messages"] = {"data": messages}
    return conv


def lookups(server):
    return [r.path.rsplit("/", 1)[1] for r in server.requests if "conversations" not in r.path]


# ---- comments ----

@pytest.mark.parametrize("call, method, path, query", [
    (lambda c: c.reply_comment("c1", "tok", "Rahmat!"), "POST", "/ig/v23.0/c1/replies", [("message", "Rahmat!")]),
    (lambda c: c.hide_comment("c1", "tok"), "POST", "/ig/v23.0/c1", [("hide", "true")]),
    (lambda c: c.hide_comment("c1", "tok", False), "POST", "/ig/v23.0/c1", [("hide", "false")]),
    (lambda c: c.delete_comment("c1", "tok"), "DELETE", "/ig/v23.0/c1", []),
])
async def test_comment_moderation(ig, hosts, call, method, path, query):
    hosts.reply(json={"success": True})
    assert await call(ig) == {"success": True}
    request = hosts.last
    assert (request.method, request.path, request.body) == (method, path, b"")
    assert request.query == [*query, ("access_token", "tok")]


async def test_comments_list(ig, hosts):
    hosts.reply(json={"data": [{"id": str(i), "text": "zo'r"} for i in range(60)]})
    items = await ig.comments("m1", "tok")
    assert len(items) == 50
    assert hosts.last.path == "/ig/v23.0/m1/comments"
    assert hosts.last.query[0] == ("fields", endpoints.Fields.IG_COMMENT)


# ---- conversations ----

@pytest.mark.parametrize("call", [
    lambda c: c.conversations("pt"),
    lambda c: c.conversations("pt", page_id=""),
    lambda c: c.send_message("r1", "pt", "salom", ig_user_id="178"),
])
async def test_facebook_mode_needs_page_id(fb_ig, hosts, call):
    with pytest.raises(errors.ConfigurationError, match="Facebook login oqimida `page_id` majburiy"):
        await call(fb_ig)
    assert hosts.requests == []


@pytest.mark.parametrize("mode, kwargs, path, query", [
    ("ig", {"after": ""}, "/ig/v23.0/me/conversations", [("limit", "25")]),
    ("ig", {"limit": 5, "after": "QVFI"}, "/ig/v23.0/me/conversations", [("limit", "5"), ("after", "QVFI")]),
    ("fb", {"page_id": "42", "after": "QVFI"}, "/fb/v23.0/42/conversations",
     [("limit", "25"), ("platform", "instagram"), ("after", "QVFI")]),
])
async def test_conversations_query(ig, fb_ig, hosts, mode, kwargs, path, query):
    made = ig if mode == "ig" else fb_ig
    hosts.reply(json={})
    got = await made.conversations("tok", **kwargs)
    assert got == {"data": [], "paging": None}
    assert len(hosts.requests) == 1
    assert hosts.last.path == path
    assert hosts.last.query[:len(query) + 1] == [("fields", endpoints.Fields.IG_CONVERSATION), *query]


async def test_enrichment_and_shape(fb_ig, hosts):
    last = {"id": "mid.1", "message": "Narxi qancha?"}
    hosts.reply(json={
        "data": [conversation("t1", "178", "c1", messages=[last, {"id": "mid.0"}]),
                 conversation("t2", "c1", "42"),
                 conversation("t3", "178", "c1", "c2"),
                 conversation("t4", "178")],
        "paging": {"cursors": {"after": "X"}},
    })
    # The Facebook-login mode looks the profiles up in one Graph batch.
    hosts.route("/fb/v23.0/", Reply(json=[
        {"code": 200, "body": json.dumps({"id": "c1", "username": "ali", "name": "Ali V"})},
        {"code": 400, "body": json.dumps(PERMISSION_DENIED)}]))
    got = await fb_ig.conversations("pt", ig_user_id="178", page_id="42")
    assert len(hosts.requests) == 2
    looked_up = [op["relative_url"].split("?")[0] for op in json.loads(hosts.last.form["batch"])]
    assert looked_up == ["c1", "c2"]  # once each; never the business
    t1, t2, t3, t4 = got["data"]
    assert list(t1) == ["id", "updated_time", "message_count", "unread_count", "contact",
                        "contacts", "last_message"]
    ali = {"id": "c1", "username": "ali", "name": "Ali V", "available": True}
    assert t1["contact"] == ali and t1["contacts"] == [ali] and t1["last_message"] == last
    assert t2["contacts"] == [ali] and t2["last_message"] is None and t2["message_count"] is None
    assert t3["contacts"][1] == {"id": "c2", "username": "uc2", "available": False,
                                 "reason": PERMISSION_DENIED["error"]["message"]}
    assert t4["contact"] is None and t4["contacts"] == []
    assert got["paging"] == {"cursors": {"after": "X"}}


async def test_enrich_off_keeps_participants(ig, hosts):
    sent = [conversation("t1", "c1", "c2")]
    hosts.reply(json={"data": sent})
    got = await ig.conversations("tok", enrich=False)
    assert len(hosts.requests) == 1
    assert got["data"][0]["contacts"] == sent[0]["participants"]["data"]


async def test_failed_lookup_other_than_refusal(ig, hosts, caplog):
    caplog.set_level(logging.INFO, "corvane.instagram")
    # An id that cannot name a node fails its look-up before any request.
    hosts.reply(json={"data": [conversation("t1", "c1", "bad/id")]})
    hosts.route("/ig/v23.0/c1", Reply(json={"id": "c1", "name": "Ali"}))
    got = await ig.conversations("tok")
    assert got["data"][0]["contacts"] == [
        {"id": "c1", "username": "uc1", "name": "Ali", "available": True},
        {"id": "bad/id", "username": "ubad/id"},
    ]
    assert [r.levelname for r in caplog.records if "Profil boyitishda xato" in r.getMessage()] == ["WARNING"]


async def test_twenty_customers_at_most_eight_in_flight(ig, hosts):
    customers = [f"c{i}" for i in range(20)]
    hosts.reply(json={"data": [conversation(f"t{i}", c) for i, c in enumerate(customers)]})
    in_flight, peak = 0, 0

    async def lookup(request):
        nonlocal in_flight, peak
        in_flight += 1
        peak = max(peak, in_flight)
        await asyncio.sleep(0.02)
        in_flight -= 1
        return Reply(json={"id": request.path.rsplit("/", 1)[1], "name": "x"})

    for c in customers:
        hosts.route(f"/ig/v23.0/{c}", lookup)
    got = await ig.conversations("tok")
    assert peak == 8
    assert sorted(lookups(hosts)) == sorted(customers)
    assert all(conv["contact"]["available"] for conv in got["data"])


async def test_cancelling_conversations_leaks_nothing(ig, hosts):
    held = Held(Reply(json={}))
    hosts.reply(json={"data": [conversation(f"t{i}", f"c{i}") for i in range(12)]})
    for i in range(12):
        hosts.route(f"/ig/v23.0/c{i}", held)
    task = asyncio.ensure_future(ig.conversations("tok"))
    await asyncio.wait_for(held.started.wait(), 5)
    assert len(tasks_named("fetch")) == 12  # eight waiting on the server, four on the semaphore
    await cancel_leaving_none(task, "fetch")
    assert len(lookups(hosts)) <= 8
    held.released.set()


# ---- iter_conversations ----

def two_inbox_pages(hosts, path="/ig/v23.0/me/conversations"):
    def page(request):
        if request.params.get("after") == "2":
            return Reply(json={"data": [conversation("t3", "c1", "c3")]})
        return Reply(json={"data": [conversation("t1", "c1"), conversation("t2", "c2", "c1")],
                           "paging": {"next": hosts.url(f"{path}?after=2")}})

    hosts.route(path, page)
    for c in ("c1", "c2", "c3"):
        hosts.route(f"/ig/v23.0/{c}", Reply(json={"id": c, "name": c.upper()}))


async def test_iter_conversations_enriches_page_by_page(ig, hosts):
    two_inbox_pages(hosts)
    walk = ig.iter_conversations("tok")
    first = await walk.__anext__()
    # The whole first page's customers, each once, before its first item; nothing of page two.
    assert sorted(lookups(hosts)) == ["c1", "c2"] and len(hosts.requests) == 3
    assert first == ig._shape(conversation("t1", "c1"), set()) | {
        "contact": {"id": "c1", "username": "uc1", "name": "C1", "available": True},
        "contacts": [{"id": "c1", "username": "uc1", "name": "C1", "available": True}]}
    rest = [conv async for conv in walk]
    assert [c["id"] for c in rest] == ["t2", "t3"]
    assert [p["name"] for p in rest[1]["contacts"]] == ["C1", "C3"]
    assert sorted(lookups(hosts)) == ["c1", "c1", "c2", "c3"]  # a page's look-ups are its own


async def test_iter_conversations_cancelled_while_enriching_enriches_again(ig, hosts):
    hosts.reply(json={"data": [conversation("t1", "c1")]})
    calls = 0

    async def lookup(request):
        nonlocal calls
        calls += 1
        if calls == 1:
            await asyncio.sleep(30)
        return Reply(json={"id": "c1", "name": "Ali"})

    hosts.route("/ig/v23.0/c1", lookup)
    walk = ig.iter_conversations("tok")
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(walk.__anext__(), 0.2)
    conv = await walk.__anext__()
    assert conv["contact"]["name"] == "Ali"
    assert len([r for r in hosts.requests if "conversations" in r.path]) == 1
    with pytest.raises(StopAsyncIteration):
        await walk.__anext__()


# ---- messages, contact, send_message ----

@pytest.mark.parametrize("kwargs, query", [
    ({"after": ""}, [("limit", "50")]),
    ({"limit": 10, "after": "QVFIU"}, [("limit", "10"), ("after", "QVFIU")]),
])
async def test_messages(ig, hosts, kwargs, query):
    answer = {"data": [{"id": "m1"}], "paging": {"next": "https://elsewhere"}}
    hosts.reply(json=answer)
    assert await ig.messages("t1", "tok", **kwargs) == answer
    assert len(hosts.requests) == 1
    assert hosts.last.path == "/ig/v23.0/t1/messages"
    assert hosts.last.query == [("fields", endpoints.Fields.IG_MESSAGE), *query, ("access_token", "tok")]


async def test_contact_refused_and_other_failures(ig, hosts, caplog):
    caplog.set_level(logging.INFO, "corvane.instagram")
    hosts.reply(status=400, json=PERMISSION_DENIED)
    got = await ig.contact("c9", "tok")
    assert got == {"id": "c9", "available": False, "reason": PERMISSION_DENIED["error"]["message"]}
    assert "IG profil olinmadi (igsid=c9)" in caplog.text
    assert hosts.last.query[0] == ("fields", endpoints.Fields.IG_PARTICIPANT)
    with pytest.raises(ValueError):
        await ig.contact("c9?x=1", "tok")


@pytest.mark.parametrize("mode, kwargs, path", [
    ("ig", {}, "/ig/v23.0/me/messages"),
    ("ig", {"ig_user_id": "178"}, "/ig/v23.0/178/messages"),
    ("fb", {"ig_user_id": "178", "page_id": "42"}, "/fb/v23.0/42/messages"),
])
async def test_send_message(ig, fb_ig, hosts, mode, kwargs, path):
    made = ig if mode == "ig" else fb_ig
    hosts.reply(json={"recipient_id": "c1", "message_id": "mid.2"})
    await made.send_message("c1", "tok", "Salom!", **kwargs)
    request = hosts.last
    assert (request.method, request.path) == ("POST", path)
    assert request.body.decode().startswith('{"recipient"')
    assert request.json() == {"recipient": {"id": "c1"}, "message": {"text": "Salom!"}}
    assert request.params["access_token"] == "tok"


async def test_outside_the_window_is_permission_error(ig, hosts):
    hosts.reply(status=400, json=PERMISSION_DENIED)
    with pytest.raises(errors.PermissionError):
        await ig.send_message("c1", "tok", "kech")
