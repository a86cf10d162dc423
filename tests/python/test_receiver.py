"""The receiver end to end on SQLite, fed and answered by the sandbox."""
from __future__ import annotations

import asyncio
import json
import logging
import os
import stat
import time
from urllib.parse import parse_qs, urlsplit

import aiohttp
import pytest
from aiohttp import web

from corvane.sandbox import Sandbox
from corvane.sandbox.world import AD_ID, PAGE_STORE
from corvane.receiver import WorkerSettings
from receiver_harness import VERIFY, Running, config_for, get

UZBEK = {"full_name": "Shahnoza Qodirova", "email": "SHAHNOZA@example.UZ",
         "phone_number": "+998 (71) 200-00-01", "city": "Buxoro", "qaysi_kurs_qiziqtiradi": "Ingliz tili"}


@pytest.fixture
async def receiver(sb, db):
    running = await Running(sb, db, config_for(sb)).start()
    await running.subscribe()
    yield running
    await running.stop()


@pytest.mark.parametrize("token, challenge, status", [
    (VERIFY, "8842011", 200),
    ("wrong", "8842011", 403),
    (VERIFY, None, 403),
])
async def test_handshake(receiver, token, challenge, status):
    query = {"hub.mode": "subscribe", "hub.verify_token": token}
    if challenge:
        query["hub.challenge"] = challenge
    got, text = await get(receiver.base + "/webhook", params=query)
    assert got == status
    if status == 200:
        assert text == challenge  # exactly the challenge, plain text


async def test_lead_stored_with_normalised_fields_and_ad_context(sb, receiver):
    await receiver.connect()
    lead_id = await sb.submit_lead(UZBEK)
    await receiver.wait_leads(1)
    [row] = await receiver.store.leads()
    assert row["leadgen_id"] == lead_id and row["page_id"] == PAGE_STORE and row["ad_id"] == AD_ID
    assert row["fields"]["full_name"] == "Shahnoza Qodirova"
    assert row["fields"]["phone"] == "+998712000001"
    assert row["custom"] == {"qaysi_kurs_qiziqtiradi": "Ingliz tili"}
    assert row["ad_context"]["campaign_name"] == "Spring 2026 leads"
    assert row["raw"]["id"] == lead_id
    assert sb.world.pages[PAGE_STORE].subscribed_fields == ["leadgen"]


async def test_a_lead_whose_ad_cannot_be_read_is_stored_with_a_warning(sb, db, caplog):
    # The admin granted everything but ads_management: the ad is refused to the user token.
    config = config_for(sb, scopes=["pages_show_list", "pages_manage_metadata", "leads_retrieval"])
    running = await Running(sb, db, config).start()
    try:
        await running.subscribe()
        await running.connect()
        lead_id = await sb.submit_lead(UZBEK)
        await running.wait_leads(1)
        [row] = await running.store.leads()
    finally:
        await running.stop()
    assert row["leadgen_id"] == lead_id and row["ad_context"] == {}
    assert [r.levelname for r in caplog.records
            if r.name == "corvane.receiver" and AD_ID in r.getMessage()] == ["WARNING"]


async def test_duplicate_delivery_skipped_and_fetched_once(sb, receiver):
    await receiver.connect()
    lead_id = await sb.submit_lead(UZBEK)
    await receiver.wait_leads(1)
    assert await sb.deliver(lead_id) == 200
    assert await sb.deliver(lead_id) == 200
    assert receiver.stats.duplicates == 2
    assert (await receiver.store.counts())["leads"] == 1
    # One batch call: the lead with its ad.
    assert sb.graph.requests.count(("POST", "/v23.0/")) == 1 and sb.graph.batch.calls == [2]


@pytest.mark.parametrize("signature", ["sha256=" + "0" * 64, "", None, "sha1=abc"])
async def test_bad_signature_refused_and_nothing_stored(sb, receiver, signature):
    await receiver.connect()
    lead = sb.world.add_lead("300000000000001", UZBEK)
    body = json.dumps(sb.leadgen_payload(lead.id)).encode()
    headers = {"Content-Type": "application/json"}
    if signature is not None:
        headers["X-Hub-Signature-256"] = signature
    assert await receiver.post(body, headers) == 403
    assert await receiver.store.counts() == {"retries": 0, "leads": 0}


async def test_signature_checked_on_the_raw_bytes(sb, receiver):
    body = json.dumps(sb.leadgen_payload(next(iter(sb.world.leads)))).encode()
    signature = sb.sign(body)
    # The same JSON, spaced differently: no longer what was signed.
    reencoded = json.dumps(json.loads(body), indent=1).encode()
    assert await receiver.post(reencoded, {"X-Hub-Signature-256": signature}) == 403
    assert await receiver.post(body, {"X-Hub-Signature-256": signature}) == 200


@pytest.mark.parametrize("chunked", [False, True])
async def test_oversized_body_refused(sb, receiver, chunked):
    body = b'{"object":"page","entry":[' + b" " * (1024 * 1024) + b"]}"
    headers = {"X-Hub-Signature-256": sb.sign(body)}

    async def chunks():
        for i in range(0, len(body), 65536):
            yield body[i:i + 65536]

    async with aiohttp.ClientSession() as s:
        async with s.post(receiver.base + "/webhook", data=chunks() if chunked else body,
                          headers=headers) as resp:
            assert resp.status == 413
    assert receiver.stats.deliveries == 0


@pytest.mark.parametrize("case", ["missing", "forged", "replayed", "expired"])
async def test_login_state_refused(sb, receiver, case, monkeypatch):
    async with sb.session() as browser:
        async with browser.get(receiver.base + "/connect", allow_redirects=False) as resp:
            assert resp.status == 302
            link = resp.headers["Location"]
    back = urlsplit(sb.consent(link))
    query = {k: v[0] for k, v in parse_qs(back.query).items()}
    callback = receiver.base + "/oauth/callback"
    if case == "missing":
        del query["state"]
    elif case == "forged":
        query["state"] = "attacker-chosen-state"
    elif case == "replayed":
        assert (await get(callback, params=query))[0] == 200
        query["code"] = parse_qs(urlsplit(sb.consent(link)).query)["code"][0]
    else:
        real = time.time
        monkeypatch.setattr(time, "time", lambda: real() + 601)
    before = len(sb.world.tokens)
    status, _ = await get(callback, params=query)
    assert status == 400
    assert len(sb.world.tokens) == before  # no code was exchanged
    assert query["code"] in sb.world.codes


def from_afar(remote: str):
    @web.middleware
    async def middleware(request, handler):
        return await handler(request.clone(remote=remote))
    return middleware


@pytest.mark.parametrize("admin, trust, remote, sent, given, status", [
    (None, True, "127.0.0.1", {}, None, 302),
    (None, True, "127.0.0.1", {"Host": "localhost:8080", "Origin": "http://127.0.0.1:8080"}, None, 302),
    (None, False, "127.0.0.1", {}, None, 403),  # closed unless trusting loopback is asked for
    (None, True, "127.0.0.1", {"Host": "rebound.example"}, None, 403),  # DNS rebinding from a browser page
    # Another site's page in the operator's browser, pointed at loopback (a plain form POST).
    (None, True, "127.0.0.1", {"Origin": "https://evil.example"}, None, 403),
    (None, True, "127.0.0.1", {"Sec-Fetch-Site": "cross-site", "Origin": "null"}, None, 403),
    (None, True, "203.0.113.9", {}, None, 403),
    ("admin-sentinel-77", False, "203.0.113.9", {}, None, 403),
    ("admin-sentinel-77", False, "203.0.113.9", {}, "admin-sentinel-7", 403),
    ("admin-sentinel-77", False, "203.0.113.9", {}, "admin-sentinel-77", 302),
    ("admin-sentinel-77", True, "127.0.0.1", {}, None, 403),
])
@pytest.mark.parametrize("path", ["/connect", "/pages", "/leads", "/events", "/metrics"])
async def test_admin_pages_guarded(sb, db, admin, trust, remote, sent, given, status, path):
    running = await Running(sb, db, config_for(sb, admin_token=admin, trust_loopback=trust),
                            middlewares=(from_afar(remote),)).start()
    try:
        headers = {"Authorization": f"Bearer {given}"} if given else {}
        headers.update(sent)
        got, text = await get(running.base + path, headers=headers)
        assert got == (200 if status == 302 and path != "/connect" else status)
        if not admin and not trust:  # the refusal says how to open the pages
            assert "CORVANE_ADMIN_TOKEN" in text and "--trust-loopback" in text
    finally:
        await running.stop()


@pytest.mark.parametrize("public_url, allowed, host, status, redirect_host", [
    (None, (), "rebound.example", 400, None),
    (None, ("crm.example",), "CRM.example:8443", 302, "crm.example:8443"),
    (None, ("crm.example",), "rebound.example", 400, None),
    ("https://crm.example", (), "rebound.example", 302, "crm.example"),
])
async def test_login_redirect_only_to_a_configured_host(sb, db, public_url, allowed, host, status,
                                                        redirect_host):
    config = config_for(sb, admin_token="admin-sentinel-77", public_url=public_url,
                        redirect_hosts=allowed)
    running = await Running(sb, db, config).start()
    try:
        async with aiohttp.ClientSession() as s:
            async with s.get(running.base + "/connect", allow_redirects=False, headers={
                    "Host": host, "Authorization": "Bearer admin-sentinel-77"}) as resp:
                got, text, link = resp.status, await resp.text(), resp.headers.get("Location", "")
        assert got == status, text
        if redirect_host:
            redirect = parse_qs(urlsplit(link).query)["redirect_uri"][0]
            assert urlsplit(redirect).netloc.lower() == redirect_host
        else:
            assert "--public-url" in text
    finally:
        await running.stop()


async def test_loopback_behind_a_proxy_is_not_trusted(receiver):
    status, _ = await get(receiver.base + "/pages", headers={"X-Forwarded-For": "198.51.100.4"})
    assert status == 403


async def test_outage_lead_stored_once_the_graph_api_recovers(sb, receiver):
    await receiver.connect()
    sb.fail(0.8)
    lead_id = await sb.submit_lead(UZBEK)
    await receiver.wait_leads(1)
    event = await receiver.store.event(f"page:leadgen:{lead_id}")
    assert event["status"] == "done" and event["attempts"] > 1
    assert (await receiver.store.counts())["retries"] >= 1


async def test_pending_event_resumes_after_a_restart(sb, db):
    idle = config_for(sb, worker=WorkerSettings(concurrency=0))
    first = await Running(sb, db, idle).start()
    await first.subscribe()
    await first.connect()
    lead_id = await sb.submit_lead(UZBEK)
    key = f"page:leadgen:{lead_id}"
    # A claim left behind by a receiver that died mid-fetch.
    assert (await first.store.claim(time.time(), 300)).key == key
    await first.stop()

    second = await Running(sb, db, config_for(sb)).start()
    try:
        await second.wait_leads(1)
        assert (await second.store.event(key))["status"] == "done"
    finally:
        await second.stop()


async def test_unknown_lead_fails_with_its_reason(sb, receiver):
    await receiver.connect()
    payload = {"object": "page", "entry": [{"id": PAGE_STORE, "time": 1, "changes": [
        {"field": "leadgen", "value": {"leadgen_id": "999000999", "page_id": PAGE_STORE}}]}]}
    body = json.dumps(payload).encode()
    assert await receiver.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200

    async def failed():
        event = await receiver.store.event("page:leadgen:999000999")
        return event["status"] == "failed"
    await receiver.wait(failed)
    event = await receiver.store.event("page:leadgen:999000999")
    assert "code=100" in event["error"] and event["attempts"] == 1
    # The operator sees it with its reason, and can send it round again.
    status, text = await get(receiver.base + "/events?state=failed")
    assert status == 200 and [e["key"] for e in json.loads(text)] == ["page:leadgen:999000999"]
    assert (await get(receiver.base + "/events?state=stuck"))[0] == 400
    async with aiohttp.ClientSession() as s:
        async with s.post(receiver.base + "/events/requeue?state=failed") as resp:
            assert await resp.json() == {"requeued": 1}
    await receiver.wait(failed)  # fetched again, and refused again


async def test_no_secret_in_logs_or_reasons(sb, db, caplog):
    caplog.set_level(logging.DEBUG)
    running = await Running(sb, db, config_for(sb, admin_token="admin-sentinel-77")).start()
    try:
        await running.subscribe()
        await running.connect()
        page_token = sb.world.pages[PAGE_STORE].token
        user_token = (await running.store.tokens(PAGE_STORE))[1]
        sb.fail(0.3)
        await sb.submit_lead(UZBEK)
        await running.wait_leads(1)
        # The Page's token stops working: its leads wait, with a reason.
        del sb.world.tokens[page_token]
        stuck = await sb.submit_lead(UZBEK)

        async def waiting():
            event = await running.store.event(f"page:leadgen:{stuck}")
            return event["error"] is not None
        await running.wait(waiting)
        reason = (await running.store.event(f"page:leadgen:{stuck}"))["error"]
        assert "190" in reason
    finally:
        await running.stop()
    text = "\n".join(r.getMessage() + str(r.exc_info or "") for r in caplog.records) + reason
    for secret in (page_token, user_token, sb.app_secret, "admin-sentinel-77"):
        assert secret not in text


async def test_store_files_are_private(sb, receiver, db):
    await receiver.connect()  # tokens written: the journal exists now
    for path in (db, db + "-wal", db + "-shm"):
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600, path


async def test_lead_delivered_before_its_page_connects_is_fetched_on_connect(sb, db):
    slow = config_for(sb, worker=WorkerSettings(concurrency=1, poll=0.05, backoff_base=600, backoff_max=600))
    running = await Running(sb, db, slow).start()
    try:
        await running.subscribe()
        lead = sb.world.add_lead("300000000000001", UZBEK)
        body = json.dumps(sb.leadgen_payload(lead.id)).encode()
        assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200

        async def waiting():
            event = await running.store.event(f"page:leadgen:{lead.id}")
            return event["attempts"] == 1 and event["claimed_until"] is None
        await running.wait(waiting)
        assert "not connected" in (await running.store.event(f"page:leadgen:{lead.id}"))["error"]
        await running.connect()
        await running.wait_leads(1, timeout=5)
    finally:
        await running.stop()


async def test_receiving_and_working_run_as_separate_processes_on_one_database(sb, db):
    receive = await Running(sb, db, config_for(sb, role="receive")).start()
    work = None
    try:
        await receive.subscribe()
        await receive.connect()
        lead_id = await sb.submit_lead(UZBEK)
        await asyncio.sleep(0.3)
        assert (await receive.store.event(f"page:leadgen:{lead_id}"))["attempts"] == 0  # no worker
        work = await Running(sb, db, config_for(sb, role="work")).start()
        await work.wait_leads(1)
        assert (await get(work.base + "/pages"))[0] == 404 and (await get(work.base + "/health"))[0] == 200
    finally:
        await receive.stop()
        if work is not None:
            await work.stop()


async def test_a_page_whose_token_stops_working_waits_for_reconnecting(sb, db, caplog):
    from corvane.sandbox.world import Token

    settings = WorkerSettings(concurrency=2, poll=0.05, backoff_base=0.1, backoff_max=60)
    receiver = await Running(sb, db, config_for(sb, worker=settings)).start()
    try:
        await receiver.subscribe()
        await receiver.connect()
        del sb.world.tokens[sb.world.pages[PAGE_STORE].token]  # expired, revoked, password changed
        stuck = [await sb.submit_lead(UZBEK) for _ in range(2)]

        async def all_waiting():
            events = [await receiver.store.event(f"page:leadgen:{lead}") for lead in stuck]
            return all(e["error"] and e["claimed_until"] is None for e in events)
        await receiver.wait(all_waiting)
        for lead in stuck:  # waiting spends no retries
            event = await receiver.store.event(f"page:leadgen:{lead}")
            assert event["attempts"] == 0 and "qayta ulanishi kerak" in event["error"]
        [page] = [p for p in await receiver.store.pages() if p["page_id"] == PAGE_STORE]
        assert page["needs_reconnecting"]
        warnings = [r for r in caplog.records if r.levelno == logging.WARNING and "qayta ulanishi" in r.getMessage()]
        assert len(warnings) == 1

        fresh = "EAAP-reconnected-token"  # the admin logs in again: the Page has a working token
        sb.world.pages[PAGE_STORE].token = fresh
        sb.world.tokens[fresh] = Token("page", PAGE_STORE)
        await receiver.connect()
        await receiver.wait_leads(2)
        assert [p["needs_reconnecting"] for p in await receiver.store.pages()] == [None, None]
    finally:
        await receiver.stop()


async def test_a_crm_pulls_every_lead_once_in_commit_order(sb, receiver):
    await receiver.connect()
    base = receiver.base + "/leads?limit=2&after="
    ids = [await sb.submit_lead({**UZBEK, "full_name": f"Lead {n}"}) for n in range(3)]
    await receiver.wait_leads(3)
    pulled, cursor = [], ""
    for _ in range(3):
        status, text = await get(base + cursor)
        page = json.loads(text)
        pulled += [lead["leadgen_id"] for lead in page["leads"]]
        cursor = page["next"]
    assert sorted(pulled) == sorted(ids) and len(pulled) == 3
    later = await sb.submit_lead(UZBEK)  # the next poll brings what came since, and only that
    await receiver.wait_leads(4)
    assert [lead["leadgen_id"] for lead in json.loads((await get(base + cursor))[1])["leads"]] == [later]
    assert (await get(base + "-1"))[0] == 400
