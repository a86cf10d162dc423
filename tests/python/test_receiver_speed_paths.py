"""What the stores' batched writes must keep exactly: any text a delivery or a lead may carry,
and the times given, read back unchanged on both databases."""
from __future__ import annotations

import json

import pytest

from corvane.receiver.store import LeadRecord, NewEvent, open_store

ODD = ['"quoted" \\ back\\slash', "ʻOʻzbekiston — «lid» 🚀", "line\u2028sep\ttab\nnew", "null", "[1]", ""]
NOW = 1765367000.1234567


@pytest.fixture(params=["sqlite", "postgres"])
async def store(request, tmp_path):
    s = open_store(str(tmp_path / "s.sqlite3") if request.param == "sqlite"
                   else request.getfixturevalue("postgres_db"))
    await s.open()
    yield s
    await s.close()


async def test_odd_text_and_exact_times_come_back_unchanged(store):
    texts = {f"k{n}:{text}": text for n, text in enumerate(ODD)}
    events = [NewEvent(key, "page", "leadgen", text or None, key[::-1],
                       json.dumps({"v": text}, ensure_ascii=False)) for key, text in texts.items()]
    assert await store.record(events, NOW) == len(ODD)
    for e in events:
        row = await store.event(e.key)
        assert (row["page_id"], row["leadgen_id"], row["payload"], row["received_at"]) == \
            (e.page_id, e.leadgen_id, e.payload, NOW)
    for c in await store.claim_many(NOW, 60.0, len(ODD)):
        text = texts[c.key]
        await store.complete(c.key, LeadRecord(c.leadgen_id, c.page_id, text, None, text or None,
                                               {"f": text}, {"c": [text]}, {}, {"raw": text}), NOW)
    leads = await store.leads(100)
    assert len(leads) == len(ODD)
    for lead in leads:
        text = texts[lead["event_key"]]
        assert (lead["leadgen_id"], lead["form_id"], lead["created_time"], lead["fields"],
                lead["custom"], lead["raw"], lead["stored_at"]) == \
            (lead["event_key"][::-1], text, text or None, {"f": text}, {"c": [text]}, {"raw": text}, NOW)
        assert (await store.event(lead["event_key"]))["status"] == "done"
