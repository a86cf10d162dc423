"""Meta webhook deliveries: handshake, signature, events, keys.

The host's web framework receives the requests; this module has no server, no network access and
no state::

    GET  -> verify_challenge(request.query, VERIFY_TOKEN); None: answer 403, else answer
            exactly the returned text as text/plain
    POST -> verify_request(APP_SECRET, await request.read(), request.headers); False: 403
            for event in parse_events(json.loads(body)):
                if event.field == "leadgen" and not seen(event.key): ... event.leadgen_id

Meta gives events no identifier and delivers at least once: store each event's key in a unique
column to skip repeated deliveries.
"""

from collections.abc import Iterator, Mapping
from typing import Any, final

from corvane.models import _ValueRecord

@final
class WebhookEvent(_ValueRecord):
    """One event of a Meta webhook delivery: a change (leadgen, feed, comments, mentions, ...) or a
    Messenger/Instagram Direct messaging or standby item. value defaults to a new empty dict per
    event.

    A plain mutable record compared by value over its five fields in order. The properties key,
    leadgen_id, page_id and form_id are computed from the fields on every read.
    """

    object_type: str
    field: str
    object_id: str | None
    time: Any
    value: dict[str, Any]
    def __new__(
        cls,
        object_type: str,
        field: str,
        object_id: str | None,
        time: Any,
        value: dict[str, Any] = ...,
    ) -> WebhookEvent: ...
    @property
    def key(self) -> str:
        """The de-duplication key of this event (dedupe_key(self)); store it in a unique column."""
    @property
    def leadgen_id(self) -> str | None:
        """The value's "leadgen_id" as text when it is truthy, else None."""
    @property
    def page_id(self) -> str | None:
        """The value's "page_id" when truthy, otherwise object_id; as text, or None."""
    @property
    def form_id(self) -> str | None:
        """The value's "form_id" as text when it is truthy, else None."""

def verify_challenge(query: Mapping[str, Any], verify_token: str | None) -> Any | None:
    """Answers Meta's subscription handshake (the GET request on the callback URL).

    Returns the query's "hub.challenge" unchanged when "hub.mode" is "subscribe" and
    "hub.verify_token" equals verify_token (compared in constant time); None otherwise, also when
    verify_token is empty. Answer None with 403 and a text with exactly that text as a plain-text
    body.
    """

def verify_request(
    app_secret: str, body: bytes | bytearray | memoryview, headers: Mapping[str, str]
) -> bool:
    """Checks the X-Hub-Signature-256 header of a delivery against the app secret.

    body is the raw request body (bytes, before any JSON parsing); headers is the request's
    header mapping (case-insensitive, or a plain dict, where "X-Hub-Signature-256" and then
    "x-hub-signature-256" are tried). Returns corvane.crypto.verify_signature's verdict; a
    missing header gives False there. TypeError for a non-str app_secret or a str body.
    """

def parse_events(payload: dict[str, Any]) -> Iterator[WebhookEvent]:
    """Splits a decoded delivery into WebhookEvent records, lazily.

    Events come entry by entry; within an entry all "changes", then all "messaging" items (field
    "messages"), then all "standby" items (field "messages_standby"). Each event is built when
    asked for. A payload, entry, change or messaging/standby item that is not a dict, and an
    "entry", "changes", "messaging" or "standby" member that is truthy but not a list, raise
    TypeError when iteration reaches them, after the events before were delivered.
    """

def dedupe_key(event: WebhookEvent) -> str:
    """The stable de-duplication key of a WebhookEvent.

    "object_type:field:ID" with ID the value's first truthy leadgen_id, mid, comment_id, media_id
    or post_id, else its message.mid; otherwise "object_type:field:object_id:time:" followed by
    the first 32 hex digits of the SHA-256 of the value serialised with sorted keys (as
    json.dumps(value, sort_keys=True, ensure_ascii=False) writes it).
    """

def _delivery_rows(
    body: bytes | bytearray | memoryview,
) -> list[tuple[str, str, str, str | None, str | None, str]] | None: ...
