"""The Instagram Direct inbox: list conversations with each customer's profile, read the latest
messages of the first one, answer it, and stream the account's media with their comments.

Against the real platform (Instagram login; the token needs instagram_business_basic,
instagram_business_manage_messages and instagram_business_manage_comments):

    INSTAGRAM_APP_SECRET=... python examples/instagram_inbox.py --token IGAA... \
        [--ig-user-id 1784...] [--reply "Rahmat, javob beramiz!"]

Without --token it runs against corvane's sandbox (an offline stand-in for the platforms on
127.0.0.1): it signs in through the sandbox's login dialog first, so the whole flow can be
watched without an account. Tokens are secrets: nothing here prints one.
"""
from __future__ import annotations

import argparse
import asyncio
import secrets
from urllib.parse import parse_qs, urlsplit

from corvane.instagram import Instagram
from corvane.sandbox import Sandbox

REDIRECT_URI = "https://crm.example/instagram/callback"


async def show_inbox(ig: Instagram, token: str, ig_user_id: str | None, reply: str | None) -> None:
    if ig_user_id is None:
        # Conversations list the account itself among the participants: with its id, only the
        # customers are taken for contacts.
        ig_user_id = (await ig.profile(token)).id
    page = await ig.conversations(token, ig_user_id=ig_user_id, limit=10)
    for conv in page["data"]:
        who = conv["contact"] or {}
        if who.get("available"):
            label = f"{who.get('name') or who.get('username')} (@{who.get('username')})"
        else:
            label = f"{who.get('id')} (profil yopiq: {who.get('reason')})"
        last = (conv["last_message"] or {}).get("message", "")
        print(f"{conv['id']}: {label} — {last!r}")
    if not page["data"]:
        print("no conversations")
        return
    first = page["data"][0]
    history = await ig.messages(first["id"], token, limit=5)
    print(f"latest {len(history['data'])} message(s) of {first['id']}")
    if reply and first["contact"]:
        answer = await ig.send_message(first["contact"]["id"], token, reply, ig_user_id=ig_user_id)
        print("sent:", answer.get("message_id"))


async def show_media(ig: Instagram, token: str, ig_user_id: str | None) -> None:
    # The iterators hold one page at a time, so this works for an account of any size.
    async for media in ig.iter_media(token, ig_user_id=ig_user_id):
        count = 0
        async for _comment in ig.iter_comments(media["id"], token):
            count += 1
        print(f"media {media['id']} ({media.get('media_type')}): {count} comment(s)")


async def in_sandbox(reply: str) -> None:
    async with Sandbox() as sb:
        world = sb.world.instagram
        async with Instagram(app_id=world.app_id, app_secret=world.app_secret,
                             session=sb.session()) as ig:
            # A real host keeps `state` in the user's session and compares it on the way back.
            state = secrets.token_urlsafe(16)
            back = urlsplit(sb.consent(ig.login_url(redirect_uri=REDIRECT_URI, state=state)))
            query = parse_qs(back.query)
            assert query["state"] == [state]
            bundle = await ig.exchange_code(query["code"][0], redirect_uri=REDIRECT_URI)
            token = bundle.access_token
            await show_inbox(ig, token, None, reply)
            await show_media(ig, token, None)


async def main_async(args: argparse.Namespace) -> None:
    if args.token is None:
        await in_sandbox(args.reply or "Rahmat, javob beramiz!")
        return
    async with Instagram.from_env() as ig:
        await show_inbox(ig, args.token, args.ig_user_id, args.reply)
        await show_media(ig, args.token, args.ig_user_id)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--token", help="an Instagram user token (omit for the sandbox)")
    parser.add_argument("--ig-user-id", help="the account's id (default: read from its profile)")
    parser.add_argument("--reply", help="text to send to the first conversation's customer")
    asyncio.run(main_async(parser.parse_args()))


if __name__ == "__main__":
    main()
