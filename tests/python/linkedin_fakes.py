"""Loopback servers standing in for LinkedIn: the client's OAuth, API and REST addresses point
at one of them; a second one on another port is "another origin" for redirect tests."""
from __future__ import annotations

from pathlib import Path

import pytest

from corvane import endpoints, http
from corvane.linkedin import LinkedIn

DATA_DIR = Path(__file__).resolve().parents[1] / "data"
CLIENT_ID = "client-77"
CLIENT_SECRET = "client-secret-SENTINEL"


@pytest.fixture
def li_server(monkeypatch, fake_server):
    """LinkedIn's three addresses on one loopback server: /oauth/v2, /v2 and /rest."""
    monkeypatch.setattr(endpoints, "LINKEDIN_OAUTH", fake_server.url("/oauth/v2"))
    monkeypatch.setattr(endpoints, "LINKEDIN_API", fake_server.url("/v2"))
    monkeypatch.setattr(endpoints, "LINKEDIN_REST", fake_server.url("/rest"))
    return fake_server


@pytest.fixture
async def other_server(start_fake_server):
    """Another origin: the same host on another port."""
    return await start_fake_server()


@pytest.fixture
def li(li_server, session):
    return LinkedIn(client_id=CLIENT_ID, client_secret=CLIENT_SECRET, session=session,
                    retry=http.RetryPolicy(attempts=3, jitter=False))


def lower_headers(recorded) -> dict[str, str]:
    return {name.lower(): value for name, value in recorded.headers.items()}
