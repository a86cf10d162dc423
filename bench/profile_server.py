"""A loopback aiohttp.web server for the enrichment benchmark, run as a process of its own so
that its work never delays the client's event loop. Prints its port on stdout, then serves until
stdin closes:

    GET /ig/<version>/me/conversations   at once: 200 conversations, one customer each
    GET /ig/<version>/<id>               the customer's profile, after LATENCY seconds
    GET /fb/<version>/<page>/conversations  the same inbox on the Graph API host
    POST /fb/<version>/                  a Graph batch: its look-ups run together, each after
                                         LATENCY seconds, the answers as the platform shapes them
    GET /stats                           look-ups and the most in flight since the last /stats,
                                         batch calls and the most of them in flight
"""

from __future__ import annotations

import asyncio
import json
import sys

from aiohttp import web

LATENCY = 0.020
CUSTOMERS = 200
BUSINESS = "17841452691600098"


def conversation(i: int) -> dict[str, object]:
    customer = str(5526432574078000 + i)
    return {"id": f"aWdfZAG06MTpJR01lc3NhZA2VUaHJlYWQ6{i:06d}",
            "updated_time": "2025-01-02T10:00:00+0000", "message_count": 3, "unread_count": i % 2,
            "participants": {"data": [{"id": BUSINESS, "username": "toshkent.savdo"},
                                      {"id": customer, "username": f"mijoz_{i}"}]},
            "messages": {"data": [{"id": f"m{i}", "message": "Narxi qancha?",
                                   "created_time": "2025-01-02T10:00:00+0000"}]}}


class Counts:
    lookups = 0
    in_flight = 0
    most = 0
    calls = 0
    calls_in_flight = 0
    most_calls = 0


async def conversations(request: web.Request) -> web.Response:
    return web.json_response({"data": [conversation(i) for i in range(CUSTOMERS)],
                              "paging": {"cursors": {"before": "b0", "after": "a1"}}})


async def look_up(igsid: str) -> dict[str, object]:
    Counts.lookups += 1
    Counts.in_flight += 1
    Counts.most = max(Counts.most, Counts.in_flight)
    try:
        await asyncio.sleep(LATENCY)
    finally:
        Counts.in_flight -= 1
    return {"id": igsid, "name": f"Mijoz {igsid[-3:]}", "username": f"mijoz_{igsid[-3:]}",
            "follower_count": 12, "is_user_follow_business": True}


async def profile(request: web.Request) -> web.Response:
    return web.json_response(await look_up(request.match_info["id"]))


async def batch(request: web.Request) -> web.Response:
    Counts.calls += 1
    Counts.calls_in_flight += 1
    Counts.most_calls = max(Counts.most_calls, Counts.calls_in_flight)
    try:
        operations = json.loads((await request.post())["batch"])
        bodies = await asyncio.gather(*(look_up(op["relative_url"].split("?")[0])
                                        for op in operations))
    finally:
        Counts.calls_in_flight -= 1
    return web.json_response([{"code": 200, "headers": [], "body": json.dumps(body)}
                              for body in bodies])


async def stats(request: web.Request) -> web.Response:
    answer = {"lookups": Counts.lookups, "most_in_flight": Counts.most, "calls": Counts.calls,
              "most_calls_in_flight": Counts.most_calls}
    Counts.lookups = Counts.most = Counts.calls = Counts.most_calls = 0
    return web.json_response(answer)


async def main() -> None:
    app = web.Application()
    app.router.add_get("/ig/{version}/me/conversations", conversations)
    app.router.add_get("/ig/{version}/{id}", profile)
    app.router.add_get("/fb/{version}/{page}/conversations", conversations)
    app.router.add_post("/fb/{version}/", batch)
    app.router.add_get("/stats", stats)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print(site._server.sockets[0].getsockname()[1], flush=True)  # type: ignore[union-attr]
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    await runner.cleanup()


if __name__ == "__main__":
    asyncio.run(main())
