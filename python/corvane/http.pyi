"""Transport core of corvane.

BaseClient is the base class of the Facebook, Instagram and LinkedIn clients: one HTTP session
per client (created lazily, closed only if the client created it), the request pipeline with
retries and back-off, mapping of error responses to corvane.errors kinds, and Graph cursor
pagination. RetryPolicy holds the retry settings. Log lines go to the logger "corvane".

aiohttp is imported when a client is first constructed, not when this module is imported.
"""

from collections.abc import Awaitable, Callable, Coroutine, Mapping, Sequence
from typing import Any, ClassVar, Generic, TypedDict, TypeVar, final, type_check_only

import aiohttp
from typing_extensions import Unpack

from corvane.endpoints import Graph
from corvane.results import BatchRequest, UsageSnapshot

_JSON = Any
_C = TypeVar("_C", bound=BaseClient)
_T = TypeVar("_T")

RETRYABLE_STATUSES: frozenset[int]

class RetryPolicy:
    """Retry settings of a client: attempts, back-off and spread.

    With the defaults a request is tried at most three times, waiting about 0.5 and 1 second
    between attempts.
    """

    attempts: int
    backoff_base: float
    backoff_max: float
    jitter: bool
    max_retry_after: float
    __match_args__ = ("attempts", "backoff_base", "backoff_max", "jitter", "max_retry_after")
    def __init__(
        self,
        attempts: int = 3,
        backoff_base: float = 0.5,
        backoff_max: float = 30.0,
        jitter: bool = True,
        max_retry_after: float = 300.0,
    ) -> None:
        """Retry settings: total attempts per request (the first one included), the delay after the
        first failure, the cap of the exponential delay, whether each delay is multiplied by a
        random factor in [0.5, 1.5), and the longest wait a rate limit is waited out for
        (Retry-After, or Meta's estimated_time_to_regain_access; a longer one raises the
        RateLimitError at once). Seconds must be finite and not negative, and attempts must fit a
        C long, else ValueError.
        """
    def delay_for(self, attempt: int) -> float:
        """Seconds to wait after the failed attempt number `attempt` (counted from 1): backoff_base
        * 2**(attempt-1), capped at backoff_max, then spread.
        """
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Throttle:
    """Pacing from the Graph API's usage headers (X-App-Usage, X-Page-Usage,
    X-Business-Use-Case-Usage, X-Ad-Account-Usage) and from throttle answers, shared by every
    client given the same Throttle (give the clients of one app one Throttle).

    Before a request is sent, the budgets its token counted against in earlier answers are looked
    at. Below `threshold` percent nothing is done. At or above it, the budget's requests go one
    at a time, spaced so that the headroom left lasts one `window`. A budget at 100 %, with a
    wait to regain access, or answered with a throttle error is blocked: requests wait for its
    end when that is within the client's retry.max_retry_after, and otherwise raise
    RateLimitError with retry_after set, without being sent.
    """

    def __new__(cls, *, threshold: float = 90, window: float = 3600) -> Throttle: ...
    @property
    def threshold(self) -> float:
        """The percentage of a budget at which its requests go one at a time."""
    @property
    def window(self) -> float:
        """The budgets' rolling window, in seconds."""
    @property
    def usage(self) -> UsageSnapshot:
        """A snapshot of what the answers said: see BaseClient.usage."""

@final
class _Walk(Generic[_T]):
    def __aiter__(self) -> _Walk[_T]: ...
    def __anext__(self) -> Coroutine[Any, Any, _T]: ...

class _RawAnswer(dict[str, Any]):
    """{'raw': text}: a response body that is not JSON. For a successful response, status and url
    (masked) tell which one it was.
    """

    status: int | None
    url: str | None

class _Session:
    """The session slot of a client: the session, whether the client owns it, and the lock that
    serialises its creation.
    """

    session: aiohttp.ClientSession | None
    owned: bool
    lock: Any
    def __init__(self, session: aiohttp.ClientSession | None = None) -> None: ...

# Keyword options that several signatures take alike; they exist only for type checkers.
@type_check_only
class _RequestOptions(TypedDict, total=False):
    params: Mapping[str, Any] | None
    json: _JSON
    data: Mapping[str, Any] | None
    headers: Mapping[str, str] | None

@type_check_only
class _ClientOptions(TypedDict, total=False):
    """What a client's constructor passes on to BaseClient."""

    timeout: float
    retry: RetryPolicy | None
    session: aiohttp.ClientSession | None
    user_agent: str
    throttle: Throttle | None

class BaseClient:
    """Base of the provider clients.

    Use it as a scope (``async with client:``), which creates the session on entry and closes it
    on exit, or keep it and ``await client.close()`` yourself. A session passed as ``session=``
    is used but never closed. A session the client created itself belongs to the event loop it
    was created on: used from another loop (a second ``asyncio.run``), the client leaves it and
    creates a new one. Subclasses add credentials through ``_auth_params``/``_auth_headers`` (or
    per call), read their platform's error bodies in ``_parse_error`` and name the error kind of
    a status, code and subcode in ``_error_kind``.

    Retries follow ``retry`` (a RetryPolicy). GET and DELETE are retried after a transport
    failure and after a retryable error response. A POST is retried only when it certainly took
    no effect: the connection could not be made (nothing was sent), or the platform refused it as
    a rate limit (RateLimitError). After a 5xx answer, a time-out or a connection lost once the
    request may have gone out, a POST fails at once: the platform has no idempotency key, and a
    replay could publish the same post twice (or present a single-use code a second time).
    """

    provider: ClassVar[str]
    timeout: aiohttp.ClientTimeout
    retry: RetryPolicy
    user_agent: str
    throttle: Throttle | None
    _sess: _Session
    def __init__(
        self,
        *,
        timeout: float = 30.0,
        retry: RetryPolicy | None = None,
        session: aiohttp.ClientSession | None = None,
        user_agent: str = "corvane-python",
        throttle: Throttle | None = ...,
    ) -> None:
        """timeout: seconds one HTTP attempt may take in all; retry: a RetryPolicy (defaults when
        None); session: an aiohttp.ClientSession owned by the host, used but never closed;
        user_agent: the User-Agent of sessions the client creates; throttle: the Throttle that
        paces the requests (a Throttle of the client's own when not given; share one between the
        clients of one app; None: no pacing and no usage record). Nothing is sent and no session
        is created here.
        """
    @property
    def usage(self) -> UsageSnapshot:
        """What the platform's usage headers said, as plain data (a UsageSnapshot): the app's
        figures, the older Page header's, each business object's figures by use case type with
        the Unix time access comes back (regain_at), the ad accounts', and the budgets being
        paced (state slow or blocked). The record is the client's Throttle's, shared with every
        client given the same Throttle; empty with throttle=None.
        """
    async def __aenter__(self: _C) -> _C: ...
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    async def close(self) -> None:
        """Closes the session if the client created it, and empties the slot. A session supplied by
        the host is only forgotten. The client stays usable.
        """
    async def _ensure_session(self) -> aiohttp.ClientSession: ...
    def request(
        self,
        method: str,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        json: _JSON = None,
        data: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
        idempotent: bool = False,
    ) -> Coroutine[Any, Any, _JSON]:
        """Sends one API call with retries and returns the decoded JSON body of the first successful
        response (None for an empty body, {'raw': text} for one that is not JSON). params: query
        parameters (None values dropped), appended to the URL's own query; json: a JSON body;
        data: a form body; headers: per-request headers; idempotent: a POST that only reads (a
        Graph batch of GET operations), retried as a GET would be. Error responses raise the
        matching corvane.errors kind; unreachable servers raise TransportError.
        """
    def get(self, url: str, **options: Unpack[_RequestOptions]) -> Coroutine[Any, Any, _JSON]:
        """request('GET', url, ...)."""
    def post(self, url: str, **options: Unpack[_RequestOptions]) -> Coroutine[Any, Any, _JSON]:
        """request('POST', url, ...)."""
    def delete(self, url: str, **options: Unpack[_RequestOptions]) -> Coroutine[Any, Any, _JSON]:
        """request('DELETE', url, ...)."""
    async def paginate(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        max_items: int = 500,
        page_size: int = 100,
    ) -> list[_JSON]:
        """Fetches a Graph list and follows its paging.next links, returning at most max_items items
        of the pages' data arrays, in order. Asks for page_size items per page unless params
        names a limit.
        """
    def iterate(
        self, url: str, *, params: Mapping[str, Any] | None = None, page_size: int = 100
    ) -> _Walk[_JSON]:
        """An async iterator over the items of a Graph list: the data arrays of its pages, in order,
        following paging.next. The next page is fetched only when the previous one is used up, so
        only one page is held at a time. Asks for page_size items per page unless params names a
        limit.
        """
    def _iterate(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        page_size: int = 100,
        convert: Callable[[_JSON], _T] | None = None,
        each_page: Callable[[list[_JSON]], Awaitable[object] | None] | None = None,
    ) -> _Walk[_T]: ...
    def _auth_params(self, params: Mapping[str, Any] | None = None) -> dict[str, Any]: ...
    def _auth_headers(self, headers: Mapping[str, str] | None = None) -> dict[str, str]: ...
    def _sign_url(self, url: str) -> str: ...
    def _parse_error(self, status: int, body: _JSON) -> Exception: ...
    def _error_kind(self, status: int, code: object, subcode: object) -> str: ...
    def _require_json(self, answer: _JSON) -> _JSON: ...
    @classmethod
    async def _read(cls, response: aiohttp.ClientResponse) -> _JSON: ...
    @classmethod
    def _is_retryable(cls, error: BaseException) -> bool: ...

# What the Facebook and Instagram clients share: both talk to the Graph API with an app secret.
@type_check_only
class _GraphClient(BaseClient):
    app_id: str
    app_secret: str
    scopes: list[str]
    graph: Graph
    async def batch(self, requests: Sequence[BatchRequest], token: str | None) -> list[Any]:
        """Sends many Graph requests in batch calls of at most 50 operations and returns their
        answers in the order given. requests: a list of dicts with 'path' (relative, without host
        or version; may carry a query) and optionally 'method' ('GET', 'POST' or 'DELETE'; GET by
        default), 'params' (query values), 'body' (form values of a POST), 'name', 'depends_on'
        (the name of an earlier request), 'token' (the request's own token; its appsecret_proof
        is added) and 'omit_response_on_success'. A later request reads an earlier named one's
        answer through '{result=NAME:$.path}' in its path, params or body. token: the batch's
        token, used by every request without its own. Each element of the list is the decoded
        answer, or the corvane.errors exception the same request alone would have raised
        (returned, not raised): NotRunError for a request the platform did not run, None for an
        answer omitted on success. Requests are split where no reference crosses; a reference
        that no split into calls of 50 keeps inside one call raises ValueError before anything is
        sent. A call of GET requests only is retried like a GET; a request that failed inside a
        call is never sent again.
        """
    def _signed(self, token: str | None, params: Mapping[str, Any] | None = None) -> dict[str, Any]: ...
    async def _get(self, url: str, token: str | None, **query: Any) -> _JSON: ...
    async def _delete(self, url: str, token: str | None, **query: Any) -> _JSON: ...
    async def _list(self, url: str, token: str | None, *, max_items: int = 500, **query: Any) -> list[_JSON]: ...

def _retry_after(response: Any) -> float | None: ...
def _relay(awaitable: Awaitable[Any], catch: Any = None) -> Coroutine[Any, Any, Any]: ...
