"""URL helpers shared by the sandbox's hosts."""
from __future__ import annotations

from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit


def with_query(url: str, extra: dict[str, str]) -> str:
    """`url` with `extra` appended to its query (what a dialog redirects back to)."""
    parts = urlsplit(url)
    query = parse_qsl(parts.query, keep_blank_values=True) + list(extra.items())
    return urlunsplit(parts._replace(query=urlencode(query)))
