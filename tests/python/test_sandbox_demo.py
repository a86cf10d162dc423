"""`python -m corvane demo` (what `make demo` runs) goes the whole road and says so."""
from __future__ import annotations

import os
import re
import stat
import subprocess
import sys


def test_demo_stores_three_leads(tmp_path):
    db = tmp_path / "demo.sqlite3"
    done = subprocess.run([sys.executable, "-m", "corvane", "demo", "--db", str(db), "--outage", "1"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert str(db) in out
    assert "4 deliveries received, 1 duplicate(s) skipped" in out and "3 leads stored" in out
    for name in ("Oliver Bennett", "Nodira Tursunova", "Игорь Волков"):
        assert name in out
    # Each stored lead reached the forward target, signed, under its own id as the key.
    leads = re.findall(r"^\d\. lead (\d+) delivered", out, re.M)
    assert len(leads) == 3 and "received 3 leads, each signed (X-Corvane-Signature-256 valid)" in out
    assert f"Idempotency-Key: {', '.join(sorted(leads))}\n" in out
    assert stat.S_IMODE(os.stat(db).st_mode) == 0o600


def test_demo_refuses_an_existing_file(tmp_path):
    db = tmp_path / "demo.sqlite3"
    db.write_bytes(b"")
    done = subprocess.run([sys.executable, "-m", "corvane", "demo", "--db", str(db)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and db.read_bytes() == b""


def test_offline_example_runs():
    from pathlib import Path

    example = Path(__file__).resolve().parents[2] / "examples" / "offline_demo.py"
    done = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
