"""The pure entry points given foreign objects that lie: containers whose truthiness, length and
iteration disagree, str and dict subclasses, values whose text form raises. None may crash or
read past what it holds; each either answers or refuses with TypeError or ValueError."""
from __future__ import annotations

import hashlib
import hmac

from hypothesis import given
from hypothesis import strategies as st

from corvane import leads, webhooks


class TruthyEmptyList(list):
    def __bool__(self):
        return True


class LongList(list):
    def __len__(self):
        return super().__len__() + 5


class ShortList(list):
    def __len__(self):
        return 0


class HollowDict(dict):
    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class SubStr(str):
    pass


class BadText:
    def __str__(self):
        raise RuntimeError("no text form")

    def __repr__(self):  # hypothesis prints the examples it tries
        return "BadText()"


def liars(inner):
    return st.one_of(
        inner,
        inner.map(lambda xs: TruthyEmptyList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda xs: LongList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda xs: ShortList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda d: HollowDict(d) if isinstance(d, dict) else d),
    )


scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(),
                    st.text(max_size=8), st.text(max_size=8).map(SubStr), st.builds(BadText))
KEYS = st.one_of(st.sampled_from(["name", "values", "field", "value", "id", "entry",
                                  "changes", "messaging", "object", "leadgen_id", "time"]),
                st.text(max_size=4))


def containers(children):
    return liars(st.one_of(st.lists(children, max_size=4),
                           st.dictionaries(KEYS, children, max_size=5)))


values = st.recursive(scalars, containers, max_leaves=25)

ALLOWED = (TypeError, ValueError, RuntimeError)  # RuntimeError: BadText's own, passed through


@given(values)
def test_normalize_answers_or_refuses(field_data):
    try:
        leads.normalize(field_data).as_dict()
    except ALLOWED:
        pass


@given(values)
def test_parse_events_answers_or_refuses(payload):
    try:
        for event in webhooks.parse_events(payload):
            assert event.key == webhooks.dedupe_key(event)
            (event.leadgen_id, event.page_id, event.form_id)
    except ALLOWED:
        pass


@given(st.binary(max_size=64), liars(st.dictionaries(
    st.one_of(st.just("X-Hub-Signature-256"), st.text(max_size=4)),
    st.one_of(st.text(max_size=80), st.text(max_size=4).map(SubStr), st.builds(BadText)),
    max_size=3)))
def test_verify_request_never_accepts_a_wrong_signature(body, headers):
    try:
        accepted = webhooks.verify_request("secret", body, headers)
    except ALLOWED:
        return
    if accepted:
        signature = "sha256=" + hmac.new(b"secret", body, hashlib.sha256).hexdigest()
        assert signature in [str(v) for v in dict.values(headers) if isinstance(v, str)]
