"""One log line per kind of failure per interval: while the database is down every delivery
and every worker fails the same way, and a traceback each would bury everything else."""
from __future__ import annotations

import logging
import time


class OutageLog:
    def __init__(self, log: logging.Logger, interval: float = 30.0) -> None:
        self.log = log
        self.interval = interval
        self._last: dict[str, float] = {}
        self._muted: dict[str, int] = {}

    def failed(self, where: str, error: BaseException, detail: str, *, level: int = logging.ERROR) -> None:
        """Logs `where: detail` unless the same kind of failure at the same place was logged
        less than an interval ago; the next line says how many were left out."""
        kind = f"{where}:{type(error).__name__}"
        now = time.monotonic()
        last = self._last.get(kind)
        if last is not None and now - last < self.interval:
            self._muted[kind] = self._muted.get(kind, 0) + 1
            return
        self._last[kind] = now
        muted = self._muted.pop(kind, 0)
        more = f" (oldingi {self.interval:.0f}s ichida yana {muted} marta)" if muted else ""
        self.log.log(level, "%s: %s%s", where, detail, more)

    def recovered(self, where: str) -> None:
        """A success at `where`: once the interval is over, says how many failures were left
        out (a flapping database still gets one line per interval)."""
        if not self._muted:
            return
        now = time.monotonic()
        for kind in [k for k in self._muted if k.startswith(where + ":")]:
            if now - self._last.get(kind, now) >= self.interval:
                muted = self._muted.pop(kind)
                self.log.info("%s: yana ishlayapti (%d ta xato jurnalga yozilmadi)", where, muted)
