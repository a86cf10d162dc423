"""The shapes of the dict results, for type checkers and editors.

The operations return plain dicts; these ``TypedDict`` classes name their keys so that a
misspelled key (``ctx["campain_name"]``) is caught before it runs::

    from corvane.results import AdContext

    def campaign_of(context: AdContext) -> str:
        return context.get("campaign_name") or "-"

Importing this module loads no extension module.
"""

from __future__ import annotations

from typing import Any, Literal, TypedDict

__all__ = [
    "AccountInsights",
    "AdAccountUsage",
    "AdContext",
    "BatchRequest",
    "Breakdown",
    "BusinessUsage",
    "Contact",
    "Conversation",
    "ConversationPage",
    "CreatedPost",
    "DeletedPost",
    "Demographics",
    "FieldDataItem",
    "InstagramAccount",
    "LinkedInPost",
    "Message",
    "MessageParty",
    "PacedBudget",
    "Participant",
    "Post",
    "PostAttachment",
    "PostPage",
    "PostPaging",
    "Published",
    "PublishedPost",
    "Subscription",
    "TotalCount",
    "UsageFigures",
    "UsageSnapshot",
]


class FieldDataItem(TypedDict, total=False):
    """One answer of a lead form (``Lead.field_data``): the question's name and the answers
    given, as texts. A few forms name the question under ``key`` instead of ``name``."""

    name: str
    key: str
    values: list[str]


class AdContext(TypedDict, total=False):
    """The ad, ad set and campaign behind a lead (``Facebook.ad_context``): all nine keys, or
    none at all when the lead has no ad or the platform refused to tell."""

    ad_id: str | None
    ad_name: str | None
    adset_id: str | None
    adset_name: str | None
    campaign_id: str | None
    campaign_name: str | None
    objective: str | None
    optimization_goal: str | None
    targeting: dict[str, Any] | None


class PostAttachment(TypedDict, total=False):
    """One attachment of a Page post (``Post.attachments["data"]``)."""

    media_type: str
    type: str
    url: str
    title: str
    description: str


class TotalCount(TypedDict, total=False):
    """A post's reactions or comments as counted by the Graph API: ``summary["total_count"]``
    (``data`` is asked empty)."""

    data: list[dict[str, Any]]
    summary: dict[Literal["total_count"], int]


class Post(TypedDict, total=False):
    """A Page post (``Facebook.posts``, ``Facebook.iter_posts``): the members of
    ``Fields.FB_POST`` that the Graph API sends for it (it leaves out empty ones)."""

    id: str
    message: str
    story: str
    created_time: str
    updated_time: str
    permalink_url: str
    full_picture: str
    status_type: str
    is_published: bool
    shares: dict[Literal["count"], int]
    attachments: dict[Literal["data"], list[PostAttachment]]
    reactions: TotalCount
    comments: TotalCount


class InstagramAccount(TypedDict, total=False):
    """The Instagram business account linked to a Page (``Page.instagram_business_account``)."""

    id: str
    username: str
    name: str
    profile_picture_url: str
    followers_count: int
    follows_count: int
    media_count: int
    biography: str
    website: str


class PublishedPost(TypedDict, total=False):
    """The Graph API's answer to a new Page post (``Facebook.publish_post``)."""

    id: str


class Subscription(TypedDict, total=False):
    """One app subscribed to a Page's webhooks (``Facebook.subscriptions``)."""

    id: str
    name: str
    category: str
    link: str
    subscribed_fields: list[str]


class CreatedPost(TypedDict):
    """The result of ``LinkedIn.create_post``: the new post's URN (``None`` when LinkedIn sent
    none) and LinkedIn's answer."""

    id: str | None
    body: Any


class DeletedPost(TypedDict):
    """The result of ``LinkedIn.delete_post``."""

    deleted: Literal[True]
    urn: str


class PostPaging(TypedDict, total=False):
    """The ``paging`` of a LinkedIn finder answer: where the page starts, how many it asked
    for, the number of elements in all (often missing) and LinkedIn's prev/next links."""

    start: int
    count: int
    total: int
    links: list[dict[str, str]]


class LinkedInPost(TypedDict, total=False):
    """A post as LinkedIn's posts finder lists it (``LinkedIn.posts``, ``iter_posts``)."""

    id: str
    author: str
    commentary: str
    visibility: str
    distribution: dict[str, Any]
    content: dict[str, Any]
    lifecycleState: str
    isReshareDisabledByAuthor: bool
    createdAt: int
    publishedAt: int
    lastModifiedAt: int


class PostPage(TypedDict, total=False):
    """The result of ``LinkedIn.posts``: LinkedIn's answer, one page of an author's posts."""

    elements: list[LinkedInPost]
    paging: PostPaging


# ---- Graph batch ----


class _BatchRequestPath(TypedDict):
    path: str


class BatchRequest(_BatchRequestPath, total=False):
    """One request of a Graph batch (``Facebook.batch``, ``Instagram.batch`` in the
    Facebook-login mode). ``path`` is relative, without host or version (``"me/accounts"``,
    ``"{result=lead:$.ad_id}"``), and may carry a query; ``params`` are further query values,
    ``body`` the form values of a POST; ``token`` is the request's own token (its
    appsecret_proof is added), else the batch's is used. A later request reads an earlier
    named one's answer through ``{result=NAME:$.path}`` in its path, params or body."""

    method: Literal["GET", "POST", "DELETE"]
    params: dict[str, Any] | None
    body: dict[str, Any] | None
    name: str | None
    depends_on: str | None
    token: str | None
    omit_response_on_success: bool


# ---- Instagram ----


class Published(TypedDict):
    """The result of ``Instagram.publish``: the container made, then the media published."""

    container_id: str
    media_id: str


class AccountInsights(TypedDict):
    """The result of ``Instagram.insights``: the dates sent (YYYY-MM-DD) and each metric's
    total over them."""

    since: str
    until: str
    metrics: dict[str, Any]


class Breakdown(TypedDict, total=False):
    """One breakdown of ``Instagram.demographics``: ``values`` when available, else the
    platform's ``reason``."""

    available: bool
    values: dict[str, Any]
    reason: str


Demographics = TypedDict(
    "Demographics",
    {"age,gender": Breakdown, "city": Breakdown, "country": Breakdown},
)
Demographics.__doc__ = """The result of ``Instagram.demographics``, one entry per breakdown."""


class Contact(TypedDict, total=False):
    """A conversation partner's profile (``Instagram.contact``): the platform's fields with
    ``available`` True, or only ``id``, ``available`` False and ``reason``."""

    id: str
    available: bool
    reason: str
    name: str
    username: str
    profile_pic: str
    follower_count: int
    is_verified_user: bool
    is_user_follow_business: bool
    is_business_follow_user: bool


class Participant(Contact, total=False):
    """A customer in a Direct conversation (``Conversation.contact``): ``id`` and ``username``
    as the inbox lists them; enriched, the keys of their ``contact()`` profile merged in."""


class MessageParty(TypedDict, total=False):
    """The sender or a recipient of a Direct message."""

    id: str
    username: str
    email: str


Message = TypedDict(
    "Message",
    {
        "id": str,
        "created_time": str,
        "from": MessageParty,
        "to": dict[Literal["data"], list[MessageParty]],
        "message": str,
        "attachments": dict[str, Any],
        "reactions": dict[str, Any],
        "shares": dict[str, Any],
        "story": dict[str, Any],
        "is_unsupported": bool,
    },
    total=False,
)
Message.__doc__ = """A Direct message (``Instagram.messages``, ``Instagram.iter_messages``): the members
of ``Fields.IG_MESSAGE`` the platform sends for it."""


class Conversation(TypedDict):
    """A Direct conversation as the inbox shows it (``Instagram.conversations``,
    ``Instagram.iter_conversations``)."""

    id: str
    updated_time: str | None
    message_count: int | None
    unread_count: int | None
    contact: Participant | None
    contacts: list[Participant]
    last_message: Message | None


class ConversationPage(TypedDict, total=False):
    """One page of ``Instagram.conversations``."""

    data: list[Conversation]
    paging: dict[str, Any]


class UsageFigures(TypedDict):
    """X-App-Usage or X-Page-Usage: whole percentages of the budget over a rolling hour (None
    where the header left a figure out)."""

    call_count: float | None
    total_time: float | None
    total_cputime: float | None


class BusinessUsage(UsageFigures):
    """One use case type of a business object, from X-Business-Use-Case-Usage; regain_at: the
    Unix time access comes back, when the platform named a wait."""

    regain_at: float | None


class AdAccountUsage(TypedDict):
    """X-Ad-Account-Usage; reset_at: the Unix time the figures start again."""

    acc_id_util_pct: float | None
    reset_at: float | None
    ads_api_access_tier: str | None


class PacedBudget(TypedDict):
    """A budget the throttle is pacing: its object id ("app", a Page or Instagram account id,
    "act_<id>", or "token:<fingerprint>" for one token's own) and use case type; state "slow"
    (one at a time, `spacing` seconds apart) or "blocked" (until the Unix time `until`)."""

    id: str
    type: str
    state: Literal["slow", "blocked"]
    percent: float
    until: float | None
    spacing: float | None


class UsageSnapshot(TypedDict):
    """BaseClient.usage: what the last answers' usage headers said. objects: business object id
    -> use case type ("pages", "leadgen", "instagram", "messenger", "ads_management", ...) ->
    figures; ad_accounts: "act_<id>" -> figures."""

    app: UsageFigures | None
    page: UsageFigures | None
    objects: dict[str, dict[str, BusinessUsage]]
    ad_accounts: dict[str, AdAccountUsage]
    paced: list[PacedBudget]
