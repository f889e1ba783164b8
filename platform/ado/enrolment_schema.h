// The enrolment table (a person's fingerprint row and password row: cPsn_Num, iFingerprintNO,
// imachineno, npassword, bFingerprint), defined once for every engine: the row sets create it
// from here, the host's first schema step holds the same text, and tests that build a database
// by hand use it too. The definitions are macros so that a step's SQL can be joined with them at
// compile time; use the constants elsewhere.
#pragma once

// SQLite: INTEGER columns and a BLOB, indexed by person.
#define VANTO_ENROLMENT_SQLITE_SQL                                                                             \
  "CREATE TABLE IF NOT EXISTS enrolment ("                                                                    \
  "cPsn_Num INTEGER, iFingerprintNO INTEGER, imachineno INTEGER, npassword INTEGER, bFingerprint BLOB);\n" \
  "CREATE INDEX IF NOT EXISTS enrolment_person ON enrolment (cPsn_Num);\n"

// PostgreSQL: the same columns (quoted, to keep their case) and a row identity the row set needs
// to find a row again.
#define VANTO_ENROLMENT_POSTGRES_SQL                                                                \
  "CREATE TABLE IF NOT EXISTS enrolment (row_id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, " \
  "\"cPsn_Num\" INTEGER, \"iFingerprintNO\" INTEGER, \"imachineno\" INTEGER, \"npassword\" INTEGER, " \
  "\"bFingerprint\" BYTEA);\n"                                                                      \
  "CREATE INDEX IF NOT EXISTS enrolment_person ON enrolment (\"cPsn_Num\");\n"

inline constexpr char kEnrolmentTable[] = "enrolment";
inline constexpr char kEnrolmentSchemaSql[] = VANTO_ENROLMENT_SQLITE_SQL;
inline constexpr char kPostgresEnrolmentSchemaSql[] = VANTO_ENROLMENT_POSTGRES_SQL;
