"""Servers and processes on 127.0.0.1 for the tests: a free port, an aiohttp app served on one,
and a started process awaited until it answers /health."""
from __future__ import annotations

import socket
import subprocess
import time
import urllib.request
from typing import Any

from aiohttp import web


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


async def serve(app: web.Application, **runner_options: Any) -> tuple[web.AppRunner, str]:
    """Serves `app` on a free loopback port: its runner (for cleanup()) and its base URL."""
    runner = web.AppRunner(app, **{"access_log": None, **runner_options})
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
    return runner, f"http://127.0.0.1:{port}"


def until_up(proc: subprocess.Popen[str], base: str, timeout: float = 30) -> None:
    """Waits until the process answers on `base`/health; fails if it ends first."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            urllib.request.urlopen(base + "/health", timeout=1).read()
            return
        except OSError:
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.1)
