"""Reproducers of memory faults run in their own interpreter: a fault that would kill the test
process shows as the child's exit status instead. The debug allocator fills freed memory, so a
use after free fails for certain rather than by chance."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_isolated(code: str, timeout: float = 300) -> str:
    """Runs `code` in a fresh interpreter and returns its stdout; fails the test with the
    child's stderr when it does not exit with status 0."""
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONFAULTHANDLER="1")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout
