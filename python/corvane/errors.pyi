"""Error kinds of corvane.

Every failure the library reports is one of these::

    CorvaneError                 base of everything corvane raises
    ├── ApiError                 the platform answered with an error (or lacked what was needed)
    │   ├── AuthError            credentials refused: token invalid, expired or revoked
    │   ├── PermissionError      valid credentials without the permission, or action forbidden
    │   ├── NotFoundError        the object does not exist or is not visible
    │   ├── RateLimitError       the platform throttled the caller (see retry_after)
    │   └── NotRunError          an operation of a batch the platform did not run
    ├── TransportError           the platform could not be reached (connection, timeout)
    └── ConfigurationError       a setting or argument is missing; nothing was sent

Each error carries ``message`` and, where known, ``provider``, ``status``, ``code``, ``subcode``,
``payload``, ``url`` (secrets masked) and ``retry_after``; the absent ones are None. ``str(err)``
is the message. ``url`` and ``retry_after`` may be assigned after construction.
"""

from typing import Any

class CorvaneError(Exception):
    """Base of every error corvane raises."""

    message: Any
    provider: str | None
    status: int | None
    code: int | None
    subcode: int | None
    payload: Any
    url: str | None
    retry_after: float | None
    def __init__(
        self,
        /,
        message: Any,
        *,
        provider: str | None = ...,
        status: int | None = ...,
        code: int | None = ...,
        subcode: int | None = ...,
        payload: Any = ...,
        url: str | None = ...,
        retry_after: float | None = ...,
    ) -> None:
        """Builds an error from its message and, by name, any of its fields."""

class ApiError(CorvaneError):
    """The platform answered with an error that no narrower kind covers, or a successful answer
    lacked what the operation needs.
    """
class AuthError(ApiError):
    """The credentials were refused (token invalid, expired or revoked)."""
class PermissionError(ApiError):
    """The credentials are valid but lack a permission, or the platform forbids the action."""
class NotFoundError(ApiError):
    """The object does not exist or is not visible."""
class RateLimitError(ApiError):
    """The platform throttled the caller; retry_after holds the wait it gave in seconds
    (Retry-After, else the longest estimated_time_to_regain_access of X-Business-Use-Case-Usage).
    """
class NotRunError(ApiError):
    """An operation of a Graph batch that the platform did not run: an operation it depends on
    failed or was not run, or the batch ran out of time. The message says which, when known;
    nothing of it took effect.
    """
class TransportError(CorvaneError):
    """The platform could not be reached: connection failure or timeout, after retries."""
class ConfigurationError(CorvaneError):
    """A setting or argument is missing; detected before any request is sent."""
