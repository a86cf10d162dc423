"""The store interface, held to the same behaviour on SQLite and on a real PostgreSQL server."""
from __future__ import annotations

import asyncio
import json

import pytest

from corvane.receiver import WorkerSettings
from corvane.receiver.store import LeadRecord, NewEvent, open_store

LEAD = LeadRecord(leadgen_id="444", page_id="p1", form_id="f1", ad_id=None, created_time=None,
                  fields={"email": "a@example.uz"}, custom={"savol": "javob"}, ad_context={},
                  raw={"id": "444"})


def event(key: str, field: str = "leadgen", leadgen_id: str | None = "444") -> NewEvent:
    return NewEvent(key, "page", field, "p1", leadgen_id, json.dumps({"leadgen_id": leadgen_id}))


@pytest.fixture(params=["sqlite", "postgres"])
def db(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "s.sqlite3")
    return request.getfixturevalue("postgres_db")


@pytest.fixture
async def store(db):
    s = open_store(db)
    await s.open()
    await s.open()  # a second start finds the schema in place
    yield s
    await s.close()


async def test_record_skips_known_keys_and_ignores_other_fields(store):
    assert await store.record([event("k1"), event("k2", "feed", None)], 100.0) == 2
    assert await store.record([event("k1"), event("k3")], 101.0) == 1
    assert await store.record([], 102.0) == 0
    counts = await store.counts()
    assert counts["pending"] == 2 and counts["ignored"] == 1


async def test_a_long_delivery_with_repeats_inside_is_recorded_once_per_key(store):
    # Longer than one statement takes on SQLite, with keys repeated within the delivery.
    keys = [f"d{n % 230}" for n in range(260)] + ["k1"]
    assert await store.record([event("k1")], 100.0) == 1
    assert await store.record([event(k) for k in keys], 101.0) == 230
    assert (await store.counts())["pending"] == 231


async def test_concurrent_deliveries_each_count_their_own_new_keys(store):
    await store.record([event("old")], 100.0)
    pairs = [[event(f"c{n}"), event(f"c{n + 1}")] for n in range(0, 60, 2)]
    twins = [[event("twin"), event("old")], [event("twin")]]  # a key in two deliveries at once
    counts = await asyncio.gather(*(store.record(d, 101.0) for d in pairs + twins))
    assert counts[:30] == [2] * 30 and sorted(counts[30:]) == [0, 1]
    assert (await store.counts())["pending"] == 62


async def test_receivers_recording_the_same_keys_at_once_never_deadlock(postgres_db):
    # Meta repeats a delivery to another receiver while the first still records it: two
    # batches with the same keys in opposite orders. Locked in different orders they deadlock,
    # and PostgreSQL lets one go after its deadlock timeout (a second of waiting acks).
    stores, failures = [open_store(postgres_db), open_store(postgres_db)], []
    for s in stores:
        await s.open()
        insert = s._recorder._insert

        async def watched(rows, insert=insert):
            try:
                return await insert(rows)
            except Exception as error:
                failures.append(error)
                raise

        s._recorder._insert = watched
    try:
        for n in range(3):
            keys = [f"{n}:{k}" for k in range(2000)]
            counts = await asyncio.gather(stores[0].record([event(k) for k in keys], 1.0),
                                          stores[1].record([event(k) for k in reversed(keys)], 1.0))
            assert sum(counts) == 2000
        assert failures == []
    finally:
        for s in stores:
            await s.close()


async def test_claim_is_exclusive_for_its_lease(store):
    await store.record([event("k1")], 100.0)
    first = await store.claim(100.0, lease=30)
    assert (first.key, first.leadgen_id, first.attempts) == ("k1", "444", 1)
    assert await store.next_due() == 130.0  # an idle worker waits for the lease, not for nothing
    await store.renew("k1", 140.0)  # the fetch goes on
    assert await store.claim(135.0, lease=30) is None
    again = await store.claim(141.0, lease=30)  # the first holder died: the lease ran out
    assert again.attempts == 2
    await store.release_claims()
    assert (await store.claim(142.0, lease=30)).attempts == 3
    await store.release("k1")  # given back by a stopping worker: that attempt never happened
    assert (await store.event("k1"))["attempts"] == 2
    assert (await store.claim(143.0, lease=30)).attempts == 3
    await store.release("k1", retry_at=150.0)  # a store call failed: the attempt stands
    assert await store.claim(149.0, lease=30) is None
    assert (await store.claim(150.0, lease=30)).attempts == 4
    await store.probe(143.0)


async def test_postpone_fail_and_complete(store):
    await store.record([event("a"), event("b"), event("c")], 100.0)
    claimed = {}
    for _ in range(3):
        c = await store.claim(100.0, 30)
        claimed[c.key] = c
    await store.postpone("a", 200.0, "HTTP 500")
    await store.fail("b", "gone", 100.0)
    await store.complete("c", LEAD, 100.0)
    await store.complete("c", LEAD, 101.0)  # a late second worker stores nothing twice
    assert await store.claim(150.0, 30) is None
    assert await store.next_due() == 200.0
    assert (await store.claim(200.0, 30)).key == "a"
    a, b = await store.event("a"), await store.event("b")
    assert (a["status"], a["error"], a["attempts"]) == ("pending", "HTTP 500", 2)
    assert (b["status"], b["error"]) == ("failed", "gone")
    [row] = await store.leads()
    assert row["event_key"] == "c" and row["custom"] == {"savol": "javob"} and row["raw"] == {"id": "444"}
    counts = await store.counts()
    assert (counts["done"], counts["failed"], counts["retries"], counts["leads"]) == (1, 1, 1, 1)


async def test_a_connected_page_makes_its_waiting_events_due(store):
    await store.record([event("a"), event("b")], 100.0)
    for _ in range(2):
        claimed = await store.claim(100.0, 30)
        await store.postpone(claimed.key, 900.0, "Page p1 is not connected")
    assert await store.retry_page_now("p2", 101.0) == 0
    assert await store.retry_page_now("p1", 101.0) == 2
    assert (await store.claim(101.0, 30)) is not None


async def test_login_state_is_single_use_and_expires(store):
    await store.put_state("s1", "https://crm.example/cb", 700.0)
    await store.put_state("s2", "https://crm.example/cb", 700.0)
    assert await store.take_state("s1", 100.0) == "https://crm.example/cb"
    assert await store.take_state("s1", 100.0) is None
    assert await store.take_state("s2", 701.0) is None
    assert await store.take_state("nope", 100.0) is None


async def test_pages_keep_tokens_out_of_listings(store):
    await store.save_page("p1", "Old name", "tok-1", "user-1", 1.0)
    await store.save_page("p1", "New name", "tok-2", "user-2", 2.0)
    assert await store.tokens("p1") == ("tok-2", "user-2")
    assert await store.tokens("p2") is None
    assert await store.pages() == [{"page_id": "p1", "name": "New name", "connected_at": 2.0,
                                    "needs_reconnecting": None}]
    assert await store.page_broken("p1", "expired") and not await store.page_broken("p1", "again")
    assert await store.needs_reconnect("p1") == "expired"
    assert (await store.pages())[0]["needs_reconnecting"] == "expired"
    await store.save_page("p1", "New name", "tok-3", "user-3", 3.0)  # connected again
    assert await store.needs_reconnect("p1") is None


async def test_concurrent_claims_never_share_an_event(store):
    await store.record([event(f"k{n}") for n in range(40)], 100.0)
    got = await asyncio.gather(*(store.claim(100.0, 30) for _ in range(30)),
                               *(store.claim_many(100.0, 30, 7) for _ in range(5)))
    keys = [c.key for c in got[:30] if c is not None] + [c.key for many in got[30:] for c in many]
    assert sorted(keys) == sorted(f"k{n}" for n in range(40))


async def test_two_receivers_share_a_burst_and_fetch_each_lead_once(postgres_db):
    import aiohttp

    from corvane.sandbox import Sandbox
    from receiver_harness import Running, config_for

    async with Sandbox() as sb:
        a = await Running(sb, postgres_db, config_for(sb)).start()
        b = await Running(sb, postgres_db, config_for(sb)).start()
        try:
            await a.subscribe()
            await a.connect()
            leads = [sb.world.add_lead("300000000000001", {"full_name": f"Lead {n}", "email": f"l{n}@example.com"})
                     for n in range(200)]
            bodies = [json.dumps(sb.leadgen_payload(lead.id)).encode() for lead in leads]

            # A load balancer spreads the deliveries; Meta repeats a quarter of them, and the
            # repeat lands on the other receiver.
            async def post(session, base, body):
                async with session.post(base + "/webhook", data=body,
                                        headers={"X-Hub-Signature-256": sb.sign(body)}) as resp:
                    assert resp.status == 200

            async with aiohttp.ClientSession() as s:
                sends = [post(s, (a, b)[n % 2].base, body) for n, body in enumerate(bodies)]
                sends += [post(s, (b, a)[n % 2].base, body) for n, body in enumerate(bodies[:50])]
                await asyncio.gather(*sends)
            await a.wait_leads(200, timeout=40)
            assert a.stats.duplicates + b.stats.duplicates == 50
            fetched = [path for method, path in sb.graph.batch.operations if method == "GET"]
            for lead in leads:
                assert fetched.count(lead.id) == 1
            assert (await a.store.counts())["leads"] == 200
        finally:
            await a.stop()
            await b.stop()


async def test_an_existing_sqlite_file_is_made_private(tmp_path):
    import os
    import stat

    path = tmp_path / "old.sqlite3"
    path.write_bytes(b"")
    path.chmod(0o644)
    s = open_store(str(path))
    await s.open()
    await s.close()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600


@pytest.mark.parametrize("text", ["plain", "Qo'qon — Қўқон 😀", "lone \ud800 surrogate", "nul \x00 inside",
                                  "7" * 2000])
async def test_what_passes_the_check_is_stored(store, text):
    """An event passes check_storable exactly when this store takes it."""
    from corvane.receiver.store import check_storable

    candidates = [NewEvent(f"page:leadgen:{text}", "page", "leadgen", "p1", text, "{}"),
                  NewEvent("page:leadgen:1", "page", "leadgen", "p1", "1", json.dumps({"t": text}, ensure_ascii=False))]
    for candidate in candidates:
        try:
            check_storable(candidate)
        except ValueError:
            passes = False
        else:
            passes = True
        try:
            await store.record([candidate], 100.0)
        except Exception:  # noqa: BLE001
            stored = False
        else:
            stored = True
        assert passes <= stored, candidate  # never refused by the store once checked


async def test_deliveries_and_workers_ride_out_dropped_connections(postgres_db, caplog):
    """Every pooled connection is cut by the server (a restart, a failover) while deliveries
    and workers run: each operation gets a working connection of its own, nothing acknowledged
    is lost, and the outage is logged as one line per kind."""
    import aiohttp
    import asyncpg

    from corvane.sandbox import Sandbox
    from receiver_harness import Running, config_for

    async with Sandbox() as sb:
        # A claim whose answer was cut off is taken again when its lease ends: a short one here.
        settings = WorkerSettings(concurrency=4, poll=0.05, lease=2.0, fetch_timeout=1.0,
                                  backoff_base=0.1, backoff_max=0.3)
        running = await Running(sb, postgres_db, config_for(sb, worker=settings)).start()
        try:
            await running.subscribe()
            await running.connect()
            leads = [sb.world.add_lead("300000000000001", {"full_name": f"Lead {n}"}) for n in range(120)]
            acked: list[str] = []

            async def send(s, lead):
                body = json.dumps(sb.leadgen_payload(lead.id)).encode()
                for _ in range(50):  # a refused delivery is delivered again, as Meta does
                    async with s.post(running.base + "/webhook", data=body,
                                      headers={"X-Hub-Signature-256": sb.sign(body)}) as resp:
                        if resp.status == 200:
                            acked.append(lead.id)
                            return
                    await asyncio.sleep(0.05)

            async def cut():
                admin = await asyncpg.connect(postgres_db)
                try:
                    for _ in range(4):
                        await asyncio.sleep(0.15)
                        await admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                            " WHERE datname = current_database() AND pid <> pg_backend_pid()")
                finally:
                    await admin.close()

            async with aiohttp.ClientSession() as s:
                sends = [send(s, lead) for lead in leads]
                await asyncio.gather(cut(), *sends)
            assert sorted(acked) == sorted(lead.id for lead in leads)
            await running.wait_leads(120, timeout=30)
        finally:
            await running.stop()
    text = "\n".join(r.getMessage() for r in caplog.records)
    assert "another operation" not in text and "Transaction.__aexit__" not in text, text
    assert not [r for r in caplog.records if r.exc_info]


async def test_stuck_events_are_listed_by_state_and_requeued(store):
    await store.record([event(k) for k in ("ok", "wait", "gone", "busy")] + [event("feed", "feed", None)], 100.0)
    for _ in range(4):
        await store.claim(100.0, 30)
    await store.postpone("wait", 900.0, "Page p1 is not connected")
    await store.fail("gone", "code=100", 100.0)
    await store.complete("ok", LEAD, 100.0)
    states = {e["key"]: e["state"] for e in await store.events()}
    assert states == {"ok": "done", "wait": "waiting", "gone": "failed", "busy": "pending", "feed": "ignored"}
    assert [e["error"] for e in await store.events("waiting")] == ["Page p1 is not connected"]
    # Requeued with fresh retries: what is done, ignored or being fetched stays as it is.
    assert await store.requeue(101.0, keys=["ok", "feed", "busy", "gone"]) == 1
    assert await store.requeue(101.0, state="waiting") == 1
    again = {e["key"]: (e["state"], e["attempts"], e["next_try"]) for e in await store.events("pending")}
    assert again == {"gone": ("pending", 0, 101.0), "wait": ("pending", 0, 101.0), "busy": ("pending", 1, 100.0)}


async def test_leads_come_in_commit_order_after_a_cursor(store):
    from dataclasses import replace

    await store.record([event(f"k{n}", leadgen_id=str(n)) for n in range(5)], 100.0)
    # Committed in this order, whatever time each worker read before its commit.
    for n, at in ((3, 3.0), (1, 1.0), (4, 2.0), (0, 2.0), (2, 5.0)):
        await store.complete(f"k{n}", replace(LEAD, leadgen_id=str(n)), at)
    await store.complete("k1", replace(LEAD, leadgen_id="1"), 9.0)  # a repeat is not numbered again
    # Stored at once (together, where the store commits them as a group): a lead stored before
    # or twice among them takes no number, and no number is skipped.
    await store.record([event(f"k{n}", leadgen_id=str(n)) for n in (5, 6, 7)], 100.0)
    await asyncio.gather(*(store.complete(key, replace(LEAD, leadgen_id=lead), 10.0)
                           for key, lead in (("k2", "2"), ("k5", "5"), ("k7", "5"), ("k6", "6"))))
    first = await store.leads_after(0, 3)
    rest = await store.leads_after(first[-1]["seq"], 4)
    assert [r["leadgen_id"] for r in first + rest] == ["3", "1", "4", "0", "2", "5", "6"]
    assert [r["seq"] for r in first + rest] == list(range(1, 8))
    assert await store.leads_after(rest[-1]["seq"], 3) == []
    assert {(await store.event(f"k{n}"))["status"] for n in (5, 6, 7)} == {"done"}


async def test_a_store_from_before_lead_numbers_numbers_its_leads_on_upgrade(store):
    from dataclasses import replace

    await store.record([event("k1", leadgen_id="1"), event("k2", leadgen_id="2")], 100.0)
    await store.complete("k2", replace(LEAD, leadgen_id="2"), 5.0)
    await store.complete("k1", replace(LEAD, leadgen_id="1"), 7.0)
    undo = ("DROP INDEX leads_seq", "ALTER TABLE leads DROP COLUMN seq",
            "DELETE FROM schema_migrations WHERE version = '004_lead_order'")
    if hasattr(store, "_tx"):
        async with store._tx() as conn:
            for statement in undo:
                await conn.execute(statement)
    else:
        for statement in undo:
            await store._execute(statement)
    await store.open()
    assert [(r["leadgen_id"], r["seq"]) for r in await store.leads_after(0, 10)] == [("2", 1), ("1", 2)]


async def test_forwarding_claims_each_lead_once_and_gives_it_back(store):
    from dataclasses import replace

    await store.record([event("k1", leadgen_id="1"), event("k2", leadgen_id="2")], 100.0)
    for n in ("1", "2"):
        await store.complete(f"k{n}", replace(LEAD, leadgen_id=n), 100.0)
    first = await store.claim_forward(100.0, 30)
    second = await store.claim_forward(100.0, 30)
    assert (first["leadgen_id"], second["leadgen_id"]) == ("1", "2")  # in commit order, once each
    assert await store.claim_forward(100.0, 30) is None
    await store.release_forward("1")  # the receiver stops mid-send: the lead goes back at once
    await store.forward_done("2", "pending", "HTTP 500", 200.0)
    again = await store.claim_forward(101.0, 30)
    assert (again["leadgen_id"], again["forward_attempts"]) == ("1", 1)
    await store.forward_done("1", "sent", None)
    assert await store.claim_forward(150.0, 30) is None
    assert (await store.claim_forward(200.0, 30))["forward_error"] == "HTTP 500"
    assert await store.forward_counts() == {"sent": 1, "pending": 1}  # what the inbox page shows


async def test_on_sqlite_a_delivery_goes_before_waiting_worker_calls(tmp_path):
    store = open_store(str(tmp_path / "turns.sqlite3"))
    await store.open()
    try:
        async with store._tx():  # a transaction in progress
            claim = asyncio.ensure_future(store.claim(100.0, 30))  # the worker queues first ...
            await asyncio.sleep(0.02)
            recorded = asyncio.ensure_future(store.record([event("k1")], 100.0))  # ... then a delivery
            await asyncio.sleep(0.02)
        assert await recorded == 1
        assert (await claim).key == "k1"  # the delivery's write went first
    finally:
        await store.close()
