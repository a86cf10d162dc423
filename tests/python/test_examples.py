"""The examples run as written against the sandbox: the Instagram and LinkedIn ones as their
own process, the typed lead host from a delivered webhook to a stored CRM record.
(facebook_leads.py and offline_demo.py are run by the sandbox's tests.)"""
from __future__ import annotations

import asyncio
import importlib.util
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType
from urllib.parse import parse_qs, urlsplit

import pytest
from loopback import serve

from corvane import Facebook, RetryPolicy
from corvane.receiver import open_store
from corvane.sandbox import Sandbox

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
REDIRECT = "https://crm.example/fb/cb"
SCOPES = ["pages_show_list", "pages_manage_metadata", "leads_retrieval", "ads_management"]


def load(name: str) -> ModuleType:
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, last_steps", [
    ("linkedin_post.py", ("published: urn:li:share:", "deleted: urn:li:share:")),
    ("instagram_inbox.py", ("Aziza Karimova (@aziza.k)", "sent: ", "comment(s)")),
])
def test_examples_run_to_the_end_in_the_sandbox(name, last_steps):
    done = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    for step in last_steps:
        assert step in done.stdout, done.stdout


async def test_lead_host_stores_each_delivered_lead_once(tmp_path):
    lead_host = load("lead_host")
    async with Sandbox() as sb:
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session(),
                      scopes=SCOPES, retry=RetryPolicy(attempts=1))
        back = sb.consent(fb.login_url(redirect_uri=REDIRECT, state="s"))
        code = parse_qs(urlsplit(back).query)["code"][0]
        user = (await fb.exchange_code(code, redirect_uri=REDIRECT)).access_token

        store = open_store(str(tmp_path / "leads.sqlite3"))
        host = lead_host.LeadHost(store, fb, sb.app_secret, "verify-me")
        runner, base = await serve(lead_host.make_app(host))
        try:
            for page in await fb.pages(user):
                await fb.subscribe_page(page.id, page.access_token, ["leadgen"])
                await store.save_page(page.id, page.name, page.access_token, user, time.time())
            await sb.subscribe_webhook(base + "/webhook", "verify-me")

            lead_id = await sb.submit_lead({"full_name": "Ada Lovelace",
                                            "email": " ADA@Example.com "})
            assert await sb.deliver(lead_id) == 200  # Meta delivers at least once
            for _ in range(200):
                stored = await store.leads()
                if stored:
                    break
                await asyncio.sleep(0.05)
            await asyncio.sleep(0.2)  # a second record would have landed by now
            stored = await store.leads()
            assert [row["leadgen_id"] for row in stored] == [lead_id]
            assert stored[0]["fields"]["email"] == "ada@example.com"
            assert stored[0]["ad_context"].get("campaign_name")
            assert [d.status for d in sb.deliveries] == [200, 200]
        finally:
            await runner.cleanup()
