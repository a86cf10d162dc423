"""The pure entry points on arbitrary input, lying host objects included: event keys and
properties of any delivery, the signature and handshake checks, the URL builders and login
links, both error-body readers, Retry-After, the records built from answers, the demographics
and inbox shaping, body decoding, and the usage headers. Each answers by its documented rule or refuses with
TypeError or ValueError; an exception of the host's own object passes through as it is."""
from __future__ import annotations

import codecs
import hashlib
import hmac
import json
import math
import re
from urllib.parse import unquote

import pytest
from answers import Answer, read
from hypothesis import example, given, settings
from hypothesis import strategies as st
from key_rules import expected_key, get
from multidict import CIMultiDict

from corvane import crypto, errors, webhooks
from corvane.endpoints import Graph, InstagramGraph, LinkedIn as LinkedInUrls
from corvane.facebook import Facebook
from corvane.http import BaseClient, Throttle, _retry_after
from corvane.instagram import Instagram, _flatten
from corvane.linkedin import LinkedIn
from corvane.models import Lead, LeadForm, Page, TokenBundle
from corvane.webhooks import WebhookEvent, dedupe_key, parse_events
from strategies import (ALLOWED, BadText, HollowDict, LyingMapping, SubStr, TruthyEmptyList,
                        liars, lone_surrogates, scalars, texts, values)

FEW = settings(max_examples=100)


def outcome(call):
    """("ok", result) or ("raised", exception type)."""
    try:
        return "ok", call()
    except Exception as error:  # the kind is what is compared
        return "raised", type(error)


def agrees(got, model):
    """The entry point answers what the model answers, or fails where the model fails (with an
    allowed kind: which of two bad members is reached first is not part of the contract)."""
    if model[0] == "raised":
        assert got[0] == "raised" and issubclass(got[1], ALLOWED), (got, model)
    else:
        assert got == model


paths = st.one_of(texts, texts.map(SubStr), st.text(alphabet="/a%?#: ", max_size=6))
not_text = st.one_of(st.none(), st.integers(), st.binary(max_size=3), st.builds(BadText),
                     st.lists(st.text(max_size=2), max_size=2))


def clean(*texts_given):
    """Every argument is a str without lone surrogates (UTF-8 can hold it)."""
    return all(isinstance(t, str) and not any("\ud800" <= c <= "\udfff" for c in t)
               for t in texts_given)


class CollidingKey:
    """A member name that hashes like `name` but cannot be compared: a look-up of `name` in
    its dict fails inside the dict."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise RuntimeError("not comparable")

    def __repr__(self):
        return f"CollidingKey({self.name!r})"


# ---- webhook events -------------------------------------------------------------------------

ID_NAMES = ["leadgen_id", "mid", "comment_id", "media_id", "post_id", "page_id", "form_id"]
ids = st.one_of(scalars, liars(st.lists(scalars, max_size=2)))
event_values = st.one_of(
    liars(st.dictionaries(st.sampled_from(ID_NAMES + ["message", "x"]),
                          st.one_of(ids, liars(st.dictionaries(st.just("mid"), ids)), values),
                          max_size=4)),
    values)
changes = liars(st.fixed_dictionaries({}, optional={"field": scalars, "value": event_values}))
entries = liars(st.fixed_dictionaries({}, optional={
    "id": ids, "time": scalars, "changes": liars(st.lists(changes, max_size=3)),
    "messaging": liars(st.lists(event_values, max_size=2)),
    "standby": liars(st.lists(event_values, max_size=2))}))
payloads = st.one_of(
    liars(st.fixed_dictionaries({"entry": liars(st.lists(entries, max_size=3))},
                                optional={"object": scalars})),
    values)


def events_of(payload):
    """The events parse_events gives before it refuses (if it does)."""
    out = []
    try:
        for event in parse_events(payload):
            out.append(event)
    except ALLOWED:
        pass
    return out


def truthy_text(value):
    return str(value) if value else None


def check_event(event):
    """key, leadgen_id, form_id and page_id: the documented rule's answer, or its refusal."""
    agrees(outcome(lambda: dedupe_key(event)), outcome(lambda: expected_key(event)))
    agrees(outcome(lambda: event.key), outcome(lambda: expected_key(event)))
    for name in ("leadgen_id", "form_id"):
        agrees(outcome(lambda: getattr(event, name)),
               outcome(lambda: truthy_text(get(event.value, name))))
    agrees(outcome(lambda: event.page_id),
           outcome(lambda: truthy_text(get(event.value, "page_id") or event.object_id)))


@FEW
@given(payloads)
@example({"entry": [{"changes": [{"value": {"post_id": "\ud800", "x": 1}}]}]})
@example({"entry": [{"time": "\udfff", "messaging": [{"message": {"mid": ""}, "t": "\ud83d"}]}]})
def test_keys_and_properties_of_any_delivery(payload):
    for event in events_of(payload):
        assert type(event.object_type) is str and type(event.field) is str
        assert event.object_id is None or type(event.object_id) is str
        check_event(event)


@FEW
@given(st.tuples(values, values, values, values, values))
def test_keys_and_properties_of_events_built_from_anything(fields):
    try:
        event = WebhookEvent(*fields)
    except ALLOWED:
        return
    check_event(event)


# ---- signature header look-up ---------------------------------------------------------------

def mixed_case(name, flips):
    return "".join(c.upper() if f else c.lower() for c, f in zip(name, flips))


@FEW
@given(st.binary(max_size=32), st.lists(st.booleans(), min_size=19, max_size=19),
       st.sampled_from(["dict", "ci", "lying"]),
       st.one_of(st.none(), st.integers(), st.binary(max_size=4), lone_surrogates,
                 st.builds(BadText)))
def test_signature_header_is_found_by_its_documented_names(body, flips, kind, other):
    signature = "sha256=" + hmac.new(b"s3", body, hashlib.sha256).hexdigest()
    name = mixed_case("X-Hub-Signature-256", flips)
    headers = {"dict": dict, "ci": CIMultiDict, "lying": LyingMapping}[kind](
        {name: signature, "X-Other": other})
    # Only a case-insensitive mapping finds any letter case; others the two usual spellings.
    found = kind == "ci" or name in ("X-Hub-Signature-256", "x-hub-signature-256")
    assert webhooks.verify_request("s3", body, headers) is found
    # A value of any other type under the name is a TypeError or a plain refusal.
    try:
        assert webhooks.verify_request("s3", body, {"x-hub-signature-256": other}) is False
    except ALLOWED:
        pass
    # The hex digits may change their letter case, the prefix may not; no secret, no match.
    forged = signature[:7] + mixed_case(signature[7:26], flips) + signature[26:]
    assert crypto.verify_signature("s3", body, forged) is True
    assert crypto.verify_signature("s3", body, mixed_case(signature[:7], flips) + signature[7:]) \
        is (signature[:7] == mixed_case(signature[:7], flips))
    assert crypto.verify_signature("", body, signature) is False


@FEW
@given(st.sampled_from([dict, HollowDict, CIMultiDict, LyingMapping]),
       st.one_of(st.sampled_from(["subscribe", SubStr("subscribe"), "Subscribe"]), texts, not_text),
       st.one_of(st.just("tok\ud800"), st.just("tok"), texts, not_text), values,
       st.one_of(st.sampled_from(["tok", "tok\ud800", "", None]), texts, not_text))
def test_challenge_is_answered_only_for_the_configured_token(kind, mode, token, challenge,
                                                              verify_token):
    query = kind({"hub.mode": mode, "hub.verify_token": token, "hub.challenge": challenge})
    try:
        got = webhooks.verify_challenge(query, verify_token)
    except TypeError:
        assert not isinstance(verify_token, (str, type(None)))
        return
    subscribed = isinstance(mode, str) and mode == "subscribe"
    matches = isinstance(token, str) and token == verify_token
    assert got is (challenge if verify_token and subscribed and matches else None)


NUMBER = r"[ \t]*[+-]?[0-9]{1,6}(\.[0-9]{0,3})?[ \t]*"


@FEW
@given(st.sampled_from([dict, CIMultiDict, LyingMapping]),
       st.lists(st.booleans(), min_size=11, max_size=11),
       st.one_of(st.from_regex(NUMBER, fullmatch=True), texts, not_text))
@example(dict, [False] * 11, "\udcff")  # aiohttp's form of a byte that is not UTF-8
def test_retry_after_is_seconds_or_none(kind, flips, value):
    name = mixed_case("Retry-After", flips)
    got = _retry_after(Answer(b"", None, kind({name: value, "X-Other": "1"})))
    found = kind is not LyingMapping or name == "Retry-After"  # a plain dict: any case
    assert got is None or (type(got) is float and math.isfinite(got))
    if not found:
        assert got is None
    elif isinstance(value, str) and re.fullmatch(NUMBER, value):
        assert got == float(value)


USAGE_HEADERS = ["X-App-Usage", "X-Page-Usage", "X-Business-Use-Case-Usage", "X-Ad-Account-Usage"]
figures = st.one_of(st.integers(-5, 150), st.floats(allow_nan=True), st.just(10 ** 400),
                    texts, st.none(), st.lists(st.integers(), max_size=2))
usage_keys = st.sampled_from(["call_count", "total_time", "total_cputime", "type",
                              "estimated_time_to_regain_access", "acc_id_util_pct",
                              "reset_time_duration", "ads_api_access_tier", "1001", "x"])
usage_json = st.recursive(st.dictionaries(usage_keys, figures, max_size=6),
                          lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                  st.dictionaries(usage_keys, inner, max_size=3)),
                          max_leaves=12)


def header_text(value):
    """JSON as the platform writes it (numbers beyond a double as digits), or garbage."""
    return json.dumps(value).replace("Infinity", "1e999").replace("NaN", "-")


@FEW
@given(st.sampled_from([dict, CIMultiDict, LyingMapping]),
       st.lists(st.tuples(st.sampled_from(USAGE_HEADERS),
                          st.one_of(usage_json.map(header_text), texts, not_text)), max_size=4))
@example(dict, [("X-App-Usage", '{"call_count":28,"total_time":25,"total_cputime":25}')])
def test_usage_headers_of_any_shape_are_figures_or_nothing(kind, pairs):
    throttle = Throttle()
    throttle._observe(kind(dict(pairs)), "https://graph.facebook.com/v23.0/act_1/ads")
    usage = throttle.usage

    def numbers(value):
        if isinstance(value, dict):
            return [n for v in value.values() for n in numbers(v)]
        if isinstance(value, list):
            return [n for v in value for n in numbers(v)]
        return [value] if isinstance(value, (int, float)) and not isinstance(value, bool) else []

    assert all(math.isfinite(n) and n >= 0 for n in numbers(usage))
    app = dict(pairs).get("X-App-Usage")
    if kind is not LyingMapping and isinstance(app, str):
        try:
            given_app = json.loads(app)
        except ValueError:
            given_app = None
        if isinstance(given_app, dict) and all(
                type(given_app.get(k)) is int and given_app[k] >= 0
                for k in ("call_count", "total_time", "total_cputime")):
            assert usage["app"] == {k: given_app[k] for k in ("call_count", "total_time",
                                                              "total_cputime")}


# ---- URL builders and login links -----------------------------------------------------------

UNRESERVED_OR_ESCAPED = re.compile(r"(?:[A-Za-z0-9_.~-]|%[0-9A-F]{2})*")


def query_pairs(url, base):
    """The decoded name/value pairs of a built URL, after checking every byte of its query is
    unreserved or escaped."""
    assert url.startswith(base + "?"), url
    query = url[len(base) + 1:]
    if not query:
        return []
    pairs = []
    for part in query.split("&"):
        name, value = part.split("=")
        assert UNRESERVED_OR_ESCAPED.fullmatch(name) and UNRESERVED_OR_ESCAPED.fullmatch(value)
        pairs.append((unquote(name, errors="strict"), unquote(value, errors="strict")))
    return pairs


@FEW
@given(st.one_of(paths, not_text), st.one_of(paths, not_text), st.one_of(paths, not_text),
       st.sampled_from([Graph, InstagramGraph]))
def test_graph_builders_join_text_as_it_is(version, node, edge, builder):
    try:
        graph = builder(version)
    except (TypeError, ValueError):
        assert not clean(version) or version == ""
        return
    base = f"{builder.host}/{version}"
    for name, call in [("url", lambda: graph.url(node)), ("node", lambda: graph.node(node)),
                       ("edge", lambda: graph.edge(node, edge))]:
        try:
            url = call()
        except (TypeError, ValueError):
            assert not clean(node, edge)
            continue
        rest = (node + "/" + edge if name == "edge" else node).lstrip("/")
        assert url == (f"{base}/{rest}" if rest else base)
    if builder is InstagramGraph:
        assert graph.long_lived_token() == f"{builder.host}/access_token"
    try:
        url = LinkedInUrls.rest(node)
    except (TypeError, ValueError):
        assert not clean(node)
        return
    assert url == "https://api.linkedin.com/rest/" + node.lstrip("/")


pair_items = st.tuples(st.one_of(scalars, texts), st.one_of(scalars, texts))
other_shapes = st.one_of(st.tuples(), st.tuples(texts), st.tuples(texts, texts, texts),
                         st.just("ab"), st.integers())


@FEW
@given(st.lists(pair_items, max_size=4), st.sampled_from([dict, HollowDict, LyingMapping]),
       st.lists(other_shapes, max_size=2))
@example([("a", 1)], LyingMapping, [])  # a Mapping written in Python is a mapping
@example([], LyingMapping, [("a",)])
def test_oauth_dialog_query_decodes_to_the_text_forms_in_order(pairs, kind, shapes):
    params = LyingMapping(pairs, shapes) if kind is LyingMapping else kind(pairs)
    outcome_pairs = outcome(lambda: [(str(k), str(v)) for k, v in list(params.items())])
    try:
        url = Graph().oauth_dialog(params)
    except ALLOWED:
        if outcome_pairs[0] == "ok":  # refused only for text UTF-8 cannot hold
            assert not clean(*(t for pair in outcome_pairs[1] for t in pair))
        return
    assert query_pairs(url, "https://www.facebook.com/v23.0/dialog/oauth") == outcome_pairs[1]


ID = "1 2/é"  # needs escaping itself
LOGIN = {  # client, call, dialog, the pairs before the scope
    "facebook": (lambda: Facebook(app_id=ID, app_secret="s", scopes=["email"]),
                 lambda c, r, **kw: c.login_url(redirect_uri=r, **kw),
                 "https://www.facebook.com/v23.0/dialog/oauth",
                 lambda r: [("client_id", ID), ("redirect_uri", r), ("response_type", "code")]),
    "instagram": (lambda: Instagram(app_id=ID, app_secret="s", scopes=["email"]),
                  lambda c, r, **kw: c.login_url(redirect_uri=r, **kw),
                  "https://www.instagram.com/oauth/authorize",
                  lambda r: [("client_id", ID), ("redirect_uri", r), ("response_type", "code")]),
    "linkedin": (lambda: LinkedIn(client_id=ID, client_secret="s", scopes=["email"]),
                 lambda c, r, **kw: c.login_url(r, **kw),
                 "https://www.linkedin.com/oauth/v2/authorization",
                 lambda r: [("response_type", "code"), ("client_id", ID), ("redirect_uri", r)]),
}


@FEW
@given(st.one_of(texts, texts.map(SubStr), not_text), st.one_of(st.none(), texts, not_text),
       st.one_of(st.none(), liars(st.lists(texts, max_size=3)), not_text),
       st.sampled_from(sorted(LOGIN)))
def test_login_links_round_trip_their_arguments(redirect, state, scopes, provider):
    make, call, dialog, first = LOGIN[provider]
    try:
        url = call(make(), redirect, state=state, scopes=scopes)
    except (TypeError, ValueError):
        good_scopes = scopes is None or isinstance(scopes, list) and clean(*scopes)
        assert not (clean(redirect) and (state is None or clean(state)) and good_scopes)
        return
    chosen = (list(scopes) if scopes is not None else []) or ["email"]  # [] means the client's
    scope = [("scope", (" " if provider == "linkedin" else ",").join(chosen))]
    state_pair = [("state", state)] if state else []
    # Facebook's dialog takes the state before the scope.
    rest = state_pair + scope if provider == "facebook" else scope + state_pair
    assert query_pairs(url, dialog) == first(redirect) + rest


# ---- error bodies ---------------------------------------------------------------------------

CODES = st.one_of(st.sampled_from([4, 17, 32, 613, 80000, 80009, 80010, 80014, 190, 102, 10, 200, 250, 299,
                                   803, 100, 33, 1, 2**70]),
                  scalars)
STATUSES = st.one_of(st.sampled_from([400, 401, 403, 404, 429, 500, True, 2**70]), scalars)
error_members = st.one_of(
    liars(st.fixed_dictionaries({}, optional={
        "message": scalars, "error_user_msg": scalars, "code": CODES, "error_subcode": CODES})),
    scalars)
error_bodies = st.one_of(
    liars(st.fixed_dictionaries({}, optional={
        "error": error_members, "error_description": scalars, "message": scalars,
        "serviceErrorCode": scalars, "status": scalars})),
    values)


def is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def graph_kind(status, code, subcode):
    def holds(codes, wanted_status):
        return (is_int(code) and code in codes) or (is_int(status) and status == wanted_status)
    missing_node = is_int(code) and is_int(subcode) and (code, subcode) == (100, 33)
    for kind, codes, wanted in [("RateLimitError", {4, 17, 32, 613, *range(80000, 80010), 80014}, 429),
                                ("AuthError", {190, 102}, 401),
                                ("PermissionError", {10, *range(200, 300)}, 403),
                                ("NotFoundError", {803}, 404)]:
        if holds(codes, wanted) or (kind == "NotFoundError" and missing_node):
            return kind
    return "ApiError"


def graph_message(status, body):
    fallback = f"HTTP {status}"  # written first: a status without a text form fails at once
    error = get(body, "error")
    if isinstance(error, dict):
        chosen = get(error, "error_user_msg") or get(error, "message")
        return str(chosen) if chosen else fallback
    if isinstance(error, str):
        return str(get(body, "error_description") or error)
    if isinstance(body, dict) and dict.__contains__(body, "message"):
        return str(body["message"])
    return fallback


def linkedin_message(status, body):
    fallback = f"HTTP {status}"
    chosen = next((get(body, n) for n in ("message", "error_description", "error")
                   if get(body, n)), None)
    return str(chosen) if chosen else fallback


LINKEDIN_KINDS = {429: "RateLimitError", 401: "AuthError", 403: "PermissionError",
                  404: "NotFoundError"}


@FEW
@given(STATUSES, error_bodies, st.sampled_from(["graph", "linkedin"]))
@example(400, {CollidingKey("message"): 1}, "graph")
@example(400, {CollidingKey("message"): 1}, "linkedin")
def test_error_bodies_become_their_documented_kind(status, body, platform):
    graph = platform == "graph"
    parse = Facebook(app_id="1", app_secret="s")._parse_error if graph else LinkedIn()._parse_error
    message = outcome(lambda: (graph_message if graph else linkedin_message)(status, body))
    got = outcome(lambda: parse(status, body))
    if got[0] == "raised" or message[0] == "raised":
        agrees(got, message)
        return
    error = got[1]
    assert isinstance(error, errors.ApiError) and isinstance(error.message, str)
    assert error.status is status and error.payload is body and str(error) == error.message
    assert error.message == message[1]
    if graph:
        code = get(get(body, "error"), "code")
        assert error.code is code and error.subcode is get(get(body, "error"), "error_subcode")
        assert type(error).__name__ == graph_kind(status, code, get(get(body, "error"), "error_subcode"))
    else:
        service_code = get(body, "serviceErrorCode")
        code = service_code if service_code is not None else get(body, "code")
        assert error.provider == "linkedin" and error.code is code
        kind = LINKEDIN_KINDS.get(status, "ApiError") if is_int(status) else "ApiError"
        assert type(error).__name__ == kind


async def test_a_query_member_that_cannot_be_compared_is_raised_before_sending():
    client, params = BaseClient(), {CollidingKey("limit"): 1}
    with pytest.raises(RuntimeError, match="not comparable"):
        await client.paginate("http://127.0.0.1:9/x", params=params)
    with pytest.raises(RuntimeError, match="not comparable"):
        client.iterate("http://127.0.0.1:9/x", params=params)


# ---- follower demographics ------------------------------------------------------------------

def listed(value):
    # What the entry points walk: a list or tuple (copied by iterating it), else nothing.
    return list(value) if isinstance(value, (list, tuple)) else []


def flatten_model(data):
    flat = {}
    for item in listed(get(data, "data")):
        for breakdown in listed(get(get(item, "total_value"), "breakdowns")):
            for result in listed(get(breakdown, "results")):
                key = " / ".join(str(v) for v in listed(get(result, "dimension_values")))
                flat[key] = get(result, "value")
    return flat


def nest(name, inner):
    return liars(st.fixed_dictionaries({name: inner}))


results = liars(st.fixed_dictionaries({}, optional={
    "dimension_values": liars(st.lists(scalars, max_size=3)), "value": scalars}))
demographics = values | nest("data", liars(st.lists(nest("total_value", nest("breakdowns", liars(
    st.lists(nest("results", liars(st.lists(results | values, max_size=3))) | values,
             max_size=2)))) | values, max_size=2)))


@FEW
@given(demographics)
@example({"data": [{"total_value": {"breakdowns": [{"results": [
    {"dimension_values": ["25-34", "F"], "value": 3},
    {"dimension_values": TruthyEmptyList(), "value": 1},
    {"dimension_values": ["25-34", "F"], "value": 4}]}]}}]})
def test_demographics_flatten_to_joined_dimensions(data):
    got, model = outcome(lambda: _flatten(data)), outcome(lambda: flatten_model(data))
    if not isinstance(data, dict):
        assert got == ("raised", TypeError)
    elif model[0] == "raised" or got[0] == "raised":
        agrees(got, model)
    else:  # the very value objects of the answer, under the same keys in the same order
        assert list(got[1]) == list(model[1])
        assert all(got[1][k] is model[1][k] for k in got[1])


# ---- records built from answers ------------------------------------------------------------

SECRET_FIELDS = {TokenBundle: ("access_token", "refresh_token"), Page: ("access_token",)}
record_items = liars(st.fixed_dictionaries({}, optional={
    name: st.one_of(scalars, values) for name in (
        "id", "name", "category", "token_type", "expires_in", "scope", "created_time",
        "form_id", "ad_id", "field_data", "instagram_business_account", "status")}))


@FEW
@given(st.sampled_from([TokenBundle, Page, LeadForm, Lead]), record_items | values,
       st.text(min_size=1, max_size=8))
@example(Page, {CollidingKey("id"): 1}, "x")
def test_records_keep_their_answer_and_never_show_secrets(kind, item, secret):
    token = f"EAAB{secret}Zq"
    if isinstance(item, dict):
        item.update({name: token for name in SECRET_FIELDS.get(kind, ())})
    try:
        record = kind.from_response(item)
    except ALLOWED:
        field_data = get(item, "field_data")
        assert not isinstance(item, dict) or kind is Lead and not (
            field_data is None or isinstance(field_data, list)) or CollidingKey in map(type, item)
        return
    assert dict.items(record.raw) == dict.items(item) and record.raw is not item
    assert token not in repr(record)
    if kind in (Page, LeadForm):
        assert record.id is get(item, "id")


# ---- inbox conversations --------------------------------------------------------------------

def shape_model(conversation, business_ids):
    contacts = [p for p in listed(get(get(conversation, "participants"), "data"))
                if get(p, "id") is None or str(get(p, "id")) not in business_ids]
    messages = listed(get(get(conversation, "messages"), "data"))
    shaped = {n: get(conversation, n) for n in ("id", "updated_time", "message_count",
                                                "unread_count")}
    return shaped | {"contact": contacts[0] if contacts else None, "contacts": contacts,
                     "last_message": messages[0] if messages else None}


participants = liars(st.lists(liars(st.fixed_dictionaries({}, optional={"id": scalars})) | values,
                              max_size=3))
conversations = values | liars(st.fixed_dictionaries({}, optional={
    "id": scalars, "updated_time": scalars, "unread_count": scalars,
    "participants": nest("data", participants), "messages": nest("data", participants)}))


@FEW
@given(conversations, st.one_of(st.frozensets(texts, max_size=2), st.lists(texts, max_size=2),
                                texts, st.none(), st.integers()))
def test_conversations_keep_their_own_objects_and_drop_the_business(conversation, business):
    got, model = outcome(lambda: Instagram._shape(conversation, business)), outcome(
        lambda: shape_model(conversation, business))
    if got[0] == "raised" or model[0] == "raised":
        agrees(got, model)
        return
    assert list(got[1]) == list(model[1])
    for name, value in got[1].items():
        want = model[1][name]
        if name == "contacts":
            assert len(value) == len(want) and all(a is b for a, b in zip(value, want))
        else:
            assert value is want


# ---- response bodies ------------------------------------------------------------------------

def refusing_decode(data, errors="strict"):
    if errors == "strict":
        raise UnicodeError("refused")  # as idna and punycode did before 3.13
    return "?" * len(data), len(data)


codecs.register(lambda name: codecs.CodecInfo(codecs.utf_8_encode, refusing_decode,
                                              name="bare-unicode-error")
                if name == "bare_unicode_error" else None)
TEXT_CODECS = ["utf-8", "UTF8", "latin-1", "cp1251", "utf-16", "utf-8-sig", "ascii"]
ODD_CHARSETS = [None, "", "no-such-codec", "rot13", "base64", "idna", "punycode", "utf-7",
                "bare-unicode-error",
                "\ud800", "utf-8\x00latin-1", SubStr("latin-1"), 5, BadText()]
bodies = st.one_of(
    st.binary(max_size=40),
    values.map(lambda v: json.dumps(v, default=repr, ensure_ascii=False)).map(
        lambda t: t.encode("utf-8", "surrogatepass")),
    st.text(alphabet='{}[]",:0123456789.eE+-truefalsn \\u\t', max_size=30).map(str.encode))


@FEW
@given(bodies, st.sampled_from(TEXT_CODECS + ODD_CHARSETS))
@example(b"[1]", "bare-unicode-error")  # a codec failing with UnicodeError, not its subclass
@example(b"xn--abc-", "idna")
def test_any_body_in_any_charset_reads_as_json_none_or_raw_text(body, charset):
    got = read(body, charset)
    if type(got).__name__ == "_RawAnswer":
        assert list(got) == ["raw"] and type(got["raw"]) is str
    if charset in TEXT_CODECS:  # a codec Python has: exactly what decoding by hand gives
        try:
            text = body.decode(charset)
        except UnicodeDecodeError:
            assert got == {"raw": body.decode(charset, "replace")}
            return
        try:
            want = json.loads(text) if text.strip() else None
        except (ValueError, RecursionError):
            want = {"raw": text}
        assert json.dumps(got) == json.dumps(want)
