"""Keeps secrets out of logs and stored reasons. An error of the client can carry a token in
more than one place (its message, its URL, its payload), so text is cleaned by value and by
the names of the query parameters that carry credentials."""
from __future__ import annotations

import re
from collections.abc import Iterable

from corvane.crypto import SECRET_NAMES

# Names that are ordinary words elsewhere in a text count only as query parameters; the others
# only ever carry credentials and match anywhere.
_ONLY_AS_PARAMETERS = frozenset({"code", "token"})
_CREDENTIAL_PARAMS = re.compile(
    "((?:" + "|".join(
        ("(?<=[?&])" if name in _ONLY_AS_PARAMETERS else "") + re.escape(name)
        for name in SECRET_NAMES) + r")=)[^&\s\"']+",
    re.IGNORECASE)


def redact(text: str, secrets: Iterable[str | None] = ()) -> str:
    for secret in secrets:
        if secret and len(secret) >= 4:
            text = text.replace(secret, "***")
    return _CREDENTIAL_PARAMS.sub(r"\1***", text)


def describe(error: BaseException, secrets: Iterable[str | None] = ()) -> str:
    """A short reason for an error: its kind, status and code, and its cleaned message. The
    error's URL, payload and cause are left out on purpose."""
    parts = [type(error).__name__]
    for name in ("status", "code", "subcode"):
        value = getattr(error, name, None)
        if value is not None:
            parts.append(f"{name}={value}")
    message = getattr(error, "message", None)
    text = str(message if message is not None else error)
    return redact(" ".join(parts) + ": " + text[:300], secrets)
