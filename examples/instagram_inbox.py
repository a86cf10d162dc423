"""The Instagram Direct inbox: list conversations with each customer's profile, read the latest
messages of the first one, and answer it.

Against the real platform (Instagram login; the token needs instagram_business_manage_messages):

    INSTAGRAM_APP_SECRET=... python examples/instagram_inbox.py --token IGAA... \
        [--ig-user-id 1784...] [--reply "Rahmat, javob beramiz!"]

Without --token it runs against a small server on 127.0.0.1 that answers like the platform,
so the whole flow can be watched offline. Tokens are secrets: nothing here prints one.
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
from typing import AsyncIterator

from aiohttp import web

from corvane import endpoints
from corvane.instagram import Instagram

BUSINESS_ID = "17841400000000001"
CUSTOMERS = {
    "90010001": {"name": "Aziza K.", "username": "aziza.k", "follower_count": 312},
    "90010002": {"name": "Bek T.", "username": "bek_t", "follower_count": 48},
}


def local_app() -> web.Application:
    """Answers the requests the inbox makes, as the Instagram Graph host would."""
    sent: list[dict] = []

    async def conversations(request: web.Request) -> web.Response:
        data = []
        for n, (igsid, who) in enumerate(CUSTOMERS.items(), 1):
            data.append({
                "id": f"aWdfZG1f{n}", "updated_time": "2025-01-02T10:00:00+0000",
                "participants": {"data": [{"id": BUSINESS_ID, "username": "shop.uz"},
                                          {"id": igsid, "username": who["username"]}]},
                "messages": {"data": [{"id": f"mid.{n}", "message": "Narxi qancha?",
                                       "from": {"id": igsid, "username": who["username"]}}]},
            })
        return web.json_response({"data": data})

    async def node(request: web.Request) -> web.Response:
        igsid = request.match_info["node"]
        if igsid not in CUSTOMERS:
            return web.json_response({"error": {"message": "(#100) Unknown node", "code": 100}},
                                     status=400)
        return web.json_response({"id": igsid, **CUSTOMERS[igsid], "is_verified_user": False})

    async def messages(request: web.Request) -> web.Response:
        return web.json_response({"data": [{"id": "mid.1", "message": "Narxi qancha?"}]})

    async def send(request: web.Request) -> web.Response:
        body = await request.json()
        sent.append(body)
        return web.json_response({"recipient_id": body["recipient"]["id"], "message_id": "mid.9"})

    app = web.Application()
    app.router.add_get("/{version}/me/conversations", conversations)
    app.router.add_get("/{version}/{conversation}/messages", messages)
    app.router.add_post("/{version}/{account}/messages", send)
    app.router.add_get("/{version}/{node}", node)
    return app


@contextlib.asynccontextmanager
async def local_platform() -> AsyncIterator[None]:
    runner = web.AppRunner(local_app(), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
    saved = endpoints.InstagramGraph.host
    endpoints.InstagramGraph.host = f"http://127.0.0.1:{port}"
    try:
        yield
    finally:
        endpoints.InstagramGraph.host = saved
        await runner.cleanup()


async def show_inbox(token: str, ig_user_id: str | None, reply: str | None) -> None:
    async with Instagram.from_env() as ig:
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
            answer = await ig.send_message(first["contact"]["id"], token, reply,
                                           ig_user_id=ig_user_id)
            print("sent:", answer.get("message_id"))


async def main_async(args: argparse.Namespace) -> None:
    if args.token:
        await show_inbox(args.token, args.ig_user_id, args.reply)
        return
    async with local_platform():
        await show_inbox("local-token", BUSINESS_ID, args.reply or "Rahmat, javob beramiz!")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--token", help="an Instagram user token (omit for the local server)")
    parser.add_argument("--ig-user-id", help="the account's id, so it is not listed as a contact")
    parser.add_argument("--reply", help="text to send to the first conversation's customer")
    asyncio.run(main_async(parser.parse_args()))


if __name__ == "__main__":
    main()
