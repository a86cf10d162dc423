"""The LinkedIn client of corvane.

LinkedIn signs members in with OAuth 2.0 and OpenID Connect, reads their profile from the OpenID
userinfo endpoint, and lists, publishes and deletes posts through the versioned REST API, whose
every request carries a "LinkedIn-Version" header. The one log record: a warning on the
"corvane.linkedin" logger when LinkedIn refuses the version sent (426).
"""

from collections.abc import AsyncIterator, Mapping, Sequence
from typing import Any, ClassVar, Literal

from typing_extensions import Self, Unpack

from corvane.http import BaseClient, _ClientOptions
from corvane.models import Profile, TokenBundle
from corvane.results import CreatedPost, DeletedPost, LinkedInPost, PostPage

__all__ = ("LinkedIn",)

DEFAULT_SCOPES: list[str]
ORGANIZATION_SCOPES: list[str]

class LinkedIn(BaseClient):
    """Client for LinkedIn's OAuth, OpenID userinfo and versioned REST API.

    Built once with the app's client id and secret, it holds no member token: every operation
    takes the token it acts with, so one client serves every member of the app, with any number
    of operations in flight.

        async with LinkedIn(client_id="...", client_secret="...") as li:
            link = li.login_url("https://example.com/cb", state=state)
            bundle = await li.exchange_code(code, "https://example.com/cb")
            me = await li.me(bundle.access_token)
            await li.create_post(bundle.access_token, me.id, "Hello")
    """

    provider: ClassVar[Literal["linkedin"]]
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
        **options: Unpack[_ClientOptions],
    ) -> None:
        """client_id, client_secret: the LinkedIn app's credentials (login_url() needs the id);
        api_version: the "LinkedIn-Version" of every REST request (YYYYMM); scopes: the default
        scopes of login_url() (None or [] gives DEFAULT_SCOPES). Further options (timeout, retry,
        session, user_agent, throttle) go to BaseClient. Wrong types raise TypeError. Nothing is
        sent.
        """
    @classmethod
    def from_env(cls, *, scopes: Sequence[str] | None = None, **options: Unpack[_ClientOptions]) -> Self:
        """A client from LINKEDIN_CLIENT_ID, LINKEDIN_CLIENT_SECRET (default '') and
        LINKEDIN_API_VERSION (default DEFAULT_LINKEDIN_VERSION); a variable set but empty gives
        ''. Further options go to the constructor.
        """
    def _headers(self, token: str | None = None, extra: Mapping[str, str] | None = None) -> dict[str, str]: ...
    # Sign-in, tokens and identity.
    def login_url(
        self, redirect_uri: str, *, state: str | None = None, scopes: list[str] | tuple[str, ...] | None = None
    ) -> str:
        """The link of LinkedIn's sign-in page: response_type=code, client_id, redirect_uri, scope
        (the given scopes, else the client's, joined by spaces) and state when given. The caller
        makes, keeps and checks state. ConfigurationError without a client_id.
        """
    @staticmethod
    def person_urn(sub: str) -> str:
        """'urn:li:person:' followed by sub: the author form of a member's posts."""
    async def exchange_code(self, code: str, redirect_uri: str) -> TokenBundle:
        """Exchanges the sign-in page's code for a member token; returns a TokenBundle. redirect_uri
        must be exactly the one of the sign-in link. ApiError 'LinkedIn token bermadi' when the
        answer holds no access_token.
        """
    async def refresh(self, refresh_token: str) -> TokenBundle:
        """A new member token for a refresh token (LinkedIn issues those only to apps it enabled for
        them); returns a TokenBundle. ApiError 'Token yangilanmadi' when the answer holds no
        access_token.
        """
    async def introspect(self, token: str) -> dict[str, Any] | None:
        """LinkedIn's token introspection of token (active, scope, expiry, ...), unchanged."""
    async def me(self, token: str) -> Profile:
        """The signed-in member's Profile from the OpenID userinfo endpoint: id = sub, username =
        email (else sub), full_name, picture, email; raw holds the answer with 'language' taken
        from its locale (en_US, en-US or {'language': 'en'} give 'en'). ApiError when the answer
        lacks the member id (sub) or holds a field of the wrong type.
        """
    # Posts.
    async def posts(self, token: str, author: str, *, start: int = 0, count: int = 10) -> PostPage:
        """One page of the posts of author (a URN, or a member's bare sub) as LinkedIn answers it;
        call again with a larger start for the next page. Sent as LinkedIn's author finder
        (X-RestLi-Method: FINDER). Needs LinkedIn's Community Management API product: without it,
        a PermissionError that says so.
        """
    def iter_posts(self, token: str, author: str, *, page_size: int = 50) -> AsyncIterator[LinkedInPost]:
        """An async iterator over the posts of author (a URN, or a member's bare sub), newest first,
        page_size (1 to 100) per request. The next page is asked for only when the previous one
        is used up; the walk ends at an empty or short page, at LinkedIn's total, and at a page
        LinkedIn answers again. Errors are those of posts().
        """
    # Company pages.
    async def organizations(self, token: str) -> list[str]:
        """The URNs ('urn:li:organization:<id>') of the company pages the member administers (an
        approved ADMINISTRATOR role), in LinkedIn's order, every page of LinkedIn's answer read.
        The token needs r_organization_social, w_organization_social or an organization admin
        scope; without one LinkedIn answers 403 (PermissionError).
        """
    async def create_post(
        self,
        token: str,
        author: str,
        text: str,
        *,
        visibility: Literal["PUBLIC", "CONNECTIONS"] = "PUBLIC",
        article_url: str | None = None,
        article_title: str | None = None,
    ) -> CreatedPost:
        """Publishes a text post of author (a URN or a bare sub), with a link card when article_url
        is given (titled article_title, else the link). Sent exactly once, without retries.
        Returns {'id': the new post's URN (None if LinkedIn gave none), 'body': the answer}.
        visibility is PUBLIC or CONNECTIONS, else ConfigurationError before anything is sent.
        """
    async def delete_post(self, token: str, post_urn: str) -> DeletedPost:
        """Deletes the post post_urn; returns {'deleted': True, 'urn': post_urn}."""
