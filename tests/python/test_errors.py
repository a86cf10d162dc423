"""Error kinds: the hierarchy, fields, text forms and pickling a host relies on."""
import copy
import pickle

import pytest

from corvane import errors

API_KINDS = [errors.AuthError, errors.PermissionError, errors.NotFoundError,
             errors.RateLimitError, errors.NotRunError]
ALL_KINDS = [errors.CorvaneError, errors.ApiError, *API_KINDS, errors.TransportError,
             errors.ConfigurationError]
FIELDS = {"provider": "facebook", "status": 400, "code": 190, "subcode": 463,
          "payload": {"error": {"message": "Session has expired", "code": 190}},
          "url": "https://graph.facebook.com/v23.0/me?access_token=***", "retry_after": 1.5}


@pytest.mark.parametrize("kind", API_KINDS)
def test_api_kinds_are_caught_as_api_error(kind):
    with pytest.raises(errors.ApiError):
        raise kind("refused", status=403)
    assert issubclass(kind, errors.CorvaneError)


@pytest.mark.parametrize("kind", [errors.TransportError, errors.ConfigurationError])
def test_transport_and_configuration_are_not_api_errors(kind):
    # Operations that tolerate a failed sub-request catch ApiError; these must pass through.
    assert not issubclass(kind, errors.ApiError)
    with pytest.raises(errors.CorvaneError):
        try:
            raise kind("unreachable")
        except errors.ApiError:  # pragma: no cover - the fault this test is about
            pytest.fail("caught as ApiError")


def test_everything_is_an_exception_and_distinct_from_builtins():
    assert all(issubclass(kind, Exception) for kind in ALL_KINDS)
    assert errors.PermissionError is not PermissionError
    assert not issubclass(errors.PermissionError, OSError)
    assert errors.AuthError.__module__ == "corvane.errors"


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_construction_by_message_and_named_fields(kind):
    err = kind("Session has expired", **FIELDS)
    assert err.message == "Session has expired"
    assert {name: getattr(err, name) for name in FIELDS} == FIELDS
    assert err.payload is FIELDS["payload"]  # the body as received, not a copy
    bare = kind("no details")
    assert all(getattr(bare, name) is None for name in FIELDS)


@pytest.mark.parametrize("call", [
    lambda: errors.ApiError(),
    lambda: errors.ApiError(status=400),
    lambda: errors.ApiError("m", "facebook"),  # fields are keyword-only
    lambda: errors.ApiError("m", reason="x"),
    # A method taken from the class and handed a foreign self: a TypeError, not a crash.
    lambda: errors.CorvaneError.__init__(5, "x"),
    lambda: errors.CorvaneError.__repr__(5),
])
def test_bad_construction_is_a_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("message, text", [("Invalid token", "Invalid token"),
                                           ("Xato yuz berdi: ‘token’", "Xato yuz berdi: ‘token’"),
                                           (404, "404"), ("", "")])
def test_str_is_the_message(message, text):
    err = errors.NotFoundError(message, status=404, code=803)
    assert str(err) == text
    assert err.args == (message,)


def test_repr_names_kind_message_status_and_code():
    err = errors.AuthError("Invalid token", provider="facebook", status=401, code=190,
                           payload={"secret": "x"}, url="https://h/?access_token=***")
    assert repr(err) == "AuthError('Invalid token', provider='facebook', status=401, code=190)"
    assert repr(errors.TransportError("timed out")) == "TransportError('timed out')"


def test_url_and_retry_after_assignable_after_construction():
    err = errors.RateLimitError("slow down", provider="instagram", status=429)
    err.url = "https://graph.instagram.com/me?access_token=***"
    err.retry_after = 30.0
    assert (err.url, err.retry_after, err.status, err.provider) == (
        "https://graph.instagram.com/me?access_token=***", 30.0, 429, "instagram")


@pytest.mark.parametrize("kind", ALL_KINDS)
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_pickling_keeps_kind_and_fields(kind, protocol):
    err = kind("Session has expired", **FIELDS)
    err.retry_after = 7  # assigned later, as the request pipeline does
    clone = pickle.loads(pickle.dumps(err, protocol))
    assert type(clone) is kind
    assert str(clone) == "Session has expired" and clone.args == err.args
    assert {name: getattr(clone, name) for name in FIELDS} == dict(FIELDS, retry_after=7)
    assert repr(copy.copy(err)) == repr(err)


def test_host_subclass_keeps_fields():
    class PageGone(errors.NotFoundError):
        pass

    err = PageGone("gone", status=404)
    assert isinstance(err, errors.ApiError) and err.status == 404 and err.code is None
    assert repr(err).startswith("PageGone('gone'")
