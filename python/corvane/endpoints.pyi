"""Addresses and URL builders for the Graph API, Instagram and LinkedIn; named field sets."""

from collections.abc import Mapping
from typing import ClassVar

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

class Graph(metaclass=_ExtensionType):
    """A URL builder for the Graph API host at one API version."""

    host: ClassVar[str]
    def __init__(self, version: str = "v23.0") -> None: ...
    @property
    def version(self) -> str: ...
    def url(self, path: str = "") -> str: ...
    def node(self, node_id: str) -> str: ...
    def edge(self, node_id: str, edge: str) -> str: ...
    def oauth_dialog(self, params: Mapping[str, object]) -> str: ...
    def access_token(self) -> str: ...
    def debug_token(self) -> str: ...
    def me(self) -> str: ...
    def my_accounts(self) -> str: ...

class InstagramGraph(Graph):
    """A Graph URL builder on the Instagram Graph host."""

    def __init__(self, version: str = "v23.0") -> None: ...
    def long_lived_token(self) -> str: ...
    def refresh_token(self) -> str: ...

class LinkedIn(metaclass=_ExtensionType):
    """LinkedIn's OAuth, API and versioned REST addresses."""

    @staticmethod
    def authorization() -> str: ...
    @staticmethod
    def access_token() -> str: ...
    @staticmethod
    def introspect() -> str: ...
    @staticmethod
    def userinfo() -> str: ...
    @staticmethod
    def rest(path: str) -> str: ...

class _FieldsMeta(type):
    """Resolves Fields.NAME through the current policy; lists the available names."""

    def __getattr__(cls, name: str) -> str: ...
    def __dir__(cls) -> list[str]: ...
    def names(cls) -> list[str]: ...

class Fields(metaclass=_FieldsMeta):
    """Named Graph API field sets, read from corvane.policy at each use."""

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
