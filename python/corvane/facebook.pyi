"""The Facebook client of corvane.

Facebook talks to Meta's Graph API for Facebook users and Pages: the login link and the code
exchange, the user's Pages with their page tokens, page webhook subscriptions, Lead Ads forms and
leads, posts, comments and post insights. Log lines go to the logger "corvane.facebook".
"""

from collections.abc import Sequence
from typing import Any, ClassVar, Literal

from typing_extensions import Self, Unpack

from corvane.errors import CorvaneError
from corvane.http import _ClientOptions, _GraphClient, _JSON, _Walk
from corvane.models import Lead, LeadForm, Page, Profile, TokenBundle
from corvane.results import AdContext, Post, PublishedPost, Subscription

__all__ = ("Facebook", "DEFAULT_PAGE_WEBHOOK_FIELDS")

DEFAULT_PAGE_WEBHOOK_FIELDS: tuple[str, ...]
_PAGE_FIELDS: str

class Facebook(_GraphClient):
    """Client for Meta's Graph API on behalf of Facebook users and Pages.

    Built once with the app's credentials, it holds no user token: every operation takes the
    token it acts with (the user token, or a page token from pages()), so one client serves every
    user and Page of the app, with any number of operations in flight. Credentials travel as the
    access_token and appsecret_proof query parameters.

        async with Facebook(app_id="...", app_secret="...") as fb:
            link = fb.login_url(redirect_uri="https://example.com/cb", state=state)
            bundle = await fb.exchange_code(code, redirect_uri="https://example.com/cb")
            for page in await fb.pages(bundle.access_token):
                await fb.subscribe_page(page.id, page.access_token)
    """

    provider: ClassVar[Literal["facebook"]]
    config_id: str | None
    def __init__(
        self,
        *,
        app_id: str,
        app_secret: str,
        graph_version: str = "v23.0",
        config_id: str | None = None,
        scopes: Sequence[str] | None = None,
        **options: Unpack[_ClientOptions],
    ) -> None:
        """app_id, app_secret: the Meta app's credentials (both required, else ConfigurationError);
        graph_version: the Graph API version of every URL; config_id: the default Facebook Login
        for Business configuration of login_url(); scopes: the default permissions of
        login_url(). Further options (timeout, retry, session, user_agent, throttle) go to
        BaseClient. Nothing is sent.
        """
    @classmethod
    def from_env(cls, *, scopes: Sequence[str] | None = None, **options: Unpack[_ClientOptions]) -> Self:
        """A client from FACEBOOK_APP_ID, FACEBOOK_APP_SECRET, FACEBOOK_CONFIG_ID (empty counts as
        unset) and META_GRAPH_VERSION (default v23.0); further options go to the constructor.
        Unset credentials raise ConfigurationError.
        """
    async def _post(self, url: str, token: str | None, **query: Any) -> _JSON: ...
    # Login and identity.
    def login_url(
        self,
        *,
        redirect_uri: str,
        state: str | None = None,
        config_id: str | None = None,
        scopes: list[str] | tuple[str, ...] | None = None,
    ) -> str:
        """The link of Facebook's login dialog. A configuration id (the argument, else the client's)
        is sent as config_id with no scope (Facebook Login for Business); otherwise scope lists
        the permissions (the argument, else the client's) joined by ','. The caller makes, keeps
        and checks state (CSRF protection).
        """
    async def exchange_code(self, code: str, *, redirect_uri: str) -> TokenBundle:
        """Exchanges the dialog's code for a short-lived user token, then that for a long-lived one
        (about 60 days). Returns a TokenBundle of both answers merged, the long-lived one
        winning. redirect_uri must be exactly the one of the login link. ApiError when the first
        answer carries no token (no second request is sent).
        """
    async def granted_scopes(self, token: str) -> list[str]:
        """The permissions the user really granted to token (the dialog lets them refuse some), as
        the token-inspection endpoint reports them; [] when it reports none.
        """
    async def revoke(self, token: str, *, user_id: str = "me") -> bool:
        """Withdraws the app's permissions on Meta's side. True when the platform reports success,
        else False.
        """
    async def me(self, token: str) -> Profile:
        """The user's own Profile (id, name as username and full_name, picture URL, email)."""
    # Pages and webhook subscriptions.
    async def pages(self, token: str) -> list[Page]:
        """The Pages the user of token manages (at most 500), as Page records with their page tokens
        (secrets: keep them out of browsers and logs) and linked Instagram accounts.
        """
    async def subscribe_page(self, page_id: str, page_token: str, fields: list[str] | tuple[str, ...] | None = None) -> bool:
        """Subscribes the Page to the app's webhook for fields (default
        DEFAULT_PAGE_WEBHOOK_FIELDS). The page token needs pages_manage_metadata. True when the
        platform reports success.
        """
    async def subscriptions(self, page_id: str, page_token: str) -> list[Subscription]:
        """The Page's webhook subscriptions as the platform lists them (one request)."""
    async def unsubscribe_page(self, page_id: str, page_token: str) -> bool:
        """Removes the app's webhook subscription of the Page. True when the platform reports
        success.
        """
    # Lead Ads.
    async def lead_forms(self, page_id: str, page_token: str) -> list[LeadForm]:
        """The Page's Lead Ads forms (at most 500), as LeadForm records."""
    async def leads(self, form_id: str, page_token: str, *, since: int | None = None, limit: int = 200) -> list[Lead]:
        """The leads of a form, as Lead records: at most limit of them, only those created after
        since (seconds since 1970, UTC) when it is given and not 0. Backfills what a webhook
        missed.
        """
    def iter_leads(self, form_id: str, page_token: str, since: int | None = None) -> _Walk[Lead]:
        """The leads of a form as an async iterator of Lead records, fetching the next page only
        when the previous one is used up: a backfill of any size holds one page. since as in
        leads().
        """
    async def lead(self, leadgen_id: str, page_token: str) -> Lead:
        """One lead, by the leadgen_id of its webhook event, as a Lead record."""
    async def ad_context(self, ad_id: str | None, token: str) -> AdContext:
        """The ad, ad set and campaign behind a lead as one flat dict (ad_id, ad_name, adset_id,
        adset_name, campaign_id, campaign_name, objective, optimization_goal, targeting). token
        needs ads_management. {} without an ad id, or when the platform refuses (logged at
        warning level); a transport failure or a throttle (RateLimitError) is raised.
        """
    async def leads_with_context(
        self, leadgen_ids: list[str] | tuple[str, ...] | None, page_token: str, *, ad_token: str | None = None
    ) -> list[tuple[Lead, AdContext] | CorvaneError]:
        """Many leads with the ads behind them, in Graph batches (one HTTP call per 25 leads): each
        lead read with page_token, its ad through the lead's ad_id with ad_token (the token with
        ads_management; page_token when None). A list in the order of leadgen_ids, each a (Lead,
        ad context) pair as lead() and ad_context() give them, or the error the lead alone would
        have raised (returned, not raised; a throttled ad's RateLimitError too). An ad the
        platform refuses gives {} (logged at warning level), as does a lead without an ad.
        """
    # Posts, comments and insights.
    async def posts(self, page_id: str, page_token: str, *, limit: int = 25) -> list[Post]:
        """The Page's own posts (published_posts, not the feed that visitors write on), at most
        limit of them, as the platform returns them.
        """
    def iter_posts(self, page_id: str, page_token: str) -> _Walk[Post]:
        """The Page's own posts as an async iterator, one page held at a time."""
    async def publish_post(
        self, page_id: str, page_token: str, *, message: str, link: str | None = None, published: bool = True
    ) -> PublishedPost:
        """Creates a post on the Page's feed; returns the platform's answer (the new post's id)."""
    async def delete_post(self, post_id: str, page_token: str) -> bool:
        """Deletes a post. True when the platform reports success."""
    async def post_insights(self, post_id: str, page_token: str) -> dict[str, _JSON]:
        """The post's statistics as {metric name: value}, for the metrics of the current policy's
        "FB_POST_INSIGHTS" list. {} when the platform has none for it (old posts; logged at info
        level).
        """
    async def posts_insights(self, post_ids: list[str] | tuple[str, ...] | None, page_token: str) -> dict[str, dict[str, _JSON]]:
        """post_insights for many posts in Graph batches (one HTTP call per 50 posts): {post id:
        {metric name: value}} in the order given, {} for a post the platform has no statistics
        for (logged at info level). Any other failure of a post is raised.
        """
    async def comments(self, post_id: str, page_token: str, *, limit: int = 50) -> list[dict[str, Any]]:
        """The post's comments, newest first, at most limit of them."""
    def iter_comments(self, post_id: str, page_token: str) -> _Walk[dict[str, Any]]:
        """A post's comments, newest first, as an async iterator, one page held at a time."""
    async def reply_comment(self, comment_id: str, page_token: str, message: str) -> _JSON:
        """Answers a comment as the Page; returns the platform's answer."""
    async def hide_comment(self, comment_id: str, page_token: str, hidden: bool = True) -> _JSON:
        """Hides (or, with hidden=False, shows again) a comment; its author still sees it. Returns
        the platform's answer.
        """
