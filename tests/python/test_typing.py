"""The stubs under mypy --strict: what a host writes passes, the usual slips are flagged."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"


def test_stubs_flag_the_marked_mistakes_and_nothing_else(tmp_path):
    # Run as a host project runs it: from a folder of its own, with no path into this tree, so
    # that mypy must find corvane where it is installed (an editable install included).
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
         os.devnull, str(TYPING)],
        capture_output=True, text=True, env=env, cwd=tmp_path,
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
