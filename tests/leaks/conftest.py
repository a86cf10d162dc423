"""The leak suite runs only on a debug interpreter; the baseline is measured once per run."""
from __future__ import annotations

import os

# The accelerators of aiohttp and its helpers are built for the release interpreter; loaded
# into the debug one they crash. Their pure-Python code is chosen at import time.
for _name in ("AIOHTTP", "MULTIDICT", "YARL", "FROZENLIST", "PROPCACHE"):
    os.environ[f"{_name}_NO_EXTENSIONS"] = "1"

import asyncio  # noqa: E402
import json  # noqa: E402
import logging  # noqa: E402
import sys  # noqa: E402
import warnings
from pathlib import Path

import aiohttp  # noqa: E402
import pytest  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent))
# After this folder, so that its own conftest and harness come first: the Python suite's
# loopback.py serves the harness too.
sys.path.append(str(Path(__file__).parents[1] / "python"))
from harness import Growth, Server, debug_interpreter, growth  # noqa: E402

# The retry log lines are made (their arguments included) but go nowhere: a capturing handler
# would keep every record, which is growth of the test's own. pytest's log capture is off
# for the same reason (make test-leaks runs it with -p no:logging).
logging.getLogger("corvane").addHandler(logging.NullHandler())

# Noise left after the baseline is taken into account, per request made in one iteration. A
# missing decref on any path leaks at least one reference (and usually a block) per pass.
REFS_NOISE = 0.4
BLOCKS_NOISE = 0.4


def pytest_collection_modifyitems(config, items):
    if not debug_interpreter():
        skip = pytest.mark.skip(reason="needs a debug interpreter (make test-leaks)")
        for item in items:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def baseline() -> Growth:
    """A plain aiohttp request with query parameters, its JSON body decoded."""

    async def main() -> Growth:
        async with Server() as server, aiohttp.ClientSession() as session:
            url = server.url("/plain")

            async def step() -> None:
                async with session.get(url, params={"fields": "id,name"}) as response:
                    json.loads(await response.text())

            return await growth(step)

    result = asyncio.run(main())
    print(f"\nbaseline, one plain aiohttp request: {result}")
    return result


@pytest.fixture
def flat(baseline):
    """Asserts that a loop's growth stays within the baseline's noise. `measure` runs the loop
    and returns its Growth; `requests` is the number of requests one iteration makes (0 for
    loops that send nothing). A first-time cost (a cache filled, a table grown) can lift one
    measurement; a leak lifts every one, so a loop over the limit is measured again, twice."""

    def check(measure, requests: int = 1, reference=None) -> None:
        scale = max(requests, 1)
        seen = []
        for _ in range(3):
            base = baseline
            if reference is not None:
                # The HTTP layer itself keeps something on this path (a connection attempt
                # left behind when its awaiting code is closed, a cancelled wait): the same
                # awaits written as a native coroutine, measured afresh each time, are the
                # measure.
                native = reference()
                base = Growth(native.refs / scale, native.blocks / scale)
            allowed_refs = max(base.refs, 0) * scale + REFS_NOISE * scale
            allowed_blocks = max(base.blocks, 0) * scale + BLOCKS_NOISE * scale
            measured = measure()
            if measured.refs <= allowed_refs and measured.blocks <= allowed_blocks:
                return
            seen.append(f"{measured} (allowed {allowed_refs:.3f} refs/it, "
                        f"{allowed_blocks:.3f} blocks/it)")
        pytest.fail(f"grows {'; '.join(seen)}; baseline {baseline}")

    return check


def run(main):
    """Runs one leak loop on a fresh event loop, without the "never awaited" noise that the
    dropped-coroutine paths make on purpose."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return asyncio.run(main())
