"""Lead normalisation: two-stage look-up in the policy's tables, cleaning, custom remainder."""

import json
import pathlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvane import leads, policy
from corvane.leads import NormalizedLead, normalize
from conftest import SAMPLES_DIR
from isolated import run_isolated

SAMPLES = SAMPLES_DIR / "leads"
FIELDS = ["full_name", "first_name", "last_name", "email", "phone", "company", "job_title",
          "city", "state", "country", "zip", "address", "birth_date", "gender", "custom"]


@pytest.fixture
def tables():
    """Installs small tables for one test and restores the baseline after it."""
    def install(lead_map, heuristics):
        policy.install({"lead_map": lead_map, "lead_heuristics": heuristics})
    yield install
    policy.reset()


def answers(*pairs):
    return [{"name": name, "values": values} for name, values in pairs]


def sample_leads():
    for path in sorted(SAMPLES.glob("*.json")):
        data = json.loads(path.read_text(encoding="utf-8"))
        stack, found = [data], []
        while stack:
            node = stack.pop()
            if isinstance(node, dict):
                if "field_data" in node:
                    found.append(node["field_data"])
                stack.extend(node.values())
            elif isinstance(node, list):
                stack.extend(node)
        for i, field_data in enumerate(found):
            yield pytest.param(field_data, id=f"{path.stem}[{i}]")


@pytest.mark.parametrize("field_data", list(sample_leads()))
def test_real_leads_lose_no_answer(field_data):
    lead = normalize(field_data)
    stored = lead.as_dict()
    for entry in field_data:
        value = entry["values"][0].strip()
        assert entry["name"] in lead.custom or value in stored.values() or (
            leads._clean_phone(value) == lead.phone) or value.lower() == lead.email


def test_a_standard_lead():
    lead = normalize(answers(("full_name", ["Joe Example"]), ("email", ["joe@example.com"]),
                             ("phone_number", ["+998 90 123-45-67"]), ("car_make", ["Honda"])))
    assert lead.as_dict() == {"full_name": "Joe Example", "email": "joe@example.com",
                              "phone": "+998901234567", "custom": {"car_make": "Honda"}}


@pytest.mark.parametrize("field_data", [None, [], (), [{"name": "x", "values": []}],
                                        [{"name": "x"}]])
def test_nothing_to_store(field_data):
    lead = normalize(field_data)
    assert lead == NormalizedLead() and lead.as_dict() == {}


def test_the_rules_of_one_lead(tables):
    tables({"email": "email", "work_email": "email", "first_name": "first_name",
            "interests": "company", "marital_status": None},
           [[["phone", "tel"], "phone"], [["status"], "gender"], [["ism"], "last_name"]])
    lead = normalize([
        {"name": "Your PHONE (mobile)", "values": ["+998 90 123-45-67"]},
        {"name": "email", "values": ["  Joe.Example@MAIL.Uz "]},
        {"name": "work_email", "values": ["Second@Example.com"]},
        {"name": "Interests", "values": ["x", "y"]},
        {"name": "colors", "values": ["red", "blue"]},
        {"name": "marital_status", "values": ["single"]},
        {"key": "first_name", "values": [" Ali "]},
        {"values": ["no name at all"]},
        {"name": "Ismingiz", "values": []},
        {"name": "Tel", "values": [998901234567]},
    ])
    assert lead.phone == "+998901234567"
    assert lead.email == "joe.example@mail.uz"
    assert lead.company == "x"  # a checkbox fills its field with the first answer
    assert lead.gender is None  # the exact map's None stops the heuristics
    assert lead.first_name == lead.full_name == "Ali"
    assert lead.custom == {
        "work_email": "second@example.com",  # the first mapped answer wins
        "Interests__all": ["x", "y"],
        "colors": ["red", "blue"],
        "marital_status": "single",
        "": "no name at all",
        "Tel": "998901234567",
    }
    assert list(lead.as_dict()) == ["full_name", "first_name", "email", "phone", "company",
                                    "custom"]


@pytest.mark.parametrize("pairs, full_name", [
    ([("first_name", ["Ali"])], "Ali"),
    ([("last_name", ["Valiyev"])], "Valiyev"),
    ([("first_name", ["Ali"]), ("last_name", ["Valiyev"])], "Ali Valiyev"),
    ([("full_name", ["A. V."]), ("first_name", ["Ali"]), ("last_name", ["Valiyev"])], "A. V."),
    ([("full_name", [" "]), ("first_name", ["Ali"])], "Ali"),
    ([("first_name", [" "])], None),
])
def test_full_name_is_joined_only_when_absent(pairs, full_name):
    assert normalize(answers(*pairs)).full_name == full_name


def test_names_are_trimmed_and_lower_cased_in_full(tables):
    tables({"эл_почта": "email", "i̇sim": "first_name"}, [[["почта"], "email"]])
    assert leads._canonical_key("  Эл_Почта\u2003") == "email"
    assert leads._canonical_key("İsim") == "first_name"  # "İ" lower-cases to two code points
    assert leads._canonical_key("ВАША ПОЧТА") == "email"
    assert leads._canonical_key("эл почта") == "email"  # inner spaces stay: heuristics find it
    assert leads._canonical_key("") is leads._canonical_key(None) is None


def test_one_policy_read_per_non_empty_name(monkeypatch):
    reads = []
    real = policy.current
    monkeypatch.setattr(policy, "current", lambda: reads.append(1) or real())
    normalize(answers(("email", ["a@b"]), ("", ["x"]), ("  ", ["y"]), ("Shahar", ["Toshkent"])))
    assert len(reads) == 2


def test_renewed_tables_apply_from_the_next_call(tables):
    field_data = answers(("Sevimli rang", ["yashil"]))
    assert normalize(field_data).custom == {"Sevimli rang": "yashil"}
    tables({"sevimli rang": "city"}, [])
    assert normalize(field_data).city == "yashil"
    policy.reset()
    assert normalize(field_data).city is None


def test_heuristics_order_and_none_keys(tables):
    tables({}, [[["passport"], None], [["nomer", "номер"], "phone"], [["pass"], "zip"]])
    lead = normalize(answers(("Passport nomer", ["AA1234567"]), ("Номер", ["90 123 45 67"]),
                             ("Password hint", ["x"])))
    assert lead.custom == {"Passport nomer": "AA1234567"}
    assert (lead.phone, lead.zip) == ("901234567", "x")


def test_a_key_naming_no_field_keeps_the_answer(monkeypatch):
    class Tables:
        def lead_map(self):
            return {"email": "e_mail"}

        def lead_heuristics(self):
            return []
    monkeypatch.setattr(policy, "current", Tables)
    assert normalize(answers(("email", ["a@b"]))).custom == {"email": "a@b"}


@pytest.mark.parametrize("lead_map, heuristics, message", [
    ({"email": 5}, [], "exact map value"),
    ({}, [["email", "email"]], "pair"),
    ({}, [[["email"], "email", "extra"]], "pair"),
    ({}, [["email"]], "pair"),
    ({}, [[[5], "email"]], "str keywords"),
    ({}, [[["e"], 5]], "heuristics key"),
    ({}, "email", "heuristics must be"),
])
def test_malformed_tables_fail_the_call(monkeypatch, lead_map, heuristics, message):
    class Tables:
        def lead_map(self):
            return lead_map

        def lead_heuristics(self):
            return heuristics
    monkeypatch.setattr(policy, "current", Tables)
    with pytest.raises(TypeError, match=message):
        normalize(answers(("email", ["a@b"])))


def test_policy_failures_propagate(monkeypatch):
    def broken():
        raise LookupError("no policy")
    monkeypatch.setattr(policy, "current", broken)
    with pytest.raises(LookupError, match="no policy"):
        normalize(answers(("email", ["a@b"])))


@pytest.mark.parametrize("field_data, message", [
    ({"name": "email"}, "field_data must be a list"),
    ("email", "field_data must be a list"),
    ([{"name": "email", "values": ["a@b"]}, None], r"field_data\[1\] must be a dict"),
    ([{"name": 5, "values": ["x"]}], r"field_data\[0\]\['name'\] must be a str, not int"),
    ([{"name": "x", "values": "abc"}], r"field_data\[0\]\['values'\] must be a list"),
])
def test_bad_field_data_is_a_type_error(field_data, message):
    with pytest.raises(TypeError, match=message):
        normalize(field_data)


@pytest.mark.parametrize("raw, cleaned", [
    ("+998 90 123-45-67", "+998901234567"),
    ("++998 (90) 1234567", "+998901234567"),
    ("998+90+12", "9989012"),
    (" +7 (912) 345-67-89 ", "+79123456789"),
    ("tel: +١٢٣ ٤٥", "+١٢٣٤٥"),  # Arabic-Indic digits are digits
    ("०९८७", "०९८७"),
    ("no digits", ""),
    ("", ""),
    (None, ""),
])
def test_clean_phone(raw, cleaned):
    assert leads._clean_phone(raw) == cleaned


@given(st.text())
def test_clean_phone_matches_the_exported_pattern(text):
    digits = leads._PHONE_CLEAN_RE.sub("", text)
    expected = "+" + digits[1:].replace("+", "") if digits.startswith("+") else digits.replace(
        "+", "")
    assert leads._clean_phone(text) == expected


def test_tables_come_from_the_current_policy():
    exact, heuristics = leads._tables()
    assert exact["email"] == "email" and exact == policy.current().lead_map()
    assert heuristics == policy.current().lead_heuristics()


def test_lead_record_behaves_like_a_plain_record():
    lead = NormalizedLead(email="a@b", custom={"x": 1})
    assert [name for name in lead.__match_args__] == FIELDS
    assert lead == NormalizedLead(None, None, None, "a@b", custom={"x": 1})
    assert NormalizedLead().custom is not NormalizedLead().custom
    assert lead.as_dict()["custom"] is not lead.custom
    lead.phone = "+1"
    assert lead.as_dict() == {"email": "a@b", "phone": "+1", "custom": {"x": 1}}
    with pytest.raises(AttributeError):
        lead.extra = 1
    with pytest.raises(TypeError, match="NormalizedLead: phone must be a str or None"):
        lead.phone = 998
    with pytest.raises(TypeError, match="NormalizedLead: custom must be a dict"):
        NormalizedLead(custom=None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'name'"):
        NormalizedLead(name="x")


@pytest.mark.parametrize("pairs, expected", [
    ((("email", [None]),), {}),
    ((("email", [None, " A@B.UZ "]),), {"email": "a@b.uz"}),
    ((("car_make", [None]),), {}),
    ((("car_make", [None, "Honda", None, "Kia"]),), {"custom": {"car_make": ["Honda", "Kia"]}}),
    ((("email", [None]), ("work_email", ["x@y.uz"])), {"email": "x@y.uz"}),
])
def test_a_null_answer_is_no_answer(pairs, expected):
    assert normalize(answers(*pairs)).as_dict() == expected


# Sequences whose truthiness or length says something else than what they hold.
LYING_VALUES = {
    "truthy empty list": "class V(list):\n    __bool__ = lambda s: True\nvalues = V()",
    "list of length 1": "class V(list):\n    __len__ = lambda s: 1\nvalues = V()",
    "tuple of length 1": "class V(tuple):\n    __len__ = lambda s: 1\nvalues = V()",
    "list hiding its items": "class V(list):\n    __bool__ = lambda s: False\nvalues = V(['A@B'])",
}


@pytest.mark.parametrize("name", sorted(LYING_VALUES))
def test_answers_are_read_by_their_real_size(name):
    out = run_isolated(LYING_VALUES[name] + """
from corvane.leads import normalize
print(normalize([{"name": "email", "values": values}]).as_dict())
""")
    assert out.strip() == ("{'email': 'a@b'}" if "hiding" in name else "{}")


def test_as_dict_holds_custom_while_copying_it():
    run_isolated("""
from corvane.leads import NormalizedLead
class Custom(dict):
    def __iter__(self):
        return super().__iter__()
    def keys(self):
        lead.custom = {}
        return super().keys()
lead = NormalizedLead(custom=Custom(a=[1] * 3))
lead.as_dict()
""")
