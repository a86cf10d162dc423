"""The Instagram part of the sandbox's world: the account, its media and comments, publishing
containers, Direct conversations and the people in them."""
from __future__ import annotations

import secrets
import time
from dataclasses import dataclass, field
from typing import Any


def _now_text(offset: float = 0) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S+0000", time.gmtime(time.time() + offset))


@dataclass
class InstagramWorld:
    account_id: str
    app_id: str = "990000000000001"
    app_secret: str = field(default_factory=lambda: secrets.token_hex(16))
    tokens: dict[str, str] = field(default_factory=dict)  # token -> "short" | "long"
    codes: dict[str, str] = field(default_factory=dict)  # code -> redirect_uri
    account: dict[str, Any] = field(default_factory=dict)
    media: dict[str, dict[str, Any]] = field(default_factory=dict)
    comments: dict[str, dict[str, Any]] = field(default_factory=dict)
    containers: dict[str, dict[str, Any]] = field(default_factory=dict)
    conversations: dict[str, dict[str, Any]] = field(default_factory=dict)
    messages: dict[str, list[dict[str, Any]]] = field(default_factory=dict)
    people: dict[str, dict[str, Any]] = field(default_factory=dict)  # igsid -> profile
    followers: int = 1280
    _next: int = 179000000000001

    def new_id(self) -> str:
        self._next += 1
        return str(self._next)

    def __post_init__(self) -> None:
        self.account = {
            "id": self.account_id, "user_id": self.account_id, "username": "corvane.demo.store",
            "name": "Corvane Demo Store", "account_type": "BUSINESS",
            "profile_picture_url": "https://sandbox.invalid/ig/profile.jpg",
            "biography": "Do'kon | Магазин | Store", "website": "https://sandbox.invalid/store",
            "followers_count": self.followers, "follows_count": 75, "media_count": 0}
        for kind, product, caption in (("IMAGE", "FEED", "Yangi kolleksiya!"),
                                       ("CAROUSEL_ALBUM", "FEED", "Весенняя распродажа"),
                                       ("VIDEO", "REELS", "Behind the scenes")):
            self.add_media(kind, product, caption)
        first = next(iter(self.media))
        for who, text in (("90010001", "Narxi qancha?"), ("90010002", "Есть доставка в Казань?")):
            cid = self.new_id()
            self.comments[cid] = {"id": cid, "text": text, "timestamp": _now_text(-3600),
                                  "username": f"user{who[-1]}", "from": {"id": who, "username": f"user{who[-1]}"},
                                  "like_count": 1, "hidden": False, "media_id": first, "replies": {"data": []}}
        self.people = {
            "90010001": {"id": "90010001", "name": "Aziza Karimova", "username": "aziza.k",
                         "profile_pic": "https://sandbox.invalid/ig/aziza.jpg", "follower_count": 312,
                         "is_verified_user": False, "is_user_follow_business": True,
                         "is_business_follow_user": False},
            "90010002": {"id": "90010002", "name": "Ольга Петрова", "username": "olga.p",
                         "profile_pic": "https://sandbox.invalid/ig/olga.jpg", "follower_count": 48,
                         "is_verified_user": False, "is_user_follow_business": False,
                         "is_business_follow_user": False},
            # 90010003 has no profile the app may read: a look-up fails, as for a blocked user.
        }
        for n, (igsid, text) in enumerate((("90010001", "Salom! Buyurtma bermoqchiman."),
                                           ("90010002", "Здравствуйте, сколько стоит доставка?"),
                                           ("90010003", "Hi, is this still available?")), 1):
            conv = f"aWdfZG1fc2FuZGJveF{n}"
            self.conversations[conv] = {
                "id": conv, "updated_time": _now_text(-600 * n), "message_count": 1, "unread_count": 1,
                "participants": {"data": [{"id": self.account_id, "username": "corvane.demo.store"},
                                          {"id": igsid, "username": f"customer{n}"}]}}
            self.messages[conv] = [self.message(igsid, self.account_id, text)]

    def message(self, sender: str, recipient: str, text: str) -> dict[str, Any]:
        return {"id": "aWdfZG1fbWlk" + secrets.token_hex(8), "created_time": _now_text(),
                "from": {"id": sender}, "to": {"data": [{"id": recipient}]}, "message": text}

    def add_media(self, kind: str, product: str, caption: str | None) -> str:
        mid = self.new_id()
        self.media[mid] = {
            "id": mid, "caption": caption, "media_type": kind, "media_product_type": product,
            "media_url": f"https://sandbox.invalid/ig/{mid}", "permalink": f"https://sandbox.invalid/p/{mid}",
            "timestamp": _now_text(), "username": self.account["username"], "like_count": 0,
            "comments_count": 0, "is_comment_enabled": True}
        self.account["media_count"] = len(self.media)
        return mid

    def node_kind(self, node: str) -> str | None:
        if node == self.account_id:
            return "account"
        for kind, table in (("media", self.media), ("comment", self.comments),
                            ("container", self.containers), ("conversation", self.conversations),
                            ("person", self.people)):
            if node in table:
                return kind
        return "person" if node.startswith("9001") else None
