from typing import Any

class CorvaneError(Exception):
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
    ) -> None: ...

class ApiError(CorvaneError): ...
class AuthError(ApiError): ...
class PermissionError(ApiError): ...
class NotFoundError(ApiError): ...
class RateLimitError(ApiError): ...
class TransportError(CorvaneError): ...
class ConfigurationError(CorvaneError): ...
