"""Webhook deliveries: handshake, signature look-up, lazy parsing and de-duplication keys."""

import copy
import hashlib
import hmac
import json
import pathlib
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import crypto, webhooks
from corvane.webhooks import WebhookEvent, dedupe_key, parse_events
from conftest import SAMPLES_DIR
from isolated import run_isolated
from key_rules import digest, expected_key

SAMPLES = SAMPLES_DIR / "payloads"


def deliveries():
    for path in sorted(SAMPLES.glob("*.json")):
        data = json.loads(path.read_text(encoding="utf-8"))
        for i, payload in enumerate(data if isinstance(data, list) else [data]):
            yield pytest.param(payload, id=f"{path.stem}[{i}]")


def expected_events(payload):
    """(field, value) of every event a payload should give, in delivery order."""
    out = []
    for entry in payload.get("entry") or []:
        out += [(str(c.get("field") or "unknown"), c.get("value") or {})
                for c in entry.get("changes") or []]
        out += [("messages", item) for item in entry.get("messaging") or []]
        out += [("messages_standby", item) for item in entry.get("standby") or []]
    return out


@pytest.mark.parametrize("payload", list(deliveries()))
def test_real_deliveries_split_and_key(payload):
    events = list(parse_events(payload))
    assert [(e.field, e.value) for e in events] == expected_events(payload)
    for event in events:
        assert event.object_type == str(payload.get("object") or "unknown")
        assert event.key == dedupe_key(event) == expected_key(event)


def test_lead_notification_from_delivery_to_lead_id():
    payload = json.loads(next(SAMPLES.glob("*leadgen-two-changes.json")).read_text())
    first, second = parse_events(payload)
    assert (first.object_type, first.field, first.object_id, first.time) == (
        "page", "leadgen", "153125381133", 1438292065)
    assert first.key == "page:leadgen:123123123123"
    assert (first.leadgen_id, first.page_id, first.form_id) == (
        "123123123123", "123123123", "12312312312")
    assert second.key == "page:leadgen:123123123124"


# -- parsing ---------------------------------------------------------------------------------

def test_an_entry_yields_changes_then_messaging_then_standby():
    payload = {"object": "page", "entry": [{
        "id": 123, "time": 1700000000,
        "standby": [{"message": {"mid": "s1"}}],
        "messaging": [{"message": {"mid": "m1"}}],
        "changes": [{"field": "feed", "value": {"post_id": "p1"}}, {"value": None}],
    }, {"id": "", "changes": [{"field": "leadgen", "value": {"leadgen_id": 0}}]}]}
    events = list(parse_events(payload))
    assert [e.field for e in events] == ["feed", "unknown", "messages", "messages_standby",
                                         "leadgen"]
    assert [e.object_id for e in events] == ["123"] * 4 + [None]
    assert [e.time for e in events] == [1700000000] * 4 + [None]
    assert events[1].value == {}
    assert events[2].value is payload["entry"][0]["messaging"][0]


@pytest.mark.parametrize("payload", [{}, {"entry": None}, {"entry": []}, {"object": "page"},
                                     {"entry": [{"id": "1"}, {"other": [1]}]}, {"entry": 0},
                                     {"entry": {}}, {"entry": [{"messaging": ""}]}])
def test_payloads_without_events(payload):
    assert list(parse_events(payload)) == []


def test_missing_object_is_unknown_and_page_id_needs_an_id():
    (event,) = parse_events({"object": "", "entry": [{"changes": [{"field": "x"}]}]})
    assert (event.object_type, event.object_id, event.page_id) == ("unknown", None, None)
    event.value = {"page_id": 77}
    assert event.page_id == "77"


@pytest.mark.parametrize("payload, bad", [
    ({"entry": [{"changes": [{"field": "a"}]}, "not an entry"]}, "entry"),
    ({"entry": [{"changes": [{"field": "a"}, ["not", "a", "change"]]}]}, "change"),
])
def test_a_bad_part_fails_only_when_reached(payload, bad):
    events = parse_events(payload)
    assert next(events).field == "a"  # delivered before the bad part is read
    with pytest.raises(TypeError, match=bad):
        next(events)
    assert list(events) == []  # finished, like a generator after an error


A = {"field": "a"}


@pytest.mark.parametrize("payload, delivered, message", [
    ({"entry": 5}, 0, '"entry" must be a list, not int'),
    ({"entry": {"id": "1", "changes": [A]}}, 0, '"entry" must be a list, not dict'),
    ({"entry": [{"changes": {"0": A}}]}, 0, '"changes" must be a list, not dict'),
    ({"entry": [{"changes": [A], "messaging": "hello"}]}, 1, '"messaging" must be a list, not str'),
    ({"entry": [{"changes": [A], "standby": True}]}, 1, '"standby" must be a list, not bool'),
    ({"entry": [{"messaging": [A, "hello"]}]}, 1, 'a "messaging" item must be a dict, not str'),
    ({"entry": [{"standby": [A, [A]]}]}, 1, 'a "standby" item must be a dict, not list'),
    ({"entry": [{"changes": [A]}, {"id": "2", "changes": 7}]}, 1, '"changes" must be a list'),
])
def test_members_of_the_wrong_type_fail_when_reached(payload, delivered, message):
    events = parse_events(payload)
    for _ in range(delivered):
        next(events)
    with pytest.raises(TypeError, match=message):
        next(events)
    assert list(events) == []


@pytest.mark.parametrize("payload", [None, [], "page", 5])
def test_a_payload_that_is_not_a_dict_fails_on_first_event(payload):
    events = parse_events(payload)  # nothing is read yet
    with pytest.raises(TypeError, match="payload"):
        next(events)


def test_events_are_built_as_iteration_asks():
    payload = {"object": "page", "entry": [{"id": "1", "changes": [{"field": "a"}]}]}
    events = parse_events(payload)
    payload["object"] = "instagram"
    payload["entry"][0]["changes"].append({"field": "b"})
    assert [(e.object_type, e.field) for e in events] == [("instagram", "a"),
                                                          ("instagram", "b")]


# Prices, ratings and coordinates: decimals with a few places, written as repr writes them.
decimals = st.builds(lambda n, places: n / 10**places,
                     st.integers(-(10**17), 10**17), st.integers(0, 20))
json_scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=2**63)
                | st.floats(allow_nan=False) | decimals | st.text())
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner,
                                                               max_size=4),
    max_leaves=20)
items = st.dictionaries(st.sampled_from(["field", "value", "x"]), json_values, max_size=3)
entries = st.fixed_dictionaries({}, optional={
    "id": json_scalars, "time": json_scalars, "changes": st.lists(items, max_size=3),
    "messaging": st.lists(items, max_size=3), "standby": st.lists(items, max_size=3)})


@settings(max_examples=200)
@given(st.fixed_dictionaries({"entry": st.lists(entries, max_size=4)},
                             optional={"object": json_scalars}))
def test_one_event_per_change_messaging_and_standby_item_in_order(payload):
    assert [(e.field, e.value) for e in parse_events(payload)] == expected_events(payload)


def rows_by_json_loads(body: bytes) -> list[tuple]:
    """What a receiver records for a body by the careful way: json.loads, then each event."""
    return [(e.key, e.object_type, e.field, e.page_id, e.leadgen_id,
             json.dumps(e.value, ensure_ascii=False, separators=(",", ":")))
            for e in parse_events(json.loads(body.decode("utf-8", "surrogatepass")))]


@settings(max_examples=300)
@given(st.fixed_dictionaries({"entry": st.lists(entries, max_size=4)},
                             optional={"object": json_scalars}) | json_values, st.booleans())
def test_rows_from_the_raw_body_are_those_of_json_loads(payload, ascii_only):
    # The C++ way may decline a body (None) but never answers differently.
    body = json.dumps(payload, ensure_ascii=ascii_only).encode("utf-8", "surrogatepass")
    try:
        expected = rows_by_json_loads(body)
    except TypeError:  # refused either way, or left to the careful way
        try:
            assert webhooks._delivery_rows(body) is None
        except TypeError:
            pass
        return
    rows = webhooks._delivery_rows(body)
    assert rows is None or rows == expected


def test_real_deliveries_take_the_raw_body_way():
    for path in sorted((SAMPLES_DIR / "payloads").glob("*.json")):
        body = path.read_bytes()
        if not body.startswith(b"{"):  # a list of deliveries, as one source keeps them
            continue
        assert webhooks._delivery_rows(body) == rows_by_json_loads(body), path.name


# -- keys ------------------------------------------------------------------------------------

@pytest.mark.parametrize("pieces, value, key", [
    *[(("page", "leadgen", "1", 2), value, f"page:leadgen:{suffix}") for value, suffix in [
        ({"leadgen_id": 444, "mid": "m", "post_id": "p"}, "444"),
        ({"leadgen_id": 0, "mid": "", "comment_id": "c_1", "post_id": "p_1"}, "c_1"),
        ({"leadgen_id": None, "media_id": 17887498072083520}, "17887498072083520"),
        ({"post_id": "1_2", "message": {"mid": "m"}}, "1_2"),
        ({"message": {"mid": "mid.1457764197618:41d1"}}, "mid.1457764197618:41d1"),
        ({"leadgen_id": True}, "True"),
        ({"leadgen_id": 1.5}, "1.5"),
    ]],
    # Without a truthy identifier: the origin and a digest of the value.
    *[(("instagram", "comments", None, None), value, f"instagram:comments:None:None:{digest(value)}")
      for value in [{}, {"message": {"mid": ""}}, {"message": "mid"}, {"mid": 0, "text": "salom"},
                    ["a", {"b": 1}], "text", None]],
    # Every key has all its colons.
    (("", "", None, None), {"leadgen_id": "5"}, "::5"),
    (("page", "", None, None), {"leadgen_id": "5"}, "page::5"),
    (("", "leadgen", None, None), {"mid": "m"}, ":leadgen:m"),
    (("", "", None, None), {}, "::None:None:" + digest({})),
    (("", "", "", ""), {}, ":::" + ":" + digest({})),
])
def test_key_takes_the_first_truthy_identifier_else_the_origin_and_a_digest(pieces, value, key):
    event = WebhookEvent(*pieces, value)
    assert dedupe_key(event) == event.key == key


@settings(max_examples=500)
@given(json_values | st.lists(decimals | st.floats(allow_nan=False), max_size=8))
def test_digest_is_the_sorted_json_form_with_floats_as_repr_writes_them(value):
    event = WebhookEvent("page", "x", "9", 1.5, {"data": value})
    assert event.key == f"page:x:9:1.5:{digest({'data': value})}"


@pytest.mark.parametrize("value", [
    1e16, 1e-05, 0.0001, 1e15, -0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2,
    2**64, -(2**100), float("inf"), float("-inf"), float("nan"),
    "\x00\x08\x0c\n\r\t\x1f\x7f\"\\/", "Ғулом Тошкент — ʼ‘ 😀", "\ud800 lone surrogate",
    {"b": 1, "a": {"d": [1, {"z": None, "y": False}], "c": True}, "é": 1, "Z": 2},
])
def test_digest_of_awkward_values(value):
    assert WebhookEvent("p", "f", "1", 2, {"v": value}).key.endswith(digest({"v": value}))


def test_digest_ignores_member_order_but_not_content():
    a = {"x": {"b": [1, 2], "a": "салом"}, "y": 1}
    b = {"y": 1, "x": {"a": "салом", "b": [1, 2]}}
    c = {"y": 1, "x": {"a": "салoм", "b": [1, 2]}}  # one Latin letter
    key = lambda v: WebhookEvent("page", "feed", "1", 2, v).key
    assert key(a) == key(b) != key(c)


def test_digest_of_values_json_writes_its_own_way():
    value = {"n": {2: "int keys", 1: ("tu", "ple")}, "t": ("a", 1.5)}
    assert WebhookEvent("p", "f", None, None, value).key.endswith(digest(value))
    with pytest.raises(TypeError, match="not JSON serializable"):
        WebhookEvent("p", "f", None, None, {"v": object()}).key


def test_deep_nesting_fails_cleanly_but_not_before_json_would():
    value = []
    for _ in range(100_000):
        value = [value]
    with pytest.raises(RecursionError):
        dedupe_key(WebhookEvent("p", "f", None, None, value))
    nested = {"a": []}
    for _ in range(400):
        nested = {"a": [nested]}
    assert dedupe_key(WebhookEvent("p", "f", None, None, nested)).endswith(digest(nested))


def test_a_deep_value_fails_cleanly_whatever_the_recursion_limit():
    out = run_isolated("""
import sys
from corvane.webhooks import WebhookEvent
sys.setrecursionlimit(10**6)
value = {}
for _ in range(50_000):
    value = {"a": value}
try:
    WebhookEvent("p", "f", None, None, value).key
except RecursionError:
    print("RecursionError")
""")
    assert out.strip() == "RecursionError"


def test_parse_events_refuses_to_be_reentered():
    out = run_isolated("""
from corvane.webhooks import parse_events
class Sneaky:
    def __bool__(self):
        try:
            next(events)
        except ValueError as error:
            print(error)
        return True
    def __str__(self):
        return "page"
events = parse_events({"object": Sneaky(), "entry": [{"changes": [{"field": "a"}]}]})
print([(e.object_type, e.field) for e in events])
""")
    assert out.splitlines() == ["parse_events iterator already executing", "[('page', 'a')]"]


def test_key_holds_the_value_while_an_id_runs_code():
    out = run_isolated("""
from corvane.webhooks import WebhookEvent
class Id:
    def __bool__(self):
        event.value = {}
        return False
event = WebhookEvent("page", "feed", "1", 2, {"leadgen_id": Id(), "mid": "m" + str(1)})
print(event.key)
""")
    assert out.strip() == "page:feed:m1"


@pytest.mark.parametrize("record, field", [
    ("WebhookEvent('p', 'f', None, None, {})", "value"),
    ("__import__('corvane.leads').leads.NormalizedLead()", "custom"),
])
def test_record_comparison_holds_both_values(record, field):
    # The left value is a dict whose comparison reads it again after an item's __eq__, which
    # assigns the field anew (a subclass: plain dicts are recycled, not freed).
    run_isolated(f"""
from corvane.webhooks import WebhookEvent
class D(dict):
    pass
class Item:
    def __eq__(self, other):
        setattr(a, {field!r}, {{}})
        return True
a, b = {record}, {record}
setattr(a, {field!r}, D(k=Item(), l=1))
setattr(b, {field!r}, D(k=0, l=1))
print(a == b)
""")


def test_dedupe_key_wants_an_event():
    with pytest.raises(TypeError, match="event"):
        dedupe_key({"object_type": "page"})


# -- the record ------------------------------------------------------------------------------

def test_event_record_behaves_like_a_plain_record():
    a = WebhookEvent("page", "feed", "1", 2)
    b = WebhookEvent(object_type="page", field="feed", object_id="1", time=2, value={})
    assert a == b and not a != b and a.value is not b.value
    assert a != WebhookEvent("page", "feed", "1", 3)
    assert repr(a) == "WebhookEvent(object_type='page', field='feed', object_id='1', time=2, value={})"
    assert copy.deepcopy(a) == a == pickle.loads(pickle.dumps(a))
    a.value["leadgen_id"] = 5  # mutable, properties computed at each read
    assert (a.leadgen_id, a.key) == ("5", "page:feed:5")
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(AttributeError):
        a.key = "x"


@pytest.mark.parametrize("args, kwargs, message", [
    (("page", "feed", "1"), {}, "missing required argument: 'time'"),
    (("page", "feed", "1", 2), {"field": "x"}, "multiple values for argument 'field'"),
    (("page", "feed", "1", 2), {"extra": 1}, "unexpected keyword argument 'extra'"),
    ((1, "feed", None, None), {}, "WebhookEvent: object_type must be a str, not int"),
    (("page", "feed", 7, None), {}, "WebhookEvent: object_id must be a str or None, not int"),
])
def test_event_construction_errors_name_the_argument(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        WebhookEvent(*args, **kwargs)


# -- handshake and signature -----------------------------------------------------------------

@pytest.mark.parametrize("query, token, expected", [
    ({"hub.mode": "subscribe", "hub.verify_token": "tok", "hub.challenge": "1158201444"},
     "tok", "1158201444"),
    ({"hub.mode": "subscribe", "hub.verify_token": "tok"}, "tok", None),
    ({"hub.mode": "unsubscribe", "hub.verify_token": "tok", "hub.challenge": "c"}, "tok", None),
    ({"hub.mode": "subscribe", "hub.verify_token": "tov", "hub.challenge": "c"}, "tok", None),
    ({"hub.mode": "subscribe", "hub.challenge": "c"}, "tok", None),
    ({"hub.mode": "subscribe", "hub.verify_token": "", "hub.challenge": "c"}, "", None),
    ({"hub.mode": "subscribe", "hub.verify_token": ["tok"], "hub.challenge": "c"}, "tok", None),
    ({"hub.mode": "subscribe", "hub.verify_token": "tökén", "hub.challenge": "c"}, "tökén", "c"),
])
def test_verify_challenge(query, token, expected):
    assert webhooks.verify_challenge(query, token) == expected


def test_verify_challenge_reads_framework_mappings():
    multidict = pytest.importorskip("multidict")
    query = multidict.MultiDict([("hub.mode", "subscribe"), ("hub.verify_token", "t"),
                                 ("hub.challenge", "42")])
    assert webhooks.verify_challenge(multidict.MultiDictProxy(query), "t") == "42"
    with pytest.raises(TypeError, match="query"):
        webhooks.verify_challenge(None, "t")


BODY = b'{"object":"page","entry":[{"id":"1","time":2,"changes":[]}]}'
SIGNATURE = "sha256=" + hmac.new(b"secret", BODY, hashlib.sha256).hexdigest()


@pytest.mark.parametrize("headers, expected", [
    ({"X-Hub-Signature-256": SIGNATURE}, True),
    ({"x-hub-signature-256": SIGNATURE}, True),
    ({"X-Hub-Signature-256": "", "x-hub-signature-256": SIGNATURE}, True),
    ({"X-HUB-SIGNATURE-256": SIGNATURE}, False),  # a plain dict knows two spellings only
    ({"X-Hub-Signature-256": "sha256=" + "0" * 64}, False),
    ({}, False),
])
def test_verify_request_with_a_plain_dict(headers, expected):
    assert webhooks.verify_request("secret", BODY, headers) is expected


def test_verify_request_passes_the_untouched_body_and_header(monkeypatch):
    calls = []
    monkeypatch.setattr(crypto, "verify_signature", lambda *args: calls.append(args) or "v")
    body = bytearray(BODY)
    assert webhooks.verify_request("s", body, {"X-HUB-SIGNATURE-256": "x"}) == "v"
    assert calls == [("s", body, None)] and calls[0][1] is body


def test_verify_request_with_case_insensitive_headers():
    multidict = pytest.importorskip("multidict")
    headers = multidict.CIMultiDict({"X-HUB-SIGNATURE-256": SIGNATURE})
    assert webhooks.verify_request("secret", BODY, headers) is True
    assert webhooks.verify_request("other", BODY, headers) is False


@pytest.mark.parametrize("secret, body, headers, name", [
    ("secret", BODY.decode(), {}, "body"),
    (b"secret", BODY, {}, "app_secret"),
    ("secret", BODY, None, "headers"),
])
def test_verify_request_type_errors_name_the_argument(secret, body, headers, name):
    with pytest.raises(TypeError, match=name):
        webhooks.verify_request(secret, body, headers)


def test_importing_webhooks_leaves_aiohttp_alone():
    code = "import sys, corvane.webhooks; print('aiohttp' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True)
    assert result.stdout.strip() == "False"
