"""Rows shared by both stores."""
from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from .store import LeadRecord


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def lead_row(key: str, lead: LeadRecord, now: float) -> tuple[Any, ...]:
    return (lead.leadgen_id, key, lead.page_id, lead.form_id, lead.ad_id, lead.created_time,
            _json(lead.fields), _json(lead.custom), _json(lead.ad_context), _json(lead.raw), now)


def page_row(row: Sequence[Any]) -> dict[str, Any]:
    return {"page_id": row[0], "name": row[1], "connected_at": row[2], "needs_reconnecting": row[3]}


def decode_lead(row: dict[str, Any]) -> dict[str, Any]:
    for name in ("fields", "custom", "ad_context", "raw"):
        row[name] = json.loads(row[name])
    return row
