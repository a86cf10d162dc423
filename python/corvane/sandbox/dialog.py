"""The OAuth dialogs: the user's consent is simulated, and the browser is sent back to the
redirect URI with a fresh single-use code and the caller's `state`."""
from __future__ import annotations

from aiohttp import web

from .urls import with_query
from .world import GRANTED_SCOPES, World

FACEBOOK_WWW = "www.facebook.com"


def facebook_consent(world: World, query: dict[str, str]) -> tuple[int, str]:
    """(status, redirect location or error text) for a Facebook login dialog link."""
    if query.get("client_id") != world.app_id:
        return 400, "Invalid App ID"
    redirect_uri = query.get("redirect_uri", "")
    if not redirect_uri.startswith(("https://", "http://")):
        return 400, "URL blocked: redirect_uri is not a valid URL"
    if query.get("response_type", "code") != "code":
        return 400, "Unsupported response_type"
    asked = tuple(s for s in query.get("scope", "").split(",") if s)
    # A Login for Business configuration grants what it was set up with: everything here.
    scopes = GRANTED_SCOPES if query.get("config_id") or not asked else \
        tuple(s for s in asked if s in GRANTED_SCOPES)
    code = world.issue_code(redirect_uri, scopes)
    back = {"code": code}
    if query.get("state"):
        back["state"] = query["state"]
    return 302, with_query(redirect_uri, back) + "#_=_"


async def handle(world: World, request: web.Request) -> web.StreamResponse:
    parts = [p for p in request.path.split("/") if p]
    if request.method == "GET" and parts[-2:] == ["dialog", "oauth"]:
        status, where = facebook_consent(world, dict(request.query))
        if status == 302:
            raise web.HTTPFound(where)
        return web.Response(status=status, text=where)
    return web.Response(status=404, text="Not Found")
