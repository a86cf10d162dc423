"""`python -m corvane receiver --sandbox`: offline, without the app's variables, a test lead goes
the whole road, and SIGTERM ends it cleanly."""
from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request


def test_sandbox_mode_stores_a_test_lead_and_stops_on_sigterm(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = {k: v for k, v in os.environ.items() if not k.startswith(("FACEBOOK_", "META_", "CORVANE_"))}
    proc = subprocess.Popen([sys.executable, "-m", "corvane", "receiver", "--sandbox", "--port", str(port)],
                            cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(base + "/health", timeout=1).read()
                break
            except OSError:
                assert time.monotonic() < deadline and proc.poll() is None
                time.sleep(0.1)
        # /health answers once the port is open; the Page is connected just after.
        while True:
            request = urllib.request.Request(base + "/sandbox/lead", data=b'{"full_name": "Aziza Karimova"}',
                                             headers={"Content-Type": "application/json"})
            try:
                sent = json.loads(urllib.request.urlopen(request, timeout=5).read())
                break
            except OSError:
                assert time.monotonic() < deadline
                time.sleep(0.1)
        assert sent["webhook_status"] == 200
        while True:
            leads = json.loads(urllib.request.urlopen(base + "/leads", timeout=5).read())
            if leads:
                break
            assert time.monotonic() < deadline
            time.sleep(0.1)
        assert leads[0]["leadgen_id"] == sent["leadgen_id"]
        assert leads[0]["fields"]["full_name"] == "Aziza Karimova"
    finally:
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=30)
    assert proc.returncode == 0, out
    assert f"curl -X POST {base}/sandbox/lead" in out
    assert not (tmp_path / "corvane-leads.sqlite3").exists()  # the operator's default store is left alone
