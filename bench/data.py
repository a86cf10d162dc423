"""Realistic inputs for the benchmark: webhook deliveries as Meta sends them and Lead Ads answer
lists as forms in Uzbekistan and elsewhere produce them."""

from __future__ import annotations

import json
from typing import Any


def _leadgen(page: int, lead: int) -> dict[str, Any]:
    return {"object": "page", "entry": [{"id": str(page), "time": 1717000000, "changes": [{
        "field": "leadgen",
        "value": {"ad_id": "120208812345670123", "form_id": "987654321012345",
                  "leadgen_id": str(lead), "created_time": 1717000000, "page_id": str(page),
                  "adgroup_id": "120208812345670123"}}]}]}


FEED_COMMENT = {"object": "page", "entry": [{"id": "1234567890321", "time": 1449135003, "changes": [{
    "field": "feed",
    "value": {"from": {"id": "1234567890321", "name": "Toshkent Savdo"}, "item": "comment",
              "comment_id": "901097836652708_903438993085259",
              "post_id": "1234567890321_901097836652708", "verb": "add",
              "parent_id": "1234567890321_901097836652708", "created_time": 1449135003,
              "message": "Narxi qancha? Сколько стоит доставка в Самарканд?"}}]}]}

INSTAGRAM_MESSAGE = {"object": "instagram", "entry": [{"id": "17841452691600098",
    "time": 1668022334834, "messaging": [{
        "sender": {"id": "5526432574078910"}, "recipient": {"id": "17841452691600098"},
        "timestamp": 1668022334127,
        "message": {"mid": "aWdfZAG1faXRlbToxOklHTWVzc2FnZAUlEOjE3ODQxNDUyNjkxNjAwMDk4OjM0MDI4",
                    "text": "Salom! Kurs haqida maʼlumot bera olasizmi? 🙂"}}]}]}

MESSENGER_STANDBY = {"object": "page", "entry": [{"id": "12345654332", "time": 1457764198246,
    "messaging": [{"sender": {"id": "987654321432"}, "recipient": {"id": "12345654332"},
                   "timestamp": 1457764197627, "read": {"watermark": 1458668856253}}],
    "standby": [{"sender": {"id": "987654321432"}, "recipient": {"id": "12345654332"},
                 "timestamp": 1457764197627,
                 "message": {"mid": "mid.1457764197618:41d102a3e1ae206a38", "seq": 73,
                             "text": "hello, world!", "is_echo": True}}]}]}

# Values with none of the identifying members: keyed by a digest of their content.
RATING = {"object": "page", "entry": [{"id": "1234567890321", "time": 1448795002, "changes": [{
    "field": "ratings",
    "value": {"reviewer_id": 1078912345678901, "reviewer_name": "Дилноза Каримова",
              "rating": 4.5, "recommendation_type": "positive", "verb": "add",
              "review_text": "Xizmat juda yaxshi,\n\"tez\" yetkazib berishdi\t👍",
              "open_graph_story_id": 12345678901234567890,
              "tags": ["delivery", "quality", "narx"], "scores": [0.1, 1e-05, 1e16, -0.0],
              "meta": {"z": None, "a": True, "m": {"b": [1, 2, {"c": "ç"}], "a": False}}}}]}]}

INSTAGRAM_INSIGHTS = {"object": "instagram", "entry": [{"id": "17841405309211844",
    "time": 1519399312, "changes": [{"field": "story_insights", "value": {
        "exits": 3, "replies": 0, "reach": 44, "taps_forward": 4, "taps_back": 3,
        "impressions": 444, "story": {"caption": "Yangi kolleksiya — скидка 20%"}}}]}]}

MESSAGE_DELIVERY = {"object": "page", "entry": [{"id": "12345654332", "time": 1458668856451,
    "messaging": [{"sender": {"id": "987654321432"}, "recipient": {"id": "12345654332"},
                   "delivery": {"mids": ["mid.1458668856218:ed81099e15d3f4f233"],
                                "watermark": 1458668856253, "seq": 37}}]}]}

DELIVERIES: list[dict[str, Any]] = [
    _leadgen(153125381133, 444000000000001),
    {"object": "page", "entry": [{"id": "153125381133", "time": 1438292065, "changes": [
        _leadgen(153125381133, 444000000000002)["entry"][0]["changes"][0],
        _leadgen(153125381133, 444000000000003)["entry"][0]["changes"][0]]}]},
    FEED_COMMENT, INSTAGRAM_MESSAGE, MESSENGER_STANDBY, RATING, INSTAGRAM_INSIGHTS,
    MESSAGE_DELIVERY,
]


def _answers(pairs: list[tuple[str, list[str]]]) -> list[dict[str, Any]]:
    return [{"name": name, "values": values} for name, values in pairs]


# Fifteen questions each: standard fields, Uzbek (Latin and Cyrillic), Russian and English
# custom questions, checkboxes, phones with spaces and dashes.
LEADS: list[list[dict[str, Any]]] = [
    _answers([
        ("full_name", ["Abdulla Qodiriy"]), ("email", ["  Abdulla.Q@Example.UZ "]),
        ("phone_number", ["+998 90 123-45-67"]), ("city", ["Toshkent"]),
        ("Telefon raqamingiz (qo'shimcha)", ["+998 (71) 200 00 00"]),
        ("Qaysi kurslar sizni qiziqtiradi?", ["IELTS", "SAT", "Matematika"]),
        ("Yoshingiz", ["23"]), ("company_name", ["Ipak Yo'li Bank"]),
        ("job_title", ["Menejer"]), ("Qachon qo'ng'iroq qilaylik?", ["Ertalab"]),
        ("Tug'ilgan sanangiz", ["1999-04-12"]), ("jinsingiz", ["Erkak"]),
        ("Viloyat", ["Samarqand"]), ("Manzil", ["Amir Temur ko'chasi, 15"]),
        ("Izoh", ["Iltimos, kechqurun yozing"]),
    ]),
    _answers([
        ("Имя", ["Дилноза"]), ("Фамилия", ["Каримова"]), ("Эл. почта", ["Dilnoza@Mail.RU"]),
        ("Номер телефона", ["+7 (912) 345-67-89"]), ("Город", ["Ташкент"]),
        ("Компания", ["ООО «Восток»"]), ("Должность", ["Бухгалтер"]),
        ("Какие услуги вас интересуют?", ["Аудит", "Консалтинг"]),
        ("Удобное время для звонка", ["После 18:00"]), ("Страна", ["Узбекистан"]),
        ("Почтовый индекс", ["100000"]), ("Адрес доставки", ["ул. Навои, 7"]),
        ("Дата рождения", ["12.04.1990"]), ("Пол", ["Женский"]),
        ("Согласие на обработку данных", ["Да"]),
    ]),
    _answers([
        ("first_name", ["John"]), ("last_name", ["Example"]), ("work_email", ["JOHN@EXAMPLE.COM"]),
        ("work_phone_number", ["+1 415-555-0100"]), ("company_name", ["Example Corp"]),
        ("job_title", ["VP Sales"]), ("country", ["US"]), ("state", ["CA"]),
        ("zip_code", ["94103"]), ("street_address", ["1 Market St"]),
        ("How many employees?", ["51-200"]), ("Which products?", ["CRM", "Ads", "Analytics"]),
        ("Budget (USD)", ["10000"]), ("marital_status", ["married"]),
        ("Preferred contact method", ["Phone", "Email"]),
    ]),
]


def signed_body(size: int) -> bytes:
    """A delivery body of `size` bytes: a batch of leadgen changes padded with white space."""
    change = _leadgen(153125381133, 444000000000001)["entry"][0]["changes"][0]
    count = size // len(json.dumps(change)) - 1
    body = json.dumps({"object": "page", "entry": [{"id": "153125381133", "time": 1717000000,
                                                    "changes": [change] * count}]}).encode()
    return body + b" " * (size - len(body))
