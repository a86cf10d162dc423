"""Result records of corvane.

A few operations return small records instead of the platform's JSON::

    TokenBundle   outcome of an OAuth code exchange or token refresh
    Profile       one person or account, the same shape on every platform
    Page          a Facebook Page the user manages, with its page access token
    LeadForm      a Lead Ads form
    Lead          one submitted lead, with its field_data

Records are plain values owned by the caller: their fields are read-only, they compare equal when
they are of the same class with equal fields and equal ``raw``, and they are unhashable (they
hold dicts). ``raw`` is a shallow copy of the object the record was built from. Tokens never
appear in a ``repr()``; copy and pickle keep every field.
"""

from typing import Any, ClassVar, Literal, final, type_check_only

from typing_extensions import Never

from corvane.results import FieldDataItem, InstagramAccount

# The runtime classes are made by the binding layer's own metaclass.
class _BindingType(type): ...

# What every record has; the two bases exist only for type checkers.
@type_check_only
class _Record(metaclass=_BindingType):
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def raw(self) -> dict[str, Any]:
        """The object the record was built from (a dict, shallow-copied at construction)."""
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@type_check_only
class _FromResponse(_Record):
    # Built only by from_response: construction raises TypeError.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

# WebhookEvent and NormalizedLead: plain mutable records compared by value over their fields.
@type_check_only
class _ValueRecord:
    __match_args__: ClassVar[tuple[str, ...]]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class TokenBundle(_FromResponse):
    """The outcome of an OAuth code exchange or token refresh.

    Fields absent from the payload are None; everything else the platform sent (e.g.
    refresh_token_expires_in) stays reachable through raw. Built only by from_response.
    """

    @property
    def access_token(self) -> str:
        """The access token (None when the payload has none)."""
    @property
    def token_type(self) -> str | None:
        """The token type, e.g. 'bearer'."""
    @property
    def expires_in(self) -> int | None:
        """Lifetime in seconds, as the platform gave it."""
    @property
    def refresh_token(self) -> str | None:
        """The refresh token, where the platform issues one."""
    @property
    def scope(self) -> str | None:
        """The granted scope, as the platform gave it."""
    @staticmethod
    def from_response(payload: dict[str, Any]) -> TokenBundle:
        """Builds the bundle from the decoded token JSON object (a dict)."""

@final
class Profile(_Record):
    """One person or account, the same shape on every platform.

    Built by keywords: id and platform are required, the other fields default to None and raw
    (the platform's answer the profile was built from) to an empty dict.
    """

    def __init__(
        self,
        *,
        id: str | None,
        platform: str | None,
        username: str | None = ...,
        full_name: str | None = ...,
        picture: str | None = ...,
        email: str | None = ...,
        bio: str | None = ...,
        website: str | None = ...,
        account_type: str | None = ...,
        followers_count: int | None = ...,
        follows_count: int | None = ...,
        media_count: int | None = ...,
        raw: dict[str, Any] | None = ...,
    ) -> None:
        """Builds a profile from its fields, given by name; raw must be a dict."""
    @property
    def id(self) -> str:
        """Platform identifier of the account or person."""
    @property
    def platform(self) -> Literal["facebook", "instagram", "linkedin"]:
        """'facebook', 'instagram' or 'linkedin'."""
    @property
    def username(self) -> str | None:
        """Handle or login name."""
    @property
    def full_name(self) -> str | None:
        """Display name."""
    @property
    def picture(self) -> str | None:
        """URL of the profile picture."""
    @property
    def email(self) -> str | None:
        """E-mail address, where the platform discloses it."""
    @property
    def bio(self) -> str | None:
        """Biography (Instagram)."""
    @property
    def website(self) -> str | None:
        """Website (Instagram)."""
    @property
    def account_type(self) -> str | None:
        """Account type (Instagram)."""
    @property
    def followers_count(self) -> int | None:
        """Number of followers (Instagram)."""
    @property
    def follows_count(self) -> int | None:
        """Number of accounts followed (Instagram)."""
    @property
    def media_count(self) -> int | None:
        """Number of media (Instagram)."""

@final
class Page(_FromResponse):
    """A Facebook Page the user manages.

    access_token is the page token the page-level operations take; it is a secret and never
    appears in repr(). Built only by from_response.
    """

    @property
    def id(self) -> str:
        """Page id."""
    @property
    def name(self) -> str | None:
        """Page name."""
    @property
    def category(self) -> str | None:
        """Page category."""
    @property
    def access_token(self) -> str:
        """The page access token: a secret, never shown in repr()."""
    @property
    def instagram_business_account(self) -> InstagramAccount | None:
        """The linked Instagram business account (a dict) or None."""
    @staticmethod
    def from_response(item: dict[str, Any]) -> Page:
        """Builds the page from one item of the me/accounts list (a dict)."""

@final
class LeadForm(_FromResponse):
    """A Lead Ads form. Built only by from_response."""

    @property
    def id(self) -> str:
        """Form id."""
    @property
    def name(self) -> str | None:
        """Form name."""
    @property
    def status(self) -> str | None:
        """Form status, e.g. 'ACTIVE'."""
    @staticmethod
    def from_response(item: dict[str, Any]) -> LeadForm:
        """Builds the form from one item of a page's leadgen_forms list (a dict)."""

@final
class Lead(_FromResponse):
    """One submitted lead. repr() shows how many fields were submitted, not their values. Built only
    by from_response.
    """

    @property
    def id(self) -> str:
        """Lead id."""
    @property
    def created_time(self) -> str | None:
        """When the lead was submitted, as the platform gave it."""
    @property
    def form_id(self) -> str | None:
        """Id of the form the lead came through."""
    @property
    def ad_id(self) -> str | None:
        """Id of the ad the lead came through (None for organic leads)."""
    @property
    def field_data(self) -> list[FieldDataItem]:
        """The submitted fields: a list of {'name', 'values'} dicts (empty when missing)."""
    @staticmethod
    def from_response(item: dict[str, Any]) -> Lead:
        """Builds the lead from one lead object (a dict); field_data must be a list when present."""
