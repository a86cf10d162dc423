"""The Instagram client of corvane.

Instagram talks to Meta's Graph API for Instagram professional accounts, in either login mode:
Instagram login (the Instagram Graph host, the account's own token) or Facebook login (the Graph
API host, the token of the Facebook Page linked to the account, and the account's id on every
call). It reads the profile and media, publishes images and reels, moderates comments, reads and
answers Direct conversations with their customers' profiles, and reads account insights and
follower demographics. Log lines go to the logger "corvane.instagram".
"""

import datetime
from collections.abc import Container, Sequence
from typing import Any, ClassVar, Literal

from typing_extensions import Self, Unpack

from corvane.http import _ClientOptions, _GraphClient, _JSON, _Walk
from corvane.models import Profile, TokenBundle
from corvane.results import (
    AccountInsights,
    Contact,
    Conversation,
    ConversationPage,
    Demographics,
    Message,
    Published,
)

__all__ = ("Instagram",)

_MEDIA_METRICS: dict[str, str]
_DEFAULT_METRICS: str
_PUBLISH_ATTEMPTS: int
_PUBLISH_DELAY: float
_PROFILE_CONCURRENCY: int
_DEMOGRAPHIC_BREAKDOWNS: tuple[str, ...]

def _flatten(data: dict[str, Any]) -> dict[str, Any]: ...

class Instagram(_GraphClient):
    """Client for Instagram professional accounts.

    Built once with the app's credentials, it holds no token: every operation takes the token it
    acts with, so one client serves every account of the app. The mode is fixed per client:

        ig = Instagram(app_id="...", app_secret="...")          # Instagram login
        fb_ig = Instagram.via_facebook(app_secret="...")         # Facebook login
        await fb_ig.profile(page_token, ig_user_id="1784...")    # the account id is required

    On an instance, `via_facebook` reads the mode (True for Facebook login); on the class it is
    the constructor of the Facebook-login mode.
    """

    provider: ClassVar[Literal["instagram"]]
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
        **options: Unpack[_ClientOptions],
    ) -> None:
        """app_id: the Instagram app id (only login_url and exchange_code need it); app_secret: the
        Instagram app's secret (Instagram login) or the Facebook app's (Facebook login), for
        appsecret_proof and the token requests; via_facebook: True for the Facebook-login mode
        (Graph API host, page tokens); graph_version: the API version of every URL; scopes: the
        default permissions of login_url() (None or [] for the five instagram_business_ ones).
        Further options (timeout, retry, session, user_agent, throttle) go to BaseClient. Nothing
        is validated or sent here.
        """
    @classmethod
    def via_facebook(
        cls, *, app_secret: str, graph_version: str = "v23.0", scopes: Sequence[str] | None = None,
        **options: Unpack[_ClientOptions],
    ) -> Self:
        """A client of the Facebook-login mode: requests go to the Graph API host with the token of
        the Page linked to the account; app_secret is the Facebook app's. No app id is needed
        (login happened on the Facebook side).
        """
    @classmethod
    def from_env(cls, *, scopes: Sequence[str] | None = None, **options: Unpack[_ClientOptions]) -> Self:
        """A client from INSTAGRAM_APP_ID, INSTAGRAM_APP_SECRET (unset: empty) and
        META_GRAPH_VERSION (unset or empty: v23.0); further options go to the constructor.
        Nothing is validated.
        """
    # Request helpers shared by the operations.
    async def _post(self, url: str, token: str | None, json: _JSON = None, **query: Any) -> _JSON: ...
    def _node(self, ig_user_id: str | None = None) -> str: ...
    # Instagram login.
    def login_url(
        self, *, redirect_uri: str, state: str | None = None, scopes: list[str] | tuple[str, ...] | None = None
    ) -> str:
        """The link of Instagram's login dialog: client_id, redirect_uri, response_type=code, scope
        (the argument, else the client's scopes, joined by ',') and state when given, every byte
        but the unreserved ones percent-encoded. ConfigurationError without an app_id (also in
        the Facebook-login mode). The caller makes, keeps and checks state.
        """
    async def exchange_code(self, code: str, *, redirect_uri: str) -> TokenBundle:
        """Exchanges the dialog's code (form POST to the token endpoint) for a short-lived token,
        then that for a long-lived one (about 60 days) on the Instagram Graph host. Returns a
        TokenBundle of both answers merged, the long-lived one winning. redirect_uri must be
        exactly the one of the login link. ApiError when the first answer carries no token (no
        second request is sent).
        """
    async def refresh_token(self, token: str) -> TokenBundle:
        """Extends a long-lived token by another 60 days and returns the new TokenBundle. The
        platform refuses tokens younger than 24 hours or already expired: refresh on a schedule
        (about weekly). ApiError when the answer carries no token.
        """
    # Profile, media and publishing.
    async def profile(self, token: str, *, ig_user_id: str | None = None) -> Profile:
        """The account's Profile. The field set depends on the host: Fields.IG_PROFILE (Instagram
        login) or Fields.IG_PROFILE_FB (Facebook login); a member the answer lacks is None in the
        Profile. ig_user_id: the account (required in the Facebook-login mode; else 'me').
        """
    async def media(self, token: str, *, ig_user_id: str | None = None, limit: int = 25) -> list[dict[str, Any]]:
        """The account's media objects as the platform sends them, at most limit in total across
        pages.
        """
    def iter_media(self, token: str, *, ig_user_id: str | None = None) -> _Walk[dict[str, Any]]:
        """An async iterator over all the account's media objects (Fields.IG_MEDIA), as the platform
        sends them, newest first. The next page is fetched only when the previous one is used up.
        ig_user_id: the account (required in the Facebook-login mode; else 'me').
        """
    async def media_insights(self, media_id: str, token: str) -> dict[str, _JSON]:
        """The statistics of one media object as {metric name: value}. The metrics are chosen by its
        product type (REELS, STORY), else its media type, else the default list. {} when the
        platform has none for it (logged at info level).
        """
    async def publish(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        caption: str | None = None,
        image_url: str | None = None,
        video_url: str | None = None,
        is_reel: bool = False,
    ) -> Published:
        """Publishes one image or video from a public HTTPS link (the platform downloads it):
        creates the container, waits for a video to be processed (polling every _PUBLISH_DELAY
        seconds, at most _PUBLISH_ATTEMPTS times), then publishes it. Returns {'container_id',
        'media_id'}. A video link wins over an image link. Every video goes out as media_type
        REELS (the platform no longer takes VIDEO), so is_reel is kept for callers but changes
        nothing. ConfigurationError without either link; ApiError when no container is made,
        processing fails or times out (the container then stays unpublished on the platform).
        """
    async def _await_container(self, container_id: str, token: str) -> None: ...
    # Comments and Direct.
    async def comments(self, media_id: str, token: str, *, limit: int = 50) -> list[dict[str, Any]]:
        """The media object's comments (Fields.IG_COMMENT), at most limit in total across pages, as
        the platform sends them.
        """
    def iter_comments(self, media_id: str, token: str) -> _Walk[dict[str, Any]]:
        """An async iterator over all the media object's comments (Fields.IG_COMMENT), as the
        platform sends them, one page held at a time.
        """
    async def reply_comment(self, comment_id: str, token: str, message: str) -> _JSON:
        """Answers a comment as the account; returns the platform's answer."""
    async def hide_comment(self, comment_id: str, token: str, hidden: bool = True) -> _JSON:
        """Hides (or, with hidden=False, shows again) a comment; returns the platform's answer."""
    async def delete_comment(self, comment_id: str, token: str) -> _JSON:
        """Deletes a comment; returns the platform's answer."""
    async def conversations(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        page_id: str | None = None,
        limit: int = 25,
        after: str | None = None,
        enrich: bool = True,
    ) -> ConversationPage:
        """One page of Direct conversations as {'data': [...], 'paging': ...}, each shaped as id,
        updated_time, message_count, unread_count, contact, contacts (participants other than
        ig_user_id and page_id) and last_message. With enrich, each distinct customer's profile
        (as contact() gives it) is merged into their participant objects: in the Facebook-login
        mode looked up in Graph batches (one HTTP call per 50 customers), else at most
        _PROFILE_CONCURRENCY look-ups at a time. The Facebook-login mode reads the Page's inbox
        and needs page_id (else ConfigurationError). after: the platform's cursor of the next
        page.
        """
    def iter_conversations(
        self, token: str, *, ig_user_id: str | None = None, page_id: str | None = None, enrich: bool = True
    ) -> _Walk[Conversation]:
        """An async iterator over all the Direct conversations, each shaped as conversations()
        shapes it, one page held at a time. With enrich, a page's distinct customers are looked
        up before its first conversation is handed out (in Graph batches of 50 in the
        Facebook-login mode, else contact(), at most _PROFILE_CONCURRENCY at a time). The
        Facebook-login mode reads the Page's inbox and needs page_id (else ConfigurationError).
        """
    async def messages(self, conversation_id: str, token: str, *, limit: int = 50, after: str | None = None) -> dict[str, Any]:
        """One page of a conversation's messages (Fields.IG_MESSAGE), limit at a time, as the
        platform answers; after: its cursor of the next page.
        """
    def iter_messages(self, conversation_id: str, token: str) -> _Walk[Message]:
        """An async iterator over all a conversation's messages (Fields.IG_MESSAGE), as the platform
        sends them, one page held at a time.
        """
    async def contact(self, igsid: str, token: str) -> Contact:
        """A conversation partner's profile (Fields.IG_PARTICIPANT) with available=True. When the
        platform refuses to open it (no message from them yet, missing permission), {'id',
        'available': False, 'reason'} instead of an error (logged at info level).
        """
    async def send_message(
        self, recipient_id: str, token: str, text: str, *, ig_user_id: str | None = None, page_id: str | None = None
    ) -> _JSON:
        """Sends a text message to a customer: from the Page (page_id, required in the
        Facebook-login mode, else ConfigurationError) or from the account (ig_user_id, default
        'me'). More than 24 hours after the customer's last message the platform refuses with
        PermissionError. Returns the platform's answer.
        """
    async def _enrich(self, conversations: list[dict[str, Any]], token: str, business_ids: Container[str]) -> None: ...
    @staticmethod
    def _shape(conversation: dict[str, Any], business_ids: Container[str]) -> Conversation: ...
    # Statistics.
    async def insights(
        self,
        token: str,
        *,
        ig_user_id: str | None = None,
        since: datetime.date | None = None,
        until: datetime.date | None = None,
    ) -> AccountInsights:
        """The account's daily metrics summed over a date range, as {'since', 'until', 'metrics':
        {name: total}}. until defaults to today and never lies after it; since defaults to until
        minus 29 days; a range over 30 days keeps its last 30. The dates returned (YYYY-MM-DD)
        are the ones sent. The metric list comes from the policy (IG_ACCOUNT_INSIGHTS).
        """
    async def demographics(self, token: str, *, ig_user_id: str | None = None) -> Demographics:
        """Follower demographics per breakdown ('age,gender', 'city', 'country'), each {'available':
        True, 'values': _flatten(answer)} or, when the platform refuses it (e.g. under 100
        followers), {'available': False, 'reason': message}. Three requests, one after another.
        """
