#include "host/db/schema.h"

#include <algorithm>

#include "host/message.h"

#include "platform/ado/enrolment_schema.h"

namespace vanto::store {
namespace {

// Version 1 is the schema the first releases created without recording a version: every
// statement keeps a table that exists already, so such a database takes the step and keeps
// every row.
constexpr SchemaStep kSteps[] = {
    {1, "swipes keyed by port, terminal, person, minute and occurrence; the enrolment table",
     R"sql(
CREATE TABLE IF NOT EXISTS swipes (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM
  occurrence    INTEGER NOT NULL,  -- k-th swipe of this person in this minute, in delivery order
  swipe_time    TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM:SS, as the terminal delivered it
  downloaded_at TEXT    NOT NULL,  -- UTC time of the download that stored it
  PRIMARY KEY (port, terminal, person, minute, occurrence)
) WITHOUT ROWID;
)sql" VANTO_ENROLMENT_SQLITE_SQL,
     R"sql(
CREATE TABLE IF NOT EXISTS swipes (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT COLLATE "C" NOT NULL,
  occurrence    INTEGER NOT NULL,
  swipe_time    TEXT COLLATE "C" NOT NULL,
  downloaded_at TEXT COLLATE "C" NOT NULL,
  PRIMARY KEY (port, terminal, person, minute, occurrence)
);
)sql" VANTO_ENROLMENT_POSTGRES_SQL},
    // Standard SQL both engines take alike. swipes_by_time serves listings and reports in time
    // order (the ORDER BY of every swipe query) and their --from/--to ranges. It holds every
    // column a swipe query reads (the key's minute comes with it in SQLite), so a listing reads
    // the index alone instead of looking each row up in the table: a month's report over
    // 1,000,000 swipes took 5 s of CPU with the lookups. One index only, as every download
    // pays for each.
    {2, "people (names and departments by person number); swipes indexed by time",
     R"sql(
CREATE TABLE IF NOT EXISTS people (
  person     INTEGER NOT NULL PRIMARY KEY,
  name       TEXT    NOT NULL,
  department TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS swipes_by_time ON swipes (swipe_time, person, port, terminal, occurrence, downloaded_at);
)sql",
     R"sql(
CREATE TABLE IF NOT EXISTS people (
  person     INTEGER NOT NULL PRIMARY KEY,
  name       TEXT    NOT NULL,
  department TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS swipes_by_time ON swipes (swipe_time, person, port, terminal, occurrence, downloaded_at);
)sql"},    // Terminals that tell their identity (protocol version 2): a swipe is keyed by the terminal's
    // identity, log generation and record index; person, minute and occurrence stay columns, and
    // the old key still holds for rows without identity (every row stored so far keeps it until a
    // read of its terminal attaches identity and index). Records the driver could not convert are
    // kept apart; log_records counts, per log, what the two tables hold (kept by triggers, so a
    // sync learns whether the database holds a gap-free start of a log without counting).
    {3, "swipes keyed by terminal identity, log generation and record index; rejected records",
     R"sql(
ALTER TABLE swipes RENAME TO swipes_schema2;
CREATE TABLE swipes (
  port          INTEGER NOT NULL,  -- where the swipe was read (first)
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM
  occurrence    INTEGER NOT NULL,  -- k-th swipe of this person in this minute, in delivery order
  swipe_time    TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM:SS, as the terminal delivered it
  downloaded_at TEXT    NOT NULL,  -- UTC time of the download that stored it
  identity      INTEGER,           -- the terminal's serial number; NULL: a terminal without one
  generation    INTEGER,           -- its log generation
  record_index  INTEGER            -- the record's index in that log
);
INSERT INTO swipes (port, terminal, person, minute, occurrence, swipe_time, downloaded_at)
  SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at FROM swipes_schema2;
DROP TABLE swipes_schema2;
CREATE INDEX swipes_by_time ON swipes (swipe_time, person, port, terminal, occurrence, downloaded_at);
CREATE UNIQUE INDEX swipes_record ON swipes (identity, generation, record_index) WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX swipes_unidentified ON swipes (port, terminal, person, minute, occurrence) WHERE identity IS NULL;
CREATE INDEX swipes_occurrence ON swipes (identity, generation, person, minute, record_index) WHERE identity IS NOT NULL;
CREATE TABLE rejected_records (
  port INTEGER NOT NULL, terminal INTEGER NOT NULL, identity INTEGER, generation INTEGER,
  record_index INTEGER NOT NULL, person INTEGER NOT NULL, year INTEGER NOT NULL, month INTEGER NOT NULL,
  day INTEGER NOT NULL, hour INTEGER NOT NULL, minute INTEGER NOT NULL, reason TEXT NOT NULL,
  first_seen TEXT NOT NULL
);
CREATE UNIQUE INDEX rejected_record ON rejected_records (identity, generation, record_index) WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX rejected_unidentified ON rejected_records (port, terminal, record_index) WHERE identity IS NULL;
CREATE TABLE log_records (
  identity INTEGER NOT NULL, generation INTEGER NOT NULL, held INTEGER NOT NULL, PRIMARY KEY (identity, generation)
) WITHOUT ROWID;
CREATE TRIGGER swipes_counted AFTER INSERT ON swipes WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, held) VALUES (NEW.identity, NEW.generation, 1)
    ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER swipes_uncounted AFTER DELETE ON swipes WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1 WHERE identity = OLD.identity AND generation = OLD.generation;
END;
CREATE TRIGGER swipes_recounted AFTER UPDATE OF identity, generation ON swipes BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation;
  INSERT INTO log_records (identity, generation, held) SELECT NEW.identity, NEW.generation, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER rejected_records_counted AFTER INSERT ON rejected_records WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, held) VALUES (NEW.identity, NEW.generation, 1)
    ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER rejected_records_uncounted AFTER DELETE ON rejected_records WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1 WHERE identity = OLD.identity AND generation = OLD.generation;
END;
CREATE TRIGGER rejected_records_recounted AFTER UPDATE OF identity, generation ON rejected_records BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation;
  INSERT INTO log_records (identity, generation, held) SELECT NEW.identity, NEW.generation, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation) DO UPDATE SET held = held + 1;
END;
)sql",
     R"sql(
ALTER TABLE swipes ADD COLUMN identity BIGINT, ADD COLUMN generation BIGINT, ADD COLUMN record_index BIGINT;
ALTER TABLE swipes DROP CONSTRAINT swipes_pkey;
CREATE UNIQUE INDEX swipes_record ON swipes (identity, generation, record_index) WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX swipes_unidentified ON swipes (port, terminal, person, minute, occurrence) WHERE identity IS NULL;
CREATE INDEX swipes_occurrence ON swipes (identity, generation, person, minute, record_index) WHERE identity IS NOT NULL;
CREATE TABLE rejected_records (
  port INTEGER NOT NULL, terminal INTEGER NOT NULL, identity BIGINT, generation BIGINT,
  record_index BIGINT NOT NULL, person INTEGER NOT NULL, year INTEGER NOT NULL, month INTEGER NOT NULL,
  day INTEGER NOT NULL, hour INTEGER NOT NULL, minute INTEGER NOT NULL, reason TEXT COLLATE "C" NOT NULL,
  first_seen TEXT COLLATE "C" NOT NULL
);
CREATE UNIQUE INDEX rejected_record ON rejected_records (identity, generation, record_index) WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX rejected_unidentified ON rejected_records (port, terminal, record_index) WHERE identity IS NULL;
CREATE TABLE log_records (
  identity BIGINT NOT NULL, generation BIGINT NOT NULL, held BIGINT NOT NULL, PRIMARY KEY (identity, generation)
);
CREATE FUNCTION count_log_records() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP IN ('DELETE', 'UPDATE') AND OLD.identity IS NOT NULL THEN
    UPDATE log_records SET held = held - 1 WHERE identity = OLD.identity AND generation = OLD.generation;
  END IF;
  IF TG_OP IN ('INSERT', 'UPDATE') AND NEW.identity IS NOT NULL THEN
    INSERT INTO log_records (identity, generation, held) VALUES (NEW.identity, NEW.generation, 1)
      ON CONFLICT (identity, generation) DO UPDATE SET held = log_records.held + 1;
  END IF;
  RETURN NULL;
END $$;
CREATE TRIGGER swipes_counted AFTER INSERT OR DELETE OR UPDATE OF identity, generation ON swipes
  FOR EACH ROW EXECUTE FUNCTION count_log_records();
CREATE TRIGGER rejected_counted AFTER INSERT OR DELETE OR UPDATE OF identity, generation ON rejected_records
  FOR EACH ROW EXECUTE FUNCTION count_log_records();
)sql"},
    // A person's fingerprint row and password row side by side: the host finds and replaces a
    // person's row of one kind (iFingerprintNO 0 or 10). Stored rows stay as they are.
    {4, "the enrolment rows of a person found by kind: a fingerprint row and a password row side by side",
     R"sql(
CREATE INDEX IF NOT EXISTS enrolment_person_kind ON enrolment (cPsn_Num, iFingerprintNO);
)sql",
     R"sql(
CREATE INDEX IF NOT EXISTS enrolment_person_kind ON enrolment ("cPsn_Num", "iFingerprintNO");
)sql"},
    // A terminal's log as the host found it may change under the same identity and generation (a
    // terminal reset to a generation seen before, two terminals telling one identity): the key
    // gains the host's epoch of the log (every stored row: epoch 0), counts and first indexes are
    // kept per epoch, and a record delivered under a held key with other content is listed in
    // `conflicts` (both contents, where and when found) until acknowledged. Rows without identity
    // keep their key. The record index comes before the epoch in the key's index, and
    // swipes_occurrence stays as it was (epochs are few: a filter there), so that a look-up by
    // the whole key uses the key's index.
    {5, "log epochs in the swipe key; conflicts (a record held under its key with other content)",
     R"sql(
ALTER TABLE swipes ADD COLUMN epoch INTEGER NOT NULL DEFAULT 0;
ALTER TABLE rejected_records ADD COLUMN epoch INTEGER NOT NULL DEFAULT 0;
DROP INDEX swipes_record;
CREATE UNIQUE INDEX swipes_record ON swipes (identity, generation, record_index, epoch) WHERE identity IS NOT NULL;
DROP INDEX rejected_record;
CREATE UNIQUE INDEX rejected_record ON rejected_records (identity, generation, epoch, record_index) WHERE identity IS NOT NULL;
DROP TRIGGER swipes_counted;
DROP TRIGGER swipes_uncounted;
DROP TRIGGER swipes_recounted;
DROP TRIGGER rejected_records_counted;
DROP TRIGGER rejected_records_uncounted;
DROP TRIGGER rejected_records_recounted;
ALTER TABLE log_records RENAME TO log_records_schema4;
CREATE TABLE log_records (
  identity INTEGER NOT NULL, generation INTEGER NOT NULL, epoch INTEGER NOT NULL, held INTEGER NOT NULL,
  PRIMARY KEY (identity, generation, epoch)
) WITHOUT ROWID;
INSERT INTO log_records (identity, generation, epoch, held) SELECT identity, generation, 0, held FROM log_records_schema4;
DROP TABLE log_records_schema4;
CREATE TRIGGER swipes_counted AFTER INSERT ON swipes WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, epoch, held) VALUES (NEW.identity, NEW.generation, NEW.epoch, 1)
    ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER swipes_uncounted AFTER DELETE ON swipes WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1
    WHERE identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
END;
CREATE TRIGGER swipes_recounted AFTER UPDATE OF identity, generation, epoch ON swipes BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
  INSERT INTO log_records (identity, generation, epoch, held) SELECT NEW.identity, NEW.generation, NEW.epoch, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER rejected_records_counted AFTER INSERT ON rejected_records WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, epoch, held) VALUES (NEW.identity, NEW.generation, NEW.epoch, 1)
    ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER rejected_records_uncounted AFTER DELETE ON rejected_records WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1
    WHERE identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
END;
CREATE TRIGGER rejected_records_recounted AFTER UPDATE OF identity, generation, epoch ON rejected_records BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
  INSERT INTO log_records (identity, generation, epoch, held) SELECT NEW.identity, NEW.generation, NEW.epoch, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
CREATE TABLE log_epochs (
  identity INTEGER NOT NULL, generation INTEGER NOT NULL, epoch INTEGER NOT NULL,
  first_index INTEGER NOT NULL,  -- the epoch's first record index; the ones below it are its parent's
  parent INTEGER NOT NULL,       -- the epoch it was opened from
  port INTEGER NOT NULL, terminal INTEGER NOT NULL,  -- where the read that opened it ran
  conflict INTEGER,              -- the conflict that opened it
  opened_at TEXT NOT NULL,
  PRIMARY KEY (identity, generation, epoch)
) WITHOUT ROWID;
CREATE TABLE conflicts (
  id INTEGER PRIMARY KEY,
  identity INTEGER NOT NULL, generation INTEGER NOT NULL, epoch INTEGER NOT NULL, record_index INTEGER NOT NULL,
  port INTEGER NOT NULL, terminal INTEGER NOT NULL, found_at TEXT NOT NULL,
  person INTEGER NOT NULL, swipe_time TEXT NOT NULL,  -- as delivered
  stored_person INTEGER NOT NULL, stored_time TEXT NOT NULL, stored_port INTEGER NOT NULL,
  stored_terminal INTEGER NOT NULL, stored_downloaded_at TEXT NOT NULL,
  acknowledged INTEGER NOT NULL DEFAULT 0, acknowledged_by TEXT, acknowledged_at TEXT
);
CREATE UNIQUE INDEX conflicts_found ON conflicts (identity, generation, epoch, record_index, person, swipe_time);
)sql",
     R"sql(
ALTER TABLE swipes ADD COLUMN epoch BIGINT NOT NULL DEFAULT 0;
ALTER TABLE rejected_records ADD COLUMN epoch BIGINT NOT NULL DEFAULT 0;
DROP INDEX swipes_record;
CREATE UNIQUE INDEX swipes_record ON swipes (identity, generation, record_index, epoch) WHERE identity IS NOT NULL;
DROP INDEX rejected_record;
CREATE UNIQUE INDEX rejected_record ON rejected_records (identity, generation, epoch, record_index) WHERE identity IS NOT NULL;
ALTER TABLE log_records ADD COLUMN epoch BIGINT NOT NULL DEFAULT 0;
ALTER TABLE log_records DROP CONSTRAINT log_records_pkey, ADD PRIMARY KEY (identity, generation, epoch);
CREATE OR REPLACE FUNCTION count_log_records() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP IN ('DELETE', 'UPDATE') AND OLD.identity IS NOT NULL THEN
    UPDATE log_records SET held = held - 1
      WHERE identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
  END IF;
  IF TG_OP IN ('INSERT', 'UPDATE') AND NEW.identity IS NOT NULL THEN
    INSERT INTO log_records (identity, generation, epoch, held) VALUES (NEW.identity, NEW.generation, NEW.epoch, 1)
      ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = log_records.held + 1;
  END IF;
  RETURN NULL;
END $$;
DROP TRIGGER swipes_counted ON swipes;
DROP TRIGGER rejected_counted ON rejected_records;
CREATE TRIGGER swipes_counted AFTER INSERT OR DELETE OR UPDATE OF identity, generation, epoch ON swipes
  FOR EACH ROW EXECUTE FUNCTION count_log_records();
CREATE TRIGGER rejected_counted AFTER INSERT OR DELETE OR UPDATE OF identity, generation, epoch ON rejected_records
  FOR EACH ROW EXECUTE FUNCTION count_log_records();
CREATE TABLE log_epochs (
  identity BIGINT NOT NULL, generation BIGINT NOT NULL, epoch BIGINT NOT NULL, first_index BIGINT NOT NULL,
  parent BIGINT NOT NULL, port INTEGER NOT NULL, terminal INTEGER NOT NULL, conflict BIGINT, opened_at TEXT COLLATE "C" NOT NULL,
  PRIMARY KEY (identity, generation, epoch)
);
CREATE TABLE conflicts (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  identity BIGINT NOT NULL, generation BIGINT NOT NULL, epoch BIGINT NOT NULL, record_index BIGINT NOT NULL,
  port INTEGER NOT NULL, terminal INTEGER NOT NULL, found_at TEXT COLLATE "C" NOT NULL,
  person INTEGER NOT NULL, swipe_time TEXT COLLATE "C" NOT NULL,
  stored_person INTEGER NOT NULL, stored_time TEXT COLLATE "C" NOT NULL, stored_port INTEGER NOT NULL,
  stored_terminal INTEGER NOT NULL, stored_downloaded_at TEXT COLLATE "C" NOT NULL,
  acknowledged BOOLEAN NOT NULL DEFAULT false, acknowledged_by TEXT COLLATE "C", acknowledged_at TEXT COLLATE "C"
);
CREATE UNIQUE INDEX conflicts_found ON conflicts (identity, generation, epoch, record_index, person, swipe_time);
)sql"},
    // ---- The web console's accounts (one block: users, sessions, audit trail) ----------------
    // Users with a role and an Argon2id password hash; login sessions kept only as SHA-256
    // hashes of their tokens (times in seconds since the epoch, UTC); the audit trail of who did
    // what, when and from where. Nothing here touches the tables above.
    {6, "the console's users, login sessions and audit trail",
     R"sql(
CREATE TABLE users (
  name                TEXT    NOT NULL PRIMARY KEY,
  role                TEXT    NOT NULL CHECK (role IN ('admin', 'hr', 'viewer')),
  password_hash       TEXT    NOT NULL,
  disabled            INTEGER NOT NULL DEFAULT 0,
  language            TEXT    NOT NULL DEFAULT '',
  created_at          TEXT    NOT NULL,
  password_changed_at TEXT    NOT NULL
);
CREATE TABLE sessions (
  token_hash TEXT    NOT NULL PRIMARY KEY,
  user_name  TEXT    NOT NULL REFERENCES users (name),
  csrf       TEXT    NOT NULL,
  created    INTEGER NOT NULL,
  last_seen  INTEGER NOT NULL,
  origin     TEXT    NOT NULL
);
CREATE INDEX sessions_by_user ON sessions (user_name);
CREATE TABLE audit (
  id      INTEGER PRIMARY KEY AUTOINCREMENT,
  at      TEXT NOT NULL,
  actor   TEXT NOT NULL,
  origin  TEXT NOT NULL,
  action  TEXT NOT NULL,
  details TEXT NOT NULL DEFAULT ''
);
)sql",
     R"sql(
CREATE TABLE users (
  name                TEXT COLLATE "C" NOT NULL PRIMARY KEY,
  role                TEXT COLLATE "C" NOT NULL CHECK (role IN ('admin', 'hr', 'viewer')),
  password_hash       TEXT COLLATE "C" NOT NULL,
  disabled            INTEGER NOT NULL DEFAULT 0,
  language            TEXT COLLATE "C" NOT NULL DEFAULT '',
  created_at          TEXT COLLATE "C" NOT NULL,
  password_changed_at TEXT COLLATE "C" NOT NULL
);
CREATE TABLE sessions (
  token_hash TEXT COLLATE "C" NOT NULL PRIMARY KEY,
  user_name  TEXT COLLATE "C" NOT NULL REFERENCES users (name),
  csrf       TEXT COLLATE "C" NOT NULL,
  created    BIGINT NOT NULL,
  last_seen  BIGINT NOT NULL,
  origin     TEXT NOT NULL
);
CREATE INDEX sessions_by_user ON sessions (user_name);
CREATE TABLE audit (
  id      BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  at      TEXT COLLATE "C" NOT NULL,
  actor   TEXT NOT NULL,
  origin  TEXT NOT NULL,
  action  TEXT COLLATE "C" NOT NULL,
  details TEXT NOT NULL DEFAULT ''
);
)sql"},
    // ---- end of the web console's accounts ---------------------------------------------------
    // Every site sync, whoever started it: the run (started, ended, by whom) and one row per
    // terminal (and per port that failed before reaching one, terminal 0) with its outcome, the
    // cause's code and words, and the records it delivered and stored. A run without an end was
    // still going, or its process stopped before recording the end.
    {7, "sync runs: who started each site sync, and each terminal's outcome",
     R"sql(
CREATE TABLE sync_runs (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  started_at TEXT    NOT NULL,
  ended_at   TEXT,
  started_by TEXT    NOT NULL CHECK (started_by IN ('command', 'timer', 'console', 'schedule')),
  who        TEXT    NOT NULL DEFAULT '',
  ports      TEXT    NOT NULL DEFAULT ''
);
CREATE TABLE sync_run_terminals (
  run         INTEGER NOT NULL REFERENCES sync_runs (id),
  port        INTEGER NOT NULL,
  terminal    INTEGER NOT NULL,
  outcome     TEXT    NOT NULL CHECK (outcome IN ('synced', 'failed', 'cancelled')),
  cause_code  TEXT    NOT NULL DEFAULT '',
  cause       TEXT    NOT NULL DEFAULT '',
  delivered   INTEGER NOT NULL DEFAULT 0,
  added       INTEGER NOT NULL DEFAULT 0,
  quarantined INTEGER NOT NULL DEFAULT 0,
  held        INTEGER NOT NULL DEFAULT 0,
  capacity    INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (run, port, terminal)
);
CREATE INDEX sync_run_terminals_by_terminal ON sync_run_terminals (port, terminal, run);
)sql",
     R"sql(
CREATE TABLE sync_runs (
  id         BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  started_at TEXT COLLATE "C" NOT NULL,
  ended_at   TEXT COLLATE "C",
  started_by TEXT COLLATE "C" NOT NULL CHECK (started_by IN ('command', 'timer', 'console', 'schedule')),
  who        TEXT NOT NULL DEFAULT '',
  ports      TEXT NOT NULL DEFAULT ''
);
CREATE TABLE sync_run_terminals (
  run         BIGINT  NOT NULL REFERENCES sync_runs (id),
  port        INTEGER NOT NULL,
  terminal    INTEGER NOT NULL,
  outcome     TEXT COLLATE "C" NOT NULL CHECK (outcome IN ('synced', 'failed', 'cancelled')),
  cause_code  TEXT COLLATE "C" NOT NULL DEFAULT '',
  cause       TEXT NOT NULL DEFAULT '',
  delivered   BIGINT  NOT NULL DEFAULT 0,
  added       BIGINT  NOT NULL DEFAULT 0,
  quarantined BIGINT  NOT NULL DEFAULT 0,
  held        BIGINT  NOT NULL DEFAULT 0,
  capacity    BIGINT  NOT NULL DEFAULT 0,
  PRIMARY KEY (run, port, terminal)
);
CREATE INDEX sync_run_terminals_by_terminal ON sync_run_terminals (port, terminal, run);
)sql"},
    // ---- The HTTP API: tokens for programs, their reads per hour, and the feed order of swipes --
    // Tokens are kept only as SHA-256 hashes. The feed serves swipes in the order they became
    // visible. SQLite has one writer at a time, so a number taken at insert (max + 1, set by a
    // trigger, kept through VACUUM unlike the rowid) commits in its own order. PostgreSQL writers
    // commit in any order, so a sequence alone could hand a reader number 11 while 10 is still
    // uncommitted, and a cursor past 11 would skip 10 for ever. There each row carries its
    // writing transaction's id besides the number; the feed is ordered by (transaction, number)
    // and serves only rows of transactions below the reading snapshot's xmin, all of which have
    // ended, so no row can later appear before the cursor. Writers take no extra lock; a
    // transaction left open holds the feed back (it never skips).
    {8, "the API's tokens and reads per hour; the feed order of swipes",
     R"sql(
CREATE TABLE api_tokens (
  name       TEXT NOT NULL PRIMARY KEY,
  token_hash TEXT NOT NULL UNIQUE,
  scopes     TEXT NOT NULL,
  created_at TEXT NOT NULL,
  created_by TEXT NOT NULL
);
CREATE TABLE api_token_reads (
  token TEXT    NOT NULL,
  hour  TEXT    NOT NULL,  -- UTC, "YYYY-MM-DDTHH"
  reads INTEGER NOT NULL,
  PRIMARY KEY (token, hour)
) WITHOUT ROWID;
ALTER TABLE swipes ADD COLUMN feed_seq INTEGER;
UPDATE swipes SET feed_seq = rowid;
CREATE UNIQUE INDEX swipes_feed ON swipes (feed_seq);
CREATE TRIGGER swipes_fed AFTER INSERT ON swipes BEGIN
  UPDATE swipes SET feed_seq = (SELECT coalesce(max(feed_seq), 0) + 1 FROM swipes) WHERE rowid = NEW.rowid;
END;
)sql",
     R"sql(
CREATE TABLE api_tokens (
  name       TEXT COLLATE "C" NOT NULL PRIMARY KEY,
  token_hash TEXT COLLATE "C" NOT NULL UNIQUE,
  scopes     TEXT COLLATE "C" NOT NULL,
  created_at TEXT COLLATE "C" NOT NULL,
  created_by TEXT NOT NULL
);
CREATE TABLE api_token_reads (
  token TEXT COLLATE "C" NOT NULL,
  hour  TEXT COLLATE "C" NOT NULL,
  reads BIGINT NOT NULL,
  PRIMARY KEY (token, hour)
);
CREATE SEQUENCE swipes_feed_seq;
ALTER TABLE swipes ADD COLUMN feed_xid xid8 NOT NULL DEFAULT pg_current_xact_id(),
  ADD COLUMN feed_seq BIGINT NOT NULL DEFAULT nextval('swipes_feed_seq');
CREATE INDEX swipes_feed ON swipes (feed_xid, feed_seq);
)sql"},
    // Each terminal's clock as its sync found it: how far ahead of the host (negative: behind),
    // and what became of it ('' not read, 'none' a terminal without clock commands, 'read',
    // 'set' read and then set from the host's clock, 'invalid' a clock that showed no valid time).
    {9, "each terminal's clock as its sync found it",
     R"sql(
ALTER TABLE sync_run_terminals ADD COLUMN clock TEXT NOT NULL DEFAULT '';
ALTER TABLE sync_run_terminals ADD COLUMN clock_drift INTEGER;
)sql",
     R"sql(
ALTER TABLE sync_run_terminals ADD COLUMN clock TEXT COLLATE "C" NOT NULL DEFAULT '',
  ADD COLUMN clock_drift BIGINT;
)sql"},
    // SQLite: the swipes' own insert gives each row its feed number (the next after the highest,
    // with one writer at a time), which costs an index look-up; the trigger, which updated each
    // row again after its insert, now numbers only rows an insert left without one.
    {10, "the feed number given at insert",
     R"sql(
DROP TRIGGER swipes_fed;
CREATE TRIGGER swipes_fed AFTER INSERT ON swipes WHEN NEW.feed_seq IS NULL BEGIN
  UPDATE swipes SET feed_seq = (SELECT coalesce(max(feed_seq), 0) + 1 FROM swipes) WHERE rowid = NEW.rowid;
END;
)sql",
     R"sql(
SELECT 1;
)sql"},
    // A person's swipes (the console's Swipes page filtered by person, a person's month, one
    // person's report): found by person and time instead of reading every swipe of the period.
    {11, "an index of each person's swipes by time",
     R"sql(
CREATE INDEX IF NOT EXISTS swipes_by_person ON swipes (person, swipe_time, port, terminal, occurrence);
)sql",
     R"sql(
CREATE INDEX IF NOT EXISTS swipes_by_person ON swipes (person, swipe_time, port, terminal, occurrence);
)sql"},
    // PostgreSQL: every transaction that stores swipes holds the feed's writer lock from before
    // its first write (FeedWriterLockSql()), and the feed waits only for the holders' transactions
    // instead of every open transaction on the server. Nothing in the tables changes; the step
    // keeps a program from before it (which writes without the lock, so the feed could pass its
    // rows) from writing to the database.
    {12, "writers of swipes announce themselves to the feed",
     R"sql(
SELECT 1;
)sql",
     R"sql(
SELECT 1;
)sql"},
    // Push to HR systems: the feed is the outbox (each swipe has its feed position from the
    // transaction that stored it), so an endpoint needs only its own row: the feed position it
    // has been delivered up to, when it was added, and its failures, next attempt and last
    // error and success. On SQLite a lease (holder, until) lets one drainer at a time work on an
    // endpoint; PostgreSQL uses an advisory lock instead.
    {13, "push endpoints: each one's delivered feed position and its failures",
     R"sql(
CREATE TABLE push_endpoints (
  name          TEXT    NOT NULL PRIMARY KEY,
  cursor_xid    INTEGER NOT NULL DEFAULT 0,
  cursor_seq    INTEGER NOT NULL DEFAULT 0,
  added_at      TEXT    NOT NULL,
  failures      INTEGER NOT NULL DEFAULT 0,
  next_attempt  INTEGER NOT NULL DEFAULT 0,
  last_error    TEXT    NOT NULL DEFAULT '',
  last_error_at TEXT    NOT NULL DEFAULT '',
  last_success  TEXT    NOT NULL DEFAULT '',
  delivered     INTEGER NOT NULL DEFAULT 0,
  lease_holder  TEXT    NOT NULL DEFAULT '',
  lease_until   INTEGER NOT NULL DEFAULT 0
);
)sql",
     R"sql(
CREATE TABLE push_endpoints (
  name          TEXT COLLATE "C" NOT NULL PRIMARY KEY,
  cursor_xid    BIGINT NOT NULL DEFAULT 0,
  cursor_seq    BIGINT NOT NULL DEFAULT 0,
  added_at      TEXT COLLATE "C" NOT NULL,
  failures      BIGINT NOT NULL DEFAULT 0,
  next_attempt  BIGINT NOT NULL DEFAULT 0,
  last_error    TEXT NOT NULL DEFAULT '',
  last_error_at TEXT COLLATE "C" NOT NULL DEFAULT '',
  last_success  TEXT COLLATE "C" NOT NULL DEFAULT '',
  delivered     BIGINT NOT NULL DEFAULT 0,
  lease_holder  TEXT NOT NULL DEFAULT '',
  lease_until   BIGINT NOT NULL DEFAULT 0
);
)sql"},
    // A sync's cause as values beside its code (a front end words it in its user's language);
    // rows recorded before keep their words in `cause` and no values.
    {14, "the values of each terminal's sync cause",
     R"sql(
ALTER TABLE sync_run_terminals ADD COLUMN cause_values TEXT NOT NULL DEFAULT '';
)sql",
     R"sql(
ALTER TABLE sync_run_terminals ADD COLUMN cause_values TEXT NOT NULL DEFAULT '';
)sql"},
    // A database filled by `vanto db copy` keeps, per copied swipe, its feed position in the
    // database it came from (from) and its position here (to; NULL until the copy has stored
    // it), so that a cursor of the old database is recognised and answered with its place here.
    // The copy numbers the swipes it stores after every position it maps from, so that no
    // position of this database is also a position it maps from.
    {15, "the feed positions of copied swipes in the database they were copied from",
     R"sql(
CREATE TABLE feed_moves (
  from_xid INTEGER NOT NULL,
  from_seq INTEGER NOT NULL,
  to_xid   INTEGER,
  to_seq   INTEGER,
  PRIMARY KEY (from_xid, from_seq)
) WITHOUT ROWID;
)sql",
     R"sql(
CREATE TABLE feed_moves (
  from_xid BIGINT NOT NULL,
  from_seq BIGINT NOT NULL,
  to_xid   BIGINT,
  to_seq   BIGINT,
  PRIMARY KEY (from_xid, from_seq)
);
)sql"},
    // An API token may expire: from `expires_at` (UTC, "YYYY-MM-DDTHH:MM:SSZ") on it is refused;
    // '' never expires (every token made before).
    {16, "when each API token expires",
     R"sql(
ALTER TABLE api_tokens ADD COLUMN expires_at TEXT NOT NULL DEFAULT '';
)sql",
     R"sql(
ALTER TABLE api_tokens ADD COLUMN expires_at TEXT COLLATE "C" NOT NULL DEFAULT '';
)sql"},
    // SQLite: the feed number becomes the swipes table's row key (INTEGER PRIMARY KEY, the
    // rowid itself), so the table is stored in feed order, a store appends to it, the feed reads
    // it by key, and the unique index on the number (one more index every stored swipe paid for)
    // goes. The table is rebuilt: every row keeps its feed number, so every cursor (an API
    // consumer's, a push endpoint's delivered position, a copy's feed_moves) names the same swipe
    // as before. A row without a number (none is expected: the trigger it replaces numbered every
    // insert) is numbered after all the others; a swipe stored without a number is given the
    // next after the highest, as the trigger did. The indexes and the counting triggers are made
    // again; the counts in log_records stay as they are (the rows move without being counted
    // again). Two indexes take the minute before the person (their look-ups name both, so they
    // serve them alike): a delivery, in time order, then adds to their ends instead of to one
    // place per person, which costs SQLite a page rebalance each time a page fills.
    // PostgreSQL: the trigger that counts a log's records runs only for rows of a log (a
    // condition the server checks without calling the function), not for every swipe stored.
    {17, "the feed number as the swipes table's row key",
     R"sql(
CREATE TABLE swipes_step17 (
  port          INTEGER NOT NULL,  -- where the swipe was read (first)
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM
  occurrence    INTEGER NOT NULL,  -- k-th swipe of this person in this minute, in delivery order
  swipe_time    TEXT    NOT NULL,  -- YYYY-MM-DD HH:MM:SS, as the terminal delivered it
  downloaded_at TEXT    NOT NULL,  -- UTC time of the download that stored it
  identity      INTEGER,           -- the terminal's serial number; NULL: a terminal without one
  generation    INTEGER,           -- its log generation
  record_index  INTEGER,           -- the record's index in that log
  epoch         INTEGER NOT NULL DEFAULT 0,
  feed_seq      INTEGER PRIMARY KEY  -- the swipe's position in the feed
);
INSERT INTO swipes_step17 (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation,
                           record_index, epoch, feed_seq)
  SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index,
         epoch, feed_seq FROM swipes WHERE feed_seq IS NOT NULL ORDER BY feed_seq;
INSERT INTO swipes_step17 (port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation,
                           record_index, epoch)
  SELECT port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index,
         epoch FROM swipes WHERE feed_seq IS NULL ORDER BY rowid;
DROP TABLE swipes;
ALTER TABLE swipes_step17 RENAME TO swipes;
CREATE INDEX swipes_by_time ON swipes (swipe_time, person, port, terminal, occurrence, downloaded_at);
CREATE UNIQUE INDEX swipes_record ON swipes (identity, generation, record_index, epoch) WHERE identity IS NOT NULL;
CREATE UNIQUE INDEX swipes_unidentified ON swipes (port, terminal, minute, person, occurrence) WHERE identity IS NULL;
CREATE INDEX swipes_occurrence ON swipes (identity, generation, minute, person, record_index) WHERE identity IS NOT NULL;
CREATE INDEX swipes_by_person ON swipes (person, swipe_time, port, terminal, occurrence);
CREATE TRIGGER swipes_counted AFTER INSERT ON swipes WHEN NEW.identity IS NOT NULL BEGIN
  INSERT INTO log_records (identity, generation, epoch, held) VALUES (NEW.identity, NEW.generation, NEW.epoch, 1)
    ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
CREATE TRIGGER swipes_uncounted AFTER DELETE ON swipes WHEN OLD.identity IS NOT NULL BEGIN
  UPDATE log_records SET held = held - 1
    WHERE identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
END;
CREATE TRIGGER swipes_recounted AFTER UPDATE OF identity, generation, epoch ON swipes BEGIN
  UPDATE log_records SET held = held - 1
    WHERE OLD.identity IS NOT NULL AND identity = OLD.identity AND generation = OLD.generation AND epoch = OLD.epoch;
  INSERT INTO log_records (identity, generation, epoch, held) SELECT NEW.identity, NEW.generation, NEW.epoch, 1
    WHERE NEW.identity IS NOT NULL ON CONFLICT (identity, generation, epoch) DO UPDATE SET held = held + 1;
END;
)sql",
     R"sql(
DROP TRIGGER swipes_counted ON swipes;
CREATE TRIGGER swipes_counted AFTER INSERT ON swipes FOR EACH ROW WHEN (NEW.identity IS NOT NULL)
  EXECUTE FUNCTION count_log_records();
CREATE TRIGGER swipes_uncounted AFTER DELETE ON swipes FOR EACH ROW WHEN (OLD.identity IS NOT NULL)
  EXECUTE FUNCTION count_log_records();
CREATE TRIGGER swipes_recounted AFTER UPDATE OF identity, generation, epoch ON swipes FOR EACH ROW
  WHEN (OLD.identity IS NOT NULL OR NEW.identity IS NOT NULL) EXECUTE FUNCTION count_log_records();
)sql"},
    // A log's count of stored swipes is kept once per store instead of once per row: SQLite ran
    // the counting trigger for every row stored (its condition too is checked row by row), the
    // server called its function for every row of a log. SQLite: the trigger on insert goes; the
    // store that adds swipes counts what each write added, by log, in the same transaction (the
    // database module is the only writer of the table). PostgreSQL keeps its row trigger. Deleting
    // a swipe or changing its log is still counted by the row triggers. The counts stay as they are.
    {18, "a log's count of swipes kept once per store",
     R"sql(
DROP TRIGGER swipes_counted;
)sql",
     R"sql(
-- The server keeps its row trigger: it already runs only for a log's rows (its WHEN), and a
-- trigger per statement measured no faster on a log's rows and slower on others.
SELECT 1;
)sql"},
    // Swipes withdrawn from `swipes` (a double folded: `vanto conflicts fold`): each keeps the
    // withdrawn swipe's columns and its feed position (was_*), and takes a feed position of its
    // own, from the numbering the swipes take (SQLite: the next after the highest of both tables;
    // PostgreSQL: the writing transaction and the swipes' sequence), so the feed serves it once
    // more, as withdrawn, after every position handed out before. No other table changes: every
    // feed position and cursor stays.
    {19, "swipes withdrawn from the feed",
     R"sql(
CREATE TABLE swipes_withdrawn (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT    NOT NULL,
  occurrence    INTEGER NOT NULL,
  swipe_time    TEXT    NOT NULL,
  downloaded_at TEXT    NOT NULL,
  identity      INTEGER,
  generation    INTEGER,
  record_index  INTEGER,
  epoch         INTEGER NOT NULL,
  was_seq       INTEGER NOT NULL,  -- the withdrawn swipe's feed number
  kept_seq      INTEGER NOT NULL,  -- the feed number of the swipe kept in its place
  withdrawn_at  TEXT    NOT NULL,  -- UTC
  feed_seq      INTEGER PRIMARY KEY  -- the withdrawal's position in the feed
);
)sql",
     R"sql(
CREATE TABLE swipes_withdrawn (
  port          INTEGER NOT NULL,
  terminal      INTEGER NOT NULL,
  person        INTEGER NOT NULL,
  minute        TEXT COLLATE "C" NOT NULL,
  occurrence    INTEGER NOT NULL,
  swipe_time    TEXT COLLATE "C" NOT NULL,
  downloaded_at TEXT COLLATE "C" NOT NULL,
  identity      BIGINT,
  generation    BIGINT,
  record_index  BIGINT,
  epoch         BIGINT NOT NULL,
  was_xid       xid8 NOT NULL,
  was_seq       BIGINT NOT NULL,
  kept_xid      xid8 NOT NULL,
  kept_seq      BIGINT NOT NULL,
  withdrawn_at  TEXT NOT NULL,
  feed_xid      xid8 NOT NULL DEFAULT pg_current_xact_id(),
  feed_seq      BIGINT NOT NULL DEFAULT nextval('swipes_feed_seq')
);
CREATE INDEX swipes_withdrawn_feed ON swipes_withdrawn (feed_xid, feed_seq);
)sql"},
    // Several sites in one database: `sites` holds each site (its time zone, first and last sync,
    // and the settings its last sync ran with, as JSON), and every row that belongs to a site
    // carries its name: swipes (and the withdrawn ones), rejected records, conflicts, sync runs,
    // people and enrolment rows. '' is a row of no site yet (every row stored before this step):
    // the first site that opens the database takes them. A terminal without identity is keyed
    // with its site (two sites' port 1, terminal 1 are two terminals); one with identity keeps
    // its global key (its serial is the same wherever it is cabled), and so do the logs, their
    // epochs and counts, which only such terminals have. SQLite: the listing's indexes hold the
    // site, so a listing of one site still reads the index alone.
    {20, "sites: a site in every row that belongs to one; terminals without identity keyed with their site",
     R"sql(
CREATE TABLE sites (
  name       TEXT NOT NULL PRIMARY KEY,
  timezone   TEXT NOT NULL DEFAULT '',
  first_sync TEXT NOT NULL DEFAULT '',  -- UTC; '' never synced
  last_sync  TEXT NOT NULL DEFAULT '',
  settings   TEXT NOT NULL DEFAULT '',  -- JSON: the settings of its last sync
  added_at   TEXT NOT NULL,
  added_by   TEXT NOT NULL DEFAULT ''
);
ALTER TABLE swipes ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE swipes_withdrawn ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE rejected_records ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE conflicts ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE sync_runs ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE people ADD COLUMN site TEXT NOT NULL DEFAULT '';
ALTER TABLE enrolment ADD COLUMN site TEXT NOT NULL DEFAULT '';
DROP INDEX swipes_unidentified;
CREATE UNIQUE INDEX swipes_unidentified ON swipes (site, port, terminal, minute, person, occurrence) WHERE identity IS NULL;
DROP INDEX rejected_unidentified;
CREATE UNIQUE INDEX rejected_unidentified ON rejected_records (site, port, terminal, record_index) WHERE identity IS NULL;
DROP INDEX swipes_by_time;
CREATE INDEX swipes_by_time ON swipes (swipe_time, person, port, terminal, occurrence, downloaded_at, site);
DROP INDEX swipes_by_person;
CREATE INDEX swipes_by_person ON swipes (person, swipe_time, port, terminal, occurrence, site);
)sql",
     R"sql(
CREATE TABLE sites (
  name       TEXT COLLATE "C" NOT NULL PRIMARY KEY,
  timezone   TEXT COLLATE "C" NOT NULL DEFAULT '',
  first_sync TEXT COLLATE "C" NOT NULL DEFAULT '',
  last_sync  TEXT COLLATE "C" NOT NULL DEFAULT '',
  settings   TEXT NOT NULL DEFAULT '',
  added_at   TEXT COLLATE "C" NOT NULL,
  added_by   TEXT NOT NULL DEFAULT ''
);
ALTER TABLE swipes ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE swipes_withdrawn ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE rejected_records ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE conflicts ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE sync_runs ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE people ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE enrolment ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
DROP INDEX swipes_unidentified;
CREATE UNIQUE INDEX swipes_unidentified ON swipes (site, port, terminal, minute, person, occurrence) WHERE identity IS NULL;
DROP INDEX rejected_unidentified;
CREATE UNIQUE INDEX rejected_unidentified ON rejected_records (site, port, terminal, record_index) WHERE identity IS NULL;
)sql"},
    // People belong to a site: a person is (site, person number), so two sites' person 17 keep
    // their own names and departments. `employee_code` ('' none) ties the same human's numbers at
    // several sites together. SQLite rebuilds the table keeping every row under its site;
    // PostgreSQL swaps the primary key. The enrolment table has no key of its own (the driver's
    // row set finds rows by person and kind); its rows carry their site since step 20, and an
    // index by site and person serves the host's reads of one site.
    {21, "people keyed by site and person number; an employee code",
     R"sql(
CREATE TABLE people_step21 (
  site          TEXT    NOT NULL DEFAULT '',
  person        INTEGER NOT NULL,
  name          TEXT    NOT NULL,
  department    TEXT    NOT NULL DEFAULT '',
  employee_code TEXT    NOT NULL DEFAULT '',  -- '' none; the same code at several sites is one human
  PRIMARY KEY (site, person)
);
INSERT INTO people_step21 (site, person, name, department) SELECT site, person, name, department FROM people;
DROP TABLE people;
ALTER TABLE people_step21 RENAME TO people;
CREATE INDEX enrolment_site_person ON enrolment (site, cPsn_Num, iFingerprintNO);
)sql",
     R"sql(
ALTER TABLE people DROP CONSTRAINT people_pkey;
ALTER TABLE people ADD PRIMARY KEY (site, person);
ALTER TABLE people ADD COLUMN employee_code TEXT NOT NULL DEFAULT '';
CREATE INDEX enrolment_site_person ON enrolment (site, "cPsn_Num", "iFingerprintNO");
)sql"},
    // Push per site: an endpoint belongs to a site (keyed by site and name: two sites may each
    // have one of the same name) and may take every site's swipes (`all_sites`). An endpoint of
    // a database that holds one site becomes that site's; in one that holds none or several it
    // is of no site ('') until the first site file naming it drains (push.cpp). API tokens gain
    // the sites they are limited to ('' every site). `push_key_sites` holds the feed position
    // after which a swipe of a terminal without identity carries its site in its push key: the
    // feed's head when the database came to hold a second site (written once, by the trigger on
    // `sites` or by this step when the database holds several already; never changed, so no
    // key that may have been delivered changes). PostgreSQL: the trigger waits for every writer
    // of swipes to end (SHARE lock) before it reads the head, so no swipe the feed may serve
    // before the row is committed lies after it.
    {22, "push endpoints per site, API token site limits, push keys with the site",
     R"sql(
CREATE TABLE push_endpoints_step22 (
  site          TEXT    NOT NULL DEFAULT '',
  name          TEXT    NOT NULL,
  all_sites     INTEGER NOT NULL DEFAULT 0,
  cursor_xid    INTEGER NOT NULL DEFAULT 0,
  cursor_seq    INTEGER NOT NULL DEFAULT 0,
  added_at      TEXT    NOT NULL,
  failures      INTEGER NOT NULL DEFAULT 0,
  next_attempt  INTEGER NOT NULL DEFAULT 0,
  last_error    TEXT    NOT NULL DEFAULT '',
  last_error_at TEXT    NOT NULL DEFAULT '',
  last_success  TEXT    NOT NULL DEFAULT '',
  delivered     INTEGER NOT NULL DEFAULT 0,
  lease_holder  TEXT    NOT NULL DEFAULT '',
  lease_until   INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (site, name)
);
INSERT INTO push_endpoints_step22 (site, name, cursor_xid, cursor_seq, added_at, failures, next_attempt, last_error,
    last_error_at, last_success, delivered, lease_holder, lease_until)
  SELECT (SELECT CASE WHEN count(*) = 1 THEN max(name) ELSE '' END FROM sites), name, cursor_xid, cursor_seq,
    added_at, failures, next_attempt, last_error, last_error_at, last_success, delivered, lease_holder, lease_until
  FROM push_endpoints;
DROP TABLE push_endpoints;
ALTER TABLE push_endpoints_step22 RENAME TO push_endpoints;
ALTER TABLE api_tokens ADD COLUMN sites TEXT NOT NULL DEFAULT '';
CREATE TABLE push_key_sites (
  only_row  INTEGER NOT NULL PRIMARY KEY CHECK (only_row = 1),
  from_xid  INTEGER NOT NULL,
  from_seq  INTEGER NOT NULL
);
INSERT INTO push_key_sites (only_row, from_xid, from_seq)
  SELECT 1, 0, max(coalesce((SELECT max(feed_seq) FROM swipes), 0), coalesce((SELECT max(feed_seq) FROM swipes_withdrawn), 0))
  WHERE (SELECT count(*) FROM sites) >= 2;
CREATE TRIGGER push_key_sites_second AFTER INSERT ON sites WHEN (SELECT count(*) FROM sites) >= 2 BEGIN
  INSERT OR IGNORE INTO push_key_sites (only_row, from_xid, from_seq)
    VALUES (1, 0, max(coalesce((SELECT max(feed_seq) FROM swipes), 0), coalesce((SELECT max(feed_seq) FROM swipes_withdrawn), 0)));
END;
)sql",
     R"sql(
ALTER TABLE push_endpoints ADD COLUMN site TEXT COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE push_endpoints ADD COLUMN all_sites BOOLEAN NOT NULL DEFAULT false;
UPDATE push_endpoints SET site = (SELECT CASE WHEN count(*) = 1 THEN max(name) ELSE '' END FROM sites);
ALTER TABLE push_endpoints DROP CONSTRAINT push_endpoints_pkey;
ALTER TABLE push_endpoints ADD PRIMARY KEY (site, name);
ALTER TABLE api_tokens ADD COLUMN sites TEXT COLLATE "C" NOT NULL DEFAULT '';
CREATE TABLE push_key_sites (
  only_row  BOOLEAN NOT NULL PRIMARY KEY DEFAULT true CHECK (only_row),
  from_xid  xid8 NOT NULL,
  from_seq  BIGINT NOT NULL
);
CREATE FUNCTION push_key_sites_head() RETURNS void LANGUAGE sql AS $$
  INSERT INTO push_key_sites (from_xid, from_seq)
    SELECT coalesce(top.feed_xid, '0'::xid8), coalesce(top.feed_seq, 0)
    FROM (SELECT 1) one LEFT JOIN (
      SELECT feed_xid, feed_seq FROM (SELECT feed_xid, feed_seq FROM swipes UNION ALL
                                      SELECT feed_xid, feed_seq FROM swipes_withdrawn) h
      ORDER BY feed_xid DESC, feed_seq DESC LIMIT 1) top ON true
  ON CONFLICT (only_row) DO NOTHING;
$$;
CREATE FUNCTION push_key_sites_second() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM push_key_sites) AND (SELECT count(*) FROM sites) >= 2 THEN
    LOCK TABLE swipes, swipes_withdrawn IN SHARE MODE;
    PERFORM push_key_sites_head();
  END IF;
  RETURN NULL;
END
$$;
SELECT push_key_sites_head() WHERE (SELECT count(*) FROM sites) >= 2;
CREATE TRIGGER push_key_sites_second AFTER INSERT ON sites FOR EACH ROW EXECUTE FUNCTION push_key_sites_second();
)sql"},
    // The view over every site: `sites` records the host that last synced each site (the console
    // names it where it shows another site read-only), and a console user may be limited to some
    // sites (`users.sites`: names joined by ","; '' every site).
    {23, "sites: the host that last synced each site; console users limited to sites",
     R"sql(
ALTER TABLE sites ADD COLUMN last_host TEXT NOT NULL DEFAULT '';
ALTER TABLE users ADD COLUMN sites TEXT NOT NULL DEFAULT '';
)sql",
     R"sql(
ALTER TABLE sites ADD COLUMN last_host TEXT NOT NULL DEFAULT '';
ALTER TABLE users ADD COLUMN sites TEXT COLLATE "C" NOT NULL DEFAULT '';
)sql"},
    // A site's push keys never change: `sites.key_name` is the name a version 1 terminal's push
    // key and hr-checkin device carry (since step 22), written once when the site's row is made
    // (its name then; a site held already: its name now) and never changed by a rename. Key
    // names are unique, so two sites never key their swipes alike.
    {24, "sites: a key name for push keys that a rename never changes",
     R"sql(
ALTER TABLE sites ADD COLUMN key_name TEXT NOT NULL DEFAULT '';
UPDATE sites SET key_name = name;
CREATE UNIQUE INDEX sites_key_name ON sites (key_name);
)sql",
     R"sql(
ALTER TABLE sites ADD COLUMN key_name TEXT COLLATE "C" NOT NULL DEFAULT '';
UPDATE sites SET key_name = name;
CREATE UNIQUE INDEX sites_key_name ON sites (key_name);
)sql"},
    // Attendance, each site's own: its shifts (times of day in minutes after midnight), work
    // patterns (a week or a rotation: `days` a JSON list of shift names, '' a rest day),
    // assignments of a pattern to a person or a department, holidays and rest days, leave,
    // corrections (a swipe added, or a stored swipe set aside: a stored swipe is never changed),
    // the months closed with their days as judged then, and the site's leave kinds in order.
    // Leave and corrections are withdrawn, never deleted. Wall times are the site's, as swipes
    // are stored; `added_at`, `withdrawn_at` and `closed_at` are UTC.
    {25, "attendance: shifts, work patterns, assignments, days off, leave, corrections, closed months",
     R"sql(
CREATE TABLE shifts (
  site             TEXT NOT NULL DEFAULT '',
  name             TEXT NOT NULL,
  start_minute     INTEGER NOT NULL,
  end_minute       INTEGER NOT NULL,
  late_grace       INTEGER NOT NULL DEFAULT 0,
  early_grace      INTEGER NOT NULL DEFAULT 0,
  break_minutes    INTEGER NOT NULL DEFAULT 0,
  window_before    INTEGER NOT NULL DEFAULT 240,
  window_after     INTEGER NOT NULL DEFAULT 360,
  full_day_minutes INTEGER NOT NULL DEFAULT 0,
  half_day_minutes INTEGER NOT NULL DEFAULT 0,
  flexible         INTEGER NOT NULL DEFAULT 0,
  core_start       INTEGER NOT NULL DEFAULT 0,
  core_end         INTEGER NOT NULL DEFAULT 0,
  required_minutes INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (site, name)
);
CREATE TABLE work_patterns (
  site   TEXT NOT NULL DEFAULT '',
  name   TEXT NOT NULL,
  kind   TEXT NOT NULL CHECK (kind IN ('week', 'rotation')),
  starts TEXT NOT NULL DEFAULT '',
  days   TEXT NOT NULL DEFAULT '[]',
  PRIMARY KEY (site, name)
);
CREATE TABLE shift_assignments (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  site       TEXT NOT NULL DEFAULT '',
  pattern    TEXT NOT NULL,
  target     TEXT NOT NULL CHECK (target IN ('person', 'department')),
  person     INTEGER NOT NULL DEFAULT 0,
  department TEXT NOT NULL DEFAULT '',
  from_date  TEXT NOT NULL,
  until_date TEXT
);
CREATE INDEX shift_assignments_by_site ON shift_assignments (site, from_date);
CREATE TABLE days_off (
  site TEXT NOT NULL DEFAULT '',
  day  TEXT NOT NULL,
  kind TEXT NOT NULL CHECK (kind IN ('holiday', 'rest')),
  name TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (site, day)
);
CREATE TABLE leave_entries (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  site         TEXT NOT NULL DEFAULT '',
  person       INTEGER NOT NULL,
  kind         TEXT NOT NULL,
  from_date    TEXT NOT NULL,
  to_date      TEXT NOT NULL,
  part_start   INTEGER,
  part_end     INTEGER,
  note         TEXT NOT NULL DEFAULT '',
  added_by     TEXT NOT NULL DEFAULT '',
  added_at     TEXT NOT NULL,
  withdrawn_by TEXT,
  withdrawn_at TEXT,
  CHECK (from_date <= to_date)
);
CREATE INDEX leave_entries_by_person ON leave_entries (site, person, from_date);
CREATE INDEX leave_entries_by_end ON leave_entries (site, to_date);
CREATE TABLE corrections (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  site         TEXT NOT NULL DEFAULT '',
  person       INTEGER NOT NULL,
  kind         TEXT NOT NULL CHECK (kind IN ('add', 'set-aside')),
  at_time      TEXT NOT NULL,
  direction    TEXT NOT NULL DEFAULT '' CHECK (direction IN ('', 'in', 'out')),
  port         INTEGER NOT NULL DEFAULT 0,
  terminal     INTEGER NOT NULL DEFAULT 0,
  reason       TEXT NOT NULL DEFAULT '',
  added_by     TEXT NOT NULL DEFAULT '',
  added_at     TEXT NOT NULL,
  withdrawn_by TEXT,
  withdrawn_at TEXT
);
CREATE INDEX corrections_by_time ON corrections (site, at_time);
CREATE TABLE closed_months (
  site      TEXT NOT NULL DEFAULT '',
  month     TEXT NOT NULL,
  closed_by TEXT NOT NULL DEFAULT '',
  closed_at TEXT NOT NULL,
  days_json TEXT NOT NULL,
  PRIMARY KEY (site, month)
);
CREATE TABLE leave_kinds (
  site     TEXT NOT NULL DEFAULT '',
  kind     TEXT NOT NULL,
  position INTEGER NOT NULL,
  PRIMARY KEY (site, kind)
);
)sql",
     R"sql(
CREATE TABLE shifts (
  site             TEXT COLLATE "C" NOT NULL DEFAULT '',
  name             TEXT COLLATE "C" NOT NULL,
  start_minute     INTEGER NOT NULL,
  end_minute       INTEGER NOT NULL,
  late_grace       INTEGER NOT NULL DEFAULT 0,
  early_grace      INTEGER NOT NULL DEFAULT 0,
  break_minutes    INTEGER NOT NULL DEFAULT 0,
  window_before    INTEGER NOT NULL DEFAULT 240,
  window_after     INTEGER NOT NULL DEFAULT 360,
  full_day_minutes INTEGER NOT NULL DEFAULT 0,
  half_day_minutes INTEGER NOT NULL DEFAULT 0,
  flexible         INTEGER NOT NULL DEFAULT 0,
  core_start       INTEGER NOT NULL DEFAULT 0,
  core_end         INTEGER NOT NULL DEFAULT 0,
  required_minutes INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (site, name)
);
CREATE TABLE work_patterns (
  site   TEXT COLLATE "C" NOT NULL DEFAULT '',
  name   TEXT COLLATE "C" NOT NULL,
  kind   TEXT COLLATE "C" NOT NULL CHECK (kind IN ('week', 'rotation')),
  starts TEXT COLLATE "C" NOT NULL DEFAULT '',
  days   TEXT NOT NULL DEFAULT '[]',
  PRIMARY KEY (site, name)
);
CREATE TABLE shift_assignments (
  id         BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  site       TEXT COLLATE "C" NOT NULL DEFAULT '',
  pattern    TEXT COLLATE "C" NOT NULL,
  target     TEXT COLLATE "C" NOT NULL CHECK (target IN ('person', 'department')),
  person     INTEGER NOT NULL DEFAULT 0,
  department TEXT COLLATE "C" NOT NULL DEFAULT '',
  from_date  TEXT COLLATE "C" NOT NULL,
  until_date TEXT COLLATE "C"
);
CREATE INDEX shift_assignments_by_site ON shift_assignments (site, from_date);
CREATE TABLE days_off (
  site TEXT COLLATE "C" NOT NULL DEFAULT '',
  day  TEXT COLLATE "C" NOT NULL,
  kind TEXT COLLATE "C" NOT NULL CHECK (kind IN ('holiday', 'rest')),
  name TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (site, day)
);
CREATE TABLE leave_entries (
  id           BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  site         TEXT COLLATE "C" NOT NULL DEFAULT '',
  person       INTEGER NOT NULL,
  kind         TEXT COLLATE "C" NOT NULL,
  from_date    TEXT COLLATE "C" NOT NULL,
  to_date      TEXT COLLATE "C" NOT NULL,
  part_start   INTEGER,
  part_end     INTEGER,
  note         TEXT NOT NULL DEFAULT '',
  added_by     TEXT NOT NULL DEFAULT '',
  added_at     TEXT COLLATE "C" NOT NULL,
  withdrawn_by TEXT,
  withdrawn_at TEXT COLLATE "C",
  CHECK (from_date <= to_date)
);
CREATE INDEX leave_entries_by_person ON leave_entries (site, person, from_date);
CREATE INDEX leave_entries_by_end ON leave_entries (site, to_date);
CREATE TABLE corrections (
  id           BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  site         TEXT COLLATE "C" NOT NULL DEFAULT '',
  person       INTEGER NOT NULL,
  kind         TEXT COLLATE "C" NOT NULL CHECK (kind IN ('add', 'set-aside')),
  at_time      TEXT COLLATE "C" NOT NULL,
  direction    TEXT COLLATE "C" NOT NULL DEFAULT '' CHECK (direction IN ('', 'in', 'out')),
  port         INTEGER NOT NULL DEFAULT 0,
  terminal     INTEGER NOT NULL DEFAULT 0,
  reason       TEXT NOT NULL DEFAULT '',
  added_by     TEXT NOT NULL DEFAULT '',
  added_at     TEXT COLLATE "C" NOT NULL,
  withdrawn_by TEXT,
  withdrawn_at TEXT COLLATE "C"
);
CREATE INDEX corrections_by_time ON corrections (site, at_time);
CREATE TABLE closed_months (
  site      TEXT COLLATE "C" NOT NULL DEFAULT '',
  month     TEXT COLLATE "C" NOT NULL,
  closed_by TEXT NOT NULL DEFAULT '',
  closed_at TEXT COLLATE "C" NOT NULL,
  days_json TEXT NOT NULL,
  PRIMARY KEY (site, month)
);
CREATE TABLE leave_kinds (
  site     TEXT COLLATE "C" NOT NULL DEFAULT '',
  kind     TEXT COLLATE "C" NOT NULL,
  position INTEGER NOT NULL,
  PRIMARY KEY (site, kind)
);
)sql"},
    // A month judged reads a site's swipes of the month (person, time, port, terminal) in time
    // order: from this index alone, without reading a row (the index by time lacks the site).
    {26, "attendance: a site's swipes by time, read from one index",
     R"sql(
CREATE INDEX swipes_by_site_time ON swipes (site, swipe_time, person, port, terminal);
)sql",
     R"sql(
CREATE INDEX swipes_by_site_time ON swipes (site, swipe_time, person, port, terminal);
)sql"},
    // HR marks a day looked at (with who, when and a note); unmarking deletes the row.
    {27, "attendance: the days HR marked reviewed",
     R"sql(
CREATE TABLE days_reviewed (
  site        TEXT NOT NULL DEFAULT '',
  person      INTEGER NOT NULL,
  day         TEXT NOT NULL,
  reviewed_by TEXT NOT NULL DEFAULT '',
  reviewed_at TEXT NOT NULL,
  note        TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (site, person, day)
);
)sql",
     R"sql(
CREATE TABLE days_reviewed (
  site        TEXT COLLATE "C" NOT NULL DEFAULT '',
  person      INTEGER NOT NULL,
  day         TEXT COLLATE "C" NOT NULL,
  reviewed_by TEXT NOT NULL DEFAULT '',
  reviewed_at TEXT COLLATE "C" NOT NULL,
  note        TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (site, person, day)
);
)sql"},
    // Every write that can change a judged day counts one change in `data_changes`, so a judged
    // month kept between requests is known still to hold (host::JudgedMonths) with one read,
    // whichever process or host wrote. SQLite: a trigger per row on the tables the rules read,
    // but a swipe stored is counted once per store by the store itself (as a log's count is,
    // step 18); a swipe changed or removed by its triggers. PostgreSQL: a deferred trigger counts
    // once per transaction as it commits, so writers of other sites wait for the row only while
    // committing, never while they work.
    {28, "attendance: a count of the changes that can change a judged day",
     R"sql(
CREATE TABLE data_changes (id INTEGER PRIMARY KEY CHECK (id = 1), changes INTEGER NOT NULL);
INSERT INTO data_changes (id, changes) VALUES (1, 0);
CREATE TRIGGER swipes_updated AFTER UPDATE ON swipes BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER swipes_removed AFTER DELETE ON swipes BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER people_added AFTER INSERT ON people BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER people_updated AFTER UPDATE ON people BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER people_removed AFTER DELETE ON people BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_runs_added AFTER INSERT ON sync_runs BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_runs_updated AFTER UPDATE ON sync_runs BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_runs_removed AFTER DELETE ON sync_runs BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_run_terminals_added AFTER INSERT ON sync_run_terminals BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_run_terminals_updated AFTER UPDATE ON sync_run_terminals BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER sync_run_terminals_removed AFTER DELETE ON sync_run_terminals BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shifts_added AFTER INSERT ON shifts BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shifts_updated AFTER UPDATE ON shifts BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shifts_removed AFTER DELETE ON shifts BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER work_patterns_added AFTER INSERT ON work_patterns BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER work_patterns_updated AFTER UPDATE ON work_patterns BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER work_patterns_removed AFTER DELETE ON work_patterns BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shift_assignments_added AFTER INSERT ON shift_assignments BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shift_assignments_updated AFTER UPDATE ON shift_assignments BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER shift_assignments_removed AFTER DELETE ON shift_assignments BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER days_off_added AFTER INSERT ON days_off BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER days_off_updated AFTER UPDATE ON days_off BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER days_off_removed AFTER DELETE ON days_off BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER leave_entries_added AFTER INSERT ON leave_entries BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER leave_entries_updated AFTER UPDATE ON leave_entries BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER leave_entries_removed AFTER DELETE ON leave_entries BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER corrections_added AFTER INSERT ON corrections BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER corrections_updated AFTER UPDATE ON corrections BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER corrections_removed AFTER DELETE ON corrections BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER closed_months_added AFTER INSERT ON closed_months BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER closed_months_updated AFTER UPDATE ON closed_months BEGIN UPDATE data_changes SET changes = changes + 1; END;
CREATE TRIGGER closed_months_removed AFTER DELETE ON closed_months BEGIN UPDATE data_changes SET changes = changes + 1; END;
)sql",
     R"sql(
CREATE TABLE data_changes (id INTEGER PRIMARY KEY CHECK (id = 1), changes BIGINT NOT NULL);
INSERT INTO data_changes (id, changes) VALUES (1, 0);
CREATE FUNCTION count_data_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF current_setting('vanto.data_changed', true) IS DISTINCT FROM 'yes' THEN
    PERFORM set_config('vanto.data_changed', 'yes', true);
    UPDATE data_changes SET changes = changes + 1 WHERE id = 1;
  END IF;
  RETURN NULL;
END $$;
CREATE CONSTRAINT TRIGGER swipes_changed AFTER INSERT OR UPDATE OR DELETE ON swipes
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER people_changed AFTER INSERT OR UPDATE OR DELETE ON people
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER sync_runs_changed AFTER INSERT OR UPDATE OR DELETE ON sync_runs
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER sync_run_terminals_changed AFTER INSERT OR UPDATE OR DELETE ON sync_run_terminals
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER shifts_changed AFTER INSERT OR UPDATE OR DELETE ON shifts
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER work_patterns_changed AFTER INSERT OR UPDATE OR DELETE ON work_patterns
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER shift_assignments_changed AFTER INSERT OR UPDATE OR DELETE ON shift_assignments
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER days_off_changed AFTER INSERT OR UPDATE OR DELETE ON days_off
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER leave_entries_changed AFTER INSERT OR UPDATE OR DELETE ON leave_entries
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER corrections_changed AFTER INSERT OR UPDATE OR DELETE ON corrections
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
CREATE CONSTRAINT TRIGGER closed_months_changed AFTER INSERT OR UPDATE OR DELETE ON closed_months
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION count_data_change();
)sql"},
};

// Every table the steps above create, in the order a copy fills them (a table before the ones
// that name its rows), with what `vanto db copy` does with it.
constexpr SchemaTable kTables[] = {
    {"schema_version", 0, TableCopy::kLeftOut, "the destination records its own steps"},
    {"swipes", 1, TableCopy::kCopied,
     "every swipe, in feed order: each gets a new feed position that follows the old order"},
    {"enrolment", 1, TableCopy::kCopied, "every row; a row the destination holds already, value for value, stays one"},
    {"people", 2, TableCopy::kCopied,
     "every person under its site; a name, department and employee code come from the source"},
    {"rejected_records", 3, TableCopy::kCopied, "every record; one held already keeps its first reason and time"},
    {"log_records", 3, TableCopy::kDerived, "counted again by the destination from the swipes and rejected records"},
    {"conflicts", 5, TableCopy::kCopied, "every conflict with its acknowledgement; numbered anew"},
    {"log_epochs", 5, TableCopy::kCopied, "every epoch, naming its conflict by its new number"},
    {"users", 6, TableCopy::kCopied, "every user with the password hash: the same passwords sign in"},
    {"sessions", 6, TableCopy::kLeftOut, "not copied: everyone signs in again"},
    {"audit", 6, TableCopy::kCopied, "every row, in the old order; numbered anew"},
    {"sync_runs", 7, TableCopy::kCopied, "every run, in the old order; numbered anew"},
    {"sync_run_terminals", 7, TableCopy::kCopied, "every terminal's row, under its run's new number"},
    {"api_tokens", 8, TableCopy::kCopied, "every token: programs keep their tokens"},
    {"api_token_reads", 8, TableCopy::kCopied, "every hour's count of reads"},
    {"push_endpoints", 13, TableCopy::kCopied,
     "every endpoint, delivered up to the same swipe (its position translated); a drainer's lease is released"},
    {"feed_moves", 15, TableCopy::kLeftOut,
     "not copied: the copy writes the destination's own (each copied swipe's position in the source)"},
    {"swipes_withdrawn", 19, TableCopy::kLeftOut,
     "not copied: the destination holds no withdrawn swipe, so its feed has nothing to withdraw"},
    {"sites", 20, TableCopy::kCopied,
     "every site with its first and last sync, settings, the host that last synced it and its push-key name; one "
     "held already stays"},
    {"push_key_sites", 22, TableCopy::kCopied,
     "the position after which push keys carry the site, translated as an endpoint's (the last swipe at or before it)"},
    {"shifts", 25, TableCopy::kCopied, "every shift under its site; one the destination holds by name stays"},
    {"work_patterns", 25, TableCopy::kCopied, "every pattern under its site; one the destination holds by name stays"},
    {"shift_assignments", 25, TableCopy::kCopied, "every assignment, in the old order; numbered anew"},
    {"days_off", 25, TableCopy::kCopied, "every holiday and rest day under its site; one the destination holds stays"},
    {"leave_entries", 25, TableCopy::kCopied,
     "every leave entry, in the old order, numbered anew; a withdrawal made since an earlier copy is carried over"},
    {"corrections", 25, TableCopy::kCopied,
     "every correction, in the old order, numbered anew; a withdrawal made since an earlier copy is carried over"},
    {"closed_months", 25, TableCopy::kCopied,
     "every closed month with its judged days, the corrections they name by their new numbers; one the destination "
     "holds stays"},
    {"leave_kinds", 25, TableCopy::kCopied, "every site's leave kinds in their order; a kind the destination holds stays"},
    {"days_reviewed", 27, TableCopy::kCopied, "every day marked reviewed under its site; one the destination holds stays"},
    {"data_changes", 28, TableCopy::kLeftOut, "not copied: the destination counts its own changes, those of the copy too"},
};

}  // namespace

std::span<const SchemaStep> SchemaSteps() { return kSteps; }

std::span<const SchemaTable> SchemaTables() { return kTables; }

int LatestSchemaVersion() { return kSteps[std::size(kSteps) - 1].version; }

int OldestReadableSchemaVersion() { return 0; }

void CheckReadableSchema(const std::string& location, int version) {
  if (version > LatestSchemaVersion()) throw StoreError(StoreFailure::NewerSchema, NewerSchemaMessage(location, version));
  if (version < OldestReadableSchemaVersion())
    throw StoreError(StoreFailure::Invalid,
                     host::Message("database {0} has schema version {1}, older than this vanto reads without updating it: "
                                  "open it for writing once (any command that stores does)",
                                  {location, std::to_string(version)}));
}

const char* SchemaStepSql(const SchemaStep& step, Engine engine) {
  return engine == Engine::Sqlite ? step.sqlite : step.postgres;
}

const char* SchemaVersionTableSql(Engine engine) {
  return engine == Engine::Sqlite
             ? "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, what TEXT NOT NULL, "
               "applied_at TEXT NOT NULL)"
             : "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, what TEXT NOT NULL, "
               "applied_at TEXT NOT NULL)";
}

namespace {
// SwipePosition's columns: the unidentified key (port, terminal, person, minute of the time,
// occurrence) and the identified one (identity, generation, index, epoch) are both in it.
constexpr const char* kPagePosition =
    "swipe_time, person, port, terminal, occurrence, COALESCE(identity, -1), COALESCE(generation, -1), "
    "COALESCE(record_index, -1), epoch";
}  // namespace

std::vector<std::int32_t> DistinctPersons(std::span<const std::int32_t> persons) {
  std::vector<std::int32_t> distinct(persons.begin(), persons.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  return distinct;
}

SqlFilter BuildFilter(const SwipeQuery& query, Engine engine) {
  SqlFilter filter;
  auto next = [&](SqlValue value) {
    filter.values.push_back(std::move(value));
    std::string n = std::to_string(filter.values.size());
    return engine == Engine::Sqlite ? "?" + n : "$" + n;
  };
  std::vector<std::string> tests;
  if (query.from) tests.push_back("swipe_time >= " + next(*query.from));
  // "~" sorts after every character of a time text, so a date or a minute covers all of it.
  if (query.to) tests.push_back("swipe_time <= " + next(*query.to + "~"));
  if (!query.persons.empty()) {
    std::string in = "person IN (";
    for (std::size_t i = 0; i < query.persons.size(); ++i)
      in += (i ? ", " : "") + next(static_cast<std::int64_t>(query.persons[i]));
    tests.push_back(in + ")");
  }
  if (query.site) tests.push_back("site = " + next(*query.site));
  if (query.port) tests.push_back("port = " + next(static_cast<std::int64_t>(*query.port)));
  if (query.terminal) tests.push_back("terminal = " + next(static_cast<std::int64_t>(*query.terminal)));
  if (query.after) {
    // The time alone first: the index on swipe time starts its scan there, and the full
    // position only sorts out the swipes of that same time.
    const SwipePosition& a = *query.after;
    std::string time = next(a.time);
    tests.push_back("swipe_time >= " + time);
    std::string values = time;
    for (std::int64_t v : {std::int64_t{a.person}, std::int64_t{a.port}, std::int64_t{a.terminal},
                           std::int64_t{a.occurrence}, a.identity, a.generation, a.index, a.epoch})
      values += ", " + next(v);
    tests.push_back(std::string("(") + kPagePosition + ") > (" + values + ")");
  }
  for (std::size_t i = 0; i < tests.size(); ++i) filter.where += (i ? " AND " : " WHERE ") + tests[i];
  return filter;
}

const char* kSwipeColumns =
    "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, record_index, epoch, "
    "site";

std::string FeedBoundSql() {
  return "WITH s AS (SELECT pg_snapshot_xmax(pg_current_snapshot())::text::bigint AS next), "
         "writers AS (SELECT a.backend_xid::text::bigint AS xid FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
         "WHERE l.locktype = 'advisory' AND l.classid = " +
         std::to_string(kFeedWriterClass) + " AND l.objid = " + std::to_string(kFeedWriterObject) +
         " AND l.objsubid = 2 AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database()) "
         "AND a.backend_xid IS NOT NULL) "
         // A 32-bit id as the 64-bit one within 2^31 of N.
         "SELECT least(s.next, (SELECT min(s.next + (((w.xid - s.next % 4294967296) % 4294967296 + 6442450944) "
         "% 4294967296) - 2147483648) FROM writers w))::text FROM s";
}

std::string FeedWriterLockSql() {
  return "SELECT pg_advisory_xact_lock_shared(" + std::to_string(kFeedWriterClass) + ", " +
         std::to_string(kFeedWriterObject) + ")";
}

std::string SwipeColumnsOf(int version) {
  if (version >= 20) return kSwipeColumns;
  if (version >= 5) return "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, "
                           "record_index, epoch, ''";
  if (version >= 3) return "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, identity, generation, "
                           "record_index, 0, ''";
  return "port, terminal, person, minute, occurrence, swipe_time, downloaded_at, NULL, NULL, NULL, 0, ''";
}
const char* kSwipeOrder = " ORDER BY swipe_time, person, port, terminal, occurrence";

std::string SwipeOrderOf(const SwipeQuery& query) {
  if (!query.after && !query.limit) return kSwipeOrder;
  std::string order = std::string(" ORDER BY ") + kPagePosition;
  if (query.limit) order += " LIMIT " + std::to_string(*query.limit);
  return order;
}

std::string CountSwipesSql(const SqlFilter& filter) { return "SELECT count(*) FROM swipes" + filter.where; }

std::string SwipesSql(int version, const SqlFilter& filter, const SwipeQuery& query) {
  return "SELECT " + SwipeColumnsOf(version) + " FROM swipes" + filter.where + SwipeOrderOf(query);
}

SqlFilter BriefFilter(const SwipeQuery& query, Engine engine) {
  SwipeQuery narrow;
  narrow.from = query.from;
  narrow.to = query.to;
  narrow.persons = query.persons;
  narrow.site = query.site;
  return BuildFilter(narrow, engine);
}

std::string BriefSwipesSql(const SqlFilter& filter) {
  return "SELECT person, swipe_time, port, terminal FROM swipes" + filter.where +
         " ORDER BY swipe_time, person, port, terminal";
}

std::string SwipePersonsSql(const SqlFilter& filter) {
  // The first time beside each person names a row that holds a bad person number.
  return "SELECT person, min(swipe_time) FROM swipes" + filter.where + " GROUP BY person ORDER BY person";
}

StoreError NotAWholeNumber(const std::string& location, const char* column, const std::string& value,
                           const std::string& time, const std::string& person) {
  return StoreError(StoreFailure::Invalid,
                    host::Message("database {0}: table swipes holds {1} in column {2} of the swipe of person {3} at {4}, "
                                  "which is not a whole number",
                                  {location, value, column, person, time}));
}

host::Message NewerSchemaMessage(const std::string& location, int version) {
  return host::Message("database {0} has schema version {1}, written by a newer vanto (this one knows up to version {2}): "
                      "use that version",
                      {location, std::to_string(version), std::to_string(LatestSchemaVersion())});
}

}  // namespace vanto::store
