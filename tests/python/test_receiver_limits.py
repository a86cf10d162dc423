"""The receiver under senders that lie, stall or flood, and with a store or Graph API that
fails: refusals stay cheap and exact, one bad event fails alone, logs stay one line each."""
from __future__ import annotations

import asyncio
import json
import logging
import sqlite3
import time

import aiohttp
import pytest

from corvane.crypto import SECRET_NAMES
from corvane.receiver import WorkerSettings
from corvane.receiver import app as receiver_app
from corvane.receiver.access import AccessLogger
from corvane.receiver.store_batch import BatchedRecorder
from corvane.receiver.store import NewEvent
from corvane.sandbox import Sandbox
from corvane.sandbox.world import PAGE_STORE
from receiver_harness import Running, config_for

ANSWERS = {"full_name": "Shahnoza Qodirova", "email": "shahnoza@example.uz"}


async def raw(base: str, head: bytes, body: bytes = b"", *, wait: float = 5.0) -> bytes:
    """Sends bytes as they are and reads the answer until the server closes or `wait` ends."""
    host, port = base.removeprefix("http://").split(":")
    reader, writer = await asyncio.open_connection(host, int(port))
    try:
        writer.write(head + body)
        await writer.drain()
        return await asyncio.wait_for(reader.read(65536), wait)
    finally:
        writer.close()


def lead_body(lead_id: object, page_id: object = PAGE_STORE, extra: str = "") -> bytes:
    return ('{"object":"page","entry":[{"id":"%s","time":1,"changes":[{"field":"leadgen",'
            '"value":{"leadgen_id":%s,"page_id":"%s"%s}}]}]}' % (page_id, lead_id, page_id, extra)).encode()


@pytest.mark.parametrize("body, status", [
    (lead_body('"1001"'), 200),
    (lead_body('"10\\ud800"'), 400),  # an escaped lone surrogate: no database stores it
    (lead_body('"1002"', extra=',"note":"\\udfff"'), 400),
    (lead_body('"10\\u0000"'), 400),  # PostgreSQL's text holds no NUL
    (lead_body('"' + "7" * 2000 + '"'), 400),  # longer than an index entry
    (lead_body('"1003"', extra=',"x":NaN'), 400),
    (lead_body('"1004"', extra=',"deep":' + "[" * 100 + "]" * 100), 400),
    (lead_body('"1005"', extra=',"deep":' + "[" * 200000 + "]" * 200000), 400),
    (b"[1]", 400),
])
async def test_what_cannot_be_stored_is_refused_alone(sb, db, body, status):
    running = await Running(sb, db, config_for(sb, worker=WorkerSettings(concurrency=0))).start()
    try:
        good = [lead_body(f'"{n}"') for n in range(2000, 2012)]
        sent = await asyncio.gather(*(running.post(b, {"X-Hub-Signature-256": sb.sign(b)})
                                      for b in [*good[:6], body, *good[6:]]))
        assert sent == [200] * 6 + [status] + [200] * 6
        assert (await running.store.counts())["pending"] == 12 + (status == 200)
    finally:
        await running.stop()


async def test_a_failed_group_commit_fails_only_the_delivery_that_fails_alone():
    written: list[str] = []

    async def insert(rows):
        await asyncio.sleep(0.01)  # deliveries queue up behind the first write
        keys = [e.key for e, _ in rows]
        if "poison" in keys or "down" in written:
            raise RuntimeError("refused")
        written.extend(keys)
        return set(keys)

    recorder = BatchedRecorder(insert, 100)
    events = [[NewEvent(k, "page", "leadgen", "p", k, "{}")] for k in ("a", "b", "poison", "c", "d")]
    got = await asyncio.gather(*(recorder.record(e, 1.0) for e in events), return_exceptions=True)
    assert [type(g).__name__ for g in got] == ["int", "int", "RuntimeError", "int", "int"]
    assert sorted(written) == ["a", "b", "c", "d"]
    written.append("down")  # the database is down: every delivery of a batch fails
    got = await asyncio.gather(*(recorder.record(e, 1.0) for e in events[:3]), return_exceptions=True)
    assert all(isinstance(g, RuntimeError) for g in got)


@pytest.mark.parametrize("request_head, status", [
    (b"GET /pages HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer \xff\xfe\xc0\r\n\r\n", 403),
    (b"GET /pages?admin_token=%ED%A0%80 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 403),
])
async def test_undecodable_credentials_are_refused(sb, db, request_head, status):
    running = await Running(sb, db, config_for(sb, admin_token="admin-sentinel-77")).start()
    try:
        answer = await raw(running.base, request_head)
        assert answer.startswith(b"HTTP/1.1 %d" % status), answer[:80]
    finally:
        await running.stop()


@pytest.mark.parametrize("cap", [{"max_unverified": 2}, {"max_unverified_bytes": 2500}])
async def test_slow_oversized_and_crowding_bodies_cost_nothing(sb, db, caplog, cap):
    caplog.set_level(logging.DEBUG)
    running = await Running(sb, db, config_for(sb, body_timeout=0.5, **cap)).start()
    try:
        head = (b"POST /webhook HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                b"X-Hub-Signature-256: sha256=" + b"0" * 64 + b"\r\nContent-Length: 1000\r\n\r\n")
        started = time.monotonic()
        # Two trickling bodies fill the cap; a third sender is turned away at once.
        slow = [asyncio.ensure_future(raw(running.base, head, b"{")) for _ in range(2)]
        await asyncio.sleep(0.2)
        crowded = await raw(running.base, head, b"{")
        assert crowded.startswith(b"HTTP/1.1 503") and time.monotonic() - started < 0.5
        unsigned = head.replace(b"X-Hub-Signature-256", b"X-Other")  # never read at all
        assert (await raw(running.base, unsigned, b"{")).startswith(b"HTTP/1.1 403")
        assert time.monotonic() - started < 0.5
        for answer in await asyncio.gather(*slow):  # the deadline ends them, connection closed
            assert answer.startswith(b"HTTP/1.1 408") and b"Connection: close" in answer
        big = head.replace(b"1000", str(2 * 1024 * 1024).encode())
        assert (await raw(running.base, big)).startswith(b"HTTP/1.1 413")
        # A sender that gives up mid-body leaves one quiet line, no traceback.
        host, port = running.base.removeprefix("http://").split(":")
        _, writer = await asyncio.open_connection(host, int(port))
        writer.write(head + b'{"object"')
        await writer.drain()
        writer.close()
        await asyncio.sleep(0.3)
        body = lead_body('"3001"')
        assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200
    finally:
        await running.stop()
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert len([r for r in caplog.records if "oxirigacha kelmadi" in r.getMessage()]) == 1
    assert running.stats.deliveries == 1


async def test_access_log_escapes_the_path_and_drops_the_query(sb, db, caplog):
    from aiohttp.log import access_logger

    caplog.set_level(logging.INFO)
    running = await Running(sb, db, config_for(sb), access_log=access_logger,
                            access_log_class=AccessLogger).start()
    try:
        await raw(running.base, b"GET /health%0a127.0.0.1%20GET%20/forged?admin_token=sentinel-5 "
                                b"HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    finally:
        await running.stop()
    [line] = [r.getMessage() for r in caplog.records if r.name == "aiohttp.access"]
    assert "\n" not in line and "%0A127.0.0.1" in line and "sentinel-5" not in line


@pytest.mark.parametrize("stall, settings, outcome", [
    # The Graph API never answers: the fetch ends well inside the lease and the event waits.
    (60.0, WorkerSettings(concurrency=2, poll=0.05, lease=3.0, fetch_timeout=0.5,
                          backoff_base=30, backoff_max=30), "postponed"),
    # A fetch longer than the lease: the claim is renewed, no other worker takes the lead.
    (1.2, WorkerSettings(concurrency=3, poll=0.05, lease=0.6, fetch_timeout=5.0), "stored"),
])
async def test_a_stalling_graph_api_never_lets_two_workers_fetch_one_lead(sb, db, stall, settings, outcome):
    running = await Running(sb, db, config_for(sb, worker=settings)).start()
    handle = sb.graph.handle
    fetched: list[float] = []

    async def stalling(request):
        if request.method == "POST" and request.path == "/v23.0/":  # the lead's batch call
            fetched.append(time.monotonic())
            await asyncio.sleep(stall)
        return await handle(request)

    try:
        await running.subscribe()
        await running.connect()
        lead_id = sb.world.add_lead("300000000000001", ANSWERS).id
        sb.graph.handle = stalling
        body = json.dumps(sb.leadgen_payload(lead_id)).encode()
        assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200
        key = f"page:leadgen:{lead_id}"

        async def settled():
            event = await running.store.event(key)
            return event["status"] == "done" or event["error"] is not None
        await running.wait(settled, timeout=5)
        event = await running.store.event(key)
        if outcome == "stored":
            assert event["status"] == "done"
        else:
            assert "0.5s" in event["error"] and event["claimed_until"] is None
        assert len(fetched) == 1 and event["attempts"] == 1
    finally:
        sb.graph.handle = handle
        await running.stop()


@pytest.mark.parametrize("fault", ["closed", "locked"])
async def test_health_reports_a_store_that_takes_no_writes(sb, db, fault, monkeypatch):
    monkeypatch.setattr(receiver_app, "PROBE_TIMEOUT", 0.3)
    monkeypatch.setattr(receiver_app, "PROBE_EVERY", 0.0)
    running = await Running(sb, db, config_for(sb)).start()
    holder = None
    try:
        async with aiohttp.ClientSession() as s:
            async with s.get(running.base + "/health") as resp:
                assert (resp.status, await resp.json()) == (200, {"ok": True, "store": "writable"})
            if fault == "closed":
                await running.store.close()
            else:  # another program holds the write lock (off the loop: it waits for ours)
                holder = sqlite3.connect(db, isolation_level=None, check_same_thread=False)
                await asyncio.to_thread(holder.execute, "BEGIN IMMEDIATE")
            async with s.get(running.base + "/health") as resp:
                state = await resp.json()
                assert resp.status == 503 and state["ok"] is False and state["store"] != "writable"
    finally:
        if holder is not None:
            holder.execute("ROLLBACK")
            holder.close()
        await running.stop()


async def test_a_store_outage_logs_one_line_per_kind_and_acknowledges_nothing(sb, db, caplog):
    running = await Running(sb, db, config_for(sb)).start()
    try:
        await running.store.close()  # every write fails from here on
        bodies = [lead_body(f'"{n}"') for n in range(4000, 4040)]
        sent = await asyncio.gather(*(running.post(b, {"X-Hub-Signature-256": sb.sign(b)}) for b in bodies))
        await asyncio.sleep(0.3)  # the workers meet the outage too
    finally:
        await running.stop()
    assert sent == [503] * 40
    lines = [r for r in caplog.records if r.name == "corvane.receiver" and r.levelno >= logging.ERROR]
    kinds = {tuple(r.getMessage().split(":")[:2]) for r in lines}  # where, and the error kind
    assert len(lines) == len(kinds) and all(r.exc_info is None for r in lines)


@pytest.mark.parametrize("case", ["clean stop", "store call fails"])
async def test_claims_are_given_back_not_held_for_the_lease(sb, db, case):
    from corvane.receiver.sqlite_store import SqliteStore

    class FailsOnce(SqliteStore):
        failed = False

        async def complete(self, key, lead, now):
            if not self.failed:
                FailsOnce.failed = True
                raise OSError("the database went away")
            await super().complete(key, lead, now)

    settings = WorkerSettings(concurrency=1, poll=0.05, lease=60.0, backoff_base=0.2, backoff_max=0.2)
    running = await Running(sb, FailsOnce(db), config_for(sb, worker=settings)).start()
    handle = sb.graph.handle

    async def stalling(request):
        if request.method == "POST" and request.path == "/v23.0/":  # the lead's batch call
            await asyncio.sleep(60)
        return await handle(request)

    try:
        await running.subscribe()
        await running.connect()
        lead_id = sb.world.add_lead("300000000000001", ANSWERS).id
        key = f"page:leadgen:{lead_id}"
        if case == "clean stop":
            sb.graph.handle = stalling
        body = json.dumps(sb.leadgen_payload(lead_id)).encode()
        assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200

        async def claimed():
            return (await running.store.event(key))["claimed_until"] is not None
        if case == "clean stop":
            await running.wait(claimed)
        else:
            await running.wait_leads(1)  # stored at the attempt after the failed one
    finally:
        sb.graph.handle = handle
        await running.stop()
    store = FailsOnce(db)
    await store.open()
    try:
        event = await store.event(key)
    finally:
        await store.close()
    if case == "clean stop":  # free at once for the next start, and that attempt never counted
        assert (event["claimed_until"], event["attempts"], event["status"]) == (None, 0, "pending")
    else:
        assert (event["attempts"], event["status"]) == (2, "done")


@pytest.mark.parametrize("answers, outcome", [
    ([500, 503, 200], "sent"),  # the CRM recovers: sent on the third attempt
    ([400, 400], "failed"),  # it keeps refusing: failed for good, visibly, after the last attempt
])
async def test_each_stored_lead_is_handed_on_to_the_crm_signed(sb, db, caplog, answers, outcome):
    import hashlib
    import hmac

    from aiohttp import web
    from loopback import serve

    from corvane.receiver import ForwardSettings

    received: list[tuple[bytes, dict[str, str]]] = []

    async def crm(request):
        received.append((await request.read(), dict(request.headers)))
        return web.Response(status=answers[min(len(received), len(answers)) - 1])

    app = web.Application()
    app.router.add_post("/hook", crm)
    runner, base = await serve(app)
    url = base + "/hook?key=url-sentinel-9"
    forward = ForwardSettings(url, "forward-sentinel-9", attempts=len(answers), backoff_base=0.05, poll=0.05)
    assert "sentinel" not in repr(config_for(sb, forward=forward, admin_token="admin-sentinel-9"))
    running = await Running(sb, db, config_for(sb, forward=forward)).start()
    try:
        await running.subscribe()
        await running.connect()
        lead_id = await sb.submit_lead(ANSWERS)

        async def settled():
            leads = await running.store.leads()
            return bool(leads) and leads[0]["forward_status"] != "pending"
        await running.wait(settled)
        [lead] = await running.store.leads()
    finally:
        await running.stop()
        await runner.cleanup()
    assert (lead["forward_status"], lead["forward_attempts"]) == (outcome, len(answers))
    assert len(received) == len(answers)
    for body, headers in received:  # the same signed body each time, keyed by the lead
        expected = "sha256=" + hmac.new(b"forward-sentinel-9", body, hashlib.sha256).hexdigest()
        assert headers["X-Corvane-Signature-256"] == expected and headers["Idempotency-Key"] == lead_id
        assert json.loads(body)["fields"]["email"] == "shahnoza@example.uz"
    if outcome == "failed":
        assert lead["forward_error"] == "HTTP 400"
        assert len([r for r in caplog.records if r.levelno == logging.WARNING and lead_id in r.getMessage()]) == 1
    text = "\n".join(r.getMessage() for r in caplog.records)
    assert "sentinel" not in text


# The client's own list, and the names it has always had (a name dropped from it fails here).
@pytest.mark.parametrize("name", sorted(set(SECRET_NAMES) | {
    "access_token", "appsecret_proof", "client_secret", "fb_exchange_token", "input_token",
    "code", "refresh_token", "token"}))
def test_stored_reasons_mask_every_credential_the_client_masks(name):
    from corvane.receiver.redact import redact

    assert "sentinel-9" not in redact(f"GET https://graph.example/x?a=1&{name}=sentinel-9&b=2 failed")
