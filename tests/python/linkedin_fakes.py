"""Loopback servers standing in for LinkedIn: the client's OAuth, API and REST addresses point
at one of them; a second one on another port is "another origin" for redirect tests. Each
remembers the raw request paths, percent-escapes included, as they arrived on the wire."""
from __future__ import annotations

from pathlib import Path

import pytest
from aiohttp import web
from conftest import FakeServer, serving

from corvane import endpoints, http
from corvane.linkedin import LinkedIn

DATA_DIR = Path(__file__).resolve().parents[1] / "data"
CLIENT_ID = "client-77"
CLIENT_SECRET = "client-secret-SENTINEL"


class WireServer(FakeServer):
    def __init__(self) -> None:
        super().__init__()
        self.raw_paths: list[str] = []

    async def handle(self, request: web.Request) -> web.StreamResponse:
        self.raw_paths.append(request.raw_path.partition("?")[0])
        return await super().handle(request)


@pytest.fixture
async def li_server(monkeypatch):
    """LinkedIn's three addresses on one loopback server: /oauth/v2, /v2 and /rest."""
    async with serving(WireServer()) as server:
        monkeypatch.setattr(endpoints, "LINKEDIN_OAUTH", server.url("/oauth/v2"))
        monkeypatch.setattr(endpoints, "LINKEDIN_API", server.url("/v2"))
        monkeypatch.setattr(endpoints, "LINKEDIN_REST", server.url("/rest"))
        yield server


@pytest.fixture
async def other_server():
    """Another origin: the same host on another port."""
    async with serving(WireServer()) as server:
        yield server


@pytest.fixture
def li(li_server, session):
    return LinkedIn(client_id=CLIENT_ID, client_secret=CLIENT_SECRET, session=session,
                    retry=http.RetryPolicy(attempts=3, jitter=False))


def lower_headers(recorded) -> dict[str, str]:
    return {name.lower(): value for name, value in recorded.headers.items()}
