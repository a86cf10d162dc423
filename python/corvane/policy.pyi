"""Renewable tables the library reads at each use.

``current()`` answers the policy in force: the named Graph field sets behind
``corvane.endpoints.Fields``, the insights metric lists the clients ask for and the Lead Ads
tables behind ``corvane.leads``. ``install`` swaps in a renewed policy (a ``Policy`` or a dict
laid over ``BASELINE`` member by member), ``load`` installs a JSON file and ``reset`` returns to
the baseline. A malformed table is refused with ValueError naming the member, and the policy in
force stays. Swaps are atomic for readers.
"""

import os
from collections.abc import Mapping
from typing import Any, final

CANONICAL_KEYS: tuple[str, ...]
BASELINE: dict[str, Any]

@final
class Policy:
    """An immutable set of tables built from a JSON-shaped dict with the members "fields" (set name
    -> comma-separated Graph field list), "metrics" (list name -> comma-separated insights metric
    list), "lead_map" (trimmed lower-case Lead Ads field name -> canonical key or None) and
    "lead_heuristics" (list of [keyword list, canonical key or None], first match wins). Missing
    members give empty tables; a non-dict is a TypeError, an unknown or malformed member a
    ValueError naming it.
    """

    def __new__(cls, data: dict[str, Any]) -> Policy: ...
    @property
    def data(self) -> dict[str, Any]:
        """A new JSON-shaped dict with the four tables (changing it changes nothing in the policy).
        """
    def fields(self, name: str, /) -> str | None:
        """The field list of the set ``name``, or None when this policy has no such set."""
    def metrics(self, name: str, /) -> str | None:
        """The comma-separated insights metric list ``name`` (e.g. "FB_POST_INSIGHTS"), or None when
        this policy has no such list.
        """
    def lead_map(self) -> Mapping[str, str | None]:
        """The exact map, read-only: normalised Lead Ads field name -> canonical key, or None for a
        name with no canonical key (which also stops the heuristics).
        """
    def lead_heuristics(self) -> tuple[tuple[tuple[str, ...], str | None], ...]:
        """The keyword heuristics in order, as a tuple of pairs ((keyword, ...), canonical key or
        None); the first pair with a keyword inside the name wins.
        """

def current() -> Policy:
    """The policy in force: the baseline until ``install`` or ``load`` renews it. Ask anew at each
    use; the answer may differ from one call to the next.
    """

def install(policy: Policy | dict[str, Any]) -> Policy:
    """Makes ``policy`` current and returns it. A dict is laid over ``BASELINE`` member by member (a
    given "fields" replaces the baseline's "fields", and so on) and checked; a malformed member
    is a ValueError naming it, and the policy in force stays.
    """

def reset() -> None:
    """Returns to the baseline policy."""

def load(path: str | os.PathLike[str]) -> Policy:
    """Installs the JSON object in the UTF-8 file ``path`` (as ``install`` of a dict) and returns
    the new policy. A file that is not a JSON object is a ValueError.
    """
