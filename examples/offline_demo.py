"""The road of one lead, offline: a signed Meta webhook delivery is verified and split into
events, the lead's answers are normalised into CRM fields, and the login link a user would
follow is built. Nothing here touches the network."""
from __future__ import annotations

import hashlib
import hmac
import json

from corvane.facebook import Facebook
from corvane.leads import normalize
from corvane.webhooks import dedupe_key, parse_events, verify_challenge, verify_request

APP_SECRET = "demo-app-secret"


def main() -> None:
    # 1. Meta checks the callback URL with a GET handshake.
    query = {"hub.mode": "subscribe", "hub.verify_token": "crm-verify", "hub.challenge": "1158201444"}
    print("handshake answer:", verify_challenge(query, "crm-verify"))

    # 2. Meta POSTs a signed delivery; the host checks the signature on the raw bytes.
    delivery = {
        "object": "page",
        "entry": [{
            "id": "153125381133",
            "time": 1438292065,
            "changes": [{
                "field": "leadgen",
                "value": {"leadgen_id": 444444444444, "page_id": 153125381133,
                          "form_id": 987654321, "created_time": 1438292065},
            }],
        }],
    }
    body = json.dumps(delivery).encode()
    signature = "sha256=" + hmac.new(APP_SECRET.encode(), body, hashlib.sha256).hexdigest()
    headers = {"X-Hub-Signature-256": signature}
    print("signature valid:", verify_request(APP_SECRET, body, headers))
    print("tampered body valid:", verify_request(APP_SECRET, body + b" ", headers))

    # 3. Each event has a de-duplication key; leadgen events carry the lead's id.
    seen: set[str] = set()
    for event in parse_events(json.loads(body)):
        key = dedupe_key(event)
        if event.field == "leadgen" and key not in seen:
            seen.add(key)
            print("new lead:", event.leadgen_id, "from form", event.form_id, "key", key)

    # 4. The lead's answers (as Facebook.lead would return them) become CRM fields.
    field_data = [
        {"name": "full_name", "values": ["Dilnoza Karimova"]},
        {"name": "Telefon raqamingiz", "values": ["+998 90 123-45-67"]},
        {"name": "email", "values": ["dilnoza@example.uz"]},
        {"name": "Qaysi shahardansiz?", "values": ["Samarqand"]},
        {"name": "Какой курс вас интересует?", "values": ["Python", "Data"]},
    ]
    print("normalised:", json.dumps(normalize(field_data).as_dict(), ensure_ascii=False, indent=2))

    # 5. The link that starts the login flow (a client holds no user token).
    fb = Facebook(app_id="1234567890", app_secret=APP_SECRET,
                  scopes=["pages_show_list", "leads_retrieval", "pages_manage_metadata"])
    print("client:", fb)
    print("login link:", fb.login_url(redirect_uri="https://crm.example.uz/oauth/facebook", state="s-1"))


if __name__ == "__main__":
    main()
