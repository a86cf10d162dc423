"""A throw-away PostgreSQL server for the test session: initdb and pg_ctl in a temporary
folder, listening on a free loopback port (run as the postgres user when the tests run as
root, since the server refuses to run as root)."""
from __future__ import annotations

import glob
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path


def _bin(name: str) -> str:
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), key=lambda p: int(p.split("/")[4]))
    path = found[-1] if found else shutil.which(name)
    if not path:
        raise RuntimeError(f"{name} not found: make setup installs Debian's postgresql")
    return path


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class PostgresServer:
    def __init__(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="corvane-pg-"))
        self.data = self.root / "data"
        self.port = _free_port()
        self._as_postgres = os.geteuid() == 0

    def _run(self, *args: str) -> None:
        cmd = list(args)
        if self._as_postgres:
            cmd = ["runuser", "-u", "postgres", "--", *cmd]
        # The server is no code of ours: a sanitizer run's preload and allocator settings stay out.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       timeout=120, env=env)

    def start(self) -> str:
        if self._as_postgres:
            shutil.chown(self.root, "postgres", "postgres")
        self._run(_bin("initdb"), "-D", str(self.data), "-U", "postgres", "-A", "trust",
                  "-E", "UTF8", "--locale=C")
        options = (f"-p {self.port} -k {self.root} -c listen_addresses=127.0.0.1 -c fsync=off "
                   "-c synchronous_commit=off -c full_page_writes=off -c max_connections=60")
        self._run(_bin("pg_ctl"), "-D", str(self.data), "-o", options,
                  "-l", str(self.root / "server.log"), "-w", "-t", "60", "start")
        return f"postgresql://postgres@127.0.0.1:{self.port}/postgres"

    def stop(self) -> None:
        try:
            self._run(_bin("pg_ctl"), "-D", str(self.data), "-m", "immediate", "-w", "stop")
        except (subprocess.SubprocessError, OSError):
            time.sleep(0.1)
        shutil.rmtree(self.root, ignore_errors=True)
