"""Response bodies: the fast JSON decoder must give exactly what bytes -> str -> json.loads
gives (types, member order, float signs), and hand everything else to that path."""
from __future__ import annotations

import json
import math
from typing import Any

import pytest
from hypothesis import given, strategies as st

from answers import read
from conftest import SAMPLES_DIR
from corvane.http import BaseClient


def by_text(body: bytes, charset: str | None = None) -> Any:
    """What a host writes by hand: decode, then json.loads ({"raw": text} when not JSON)."""
    try:
        text = body.decode(charset or "utf-8")
    except UnicodeDecodeError:
        return {"raw": body.decode(charset or "utf-8", "replace")}
    if not text.strip():
        return None
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        return {"raw": text}


def same(a: Any, b: Any) -> bool:
    """Equal in value, type, member order and the sign of every float (0.0 == -0.0 is not
    enough), NaN matching NaN. Walked without recursion: some bodies nest deeply."""
    pending = [(a, b)]
    while pending:
        x, y = pending.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, dict):
            if list(x) != list(y):
                return False
            pending.extend((x[k], y[k]) for k in x)
        elif isinstance(x, list):
            if len(x) != len(y):
                return False
            pending.extend(zip(x, y))
        elif isinstance(x, float):
            if not ((math.isnan(x) and math.isnan(y)) or
                    (x == y and math.copysign(1, x) == math.copysign(1, y))):
                return False
        elif x != y:
            return False
    return True


def check(body: bytes, charset: str | None = None) -> None:
    got, want = read(body, charset), by_text(body, charset)
    assert same(dict(got) if type(got).__name__ == "_RawAnswer" else got, want), (body, got)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=4), inner,
                                                                 max_size=5),
    max_leaves=30,
)


@given(json_values, st.booleans(), st.sampled_from([None, 2]))
def test_any_json_value_decodes_as_json_loads_does(value, ascii_only, indent):
    check(json.dumps(value, ensure_ascii=ascii_only, indent=indent).encode())


@given(st.binary(max_size=40) | st.text(alphabet='{}[]",:0123456789.eE+-truefalsn \\u\t',
                                         max_size=30).map(str.encode))
def test_arbitrary_bytes_decode_as_json_loads_does(body):
    check(body)


@pytest.mark.parametrize("body", [
    # numbers at and past the edges of 64-bit integers and of doubles
    b"9223372036854775807", b"9223372036854775808", b"18446744073709551615",
    b"18446744073709551616", b"-9223372036854775808", b"-9223372036854775809",
    b"123456789012345678901234567890", b"-0", b"-0.0", b"0e0", b"1E2", b"1e400", b"-1e400",
    b"1e-400", b"2.2250738585072011e-308", b"0.1", b"17976931348623157e292",
    b"[NaN, Infinity, -Infinity]",
    # strings: escapes, surrogate pairs and lone halves, NUL, raw control characters
    rb'"\ud83d\ude00"', rb'"\ud800"', rb'"\udc00x"', rb'"\u0000"', b'"a\tb"', b'"a\x01"',
    '"\u00e9\u4e2d\U0001f600"'.encode(), rb'"\/\b\f\n\r\t\"\\"',
    # member order and repeated keys
    b'{"b": 1, "a": 2, "b": 3}', b'{"a": {"x": 1}, "a": [1]}',
    # not JSON, or not only JSON
    b"", b" \t\r\n", b"\xef\xbb\xbf{}", b"{} x", b"[1,]", b"01", b"'a'", b"\xa0{}",
    b"\xff\xfe", b'"\xed\xa0\x80"', b"<html>nope</html>",
    # nesting around and beyond the fast decoder's depth
    b"[" * 255 + b"]" * 255, b"[" * 300 + b"]" * 300, b"[" * 5000 + b"]" * 5000,
])
def test_edges_decode_as_json_loads_does(body):
    check(body)


@pytest.mark.parametrize("charset", [None, "", "utf-8", "UTF-8", "utf8", "latin-1",
                                     "utf-16", "no-such-codec"])
@pytest.mark.parametrize("body", ['{"name": "\u00dcnal"}', '["\u4e2d"]', "[1, 2]"])
def test_declared_charsets_decide_the_text(charset, body):
    # UTF-8 bytes declared as latin-1 read as latin-1, as they always did.
    raw = body.encode("utf-16" if charset == "utf-16" else "utf-8")
    assert same(read(raw, charset), by_text(raw, None if charset == "no-such-codec" else charset))


@pytest.mark.parametrize("path", sorted(SAMPLES_DIR.glob("*/*.json")), ids=lambda p: p.name)
def test_real_payloads_decode_as_json_loads_does(path):
    raw = path.read_bytes()
    check(raw)
    check(raw.replace(b"\n", b"").replace(b"  ", b""))


def test_keys_and_values_are_new_objects_per_body():
    # Shared key objects must never leak from one body into the values of another.
    first, second = read(b'[{"id": "1"}, {"id": "2"}]'), read(b'[{"id": "3"}]')
    first[0]["id"] = "changed"
    assert second == [{"id": "3"}] and first[1] == {"id": "2"}


@pytest.mark.parametrize("content_type", [
    None, "application/json", "application/json; charset=UTF-8", 'text/plain;charset="utf-8"',
    "application/json; charset=latin-1", "application/json; charset=cp1251",
    "application/json; charset=utf-8; charset=latin-1", "text/html; foo=bar",
])
async def test_content_type_of_a_real_answer_decides_the_charset(fake_server, session,
                                                                 content_type):
    raw = '{"name": "\u00dcnal", "city": "\u0422\u043e\u0448\u043a\u0435\u043d\u0442"}'.encode()
    for _ in range(2):
        fake_server.reply(body=raw, content_type=content_type)
    got = await BaseClient(session=session).get(fake_server.url("/x"))
    async with session.get(fake_server.url("/y")) as response:  # what aiohttp reports
        await response.read()
        charset = response.charset
    got = dict(got) if type(got).__name__ == "_RawAnswer" else got
    assert same(got, by_text(raw, charset))
