"""How strict the sandbox is, and the platform's usage accounting: the X-App-Usage and
X-Business-Use-Case-Usage headers of every answer, and the business use case throttles (codes
80001 Pages, 80002 Instagram, 80005 Lead Ads, 80006 Messenger) once a business object's call
budget is spent. A call made while blocked lengthens the block, as on the platform."""
from __future__ import annotations

import json
import math
import time
from dataclasses import dataclass, field

from typing import Any

from aiohttp import web

from . import graph_errors as err

# Where a request records what its answer's usage headers report: the token's kind and the
# business object charged. Typed keys where aiohttp has them (3.11+), plain names before.
_Key: Any = getattr(web, "RequestKey", None)
TOKEN_KEY: Any = _Key("corvane_token", object) if _Key else "corvane.token"
BUSINESS_KEY: Any = _Key("corvane_business", object) if _Key else "corvane.business"


@dataclass
class Strictness:
    """The platform's strict rules, each on by default; a test that is about something else
    switches one off (``Sandbox(strict=Strictness(appsecret_proof=False))`` or
    ``sb.strict.appsecret_proof = False``)."""

    appsecret_proof: bool = True  # every Graph and Instagram Graph request proves its token
    page_tokens: bool = True  # Page-token operations refuse user tokens (code 190)
    usage_headers: bool = True  # X-App-Usage / X-Business-Use-Case-Usage on every answer
    budgets: bool = True  # 800xx once a business object's budget is spent


# The throttle of each business use case type: code and the platform's message.
THROTTLES: dict[str, tuple[int, str]] = {
    "pages": (80001, "There have been too many calls to this Page account. Wait a bit and try "
                     "again. For more info, please refer to "
                     "https://developers.facebook.com/docs/graph-api/overview/rate-limiting."),
    "instagram": (80002, "There have been too many calls to this Instagram account. Wait a bit and "
                         "try again. For more info, please refer to "
                         "https://developers.facebook.com/docs/graph-api/overview/rate-limiting."),
    "leadgen": (80005, "There have been too many leadgen api calls to this Page account. Wait a bit "
                       "and try again. For more info, please refer to "
                       "https://developers.facebook.com/docs/graph-api/overview/rate-limiting."),
    "messenger": (80006, "There have been too many messenger api calls to this Page account. Wait a "
                         "bit and try again. For more info, please refer to "
                         "https://developers.facebook.com/docs/graph-api/overview/rate-limiting."),
}


def _minutes(seconds: float) -> int:
    """Whole minutes, rounded up as the platform rounds its wait; a block of exactly ten
    minutes reads 10 even when the clock's floating point makes it ten minutes and a femtosecond."""
    return max(0, math.ceil(seconds / 60 - 1e-6))


@dataclass
class _Account:
    calls: list[float] = field(default_factory=list)
    blocked_until: float = 0.0


class Usage:
    """Call budgets per business object and use case type: `calls` per `window` seconds; once
    spent, the object is blocked for `block` seconds, and every call made while blocked adds
    `penalty` seconds more. The app's own budget (X-App-Usage) is `app_calls` per window, every
    answer counted; it is reported, not enforced."""

    def __init__(self, calls: int = 4800, window: float = 3600.0, block: float = 300.0,
                 penalty: float = 60.0, app_calls: int = 48000) -> None:
        self.calls, self.window, self.block, self.penalty = calls, window, block, penalty
        self.app_calls = app_calls
        self._accounts: dict[tuple[str, str], _Account] = {}
        self._app_calls: list[float] = []
        self.blocks = 0  # times a business object was blocked for spending its budget
        self.calls_while_blocked = 0  # calls that came while their object was blocked

    def _account(self, object_id: str, kind: str, now: float) -> _Account:
        account = self._accounts.setdefault((object_id, kind), _Account())
        account.calls = [t for t in account.calls if t > now - self.window]
        return account

    def charge(self, object_id: str, kind: str) -> web.Response | None:
        """Counts one call; the throttle answer when the object is blocked."""
        now = time.monotonic()
        account = self._account(object_id, kind, now)
        if account.blocked_until > now:
            account.blocked_until += self.penalty
            self.calls_while_blocked += 1
            return self.refusal(object_id, kind, now)
        account.calls.append(now)
        if len(account.calls) > self.calls:
            account.blocked_until = now + self.block
            self.blocks += 1
            return self.refusal(object_id, kind, now)
        return None

    def refusal(self, object_id: str, kind: str, now: float) -> web.Response:
        code, message = THROTTLES.get(kind, THROTTLES["pages"])
        answer = err.graph_error(400, code, f"(#{code}) {message}")
        answer.headers["X-Business-Use-Case-Usage"] = self.business_header(object_id, kind, now)
        return answer

    def business_header(self, object_id: str, kind: str, now: float | None = None) -> str:
        now = time.monotonic() if now is None else now
        account = self._account(object_id, kind, now)
        share = min(100, math.ceil(100 * len(account.calls) / max(1, self.calls)))
        wait = _minutes(account.blocked_until - now)
        figures = {"type": kind, "call_count": share, "total_cputime": max(1, share // 4),
                   "total_time": max(1, share // 4), "estimated_time_to_regain_access": wait}
        return json.dumps({object_id: [figures]}, separators=(",", ":"))

    def app_header(self) -> str:
        now = time.monotonic()
        self._app_calls = [t for t in self._app_calls if t > now - self.window]
        self._app_calls.append(now)
        share = min(100, math.ceil(100 * len(self._app_calls) / max(1, self.app_calls)))
        return json.dumps({"call_count": share, "total_time": max(1, share // 4),
                           "total_cputime": max(1, share // 4)}, separators=(",", ":"))

    def blocked_minutes(self, object_id: str, kind: str) -> int:
        """What estimated_time_to_regain_access says now (for tests)."""
        account = self._account(object_id, kind, time.monotonic())
        return _minutes(account.blocked_until - time.monotonic())
