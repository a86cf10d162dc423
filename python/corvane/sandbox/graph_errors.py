"""Graph API error bodies, shaped as the Graph API sends them."""
from __future__ import annotations

import json
import secrets
from typing import Any

from aiohttp import web


def graph_error(status: int, code: int, message: str, *, kind: str = "OAuthException",
                subcode: int | None = None, transient: bool = False,
                headers: dict[str, str] | None = None) -> web.Response:
    error: dict[str, Any] = {"message": message, "type": kind, "code": code}
    if subcode is not None:
        error["error_subcode"] = subcode
    if transient:
        error["is_transient"] = True
    error["fbtrace_id"] = "A" + secrets.token_urlsafe(15)
    return web.Response(status=status, text=json.dumps({"error": error}),
                        content_type="application/json", headers=headers)


def bad_token() -> web.Response:
    return graph_error(400, 190, "Invalid OAuth access token - Cannot parse access token")


def missing_token() -> web.Response:
    return graph_error(400, 104, "An access token is required to request this resource.")


def bad_proof() -> web.Response:
    return graph_error(400, 100, "Invalid appsecret_proof provided in the API argument",
                       kind="GraphMethodException")


def missing_proof() -> web.Response:
    return graph_error(400, 100, "API calls from the server require an appsecret_proof argument",
                       kind="GraphMethodException")


def unknown_node(node: str, method: str = "get") -> web.Response:
    return graph_error(
        400, 100,
        f"Unsupported {method} request. Object with ID '{node}' does not exist, cannot be loaded "
        "due to missing permissions, or does not support this operation.",
        kind="GraphMethodException", subcode=33)


def needs_page_token() -> web.Response:
    return graph_error(400, 190, "(#190) This method must be called with a Page Access Token")


def permission(message: str) -> web.Response:
    return graph_error(403, 200, message)


def rate_limited(retry_after: int) -> web.Response:
    return graph_error(400, 4, "(#4) Application request limit reached",
                       headers={"Retry-After": str(retry_after)})


def transient(status: int) -> web.Response:
    return graph_error(status, 2, "An unexpected error has occurred. Please retry your request later.",
                       transient=True)
