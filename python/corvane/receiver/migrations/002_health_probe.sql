-- One row that /health writes, to show that the database takes writes.
CREATE TABLE health_probe (
    id INTEGER PRIMARY KEY,
    written_at DOUBLE PRECISION NOT NULL
);
