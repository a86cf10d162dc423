"""A LinkedIn member signs in, is read back through OpenID, and publishes an article post.

Until a sandbox exists this runs against a small local stand-in for LinkedIn that it starts
itself on 127.0.0.1 (it answers the token exchange, userinfo and posts calls the way LinkedIn
does), so it needs no account and no network:

    python examples/linkedin_post.py

With --base URL it talks to that server instead (one that serves /oauth/v2, /v2 and /rest the
way LinkedIn does), with the code its sign-in page returned (--code); credentials then come
from LINKEDIN_CLIENT_ID and LINKEDIN_CLIENT_SECRET.

Tokens are secrets: this example prints the member's name and the new post's id, never tokens.
"""
from __future__ import annotations

import argparse
import asyncio
import secrets
from urllib.parse import parse_qs, urlsplit

from aiohttp import web

from corvane import endpoints
from corvane.linkedin import LinkedIn

REDIRECT_URI = "https://crm.example/linkedin/callback"


async def stand_in() -> tuple[web.AppRunner, str]:
    """LinkedIn's answers for the calls this example makes."""
    posts: list[dict[str, object]] = []

    async def token(request: web.Request) -> web.Response:
        form = await request.post()
        if form.get("grant_type") != "authorization_code" or not form.get("code"):
            return web.json_response({"error": "invalid_request"}, status=400)
        return web.json_response({"access_token": secrets.token_urlsafe(24), "expires_in": 5184000,
                                  "scope": "email,openid,profile,w_member_social"})

    async def userinfo(request: web.Request) -> web.Response:
        if not request.headers.get("Authorization", "").startswith("Bearer "):
            return web.json_response({"serviceErrorCode": 65600, "message": "Invalid access token",
                                      "status": 401}, status=401)
        return web.json_response({"sub": "782bbtaQ", "name": "Ada Lovelace", "given_name": "Ada",
                                  "family_name": "Lovelace", "email": "ada@example.com",
                                  "locale": {"country": "GB", "language": "en"}})

    async def create(request: web.Request) -> web.Response:
        if not request.headers.get("LinkedIn-Version"):
            return web.json_response({"status": 426, "code": "VERSION_MISSING",
                                      "message": "A version must be present"}, status=426)
        posts.append(await request.json())
        return web.Response(status=201, headers={"x-restli-id": f"urn:li:share:{len(posts)}"})

    app = web.Application()
    app.router.add_post("/oauth/v2/accessToken", token)
    app.router.add_get("/v2/userinfo", userinfo)
    app.router.add_post("/rest/posts", create)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
    return runner, f"http://127.0.0.1:{port}"


def point_at(base: str) -> None:
    endpoints.LINKEDIN_OAUTH = f"{base}/oauth/v2"
    endpoints.LINKEDIN_API = f"{base}/v2"
    endpoints.LINKEDIN_REST = f"{base}/rest"


async def main(base: str | None, code: str) -> None:
    runner = None
    if base is None:
        runner, base = await stand_in()
        client = LinkedIn(client_id="demo-client", client_secret="demo-secret")
    else:
        client = LinkedIn.from_env()
    point_at(base)
    try:
        async with client as li:
            # A real host keeps `state` in the member's session and compares it on the way back.
            state = secrets.token_urlsafe(16)
            link = li.login_url(REDIRECT_URI, state=state)
            print("sign-in link:", link)
            # The member signs in; LinkedIn sends the browser back with ?code=...&state=...
            assert parse_qs(urlsplit(link).query)["state"] == [state]
            bundle = await li.exchange_code(code, REDIRECT_URI)
            me = await li.me(bundle.access_token)
            print(f"signed in: {me.full_name} ({me.id}), language {me.raw.get('language')}")
            result = await li.create_post(
                bundle.access_token, me.id or "", "corvane publishes from the CRM",
                article_url="https://crm.example/blog/launch", article_title="Launch notes")
            print("published:", result["id"])
    finally:
        if runner is not None:
            await runner.cleanup()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", help="a server speaking LinkedIn's API (default: a local stand-in)")
    parser.add_argument("--code", default="demo-code", help="the code the sign-in page returned")
    args = parser.parse_args()
    asyncio.run(main(args.base, args.code))
