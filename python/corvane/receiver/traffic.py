"""Deliveries in hand, for a worker that shares their event loop: Meta waits for each 200 and
sends again what is answered late, while a lead already recorded can wait a moment longer. A
worker's claim waits until no delivery is being handled, but never longer than it is told."""
from __future__ import annotations

import asyncio


class Traffic:
    def __init__(self) -> None:
        self.handling = 0
        self._quiet = asyncio.Event()
        self._quiet.set()

    def begin(self) -> None:
        self.handling += 1
        if self.handling == 1:
            self._quiet.clear()

    def end(self) -> None:
        self.handling -= 1
        if not self.handling:
            self._quiet.set()

    async def quiet(self, most: float) -> None:
        """Returns once no delivery is being handled, or after `most` seconds whatever comes."""
        if self.handling and most > 0:
            try:
                await asyncio.wait_for(self._quiet.wait(), most)
            except asyncio.TimeoutError:
                pass
