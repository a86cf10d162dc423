"""The rules of a webhook event's de-duplication key, written out independently of the module."""
from __future__ import annotations

import hashlib
import json
from typing import Any


def get(mapping: Any, name: str) -> Any:
    # The entry points read dicts directly: a subclass's own __getitem__ or get is not asked.
    return dict.get(mapping, name) if isinstance(mapping, dict) else None


def digest(value: Any) -> str:
    text = json.dumps(value, sort_keys=True, ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


def expected_key(event: Any) -> str:
    v = event.value
    for name in ("leadgen_id", "mid", "comment_id", "media_id", "post_id"):
        if get(v, name):
            return f"{event.object_type}:{event.field}:{get(v, name)}"
    if get(get(v, "message"), "mid"):
        return f"{event.object_type}:{event.field}:{v['message']['mid']}"
    return f"{event.object_type}:{event.field}:{event.object_id}:{event.time}:{digest(v)}"
