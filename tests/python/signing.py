"""The Graph API's signed request as the tests write it out: appsecret_proof is the HMAC-SHA256
of the token under the app secret, sent after the caller's own pairs and the token."""
from __future__ import annotations

import hashlib
import hmac


def proof(token: str, secret: str) -> str:
    return hmac.new(secret.encode(), token.encode(), hashlib.sha256).hexdigest()


def signed(token: str, *pairs: tuple[str, str], secret: str) -> list[tuple[str, str]]:
    """The query of a request signed with `token`: the given pairs, then the credentials."""
    return [*pairs, ("access_token", token), ("appsecret_proof", proof(token, secret))]
