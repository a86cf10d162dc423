"""Pacing from the platforms' usage figures, against the strict sandbox: near a budget's limit
requests go one at a time and never meet the block; a blocked budget lets nothing out; a spent
LinkedIn daily quota holds the member's token until midnight UTC; the figures are readable."""
from __future__ import annotations

import asyncio
import logging
import time

import aiohttp
import pytest

from corvane.errors import RateLimitError
from corvane.facebook import Facebook
from corvane.http import RetryPolicy, Throttle
from corvane.instagram import Instagram
from corvane.sandbox import Sandbox, Usage
from corvane.sandbox.world import GRANTED_SCOPES, PAGE_STORE

from test_sandbox_linkedin import sign_in


def counting(sb: Sandbox) -> tuple[aiohttp.ClientSession, list[str]]:
    """A session of the sandbox that lists the URL of every request it sends."""
    sent: list[str] = []

    async def on_start(session, context, params):
        sent.append(str(params.url))

    trace = aiohttp.TraceConfig()
    trace.on_request_start.append(on_start)
    return sb.session(trace_configs=[trace]), sent


async def test_near_the_limit_requests_go_one_at_a_time_and_never_meet_the_block(caplog):
    usage = Usage(calls=20, window=1.0, block=30, penalty=30)
    async with Sandbox(usage=usage) as sb:
        throttle = Throttle(window=1.0)
        fb = sb.facebook_client(throttle=throttle, retry=RetryPolicy(max_retry_after=5))
        token = sb.world.pages[PAGE_STORE].token

        async def worker() -> None:
            for _ in range(10):
                await fb.lead_forms(PAGE_STORE, token)

        with caplog.at_level(logging.INFO, logger="corvane"):
            started = time.monotonic()
            await asyncio.gather(*(worker() for _ in range(4)))
        assert (usage.blocks, usage.calls_while_blocked) == (0, 0)
        assert time.monotonic() - started > 1.0  # 40 calls of a 20-call second were spread out
        snapshot = fb.usage
        assert snapshot == throttle.usage
        assert 0 < snapshot["objects"][PAGE_STORE]["leadgen"]["call_count"] <= 100
        assert snapshot["ad_accounts"] == {}
    lines = [r for r in caplog.records if r.name == "corvane.facebook"]
    assert any(PAGE_STORE in r.getMessage() and "(leadgen)" in r.getMessage() for r in lines)
    assert not any(token in r.getMessage() for r in caplog.records)


async def test_a_blocked_budget_sends_nothing_and_clients_sharing_the_throttle_know_it():
    async with Sandbox(usage=Usage(calls=1, block=600)) as sb:
        session, sent = counting(sb)
        throttle = Throttle()
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=session,
                      throttle=throttle)
        token = sb.world.pages[PAGE_STORE].token
        await fb.lead_forms(PAGE_STORE, token)
        with pytest.raises(RateLimitError):  # the throttle answer: ten minutes to regain access
            await fb.lead_forms(PAGE_STORE, token)
        before = len(sent)
        ig = Instagram.via_facebook(app_secret=sb.app_secret, session=session, throttle=throttle)
        calls = [fb.lead_forms(PAGE_STORE, token) for _ in range(199)]
        calls.append(ig.profile(token, ig_user_id="17841400000000000"))
        results = await asyncio.gather(*calls, return_exceptions=True)
        # Inside a batch of another token's, the blocked token's operation holds the call.
        [slot] = await fb.batch([{"path": f"{PAGE_STORE}/leadgen_forms", "token": token}],
                                sb.world.issue_user_token("user", GRANTED_SCOPES))
        results.append(slot)
        assert len(sent) == before
        assert all(isinstance(r, RateLimitError) and 590 < r.retry_after <= 600 for r in results)
        assert "yuborilmadi" in str(results[0]) and token not in str(results[0])
        [paced] = fb.usage["paced"]
        assert (paced["id"], paced["type"], paced["state"]) == (PAGE_STORE, "leadgen", "blocked")
        assert paced["until"] > time.time() + 500
        # Without pacing, the request goes out and meets the platform's own refusal.
        bare = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=session,
                        throttle=None, retry=RetryPolicy(attempts=1))
        with pytest.raises(RateLimitError):
            await bare.lead_forms(PAGE_STORE, token)
        assert len(sent) == before + 1 and sb.usage.calls_while_blocked == 1
        assert bare.usage == {"app": None, "page": None, "objects": {}, "ad_accounts": {},
                              "paced": []}


async def test_a_spent_linkedin_quota_waits_for_midnight_utc_without_retries(sleeps):
    async with Sandbox() as sb:
        token = (await sign_in(sb))["access_token"]
        sb.world.linkedin.member_daily_quota = 1
        session, sent = counting(sb)
        li = sb.linkedin_client()
        li = type(li)(client_id=sb.world.linkedin.client_id, session=session)
        me = await li.me(token)
        with pytest.raises(RateLimitError) as caught:
            await li.posts(token, me.id)
        midnight = 86400 - time.time() % 86400
        assert abs(caught.value.retry_after - midnight) < 5 and sleeps == []
        assert len(sent) == 2
        with pytest.raises(RateLimitError) as again:
            await li.posts(token, me.id)
        assert len(sent) == 2 and abs(again.value.retry_after - midnight) < 5
        [paced] = li.usage["paced"]
        assert paced["id"].startswith("token:") and token not in repr(li.usage)


@pytest.mark.parametrize("options, error", [
    ({"threshold": 0}, ValueError), ({"threshold": 101}, ValueError),
    ({"window": -1}, ValueError), ({"threshold": "90"}, TypeError), ({"window": True}, TypeError),
])
def test_throttle_settings_are_checked(options, error):
    with pytest.raises(error, match=r"^Throttle: \w+ must be "):
        Throttle(**options)
    with pytest.raises(TypeError, match="throttle must be a Throttle or None, not int"):
        Facebook(app_id="1", app_secret="s", throttle=3)


def test_usage_headers_are_read_as_the_platform_writes_them():
    throttle = Throttle()
    throttle._observe({
        "x-app-usage": '{"call_count":28,"total_time":25,"total_cputime":25}',
        "X-Business-Use-Case-Usage": '{"1001":[{"type":"pages","call_count":96,"total_cputime":12,'
                                     '"total_time":14,"estimated_time_to_regain_access":0}],'
                                     '"1001 ":[],"1001":[{"type":"pages","call_count":97}]}',
        "X-Ad-Account-Usage": '{"acc_id_util_pct":9.67,"reset_time_duration":100,'
                              '"ads_api_access_tier":"standard_access"}',
        "X-Page-Usage": "not json",
    }, "https://graph.facebook.com/v23.0/act_42/insights?access_token=x")
    usage = throttle.usage
    assert usage["app"] == {"call_count": 28, "total_time": 25, "total_cputime": 25}
    assert usage["page"] is None
    assert usage["objects"]["1001"]["pages"] == {"call_count": 97, "total_time": 14,
                                                 "total_cputime": 12, "regain_at": None}
    account = usage["ad_accounts"]["act_42"]
    assert account["acc_id_util_pct"] == 9.67 and account["ads_api_access_tier"] == "standard_access"
    assert 90 < account["reset_at"] - time.time() <= 100
    assert [(p["id"], p["state"]) for p in usage["paced"]] == [("1001", "slow")]


@pytest.mark.parametrize("name, text", [
    ("X-App-Usage", '{{"call_count":{},"total_time":1,"total_cputime":1}}'),
    ("X-Business-Use-Case-Usage", '{{"1001":[{{"type":"pages","call_count":{},"total_time":1}}]}}'),
])
def test_a_repeated_usage_header_counts_as_much_as_a_new_one(name, text):
    """Answers whose header repeats the one before word for word are counted without being read
    again: the pacing must come out as if each had been read."""
    figures = [91, 91, 91, 93, 93, 96]
    repeated, respelled = Throttle(), Throttle()
    for n, percent in enumerate(figures):
        repeated._observe({name: text.format(percent)})
        respelled._observe({name: text.format(percent).replace(":", ":" + " " * (n % 2 + 1))})
    assert repeated.usage["paced"] == respelled.usage["paced"] != []
