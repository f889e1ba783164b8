// The database schema, one for every engine, built and brought up to date by numbered steps.
// A database records each step it has taken in `schema_version` (version, what, applied_at);
// opening a store takes the missing steps in order, each in one transaction with its record,
// and refuses a database whose version is newer than the last step known here.
//
// Adding to the schema is one new step at the end of the list in schema.cpp, with its text for
// each engine: a step never changes once released, and it keeps every stored row (copy into a
// new table and rename, rather than drop). Steps planned: a fingerprint row and a password row per
// person in the enrolment table (step 4). Step 2 added the people table and the indexes the listings and
// reports need; step 3 the swipe key by terminal identity, generation and index (person, minute
// and occurrence kept as columns), the rejected records and the per-log counts; step 5 the log epoch in that key, counts and first
// indexes per epoch, and the conflicts; step 6 the console's accounts; step 7 the sync runs; step 15 the feed positions a copy maps; step 16 the API tokens' expiry; step 17 the feed number as
// the SQLite swipes table's row key (a rebuild that keeps every feed number); step 18 a log's count of
// swipes kept once per store (SQLite: by the store that adds them, in its transaction). The PostgreSQL
// enrolment table's `row_id` is the identity its row set commits changes by: a step that
// rebuilds the table keeps it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "host/db/swipe_store.h"
#include "host/message.h"

namespace vanto::store {

enum class Engine { Sqlite, Postgres };

struct SchemaStep {
  int version;          // 1, 2, ...: the schema version the step brings the database to
  const char* what;     // a short description, recorded with the version
  const char* sqlite;   // the step's statements for each engine
  const char* postgres;
};

std::span<const SchemaStep> SchemaSteps();
int LatestSchemaVersion();
// The oldest schema that reads as the latest does (0: a database from before recorded versions
// has the shape of version 1). A step that changes what reading sees raises it.
int OldestReadableSchemaVersion();
// Refuses (StoreError) reading a database of schema `version`.
void CheckReadableSchema(const std::string& location, int version);
const char* SchemaStepSql(const SchemaStep& step, Engine engine);

// What `vanto db copy` does with a table.
enum class TableCopy {
  kCopied,   // every row (the copy compares each table's content afterwards)
  kDerived,  // kept by the destination from the rows copied as it stores them (compared too)
  kLeftOut,  // not copied; `what` says what that means
};
// One table of the schema: the step that creates it and what a copy does with it.
struct SchemaTable {
  const char* name;
  int since;         // the step that creates it (0: the table of steps itself)
  TableCopy copy;
  const char* what;  // what a copy does with it, in a few words (English; docs and help list it)
};
// Every table the steps create, with the step that creates it: the one list `vanto db copy`
// (which learns from `since` what a source of an older schema holds) and the tests read. A step
// that adds a table adds it here; a test fails when a table is made and not listed.
std::span<const SchemaTable> SchemaTables();

// The table that records the steps taken.
const char* SchemaVersionTableSql(Engine engine);

// A swipe query as SQL: " WHERE ..." (or nothing) with its values, to bind in order.
using SqlValue = std::variant<std::int64_t, std::string>;
struct SqlFilter {
  std::string where;
  std::vector<SqlValue> values;
};
SqlFilter BuildFilter(const SwipeQuery& query, Engine engine);

// Person numbers a look-up by number (PeopleAmong) takes in one statement, at most.
inline constexpr std::size_t kPersonsPerQuery = 500;
// `persons` sorted, each once.
std::vector<std::int32_t> DistinctPersons(std::span<const std::int32_t> persons);
// The columns of a StoredSwipe in its order, and the order Each hands rows out in.
extern const char* kSwipeColumns;
// PostgreSQL: the feed's writer lock, a shared advisory lock of the transaction. Every transaction
// that stores swipes takes it before its first write (before it has a transaction id), so that
// the feed can tell which transactions may still add rows (host/db/swipe_feed.cpp). It shows in
// pg_locks as an advisory lock with classid kFeedWriterClass, objid kFeedWriterObject and
// objsubid 2 (two keys).
inline constexpr int kFeedWriterClass = 730533;
inline constexpr int kFeedWriterObject = 0;
std::string FeedWriterLockSql();
// PostgreSQL: one row, one column: the transaction id (xid8 as text) below which every writer of
// swipes has ended, read in the statement's snapshot. Rows below it that a later statement reads
// are all there will ever be below it (the reasoning: host/db/swipe_feed.cpp).
std::string FeedBoundSql();
// The columns of a StoredSwipe as a database of schema `version` (read without updating it)
// gives them: the ones it lacks as constants.
std::string SwipeColumnsOf(int version);
extern const char* kSwipeOrder;
// The ORDER BY (and LIMIT) Each uses for `query`: kSwipeOrder, or the paged listing order.
std::string SwipeOrderOf(const SwipeQuery& query);
// The statements that count and read the swipes of `query` (filter: BuildFilter's for the engine).
std::string CountSwipesSql(const SqlFilter& filter);
std::string SwipesSql(int version, const SqlFilter& filter, const SwipeQuery& query);
// The statements of SwipeStore::EachBrief (person, swipe_time, port, terminal, in that order)
// and of PersonsWithSwipes (person, its first swipe_time): the one place the narrow reads of swipes are written.
std::string BriefSwipesSql(const SqlFilter& filter);
std::string SwipePersonsSql(const SqlFilter& filter);
// The filter of EachBrief and PersonsWithSwipes: `query` without its port, terminal and paging.
SqlFilter BriefFilter(const SwipeQuery& query, Engine engine);
// A column of BriefSwipe's that does not hold a whole number (`value`: the text held, "NULL" for
// none), naming the table, the column and the row (by its time and person as held).
StoreError NotAWholeNumber(const std::string& location, const char* column, const std::string& value,
                           const std::string& time, const std::string& person);

// An audit row's details for a PutPeopleAudited: the note's details and what was done.
std::string AuditDetails(const AuditNote& audit, const PeopleImport& done);

// The schema step that added the withdrawn swipes (swipes_withdrawn).
inline constexpr int kWithdrawnSchemaVersion = 19;
// The step that counts the changes that can change a judged day (data_changes).
inline constexpr int kChangesSchemaVersion = 28;
// The condition (from WHERE on) that picks the rows of `swipes s` that are part of a double
// (StoredDouble): another row of the same log in another epoch with the same index, person and
// time. Standard SQL both engines take; the index on (identity, generation, record_index, epoch)
// serves the look-up.
extern const char* kDoubledRows;
// Whether `a` and `b` are one record by the doubles' rule (their epochs aside).
bool SameRecord(const StoredSwipe& a, const StoredSwipe& b);
// The fold's audit details: the caller's, with how many doubles were folded.
std::string FoldDetails(const AuditNote& audit, std::size_t folded);

// The message for a database whose schema is newer than this program knows.
host::Message NewerSchemaMessage(const std::string& location, int version);

}  // namespace vanto::store
