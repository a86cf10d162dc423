"""Who may see the admin pages, and an access log that never writes a query string."""
from __future__ import annotations

import hmac
import ipaddress
import logging

from aiohttp import web
from aiohttp.abc import AbstractAccessLogger

_PROXY_HEADERS = ("Forwarded", "X-Forwarded-For", "X-Real-IP")


def is_loopback(request: web.Request) -> bool:
    """A request from this machine itself. One that came through a reverse proxy carries the
    proxy's headers and does not count: the proxy itself sits on loopback."""
    if any(h in request.headers for h in _PROXY_HEADERS):
        return False
    try:
        return ipaddress.ip_address(request.remote or "").is_loopback
    except ValueError:
        return False


def admin_allowed(request: web.Request, admin_token: str | None) -> bool:
    """With an admin token configured, the request must carry it (Authorization: Bearer, or
    ?admin_token= for a browser link); without one, only loopback is served."""
    if not admin_token:
        return is_loopback(request)
    given = ""
    auth = request.headers.get("Authorization", "")
    if auth.startswith("Bearer "):
        given = auth[7:].strip()
    else:
        given = request.query.get("admin_token", "")
    return hmac.compare_digest(given.encode(), admin_token.encode())


class AccessLogger(AbstractAccessLogger):
    """Method, path, status and time: the query (codes, states, admin tokens) is never logged."""

    def log(self, request: web.BaseRequest, response: web.StreamResponse, time: float) -> None:
        self.logger.info("%s %s %s %.3fs", request.method, request.path, response.status, time)


access_logger = logging.getLogger("corvane.receiver.access")
