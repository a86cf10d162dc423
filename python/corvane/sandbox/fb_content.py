"""A Page's own content on the Graph API host: published posts, publishing and deleting,
post insights, comments, replies and hiding. Every operation takes the owning Page's token."""
from __future__ import annotations

import itertools
import time
from collections.abc import Awaitable, Callable
from typing import Any

from aiohttp import web

from . import graph_errors as err
from .graph import ok, paged, select
from .world import World, graph_time

_Auth = Callable[[web.Request, str], Any]


class PageContent:
    def __init__(self, world: World) -> None:
        self.world = world
        self.posts: dict[str, dict[str, Any]] = {}
        self.comments: dict[str, dict[str, Any]] = {}
        self._ids = itertools.count(1001)
        for page_id in world.pages:
            for n, text in enumerate(("Bahor chegirmalari boshlandi!", "Новая коллекция уже в магазине",
                                      "Open on Saturdays from now on"), 1):
                post = self._add_post(page_id, text, created=time.time() - 86400 * n)
                for who, reply in (("Aziza", "Zo'r!"), ("Олег", "Когда доставка?")):
                    self._add_comment(post["id"], who, reply)

    def _add_post(self, page_id: str, message: str, *, link: str | None = None,
                  published: bool = True, created: float | None = None) -> dict[str, Any]:
        pid = f"{page_id}_{next(self._ids)}"
        when = graph_time(time.time() if created is None else created)
        post = {"id": pid, "page_id": page_id, "message": message, "created_time": when,
                "updated_time": when, "permalink_url": f"https://sandbox.invalid/{pid}",
                "status_type": "mobile_status_update", "is_published": published}
        if link:
            post["attachments"] = {"data": [{"type": "share", "url": link, "title": link}]}
        self.posts[pid] = post
        return post

    def _add_comment(self, parent: str, who: str, message: str) -> dict[str, Any]:
        post_id = parent if parent in self.posts else self.comments[parent]["post_id"]
        cid = f"{post_id}_{next(self._ids)}"
        comment = {"id": cid, "post_id": post_id, "parent_id": parent, "message": message,
                   "created_time": graph_time(time.time()), "from": {"id": str(abs(hash(who)) % 10**9), "name": who},
                   "like_count": 0, "comment_count": 0, "is_hidden": False, "can_hide": True,
                   "permalink_url": f"https://sandbox.invalid/{cid}"}
        if parent != post_id:
            comment["parent"] = {"id": parent}
        self.comments[cid] = comment
        return comment

    def owner(self, parts: list[str]) -> str | None:
        """The Page whose token the request needs, when it is one of these routes."""
        node = parts[0]
        edge = parts[1] if len(parts) > 1 else None
        if node in self.world.pages and edge in ("published_posts", "feed"):
            return node
        if node in self.posts:
            return str(self.posts[node]["page_id"])
        if node in self.comments:
            return str(self.posts[self.comments[node]["post_id"]]["page_id"])
        return None

    async def route(self, request: web.Request, parts: list[str],
                    page_auth: Callable[[web.Request, str], Any]) -> web.Response | None:
        page_id = self.owner(parts)
        if page_id is None or len(parts) > 2:
            return None
        auth = page_auth(request, page_id)
        if isinstance(auth, web.Response):
            return auth
        node, edge, method = parts[0], (parts[1] if len(parts) > 1 else None), request.method
        handler: Callable[[web.Request, str], Awaitable[web.Response]] | None = {
            ("GET", "published_posts"): self._list_posts,
            ("POST", "feed"): self._publish,
            ("DELETE", None): self._delete,
            ("GET", "insights"): self._insights,
            ("GET", "comments"): self._list_comments,
            ("POST", "comments"): self._reply,
            ("POST", None): self._hide,
            ("GET", None): self._read,
        }.get((method, edge))
        if handler is None:
            return err.unknown_node(node, method.lower())
        return await handler(request, node)

    async def _list_posts(self, request: web.Request, page_id: str) -> web.Response:
        posts = sorted((p for p in self.posts.values() if p["page_id"] == page_id and p["is_published"]),
                       key=lambda p: p["created_time"], reverse=True)
        return ok(paged(request, [select(p, request.query.get("fields")) for p in posts]))

    async def _publish(self, request: web.Request, page_id: str) -> web.Response:
        q = request.query
        if not q.get("message") and not q.get("link"):
            return err.graph_error(400, 100, "(#100) Missing message or attachment")
        post = self._add_post(page_id, q.get("message", ""), link=q.get("link"),
                              published=q.get("published", "true") != "false")
        return ok({"id": post["id"]})

    async def _delete(self, request: web.Request, node: str) -> web.Response:
        if node in self.posts:
            del self.posts[node]
            for cid in [c for c, v in self.comments.items() if v["post_id"] == node]:
                del self.comments[cid]
            return ok({"success": True})
        return err.unknown_node(node, "delete")

    async def _insights(self, request: web.Request, node: str) -> web.Response:
        if node not in self.posts:
            return err.unknown_node(node)
        names = [n for n in request.query.get("metric", "").split(",") if n]
        return ok({"data": [{"name": n, "period": "lifetime", "values": [{"value": 25 * (i + 1)}],
                             "id": f"{node}/insights/{n}/lifetime"} for i, n in enumerate(names)]})

    async def _list_comments(self, request: web.Request, node: str) -> web.Response:
        items = [select(c, request.query.get("fields")) for c in self.comments.values() if c["parent_id"] == node]
        return ok(paged(request, items))

    async def _reply(self, request: web.Request, node: str) -> web.Response:
        if not request.query.get("message"):
            return err.graph_error(400, 100, "(#100) Missing message")
        page = self.world.pages[str(self.owner([node]))]
        return ok({"id": self._add_comment(node, page.name, request.query["message"])["id"]})

    async def _hide(self, request: web.Request, node: str) -> web.Response:
        if node not in self.comments or request.query.get("is_hidden") not in ("true", "false"):
            return err.graph_error(400, 100, "(#100) is_hidden must be true or false")
        self.comments[node]["is_hidden"] = request.query["is_hidden"] == "true"
        return ok({"success": True})

    async def _read(self, request: web.Request, node: str) -> web.Response:
        obj = self.posts.get(node) or self.comments[node]
        return ok(select({k: v for k, v in obj.items() if k not in ("page_id", "post_id", "parent_id")},
                         request.query.get("fields")))
