"""appsecret_proof and webhook signature checks against Python's own hmac."""

import hashlib
import hmac
import pathlib

import pytest

from corvane import crypto
from conftest import SAMPLES_DIR

SAMPLES = SAMPLES_DIR / "payloads"


def sign(secret: str, body: bytes) -> str:
    return "sha256=" + hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()


@pytest.mark.parametrize(
    "token, secret",
    [("EAAB...long-lived", "app-secret"), ("", "s"), ("tökén ✓", "sécret")],
)
def test_appsecret_proof_is_lowercase_hex_hmac_of_token(token, secret):
    expected = hmac.new(secret.encode(), token.encode(), hashlib.sha256).hexdigest()
    assert crypto.appsecret_proof(token, secret) == expected
    assert crypto.appsecret_proof(token=token, app_secret=secret) == expected


def sample_bodies():
    files = sorted(SAMPLES.glob("*.json"))[:5]
    return [f.read_bytes() for f in files] or [b'{"object":"page","entry":[]}']


@pytest.mark.parametrize("body", sample_bodies())
def test_signature_of_real_deliveries(body):
    header = sign("app-secret", body)
    assert crypto.verify_signature("app-secret", body, header) is True
    upper = "sha256=" + header[len("sha256="):].upper()
    assert crypto.verify_signature("app-secret", body, upper) is True
    assert crypto.verify_signature("app-secret", bytearray(body), header) is True
    assert crypto.verify_signature("app-secret", memoryview(body), header) is True
    # One changed byte, or the same body re-serialised, no longer matches.
    tampered = body[:-1] + bytes([body[-1] ^ 1])
    assert crypto.verify_signature("app-secret", tampered, header) is False
    assert crypto.verify_signature("other-secret", body, header) is False


@pytest.mark.parametrize(
    "header",
    [
        None,
        "",
        "sha256=",
        "sha1=" + "0" * 40,
        "SHA256=",
        "deadbeef",
        "sha256=" + "z" * 64,
        "sha256=" + "a" * 63,
        "sha256=" + "a" * 65,
        "sha256=\udcff",
    ],
)
def test_malformed_or_absent_header_is_false(header):
    assert crypto.verify_signature("app-secret", b"{}", header) is False


def test_prefix_is_exact_and_whitespace_is_not_trimmed():
    body = b'{"entry": []}'
    good = sign("s", body)
    assert crypto.verify_signature("s", body, "SHA256=" + good[7:]) is False
    assert crypto.verify_signature("s", body, " " + good) is False
    assert crypto.verify_signature("s", body, good + "\n") is False


def test_empty_secret_never_verifies():
    # Anybody can compute a signature with an empty key.
    assert crypto.verify_signature("", b"{}", sign("", b"{}")) is False


def test_large_body_is_checked_whole():
    body = b"x" * (1 << 20)
    header = sign("s", body)
    assert crypto.verify_signature("s", body, header) is True
    assert crypto.verify_signature("s", body + b"x", header) is False


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: crypto.appsecret_proof(b"token", "s"), "appsecret_proof: token must be a str, not bytes"),
        (lambda: crypto.appsecret_proof("token", b"s"), "appsecret_proof: app_secret must be a str, not bytes"),
        (lambda: crypto.appsecret_proof(None, "s"), "appsecret_proof: token must be a str, not NoneType"),
        (lambda: crypto.verify_signature("s", "{}", "sha256="), "verify_signature: body must be bytes, not str"),
        (lambda: crypto.verify_signature("s", None, "sha256="), "verify_signature: body must be bytes, not NoneType"),
        (lambda: crypto.verify_signature(b"s", b"{}", "sha256="), "verify_signature: app_secret must be a str, not bytes"),
        (lambda: crypto.verify_signature("s", b"{}", b"sha256=00"),
         "verify_signature: header must be a str or None, not bytes"),
    ],
)
def test_wrong_types_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
