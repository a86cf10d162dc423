"""Meta webhook deliveries: handshake, signature, events, keys."""

from collections.abc import Iterator, Mapping
from typing import Any, ClassVar, final

@final
class WebhookEvent:
    """One event of a Meta webhook delivery (a change, or a messaging/standby item)."""

    __match_args__: ClassVar[tuple[str, ...]]
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
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...
    @property
    def key(self) -> str:
        """The de-duplication key of this event (dedupe_key(self))."""
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
    """The query's "hub.challenge" when the handshake is valid, else None (answer 403)."""

def verify_request(
    app_secret: str, body: bytes | bytearray | memoryview, headers: Mapping[str, str]
) -> bool:
    """True when the X-Hub-Signature-256 header signs exactly these bytes with the secret."""

def parse_events(payload: dict[str, Any]) -> Iterator[WebhookEvent]:
    """The events of a decoded delivery, built one at a time as iteration asks for them."""

def dedupe_key(event: WebhookEvent) -> str:
    """The stable de-duplication key of an event."""
