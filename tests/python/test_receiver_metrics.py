"""GET /metrics: who may read it, and that its figures are the receiver's and the store's."""
from __future__ import annotations

import json

import pytest
from prometheus_client.parser import text_string_to_metric_families

from corvane.receiver import ForwardSettings
from corvane.sandbox import Sandbox
from corvane.sandbox.world import PAGE_STORE
from receiver_harness import Running, config_for, get

ADMIN, METRICS, FORWARD = "admin-sentinel-m1", "metrics-sentinel-m1", "forward-sentinel-m1"


@pytest.mark.parametrize("path, bearer, query, status", [
    ("/metrics", None, "", 403),
    ("/metrics", "metrics-sentinel-m", "", 403),
    ("/metrics", ADMIN, "", 200),
    ("/metrics", METRICS, "", 200),
    ("/metrics", None, f"?admin_token={METRICS}", 403),  # a header only, and no admin token
    ("/leads", METRICS, "", 403),  # it opens /metrics, nothing else
])
async def test_metrics_need_the_admin_or_the_metrics_token(sb, tmp_path, path, bearer, query, status):
    config = config_for(sb, admin_token=ADMIN, metrics_token=METRICS, trust_loopback=False)
    running = await Running(sb, str(tmp_path / "m.sqlite3"), config).start()
    try:
        headers = {"Authorization": f"Bearer {bearer}"} if bearer else {}
        got, text = await get(running.base + path + query, headers=headers)
        assert got == status
        if status == 200:
            assert "corvane_receiver_deliveries_total" in text
    finally:
        await running.stop()


def samples(text: str) -> dict[str, float]:
    """name{label="value"} -> value, one label at most."""
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            label = "".join(f'{{{k}="{v}"}}' for k, v in s.labels.items())
            out[s.name + label] = s.value
    return out


@pytest.fixture(params=["sqlite", "postgres"])
def db(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "m.sqlite3")
    return request.getfixturevalue("postgres_db")


async def test_figures_match_what_happened(sb, db):
    # The CRM can't be reached: the stored lead's one forward attempt fails for good.
    forward = ForwardSettings("http://127.0.0.1:9/crm", FORWARD, attempts=1, poll=0.05)
    running = await Running(sb, db, config_for(sb, admin_token=ADMIN, forward=forward)).start()
    try:
        await running.subscribe()
        await running.connect()
        stored = await sb.submit_lead({"full_name": "Malika Yusupova"})
        await running.wait_leads(1)
        assert await sb.deliver(stored) == 200  # a duplicate
        for page, leadgen in ((PAGE_STORE, "999000999"), ("123404321", "999000998")):
            # A lead the Graph API doesn't know (failed for good), and one of a Page never
            # connected (waiting for it).
            body = json.dumps({"object": "page", "entry": [{"id": page, "time": 1, "changes": [
                {"field": "leadgen", "value": {"leadgen_id": leadgen, "page_id": page}}]}]}).encode()
            assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200

        async def settled() -> bool:
            figures = await running.store.metrics()
            leads = await running.store.leads()
            return (figures["failed"], figures["waiting"]) == (1, 1) and leads[0]["forward_status"] == "failed"
        await running.wait(settled)

        status, text = await get(running.base + "/metrics", headers={"Authorization": f"Bearer {ADMIN}"})
        assert status == 200
        got = samples(text)
        assert {k: got[k] for k in (
            "corvane_receiver_deliveries_total", "corvane_receiver_events_total",
            "corvane_receiver_duplicates_total", 'corvane_receiver_fetch_failures_total{kind="not_found"}',
            "corvane_receiver_forward_failures_total", 'corvane_receiver_events_open{state="pending"}',
            'corvane_receiver_events_open{state="waiting"}', 'corvane_receiver_events_open{state="failed"}',
            "corvane_receiver_leads_stored", "corvane_receiver_forward_failed_leads",
            "corvane_receiver_store_up", 'corvane_receiver_throttle_paced_budgets{state="blocked"}')} == {
            "corvane_receiver_deliveries_total": 4, "corvane_receiver_events_total": 4,
            "corvane_receiver_duplicates_total": 1, 'corvane_receiver_fetch_failures_total{kind="not_found"}': 1,
            "corvane_receiver_forward_failures_total": 1, 'corvane_receiver_events_open{state="pending"}': 0,
            'corvane_receiver_events_open{state="waiting"}': 1, 'corvane_receiver_events_open{state="failed"}': 1,
            "corvane_receiver_leads_stored": 1, "corvane_receiver_forward_failed_leads": 1,
            "corvane_receiver_store_up": 1, 'corvane_receiver_throttle_paced_budgets{state="blocked"}': 0}
        assert 0 < got["corvane_receiver_oldest_pending_seconds"] < 60
        assert 'corvane_receiver_app_usage_percent{figure="call_count"}' in got  # the sandbox's usage header

        page_token, user_token = await running.store.tokens(PAGE_STORE)
        for secret in (ADMIN, FORWARD, sb.app_secret, page_token, user_token):
            assert secret not in text

        # A store that doesn't answer leaves its figures out; the process's own are still read.
        await running.store.close()
        status, text = await get(running.base + "/metrics", headers={"Authorization": f"Bearer {ADMIN}"})
        got = samples(text)
        assert status == 200 and got["corvane_receiver_store_up"] == 0
        assert got["corvane_receiver_deliveries_total"] == 4 and "corvane_receiver_leads_stored" not in got
    finally:
        await running.stop()


async def test_two_apps_in_one_process_keep_their_own_figures(sb, tmp_path):
    first = await Running(sb, str(tmp_path / "a.sqlite3"), config_for(sb)).start()
    second = await Running(sb, str(tmp_path / "b.sqlite3"), config_for(sb)).start()
    try:
        await first.subscribe()
        await first.connect()
        await sb.submit_lead({"full_name": "Bekzod Aliyev"})
        texts = [samples((await get(r.base + "/metrics"))[1]) for r in (first, second)]
        assert [t["corvane_receiver_deliveries_total"] for t in texts] == [1, 0]
    finally:
        await first.stop()
        await second.stop()
