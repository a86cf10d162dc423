"""A lead receiver for Meta's webhooks: records each delivery's events under their
de-duplication keys, then fetches, enriches, normalises and stores each lead from a worker.

    app = create_app("leads.sqlite3", Config(app_id=..., app_secret=..., verify_token=...,
                                             admin_token=...))
    web.run_app(app)

The admin routes (/connect, /pages, /leads) need the admin token; aiohttp's access log keeps
no query string (login codes and tokens travel there).
"""
from .app import STATS, STORE, WORKER, Config, Stats, StoreUnavailable, create_app
from .forward import ForwardSettings
from .store import LeadRecord, NewEvent, Store, open_store
from .worker import WorkerSettings

__all__ = ("STATS", "STORE", "WORKER", "Config", "ForwardSettings", "LeadRecord", "NewEvent", "Stats", "Store",
           "StoreUnavailable", "WorkerSettings", "create_app", "open_store")
