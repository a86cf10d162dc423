"""LinkedIn's hosts in the sandbox: the OAuth dialog, token and introspection endpoints on the
OAuth host; OpenID userinfo on the v2 API; posts on the versioned REST API.

Strict as LinkedIn, each rule on by default and switched off on the world by a test that needs
it: the REST API answers 426 for a "LinkedIn-Version" outside its active window
(`versions_kept` months back from today, `strict_versions`), and every API call of a member
beyond `member_daily_quota` in one UTC day gets 429 (None: no quota). The "X-RestLi-Method"
header of each finder call is recorded in `restli_methods`: LinkedIn's examples send it, but
LinkedIn tells the finder by `q=` and does not require it.

Company pages: the world holds two organizations, the member an approved ADMINISTRATOR of the
first and an ANALYST of the second. Reading a page's posts needs `r_organization_social`,
posting and deleting as it `w_organization_social`, and either one a posting role on that page
(ADMINISTRATOR, CONTENT_ADMIN or DIRECT_SPONSORED_CONTENT_POSTER); LinkedIn answers 403
ACCESS_DENIED otherwise. The roleAssignee finder of `organizationAcls` lists the member's roles."""
from __future__ import annotations

import hmac
import json
import secrets
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import unquote

from aiohttp import web

from .urls import with_query

OAUTH_HOST = "www.linkedin.com"
API_HOST = "api.linkedin.com"
SCOPES = ("openid", "profile", "email", "w_member_social", "r_organization_social",
          "w_organization_social", "r_organization_admin", "rw_organization_admin")
ORGANIZATION = "urn:li:organization:"
POSTING_ROLES = ("ADMINISTRATOR", "CONTENT_ADMIN", "DIRECT_SPONSORED_CONTENT_POSTER")
# Any of these lets a member read their own organization roles.
ACL_SCOPES = ("r_organization_social", "w_organization_social", "r_organization_admin",
              "rw_organization_admin")
VERSIONS_KEPT = 12  # LinkedIn keeps a version active for about a year
MEMBER_DAILY_QUOTA = 1000  # LinkedIn publishes no figure; each app sees its own in the portal


def active_versions(now: float | None = None, kept: int = VERSIONS_KEPT) -> set[str]:
    """The month versions of the `kept` months that end with the month of `now` (UTC)."""
    t = time.gmtime(now if now is not None else time.time())
    year, month = t.tm_year, t.tm_mon
    out = set()
    for _ in range(kept):
        out.add(f"{year:04d}{month:02d}")
        year, month = (year - 1, 12) if month == 1 else (year, month - 1)
    return out


@dataclass
class LinkedInWorld:
    client_id: str = "78sandboxli01"
    client_secret: str = field(default_factory=lambda: secrets.token_urlsafe(16))
    member: dict[str, Any] = field(default_factory=lambda: {
        "sub": "sbx-Ao7kPq2Zr", "email_verified": True, "name": "Jasur Ergashev",
        "locale": {"country": "UZ", "language": "uz"}, "given_name": "Jasur",
        "family_name": "Ergashev", "email": "jasur.ergashev@example.uz",
        "picture": "https://sandbox.invalid/li/jasur.jpg"})
    tokens: dict[str, tuple[str, ...]] = field(default_factory=dict)  # token -> scopes
    refresh_tokens: dict[str, tuple[str, ...]] = field(default_factory=dict)
    codes: dict[str, tuple[str, tuple[str, ...]]] = field(default_factory=dict)
    posts: list[dict[str, Any]] = field(default_factory=list)
    strict_versions: bool = True
    versions_kept: int = VERSIONS_KEPT
    member_daily_quota: int | None = MEMBER_DAILY_QUOTA
    clock: Callable[[], float] = time.time  # the quota's day and the version window follow it
    calls: dict[tuple[str, str], int] = field(default_factory=dict)  # (sub, UTC day) -> calls
    restli_methods: list[str | None] = field(default_factory=list)
    organizations: dict[str, dict[str, Any]] = field(default_factory=lambda: {
        "urn:li:organization:2414183": {"localizedName": "Ipak Yo'li Savdo", "vanityName": "ipakyoli"},
        "urn:li:organization:5515715": {"localizedName": "Samarqand Tekstil", "vanityName": "samtekstil"}})
    # The member's roles on company pages: organization URN -> (role, state).
    roles: dict[str, tuple[str, str]] = field(default_factory=lambda: {
        "urn:li:organization:2414183": ("ADMINISTRATOR", "APPROVED"),
        "urn:li:organization:5515715": ("ANALYST", "APPROVED")})

    def spend(self) -> bool:
        """Counts one API call of the member; False once today's quota (UTC) is spent."""
        key = (str(self.member["sub"]), time.strftime("%Y-%m-%d", time.gmtime(self.clock())))
        used = self.calls.get(key, 0)
        if self.member_daily_quota is not None and used >= self.member_daily_quota:
            return False
        self.calls[key] = used + 1
        return True

    @property
    def member_urn(self) -> str:
        return "urn:li:person:" + str(self.member["sub"])

    def may_act_as(self, author: str, scopes: tuple[str, ...], member_scope: str | None,
                   organization_scope: str) -> bool:
        """Whether a token with `scopes` may read (or write) as `author`: the member itself with
        `member_scope` (None: no scope needed), or a company page with `organization_scope` on
        which the member holds an approved posting role."""
        if author == self.member_urn:
            return member_scope is None or member_scope in scopes
        role = self.roles.get(author) if author.startswith(ORGANIZATION) else None
        return (organization_scope in scopes and role is not None and role[1] == "APPROVED"
                and role[0] in POSTING_ROLES)

    def issue(self, scopes: tuple[str, ...]) -> dict[str, Any]:
        token, refresh = "AQV" + secrets.token_urlsafe(40), "AQX" + secrets.token_urlsafe(40)
        self.tokens[token] = scopes
        self.refresh_tokens[refresh] = scopes
        return {"access_token": token, "expires_in": 5183999, "refresh_token": refresh,
                "refresh_token_expires_in": 31536059, "scope": ",".join(scopes),
                "token_type": "Bearer", "id_token": "sandbox." + secrets.token_urlsafe(24) + ".sig"}


def li_error(status: int, message: str, code: str, service_code: int | None = None) -> web.Response:
    body: dict[str, Any] = {"status": status, "code": code, "message": message}
    if service_code is not None:
        body["serviceErrorCode"] = service_code
    return web.json_response(body, status=status)


def throttled() -> web.Response:
    # LinkedIn's answer to a spent daily quota: no Retry-After, the quota comes back at 00:00 UTC.
    return web.json_response({"serviceErrorCode": 101, "status": 429, "message":
                              "Resource level throttle limit for calls to this resource is reached."},
                             status=429)


def paged(request: web.Request, elements: list[dict[str, Any]], finder: dict[str, str], path: str) -> web.Response:
    """One page of a start/count finder as LinkedIn answers it: paging with start, count, total
    and the "next" (and "prev") links, at most 100 elements."""
    try:
        start, count = int(request.query.get("start", "0")), int(request.query.get("count", "10"))
    except ValueError:
        return li_error(400, "Invalid paging parameters", "ILLEGAL_ARGUMENT", 100)
    if start < 0 or not 0 < count <= 100:
        return li_error(400, "Invalid paging parameters", "ILLEGAL_ARGUMENT", 100)
    links = []
    if start > 0:
        links.append({"type": "application/json", "rel": "prev",
                      "href": with_query(path, {**finder, "start": str(max(start - count, 0)), "count": str(count)})})
    if start + count < len(elements):
        links.append({"type": "application/json", "rel": "next",
                      "href": with_query(path, {**finder, "start": str(start + count), "count": str(count)})})
    return web.json_response({"paging": {"start": start, "count": count, "links": links, "total": len(elements)},
                              "elements": elements[start:start + count]})


def oauth_error(error: str, description: str, status: int = 400) -> web.Response:
    return web.json_response({"error": error, "error_description": description}, status=status)


class LinkedInHosts:
    def __init__(self, world: LinkedInWorld) -> None:
        self.world = world

    def consent(self, query: dict[str, str]) -> tuple[int, str]:
        w = self.world
        if query.get("response_type") != "code" or query.get("client_id") != w.client_id:
            return 400, "invalid_request"
        redirect_uri = query.get("redirect_uri", "")
        if not redirect_uri.startswith(("https://", "http://")):
            return 400, "invalid redirect_uri"
        asked = tuple(s for s in query.get("scope", "").split(" ") if s)
        unknown = [s for s in asked if s not in SCOPES]
        if unknown:
            return 302, with_query(redirect_uri, {"error": "unauthorized_scope_error",
                                                  "error_description": f"Scope \"{unknown[0]}\" is not authorized"})
        code = "AQT" + secrets.token_urlsafe(32)
        w.codes[code] = (redirect_uri, asked)
        back = {"code": code}
        if query.get("state"):
            back["state"] = query["state"]
        return 302, with_query(redirect_uri, back)

    # ---- OAuth host ----

    async def oauth(self, request: web.Request) -> web.StreamResponse:
        path = request.path.rstrip("/")
        if request.method == "GET" and path == "/oauth/v2/authorization":
            status, where = self.consent(dict(request.query))
            if status == 302:
                raise web.HTTPFound(where)
            return web.Response(status=status, text=where)
        if request.method != "POST":
            return web.Response(status=404, text="Not Found")
        form = {k: str(v) for k, v in (await request.post()).items()}
        w = self.world
        if form.get("client_id") != w.client_id or not hmac.compare_digest(
                form.get("client_secret", ""), w.client_secret):
            return oauth_error("invalid_client", "Client authentication failed", 401)
        if path == "/oauth/v2/accessToken":
            if form.get("grant_type") == "authorization_code":
                grant = w.codes.pop(form.get("code", ""), None)
                if grant is None or grant[0] != form.get("redirect_uri"):
                    return oauth_error("invalid_request", "Unable to retrieve access token: "
                                       "appid/redirect uri/code verifier does not match authorization code")
                return web.json_response(w.issue(grant[1]))
            if form.get("grant_type") == "refresh_token":
                scopes = w.refresh_tokens.get(form.get("refresh_token", ""))
                if scopes is None:
                    return oauth_error("invalid_request", "The provided refresh token is invalid")
                return web.json_response(w.issue(scopes))
            return oauth_error("unsupported_grant_type", "The grant type is not supported")
        if path == "/oauth/v2/introspectToken":
            scopes = w.tokens.get(form.get("token", ""))
            if scopes is None:
                return web.json_response({"active": False})
            now = int(time.time())
            return web.json_response({"active": True, "client_id": w.client_id, "authorized_at": now,
                                      "created_at": now, "status": "active", "expires_at": now + 5183999,
                                      "scope": ",".join(scopes), "auth_type": "3L"})
        return web.Response(status=404, text="Not Found")

    # ---- API host ----

    def _bearer(self, request: web.Request) -> tuple[str, ...] | web.Response:
        auth = request.headers.get("Authorization", "")
        scopes = self.world.tokens.get(auth[7:]) if auth.startswith("Bearer ") else None
        if scopes is None:
            return li_error(401, "Invalid access token", "INVALID_ACCESS_TOKEN", 65600)
        if not self.world.spend():
            return throttled()
        return scopes

    def _version_refused(self, request: web.Request) -> web.Response | None:
        w = self.world
        version = request.headers.get("LinkedIn-Version", "")
        if not version:
            return li_error(426, "A version must be present. Please specify a version by adding "
                            "the LinkedIn-Version header.", "VERSION_MISSING")
        if w.strict_versions and version not in active_versions(w.clock(), w.versions_kept):
            return li_error(426, f"Requested version {version} is not active", "NONEXISTENT_VERSION")
        return None

    async def api(self, request: web.Request) -> web.StreamResponse:
        path = request.path
        if path == "/v2/userinfo" and request.method == "GET":
            scopes = self._bearer(request)
            if isinstance(scopes, web.Response):
                return scopes
            if "openid" not in scopes:
                return li_error(403, "Not enough permissions to access: userinfo.GET.NO_VERSION",
                                "ACCESS_DENIED", 100)
            return web.json_response(dict(self.world.member))
        if path.startswith("/rest/"):
            refused = self._version_refused(request)
            if refused is not None:
                return refused
            scopes = self._bearer(request)
            if isinstance(scopes, web.Response):
                return scopes
            if path == "/rest/posts" and request.method == "GET":
                return self.list_posts(request, scopes)
            if path == "/rest/organizationAcls" and request.method == "GET":
                return self.list_acls(request, scopes)
            if path == "/rest/posts" and request.method == "POST":
                return await self.create_post(request, scopes)
            if path.startswith("/rest/posts/") and request.method == "DELETE":
                return self.delete_post(unquote(request.raw_path.split("?", 1)[0][len("/rest/posts/"):]), scopes)
        return li_error(404, f"No virtual resource found for {path}", "RESOURCE_NOT_FOUND")

    def list_posts(self, request: web.Request, scopes: tuple[str, ...]) -> web.Response:
        q = request.query
        if q.get("q") != "author":
            return li_error(400, "Invalid finder", "ILLEGAL_ARGUMENT", 100)
        self.world.restli_methods.append(request.headers.get("X-RestLi-Method"))
        author = q.get("author", "")
        if not self.world.may_act_as(author, scopes, None, "r_organization_social"):
            # Another member's posts, or a page without the scope and a role on it.
            return li_error(403, "Not enough permissions to access: partnerApiPostsExternal.FINDER-author",
                            "ACCESS_DENIED", 100)
        mine = [p for p in reversed(self.world.posts) if p["author"] == author]
        return paged(request, mine, {"q": "author", "author": author}, "/rest/posts")

    def list_acls(self, request: web.Request, scopes: tuple[str, ...]) -> web.Response:
        q = request.query
        if q.get("q") != "roleAssignee":
            return li_error(400, "Invalid finder", "ILLEGAL_ARGUMENT", 100)
        self.world.restli_methods.append(request.headers.get("X-RestLi-Method"))
        if not any(s in scopes for s in ACL_SCOPES):
            return li_error(403, "Not enough permissions to access: organizationAcls.FINDER-roleAssignee",
                            "ACCESS_DENIED", 100)
        w = self.world
        acls = [{"roleAssignee": w.member_urn, "state": state, "role": role, "organization": urn}
                for urn, (role, state) in w.roles.items()
                if q.get("role", role) == role and q.get("state", state) == state]
        kept = {k: v for k, v in q.items() if k in ("q", "role", "state")}
        return paged(request, acls, kept, "/rest/organizationAcls")

    async def create_post(self, request: web.Request, scopes: tuple[str, ...]) -> web.Response:
        if not any(s in scopes for s in ("w_member_social", "w_organization_social")):
            return li_error(403, "Not enough permissions to access: partnerApiPostsExternal.CREATE",
                            "ACCESS_DENIED", 100)
        try:
            post = json.loads(await request.read())
        except ValueError:
            return li_error(400, "Request body is not valid JSON", "ILLEGAL_ARGUMENT", 100)
        if not isinstance(post, dict) or not self.world.may_act_as(
                str(post.get("author")), scopes, "w_member_social", "w_organization_social"):
            return li_error(403, "ERROR :: /author :: member is not allowed to post as this author",
                            "ACCESS_DENIED", 100)
        if post.get("visibility") not in ("PUBLIC", "CONNECTIONS") or not isinstance(post.get("commentary"), str) \
                or post.get("lifecycleState") != "PUBLISHED":
            return li_error(422, "ERROR :: /visibility, /commentary or /lifecycleState :: invalid",
                            "UNPROCESSABLE_ENTITY", 100)
        urn = f"urn:li:share:{7200000000000000000 + len(self.world.posts) + 1}"
        now = int(time.time() * 1000)
        self.world.posts.append({**post, "id": urn, "createdAt": now, "publishedAt": now, "lastModifiedAt": now})
        return web.Response(status=201, headers={"x-restli-id": urn})

    def delete_post(self, urn: str, scopes: tuple[str, ...]) -> web.Response:
        for n, post in enumerate(self.world.posts):
            if post["id"] == urn:
                if not self.world.may_act_as(post["author"], scopes, "w_member_social", "w_organization_social"):
                    return li_error(403, "Not enough permissions to access: partnerApiPostsExternal.DELETE",
                                    "ACCESS_DENIED", 100)
                del self.world.posts[n]
                return web.Response(status=204)
        return li_error(404, f"Post {urn} not found", "RESOURCE_NOT_FOUND", 100)
