"""Webhook and lead functions on real deliveries and leads, good and bad input, repeated."""
from __future__ import annotations

import hashlib
import hmac
import json
from pathlib import Path

from conftest import run
from harness import growth

from corvane import leads, webhooks
from corvane.webhooks import WebhookEvent

DATA = Path(__file__).resolve().parents[1] / "data"
SECRET = "app-secret"


def samples(folder: str) -> list:
    found = []
    for path in sorted((DATA / folder).glob("*.json")):
        data = json.loads(path.read_text(encoding="utf-8"))
        found.extend(data if isinstance(data, list) else [data])
    return found


def test_webhook_functions(flat):
    deliveries = samples("payloads")
    body = json.dumps(deliveries[0]).encode()
    signed = {"X-Hub-Signature-256":
              "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()}
    odd = [{"object": "page", "entry": [{"id": 1, "changes": [None, {"field": 3}],
                                          "messaging": "x"}]}, {"entry": 5}, {}]

    async def step():
        webhooks.verify_challenge({"hub.mode": "subscribe", "hub.verify_token": "v",
                                   "hub.challenge": "c"}, "v")
        webhooks.verify_challenge({"hub.mode": "subscribe"}, "v")
        assert webhooks.verify_request(SECRET, body, signed)
        webhooks.verify_request(SECRET, body, {"X-Hub-Signature-256": "sha256=zz"})
        webhooks.verify_request(SECRET, body, {})
        for payload in deliveries + odd:
            try:
                for event in webhooks.parse_events(payload):
                    (event.key, event.leadgen_id, event.page_id, event.form_id, repr(event))
                    webhooks.dedupe_key(event)
            except TypeError:  # a delivery of the wrong shape, refused half-way
                pass
            try:  # the receiver's way from bytes; a declined body gives None
                webhooks._delivery_rows(json.dumps(payload).encode())
            except TypeError:
                pass
        webhooks._delivery_rows(b'{"entry": [{"id": "\\ud800"}], "n": NaN}')
        events = webhooks.parse_events(deliveries[0])  # abandoned half-way
        next(events, None)
        del events
        WebhookEvent("page", "leadgen", "1", 2, {"leadgen_id": 3}).key

    flat(lambda: run(lambda: growth(step)), requests=0)


def test_lead_normalisation(flat):
    lead_items = samples("leads")
    field_lists = [item.get("field_data") for item in lead_items if isinstance(item, dict)]
    odd = [None, [], [{"name": None}], [{"name": "phone_number", "values": [None, 5]}],
           [{"values": "abc"}], [{"name": "email", "values": ["A@B.C"]}] * 3]

    async def step():
        for field_data in field_lists + odd:
            try:
                normalized = leads.normalize(field_data)
            except TypeError:  # field data of the wrong shape
                continue
            normalized.as_dict()
            repr(normalized)

    flat(lambda: run(lambda: growth(step)), requests=0)
