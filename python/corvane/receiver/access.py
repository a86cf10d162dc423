"""Who may see the admin pages, which hosts a login may send its redirect to, and access logs
that never write a query string nor a forged line."""
from __future__ import annotations

import hmac
import ipaddress
import logging
import re
from collections.abc import Iterable
from urllib.parse import quote, urlsplit

from aiohttp import web
from aiohttp.abc import AbstractAccessLogger

_PROXY_HEADERS = ("Forwarded", "X-Forwarded-For", "X-Real-IP")
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")

# The refusal says how to open the pages: an operator meets it first.
NO_ADMIN_TOKEN = ("Forbidden: admin sahifalari yopiq. CORVANE_ADMIN_TOKEN ni o'rnating (so'rovda "
                  "Authorization: Bearer <token>) yoki faqat shu mashinadan kirish uchun "
                  "--trust-loopback bilan ishga tushiring")


def _is_loopback_name(host: str) -> bool:
    host = host.strip("[]").lower()
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def host_name(request: web.BaseRequest) -> str:
    """The Host header's name without its port ("" when it has none or is malformed)."""
    try:
        return (request.url.host or "").lower()
    except ValueError:
        return ""


def is_loopback(request: web.BaseRequest) -> bool:
    """A request from this machine itself. One that came through a reverse proxy carries the
    proxy's headers and does not count: the proxy itself sits on loopback."""
    if any(h in request.headers for h in _PROXY_HEADERS):
        return False
    try:
        return ipaddress.ip_address(request.remote or "").is_loopback
    except ValueError:
        return False


def admin_allowed(request: web.BaseRequest, admin_token: str | None, *,
                  trust_loopback: bool = False) -> bool:
    """With an admin token configured, the request must carry it (Authorization: Bearer, or
    ?admin_token= for a browser link). Without one the admin pages are closed, unless trusting
    loopback was asked for: then a loopback connection that names a loopback Host (a page of
    another site in the operator's browser names its own) without a proxy's headers."""
    if not admin_token:
        return (trust_loopback and is_loopback(request) and _is_loopback_name(host_name(request))
                and not _sent_by_another_site(request))
    auth = request.headers.get("Authorization", "")
    if auth.startswith("Bearer "):
        given = auth[7:].strip()
    else:
        given = request.query.get("admin_token", "")
    try:
        return hmac.compare_digest(given.encode(), admin_token.encode())
    except UnicodeError:  # bytes that are no UTF-8 arrive as lone surrogates: never the token
        return False


def _sent_by_another_site(request: web.BaseRequest) -> bool:
    """A page of another site open in the operator's browser reaches loopback too, naming the
    loopback Host it was pointed at (a plain form POST needs no script): the browser says whose
    page sent it in Sec-Fetch-Site and Origin."""
    if request.headers.get("Sec-Fetch-Site", "").lower() in ("cross-site", "same-site"):
        return True
    origin = request.headers.get("Origin")
    if origin is None:
        return False
    host = urlsplit(origin).hostname  # None for "null" (a sandboxed frame, a file)
    return not (host and _is_loopback_name(host))


def redirect_host_allowed(request: web.BaseRequest, allowed: Iterable[str]) -> bool:
    """A login's redirect is built from the Host header only for a host of the configured list
    (loopback names always count): DNS rebinding makes a browser send the attacker's name."""
    name = host_name(request)
    return bool(name) and (_is_loopback_name(name) or name in {h.lower() for h in allowed})


def safe_path(request: web.BaseRequest) -> str:
    """The path as it came, percent-encoded again: a %0a can't start a line of its own."""
    return quote(request.path, safe="/:@!$&'()*+,;=-._~", errors="backslashreplace")


class AccessLogger(AbstractAccessLogger):
    """Method, path, status and time: the query (codes, states, admin tokens) is never logged."""

    def log(self, request: web.BaseRequest, response: web.StreamResponse, time: float) -> None:
        self.logger.info("%s %s %s %.3fs", request.method, safe_path(request), response.status, time)


access_logger = logging.getLogger("corvane.receiver.access")

_QUERY = re.compile(r"\?[^\s\"]*")
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


class QuerylessAccessLog(logging.Filter):
    """For a host that runs the app with aiohttp's own access log (web.run_app(app)): its lines
    write the request line and the Referer with their queries, where login codes, states and
    tokens travel, and the decoded path. Queries are cut and control characters escaped."""

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        message = _CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", _QUERY.sub("?…", message))
        record.msg, record.args = message, ()
        for name in ("first_request_line", "request_header"):
            if hasattr(record, name):
                delattr(record, name)
        return True


def guard_aiohttp_access_log() -> None:
    log = logging.getLogger("aiohttp.access")
    if not any(isinstance(f, QuerylessAccessLog) for f in log.filters):
        log.addFilter(QuerylessAccessLog())
