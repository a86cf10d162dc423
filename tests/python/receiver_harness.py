"""Runs the receiver on 127.0.0.1 against a started sandbox, for the receiver and store tests."""
from __future__ import annotations

import asyncio
import time
from typing import Any

import aiohttp
from aiohttp import web
from loopback import serve

from corvane.receiver import STATS, STORE, Config, WorkerSettings, create_app
from corvane.receiver.store import Store
from corvane.sandbox import Sandbox

VERIFY = "verify-sentinel-0b1e"
FAST = WorkerSettings(concurrency=2, poll=0.05, backoff_base=0.1, backoff_max=0.3)


def config_for(sb: Sandbox, **kw: Any) -> Config:
    kw.setdefault("worker", FAST)
    kw.setdefault("trust_loopback", True)  # the tests' browser is on this machine
    return Config(app_id=sb.app_id, app_secret=sb.app_secret, verify_token=VERIFY, **kw)


async def get(url: str, **kw: Any) -> tuple[int, str]:
    """Status and text of a GET that does not follow redirects."""
    async with aiohttp.ClientSession() as s:
        async with s.get(url, allow_redirects=False, **kw) as resp:
            return resp.status, await resp.text()


class Running:
    """One receiver on a free loopback port."""

    def __init__(self, sb: Sandbox, db: str | Store, config: Config,
                 middlewares: tuple[Any, ...] = (), **runner_options: Any) -> None:
        # The client retries quickly here: a test's outage lasts a second, not minutes.
        from corvane.facebook import Facebook
        from corvane.http import RetryPolicy

        self.facebook = Facebook(app_id=config.app_id, app_secret=config.app_secret,
                                 session=sb.session(),
                                 retry=RetryPolicy(attempts=2, backoff_base=0.05, jitter=False))
        self.app = create_app(db, config, facebook=self.facebook)
        self.app.middlewares.extend(middlewares)
        self.sb = sb
        self.config = config
        self.runner_options = runner_options
        self.runner: web.AppRunner | None = None
        self.base = ""

    @property
    def store(self) -> Store:
        return self.app[STORE]

    @property
    def stats(self) -> Any:
        return self.app[STATS]

    async def start(self) -> Running:
        self.runner, self.base = await serve(self.app, **self.runner_options)
        return self

    async def stop(self) -> None:
        assert self.runner is not None
        await self.runner.cleanup()

    async def subscribe(self) -> None:
        await self.sb.subscribe_webhook(self.base + "/webhook", VERIFY)

    async def connect(self) -> None:
        """The whole login flow, as a browser on this machine would go through it."""
        headers = {"Authorization": f"Bearer {self.config.admin_token}"} if self.config.admin_token else {}
        async with self.sb.session() as browser:
            async with browser.get(self.base + "/connect", headers=headers) as resp:
                assert resp.status == 200, await resp.text()

    async def wait(self, predicate: Any, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while not await predicate():
            assert time.monotonic() < deadline, "timed out"
            await asyncio.sleep(0.02)

    async def wait_leads(self, n: int, timeout: float = 10.0) -> None:
        async def enough() -> bool:
            return (await self.store.counts())["leads"] >= n
        await self.wait(enough, timeout)

    async def post(self, body: bytes, headers: dict[str, str]) -> int:
        async with aiohttp.ClientSession() as s:
            async with s.post(self.base + "/webhook", data=body, headers=headers) as resp:
                return resp.status
