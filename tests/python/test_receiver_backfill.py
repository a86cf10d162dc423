"""`python -m corvane receiver backfill`: the leads a receiver missed, read from the sandbox's
forms and stored as the worker stores them."""
from __future__ import annotations

import functools
import io
import time

import aiohttp
import pytest

from corvane.facebook import Facebook
from corvane.receiver.commands import backfill, backfill_parser, parse_since
from corvane.receiver.store import open_store
from corvane.sandbox import Sandbox, Usage
from corvane.sandbox.world import PAGE_STORE
from receiver_harness import Running, config_for

ANSWERS = {"full_name": "Dilnoza Rahimova", "email": "DILNOZA@example.UZ",
           "phone_number": "+998 (90) 123-45-67", "qaysi_filial": "Chilonzor"}
# What differs between two leads with the same answers, and where each came from.
OWN = ("leadgen_id", "event_key", "created_time", "stored_at", "seq", "forward_next_try",
       "forward_status", "forward_attempts", "forward_claimed_until", "forward_error")


def record(row: dict) -> dict:
    raw = {k: v for k, v in row["raw"].items() if k not in ("id", "created_time")}
    return {**{k: v for k, v in row.items() if k not in OWN}, "raw": raw}


@pytest.fixture
def env(sb, monkeypatch):
    monkeypatch.setenv("FACEBOOK_APP_ID", sb.app_id)
    monkeypatch.setenv("FACEBOOK_APP_SECRET", sb.app_secret)
    monkeypatch.delenv("META_GRAPH_VERSION", raising=False)


async def run(sb: Sandbox, *argv: str, tty: bool = False) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    code = await backfill(backfill_parser().parse_args(list(argv)),
                          functools.partial(Facebook, session=sb.session()), out=out, err=err, tty=tty)
    return code, out.getvalue(), err.getvalue()


async def test_backfill_stores_the_missed_leads_once_and_they_flow_on(sb, env, tmp_path):
    db = str(tmp_path / "leads.sqlite3")
    receiver = await Running(sb, db, config_for(sb)).start()
    try:
        await receiver.subscribe()
        await receiver.connect()
        delivered = await sb.submit_lead(ANSWERS)
        await receiver.wait_leads(1)
        # Leads that came while the receiver was down; the sandbox's own are 3, 2 and 1 day old.
        twin = await sb.submit_lead(ANSWERS, deliver=False)
        await sb.submit_lead({"full_name": "Organik"}, ad_id=None, deliver=False)
        since = int(time.time() - 86400 * 1.5)
        missed = {i for i, lead in sb.world.leads.items() if lead.created > since} - {delivered}

        code, out, err = await run(sb, "--db", db, "--page", PAGE_STORE, "--since", str(since))
        assert (code, err) == (0, "")
        counts = "4 ta lead ko'rildi, 3 tasi yangi saqlandi, 1 tasi oldin saqlangan edi, 0 tasi saqlanmadi"
        assert out.splitlines() == [f"forma 300000000000001: {counts}", f"1/1 ta forma o'qildi: {counts}"]
        rows = {row["leadgen_id"]: row for row in await receiver.store.leads()}
        assert rows.keys() == missed | {delivered}
        # Stored as the worker stores a fetched lead: the same record, ad context included.
        assert record(rows[twin]) == record(rows[delivered])

        # Run again (on a terminal this time): nothing new, and the summary alone on stdout.
        code, out, bar = await run(sb, "--db", db, "--page", PAGE_STORE, "--since", str(since), tty=True)
        assert code == 0 and "forma" in bar
        assert out.splitlines() == ["1/1 ta forma o'qildi: 4 ta lead ko'rildi, 0 tasi yangi saqlandi, "
                                    "4 tasi oldin saqlangan edi, 0 tasi saqlanmadi"]
        # A webhook that comes late for a backfilled lead is a repeat, not a second fetch.
        await sb.deliver(twin)
        assert receiver.stats.duplicates == 1
        async with aiohttp.ClientSession() as s:  # the CRM's pull sees them like any other
            async with s.get(receiver.base + "/leads", params={"after": ""}) as resp:
                pulled = [lead["leadgen_id"] for lead in (await resp.json())["leads"]]
        assert sorted(pulled) == sorted(missed | {delivered})
    finally:
        await receiver.stop()


async def saved_page(db: str, sb: Sandbox, broken: str | None = None) -> str:
    store = open_store(db)
    await store.open()
    # A token that stopped working since the Page was connected: the Graph API answers 190.
    token = "EAAPdead-sentinel-0c5e" if broken == "dead" else sb.world.pages[PAGE_STORE].token
    await store.save_page(PAGE_STORE, "Do'kon", token, None, time.time())
    if broken and broken != "dead":
        await store.page_broken(PAGE_STORE, broken)
    await store.close()
    return token


@pytest.mark.parametrize("args, broken, unset, says", [
    (("--page", "999"), None, None, "Page 999 ulanmagan"),
    (("--page", PAGE_STORE), "token yaroqsiz", None, "qayta ulanishi kerak (token yaroqsiz)"),
    (("--page", PAGE_STORE, "--form", "404"), None, None, "404 formasi"),
    (("--page", PAGE_STORE), None, "FACEBOOK_APP_SECRET", "set FACEBOOK_APP_SECRET"),
    (("--page", PAGE_STORE), "dead", None, "qayta ulanishi kerak"),
])
async def test_what_stops_a_backfill_is_one_line(sb, env, tmp_path, monkeypatch, args, broken, unset, says):
    db = str(tmp_path / "leads.sqlite3")
    token = await saved_page(db, sb, broken)
    if unset:
        monkeypatch.delenv(unset)
    code, out, err = await run(sb, "--db", db, *args)
    assert code == 2 and out == "" and len(err.splitlines()) == 1 and says in err, err
    assert token not in err and sb.app_secret not in err
    if broken == "dead":  # marked as the worker marks it: /pages shows it
        store = open_store(db)
        await store.open()
        assert await store.needs_reconnect(PAGE_STORE) is not None
        await store.close()


async def test_a_throttle_ends_the_run_after_saying_what_was_stored(tmp_path, monkeypatch):
    # The Page's Lead Ads budget is spent after two calls, for an hour: longer than the client
    # waits, so the second page of leads is refused.
    async with Sandbox(usage=Usage(calls=2, block=3600)) as sb:
        monkeypatch.setenv("FACEBOOK_APP_ID", sb.app_id)
        monkeypatch.setenv("FACEBOOK_APP_SECRET", sb.app_secret)
        for n in range(120):
            sb.world.add_lead("300000000000001", {"full_name": f"Lead {n}"}, ad_id=None)
        db = str(tmp_path / "leads.sqlite3")
        token = await saved_page(db, sb)
        code, out, err = await run(sb, "--db", db, "--page", PAGE_STORE)
    assert code == 1, (out, err)
    assert out.splitlines()[-1].startswith("0/1 ta forma o'qildi: 100 ta lead ko'rildi, 100 tasi yangi")
    assert len(err.splitlines()) == 1 and "soniyadan keyin qayta ishga tushiring" in err, err
    assert token not in out + err


@pytest.mark.parametrize("text", ["1733011200", "2024-12-01", "2024-12-01T00:00:00Z",
                                  "2024-12-01T05:00+05:00"])
def test_since_reads_unix_and_iso_times_naive_ones_as_utc(text):
    assert parse_since(text) == 1733011200
