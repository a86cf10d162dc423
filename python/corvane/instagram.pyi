"""The Instagram client: both login flows, profile and media, publishing, comments, Direct inbox, insights and demographics."""

import datetime
from collections.abc import Container, Mapping, Sequence
from typing import Any, ClassVar, TypeVar

from corvane.endpoints import Graph
from corvane.http import BaseClient
from corvane.models import Profile, TokenBundle

__all__ = ("Instagram",)

_JSON = Any
_I = TypeVar("_I", bound=Instagram)

_MEDIA_METRICS: dict[str, str]
_DEFAULT_METRICS: str
_PUBLISH_ATTEMPTS: int
_PUBLISH_DELAY: float
_PROFILE_CONCURRENCY: int
_DEMOGRAPHIC_BREAKDOWNS: tuple[str, ...]

def _flatten(data: dict[str, Any]) -> dict[str, Any]: ...

class Instagram(BaseClient):
    provider: ClassVar[str]
    app_id: str
    app_secret: str
    scopes: list[str]
    graph: Graph
    # On an instance, `via_facebook` is the mode (a bool kept in the instance's __dict__); on
    # the class it is the constructor of the Facebook-login mode.
    def __init__(
        self,
        *,
        app_id: str = "",
        app_secret: str = "",
        via_facebook: bool = False,
        graph_version: str = "v23.0",
        scopes: Sequence[str] | None = None,
        **options: Any,
    ) -> None: ...
    @classmethod
    def via_facebook(cls: type[_I], *, app_secret: str, **options: Any) -> _I: ...
    @classmethod
    def from_env(cls: type[_I], **options: Any) -> _I: ...
    # Request helpers shared by the operations.
    def _signed(self, token: str | None, params: Mapping[str, Any] | None = None) -> dict[str, Any]: ...
    async def _get(self, url: str, token: str | None, **query: Any) -> _JSON: ...
    async def _post(self, url: str, token: str | None, json: _JSON = None, **query: Any) -> _JSON: ...
    async def _delete(self, url: str, token: str | None, **query: Any) -> _JSON: ...
    async def _list(self, url: str, token: str | None, *, max_items: int = 500, **query: Any) -> list[_JSON]: ...
    def _node(self, ig_user_id: str | None = None) -> str: ...
    # Instagram login.
    def login_url(self, *, redirect_uri: str, state: str | None = None, scopes: Sequence[str] | None = None) -> str: ...
    async def exchange_code(self, code: str, *, redirect_uri: str) -> TokenBundle: ...
    async def refresh_token(self, token: str) -> TokenBundle: ...
    # Profile, media and publishing.
    async def profile(self, token: str, *, ig_user_id: str | None = None) -> Profile: ...
    async def media(self, token: str, *, ig_user_id: str | None = None, limit: int = 25) -> list[dict[str, Any]]: ...
    async def media_insights(self, media_id: str, token: str) -> dict[str, _JSON]: ...
    async def publish(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        caption: str | None = None,
        image_url: str | None = None,
        video_url: str | None = None,
        is_reel: bool = False,
    ) -> dict[str, Any]: ...
    async def _await_container(self, container_id: str, token: str) -> None: ...
    # Comments and Direct.
    async def comments(self, media_id: str, token: str, *, limit: int = 50) -> list[dict[str, Any]]: ...
    async def reply_comment(self, comment_id: str, token: str, message: str) -> _JSON: ...
    async def hide_comment(self, comment_id: str, token: str, hidden: bool = True) -> _JSON: ...
    async def delete_comment(self, comment_id: str, token: str) -> _JSON: ...
    async def conversations(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        page_id: str | None = None,
        limit: int = 25,
        after: str | None = None,
        enrich: bool = True,
    ) -> dict[str, Any]: ...
    async def messages(self, conversation_id: str, token: str, *, limit: int = 50, after: str | None = None) -> dict[str, Any]: ...
    async def contact(self, igsid: str, token: str) -> dict[str, Any]: ...
    async def send_message(
        self, recipient_id: str, token: str, text: str, *, ig_user_id: str | None = None, page_id: str | None = None
    ) -> _JSON: ...
    async def _enrich(self, conversations: list[dict[str, Any]], token: str, business_ids: Container[str]) -> None: ...
    @staticmethod
    def _shape(conversation: dict[str, Any], business_ids: Container[str]) -> dict[str, Any]: ...
    # Statistics.
    async def insights(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        since: datetime.date | None = None,
        until: datetime.date | None = None,
    ) -> dict[str, Any]: ...
    async def demographics(self, token: str, *, ig_user_id: str | None = None) -> dict[str, Any]: ...
