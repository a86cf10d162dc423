"""HMAC-SHA256 helpers for Meta's platform: appsecret_proof and webhook signatures."""

def appsecret_proof(token: str, app_secret: str) -> str:
    """Lower-case hex HMAC-SHA256 of ``token`` keyed with ``app_secret``."""

def verify_signature(app_secret: str, body: bytes | bytearray | memoryview, header: str | None) -> bool:
    """True only for "sha256=<hex HMAC-SHA256 of body>" made with ``app_secret``."""
