"""Receivers as separate processes on one PostgreSQL database: a burst spread across them with
repeats landing on another process, one process killed with SIGKILL while it holds claims."""
from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from aiohttp import web
from loopback import serve

LEASE = 3.0
RUNNER = Path(__file__).with_name("receiver_proc.py")
VERIFY = "verify-sentinel-5ca1e"


class Process:
    """One `receiver_proc.py`, started and reporting its port."""

    def __init__(self, name: str, proc: asyncio.subprocess.Process, port: int) -> None:
        self.name, self.proc, self.base = name, proc, f"http://127.0.0.1:{port}"

    @classmethod
    async def start(cls, name: str, env: dict[str, str], logs: Path) -> Process:
        with open(logs / f"{name}.log", "wb") as err:
            proc = await asyncio.create_subprocess_exec(
                sys.executable, str(RUNNER), env={**os.environ, **env, "RX_NAME": name},
                stdout=asyncio.subprocess.PIPE, stderr=err)
        assert proc.stdout is not None
        line = await asyncio.wait_for(proc.stdout.readline(), 60)
        assert line.startswith(b"port "), (line, (logs / f"{name}.log").read_text())
        return cls(name, proc, int(line.split()[1]))

    async def stop(self) -> None:
        if self.proc.returncode is None:
            self.proc.kill()
        await self.proc.wait()


class Gate:
    """Stands in front of the sandbox's Graph host: records which process asked for what and
    when, and holds every request while closed."""

    def __init__(self, handle: Any) -> None:
        self.handle = handle
        self.open = asyncio.Event()
        self.open.set()
        self.seen: list[tuple[str, float, str]] = []

    async def __call__(self, request: web.Request) -> web.StreamResponse:
        body = (await request.read()).decode(errors="replace")
        self.seen.append((request.headers.get("X-Receiver", ""), time.monotonic(), request.path_qs + body))
        await self.open.wait()
        return await self.handle(request)

    def asked(self, name: str, ids: list[str]) -> dict[str, float]:
        """When `name` first asked for each of `ids`."""
        first: dict[str, float] = {}
        for who, at, text in self.seen:
            if who == name:
                for lead in ids:
                    if lead in text:
                        first.setdefault(lead, at)
        return first


async def wait_for(check: Any, timeout: float, what: str) -> None:
    deadline = time.monotonic() + timeout
    while not await check():
        assert time.monotonic() < deadline, f"timed out: {what}"
        await asyncio.sleep(0.05)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
async def test_receivers_in_processes_share_deliveries_and_survive_a_kill(postgres_db, tmp_path):
    import asyncpg

    from corvane.sandbox import Sandbox

    forwarded: Counter[str] = Counter()

    async def crm(request: web.Request) -> web.Response:
        await request.read()
        forwarded[request.headers["Idempotency-Key"]] += 1
        return web.Response(text="ok")

    crm_app = web.Application()
    crm_app.router.add_post("/crm", crm)
    crm_runner, crm_base = await serve(crm_app)

    db = await asyncpg.connect(postgres_db)
    processes: list[Process] = []
    async with Sandbox() as sb:
        gate = Gate(sb.graph.handle)
        sb.graph.handle = gate  # type: ignore[method-assign]
        ca = tmp_path / "ca.pem"
        sb._certs.ca.cert_pem.write_to_path(str(ca))  # type: ignore[union-attr]
        env = {"RX_DB": postgres_db, "RX_SANDBOX_PORT": str(sb.port), "RX_SANDBOX_CA": str(ca),
               "RX_APP_ID": sb.app_id, "RX_APP_SECRET": sb.app_secret, "RX_VERIFY": VERIFY,
               "RX_FORWARD_URL": crm_base + "/crm", "RX_FORWARD_SECRET": "fwd-5ca1e",
               "RX_LEASE": str(LEASE), "RX_QUICK": "1"}
        try:
            # The first creates the schema; the second finds it.
            processes.append(await Process.start("a", env, tmp_path))
            processes.append(await Process.start("b", env, tmp_path))
            a, b = processes
            async with sb.session() as browser, browser.get(a.base + "/connect") as resp:
                assert resp.status == 200, await resp.text()

            async def burst(count: int) -> list[tuple[str, bytes]]:
                """New leads delivered across both processes, a quarter repeated on the other;
                every delivery acknowledged."""
                leads = [await sb.submit_lead({"full_name": f"Lead {n}", "email": f"l{n}@example.uz"},
                                              deliver=False) for n in range(count)]
                sent = [(lead, json.dumps(sb.leadgen_payload(lead)).encode()) for lead in leads]
                plan = [((a, b)[n % 2], body) for n, (_, body) in enumerate(sent)]
                plan += [((b, a)[n % 2], body) for n, (_, body) in enumerate(sent[:count // 4])]
                async with aiohttp.ClientSession() as s:
                    async def post(to: Process, body: bytes) -> int:
                        async with s.post(to.base + "/webhook", data=body,
                                          headers={"X-Hub-Signature-256": sb.sign(body)}) as r:
                            return r.status
                    assert await asyncio.gather(*(post(to, body) for to, body in plan)) == [200] * len(plan)
                return sent

            async def settled(total: int) -> bool:
                row = await db.fetchrow("SELECT count(*) AS stored, count(*) FILTER (WHERE "
                                        "forward_status = 'sent') AS sent FROM leads")
                return row["stored"] == total and row["sent"] == total

            first = await burst(40)
            await wait_for(lambda: settled(40), 30, "the first burst stored and forwarded")

            gate.open.clear()  # lead fetches stall: the claims stay held
            second = await burst(40)
            ids = [lead for lead, _ in second]
            await wait_for(lambda: asyncio.sleep(0, bool(gate.asked("a", ids))), 30, "a claims")
            held_by_a = list(gate.asked("a", ids))
            a.proc.send_signal(signal.SIGKILL)
            await a.proc.wait()
            killed = time.monotonic()
            gate.open.set()
            # Repeats of what reached the dead process come to the survivor.
            async with aiohttp.ClientSession() as s:
                for lead, body in second[:10]:
                    async with s.post(b.base + "/webhook", data=body,
                                      headers={"X-Hub-Signature-256": sb.sign(body)}) as r:
                        assert r.status == 200
            await wait_for(lambda: settled(80), LEASE + 30, "the second burst stored and forwarded")

            every = [lead for lead, _ in first] + ids
            stored = await db.fetch("SELECT leadgen_id FROM leads")
            assert sorted(r["leadgen_id"] for r in stored) == sorted(every)
            assert forwarded == Counter(every)  # each lead handed on once
            assert await db.fetchval("SELECT count(*) FROM events WHERE status <> 'done'") == 0
            taken = gate.asked("b", held_by_a)
            assert sorted(taken) == sorted(held_by_a)  # the survivor took over every claim ...
            assert max(taken.values()) - killed < LEASE + 3.0  # ... once their lease ran out
        finally:
            await asyncio.gather(*(p.stop() for p in processes))
            await db.close()
            await crm_runner.cleanup()
