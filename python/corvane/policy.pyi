"""Renewable tables the library reads at each use: Graph field sets, insights metric lists
and Lead Ads tables."""

import os
from collections.abc import Mapping
from typing import Any, final

CANONICAL_KEYS: tuple[str, ...]
BASELINE: dict[str, Any]

@final
class Policy:
    """An immutable set of tables built from a JSON-shaped dict."""

    def __init__(self, data: dict[str, Any]) -> None: ...
    @property
    def data(self) -> dict[str, Any]:
        """A new JSON-shaped dict with the four tables."""
    def fields(self, name: str, /) -> str | None:
        """The field list of the set ``name``, or None."""
    def metrics(self, name: str, /) -> str | None:
        """The insights metric list ``name``, or None."""
    def lead_map(self) -> Mapping[str, str | None]:
        """The exact map (read-only)."""
    def lead_heuristics(self) -> tuple[tuple[tuple[str, ...], str | None], ...]:
        """The keyword heuristics in order."""

def current() -> Policy:
    """The policy in force."""

def install(policy: Policy | dict[str, Any]) -> Policy:
    """Makes ``policy`` current (a dict is laid over BASELINE member by member)."""

def reset() -> None:
    """Returns to the baseline policy."""

def load(path: str | os.PathLike[str]) -> Policy:
    """Installs the JSON object in the file ``path``."""
