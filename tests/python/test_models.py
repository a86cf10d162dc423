"""Result records: how they are built from platform items, and that they behave as values."""
import copy
import json
import pathlib
import pickle

import pytest

from corvane import models
from conftest import SAMPLES_DIR
from isolated import run_isolated

SAMPLES = SAMPLES_DIR / "leads"
RECORDS_FROM_RESPONSE = [models.TokenBundle, models.Page, models.LeadForm, models.Lead]


def sample_leads():
    """Every lead object in the Lead Ads samples (single leads and lists)."""
    leads = []
    for path in sorted(SAMPLES.glob("*.json")):
        body = json.loads(path.read_text())
        if "field_data" in body:
            leads.append(body)
        for holder in (body, body.get("leads", {})):
            leads.extend(item for item in holder.get("data", []) if "field_data" in item)
    return leads


def make(cls, item):
    if cls is models.Profile:
        return models.Profile(id=item.get("id"), platform="facebook", raw=item)
    return cls.from_response(item)


def test_lead_from_sample_lead_objects():
    leads = sample_leads()
    assert len(leads) >= 4
    for item in leads:
        lead = models.Lead.from_response(item)
        assert (lead.id, lead.form_id, lead.ad_id, lead.created_time) == (
            item["id"], item["form_id"], item.get("ad_id"), item["created_time"])
        assert lead.field_data == item["field_data"]
        assert lead.raw == item
        assert "@" not in repr(lead)  # submitted values (e-mails here) stay out of repr


def test_fields_read_from_items_and_absent_ones_none():
    token = models.TokenBundle.from_response(
        {"access_token": "EAAB", "token_type": "bearer", "expires_in": 5183944,
         "refresh_token_expires_in": 31536000})
    assert (token.access_token, token.token_type, token.expires_in) == ("EAAB", "bearer", 5183944)
    assert token.refresh_token is None and token.scope is None
    assert token.raw["refresh_token_expires_in"] == 31536000

    page = models.Page.from_response(
        {"id": "1", "name": "Shop", "category": "Retail", "access_token": "PAGETOKEN",
         "instagram_business_account": {"id": "1784"}})
    assert (page.id, page.name, page.category, page.access_token) == ("1", "Shop", "Retail",
                                                                      "PAGETOKEN")
    assert page.instagram_business_account == {"id": "1784"}

    form = models.LeadForm.from_response({"id": "44", "name": "3Q FORM", "status": "ACTIVE"})
    assert (form.id, form.name, form.status) == ("44", "3Q FORM", "ACTIVE")

    empty = [cls.from_response({}) for cls in RECORDS_FROM_RESPONSE]
    assert all(record.raw == {} for record in empty)
    assert empty[1].instagram_business_account is None
    assert empty[3].field_data == [] and empty[3].id is None


@pytest.mark.parametrize("value", [None, "1784", ["1784"], 0])
def test_page_instagram_account_only_when_an_object(value):
    page = models.Page.from_response({"id": "1", "instagram_business_account": value})
    assert page.instagram_business_account is None
    assert page.raw["instagram_business_account"] == value


def test_lead_field_data_null_is_empty_and_non_list_refused():
    assert models.Lead.from_response({"id": "1", "field_data": None}).field_data == []
    with pytest.raises(TypeError, match="field_data"):
        models.Lead.from_response({"id": "1", "field_data": {"email": "a@b.c"}})


@pytest.mark.parametrize("cls", RECORDS_FROM_RESPONSE)
@pytest.mark.parametrize("item", [None, [], "id=1", [("id", "1")], 5])
def test_from_response_refuses_non_dict(cls, item):
    with pytest.raises(TypeError, match=rf"{cls.__name__}\.from_response: .* must be a dict"):
        cls.from_response(item)


def test_record_does_not_follow_later_changes_to_the_item():
    item = {"id": "L1", "field_data": [{"name": "email", "values": ["a@b.c"]}]}
    lead = models.Lead.from_response(item)
    item["id"] = "other"
    item["field_data"].append({"name": "phone", "values": ["1"]})
    assert lead.id == "L1" and lead.raw["id"] == "L1"
    assert len(lead.field_data) == 1

    raw = {"id": "9"}
    profile = models.Profile(id="9", platform="instagram", raw=raw)
    raw["id"] = "changed"
    assert profile.raw == {"id": "9"}


@pytest.mark.parametrize("record", [
    models.TokenBundle.from_response({"access_token": "SECRET-A", "refresh_token": "SECRET-R",
                                      "token_type": "bearer"}),
    models.Page.from_response({"id": "1", "name": "Shop", "access_token": "SECRET-P"}),
], ids=["token", "page"])
def test_repr_never_shows_a_token(record):
    text = repr(record)
    assert "SECRET" not in text and "access_token='***'" in text
    assert text.startswith(type(record).__name__ + "(")


def test_profile_and_lead_reprs_are_short():
    profile = models.Profile(id="7", platform="linkedin", full_name="Ada", email="ada@x.io",
                             raw={"sub": "7", "email": "ada@x.io", "picture": "p" * 500})
    assert repr(profile) == "Profile(id='7', platform='linkedin', full_name='Ada')"
    lead = models.Lead.from_response({"id": "L", "form_id": "F", "field_data": [{}, {}]})
    assert repr(lead) == "Lead(id='L', form_id='F', field_data=<2 items>)"


def test_profile_keyword_construction():
    profile = models.Profile(id="1", platform="instagram", username="u", followers_count=3)
    assert (profile.id, profile.platform, profile.username, profile.followers_count) == (
        "1", "instagram", "u", 3)
    assert profile.email is None and profile.media_count is None and profile.raw == {}
    for bad in (lambda: models.Profile("1", "instagram"),
                lambda: models.Profile(platform="instagram"),
                lambda: models.Profile(id="1", platform="x", raw=[("a", 1)]),
                lambda: models.Profile(id="1", platform="x", nickname="n")):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("cls", RECORDS_FROM_RESPONSE + [models.Profile])
def test_records_compare_by_value_and_are_unhashable(cls):
    item = {"id": "1", "name": "n", "field_data": [{"name": "a", "values": ["b"]}]}
    record = make(cls, item)
    assert record == make(cls, json.loads(json.dumps(item)))
    assert record != make(cls, dict(item, extra=1))  # raw takes part
    assert record != item and not (record == None)  # noqa: E711
    with pytest.raises(TypeError):
        hash(record)


def test_records_of_different_classes_differ():
    item = {"id": "1", "name": "n"}
    assert models.LeadForm.from_response(item) != models.Lead.from_response(item)
    assert models.Page.from_response(item) != models.LeadForm.from_response(item)


@pytest.mark.parametrize("cls", RECORDS_FROM_RESPONSE + [models.Profile])
def test_copy_and_pickle_keep_every_field(cls):
    item = {"id": "1", "access_token": "T", "instagram_business_account": {"id": "2"},
            "field_data": [{"name": "email", "values": ["a@b.c"]}], "status": "ACTIVE"}
    record = make(cls, item)
    for clone in (pickle.loads(pickle.dumps(record)), copy.copy(record), copy.deepcopy(record)):
        assert type(clone) is cls and clone == record
        assert clone.raw == item


@pytest.mark.parametrize("cls", RECORDS_FROM_RESPONSE)
def test_records_are_read_only_and_built_only_by_from_response(cls):
    record = cls.from_response({"id": "1"})
    with pytest.raises(AttributeError):
        record.id = "2"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841
            pass


@pytest.mark.parametrize("cls", RECORDS_FROM_RESPONSE + [models.Profile])
def test_misuse_is_a_type_error_not_a_crash(cls):
    blank = cls.__new__(cls)  # never initialised
    for use in (lambda: blank.raw, lambda: repr(blank), lambda: blank == blank,
                lambda: pickle.dumps(blank), lambda: cls.raw.fget(42)):
        with pytest.raises(TypeError):
            use()
    with pytest.raises((TypeError, ValueError)):
        cls.__new__(cls).__setstate__(((1,), {}))


def test_pickled_state_is_read_by_its_real_size():
    # A tuple that says it holds every field but holds one.
    out = run_isolated("""
from corvane import models
class Short(tuple):
    __len__ = lambda self: 3
    __iter__ = lambda self: iter(["1", "2", "3"])
form = models.LeadForm.__new__(models.LeadForm)
try:
    form.__setstate__((Short(["1"]), {}))
except ValueError:
    print("refused")
""")
    assert out.strip() == "refused"
