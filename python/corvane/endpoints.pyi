"""Addresses and URL builders for the Graph API, the Instagram Graph host and LinkedIn, and the
named field sets (``Fields``) that operations ask the Graph API for.
"""

from collections.abc import Mapping
from typing import Any, ClassVar

DEFAULT_GRAPH_VERSION: str
DEFAULT_LINKEDIN_VERSION: str
GRAPH_HOST: str
INSTAGRAM_GRAPH_HOST: str
FACEBOOK_DIALOG: str
INSTAGRAM_DIALOG: str
INSTAGRAM_TOKEN_URL: str
LINKEDIN_OAUTH: str
LINKEDIN_API: str
LINKEDIN_REST: str

class _ExtensionType(type):
    """The metaclass of the module's C++ classes."""

class Graph:
    """A URL builder for the Graph API host at one API version."""

    host: ClassVar[str]
    def __init__(self, version: str = "v23.0") -> None:
        """A builder for ``version`` (text such as "v23.0"; not empty)."""
    @property
    def version(self) -> str:
        """The Graph API version, e.g. "v23.0"."""
    def url(self, path: str = "") -> str:
        """``host/version/path`` with the path's leading "/" removed; ``host/version`` for an empty
        path. The path goes in as it is, unescaped.
        """
    def node(self, node_id: str) -> str:
        """The URL of one object: ``url(node_id)``."""
    def edge(self, node_id: str, edge: str) -> str:
        """The URL of a list of an object: ``url(node_id/edge)``."""
    def oauth_dialog(self, params: Mapping[str, Any]) -> str:
        """Facebook's OAuth dialog for this version, with ``params`` (a mapping, in order) as the
        query: names and text forms of the values percent-encoded (space as %20, ":" and "/"
        encoded). The "?" is written even without parameters.
        """
    def access_token(self) -> str:
        """The token exchange endpoint: ``url("oauth/access_token")``."""
    def debug_token(self) -> str:
        """The token inspection endpoint: ``url("debug_token")``."""
    def me(self) -> str:
        """``url("me")``."""
    def my_accounts(self) -> str:
        """``url("me/accounts")``: the Pages the user administers, with their page tokens."""

class InstagramGraph(Graph):
    """A Graph URL builder on the Instagram Graph host, where tokens of the Instagram login flow
    work; adds the two unversioned token endpoints.
    """

    def __init__(self, version: str = "v23.0") -> None:
        """A builder for ``version`` on the Instagram Graph host."""
    def long_lived_token(self) -> str:
        """``host/access_token``, without a version: exchanges a short-lived Instagram token."""
    def refresh_token(self) -> str:
        """``host/refresh_access_token``, without a version: refreshes a long-lived token."""

class LinkedIn(metaclass=_ExtensionType):
    """LinkedIn's OAuth, API and versioned REST addresses; every operation belongs to the class and
    needs no builder object.
    """

    @staticmethod
    def authorization() -> str:
        """``LINKEDIN_OAUTH/authorization``: the sign-in page."""
    @staticmethod
    def access_token() -> str:
        """``LINKEDIN_OAUTH/accessToken``: code exchange and refresh."""
    @staticmethod
    def introspect() -> str:
        """``LINKEDIN_OAUTH/introspectToken``: token inspection."""
    @staticmethod
    def userinfo() -> str:
        """``LINKEDIN_API/userinfo``: the OpenID Connect userinfo endpoint."""
    @staticmethod
    def rest(path: str) -> str:
        """``LINKEDIN_REST/path`` with the path's leading "/" removed (``LINKEDIN_REST/`` for an
        empty path).
        """

class _FieldsMeta(type):
    """Metaclass of Fields: resolves Fields.NAME through the current policy and lists the available
    set names.
    """

    def __getattr__(cls, name: str) -> str: ...
    def __dir__(cls) -> list[str]: ...
    def names(cls) -> list[str]:
        """The names of all available field sets (the baseline's and the current policy's), unique
        and sorted.
        """

class Fields(metaclass=_FieldsMeta):
    """Named Graph API field sets: ``Fields.FB_PAGE``, ``Fields.IG_PROFILE``, ... Each read asks
    corvane.policy for the current list, so renewed tables apply at once. ``Fields.names()`` (and
    ``dir(Fields)``) list the available names.
    """

    FB_AD_CONTEXT: ClassVar[str]
    FB_COMMENT: ClassVar[str]
    FB_LEAD: ClassVar[str]
    FB_LEADGEN_FORM: ClassVar[str]
    FB_PAGE: ClassVar[str]
    FB_POST: ClassVar[str]
    FB_USER: ClassVar[str]
    IG_COMMENT: ClassVar[str]
    IG_CONVERSATION: ClassVar[str]
    IG_MEDIA: ClassVar[str]
    IG_MESSAGE: ClassVar[str]
    IG_PARTICIPANT: ClassVar[str]
    IG_PROFILE: ClassVar[str]
