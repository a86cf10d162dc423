"""`python -m corvane receiver` as an operator runs it."""
from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest


def run(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "corvane", *args], capture_output=True, text=True,
                          timeout=60, env=env)


@pytest.mark.parametrize("args, code", [((), 2), (("--help",), 0), (("nonsense",), 2)])
def test_commands(args, code):
    assert run(*args).returncode == code


def test_receiver_needs_its_credentials():
    env = {k: v for k, v in os.environ.items() if not k.startswith(("FACEBOOK_", "META_"))}
    done = run("receiver", env=env)
    assert done.returncode == 2 and "FACEBOOK_APP_ID" in done.stderr


def test_receiver_serves_the_handshake_and_never_logs_a_query(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, FACEBOOK_APP_ID="1", FACEBOOK_APP_SECRET="secret-sentinel-31",
               META_VERIFY_TOKEN="vt", CORVANE_ADMIN_TOKEN="admin-sentinel-31")
    db = tmp_path / "r.sqlite3"
    proc = subprocess.Popen([sys.executable, "-m", "corvane", "receiver", "--db", str(db), "--port", str(port)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
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
        answer = urllib.request.urlopen(
            base + "/webhook?hub.mode=subscribe&hub.verify_token=vt&hub.challenge=77", timeout=5).read()
        assert answer == b"77"

        class NoRedirect(urllib.request.HTTPRedirectHandler):
            def redirect_request(self, *args, **kwargs):
                return None

        opener = urllib.request.build_opener(NoRedirect)
        with pytest.raises(urllib.error.HTTPError) as info:
            opener.open(base + "/connect?admin_token=admin-sentinel-31", timeout=5)
        assert info.value.code == 302
    finally:
        proc.terminate()
        out, _ = proc.communicate(timeout=30)
    assert "/connect" in out  # the access log is there ...
    assert "admin-sentinel-31" not in out and "secret-sentinel-31" not in out  # ... without queries
