"""Graph batch requests on the sandbox's Graph host, as the platform serves them: ``POST /vX.Y/``
with the form field ``batch`` (a JSON array of operations) and the batch's ``access_token``
(with its ``appsecret_proof``), the fallback of every operation without a token of its own.

Each operation is answered exactly as the same request alone would be (its token and proof
checked, its call counted against the rate and the business budgets, usage headers included),
in the shape ``{"code": ..., "headers": [{"name": ..., "value": ...}], "body": "<JSON text>"}``.
Operations without dependencies run together; one with ``depends_on`` or a
``{result=NAME:$.path}`` reference waits for the operation it names and reads its answer; when
that one failed, or was not run, its slot is ``null``. A named operation that a later one refers
to has its successful answer omitted (``null``) unless it says
``"omit_response_on_success": false``. More than 50 operations are refused as a whole."""
from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import re
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, quote, urlencode

from aiohttp import web
from aiohttp.test_utils import make_mocked_request

from . import graph_errors as err

if TYPE_CHECKING:
    from .graph import GraphHost

MAX_OPERATIONS = 50
_REFERENCE = re.compile(r"\{result=([^:{}]+):(\$[^{}]*)\}")
_VERSIONED = re.compile(r"v\d+\.\d+(/|$)")


def too_many() -> web.Response:
    # The message and type of real answers; the code is not documented, 1 is a guess.
    return err.graph_error(400, 1, "Too many requests in batch message. Maximum batch size is 50",
                           kind="GraphBatchException")


def json_path(value: Any, path: str) -> list[Any]:
    """The values `path` ($.a.b, $.data.*.id, $.data[0].id) selects in `value`."""
    found = [value]
    for step in re.findall(r"\.([^.\[\]]+)|\[(\d+)\]", path[1:]):
        name, index = step
        nxt: list[Any] = []
        for item in found:
            if index:
                if isinstance(item, list) and int(index) < len(item):
                    nxt.append(item[int(index)])
            elif name == "*":
                nxt.extend(item if isinstance(item, list) else
                           item.values() if isinstance(item, dict) else [])
            elif isinstance(item, dict) and name in item:
                nxt.append(item[name])
        found = nxt
    return found


class BatchHost:
    """Serves the batch calls of a GraphHost through its own routes."""

    def __init__(self, graph: GraphHost) -> None:
        self.graph = graph
        self.calls: list[int] = []  # the number of operations of every batch call, in order
        # (method, path without query) of every operation served, references resolved
        self.operations: list[tuple[str, str]] = []

    async def serve(self, request: web.Request) -> web.Response:
        form = await request.post()
        fields = {**request.query, **{k: str(v) for k, v in form.items()}}
        token = fields.get("access_token", "")
        if not token:
            return err.missing_token()
        if token not in self.graph.world.tokens:
            return err.bad_token()
        proof = fields.get("appsecret_proof")
        if proof is None and self.graph.strict.appsecret_proof:
            return err.missing_proof()
        secret = self.graph.world.app_secret.encode()
        expected = hmac.new(secret, token.encode(), hashlib.sha256).hexdigest()
        if proof is not None and not hmac.compare_digest(proof, expected):
            return err.bad_proof()
        try:
            operations = json.loads(fields.get("batch", ""))
        except ValueError:
            operations = None
        if not isinstance(operations, list) or not all(isinstance(o, dict) for o in operations):
            return err.graph_error(400, 100, "(#100) The parameter batch must be a JSON array of "
                                   "objects")
        if len(operations) > MAX_OPERATIONS:
            return too_many()
        self.calls.append(len(operations))
        with_headers = fields.get("include_headers", "true") != "false"
        referred = {name for op in operations for name in self._refers_to(op)}
        version = next((p for p in request.path.split("/") if p), "")
        host = request.headers.get("Host", request.url.host or "")
        answers: dict[str, tuple[int, Any]] = {}  # name -> (status, decoded body)
        done: dict[str, asyncio.Event] = {}
        for op in operations:
            if isinstance(op.get("name"), str):
                done.setdefault(op["name"], asyncio.Event())

        async def run(op: dict[str, Any]) -> dict[str, Any] | None:
            name = op.get("name")
            try:
                for needed in self._refers_to(op):
                    if needed not in done:
                        return None
                    await done[needed].wait()
                    status, _ = answers.get(needed, (0, None))
                    if not 200 <= status < 300:
                        return None
                slot = await self._operation(op, answers, token, proof, version, host, with_headers)
                self.operations.append((str(op.get("method", "GET")).upper(),
                                        self._resolved_path(op, answers)))
                if slot is None:
                    return None
                if isinstance(name, str):
                    try:
                        answers[name] = (slot["code"], json.loads(slot["body"] or "null"))
                    except ValueError:
                        answers[name] = (slot["code"], None)
                omit = op.get("omit_response_on_success", isinstance(name, str) and name in referred)
                return None if omit and slot["code"] < 300 else slot
            finally:
                if isinstance(name, str):
                    done[name].set()

        slots = await asyncio.gather(*(run(op) for op in operations))
        return web.Response(text=json.dumps(slots), content_type="application/json")

    def _resolved_path(self, op: dict[str, Any], answers: dict[str, tuple[int, Any]]) -> str:
        path = str(op.get("relative_url", "")).partition("?")[0]
        for name in self._refers_to(op):
            _, body = answers.get(name, (0, None))
            if isinstance(body, dict):
                path = re.sub(r"\{result=" + re.escape(name) + r":\$\.(\w+)\}",
                              lambda m: str(body.get(m.group(1), "")), path)
        return path

    @staticmethod
    def _refers_to(op: dict[str, Any]) -> list[str]:
        names = [op["depends_on"]] if isinstance(op.get("depends_on"), str) else []
        for key in ("relative_url", "body"):
            if isinstance(op.get(key), str):
                names.extend(m.group(1) for m in _REFERENCE.finditer(op[key]))
        return names

    async def _operation(self, op: dict[str, Any], answers: dict[str, tuple[int, Any]], token: str,
                         proof: str | None, version: str, host: str,
                         with_headers: bool) -> dict[str, Any] | None:
        def resolve(match: re.Match[str]) -> str:
            values = json_path(answers.get(match.group(1), (0, None))[1], match.group(2))
            if not values:
                raise LookupError(match.group(0))
            return quote(",".join(str(v) for v in values), safe=",")

        try:
            relative = _REFERENCE.sub(resolve, str(op.get("relative_url", "")))
            body = _REFERENCE.sub(resolve, op["body"]) if isinstance(op.get("body"), str) else ""
        except LookupError:
            return None  # a reference that selects nothing: the operation does not run
        path, _, query = relative.lstrip("/").partition("?")
        members = parse_qsl(query, keep_blank_values=True) + parse_qsl(body, keep_blank_values=True)
        if not any(k == "access_token" for k, _ in members):
            members.append(("access_token", token))
            if proof is not None:
                members.append(("appsecret_proof", proof))
        if not _VERSIONED.match(path):
            path = f"{version}/{path}"
        method = str(op.get("method", "GET")).upper()
        sub = make_mocked_request(method, f"/{path}?{urlencode(members)}", headers={"Host": host})
        answer = await self.graph._answer(sub, record=False)
        self.graph._usage_headers(sub, answer)
        text = answer.text if isinstance(answer, web.Response) else ""
        slot: dict[str, Any] = {"code": answer.status, "body": text}
        if with_headers:
            slot["headers"] = [{"name": k, "value": v} for k, v in answer.headers.items()]
        return slot
