"""Just enough of a response for the client's readers, and a body read through BaseClient._read
without an event loop."""
from __future__ import annotations

from typing import Any

import pytest

from corvane.http import BaseClient


class Answer:
    """The body, its declared charset and, for the header readers, the headers."""

    def __init__(self, body: bytes, charset: str | None = None, headers: Any = None) -> None:
        self.body, self.charset, self.headers = body, charset, headers

    async def read(self) -> bytes:
        return self.body


def read(body: bytes, charset: str | None = None) -> Any:
    coro = BaseClient._read(Answer(body, charset))
    with pytest.raises(StopIteration) as done:
        coro.send(None)  # nothing in _read suspends when read() does not
    return done.value.value
