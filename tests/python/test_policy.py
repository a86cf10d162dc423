"""corvane.policy: baseline contents, validation, renewal and atomic swaps."""

import json
import sys
import textwrap
import threading

import pytest
from isolated import run_isolated

from corvane import policy

SETS = [
    "FB_AD_CONTEXT", "FB_COMMENT", "FB_LEAD", "FB_LEADGEN_FORM", "FB_PAGE", "FB_POST",
    "FB_USER", "IG_COMMENT", "IG_CONVERSATION", "IG_MEDIA", "IG_MESSAGE", "IG_PARTICIPANT",
    "IG_PROFILE",
]


@pytest.fixture(autouse=True)
def baseline_after_each_test():
    yield
    policy.reset()


def top_level(fields: str) -> list[str]:
    """The top-level members of a Graph field list (nested selections skipped)."""
    out, depth, word = [], 0, ""
    for ch in fields + ",":
        if ch in "{(":
            depth += 1
        elif ch in "})":
            depth -= 1
        if depth == 0 and ch == ",":
            out.append(word.split("{")[0].split(".")[0])
            word = ""
        else:
            word += ch
    return out


def canonical_key(raw: str):
    """How lead normalisation reads the two tables: exact map, then first keyword match."""
    name = raw.strip().lower()
    p = policy.current()
    exact = p.lead_map()
    if name in exact:
        return exact[name]
    for keywords, key in p.lead_heuristics():
        if any(word in name for word in keywords):
            return key
    return None


# Members the clients read from each kind of object.
READ_MEMBERS = {
    "FB_USER": ["id", "name", "email", "picture"],
    "FB_PAGE": ["id", "name", "category", "access_token"],
    "FB_LEADGEN_FORM": ["id", "name", "status"],
    "FB_LEAD": ["id", "created_time", "form_id", "ad_id", "field_data"],
    "FB_AD_CONTEXT": ["id", "name", "adset", "campaign"],
    # Each host knows its own members: account_type only the Instagram Graph host,
    # biography and website only the Graph API host.
    "IG_PROFILE": ["id", "username", "name", "profile_picture_url", "account_type",
                   "followers_count", "follows_count", "media_count"],
    "IG_PROFILE_FB": ["id", "username", "name", "profile_picture_url", "biography", "website",
                      "followers_count", "follows_count", "media_count"],
    "IG_CONVERSATION": ["id", "updated_time", "message_count", "unread_count", "participants",
                        "messages"],
    "IG_MEDIA": ["id", "media_type", "media_product_type"],
}


@pytest.mark.parametrize("name", SETS)
def test_baseline_has_every_set_with_what_the_clients_read(name):
    fields = policy.current().fields(name)
    assert fields and fields == policy.BASELINE["fields"][name]
    members = top_level(fields)
    assert len(members) == len(set(members)), "a member asked for twice"
    assert set(READ_MEMBERS.get(name, ["id"])) <= set(members)
    assert " " not in fields


def test_baseline_nested_selections():
    fields = policy.BASELINE["fields"]
    assert "adset{id,name,optimization_goal,targeting}" in fields["FB_AD_CONTEXT"]
    assert "campaign{id,name,objective}" in fields["FB_AD_CONTEXT"]
    assert "picture{url}" in fields["FB_USER"]
    # The Facebook client appends the linked Instagram account itself.
    assert "instagram_business_account" not in fields["FB_PAGE"]


@pytest.mark.parametrize(
    "name, key",
    [
        ("full_name", "full_name"), ("first_name", "first_name"), ("last_name", "last_name"),
        ("email", "email"), ("work_email", "email"), ("phone_number", "phone"),
        ("work_phone_number", "phone"), ("company_name", "company"), ("job_title", "job_title"),
        ("city", "city"), ("state", "state"), ("province", "state"), ("country", "country"),
        ("zip_code", "zip"), ("post_code", "zip"), ("street_address", "address"),
        ("date_of_birth", "birth_date"), ("gender", "gender"), ("marital_status", None),
    ],
)
def test_lead_map_covers_meta_standard_questions(name, key):
    assert policy.current().lead_map()[name] == key


@pytest.mark.parametrize(
    "raw, key",
    [
        ("Ism familiyangiz", "full_name"),
        ("Ismingiz", "full_name"),
        ("Familiyangiz", "last_name"),
        ("Фамилия", "last_name"),
        ("Ваше имя", "full_name"),
        ("Имя и фамилия", "full_name"),
        ("Your first name", "first_name"),
        ("Telefon raqamingiz", "phone"),
        ("Номер телефона", "phone"),
        ("Mobile Phone", "phone"),
        ("эл_почта", "email"),
        ("Elektron pochta", "email"),
        ("Pochta indeksi", "zip"),
        ("Почтовый индекс", "zip"),
        ("Kompaniya nomi", "company"),
        ("Your company name", "company"),
        ("Lavozimingiz", "job_title"),
        ("Qaysi shahar?", "city"),
        ("Город", "city"),
        ("Viloyat", "state"),
        ("Tug'ilgan sana", "birth_date"),
        ("Manzil", "address"),
        ("Pasport raqami", None),
        ("car_make", None),
        ("selected_dealer", None),
    ],
)
def test_heuristics_put_specific_before_general(raw, key):
    assert canonical_key(raw) == key


def test_baseline_metric_lists():
    # Only metrics the platform still serves: one retired name fails the whole request.
    assert policy.BASELINE["metrics"] == {
        "FB_POST_INSIGHTS":
            "post_media_view,post_total_media_view_unique,post_clicks,post_reactions_by_type_total",
        "IG_ACCOUNT_INSIGHTS": "reach,views,accounts_engaged,total_interactions,profile_links_taps",
    }
    for name, metrics in policy.BASELINE["metrics"].items():
        assert policy.current().metrics(name) == metrics
    with pytest.raises(TypeError, match="^metrics: name must be a str, not int$"):
        policy.current().metrics(1)


def test_tables_only_name_canonical_keys():
    assert len(policy.CANONICAL_KEYS) == 14
    allowed = set(policy.CANONICAL_KEYS) | {None}
    p = policy.current()
    assert set(p.lead_map().values()) <= allowed
    assert {key for _, key in p.lead_heuristics()} <= allowed


@pytest.mark.parametrize(
    "document, member",
    [
        ({"fieldz": {}}, "'fieldz'"),
        ({"fields": ["id"]}, "'fields'"),
        ({"fields": {"FB_PAGE": 5}}, "'fields'['FB_PAGE']"),
        ({"fields": {"FB_PAGE": ""}}, "'fields'['FB_PAGE']"),
        ({"fields": {"FB_PAGE": "id,picture{url"}}, "'fields'['FB_PAGE']"),
        ({"fields": {"_HIDDEN": "id"}}, "'fields'['_HIDDEN']"),
        ({"lead_map": {"Email": "email"}}, "'lead_map'['Email']"),
        ({"lead_map": {" email": "email"}}, "'lead_map'[' email']"),
        ({"lead_map": {"email": "e_mail"}}, "'lead_map'['email']"),
        ({"lead_map": {"email": 1}}, "'lead_map'['email']"),
        ({"lead_heuristics": {"mail": "email"}}, "'lead_heuristics'"),
        ({"lead_heuristics": [["mail", "email"]]}, "'lead_heuristics'[0][0]"),
        ({"lead_heuristics": [[["mail"], "email", "x"]]}, "'lead_heuristics'[0]"),
        ({"lead_heuristics": [[[], "email"]]}, "'lead_heuristics'[0][0]"),
        ({"lead_heuristics": [[[""], "email"]]}, "'lead_heuristics'[0][0][0]"),
        ({"lead_heuristics": [[["Mail"], "email"]]}, "'lead_heuristics'[0][0][0]"),
        ({"lead_heuristics": [[["mail"], "mail"]]}, "'lead_heuristics'[0][1]"),
        ({"metrics": "reach"}, "'metrics'"),
        ({"metrics": {"FB_POST_INSIGHTS": " , "}}, "'metrics'['FB_POST_INSIGHTS']"),
        ({"metrics": {"_X": "reach"}}, "'metrics'['_X']"),
        ({"metrics": {"X": ["reach"]}}, "'metrics'['X']"),
        # Text without a UTF-8 form can be neither sent nor matched.
        ({"fields": {"FB_PAGE": "id,\udc80"}}, "'fields'['FB_PAGE']"),
        ({"metrics": {"\ud800X": "reach"}}, "'metrics'['\\ud800X']"),
        ({"lead_map": {"\udc80": "email"}}, "'lead_map'['\\udc80']"),
        ({"lead_map": {"email": "\udc80"}}, "'lead_map'['email']"),
        ({"lead_heuristics": [[["\udc80"], "email"]]}, "'lead_heuristics'[0][0][0]"),
        ({"\udc80": {}}, "'\\udc80'"),
    ],
)
def test_malformed_tables_are_refused_and_the_current_policy_stays(document, member):
    before = policy.current()
    with pytest.raises(ValueError) as info:
        policy.install(document)
    assert member in str(info.value)
    assert policy.current() is before
    with pytest.raises(ValueError):
        policy.Policy(document)


@pytest.mark.parametrize("bad", [None, [], "fields", 3])
def test_non_dict_is_a_type_error(bad):
    kind = type(bad).__name__
    with pytest.raises(TypeError, match=f"^install: policy must be a Policy or a dict, not {kind}$"):
        policy.install(bad)
    with pytest.raises(TypeError, match=f"^Policy: data must be a dict, not {kind}$"):
        policy.Policy(bad)


def test_install_lays_a_dict_over_the_baseline_member_by_member():
    installed = policy.install({"fields": {"FB_PAGE": "id,name"}})
    assert policy.current() is installed
    assert installed.fields("FB_PAGE") == "id,name"
    # "fields" was replaced whole; the lead tables are the baseline's.
    assert installed.fields("FB_USER") is None
    assert dict(installed.lead_map()) == policy.BASELINE["lead_map"]
    assert installed.data["lead_heuristics"] == policy.BASELINE["lead_heuristics"]
    assert installed.data["metrics"] == policy.BASELINE["metrics"]

    renewed = policy.install({"metrics": {"FB_POST_INSIGHTS": "post_clicks"}})
    assert renewed.metrics("FB_POST_INSIGHTS") == "post_clicks"
    assert renewed.metrics("IG_ACCOUNT_INSIGHTS") is None
    assert renewed.data["fields"] == policy.BASELINE["fields"]

    policy.reset()
    assert policy.current().fields("FB_USER") == policy.BASELINE["fields"]["FB_USER"]


def test_install_of_a_policy_object_and_empty_policy():
    empty = policy.Policy({})
    assert policy.install(empty) is empty
    assert policy.current().fields("FB_PAGE") is None
    assert dict(empty.lead_map()) == {} and empty.lead_heuristics() == ()
    assert empty.metrics("FB_POST_INSIGHTS") is None
    assert empty.data == {"fields": {}, "metrics": {}, "lead_map": {}, "lead_heuristics": []}


def test_policy_is_not_changed_through_what_it_hands_out():
    document = {"lead_map": {"email": "email"}, "lead_heuristics": [[["mail"], "email"]]}
    p = policy.Policy(document)
    document["lead_map"]["email"] = "phone"
    document["lead_heuristics"][0][0].append("tel")
    p.data["lead_map"]["email"] = "phone"
    with pytest.raises(TypeError):
        p.lead_map()["email"] = "phone"
    assert p.lead_map()["email"] == "email"
    assert p.lead_heuristics() == ((("mail",), "email"),)

    policy.BASELINE["fields"]["FB_PAGE"] = "changed"
    try:
        assert policy.install({}).fields("FB_PAGE") != "changed"
        policy.reset()
        assert policy.current().fields("FB_PAGE") != "changed"
    finally:
        policy.BASELINE["fields"]["FB_PAGE"] = policy.current().fields("FB_PAGE")


def test_load_installs_a_json_file(tmp_path):
    path = tmp_path / "policy.json"
    path.write_text(json.dumps({"lead_map": {"telefon": "phone"}}, ensure_ascii=False),
                    encoding="utf-8")
    loaded = policy.load(path)
    assert policy.current() is loaded
    assert dict(loaded.lead_map()) == {"telefon": "phone"}
    assert loaded.fields("FB_PAGE") == policy.BASELINE["fields"]["FB_PAGE"]


@pytest.mark.parametrize("content", ["[1, 2]", "{not json", '{"lead_map": {"X": "email"}}'])
def test_load_refuses_bad_files(tmp_path, content):
    path = tmp_path / "policy.json"
    path.write_text(content, encoding="utf-8")
    before = policy.current()
    with pytest.raises(ValueError):
        policy.load(str(path))
    assert policy.current() is before
    with pytest.raises(FileNotFoundError):
        policy.load(tmp_path / "missing.json")


def test_swap_is_atomic_for_readers():
    # Each policy's field list and lead map carry the same marker; a reader seeing one from
    # the old policy and the other from the new one would find them disagreeing.
    versions = [
        policy.Policy({"fields": {"FB_PAGE": f"id,{key}"}, "lead_map": {"marker": key}})
        for key in ("email", "phone", "city")
    ]
    stop = threading.Event()
    mixed = []

    def reader():
        while not stop.is_set():
            p = policy.current()
            if not p.fields("FB_PAGE").endswith("," + p.lead_map()["marker"]):
                mixed.append(p)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=reader) for _ in range(4)]
    policy.install(versions[0])
    try:
        for t in threads:
            t.start()
        for i in range(5000):
            policy.install(versions[i % 3])
    finally:
        stop.set()
        for t in threads:
            t.join()
        sys.setswitchinterval(old)
    assert not mixed


def hostile_key(base: str, method: str, target: str, doc: str) -> str:
    """A document whose key's `method` clears `target` once `armed` is set, i.e. inside the
    check, not while the document is built. (Interpreters before 3.13 hash a key before taking
    their own reference to the value.)"""
    result = {"__hash__": "str.__hash__(self)", "strip": "str(self)", "__repr__": '"Key()"'}[method]
    return (f"class Key({base}):\n    def {method}(self):\n        if armed: {target}.clear()\n"
            f"        return {result}\ndoc = {doc}\n")


FIELDS = '"".join(["id,", "name"])'
EMAIL = '"".join(["em", "ail"])'
HOSTILE_DOCUMENTS = {
    # Storing a key runs its __hash__, which clears the dict being walked.
    "fields key hash": hostile_key("str", "__hash__", 'doc["fields"]',
                                   f'{{"fields": {{Key("FB_PAGE"): {FIELDS}}}}}'),
    "lead_map key hash": hostile_key("str", "__hash__", 'doc["lead_map"]',
                                     f'{{"lead_map": {{Key("email"): {EMAIL}}}}}'),
    # A str subclass's own methods are host code too.
    "lead_map key strip": hostile_key("str", "strip", 'doc["lead_map"]',
                                      f'{{"lead_map": {{Key("email"): {EMAIL}}}}}'),
    # repr(key) for the message frees the key and its value mid-check.
    "fields key repr": hostile_key("object", "__repr__", 'doc["fields"]',
                                   f'{{"fields": {{Key(): {FIELDS}}}}}'),
    "member name repr": hostile_key("object", "__repr__", "doc", '{Key(): {"x": "y"}}'),
    "member name hash": hostile_key("str", "__hash__", "doc",
                                    f'{{Key("fields"): {{"FB_PAGE": {FIELDS}}}}}'),
    "heuristics length lies": """
        class Lying(list):
            def __len__(self):
                return 5
        doc = {"lead_heuristics": Lying([[Lying(["mail"]), "email"]])}
    """,
}


@pytest.mark.parametrize("entry", ["Policy", "install"])
@pytest.mark.parametrize("name", sorted(HOSTILE_DOCUMENTS))
def test_documents_that_change_under_the_check_do_not_crash(name, entry):
    build = "policy.Policy" if entry == "Policy" else "policy.install"
    run_isolated("from corvane import policy\narmed = False\n"
                 + textwrap.dedent(HOSTILE_DOCUMENTS[name])
                 + f"armed = True\ntry:\n    {build}(doc)\nexcept (ValueError, TypeError):\n"
                   "    pass\n")
