"""One receiver as a process of its own, for the scaling test and bench: its Graph API is a
sandbox started by the parent (the parent's port and CA certificate), its database and settings
come from the environment. Prints `port <n>` once it listens, then serves until killed.

    RX_DB=postgresql://... RX_SANDBOX_PORT=... RX_SANDBOX_CA=ca.pem RX_APP_ID=... \
    RX_APP_SECRET=... RX_VERIFY=... [RX_FORWARD_URL=... RX_FORWARD_SECRET=...] [RX_LEASE=3] \
    [RX_NAME=a] [RX_ROLE=receive] [RX_PORT=0] [RX_QUICK=1] [RX_PROFILE=out.prof] \
    python tests/python/receiver_proc.py

RX_NAME goes with each Graph request as X-Receiver; RX_QUICK=1 shortens every wait (polls,
back-offs, the client's retries) for a test, without it the worker keeps its defaults but for
the lease; RX_PROFILE writes a cProfile (CPU time) of the whole run when SIGTERM ends it.
"""
from __future__ import annotations

import asyncio
import os
import signal
import ssl

from aiohttp import web

from corvane.facebook import Facebook
from corvane.http import RetryPolicy
from corvane.receiver import Config, WorkerSettings, create_app
from corvane.receiver.forward import ForwardSettings
from corvane.sandbox import HOSTS
from corvane.sandbox.tls import SandboxResolver


QUICK = os.environ.get("RX_QUICK") == "1"


def config() -> Config:
    env = os.environ
    lease = float(env.get("RX_LEASE", "90"))
    quick = {"poll": 0.1, "backoff_base": 0.2, "backoff_max": 1.0} if QUICK else {}
    forward = None
    if env.get("RX_FORWARD_URL"):
        forward = ForwardSettings(env["RX_FORWARD_URL"], env["RX_FORWARD_SECRET"], lease=lease, **quick)
    worker = WorkerSettings(lease=lease, fetch_timeout=min(45.0, lease * 3), **quick)
    return Config(app_id=env["RX_APP_ID"], app_secret=env["RX_APP_SECRET"], verify_token=env["RX_VERIFY"],
                  trust_loopback=True, role=env.get("RX_ROLE", "both"), forward=forward, worker=worker)


async def serve() -> None:
    import aiohttp

    env = os.environ
    context = ssl.create_default_context(cafile=env["RX_SANDBOX_CA"])
    connector = aiohttp.TCPConnector(resolver=SandboxResolver(HOSTS, int(env["RX_SANDBOX_PORT"])),
                                     ssl=context, use_dns_cache=False)
    # The name travels with each Graph request, so the sandbox's side of a test can tell the
    # processes apart.
    session = aiohttp.ClientSession(connector=connector, trust_env=False,
                                    headers={"X-Receiver": env.get("RX_NAME", "")})
    cfg = config()
    retry = {"retry": RetryPolicy(attempts=2, backoff_base=0.05, jitter=False)} if QUICK else {}
    facebook = Facebook(app_id=cfg.app_id, app_secret=cfg.app_secret, session=session, **retry)
    runner = web.AppRunner(create_app(env["RX_DB"], cfg, facebook=facebook), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", int(env.get("RX_PORT", "0")))
    await site.start()
    print("port", site._server.sockets[0].getsockname()[1], flush=True)  # type: ignore[union-attr]
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    await runner.cleanup()
    await facebook.close()
    await session.close()


if __name__ == "__main__":
    if os.environ.get("RX_PROFILE"):  # a file for the profile of the whole run, written at SIGTERM
        import cProfile
        import time

        # CPU time, not the wall clock: on a shared machine a process that is not running would
        # charge the wait to whatever function it was in.
        profile = cProfile.Profile(time.process_time)
        profile.runcall(asyncio.run, serve())
        profile.dump_stats(os.environ["RX_PROFILE"])
    else:
        asyncio.run(serve())
