"""Instagram account insights (range clamping, metric list) and follower demographics, and the
flattening of breakdown answers."""
import datetime

import pytest
from conftest import Reply

from corvane import endpoints, errors, http, policy
from corvane.instagram import Instagram, _flatten  # type: ignore[attr-defined]

DAY = datetime.timedelta(days=1)


@pytest.fixture
def ig(monkeypatch, fake_server, session):
    monkeypatch.setattr(endpoints.InstagramGraph, "host", fake_server.base)
    return Instagram(session=session, retry=http.RetryPolicy(attempts=1))


def breakdown_answer(*results):
    return {"data": [{"name": "follower_demographics", "period": "lifetime",
                      "total_value": {"breakdowns": [{"dimension_keys": ["age", "gender"],
                                                      "results": list(results)}]}}]}


# ---- insights ----

@pytest.mark.parametrize("since, until, sent", [
    (None, None, (-29, 0)),
    (None, 10, (-29, 0)),        # a future end becomes today, the start follows it
    (-45, -1, (-31, -1)),        # over 30 days: the last 30 are kept
    (-31, -1, (-31, -1)),        # exactly 30 days apart: unchanged
    (-2, -5, (-2, -5)),          # reversed: no clamping applies
])
async def test_insights_range(ig, fake_server, since, until, sent):
    today = datetime.date.today()
    as_date = lambda offset: None if offset is None else today + offset * DAY
    fake_server.reply(json={"data": []})
    got = await ig.insights("tok", since=as_date(since), until=as_date(until))
    first, last = (str(today + offset * DAY) for offset in sent)
    assert got == {"since": first, "until": last, "metrics": {}}
    assert fake_server.last.path == "/v23.0/me/insights"
    assert fake_server.last.query[1:5] == [("period", "day"), ("metric_type", "total_value"),
                                           ("since", first), ("until", last)]


async def test_insights_metrics(ig, fake_server):
    fake_server.reply(json={"data": [
        {"name": "reach", "period": "day", "total_value": {"value": 1200}},
        {"name": "views", "period": "day"},
        {"name": "accounts_engaged", "total_value": {}},
        {"name": "reach", "total_value": {"value": 1300}},
    ]})
    got = await ig.insights("tok", ig_user_id="178", since=datetime.datetime(2025, 3, 1, 23, 59),
                            until=datetime.date(2025, 3, 10))
    assert (got["since"], got["until"]) == ("2025-03-01", "2025-03-10")
    assert got["metrics"] == {"reach": 1300, "views": None, "accounts_engaged": None}
    assert fake_server.last.path == "/v23.0/178/insights"
    assert fake_server.last.params["metric"] == policy.BASELINE["metrics"]["IG_ACCOUNT_INSIGHTS"]


async def test_insights_reads_the_metric_list_at_every_call(ig, fake_server):
    policy.install({"metrics": {"IG_ACCOUNT_INSIGHTS": "reach"}})
    try:
        await ig.insights("tok")
        policy.install({"metrics": {}})
        with pytest.raises(LookupError, match="IG_ACCOUNT_INSIGHTS"):
            await ig.insights("tok")
    finally:
        policy.reset()
    await ig.insights("tok")
    # Retired in every version: one of them fails the whole request.
    assert [r.params["metric"] for r in fake_server.requests] == [
        "reach", "reach,views,accounts_engaged,total_interactions,profile_links_taps"]


@pytest.mark.parametrize("kwargs, error", [
    ({"since": "2025-01-01"}, TypeError),
    ({"until": 20250101}, TypeError),
])
async def test_insights_argument_types(ig, fake_server, kwargs, error):
    with pytest.raises(error):
        await ig.insights("tok", **kwargs)
    assert fake_server.requests == []


async def test_insights_refusal_propagates(ig, fake_server):
    fake_server.reply(status=400, json={"error": {"message": "(#100) bad metric", "code": 100}})
    with pytest.raises(errors.ApiError):
        await ig.insights("tok")


# ---- demographics ----

async def test_demographics_with_one_refused_breakdown(ig, fake_server):
    def reply(request):
        if request.params["breakdown"] == "city":
            return Reply(status=400, json={"error": {
                "message": "(#10) Not enough users to show demographics", "code": 10}})
        return Reply(json=breakdown_answer({"dimension_values": ["25-34", "F"], "value": 120}))

    fake_server.route("/v23.0/178/insights", reply)
    got = await ig.demographics("tok", ig_user_id="178")
    assert list(got) == ["age,gender", "city", "country"]
    assert got["age,gender"] == {"available": True, "values": {"25-34 / F": 120}}
    assert got["city"] == {"available": False,
                           "reason": "(#10) Not enough users to show demographics"}
    assert got["country"]["available"] is True
    assert [r.query[:5] for r in fake_server.requests] == [
        [("metric", "follower_demographics"), ("period", "lifetime"), ("metric_type", "total_value"),
         ("breakdown", b), ("timeframe", "this_month")] for b in ("age,gender", "city", "country")]


async def test_demographics_needs_the_account_in_facebook_mode(fake_server, session):
    fb_ig = Instagram.via_facebook(app_secret="s", session=session)
    with pytest.raises(errors.ConfigurationError):
        await fb_ig.demographics("pt")
    assert fake_server.requests == []


# ---- _flatten ----

@pytest.mark.parametrize("answer, flat", [
    ({}, {}),
    ({"data": []}, {}),
    ({"data": [{"name": "x"}]}, {}),
    (breakdown_answer({"dimension_values": ["25-34", "F"], "value": 120},
                      {"dimension_values": ["Toshkent"], "value": 7},
                      {"dimension_values": [], "value": 1},
                      {"dimension_values": [860, "UZ"]}),
     {"25-34 / F": 120, "Toshkent": 7, "": 1, "860 / UZ": None}),
    (breakdown_answer({"dimension_values": ["UZ"], "value": 1},
                      {"dimension_values": ["KZ"], "value": 2},
                      {"dimension_values": ["UZ"], "value": 3}),
     {"UZ": 3, "KZ": 2}),
])
def test_flatten(answer, flat):
    got = _flatten(answer)
    assert got == flat and list(got) == list(flat)


@pytest.mark.parametrize("value", [None, [], "data"])
def test_flatten_wants_a_dict(value):
    with pytest.raises(TypeError):
        _flatten(value)
