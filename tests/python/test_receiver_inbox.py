"""The operator's inbox page: its session and CSRF rules over HTTP, and the whole page in a real
browser (Debian's chromium, driven through /usr/bin/chromedriver)."""
from __future__ import annotations

import asyncio
import json
import logging
import os
import re
import time
from http.cookies import SimpleCookie
from typing import Any

import aiohttp
import pytest

from corvane.receiver import ForwardSettings, LeadRecord, NewEvent
from corvane.receiver.inbox import COOKIE
from corvane.sandbox import Sandbox
from receiver_harness import Running, config_for

ADMIN = "admin-sentinel-77"
HOSTILE = "<script>inbox_sentinel()</script>"
FORWARD_SECRET = "forward-secret-sentinel-5c"
CHROMEDRIVER = "/usr/bin/chromedriver"
FAILED_KEY = "page:leadgen:777"


async def seeded(sb: Sandbox, db: str, **kw: Any) -> Running:
    """A receiving-only receiver (no worker takes the events) whose store holds outsiders' text:
    a Page that needs reconnecting, a lead, a failed event, each named by HOSTILE."""
    kw.setdefault("forward", ForwardSettings(f"https://crm.example/hook?key={FORWARD_SECRET}", FORWARD_SECRET))
    running = await Running(sb, db, config_for(sb, role="receive", **kw)).start()
    store, now = running.store, time.time()
    try:
        await store.save_page("p1", HOSTILE, "page-token-sentinel", "user-token-sentinel", now)
        await store.page_broken("p1", HOSTILE)
        await store.record([NewEvent(key, "page", "leadgen", "p1", key[13:], "{}")
                            for key in ("page:leadgen:1", FAILED_KEY)], now)
        await store.complete("page:leadgen:1", LeadRecord("1", "p1", HOSTILE, None, None,
                             {"full_name": HOSTILE, "email": "a@example.uz"}, {}, {}, {}), now)
        await store.fail(FAILED_KEY, HOSTILE, now)
    except BaseException:
        await running.stop()
        raise
    return running


async def call(running: Running, method: str, path: str, sid: str | None = None,
               data: dict[str, str] | None = None) -> tuple[int, str, aiohttp.ClientResponse]:
    headers = {"Cookie": f"{COOKIE}={sid}"} if sid else {}
    async with aiohttp.ClientSession(cookie_jar=aiohttp.DummyCookieJar()) as s:
        async with s.request(method, running.base + path, data=data, headers=headers,
                             allow_redirects=False) as resp:
            return resp.status, await resp.text(), resp


async def log_in(running: Running, token: str = ADMIN) -> tuple[int, str, SimpleCookie]:
    status, text, resp = await call(running, "POST", "/login", data={"token": token})
    cookies: SimpleCookie = SimpleCookie()
    for header in resp.headers.getall("Set-Cookie", []):
        cookies.load(header)
    return status, text, cookies


def csrf_of(html: str) -> str:
    return re.search(r'name="csrf" value="([^"]+)"', html).group(1)  # type: ignore[union-attr]


@pytest.mark.parametrize("public_url", [None, "https://crm.example"])
async def test_page_escapes_outsiders_text_and_keeps_secrets_out(sb, db, public_url, caplog):
    caplog.set_level(logging.DEBUG)
    running = await seeded(sb, db, admin_token=ADMIN, public_url=public_url)
    try:
        status, form, resp = await call(running, "GET", "/")
        assert status == 200 and 'name="token"' in form and HOSTILE not in form
        policy = resp.headers["Content-Security-Policy"]
        assert "default-src 'none'" in policy and "unsafe" not in policy
        assert resp.headers["Cache-Control"] == "no-store"

        status, text, cookies = await log_in(running, ADMIN + "x")
        assert status == 403 and 'name="token"' in text and not cookies
        status, _, cookies = await log_in(running)
        assert status == 303
        cookie = cookies[COOKIE]
        assert cookie["httponly"] and cookie["samesite"] == "Strict" and cookie["path"] == "/"
        assert bool(cookie["secure"]) == bool(public_url)  # Secure when browsers come over https
        assert ADMIN not in cookie.OutputString()

        status, html, resp = await call(running, "GET", "/", cookie.value)
        assert status == 200 and resp.headers["Cache-Control"] == "no-store"
        assert html.count("&lt;script&gt;inbox_sentinel()&lt;/script&gt;") == 5  # the Page name and reason, the lead name and form, the event reason
        assert "<script" not in html.lower()
        assert "crm.example" in html and "Kutmoqda: 1" in html and FAILED_KEY in html
        for secret in (ADMIN, FORWARD_SECRET, "page-token-sentinel", "user-token-sentinel", sb.app_secret):
            assert secret not in html
        assert "kirishga urinish" in caplog.text and ADMIN not in caplog.text  # the wrong guess neither
    finally:
        await running.stop()


@pytest.mark.parametrize("path", ["/inbox/requeue", "/logout"])
@pytest.mark.parametrize("case, status", [
    ("no session", 403), ("no csrf", 403), ("wrong csrf", 403), ("another session's csrf", 403),
    ("right", 303),
])
async def test_posts_need_the_sessions_csrf_token(sb, db, path, case, status):
    running = await seeded(sb, db, admin_token=ADMIN)
    try:
        sids = [(await log_in(running))[2][COOKIE].value for _ in range(2)]
        tokens = [csrf_of((await call(running, "GET", "/", sid))[1]) for sid in sids]
        form = {"key": FAILED_KEY, "csrf": {"right": tokens[0], "wrong csrf": tokens[0][:-1],
                                            "another session's csrf": tokens[1]}.get(case, "")}
        if case == "no csrf":
            del form["csrf"]
        got, _, resp = await call(running, "POST", path, None if case == "no session" else sids[0], form)
        assert got == status
        event = await running.store.event(FAILED_KEY)
        assert event["status"] == ("pending" if got == 303 and path == "/inbox/requeue" else "failed")
        logged_out = 'name="token"' in (await call(running, "GET", "/", sids[0]))[1]
        assert logged_out == (got == 303 and path == "/logout")
        if got == 303:
            assert resp.headers["Location"] == ("/?requeued=1" if path == "/inbox/requeue" else "/")
    finally:
        await running.stop()


@pytest.mark.parametrize("trust, host, status", [
    (False, None, 403),  # no admin token: closed, and the refusal says how to open it
    (True, "rebound.example", 403),  # another site's page in the operator's browser
    (True, None, 200),  # loopback trusted: a session without logging in
])
async def test_without_an_admin_token_the_page_follows_the_admin_routes(sb, db, trust, host, status):
    running = await seeded(sb, db, trust_loopback=trust)
    try:
        async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as s:
            headers = {"Host": host} if host else {}
            async with s.get(running.base + "/", headers=headers) as resp:
                got, html = resp.status, await resp.text()
            assert got == status
            assert (await s.post(running.base + "/login", data={"token": ""})).status == 403
            if status == 403:
                assert ("CORVANE_ADMIN_TOKEN" in html) == (not trust)
                return
            assert 'name="token"' not in html and "Chiqish" not in html  # nothing to log in or out of
            async with s.post(running.base + "/inbox/requeue", allow_redirects=False,
                              data={"state": "failed", "csrf": csrf_of(html)}) as resp:
                assert resp.status == 303 and resp.headers["Location"] == "/?requeued=1"
    finally:
        await running.stop()


def _browser() -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000"):
        options.add_argument(argument)
    # The sanitized run preloads ASan into this process: the browser is no part of that check.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS")}
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=env), options=options)


@pytest.mark.skipif(not os.path.exists(CHROMEDRIVER),
                    reason=f"{CHROMEDRIVER} is missing (Debian's chromium-driver; `make setup` installs it)")
async def test_operator_signs_in_sees_leads_and_requeues_a_failed_event(sb, db, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.support.wait import WebDriverWait

    running = await Running(sb, db, config_for(sb, admin_token=ADMIN)).start()
    driver = await asyncio.to_thread(_browser)
    try:
        await running.subscribe()
        await running.connect()
        await sb.submit_lead({"full_name": "Shahnoza Qodirova", "email": "shahnoza@example.uz"})
        await running.wait_leads(1)
        # A lead the Graph API does not know yet fails; once it does, a requeue stores it.
        later = await sb.submit_lead({"full_name": "Bobur Aliyev", "email": "bobur@example.uz"}, deliver=False)
        body = json.dumps(sb.leadgen_payload(later)).encode()
        hidden = sb.world.leads.pop(later)
        assert await running.post(body, {"X-Hub-Signature-256": sb.sign(body)}) == 200

        async def failed() -> bool:
            return [e["leadgen_id"] for e in await running.store.events("failed")] == [later]
        await running.wait(failed)
        sb.world.leads[later] = hidden

        def press(button: Any) -> str:
            """The page the button's form leads to, once the browser has left this one."""
            button.click()
            wait = WebDriverWait(driver, 30)  # CI runs other suites beside this one

            def left(_: Any) -> bool:
                # While the old page goes, chromium may answer "Node with given id does not
                # belong to the document" rather than the stale-element error: gone either way.
                try:
                    button.is_enabled()
                except WebDriverException:
                    return True
                return False
            wait.until(left)
            wait.until(lambda d: d.execute_script("return document.readyState") == "complete")
            return str(driver.page_source)

        def sign_in(token: str) -> str:
            driver.get(running.base + "/")
            driver.find_element(By.NAME, "token").send_keys(token)
            return press(driver.find_element(By.CSS_SELECTOR, "form.login button"))

        assert 'name="token"' in await asyncio.to_thread(sign_in, ADMIN + "x")  # still the form
        page = await asyncio.to_thread(sign_in, ADMIN)
        assert "Shahnoza Qodirova" in page and later in page and "Bobur Aliyev" not in page

        def requeue(without_csrf: bool = False) -> str:
            if without_csrf:  # as a forged form would come: the session cookie, no CSRF token
                driver.execute_script("document.querySelectorAll('input[name=csrf]').forEach(i => i.remove())")
            return press(driver.find_element(By.XPATH, "//button[text()='Qayta navbatga']"))

        assert "Forbidden" in await asyncio.to_thread(requeue, True)
        await asyncio.to_thread(driver.get, running.base + "/")
        assert "1 ta hodisa qayta navbatga" in await asyncio.to_thread(requeue)  # after its redirect
        await running.wait_leads(2)
        await asyncio.to_thread(driver.refresh)
        assert "Bobur Aliyev" in await asyncio.to_thread(lambda: str(driver.page_source))
        assert await asyncio.to_thread(driver.save_screenshot, str(tmp_path / "inbox.png"))
        cookies = await asyncio.to_thread(driver.get_cookies)
        assert ADMIN not in json.dumps(cookies)
    finally:
        await asyncio.to_thread(driver.quit)
        await running.stop()
