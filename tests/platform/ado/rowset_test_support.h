// Helpers shared by the row-set tests: the kinds of row set under test, temporary databases,
// and short forms of the row-set calls.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/site_choice.h"
#include "platform/ado/byte_array.h"
#include "platform/ado/columns.h"
#include "platform/ado/memory_rowset.h"
#include "host/db/database.h"
#include "host/db/postgres_rowset.h"
#include "platform/ado/rowset.h"
#include "host/db/sqlite_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"
#include "platform/automation/text.h"
#include "tests/support/pg_server.h"

// A directory of its own for one test, removed afterwards.
class TempDirectory {
 public:
  TempDirectory() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("vanto-ado-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The in-memory row set: one set, which "reopening" hands back as it is.
struct MemoryRowSetKind {
  ComPtr<RowSet> rows;
  void Prepare() { rows = CreateEnrolmentRowSet(); }
  ComPtr<RowSet> Open() { return rows; }
};

// The SQLite row set: every open reads the table afresh, so only committed rows are seen.
struct SqliteRowSetKind {
  TempDirectory directory;
  std::string path = directory.File("enrolment.db");
  void Prepare() { ASSERT_EQ(CreateEnrolmentSchema(path), S_OK) << "schema"; }
  ComPtr<RowSet> Open() {
    ComPtr<RowSet> rows;
    HRESULT hr = OpenEnrolmentRowSet(path, std::nullopt, &rows);
    EXPECT_EQ(hr, S_OK) << "open";
    return rows;
  }
};

// The PostgreSQL row set, over a fresh database of the test server: every open reads afresh.
struct PostgresRowSetKind {
  vanto::testing::PgDatabases databases;
  std::string url;
  void Prepare() {
    VANTO_REQUIRE_PG();
    url = databases.Fresh();
    ASSERT_EQ(CreatePostgresEnrolmentSchema(url), S_OK) << ToUtf8(TakeErrorDescription(E_FAIL));
  }
  ComPtr<RowSet> Open() {
    ComPtr<RowSet> rows;
    HRESULT hr = OpenPostgresEnrolmentRowSet(url, std::nullopt, &rows);
    EXPECT_EQ(hr, S_OK) << "open: " << ToUtf8(TakeErrorDescription(hr));
    return rows;
  }
};

// The row sets the database handle lends its connections to (SQLite: one of the handle's own;
// PostgreSQL: one of its pool, held for the row set's life). Each open is a row set of its own;
// when the kind goes every connection it lent must be back.
struct SqliteHandleRowSetKind {
  TempDirectory directory;
  std::shared_ptr<vanto::db::Database> db;
  void Prepare() { db = vanto::db::Database::Open(directory.File("site.db")); }
  ComPtr<RowSet> Open() {
    ComPtr<RowSet> rows;
    HRESULT hr = db->EnrolmentRows(vanto::host::SiteChoice{}, std::nullopt, std::nullopt, &rows);
    EXPECT_EQ(hr, S_OK) << "open: " << ToUtf8(TakeErrorDescription(hr));
    return rows;
  }
};

struct PostgresHandleRowSetKind {
  vanto::testing::PgDatabases databases;
  std::shared_ptr<vanto::db::Database> db;
  ~PostgresHandleRowSetKind() {
    if (db) {
      EXPECT_EQ(db->lent_connections(), 0u) << "a row set kept its connection after its release";
    }
  }
  void Prepare() {
    VANTO_REQUIRE_PG();
    vanto::db::DatabaseOptions options;
    options.pool_size = 2;
    db = vanto::db::Database::Open(databases.Fresh(), options);
  }
  ComPtr<RowSet> Open() {
    ComPtr<RowSet> rows;
    HRESULT hr = db->EnrolmentRows(vanto::host::SiteChoice{}, std::nullopt, std::nullopt, &rows);
    EXPECT_EQ(hr, S_OK) << "open: " << ToUtf8(TakeErrorDescription(hr));
    EXPECT_LE(db->open_connections(), 2u);
    return rows;
  }
};

inline HRESULT Put(RowSet* rows, std::u16string_view column, const Variant& value) {
  return rows->put_Collect(Variant::Str(column).Raw(), value.Raw());
}

inline Variant Get(RowSet* rows, std::u16string_view column) {
  Variant value;
  HRESULT hr = rows->get_Value(Bstr(column).Get(), value.Put());
  EXPECT_EQ(hr, S_OK) << "reading the column";
  return value;
}

inline HRESULT Append(RowSet* rows, std::u16string_view column, const std::vector<BYTE>& bytes) {
  return rows->AppendChunk(Bstr(column).Get(), MakeByteArray(bytes).Raw());
}

inline std::vector<BYTE> BytesOf(const Variant& value) {
  std::vector<BYTE> bytes;
  EXPECT_EQ(ReadByteArray(value.Raw(), &bytes), S_OK) << "a byte array";
  return bytes;
}

inline LONG Count(RowSet* rows) {
  LONG count = -1;
  EXPECT_EQ(rows->get_RecordCount(&count), S_OK);
  return count;
}

inline bool AtEnd(RowSet* rows) {
  VARIANT_BOOL atEnd = VARIANT_FALSE;
  EXPECT_EQ(rows->get_EOF(&atEnd), S_OK);
  return atEnd != VARIANT_FALSE;
}

inline std::u16string Text(HRESULT hr) { return TakeErrorDescription(hr); }

inline std::vector<BYTE> Pattern(std::size_t size, BYTE seed) {
  std::vector<BYTE> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(seed + i * 7);
  return bytes;
}

// Makes the gtest output readable for UTF-16 texts.
inline std::string Narrow(std::u16string_view text) { return ToUtf8(text); }

#define EXPECT_TEXT_HAS(text, part)                                              \
  EXPECT_NE(std::u16string_view(text).find(part), std::u16string_view::npos) \
      << "text: " << Narrow(text)
