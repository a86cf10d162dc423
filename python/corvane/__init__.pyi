"""corvane: asynchronous Graph API (Facebook Pages, Lead Ads, Instagram) and LinkedIn API
clients, with Meta webhook verification and Lead Ads normalisation, written in C++.

The everyday names can be taken from the package itself::

    from corvane import Facebook, normalize, parse_events, verify_request

Each is imported from its module the first time it is asked for, not before.
"""

from corvane.errors import (
    ApiError as ApiError,
    AuthError as AuthError,
    ConfigurationError as ConfigurationError,
    CorvaneError as CorvaneError,
    NotFoundError as NotFoundError,
    PermissionError as PermissionError,
    RateLimitError as RateLimitError,
    TransportError as TransportError,
)
from corvane.facebook import Facebook as Facebook
from corvane.http import BaseClient as BaseClient, RetryPolicy as RetryPolicy
from corvane.instagram import Instagram as Instagram
from corvane.leads import NormalizedLead as NormalizedLead, normalize as normalize
from corvane.linkedin import LinkedIn as LinkedIn
from corvane.models import (
    Lead as Lead,
    LeadForm as LeadForm,
    Page as Page,
    Profile as Profile,
    TokenBundle as TokenBundle,
)
from corvane.webhooks import (
    WebhookEvent as WebhookEvent,
    dedupe_key as dedupe_key,
    parse_events as parse_events,
    verify_challenge as verify_challenge,
    verify_request as verify_request,
)

__version__: str
__all__ = [
    "Facebook",
    "Instagram",
    "LinkedIn",
    "BaseClient",
    "RetryPolicy",
    "verify_challenge",
    "verify_request",
    "parse_events",
    "dedupe_key",
    "WebhookEvent",
    "normalize",
    "NormalizedLead",
    "TokenBundle",
    "Profile",
    "Page",
    "LeadForm",
    "Lead",
    "CorvaneError",
    "ApiError",
    "AuthError",
    "NotFoundError",
    "RateLimitError",
    "TransportError",
    "ConfigurationError",
]

def __dir__() -> list[str]: ...
