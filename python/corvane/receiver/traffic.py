"""Deliveries arriving, for a worker that shares their event loop: Meta waits for each 200 and
sends again what is answered late, while a lead already recorded can wait a moment longer. In a
burst (deliveries coming faster than BURST_COUNT in BURST_WINDOW seconds) a worker's claim waits
for the burst to end, but never longer than it is told; a steady stream slower than that is
not waited for at all."""
from __future__ import annotations

import asyncio
import collections

BURST_COUNT = 20
BURST_WINDOW = 0.02  # 20 deliveries in 20 ms: a thousand a second
_LOOK_AGAIN = 0.01


class Traffic:
    def __init__(self) -> None:
        self._arrivals: collections.deque[float] = collections.deque(maxlen=BURST_COUNT)

    def arrived(self) -> None:
        self._arrivals.append(asyncio.get_running_loop().time())

    def bursting(self, now: float) -> bool:
        arrivals = self._arrivals
        return len(arrivals) == BURST_COUNT and now - arrivals[0] < BURST_WINDOW

    async def calm(self, most: float) -> None:
        """Returns once no burst is going on, or after `most` seconds whatever comes."""
        loop = asyncio.get_running_loop()
        now = loop.time()
        deadline = now + most
        while now < deadline and self.bursting(now):
            await asyncio.sleep(min(_LOOK_AGAIN, deadline - now))
            now = loop.time()
