"""GET /metrics: the receiver's figures in Prometheus' text format, read when they are asked
for. Each app has a registry of its own, so several receivers in one process never collide.
Labels are fixed words (states, failure kinds, usage figures): never an id, a token or a text
that an error carries."""
from __future__ import annotations

import asyncio
import hmac
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING

from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
from prometheus_client.metrics_core import Metric
from prometheus_client.registry import Collector

if TYPE_CHECKING:
    from .app import Receiver

PREFIX = "corvane_receiver_"
STORE_TIMEOUT = 2.0  # a scrape answers, with the store's figures left out, while a database hangs
QUEUE_STATES = ("pending", "waiting", "failed")
PACED_STATES = ("slow", "blocked")
USAGE_FIGURES = ("call_count", "total_time", "total_cputime")


def _counter(name: str, text: str, value: float) -> CounterMetricFamily:
    return CounterMetricFamily(PREFIX + name, text, value=value)


def _gauge(name: str, text: str, value: float) -> GaugeMetricFamily:
    return GaugeMetricFamily(PREFIX + name, text, value=value)


class ReceiverCollector(Collector):
    """The process's own counters and the worker's throttle as they are at collect(); the
    store's figures as read by the scrape that calls it (None: the store did not answer)."""

    def __init__(self, receiver: Receiver) -> None:
        self.receiver = receiver
        self.store: dict[str, float | None] | None = None
        self.now = 0.0

    def collect(self) -> Iterator[Metric]:
        r = self.receiver
        yield _counter("deliveries", "Signed deliveries acknowledged", r.stats.deliveries)
        yield _counter("events", "Events in the acknowledged deliveries", r.stats.events)
        yield _counter("duplicates", "Events skipped as already recorded", r.stats.duplicates)
        failures = CounterMetricFamily(PREFIX + "fetch_failures", "Failed lead fetches by kind",
                                       labels=["kind"])
        for kind, count in sorted(r.worker.failures.items()):
            failures.add_metric([kind], count)
        yield failures
        yield _counter("forward_failures", "Failed attempts to POST a lead to the forward URL",
                       r.forwarder.failures if r.forwarder is not None else 0)
        yield from self._throttle()
        yield _gauge("store_up", "1 when the store answered this scrape", float(self.store is not None))
        if self.store is None:
            return
        events = GaugeMetricFamily(PREFIX + "events_open", "Lead events not yet stored, by state",
                                   labels=["state"])
        for state in QUEUE_STATES:
            events.add_metric([state], self.store[state] or 0)
        yield events
        oldest = self.store["oldest_pending"]
        yield _gauge("oldest_pending_seconds", "Age of the oldest lead event not yet stored (0: none)",
                     0 if oldest is None else max(0.0, self.now - oldest))
        yield _gauge("leads_stored", "Leads stored in the store", self.store["leads"] or 0)
        yield _gauge("forward_failed_leads", "Stored leads whose forward failed for good",
                     self.store["forward_failed"] or 0)

    def _throttle(self) -> Iterator[Metric]:
        usage = self.receiver.worker.facebook.usage
        paced = GaugeMetricFamily(PREFIX + "throttle_paced_budgets",
                                  "Graph API budgets being paced, by state", labels=["state"])
        for state in PACED_STATES:
            paced.add_metric([state], sum(1 for b in usage["paced"] if b["state"] == state))
        yield paced
        app = GaugeMetricFamily(PREFIX + "app_usage_percent",
                                "The Graph API app usage figures of the last answer", labels=["figure"])
        figures = usage["app"]
        for figure in USAGE_FIGURES:
            value = figures.get(figure) if figures is not None else None
            if isinstance(value, (int, float)):
                app.add_metric([figure], float(value))
        yield app


class MetricsRoute:
    def __init__(self, receiver: Receiver) -> None:
        self.receiver = receiver
        self.collector = ReceiverCollector(receiver)
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(self.collector)

    def _allowed(self, request: web.Request) -> bool:
        if self.receiver._admin(request):
            return True
        token = self.receiver.config.metrics_token
        auth = request.headers.get("Authorization", "")
        if not token or not auth.startswith("Bearer "):
            return False
        try:
            return hmac.compare_digest(auth[7:].strip().encode(), token.encode())
        except UnicodeError:  # a header that is no UTF-8: never the token
            return False

    async def handle(self, request: web.Request) -> web.Response:
        if not self._allowed(request):
            if self.receiver.config.metrics_token:
                return web.Response(status=403, text="Forbidden")
            return self.receiver._refused()
        try:
            store = await asyncio.wait_for(self.receiver.store.metrics(), STORE_TIMEOUT)
        except Exception:  # noqa: BLE001 - reported as store_up 0, never raised
            store = None
        # No await from here to the text: two scrapes at once each write their own figures.
        self.collector.store, self.collector.now = store, time.time()
        return web.Response(body=generate_latest(self.registry),
                            headers={"Content-Type": CONTENT_TYPE_LATEST})
