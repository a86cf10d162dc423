"""The pipeline runs its own hooks without a Python call, but a hook replaced on the instance
or in a subclass must still be the one that runs."""
import pytest

from corvane.http import BaseClient


def replacements(calls, session):
    async def ensure():
        calls.append("_ensure_session")
        return session

    async def read(response):
        calls.append("_read")
        return {"read": "replaced"}

    def auth_params(params=None):
        calls.append("_auth_params")
        return {"token": "x", **(params or {})}

    def auth_headers(headers=None):
        calls.append("_auth_headers")
        return {"X-Hook": "1"}

    return {"_ensure_session": ensure, "_read": read, "_auth_params": auth_params,
            "_auth_headers": auth_headers}


@pytest.mark.parametrize("name", ["_ensure_session", "_read", "_auth_params", "_auth_headers"])
@pytest.mark.parametrize("where", ["instance", "subclass"])
async def test_replaced_hooks_run(fake_server, session, name, where):
    calls = []
    replacement = replacements(calls, session)[name]
    if where == "instance":
        client = BaseClient(session=session)
        setattr(client, name, replacement)
    else:
        body = staticmethod(replacement)
        client = type("Sub", (BaseClient,), {name: body})(session=session)
    answer = await client.get(fake_server.url("/x"))
    assert calls == [name]
    if name == "_read":
        assert answer == {"read": "replaced"}
    if name == "_auth_params":
        assert fake_server.last.params == {"token": "x"}
    if name == "_auth_headers":
        assert fake_server.last.headers["X-Hook"] == "1"


async def test_get_goes_through_a_request_replaced_on_the_instance(fake_server, session):
    client = BaseClient(session=session)
    seen = []

    async def request(method, url, **options):
        seen.append((method, url, options))
        return "mine"

    client.request = request
    assert await client.get("http://h/x", params={"a": 1}) == "mine"
    assert seen == [("GET", "http://h/x", {"params": {"a": 1}, "json": None, "data": None,
                                           "headers": None})]
    assert fake_server.requests == []
