"""A LinkedIn member signs in, is read back through OpenID, publishes an article post, reads
their posts back and deletes the new one.

By default it runs against corvane's sandbox (an offline stand-in for the platforms on
127.0.0.1, with its own sign-in page), so it needs no account and no network:

    python examples/linkedin_post.py

Against LinkedIn itself, with the code its sign-in page returned to your redirect URI (the
credentials come from LINKEDIN_CLIENT_ID and LINKEDIN_CLIENT_SECRET):

    python examples/linkedin_post.py --code AQT... --redirect-uri https://crm.example/li/cb

Tokens are secrets: this example prints the member's name and the post's id, never tokens.
"""
from __future__ import annotations

import argparse
import asyncio
import secrets
from urllib.parse import parse_qs, urlsplit

from corvane.linkedin import LinkedIn
from corvane.sandbox import Sandbox

REDIRECT_URI = "https://crm.example/linkedin/callback"


async def publish(li: LinkedIn, code: str, redirect_uri: str) -> None:
    bundle = await li.exchange_code(code, redirect_uri)
    me = await li.me(bundle.access_token)
    print(f"signed in: {me.full_name} ({me.id}), language {me.raw.get('language')}")
    result = await li.create_post(
        bundle.access_token, me.id, "corvane publishes from the CRM",
        article_url="https://crm.example/blog/launch", article_title="Launch notes")
    print("published:", result["id"])
    page = await li.posts(bundle.access_token, me.id, count=5)
    print("latest posts:", [post.get("id") for post in (page or {}).get("elements", [])])
    if result["id"]:
        await li.delete_post(bundle.access_token, result["id"])
        print("deleted:", result["id"])


async def in_sandbox() -> None:
    async with Sandbox() as sb:
        world = sb.world.linkedin
        async with LinkedIn(client_id=world.client_id, client_secret=world.client_secret,
                            session=sb.session()) as li:
            # A real host keeps `state` in the member's session and compares it on the way back.
            state = secrets.token_urlsafe(16)
            link = li.login_url(REDIRECT_URI, state=state)
            print("sign-in link:", link)
            # The member signs in; LinkedIn sends the browser back with ?code=...&state=...
            back = parse_qs(urlsplit(sb.consent(link)).query)
            assert back["state"] == [state]
            await publish(li, back["code"][0], REDIRECT_URI)


async def main(code: str | None, redirect_uri: str) -> None:
    if code is None:
        await in_sandbox()
        return
    async with LinkedIn.from_env() as li:
        await publish(li, code, redirect_uri)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--code", help="the code LinkedIn's sign-in page returned (omit: sandbox)")
    parser.add_argument("--redirect-uri", default=REDIRECT_URI,
                        help="the redirect URI of that sign-in")
    args = parser.parse_args()
    asyncio.run(main(args.code, args.redirect_uri))
