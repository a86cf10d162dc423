"""The webhook and lead rules written plainly in Python: the baseline the benchmark compares
corvane against, and a second opinion on every result it produces."""

from __future__ import annotations

import hashlib
import hmac
import json
import re
from dataclasses import dataclass, field, fields
from typing import Any, Iterator

from corvane import policy

# -- webhooks ------------------------------------------------------------------------------

_ID_NAMES = ("leadgen_id", "mid", "comment_id", "media_id", "post_id")


def _text_or_none(value: Any) -> str | None:
    return str(value) if value else None


@dataclass(slots=True)
class WebhookEvent:
    object_type: str
    field: str
    object_id: str | None
    time: Any
    value: Any = field(default_factory=dict)

    @property
    def key(self) -> str:
        return dedupe_key(self)

    @property
    def leadgen_id(self) -> str | None:
        return _text_or_none(self.value.get("leadgen_id"))

    @property
    def page_id(self) -> str | None:
        return _text_or_none(self.value.get("page_id") or self.object_id)

    @property
    def form_id(self) -> str | None:
        return _text_or_none(self.value.get("form_id"))


def verify_request(app_secret: str, body: bytes, headers: Any) -> bool:
    header = headers.get("X-Hub-Signature-256") or headers.get("x-hub-signature-256")
    if not header or not header.startswith("sha256="):
        return False
    expected = hmac.new(app_secret.encode(), body, hashlib.sha256).hexdigest()
    return hmac.compare_digest(expected, header[7:].lower())


def parse_events(payload: dict[str, Any]) -> Iterator[WebhookEvent]:
    if not isinstance(payload, dict):
        raise TypeError("payload must be a dict")
    object_type = str(payload.get("object") or "unknown")
    for entry in payload.get("entry") or []:
        if not isinstance(entry, dict):
            raise TypeError("entry must be a dict")
        entry_id = _text_or_none(entry.get("id"))
        entry_time = entry.get("time")
        for change in entry.get("changes") or []:
            if not isinstance(change, dict):
                raise TypeError("change must be a dict")
            yield WebhookEvent(object_type, str(change.get("field") or "unknown"), entry_id,
                               entry_time, change.get("value") or {})
        for item in entry.get("messaging") or []:
            yield WebhookEvent(object_type, "messages", entry_id, entry_time, item)
        for item in entry.get("standby") or []:
            yield WebhookEvent(object_type, "messages_standby", entry_id, entry_time, item)


def dedupe_key(event: WebhookEvent) -> str:
    value = event.value
    prefix = f"{event.object_type}:{event.field}"
    if isinstance(value, dict):
        for name in _ID_NAMES:
            found = value.get(name)
            if found:
                return f"{prefix}:{found}"
        message = value.get("message")
        if isinstance(message, dict) and message.get("mid"):
            return f"{prefix}:{message['mid']}"
    canonical = json.dumps(value, sort_keys=True, ensure_ascii=False)
    digest = hashlib.sha256(canonical.encode("utf-8", "surrogatepass")).hexdigest()[:32]
    return f"{prefix}:{event.object_id}:{event.time}:{digest}"


# -- leads ---------------------------------------------------------------------------------

_PHONE_CLEAN_RE = re.compile(r"[^\d+]")


@dataclass(slots=True)
class NormalizedLead:
    full_name: str | None = None
    first_name: str | None = None
    last_name: str | None = None
    email: str | None = None
    phone: str | None = None
    company: str | None = None
    job_title: str | None = None
    city: str | None = None
    state: str | None = None
    country: str | None = None
    zip: str | None = None
    address: str | None = None
    birth_date: str | None = None
    gender: str | None = None
    custom: dict[str, Any] = field(default_factory=dict)

    def as_dict(self) -> dict[str, Any]:
        out = {f.name: getattr(self, f.name) for f in fields(self)[:14] if getattr(self, f.name)}
        if self.custom:
            out["custom"] = dict(self.custom)
        return out


_CANONICAL = frozenset(f.name for f in fields(NormalizedLead)[:14])


def _tables() -> tuple[Any, Any]:
    current = policy.current()
    return current.lead_map(), current.lead_heuristics()


def _canonical_key(raw_name: str | None) -> str | None:
    name = (raw_name or "").strip().lower()
    if not name:
        return None
    exact, heuristics = _tables()
    if name in exact:
        key = exact[name]
    else:
        key = next((key for keywords, key in heuristics for kw in keywords if kw in name), None)
    return key if key in _CANONICAL else None


def _clean_phone(value: str | None) -> str:
    digits = _PHONE_CLEAN_RE.sub("", value or "")
    if digits.startswith("+"):
        return "+" + digits[1:].replace("+", "")
    return digits.replace("+", "")


def normalize(field_data: list[dict[str, Any]] | None) -> NormalizedLead:
    lead = NormalizedLead()
    for entry in field_data or []:
        if not isinstance(entry, dict):
            raise TypeError("field_data entries must be dicts")
        raw_name = entry.get("name") or entry.get("key") or ""
        values = entry.get("values") or []
        if not values:
            continue
        value = str(values[0]).strip()
        key = _canonical_key(raw_name)
        if key is None:
            lead.custom[raw_name] = value if len(values) == 1 else list(values)
            continue
        if key == "phone":
            value = _clean_phone(value)
        elif key == "email":
            value = value.lower()
        if not getattr(lead, key):
            setattr(lead, key, value)
        else:
            lead.custom[raw_name] = value
        if len(values) >= 2:
            lead.custom[raw_name + "__all"] = list(values)
    if not lead.full_name:
        parts = [part for part in (lead.first_name, lead.last_name) if part]
        if parts:
            lead.full_name = " ".join(parts)
    return lead
