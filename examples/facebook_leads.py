"""Facebook Lead Ads from start to finish: login link, code exchange, the user's Pages, the
Page's webhook subscription, and the leads of each lead form.

The app's credentials come from the environment (FACEBOOK_APP_ID, FACEBOOK_APP_SECRET and,
optionally, FACEBOOK_CONFIG_ID and META_GRAPH_VERSION).

    # 1. print the login link and open it in a browser
    python examples/facebook_leads.py link --redirect-uri https://crm.example/fb/callback
    # 2. after the dialog, Facebook sends the browser to the redirect URI with ?code=...&state=...
    python examples/facebook_leads.py leads --redirect-uri https://crm.example/fb/callback \
        --code AQB... [--since 1735689600]

Page tokens are secrets: this example prints page names and ids, never tokens.
"""
from __future__ import annotations

import argparse
import asyncio
import secrets
from typing import Any

from corvane.facebook import Facebook

SCOPES = ["pages_show_list", "pages_manage_metadata", "leads_retrieval", "pages_read_engagement"]


def print_login_link(redirect_uri: str) -> None:
    client = Facebook.from_env(scopes=SCOPES)
    # A real host keeps `state` in the user's session and compares it on the way back.
    state = secrets.token_urlsafe(16)
    print(f"state: {state}")
    print(client.login_url(redirect_uri=redirect_uri, state=state))


async def show_leads(redirect_uri: str, code: str, since: int | None, **options: Any) -> None:
    # options go to the client as they are (a session of the host's own, for instance).
    async with Facebook.from_env(scopes=SCOPES, **options) as fb:
        bundle = await fb.exchange_code(code, redirect_uri=redirect_uri)
        user_token = bundle.access_token
        if not user_token:
            raise SystemExit("the exchange returned no token")
        print("granted:", ", ".join(map(str, await fb.granted_scopes(user_token))))

        for page in await fb.pages(user_token):
            if not page.id or not page.access_token:
                continue  # a Page the user cannot act for
            print(f"Page {page.name} ({page.id})")
            # Without this, the app's webhook delivers nothing for the Page.
            subscribed = await fb.subscribe_page(page.id, page.access_token, ["leadgen"])
            print(f"  webhook subscription: {'on' if subscribed else 'refused'}")

            for form in await fb.lead_forms(page.id, page.access_token):
                if not form.id:
                    continue
                leads = await fb.leads(form.id, page.access_token, since=since, limit=50)
                print(f"  form {form.name} ({form.id}): {len(leads)} lead(s)")
                for lead in leads:
                    answers = {f.get("name"): f.get("values") for f in lead.field_data}
                    context = await fb.ad_context(lead.ad_id, user_token)
                    campaign = context.get("campaign_name") or "-"
                    print(f"    {lead.created_time} {lead.id} campaign={campaign} {answers}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="step", required=True)
    link = sub.add_parser("link", help="print the login link")
    link.add_argument("--redirect-uri", required=True)
    leads = sub.add_parser("leads", help="exchange the code and list pages, forms and leads")
    leads.add_argument("--redirect-uri", required=True)
    leads.add_argument("--code", required=True)
    leads.add_argument("--since", type=int, default=None, help="only leads after this Unix time")
    args = parser.parse_args()
    if args.step == "link":
        print_login_link(args.redirect_uri)
    else:
        asyncio.run(show_leads(args.redirect_uri, args.code, args.since))


if __name__ == "__main__":
    main()
