"""Rows shared by both stores."""
from __future__ import annotations

import json
from collections.abc import Sequence
from json.encoder import c_make_encoder, encode_basestring  # type: ignore[attr-defined]
from typing import Any

from .store import LeadRecord


def _refuse(value: Any) -> Any:
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


# What json.dumps(value, ensure_ascii=False, separators=(",", ":")) gives, without the encoder
# json builds for every call (a third of the time of a small value). No check for circles: what
# is written here comes from parsed JSON or plain records.
_ONE_SHOT = c_make_encoder and c_make_encoder(None, _refuse, encode_basestring, None, ":", ",",
                                              False, False, True)
_SLOW = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def to_json(value: Any) -> str:
    return "".join(_ONE_SHOT(value, 0)) if _ONE_SHOT else _SLOW(value)


def lead_row(key: str, lead: LeadRecord, now: float) -> tuple[Any, ...]:
    return (lead.leadgen_id, key, lead.page_id, lead.form_id, lead.ad_id, lead.created_time,
            to_json(lead.fields), to_json(lead.custom), to_json(lead.ad_context), to_json(lead.raw), now)


def page_row(row: Sequence[Any]) -> dict[str, Any]:
    return {"page_id": row[0], "name": row[1], "connected_at": row[2], "needs_reconnecting": row[3]}


def decode_lead(row: dict[str, Any]) -> dict[str, Any]:
    for name in ("fields", "custom", "ad_context", "raw"):
        row[name] = json.loads(row[name])
    return row
