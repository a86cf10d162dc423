"""The Graph API host of the sandbox: OAuth code exchange, token inspection, the user, Pages
with page tokens, webhook subscriptions, lead forms, leads and the ad behind a lead."""
from __future__ import annotations

import base64
import hashlib
import hmac
import json
import time
from collections import deque
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any
from urllib.parse import urlencode

from aiohttp import web

from . import graph_errors as err
from .batch import BatchHost
from .usage import BUSINESS_KEY, TOKEN_KEY, Strictness, Usage
from .world import Token, World

if TYPE_CHECKING:
    from .fb_content import PageContent
    from .instagram import InstagramHosts

GRAPH_HOST = "graph.facebook.com"
_MAX_PAGE = 100


def proof(token: str, app_secret: str) -> str:
    return hmac.new(app_secret.encode(), token.encode(), hashlib.sha256).hexdigest()


def select(obj: Mapping[str, Any], fields: str | None) -> dict[str, Any]:
    """The members named in a Graph `fields` list (top level only; nested lists are served
    whole). Without `fields` the node's id and name, as the Graph API does."""
    names: list[str] = []
    if fields:
        depth, start = 0, 0
        for i, ch in enumerate(fields + ","):
            if ch in "{(":
                depth += 1
            elif ch in "})":
                depth -= 1
            elif ch == "," and depth == 0:
                part = fields[start:i].strip()
                start = i + 1
                name = part.split("{", 1)[0].split(".", 1)[0].strip()
                if name:
                    names.append(name)
    else:
        names = ["name"]
    out = {"id": obj["id"]} if "id" in obj else {}
    for name in names:
        if name in obj:
            out[name] = obj[name]
    return out


def _cursor(n: int) -> str:
    return base64.urlsafe_b64encode(str(n).encode()).decode().rstrip("=")


def _offset(cursor: str | None) -> int:
    if not cursor:
        return 0
    try:
        return max(0, int(base64.urlsafe_b64decode(cursor + "=" * (-len(cursor) % 4)).decode()))
    except ValueError:
        return 0


def paged(request: web.Request, items: list[Any], default_limit: int = 25) -> dict[str, Any]:
    """One page of a cursor-paged list. `paging.next` is shaped as the platform writes it: an
    absolute link on the host asked, carrying the query of this page with its access_token, the
    limit and the next cursor (`after`), but never the appsecret_proof."""
    query = {k: v for k, v in request.query.items() if k != "appsecret_proof"}
    try:
        limit = int(query.get("limit", default_limit))
    except ValueError:
        limit = default_limit
    limit = max(0, min(limit, _MAX_PAGE))
    start = _offset(query.get("after"))
    chunk = items[start:start + limit]
    body: dict[str, Any] = {"data": chunk}
    if items:
        body["paging"] = {"cursors": {"before": _cursor(start), "after": _cursor(start + len(chunk))}}
        if start + len(chunk) < len(items) and limit > 0:
            query["limit"] = str(limit)
            query["after"] = _cursor(start + len(chunk))
            host = request.url.host or GRAPH_HOST
            body["paging"]["next"] = f"https://{host}{request.path}?{urlencode(query)}"
    return body


def check_proof(request: web.Request, token: str, app_secret: str, strict: Strictness) -> web.Response | None:
    """The platform's answer to a missing or wrong appsecret_proof ("Require App Secret" on);
    None when the proof is right, or absent while the rule is switched off."""
    given = request.query.get("appsecret_proof")
    if given is None:
        return err.missing_proof() if strict.appsecret_proof else None
    if not hmac.compare_digest(given, proof(token, app_secret)):
        return err.bad_proof()
    return None


def ok(body: Any) -> web.Response:
    return web.Response(text=json.dumps(body, ensure_ascii=False), content_type="application/json")


class GraphHost:
    """Answers requests for the Graph API host from a World."""

    def __init__(self, world: World, *, rate_limit: tuple[int, float],
                 strict: Strictness | None = None, usage: Usage | None = None) -> None:
        self.world = world
        self.rate_limit = rate_limit
        self.strict = strict or Strictness()
        self.usage = usage or Usage()
        self.fail_until = 0.0
        self.fail_status = 500
        self._calls: dict[str, deque[float]] = {}
        self.requests: list[tuple[str, str]] = []  # (method, path) of every request, in order
        self.instagram: InstagramHosts | None = None  # the linked account's nodes, when served
        self.content: PageContent | None = None  # the Pages' posts and comments, when served
        self.batch = BatchHost(self)  # POST /vX.Y/ with the form field `batch`

    # ---- checks every request goes through ----

    def _rate(self, token: str) -> web.Response | None:
        limit, window = self.rate_limit
        now = time.monotonic()
        calls = self._calls.setdefault(token, deque())
        while calls and calls[0] <= now - window:
            calls.popleft()
        if len(calls) >= limit:
            return err.rate_limited(max(1, int(calls[0] + window - now + 0.999)))
        calls.append(now)
        return None

    def _auth(self, request: web.Request) -> Token | web.Response:
        token = request.query.get("access_token", "")
        if not token:
            return err.missing_token()
        info = self.world.tokens.get(token)
        if info is None:
            return err.bad_token()
        refused = check_proof(request, token, self.world.app_secret, self.strict)
        if refused is not None:
            return refused
        request[TOKEN_KEY] = info
        # Not `self._rate(token) or info`: before aiohttp 3.9 a Response is falsy (it has a
        # length, that of its state mapping), and a refusal would be served as an answer.
        refused = self._rate(token)
        return info if refused is None else refused

    def _page_token(self, request: web.Request, page_id: str, use_case: str = "pages") -> Token | web.Response:
        info = self._auth(request)
        if isinstance(info, web.Response):
            return info
        if info.kind != "page":
            if self.strict.page_tokens:
                return err.needs_page_token()
        elif info.subject != page_id:
            return err.unknown_node(page_id, request.method.lower())
        refused = self.business(request, page_id, use_case)
        return info if refused is None else refused

    def business(self, request: web.Request, object_id: str, use_case: str) -> web.Response | None:
        """Counts the call against the business object's budget: the throttle when spent."""
        request[BUSINESS_KEY] = (object_id, use_case)
        return self.usage.charge(object_id, use_case) if self.strict.budgets else None

    def _usage_headers(self, request: web.Request, answer: web.StreamResponse) -> None:
        if not self.strict.usage_headers:
            return
        business = request.get(BUSINESS_KEY)
        if business is not None and "X-Business-Use-Case-Usage" not in answer.headers:
            answer.headers["X-Business-Use-Case-Usage"] = self.usage.business_header(*business)
        info = request.get(TOKEN_KEY)
        if info is not None and info.kind != "page":
            answer.headers["X-App-Usage"] = self.usage.app_header()

    # ---- dispatch ----

    async def handle(self, request: web.Request) -> web.StreamResponse:
        answer = await self._answer(request)
        self._usage_headers(request, answer)
        return answer

    async def _answer(self, request: web.Request, *, record: bool = True) -> web.StreamResponse:
        """The answer to one request; `record` False for an operation of a batch, which is no
        HTTP request of its own."""
        if record:
            self.requests.append((request.method, request.path))
            if time.monotonic() < self.fail_until:
                return err.transient(self.fail_status)
        parts = [p for p in request.path.split("/") if p]
        if parts and parts[0].startswith("v") and "." in parts[0]:
            parts = parts[1:]
        method = request.method
        if record and method == "POST" and not parts:
            return await self.batch.serve(request)
        routes: dict[tuple[str, ...], Callable[[web.Request], web.Response]] = {
            ("GET", "oauth", "access_token"): self.access_token,
            ("GET", "debug_token"): self.debug_token,
            ("GET", "me"): self.me,
            ("GET", "me", "accounts"): self.accounts,
        }
        handler = routes.get((method, *parts))
        if handler is not None:
            return handler(request)
        if self.content is not None and parts:
            answer = await self.content.route(request, parts, self._page_token)
            if answer is not None:
                return answer
        if self.instagram is not None and parts and self._instagram_node(parts):
            auth = self._auth(request)
            if isinstance(auth, web.Response):
                return auth
            if self.instagram.page_token_route(parts) and auth.kind != "page" and self.strict.page_tokens:
                return err.needs_page_token()
            # The Page's inbox counts against the Page's Messenger budget, the rest against the
            # Instagram account's.
            owner = (self.instagram.page_id, "messenger") if parts[0] == self.instagram.page_id \
                else (self.instagram.world.account_id, "instagram")
            refused = self.business(request, *owner)
            if refused is not None:
                return refused
            return await self.instagram.route(request, parts, via_facebook=True)
        if len(parts) == 2 and parts[1] == "permissions" and method == "DELETE":
            return self.revoke(request)
        if len(parts) == 2 and parts[1] == "subscribed_apps":
            return self.subscribed_apps(request, parts[0])
        if len(parts) == 2 and parts[1] == "leadgen_forms" and method == "GET":
            return self.lead_forms(request, parts[0])
        if len(parts) == 2 and parts[1] == "leads" and method == "GET":
            return self.form_leads(request, parts[0])
        if len(parts) == 1 and method == "GET":
            return self.node(request, parts[0])
        node = parts[0] if parts else ""
        auth = self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        return err.unknown_node(node, method.lower())

    def _instagram_node(self, parts: list[str]) -> bool:
        """A node of the linked Instagram account, or the inbox of the Page it is linked to."""
        assert self.instagram is not None
        if self.instagram.world.node_kind(parts[0]) is not None:
            return True
        return parts[0] == self.instagram.page_id and parts[1:] in (["conversations"], ["messages"])

    # ---- OAuth ----

    def access_token(self, request: web.Request) -> web.Response:
        q = request.query
        w = self.world
        if q.get("client_id") != w.app_id or not hmac.compare_digest(q.get("client_secret", ""), w.app_secret):
            return err.graph_error(400, 1, "Error validating client secret.")
        if q.get("grant_type") == "fb_exchange_token":
            short = w.tokens.get(q.get("fb_exchange_token", ""))
            if short is None or short.kind not in ("code-user", "user"):
                return err.bad_token()
            token = w.issue_user_token("user", short.scopes)
            return ok({"access_token": token, "token_type": "bearer", "expires_in": 5183944})
        code = q.get("code", "")
        grant = w.codes.pop(code, None)
        if grant is None:
            return err.graph_error(400, 100, "This authorization code has been used.", subcode=36009)
        redirect_uri, scopes = grant
        if q.get("redirect_uri") != redirect_uri:
            w.codes[code] = grant  # a refused exchange does not spend the code
            return err.graph_error(
                400, 100, "Error validating verification code. Please make sure your redirect_uri "
                "is identical to the one you used in the OAuth dialog request", subcode=36008)
        token = w.issue_user_token("code-user", scopes)
        return ok({"access_token": token, "token_type": "bearer", "expires_in": 5183944})

    def debug_token(self, request: web.Request) -> web.Response:
        w = self.world
        app_token = f"{w.app_id}|{w.app_secret}"
        if request.query.get("access_token") != app_token:
            return err.bad_token()
        refused = check_proof(request, app_token, w.app_secret, self.strict)
        if refused is not None:
            return refused
        info = w.tokens.get(request.query.get("input_token", ""))
        if info is None:
            return ok({"data": {"is_valid": False, "app_id": w.app_id, "scopes": []}})
        data: dict[str, Any] = {"app_id": w.app_id, "type": "PAGE" if info.kind == "page" else "USER",
                                "application": "Corvane Sandbox", "is_valid": True,
                                "scopes": list(info.scopes)}
        data["profile_id" if info.kind == "page" else "user_id"] = info.subject
        return ok({"data": data})

    # ---- the user and the Pages ----

    def me(self, request: web.Request) -> web.Response:
        auth = self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        if auth.kind == "page":
            page = self.world.pages[auth.subject]
            return ok(select({"id": page.id, "name": page.name, "category": page.category},
                             request.query.get("fields")))
        user: dict[str, Any] = dict(self.world.user)
        user["picture"] = {"data": {"url": "https://sandbox.invalid/user.jpg", "is_silhouette": False}}
        return ok(select(user, request.query.get("fields")))

    def accounts(self, request: web.Request) -> web.Response:
        auth = self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        if auth.kind == "page":
            return err.graph_error(400, 100, "(#100) Tried accessing nonexisting field (accounts) "
                                   "on node type (Page)", kind="OAuthException")
        items = []
        for page in self.world.pages.values():
            item: dict[str, Any] = {
                "id": page.id, "name": page.name, "category": page.category,
                "access_token": page.token, "tasks": ["ADVERTISE", "ANALYZE", "MANAGE", "MODERATE"],
                "link": f"https://sandbox.invalid/pages/{page.id}",
                "picture": {"data": {"url": f"https://sandbox.invalid/pages/{page.id}.jpg"}},
            }
            if page.instagram:
                item["instagram_business_account"] = dict(page.instagram)
            items.append(select(item, request.query.get("fields")))
        return ok(paged(request, items))

    def revoke(self, request: web.Request) -> web.Response:
        auth = self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        if auth.kind == "page":
            return err.needs_page_token()
        for token, info in list(self.world.tokens.items()):
            if info.kind != "page" and info.subject == auth.subject:
                del self.world.tokens[token]
        return ok({"success": True})

    def subscribed_apps(self, request: web.Request, page_id: str) -> web.Response:
        page = self.world.pages.get(page_id)
        auth = self._page_token(request, page_id) if page else self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        if page is None:
            return err.unknown_node(page_id, request.method.lower())
        if request.method == "POST":
            fields = [f for f in request.query.get("subscribed_fields", "").split(",") if f]
            if not fields:
                return err.graph_error(400, 100, "(#100) The parameter subscribed_fields is required.")
            page.subscribed_fields = fields
            return ok({"success": True})
        if request.method == "DELETE":
            page.subscribed_fields = []
            return ok({"success": True})
        if request.method != "GET":
            return err.unknown_node(page_id, request.method.lower())
        data = []
        if page.subscribed_fields:
            data.append({"name": "Corvane Sandbox", "id": self.world.app_id,
                         "subscribed_fields": list(page.subscribed_fields)})
        return ok({"data": data})

    # ---- Lead Ads ----

    def lead_forms(self, request: web.Request, page_id: str) -> web.Response:
        if page_id not in self.world.pages:
            auth = self._auth(request)
            return auth if isinstance(auth, web.Response) else err.unknown_node(page_id)
        auth = self._page_token(request, page_id, "leadgen")
        if isinstance(auth, web.Response):
            return auth
        forms = []
        for form in self.world.forms.values():
            if form["page_id"] == page_id:
                item = {k: v for k, v in form.items() if k != "page_id"}
                leads = [lead for lead in self.world.leads.values() if lead.form_id == form["id"]]
                item["leads_count"] = len(leads)
                item["organic_leads_count"] = sum(1 for lead in leads if not lead.ad_id)
                item["expired_leads_count"] = 0
                forms.append(select(item, request.query.get("fields")))
        return ok(paged(request, forms))

    def form_leads(self, request: web.Request, form_id: str) -> web.Response:
        page_id = self.world.page_of_node(form_id) if form_id in self.world.forms else None
        if page_id is None:
            auth = self._auth(request)
            return auth if isinstance(auth, web.Response) else err.unknown_node(form_id)
        auth = self._page_token(request, page_id, "leadgen")
        if isinstance(auth, web.Response):
            return auth
        since = 0.0
        filtering = request.query.get("filtering")
        if filtering:
            try:
                for rule in json.loads(filtering):
                    if rule.get("field") == "time_created" and rule.get("operator") == "GREATER_THAN":
                        since = float(rule["value"])
            except (ValueError, TypeError, KeyError, AttributeError):
                return err.graph_error(400, 100, "(#100) param filtering must be an array.")
        leads = sorted((lead for lead in self.world.leads.values()
                        if lead.form_id == form_id and lead.created > since),
                       key=lambda lead: lead.created, reverse=True)
        fields = request.query.get("fields")
        return ok(paged(request, [select(lead.as_graph(self.world), fields) for lead in leads]))

    def node(self, request: web.Request, node: str) -> web.Response:
        w = self.world
        fields = request.query.get("fields")
        if node in w.leads:
            auth = self._page_token(request, w.leads[node].page_id, "leadgen")
            if isinstance(auth, web.Response):
                return auth
            return ok(select(w.leads[node].as_graph(w), fields))
        auth = self._auth(request)
        if isinstance(auth, web.Response):
            return auth
        if node in w.ads:
            # Ads are read with a user token that holds ads_management (or ads_read).
            if auth.kind == "page" or not {"ads_management", "ads_read"} & set(auth.scopes):
                return err.permission("(#200) Requires ads_management or ads_read permission")
            return ok(select(w.ads[node], fields))
        if node in w.pages:
            page = w.pages[node]
            return ok(select({"id": page.id, "name": page.name, "category": page.category}, fields))
        if node == w.user["id"] and auth.kind != "page":
            return ok(select(w.user, fields))
        if node in w.forms:
            auth = self._page_token(request, str(w.forms[node]["page_id"]), "leadgen")
            if isinstance(auth, web.Response):
                return auth
            return ok(select({k: v for k, v in w.forms[node].items() if k != "page_id"}, fields))
        return err.unknown_node(node)
