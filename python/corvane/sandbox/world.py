"""The sandbox's small world: one app, one user, two Pages, a lead form with leads, an ad with
its ad set and campaign. Everything a test or the demo needs to find is reachable from here."""
from __future__ import annotations

import itertools
import secrets
import time
from dataclasses import dataclass, field
from typing import Any

from .instagram_world import InstagramWorld
from .linkedin import LinkedInWorld

# Graph ids are decimal texts; these are fixed so that tests and the demo can name them.
APP_ID = "880000000000001"
USER_ID = "100000000000001"
PAGE_STORE = "200000000000001"
PAGE_CLINIC = "200000000000002"
IG_ACCOUNT = "178414000000001"
FORM_ID = "300000000000001"
AD_ID = "400000000000001"
ADSET_ID = "500000000000001"
CAMPAIGN_ID = "600000000000001"

GRANTED_SCOPES = (
    "pages_show_list",
    "pages_manage_metadata",
    "pages_read_engagement",
    "leads_retrieval",
    "ads_management",
)

# Answers as people really type them: English, Uzbek (Latin script) and Russian.
SAMPLE_ANSWERS: tuple[dict[str, str], ...] = (
    {
        "full_name": "Emily Carter",
        "email": "emily.carter@example.com",
        "phone_number": "+1 (415) 555-0132",
        "city": "San Francisco",
        "preferred_contact_time": "Weekday mornings",
    },
    {
        "full_name": "Dilshod Rahimov",
        "email": "dilshod.rahimov@example.uz",
        "phone_number": "+998 90 123-45-67",
        "city": "Toshkent",
        "qaysi_xizmat_kerak": "Yetkazib berish va o'rnatish",
    },
    {
        "full_name": "Анна Смирнова",
        "email": "anna.smirnova@example.ru",
        "phone_number": "+7 (912) 345-67-89",
        "city": "Казань",
        "удобное_время_звонка": "После 18:00",
    },
)


def graph_time(epoch: float) -> str:
    """A time as the Graph API writes it: 2026-01-31T09:15:00+0000."""
    return time.strftime("%Y-%m-%dT%H:%M:%S+0000", time.gmtime(epoch))


@dataclass
class Token:
    """What one access token stands for."""

    kind: str  # "code-user" (short-lived user), "user", "page"
    subject: str  # the user id or the page id
    scopes: tuple[str, ...] = ()


@dataclass
class PageRec:
    id: str
    name: str
    category: str
    token: str
    instagram: dict[str, Any] | None = None
    subscribed_fields: list[str] = field(default_factory=list)


@dataclass
class LeadRec:
    id: str
    form_id: str
    page_id: str
    ad_id: str | None
    created: float
    answers: dict[str, str]

    def as_graph(self, world: World) -> dict[str, Any]:
        ad = world.ads.get(self.ad_id or "")
        out: dict[str, Any] = {
            "id": self.id,
            "created_time": graph_time(self.created),
            "form_id": self.form_id,
            "field_data": [{"name": k, "values": [v]} for k, v in self.answers.items()],
            "platform": "fb",
            "is_organic": ad is None,
        }
        if ad is not None:
            out.update(
                ad_id=ad["id"],
                ad_name=ad["name"],
                adset_id=ad["adset"]["id"],
                adset_name=ad["adset"]["name"],
                campaign_id=ad["campaign"]["id"],
                campaign_name=ad["campaign"]["name"],
            )
        return out


class World:
    """The sandbox's state. Tokens and the app secret are fresh random texts per world."""

    def __init__(self) -> None:
        self.app_id = APP_ID
        self.app_secret = secrets.token_hex(16)
        self.user = {"id": USER_ID, "name": "Madina Yusupova", "first_name": "Madina",
                     "last_name": "Yusupova", "email": "madina.yusupova@example.uz"}
        self.tokens: dict[str, Token] = {}
        # code -> (redirect_uri, scopes); single use, as Meta's codes are.
        self.codes: dict[str, tuple[str, tuple[str, ...]]] = {}
        self.pages: dict[str, PageRec] = {}
        for page_id, name, category in (
            (PAGE_STORE, "Corvane Demo Store", "Shopping & retail"),
            (PAGE_CLINIC, "Corvane Demo Clinic", "Medical & health"),
        ):
            token = "EAAP" + secrets.token_urlsafe(24)
            self.pages[page_id] = PageRec(page_id, name, category, token)
            self.tokens[token] = Token("page", page_id)
        self.pages[PAGE_STORE].instagram = {
            "id": IG_ACCOUNT, "username": "corvane.demo.store", "name": "Corvane Demo Store",
            "profile_picture_url": "https://sandbox.invalid/ig/profile.jpg",
            "followers_count": 1280, "follows_count": 75, "media_count": 3,
            "biography": "Do'kon | Магазин | Store", "website": "https://sandbox.invalid/store",
        }
        self.forms: dict[str, dict[str, Any]] = {
            FORM_ID: {
                "id": FORM_ID, "name": "Spring offer", "status": "ACTIVE", "locale": "en_US",
                "page_id": PAGE_STORE, "created_time": graph_time(time.time() - 86400 * 30),
                "questions": [
                    {"key": "full_name", "type": "FULL_NAME"},
                    {"key": "email", "type": "EMAIL"},
                    {"key": "phone_number", "type": "PHONE"},
                    {"key": "city", "type": "CITY"},
                ],
            }
        }
        self.ads: dict[str, dict[str, Any]] = {
            AD_ID: {
                "id": AD_ID, "name": "Spring offer - carousel",
                "adset": {"id": ADSET_ID, "name": "Tashkent 25-45", "optimization_goal": "LEAD_GENERATION",
                          "targeting": {"geo_locations": {"countries": ["UZ", "KZ"]},
                                        "age_min": 25, "age_max": 45}},
                "campaign": {"id": CAMPAIGN_ID, "name": "Spring 2026 leads", "objective": "OUTCOME_LEADS"},
            }
        }
        self.leads: dict[str, LeadRec] = {}
        self.linkedin = LinkedInWorld()
        self.instagram = InstagramWorld(IG_ACCOUNT)
        self._ids = itertools.count(700000000000001)
        # Leads that were there before the sandbox started, a day apart.
        for n, answers in enumerate(SAMPLE_ANSWERS):
            self.add_lead(FORM_ID, answers, ad_id=AD_ID, created=time.time() - 86400 * (3 - n))

    def new_id(self) -> str:
        return str(next(self._ids))

    def add_lead(self, form_id: str, answers: dict[str, str], *, ad_id: str | None = AD_ID,
                 created: float | None = None) -> LeadRec:
        form = self.forms[form_id]
        lead = LeadRec(self.new_id(), form_id, form["page_id"], ad_id,
                       time.time() if created is None else created, dict(answers))
        self.leads[lead.id] = lead
        return lead

    def issue_code(self, redirect_uri: str, scopes: tuple[str, ...]) -> str:
        code = "AQ" + secrets.token_urlsafe(32)
        self.codes[code] = (redirect_uri, scopes)
        return code

    def issue_user_token(self, kind: str, scopes: tuple[str, ...]) -> str:
        token = "EAAU" + secrets.token_urlsafe(32)
        self.tokens[token] = Token(kind, USER_ID, scopes)
        return token

    def page_of_node(self, node: str) -> str | None:
        """The Page that owns a node (a Page, a form or a lead), if any."""
        if node in self.pages:
            return node
        if node in self.forms:
            return str(self.forms[node]["page_id"])
        if node in self.leads:
            return self.leads[node].page_id
        return None
