"""Keeps secrets out of logs and stored reasons. An error of the client can carry a token in
more than one place (its message, its URL, its payload), so text is cleaned by value and by
the names of the query parameters that carry credentials."""
from __future__ import annotations

import re
from collections.abc import Iterable

# The names the client's own masker treats as secret (core/mask.cpp). Names that only ever
# carry credentials match anywhere; the generic "code" and "token" only as query parameters.
_CREDENTIAL_PARAMS = re.compile(
    r"((?:access_token|appsecret_proof|client_secret|fb_exchange_token|input_token|refresh_token"
    r"|(?<=[?&])code|(?<=[?&])token)=)[^&\s\"']+", re.IGNORECASE)


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
