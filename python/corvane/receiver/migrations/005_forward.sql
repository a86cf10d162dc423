-- Handing each stored lead on to a CRM's forward URL: pending until the CRM answered 2xx
-- (sent), or failed after the last attempt, with the reason. A lead is claimed while it is
-- being sent, like an event, so two receivers never send it at once.
ALTER TABLE leads ADD COLUMN forward_status TEXT NOT NULL DEFAULT 'pending';
ALTER TABLE leads ADD COLUMN forward_attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE leads ADD COLUMN forward_next_try DOUBLE PRECISION NOT NULL DEFAULT 0;
ALTER TABLE leads ADD COLUMN forward_claimed_until DOUBLE PRECISION;
ALTER TABLE leads ADD COLUMN forward_error TEXT;
CREATE INDEX leads_forward_due ON leads (forward_status, forward_next_try);
