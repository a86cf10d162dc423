"""Graph batch requests: through the strict sandbox (splits, order, dependencies, per-operation
tokens, what did not run) and through scripted answers (secrets in every slot, throttles,
retries of the call as a whole)."""
from __future__ import annotations

import asyncio
import json

import pytest
from conftest import Held, Reply, cancel_leaving_none, tasks_named
from corvane import errors, http
from corvane.facebook import Facebook
from corvane.instagram import Instagram
from corvane.sandbox import Sandbox, graph
from corvane.sandbox.world import AD_ID, GRANTED_SCOPES, PAGE_STORE


def user_token(sb: Sandbox) -> str:
    return sb.world.issue_user_token("user", GRANTED_SCOPES)


@pytest.mark.parametrize("count, calls", [(0, []), (1, [1]), (50, [50]), (51, [50, 1]),
                                          (120, [50, 50, 20])])
async def test_order_kept_across_calls_of_at_most_fifty(sb, count, calls):
    fb = sb.facebook_client()
    # Every third request names a node that does not exist: its error stays in its own slot.
    requests = [{"path": f"missing{i}"} if i % 3 == 2 else {"path": "me", "params": {"fields": "id"}}
                for i in range(count)]
    got = await fb.batch(requests, user_token(sb))
    assert len(got) == count
    for i, answer in enumerate(got):
        if i % 3 == 2:
            assert isinstance(answer, errors.NotFoundError) and f"missing{i}" in answer.message
            assert answer.url.startswith("https://graph.facebook.com/v23.0/missing")
        else:
            assert answer == {"id": sb.world.user["id"]}
    assert sorted(sb.graph.batch.calls, reverse=True) == calls  # the calls go out together
    assert len(sb.graph.requests) == len(calls)


async def test_dependencies_and_per_operation_tokens(sb):
    fb = sb.facebook_client()
    lead_id = next(iter(sb.world.leads))
    page = sb.world.pages[PAGE_STORE].token
    got = await fb.batch([
        # The lead with the Page's token, its ad with the batch's (the user's) token.
        {"name": "lead", "path": lead_id, "token": page, "params": {"fields": "ad_id"}},
        {"path": "{result=lead:$.ad_id}", "params": {"fields": "name"}},
        {"name": "gone", "path": "700000000999999", "token": page},
        {"path": "me", "depends_on": "gone"},
        {"path": "{result=gone:$.id}"},
        {"name": "quiet", "path": "me", "omit_response_on_success": True},
        {"path": "me", "depends_on": "quiet", "params": {"fields": "id"}},
        {"path": "me", "token": "not-a-token"},
    ], user_token(sb))
    assert got[0] == {"id": lead_id, "ad_id": AD_ID}
    assert got[1] == {"id": AD_ID, "name": sb.world.ads[AD_ID]["name"]}
    assert isinstance(got[2], errors.NotFoundError)
    for not_run in got[3:5]:
        assert type(not_run) is errors.NotRunError and "'gone'" in not_run.message
    assert got[5] is None and got[6] == {"id": sb.world.user["id"]}
    assert isinstance(got[7], errors.AuthError)
    assert sb.graph.batch.calls == [8]
    # Each operation's own usage headers reach the client's throttle.
    assert "leadgen" in fb.usage["objects"][PAGE_STORE]


@pytest.mark.parametrize("requests, message", [
    ([{"path": "me", "name": "a"}] + [{"path": "me"}] * 54 + [{"path": "me", "depends_on": "a"}],
     "requests[55] refers to 'a' across a split"),
    ([{"path": "{result=b:$.id}"}, {"path": "me", "name": "b"}],
     "requests[0] refers to 'b', which no earlier request is named"),
    ([{"path": "me", "extra": 1}], "requests[0] has an unknown key 'extra'"),
    ([{"path": "https://evil.example/me"}], "requests[0]['path'] must be a relative Graph path"),
    ([{"path": "me", "method": "PUT"}], "requests[0]['method'] must be 'GET', 'POST' or 'DELETE'"),
    ([{"path": "me", "body": {"a": 1}}], "requests[0]['body'] is sent only with a POST"),
    ([{"path": 5}], "batch: requests[0]['path'] must be a str, not int"),
    ([{"path": "me", "token": 5}], "batch: requests[0]['token'] must be a str or None, not int"),
    ("me", "batch: requests must be a list of dicts, not str"),
])
async def test_refused_before_anything_is_sent(sb, requests, message):
    fb = sb.facebook_client()
    with pytest.raises((TypeError, ValueError), match=message.replace("[", r"\[").replace("(", r"\(")):
        await fb.batch(requests, user_token(sb))
    assert sb.graph.requests == []


async def test_instagram_login_has_no_batch():
    with pytest.raises(errors.ConfigurationError):
        await Instagram().batch([{"path": "me"}], "tok")


# ---- scripted answers ----

SENTINEL, OWN = "SENTINEL-batch-token-0001", "SENTINEL-own-token-0002"


@pytest.fixture
def fb(graph_host, session):
    return Facebook(app_id="1", app_secret="app-secret", session=session,
                    retry=http.RetryPolicy(attempts=2, backoff_base=0, jitter=0))


def slot(code, body, **headers):
    return {"code": code, "headers": [{"name": k.replace("_", "-"), "value": v} for k, v in headers.items()],
            "body": json.dumps(body)}


async def test_every_slot_masks_secrets_and_reads_its_own_throttle(fb, fake_server):
    quoted = f"Invalid token {SENTINEL} / {OWN} in ?access_token={OWN}"
    echo = {"error": {"message": quoted, "code": 190, "echo": [SENTINEL, OWN]}}
    usage = json.dumps({"1": [{"type": "pages", "estimated_time_to_regain_access": 2}]})
    fake_server.reply(json=[
        slot(400, echo), slot(500, {"error": {**echo["error"], "code": 2}}), None,
        slot(400, {"error": {"message": "(#80001) too many", "code": 80001}},
             X_Business_Use_Case_Usage=usage),
        {"code": 200, "headers": [], "body": "not json"},
    ])
    got = await fb.batch([{"path": "a", "token": OWN}, {"path": "b"}, {"path": "c"},
                          {"path": "d"}, {"path": "e"}], SENTINEL)
    assert [type(e) for e in got[:4]] == [errors.AuthError, errors.ApiError, errors.NotRunError,
                                         errors.RateLimitError]
    assert got[3].retry_after == 120 and got[4] == {"raw": "not json"}
    for error in got[:4]:
        shown = " ".join([str(error), repr(error), str(error.url), json.dumps(error.payload)])
        assert SENTINEL not in shown and OWN not in shown
    sent = fake_server.last
    assert (sent.method, sent.path) == ("POST", "/v23.0/")
    assert sent.params["access_token"] == SENTINEL and "appsecret_proof" in sent.params
    ops = json.loads(sent.form["batch"])
    assert ops[0]["relative_url"].startswith(f"a?access_token={OWN}&appsecret_proof=")
    assert ops[1] == {"method": "GET", "relative_url": "b", "omit_response_on_success": False}


@pytest.mark.parametrize("method, sent", [("GET", 2), ("POST", 1), ("DELETE", 1)])
async def test_call_retried_only_when_every_operation_reads(fb, fake_server, method, sent):
    fake_server.reply(status=500, json={"error": {"message": f"down {SENTINEL}", "code": 2}})
    fake_server.reply(json=[slot(200, {"id": "1"}), slot(200, {"id": "2"})])
    got = await fb.batch([{"path": "a"}, {"path": "b", "method": method}], SENTINEL)
    assert len(fake_server.requests) == sent
    if sent == 2:
        assert got == [{"id": "1"}, {"id": "2"}]
    else:
        # The failed call's error in each of its slots, masked; nothing was sent again.
        assert all(type(e) is errors.ApiError and e.status == 500 for e in got)
        assert SENTINEL not in str(got[0]) + json.dumps(got[0].payload)


async def test_an_answer_of_the_wrong_shape_fails_each_slot(fb, fake_server):
    fake_server.reply(json=[slot(200, {})])
    got = await fb.batch([{"path": "a"}, {"path": "b"}], "tok")
    assert [type(e) for e in got] == [errors.ApiError, errors.ApiError]


async def test_posts_insights_in_one_call_a_refusal_is_empty(sb):
    fb = sb.facebook_client()
    page = sb.world.pages[PAGE_STORE].token
    posts = [(await fb.publish_post(PAGE_STORE, page, message=f"p{i}"))["id"] for i in range(2)]
    got = await fb.posts_insights([posts[0], f"{PAGE_STORE}_404", posts[1]], page)
    assert list(got) == [posts[0], f"{PAGE_STORE}_404", posts[1]]
    assert got[f"{PAGE_STORE}_404"] == {} and got[posts[0]] == got[posts[1]] != {}
    assert sb.graph.batch.calls == [3]


async def test_sandbox_refuses_more_than_fifty_operations(sb):
    token = user_token(sb)
    form = {"batch": json.dumps([{"method": "GET", "relative_url": "me"}] * 51),
            "access_token": token, "appsecret_proof": graph.proof(token, sb.app_secret)}
    async with sb.session().post("https://graph.facebook.com/v23.0/", data=form) as answer:
        assert answer.status == 400
        error = (await answer.json())["error"]
    assert (error["type"], error["message"]) == (
        "GraphBatchException", "Too many requests in batch message. Maximum batch size is 50")
    assert sb.graph.batch.calls == []


async def test_cancelling_a_batch_cancels_its_calls(fb, fake_server):
    fake_server.route("/v23.0/", held := Held(Reply(json=[])))
    task = asyncio.ensure_future(fb.batch([{"path": "me"}] * 120, "tok"))
    await asyncio.wait_for(held.started.wait(), 5)
    assert len(tasks_named("call")) == 3
    await cancel_leaving_none(task, "call")
    held.released.set()


async def test_leads_with_their_ads_in_one_call_each_slot_as_alone(sb):
    fb = sb.facebook_client()
    organic = await sb.submit_lead({"full_name": "Dilnoza"}, ad_id=None, deliver=False)
    ids = [*sb.world.leads, "700000000999999"]
    assert organic in ids
    got = await fb.leads_with_context(ids, sb.world.pages[PAGE_STORE].token,
                                      ad_token=user_token(sb))
    assert sb.graph.batch.calls == [2 * len(ids)]
    assert isinstance(got[-1], errors.NotFoundError)
    for leadgen_id, (lead, context) in zip(ids, got[:-1]):
        assert lead.id == leadgen_id
        alone = await fb.ad_context(lead.ad_id, user_token(sb))
        assert context == alone


async def test_a_receivers_lead_asks_of_one_page_share_calls(sb):
    from corvane.receiver.fetch import LeadFetcher

    ids = [await sb.submit_lead({"full_name": f"Mijoz {i}"}, deliver=False) for i in range(60)]
    fetcher = LeadFetcher(sb.facebook_client())
    page, user = sb.world.pages[PAGE_STORE].token, user_token(sb)
    got = await asyncio.gather(*(fetcher.fetch(i, page, user) for i in ids),
                               fetcher.fetch("700000000999999", page, None),
                               return_exceptions=True)
    assert [lead.id for lead, _ in got[:-1]] == ids and isinstance(got[-1], errors.NotFoundError)
    assert sorted(sb.graph.batch.calls) == [2, 20, 50, 50] and fetcher.calls == 4
