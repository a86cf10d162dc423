"""Instagram in the sandbox: the Instagram login (dialog, token endpoint, long-lived exchange and
refresh on the Instagram Graph host) and the account's nodes, served both on the Instagram
Graph host (Instagram login tokens) and on the Graph API host (Facebook login tokens): profile,
media, publishing through containers (a reel takes three polls to finish), comments, Direct
conversations with participant profiles, insights and follower demographics."""
from __future__ import annotations

import hmac
import json
import secrets
import time
from typing import Any

from aiohttp import web

from . import graph_errors as err
from .graph import check_proof, ok, paged, select
from .instagram_world import InstagramWorld, _now_text
from .urls import with_query
from .usage import BUSINESS_KEY, Strictness, Usage

DIALOG_HOST = "www.instagram.com"
TOKEN_HOST = "api.instagram.com"
GRAPH_HOST = "graph.instagram.com"
IG_SCOPES = ("instagram_business_basic", "instagram_business_manage_messages",
             "instagram_business_manage_comments", "instagram_business_content_publish",
             "instagram_business_manage_insights")
_REEL_POLLS = 3


class InstagramHosts:
    def __init__(self, world: InstagramWorld, page_id: str, *, strict: Strictness | None = None,
                 usage: Usage | None = None) -> None:
        self.world = world
        self.page_id = page_id  # the Facebook Page the account is linked to
        self.strict = strict or Strictness()
        self.usage = usage or Usage()

    def page_token_route(self, parts: list[str]) -> bool:
        """On the Graph API host, the routes that take the linked Page's token and refuse a
        user's: the account itself, its Direct inbox and the people in it."""
        kind = self.world.node_kind(parts[0])
        edge = parts[1] if len(parts) > 1 else None
        if parts[0] == self.page_id or kind in ("conversation", "person"):
            return True
        return kind == "account" and edge in (None, "conversations", "messages")

    # ---- Instagram login ----

    def consent(self, query: dict[str, str]) -> tuple[int, str]:
        w = self.world
        if query.get("client_id") != w.app_id:
            return 400, "Invalid app ID"
        redirect_uri = query.get("redirect_uri", "")
        if not redirect_uri.startswith(("https://", "http://")) or query.get("response_type") != "code":
            return 400, "Invalid redirect_uri or response_type"
        code = "AQD" + secrets.token_urlsafe(32)
        w.codes[code] = redirect_uri
        back = {"code": code}
        if query.get("state"):
            back["state"] = query["state"]
        return 302, with_query(redirect_uri, back) + "#_"

    async def dialog(self, request: web.Request) -> web.StreamResponse:
        if request.method == "GET" and request.path.rstrip("/") == "/oauth/authorize":
            status, where = self.consent(dict(request.query))
            if status == 302:
                raise web.HTTPFound(where)
            return web.Response(status=status, text=where)
        return web.Response(status=404, text="Not Found")

    async def token(self, request: web.Request) -> web.StreamResponse:
        if request.path.rstrip("/") != "/oauth/access_token":
            return web.Response(status=404, text="Not Found")
        if request.method != "POST":
            return _ig_error(400, "Invalid platform app", "OAuthException")
        form = {k: str(v) for k, v in (await request.post()).items()}
        w = self.world
        if form.get("client_id") != w.app_id or not hmac.compare_digest(form.get("client_secret", ""), w.app_secret):
            return _ig_error(400, "Error validating client secret.", "OAuthException", 101)
        if form.get("grant_type") != "authorization_code":
            return _ig_error(400, "Invalid grant_type", "OAuthException")
        code = form.get("code", "").removesuffix("#_")
        if w.codes.pop(code, None) != form.get("redirect_uri"):
            return _ig_error(400, "Error validating verification code. Please make sure your "
                             "redirect_uri is identical to the one you used in the OAuth dialog request",
                             "OAuthException", 100)
        token = "IGAA" + secrets.token_urlsafe(32)
        w.tokens[token] = "short"
        return ok({"access_token": token, "user_id": int(w.account_id), "permissions": list(IG_SCOPES)})

    # ---- the Instagram Graph host ----

    async def graph(self, request: web.Request) -> web.StreamResponse:
        answer = await self._graph(request)
        if self.strict.usage_headers and request.get(BUSINESS_KEY):
            if "X-Business-Use-Case-Usage" not in answer.headers:
                answer.headers["X-Business-Use-Case-Usage"] = self.usage.business_header(
                    self.world.account_id, "instagram")
            answer.headers["X-App-Usage"] = self.usage.app_header()
        return answer

    async def _graph(self, request: web.Request) -> web.StreamResponse:
        w = self.world
        parts = [p for p in request.path.split("/") if p]
        q = request.query
        if parts == ["access_token"] and request.method == "GET":
            if q.get("grant_type") != "ig_exchange_token" or not hmac.compare_digest(
                    q.get("client_secret", ""), w.app_secret):
                return _ig_error(400, "Error validating client secret.", "OAuthException", 101)
            if w.tokens.get(q.get("access_token", "")) != "short":
                return err.bad_token()
            return ok(self._long_token())
        if parts == ["refresh_access_token"] and request.method == "GET":
            if q.get("grant_type") != "ig_refresh_token" or w.tokens.get(q.get("access_token", "")) != "long":
                return err.bad_token()
            return ok(self._long_token())
        if parts and parts[0].startswith("v") and "." in parts[0]:
            parts = parts[1:]
        token = q.get("access_token", "")
        if not token:
            return err.missing_token()
        if token not in w.tokens:
            return err.bad_token()
        # Checked against the Instagram app's secret.
        refused = check_proof(request, token, w.app_secret, self.strict)
        if refused is not None:
            return refused
        request[BUSINESS_KEY] = True
        if self.strict.budgets:
            refused = self.usage.charge(w.account_id, "instagram")
            if refused is not None:
                return refused
        if parts[:1] == ["me"]:
            parts = [w.account_id, *parts[1:]]
        return await self.route(request, parts, via_facebook=False)

    def _long_token(self) -> dict[str, Any]:
        token = "IGAA" + secrets.token_urlsafe(40)
        self.world.tokens[token] = "long"
        return {"access_token": token, "token_type": "bearer", "expires_in": 5183944}

    # ---- nodes, on either host ----

    async def route(self, request: web.Request, parts: list[str], *, via_facebook: bool) -> web.Response:
        w = self.world
        method = request.method
        node = parts[0] if parts else ""
        edge = parts[1] if len(parts) > 1 else None
        kind = w.node_kind(node)
        if via_facebook and node == self.page_id and edge in ("conversations", "messages"):
            if edge == "conversations" and request.query.get("platform") != "instagram":
                return ok({"data": []})  # the Page's Messenger inbox is empty here
            kind = "account"
        if kind is None or len(parts) > 2:
            return err.unknown_node(node, method.lower())
        handler = getattr(self, f"_{kind}_{edge or 'node'}_{method.lower()}", None)
        if handler is None:
            return err.graph_error(400, 100, f"(#100) Tried accessing nonexisting field ({edge}) on node "
                                   f"type ({kind})", kind="OAuthException")
        result: web.Response = await handler(request, node)
        return result

    async def _account_node_get(self, request: web.Request, node: str) -> web.Response:
        return ok(select(self.world.account, request.query.get("fields")))

    async def _account_media_get(self, request: web.Request, node: str) -> web.Response:
        items = [select(m, request.query.get("fields")) for m in reversed(list(self.world.media.values()))]
        return ok(paged(request, items))

    async def _account_media_post(self, request: web.Request, node: str) -> web.Response:
        q = request.query
        if q.get("video_url"):
            if q.get("media_type") not in ("VIDEO", "REELS"):
                return err.graph_error(400, 100, "(#100) The parameter media_type is required for video.")
            kind, polls = q["media_type"], _REEL_POLLS
        elif q.get("image_url"):
            kind, polls = "IMAGE", 0
        else:
            return err.graph_error(400, 9004, "The media could not be fetched from this URI.")
        cid = self.world.new_id()
        self.world.containers[cid] = {"id": cid, "kind": kind, "caption": q.get("caption"), "polls": polls,
                                      "published": None}
        return ok({"id": cid})

    async def _container_node_get(self, request: web.Request, node: str) -> web.Response:
        c = self.world.containers[node]
        c["polls"] -= 1
        done = c["polls"] <= 0
        status = {"id": node, "status_code": "FINISHED" if done else "IN_PROGRESS",
                  "status": "Finished: Media has been uploaded and it is ready to be published." if done
                  else "In Progress: Media is still being processed."}
        return ok(select(status, request.query.get("fields") or "status_code"))

    async def _account_media_publish_post(self, request: web.Request, node: str) -> web.Response:
        c = self.world.containers.get(request.query.get("creation_id", ""))
        if c is None:
            return err.unknown_node(request.query.get("creation_id", ""))
        if c["polls"] > 0:
            return err.graph_error(400, 9007, "Media ID is not available", subcode=2207027)
        if c["published"] is None:
            product = "REELS" if c["kind"] == "REELS" else "FEED"
            c["published"] = self.world.add_media("VIDEO" if c["kind"] != "IMAGE" else "IMAGE", product, c["caption"])
        return ok({"id": c["published"]})

    async def _media_node_get(self, request: web.Request, node: str) -> web.Response:
        return ok(select(self.world.media[node], request.query.get("fields")))

    async def _media_insights_get(self, request: web.Request, node: str) -> web.Response:
        m = self.world.media[node]
        if m["media_product_type"] == "FEED" and m["media_type"] == "CAROUSEL_ALBUM" and \
                "profile_visits" in request.query.get("metric", ""):
            return err.graph_error(400, 100, "(#100) metric[6] must be one of the following values: reach, likes")
        names = [n for n in request.query.get("metric", "").split(",") if n]
        return ok({"data": [{"name": n, "period": "lifetime", "values": [{"value": 10 * (i + 1)}],
                             "id": f"{node}/insights/{n}/lifetime"} for i, n in enumerate(names)]})

    async def _media_comments_get(self, request: web.Request, node: str) -> web.Response:
        items = [select(c, request.query.get("fields")) for c in self.world.comments.values()
                 if c.get("media_id") == node]
        return ok(paged(request, items))

    async def _comment_replies_post(self, request: web.Request, node: str) -> web.Response:
        message = request.query.get("message", "")
        if not message:
            return err.graph_error(400, 100, "(#100) The parameter message is required")
        rid = self.world.new_id()
        parent = self.world.comments[node]
        reply = {"id": rid, "text": message, "timestamp": _now_text(), "username": self.world.account["username"],
                 "from": {"id": self.world.account_id, "username": self.world.account["username"]},
                 "like_count": 0, "hidden": False, "parent_id": node}
        parent["replies"]["data"].append(reply)
        return ok({"id": rid})

    async def _comment_node_post(self, request: web.Request, node: str) -> web.Response:
        hide = request.query.get("hide")
        if hide not in ("true", "false"):
            return err.graph_error(400, 100, "(#100) The parameter hide is required")
        self.world.comments[node]["hidden"] = hide == "true"
        return ok({"success": True})

    async def _comment_node_delete(self, request: web.Request, node: str) -> web.Response:
        del self.world.comments[node]
        return ok({"success": True})

    async def _comment_node_get(self, request: web.Request, node: str) -> web.Response:
        return ok(select(self.world.comments[node], request.query.get("fields")))

    async def _account_conversations_get(self, request: web.Request, node: str) -> web.Response:
        convs = sorted(self.world.conversations.values(), key=lambda c: c["updated_time"], reverse=True)
        items = []
        for c in convs:
            item = dict(c)
            item["messages"] = {"data": self.world.messages[c["id"]][-1:]}
            items.append(select(item, request.query.get("fields")))
        return ok(paged(request, items))

    async def _conversation_messages_get(self, request: web.Request, node: str) -> web.Response:
        items = [select(m, request.query.get("fields")) for m in reversed(self.world.messages[node])]
        return ok(paged(request, items))

    async def _account_messages_post(self, request: web.Request, node: str) -> web.Response:
        try:
            body = json.loads(await request.read() or b"{}")
            recipient, text = str(body["recipient"]["id"]), str(body["message"]["text"])
        except (ValueError, KeyError, TypeError):
            return err.graph_error(400, 100, "(#100) param recipient must be non-empty.")
        for conv, c in self.world.conversations.items():
            if any(p["id"] == recipient for p in c["participants"]["data"]):
                message = self.world.message(self.world.account_id, recipient, text)
                self.world.messages[conv].append(message)
                c["updated_time"] = message["created_time"]
                return ok({"recipient_id": recipient, "message_id": message["id"]})
        return err.graph_error(400, 100, "(#100) No matching user found", subcode=2018001)

    async def _person_node_get(self, request: web.Request, node: str) -> web.Response:
        person = self.world.people.get(node)
        if person is None:
            return err.graph_error(400, 230, "(#230) User consent is required to access user profile")
        return ok(select(person, request.query.get("fields")))

    async def _account_insights_get(self, request: web.Request, node: str) -> web.Response:
        q = request.query
        metric = q.get("metric", "")
        if metric == "follower_demographics":
            if self.world.followers < 100:
                return err.graph_error(400, 10, "(#10) Not enough users to show demographics")
            breakdown = q.get("breakdown", "")
            samples = {"age,gender": [(["25-34", "F"], 410), (["25-34", "M"], 280), (["35-44", "F"], 150)],
                       "city": [(["Tashkent, Tashkent"], 640), (["Samarkand, Samarqand Region"], 120)],
                       "country": [(["UZ"], 910), (["KZ"], 150), (["RU"], 90)]}.get(breakdown)
            if samples is None:
                return err.graph_error(400, 100, "(#100) Incompatible breakdowns")
            results = [{"dimension_values": dims, "value": value} for dims, value in samples]
            return ok({"data": [{"name": "follower_demographics", "period": "lifetime",
                                 "total_value": {"breakdowns": [{"dimension_keys": breakdown.split(","),
                                                                 "results": results}]}}]})
        names = [n for n in metric.split(",") if n]
        return ok({"data": [{"name": n, "period": q.get("period", "day"), "total_value": {"value": 100 + 7 * i},
                             "id": f"{node}/insights/{n}/day"} for i, n in enumerate(names)]})


def _ig_error(status: int, message: str, kind: str, code: int | None = None) -> web.Response:
    error: dict[str, Any] = {"message": message, "type": kind}
    if code is not None:
        error["code"] = code
    return web.Response(status=status, text=json.dumps({"error": error}), content_type="application/json")
