"""The inbox page's HTML: a login form and the operator's view. Every value put into the page
goes through html.escape: lead answers, Page names and failure reasons come from outsiders."""
from __future__ import annotations

import base64
import hashlib
import html
import time
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

CSS = """\
body{font:14px/1.45 system-ui,sans-serif;margin:1.5rem auto;max-width:76rem;padding:0 1rem;color:#1d2328}
header{display:flex;justify-content:space-between;align-items:center}
h1{font-size:1.4rem}h2{font-size:1.1rem;margin-top:1.8rem}
table{border-collapse:collapse;width:100%;margin:.4rem 0}
th,td{text-align:left;padding:.3rem .5rem;border-bottom:1px solid #dde2e6;vertical-align:top}
th{font-weight:600;background:#f3f5f7}
td.reason{max-width:28rem;overflow-wrap:anywhere}
.bad{color:#a4161a}.ok{color:#2b7a0b}.muted{color:#66717a}
.note{background:#eef6ee;padding:.5rem .8rem;border-radius:4px}
.error{background:#fbeaea;padding:.5rem .8rem;border-radius:4px}
form{margin:0}form.login{max-width:22rem;margin-top:3rem}
input[type=password]{width:100%;padding:.35rem;margin:.3rem 0 .8rem;box-sizing:border-box}
button{font:inherit;padding:.15rem .7rem;cursor:pointer}
"""
# The page has no script at all, and its one stylesheet is allowed by its hash: the policy
# needs no 'unsafe-inline', so markup that slipped through escaping still can't run or style.
_STYLE_HASH = base64.b64encode(hashlib.sha256(CSS.encode()).digest()).decode()
CONTENT_SECURITY_POLICY = (f"default-src 'none'; style-src 'sha256-{_STYLE_HASH}'; form-action 'self'; "
                           "frame-ancestors 'none'; base-uri 'none'")


@dataclass
class View:
    """What the page shows, read from the store and the receiver for one request."""

    csrf: str
    pages: list[dict[str, Any]]
    leads: list[dict[str, Any]]
    waiting: list[dict[str, Any]]
    failed: list[dict[str, Any]]
    forward_host: str | None  # None: no forward URL configured
    forward_attempts: int
    forward_counts: dict[str, int]
    forward_elsewhere: bool  # this process only receives: another one forwards
    stats: tuple[int, int, int]  # deliveries, events, duplicates since this process started
    requeued: int | None
    can_log_out: bool
    limit: int


def e(value: object) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def when(seconds: object) -> str:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        return "—"
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def _document(title: str, body: str) -> str:
    return (f'<!doctype html><html lang="uz"><head><meta charset="utf-8">'
            f'<meta name="viewport" content="width=device-width,initial-scale=1">'
            f"<title>{e(title)}</title><style>{CSS}</style></head><body>{body}</body></html>")


def login_page(error: str | None = None) -> str:
    problem = f'<p class="error">{e(error)}</p>' if error else ""
    return _document("Kirish — corvane", (
        '<form class="login" method="post" action="/login"><h1>Lidlar qutisi</h1>'
        f'{problem}<label for="token">Admin token</label>'
        '<input type="password" id="token" name="token" autocomplete="current-password" required autofocus>'
        '<button type="submit">Kirish</button></form>'))


def _table(headings: Iterable[str], rows: list[str]) -> str:
    if not rows:
        return '<p class="muted">Hozircha yo\'q.</p>'
    head = "".join(f"<th>{e(h)}</th>" for h in headings)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def _post_button(action: str, csrf: str, label: str, fields: dict[str, str]) -> str:
    hidden = "".join(f'<input type="hidden" name="{e(k)}" value="{e(v)}">' for k, v in fields.items())
    return (f'<form method="post" action="{e(action)}"><input type="hidden" name="csrf" value="{e(csrf)}">'
            f'{hidden}<button type="submit">{e(label)}</button></form>')


def _pages(view: View) -> str:
    rows = []
    for page in view.pages:
        broken = page.get("needs_reconnecting")
        health = (f'<span class="bad">qayta ulash kerak (/connect): {e(broken)}</span>' if broken
                  else '<span class="ok">ishlayapti</span>')
        rows.append(f"<tr><td>{e(page.get('name'))}</td><td>{e(page.get('page_id'))}</td>"
                    f"<td>{e(when(page.get('connected_at')))}</td><td>{health}</td></tr>")
    return _table(("Nomi", "ID", "Ulangan", "Holati"), rows)


def _name(fields: dict[str, Any]) -> object:
    if fields.get("full_name"):
        return fields["full_name"]
    return " ".join(str(fields[k]) for k in ("first_name", "last_name") if fields.get(k)) or None


def _leads(view: View) -> str:
    rows = []
    for lead in view.leads:
        fields = lead["fields"] if isinstance(lead.get("fields"), dict) else {}
        status = lead.get("forward_status")
        crm = e(status) if view.forward_host else '<span class="muted">—</span>'
        if view.forward_host and lead.get("forward_error"):
            crm += f'<br><span class="{"bad" if status == "failed" else "muted"}">{e(lead["forward_error"])}</span>'
        rows.append(f"<tr><td>{e(_name(fields))}</td><td>{e(fields.get('email'))}</td>"
                    f"<td>{e(lead.get('form_id'))}</td><td>{e(when(lead.get('stored_at')))}</td>"
                    f"<td>{e(lead.get('leadgen_id'))}</td><td>{crm}</td></tr>")
    return _table(("Ism", "Email", "Forma", "Saqlangan", "Lid ID", "CRM"), rows)


def _events(view: View, state: str, events: list[dict[str, Any]]) -> str:
    rows = []
    for event in events:
        button = _post_button("/inbox/requeue", view.csrf, "Qayta navbatga", {"key": str(event["key"])})
        rows.append(f"<tr><td>{e(event.get('key'))}</td><td>{e(event.get('page_id'))}</td>"
                    f"<td>{e(event.get('attempts'))}</td><td>{e(when(event.get('received_at')))}</td>"
                    f'<td class="reason">{e(event.get("error"))}</td><td>{button}</td></tr>')
    table = _table(("Kalit", "Sahifa", "Urinishlar", "Keldi", "Sabab", ""), rows)
    if not events:
        return table
    more = (f'<p class="muted">Eng eskilaridan {view.limit} tasi ko\'rsatildi.</p>'
            if len(events) >= view.limit else "")
    everything = _post_button("/inbox/requeue", view.csrf, "Hammasini qayta navbatga", {"state": state})
    return table + more + everything


def _forward(view: View) -> str:
    if view.forward_host is None:
        return ('<p class="muted">Sozlanmagan: CRM lidlarni o\'zi oladi (GET /leads?after=). '
                "CORVANE_FORWARD_URL va CORVANE_FORWARD_SECRET bilan yoqiladi.</p>")
    counts = view.forward_counts
    failed = counts.get("failed", 0)
    elsewhere = " Yuborishni boshqa jarayon (--role work) bajaradi." if view.forward_elsewhere else ""
    return (f"<p>Manzil: <b>{e(view.forward_host)}</b>; har bir lid uchun {e(view.forward_attempts)} "
            f"ta urinish.{e(elsewhere)}</p><p>Kutmoqda: {e(counts.get('pending', 0))} · "
            f"yuborildi: {e(counts.get('sent', 0))} · "
            f'<span class="{"bad" if failed else "muted"}">muvaffaqiyatsiz: {e(failed)}</span></p>')


def inbox_page(view: View) -> str:
    logout = _post_button("/logout", view.csrf, "Chiqish", {}) if view.can_log_out else ""
    note = (f'<p class="note">{e(view.requeued)} ta hodisa qayta navbatga qo\'yildi.</p>'
            if view.requeued is not None else "")
    deliveries, events, duplicates = view.stats
    return _document("Lidlar qutisi — corvane", (
        f"<header><h1>Lidlar qutisi</h1>{logout}</header>{note}"
        f"<h2>Ulangan sahifalar</h2>{_pages(view)}"
        f"<h2>So'nggi lidlar</h2>{_leads(view)}"
        f"<h2>Kutayotgan hodisalar</h2>{_events(view, 'waiting', view.waiting)}"
        f"<h2>Muvaffaqiyatsiz hodisalar</h2>{_events(view, 'failed', view.failed)}"
        f"<h2>CRM ga yuborish</h2>{_forward(view)}"
        f'<p class="muted">Bu jarayon ishga tushgandan beri: {e(deliveries)} ta yetkazish, '
        f"{e(events)} ta hodisa, {e(duplicates)} ta takror.</p>"))
