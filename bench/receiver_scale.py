"""Receiver scaling figures, with the workers on: deliveries acknowledged per second by one and by
two receiver processes on one PostgreSQL database, and by a `--role receive` process with a
`--role work` process beside it, against a bare aiohttp.web handler that only
answers 200 to the same senders (the ceiling); the p99 acknowledgement latency of one receiver
at 200 deliveries per second; how soon a receiver killed with SIGKILL has its claims taken over;
and whether any acknowledged delivery was lost.

Every receiver is `tests/python/receiver_proc.py`, a process of its own with the worker's
default settings, fetching each lead from a sandbox that runs in this process (its throttles
off). Between rounds the workers finish the backlog, so that each round starts alike. The
senders are bench/senders.py, as for the other receiver figures.
"""

from __future__ import annotations

import asyncio
import os
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import asyncpg  # type: ignore[import-untyped]
from aiohttp import web

from corvane.sandbox import Sandbox, Strictness, Usage
from corvane.sandbox.world import AD_ID, FORM_ID, LeadRec

FIRST_LEAD = 444_000_000_000_000  # bench/senders.py numbers its leads from here
RUNNER = Path(__file__).resolve().parents[1] / "tests" / "python" / "receiver_proc.py"
BURST = 1000
RATE = 200
AT_RATE = 600  # three seconds at RATE
LEASE = 5.0
VERIFY = "bench-verify"

Row = tuple[str, str, float, float, str, str, bool]


class Process:
    """A receiver (or the bare handler) as a process of its own, on a free port."""

    def __init__(self, proc: asyncio.subprocess.Process, port: int) -> None:
        self.proc, self.port = proc, port

    @classmethod
    async def start(cls, args: list[str], env: dict[str, str]) -> Process:
        proc = await asyncio.create_subprocess_exec(sys.executable, *args, env={**os.environ, **env},
                                                    stdout=asyncio.subprocess.PIPE)
        assert proc.stdout is not None
        line = await asyncio.wait_for(proc.stdout.readline(), 60)
        assert line.startswith(b"port "), line
        return cls(proc, int(line.split()[1]))

    async def stop(self, sig: int = signal.SIGTERM) -> None:
        if self.proc.returncode is None:
            self.proc.send_signal(sig)
        try:
            await asyncio.wait_for(self.proc.wait(), 30)
        except asyncio.TimeoutError:
            self.proc.kill()
            await self.proc.wait()


class Gate:
    """In front of the sandbox's Graph host: holds requests while closed, and notes which
    receiver asked for which lead and when."""

    def __init__(self, handle: Any) -> None:
        self.handle = handle
        self.open = asyncio.Event()
        self.open.set()
        self.seen: list[tuple[str, float, str]] = []
        self.watch = False

    async def __call__(self, request: web.Request) -> web.StreamResponse:
        if self.watch:
            body = (await request.read()).decode(errors="replace")
            self.seen.append((request.headers.get("X-Receiver", ""), time.monotonic(), request.path_qs + body))
        await self.open.wait()
        return await self.handle(request)

    def asked(self, name: str, ids: list[str], since: float = 0.0) -> dict[str, float]:
        first: dict[str, float] = {}
        for who, at, text in self.seen:
            if who == name and at >= since:
                for lead in ids:
                    if lead in text:
                        first.setdefault(lead, at)
        return first


class Bench:
    def __init__(self, sb: Sandbox, gate: Gate, dsn: str, senders: Any, ca: Path) -> None:
        self.sb, self.gate, self.dsn, self.senders = sb, gate, dsn, senders
        self.page = sb.world.forms[FORM_ID]["page_id"]
        self.env = {"RX_SANDBOX_PORT": str(sb.port), "RX_SANDBOX_CA": str(ca), "RX_APP_ID": sb.app_id,
                    "RX_APP_SECRET": sb.app_secret, "RX_VERIFY": VERIFY}
        self.acknowledged = 0  # distinct events in deliveries answered 200
        self.lost = 0
        self.started: list[Process] = []  # stopped at the end whatever happens

    async def process(self, args: list[str], env: dict[str, str]) -> Process:
        self.started.append(await Process.start(args, env))
        return self.started[-1]

    def batch(self, count: int, **extra: Any) -> dict[str, Any]:
        """A batch of the senders, its leads made in the sandbox on its connected Page."""
        command = {**self.senders.batch(count), "page": self.page, "secret": self.sb.app_secret, **extra}
        now = time.time()
        for number in range(command["first"], command["first"] + 3 * count):
            lead = str(FIRST_LEAD + number)
            self.sb.world.leads[lead] = LeadRec(lead, FORM_ID, self.page, AD_ID, now,
                                                {"full_name": "Bench Lead", "email": f"{lead}@example.uz"})
        return command

    async def database(self, name: str) -> tuple[str, asyncpg.Connection]:
        admin = await asyncpg.connect(self.dsn)
        try:
            await admin.execute(f"CREATE DATABASE {name}")
        finally:
            await admin.close()
        dsn = self.dsn.rsplit("/", 1)[0] + "/" + name
        return dsn, await asyncpg.connect(dsn)

    async def receivers(self, dsn: str, count: int, *, roles: tuple[str, ...] = (),
                        **env: str) -> list[Process]:
        """`count` receivers with role "both", or one of each of `roles`; the Page is connected
        through the first, which must receive."""
        started = []
        for n, role in enumerate(roles or ("both",) * count):  # in turn: the first makes the schema
            started.append(await self.process([str(RUNNER)], {**self.env, "RX_DB": dsn, "RX_ROLE": role,
                                                              "RX_NAME": f"r{n}", **env}))
        async with self.sb.session() as browser, \
                browser.get(f"http://127.0.0.1:{started[0].port}/connect") as resp:
            assert resp.status == 200, await resp.text()
        return started

    async def send(self, ports: list[int], command: dict[str, Any]) -> dict[str, Any]:
        result = await self.senders.send({**command, "ports": ports})
        assert result["statuses"] == {"200": command["count"]}, result["statuses"]
        return result

    async def stored(self, db: asyncpg.Connection, before: int, result: dict[str, Any]) -> None:
        """Every event acknowledged is in the database, and the workers are through with it."""
        self.acknowledged += result["distinct"]
        self.lost += max(0, before + result["distinct"] - await db.fetchval("SELECT count(*) FROM events"))
        deadline = time.monotonic() + 120
        while pending := await db.fetchval("SELECT count(*) FROM events WHERE status = 'pending'"):
            assert time.monotonic() < deadline, f"the workers left {pending} events pending"
            await asyncio.sleep(0.1)

    async def throughput(self, rounds: int) -> list[Row]:
        bare = await self.process([__file__, "--bare"], {})
        one_dsn, one_db = await self.database("scale_one")
        two_dsn, two_db = await self.database("scale_two")
        split_dsn, split_db = await self.database("scale_split")
        one = await self.receivers(one_dsn, 1)
        two = await self.receivers(two_dsn, 2)
        split = await self.receivers(split_dsn, 0, roles=("receive", "work"))
        sides = {"ceiling": ([bare.port], None), "one": ([one[0].port], one_db),
                 "two": ([p.port for p in two], two_db), "split": ([split[0].port], split_db)}
        rates: dict[str, list[float]] = {side: [] for side in sides}
        try:
            for side, (ports, db) in sides.items():  # warm: connections, statements, the sandbox
                before = await db.fetchval("SELECT count(*) FROM events") if db else 0
                result = await self.send(ports, self.batch(200))
                if db is not None:
                    await self.stored(db, before, result)
            for i in range(rounds):
                order = list(sides) if i % 2 == 0 else list(reversed(sides))
                command = self.batch(BURST)
                for side in order:
                    ports, db = sides[side]
                    before = await db.fetchval("SELECT count(*) FROM events") if db else 0
                    result = await self.send(ports, command)
                    rates[side].append(BURST / result["seconds"])
                    if db is not None:
                        await self.stored(db, before, result)
            p99s: list[float] = []
            bare_p99s: list[float] = []
            for _ in range(3):
                before = await one_db.fetchval("SELECT count(*) FROM events")
                command = self.batch(AT_RATE, rate=RATE)
                result = await self.send([one[0].port], command)
                p99s.append(result["p99"] * 1000)
                await self.stored(one_db, before, result)
                bare_p99s.append((await self.send([bare.port], command))["p99"] * 1000)
        finally:
            for process in [bare, *one, *two, *split]:
                await process.stop()
            for db in (one_db, two_db, split_db):
                await db.close()
        ceiling = statistics.median(rates["ceiling"])
        one_rate, two_rate = statistics.median(rates["one"]), statistics.median(rates["two"])
        one_ratio = statistics.median(o / c for o, c in zip(rates["one"], rates["ceiling"]))
        two_ratio = statistics.median(t / c for t, c in zip(rates["two"], rates["ceiling"]))
        split_ratio = statistics.median(s / c for s, c in zip(rates["split"], rates["ceiling"]))
        print(f"workers on, per s of each round: bare {_list(rates['ceiling'], '.0f')}; "
              f"1 receiver {_list(rates['one'], '.0f')}; 2 receivers {_list(rates['two'], '.0f')}; "
              f"1 receive + 1 work process {_list(rates['split'], '.0f')}; "
              f"p99 at {RATE}/s of each run: 1 receiver {_list(p99s, '.1f')} ms, bare "
              f"{_list(bare_p99s, '.1f')} ms")
        p99 = statistics.median(p99s)
        return [("1 receiver+workers, per s", "bare aiohttp", one_rate, ceiling,
                 f"{one_ratio:.2f}x", ">= 0.60x", one_ratio >= 0.6),
                ("2 receivers+workers, per s", "bare aiohttp", two_rate, ceiling,
                 f"{two_ratio:.2f}x", "-", True),
                ("1 receive + 1 work process, per s", "bare aiohttp", statistics.median(rates["split"]),
                 ceiling, f"{split_ratio:.2f}x", "-", True),
                (f"workers on, p99 ms at {RATE}/s", "bare aiohttp", p99, statistics.median(bare_p99s),
                 "-", "< 30 ms", p99 < 30)]

    async def takeover(self) -> list[Row]:
        """Two receivers with a short lease; the Graph API stalls, so that the first holds its
        claims when it is killed; the time until the second asks for each of them."""
        dsn, db = await self.database("scale_kill")
        a, b = await self.receivers(dsn, 2, RX_LEASE=str(LEASE))
        try:
            self.gate.watch = True
            self.gate.open.clear()
            command = self.batch(200)
            result = await self.send([a.port], command)
            ids = [str(FIRST_LEAD + n) for n in range(command["first"], command["first"] + 3 * 200)]
            deadline = time.monotonic() + 60
            while not self.gate.asked("r0", ids):
                assert time.monotonic() < deadline, "the first receiver claimed nothing"
                await asyncio.sleep(0.05)
            held = list(self.gate.asked("r0", ids))
            await a.stop(signal.SIGKILL)
            killed = time.monotonic()
            self.gate.open.set()
            await self.stored(db, 0, result)
            taken = self.gate.asked("r1", held, since=killed)
            leads = await db.fetchval("SELECT count(*) FROM leads")
            self.lost += result["distinct"] - leads
        finally:
            self.gate.watch = False
            self.gate.open.set()
            await a.stop(signal.SIGKILL)
            await b.stop()
            await db.close()
        assert sorted(taken) == sorted(held), "claims of the killed receiver left untaken"
        after = max(taken.values()) - killed
        print(f"killed while holding {len(held)} claims: all taken over {after:.2f} s later "
              f"(lease {LEASE:g} s, poll 1 s)")
        return [("killed one's claims taken, s", "lease", after, LEASE, "-",
                 "<= lease + poll", after <= LEASE + 1.0)]


def _list(values: list[float], form: str) -> str:
    return ", ".join(format(v, form) for v in values)


async def scale_figures(dsn: str, senders: Any, rounds: int) -> list[Row]:
    # The three databases' workers fetch every lead of every round, and tens of thousands of
    # calls in minutes would bring the app's reported usage to 90 % and the workers, as they
    # should, to pacing themselves one call a second: a backlog of thousands then outlasts the
    # wait between rounds. The budgets are the pacing figures' subject, not these.
    sb = Sandbox(rate_limit=(10**9, 60.0), strict=Strictness(budgets=False),
                 usage=Usage(app_calls=10**9))
    async with sb:
        gate = Gate(sb.graph.handle)
        sb.graph.handle = gate  # type: ignore[method-assign]
        with tempfile.TemporaryDirectory() as folder:
            ca = Path(folder) / "ca.pem"
            sb._certs.ca.cert_pem.write_to_path(str(ca))  # type: ignore[union-attr]
            bench = Bench(sb, gate, dsn, senders, ca)
            try:
                rows = await bench.throughput(rounds)
                rows += await bench.takeover()
            finally:
                for process in bench.started:
                    await process.stop(signal.SIGKILL)
    rows.append(("acknowledged deliveries lost", "-", float(bench.lost), float(bench.acknowledged),
                 "-", "0", bench.lost == 0))
    return rows


async def bare() -> None:
    """The ceiling: an aiohttp.web handler that reads the body and answers 200."""
    async def delivery(request: web.Request) -> web.Response:
        await request.read()
        return web.Response(text="EVENT_RECEIVED")

    app = web.Application()
    app.router.add_post("/webhook", delivery)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print("port", site._server.sockets[0].getsockname()[1], flush=True)  # type: ignore[union-attr]
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    await runner.cleanup()


if __name__ == "__main__" and sys.argv[1:] == ["--bare"]:
    asyncio.run(bare())
