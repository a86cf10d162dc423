"""Lead Ads answers mapped to canonical CRM fields."""

import re
from collections.abc import Sequence
from typing import Any, ClassVar, final

_PHONE_CLEAN_RE: re.Pattern[str]

@final
class NormalizedLead:
    """A lead's answers under canonical CRM keys (see normalize)."""

    __match_args__: ClassVar[tuple[str, ...]]
    full_name: str | None
    first_name: str | None
    last_name: str | None
    email: str | None
    phone: str | None
    company: str | None
    job_title: str | None
    city: str | None
    state: str | None
    country: str | None
    zip: str | None
    address: str | None
    birth_date: str | None
    gender: str | None
    custom: dict[str, Any]
    def __new__(
        cls,
        full_name: str | None = None,
        first_name: str | None = None,
        last_name: str | None = None,
        email: str | None = None,
        phone: str | None = None,
        company: str | None = None,
        job_title: str | None = None,
        city: str | None = None,
        state: str | None = None,
        country: str | None = None,
        zip: str | None = None,
        address: str | None = None,
        birth_date: str | None = None,
        gender: str | None = None,
        custom: dict[str, Any] = ...,
    ) -> NormalizedLead: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...
    def as_dict(self) -> dict[str, Any]:
        """A new dict for a CRM payload: non-empty fields in order, then "custom" if any."""

def normalize(field_data: Sequence[dict[str, Any]] | None) -> NormalizedLead:
    """Maps a lead's field_data to a new NormalizedLead."""

def _tables() -> tuple[Any, Any]: ...
def _canonical_key(raw_name: str | None) -> str | None: ...
def _clean_phone(value: str | None) -> str: ...
