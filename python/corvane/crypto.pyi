"""HMAC-SHA256 helpers for Meta's platform.

``appsecret_proof`` is the proof the Graph API accepts beside an access token;
``verify_signature`` checks the X-Hub-Signature-256 header of a webhook delivery.
"""

SECRET_NAMES: tuple[str, ...]

def appsecret_proof(token: str, app_secret: str) -> str:
    """The lower-case hex HMAC-SHA256 of ``token`` keyed with ``app_secret``, sent as the
    ``appsecret_proof`` query parameter beside ``access_token``. Raises TypeError naming the
    argument when either is not a str.
    """

def verify_signature(app_secret: str, body: bytes | bytearray | memoryview, header: str | None) -> bool:
    """True only when ``header`` is "sha256=" followed by the hex HMAC-SHA256 of the raw ``body``
    bytes keyed with ``app_secret`` (hex in either letter case). An absent, empty or malformed
    header, or an empty app secret, gives False. The digests are compared in constant time.
    ``body`` must be the bytes as received (a str is a TypeError); ``app_secret`` and ``header``
    must be str (``header`` may be None).
    """
