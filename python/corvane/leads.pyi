"""Lead Ads answers mapped to canonical CRM fields.

normalize(lead["field_data"]) maps each question to one of fourteen canonical fields of
NormalizedLead (full_name, email, phone, ...) in two stages: the exact map of known question
names, then keyword heuristics on the name. Both tables are read from corvane.policy at each
question name, so renewed tables apply at once. Answers that map to no field are kept in
``custom`` under their raw question names: no answer is ever lost.
"""

import re
from collections.abc import Sequence

from typing import Any, final

from corvane.models import _ValueRecord
from corvane.results import FieldDataItem

_PHONE_CLEAN_RE: re.Pattern[str]

@final
class NormalizedLead(_ValueRecord):
    """A lead's answers under canonical CRM keys (see normalize).

    A plain mutable record with exactly these fifteen fields, compared by value. custom defaults
    to a new empty dict per record; as_dict() gives the CRM payload.
    """

    full_name: str | None
    first_name: str | None
    last_name: str | None
    email: str | None
    phone: str | None
    company: str | None
    job_title: str | None
    city: str | None
    state: str | None
    country: str | None
    zip: str | None
    address: str | None
    birth_date: str | None
    gender: str | None
    custom: dict[str, Any]
    def __new__(
        cls,
        full_name: str | None = None,
        first_name: str | None = None,
        last_name: str | None = None,
        email: str | None = None,
        phone: str | None = None,
        company: str | None = None,
        job_title: str | None = None,
        city: str | None = None,
        state: str | None = None,
        country: str | None = None,
        zip: str | None = None,
        address: str | None = None,
        birth_date: str | None = None,
        gender: str | None = None,
        custom: dict[str, Any] = ...,
    ) -> NormalizedLead: ...
    def as_dict(self) -> dict[str, Any]:
        """A new dict for a CRM payload: the canonical fields that are neither None nor empty, in
        declaration order, then "custom" (a copy) when it is not empty.
        """

def normalize(field_data: Sequence[FieldDataItem | dict[str, Any]] | None) -> NormalizedLead:
    """Maps a lead's field_data (a list of {"name", "values"} dicts, or None) to a new
    NormalizedLead.

    Each question's name (else its "key") is trimmed and lower-cased and looked up in the current
    policy's exact map, then its keyword heuristics. Null answers are dropped and a question left
    with no answers is skipped. The first answer, trimmed, fills the field (phones cleaned to
    digits and a leading "+", e-mails lower-cased) unless an earlier question filled it, in which
    case it goes to custom under the raw name; multiple answers also go to custom under
    "<name>__all". Questions without a field go to custom (the text, or the list of several
    answers). full_name is joined from first_name and last_name when absent. TypeError for
    field_data or an entry of the wrong type; no partial record is returned.
    """

def _tables() -> tuple[Any, Any]: ...
def _canonical_key(raw_name: str | None) -> str | None: ...
def _clean_phone(value: str | None) -> str: ...
