"""A lead receiver for Meta's webhooks: records each delivery's events under their
de-duplication keys, then fetches, enriches, normalises and stores each lead from a worker.

    app = create_app("leads.sqlite3", Config(app_id=..., app_secret=..., verify_token=...))
    web.run_app(app)
"""
from .app import STATS, STORE, WORKER, Config, Stats, create_app
from .store import LeadRecord, NewEvent, Store, open_store
from .worker import WorkerSettings

__all__ = ("STATS", "STORE", "WORKER", "Config", "LeadRecord", "NewEvent", "Stats", "Store",
           "WorkerSettings", "create_app", "open_store")
