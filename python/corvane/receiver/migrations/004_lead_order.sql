-- The order leads were committed in, for a CRM that pulls them with a cursor: numbered inside
-- the committing transaction while no other can commit a lead, so a reader that has seen
-- number n never meets a later commit with a smaller one.
ALTER TABLE leads ADD COLUMN seq BIGINT;
UPDATE leads SET seq = numbered.n FROM (
    SELECT leadgen_id, ROW_NUMBER() OVER (ORDER BY stored_at, leadgen_id) AS n FROM leads
) AS numbered WHERE leads.leadgen_id = numbered.leadgen_id;
CREATE UNIQUE INDEX leads_seq ON leads (seq);
