"""The stubs under mypy --strict: what a host writes passes, the usual slips are flagged."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"


def test_stubs_flag_the_marked_mistakes_and_nothing_else():
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
         os.devnull, str(TYPING)],
        capture_output=True, text=True, env=env, cwd=ROOT,
    )
    flagged = {
        (Path(path).name, int(line))
        for path, line in re.findall(r"^(\S+\.py):(\d+): error:", done.stdout, re.M)
    }
    marked = {
        (path.name, number)
        for path in TYPING.glob("*.py")
        for number, text in enumerate(path.read_text().splitlines(), 1)
        if "# error:" in text
    }
    assert marked, "no marked lines found"
    assert flagged == marked, done.stdout
