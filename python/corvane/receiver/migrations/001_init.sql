-- One schema for SQLite and PostgreSQL: plain types both understand, times as Unix seconds.

-- Every event of every delivery, under its de-duplication key: a repeated delivery finds its
-- key here and is skipped. Lead events wait here as "pending" until a worker has stored the
-- lead; the others are kept as "ignored".
CREATE TABLE events (
    key TEXT PRIMARY KEY,
    object_type TEXT NOT NULL,
    field TEXT NOT NULL,
    page_id TEXT,
    leadgen_id TEXT,
    payload TEXT NOT NULL,
    status TEXT NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    next_try DOUBLE PRECISION NOT NULL,
    claimed_until DOUBLE PRECISION,
    error TEXT,
    received_at DOUBLE PRECISION NOT NULL,
    done_at DOUBLE PRECISION
);

CREATE INDEX events_due ON events (status, next_try);

-- Pages connected through the login flow, with the token each is read with.
CREATE TABLE pages (
    page_id TEXT PRIMARY KEY,
    name TEXT,
    access_token TEXT NOT NULL,
    user_token TEXT,
    connected_at DOUBLE PRECISION NOT NULL
);

-- The CRM records: normalised fields, the custom answers, the ad context and the raw lead.
CREATE TABLE leads (
    leadgen_id TEXT PRIMARY KEY,
    event_key TEXT NOT NULL REFERENCES events (key),
    page_id TEXT,
    form_id TEXT,
    ad_id TEXT,
    created_time TEXT,
    fields TEXT NOT NULL,
    custom TEXT NOT NULL,
    ad_context TEXT NOT NULL,
    raw TEXT NOT NULL,
    stored_at DOUBLE PRECISION NOT NULL
);

-- Login `state` values handed out by /connect: single use, short lived.
CREATE TABLE oauth_states (
    state TEXT PRIMARY KEY,
    redirect_uri TEXT NOT NULL,
    expires_at DOUBLE PRECISION NOT NULL
);
