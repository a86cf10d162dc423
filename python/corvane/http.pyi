from collections.abc import Awaitable, Callable, Coroutine, Mapping
from typing import Any, ClassVar, Generic, TypeVar, final

import aiohttp

_JSON = Any
_C = TypeVar("_C", bound=BaseClient)
_T = TypeVar("_T")

RETRYABLE_STATUSES: frozenset[int]

class RetryPolicy:
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
    ) -> None: ...
    def delay_for(self, attempt: int) -> float: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class _Walk(Generic[_T]):
    def __aiter__(self) -> _Walk[_T]: ...
    def __anext__(self) -> Coroutine[Any, Any, _T]: ...

class _RawAnswer(dict[str, Any]):
    status: int | None
    url: str | None

class _Session:
    session: aiohttp.ClientSession | None
    owned: bool
    lock: Any
    def __init__(self, session: aiohttp.ClientSession | None = None) -> None: ...

class BaseClient:
    provider: ClassVar[str]
    timeout: aiohttp.ClientTimeout
    retry: RetryPolicy
    user_agent: str
    _sess: _Session
    def __init__(
        self,
        *,
        timeout: float = 30.0,
        retry: RetryPolicy | None = None,
        session: aiohttp.ClientSession | None = None,
        user_agent: str = "corvane-python",
    ) -> None: ...
    async def __aenter__(self: _C) -> _C: ...
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    async def close(self) -> None: ...
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
    ) -> Coroutine[Any, Any, _JSON]: ...
    def get(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        json: _JSON = None,
        data: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> Coroutine[Any, Any, _JSON]: ...
    def post(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        json: _JSON = None,
        data: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> Coroutine[Any, Any, _JSON]: ...
    def delete(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        json: _JSON = None,
        data: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> Coroutine[Any, Any, _JSON]: ...
    async def paginate(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        max_items: int = 500,
        page_size: int = 100,
    ) -> list[_JSON]: ...
    def iterate(
        self, url: str, *, params: Mapping[str, Any] | None = None, page_size: int = 100
    ) -> _Walk[_JSON]: ...
    def _iterate(
        self,
        url: str,
        *,
        params: Mapping[str, Any] | None = None,
        page_size: int = 100,
        convert: Callable[[_JSON], _T] | None = None,
    ) -> _Walk[_T]: ...
    def _auth_params(self, params: Mapping[str, Any] | None = None) -> dict[str, Any]: ...
    def _auth_headers(self, headers: Mapping[str, str] | None = None) -> dict[str, str]: ...
    def _parse_error(self, status: int, body: _JSON) -> Exception: ...
    def _require_json(self, answer: _JSON) -> _JSON: ...
    @classmethod
    async def _read(cls, response: aiohttp.ClientResponse) -> _JSON: ...
    @classmethod
    def _is_retryable(cls, error: BaseException) -> bool: ...

def _retry_after(response: Any) -> float | None: ...
def _relay(awaitable: Awaitable[Any], catch: Any = None) -> Coroutine[Any, Any, Any]: ...
