"""The LinkedIn client: OAuth and OpenID profile, versioned REST posts."""

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, TypeVar

from corvane.http import BaseClient
from corvane.models import Profile, TokenBundle

__all__ = ("LinkedIn",)

_JSON = Any
_L = TypeVar("_L", bound=LinkedIn)

DEFAULT_SCOPES: list[str]

class LinkedIn(BaseClient):
    provider: ClassVar[str]
    client_id: str
    client_secret: str
    api_version: str
    scopes: list[str]
    def __init__(
        self,
        *,
        client_id: str = "",
        client_secret: str = "",
        api_version: str = ...,
        scopes: Sequence[str] | None = None,
        **options: Any,
    ) -> None: ...
    @classmethod
    def from_env(cls: type[_L], **options: Any) -> _L: ...
    def _headers(self, token: str | None = None, extra: Mapping[str, str] | None = None) -> dict[str, str]: ...
    def _parse_error(self, status: int, body: _JSON) -> Exception: ...
    # Sign-in, tokens and identity.
    def login_url(self, redirect_uri: str, *, state: str | None = None, scopes: Sequence[str] | None = None) -> str: ...
    @staticmethod
    def person_urn(sub: str) -> str: ...
    async def exchange_code(self, code: str, redirect_uri: str) -> TokenBundle: ...
    async def refresh(self, refresh_token: str) -> TokenBundle: ...
    async def introspect(self, token: str) -> dict[str, Any] | None: ...
    async def me(self, token: str) -> Profile: ...
    # Posts.
    async def posts(self, token: str, author: str, *, start: int = 0, count: int = 10) -> dict[str, Any] | None: ...
    async def create_post(
        self,
        token: str,
        author: str,
        text: str,
        *,
        visibility: str = "PUBLIC",
        article_url: str | None = None,
        article_title: str | None = None,
    ) -> dict[str, Any]: ...
    async def delete_post(self, token: str, post_urn: str) -> dict[str, Any]: ...
