"""The pure entry points given foreign objects that lie: containers whose truthiness, length and
iteration disagree, str and dict subclasses, values whose text form raises. None may crash or
read past what it holds; each either answers or refuses with TypeError or ValueError."""
from __future__ import annotations

import hashlib
import hmac

from hypothesis import given
from hypothesis import strategies as st

from corvane import leads, webhooks
from strategies import ALLOWED, BadText, SubStr, liars, values


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
