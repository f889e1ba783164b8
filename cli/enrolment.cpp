#include "cli/enrolment.h"

#include "cli/machine.h"
#include "cli/store/swipe_store.h"
#include "platform/ado/postgres_rowset.h"
#include "platform/ado/sqlite_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::cli {
namespace {

// The enrolment table of a database server; its schema comes from the store's versioned steps.
ComPtr<RowSet> OpenServerEnrolmentRows(const std::string& url, std::optional<std::int32_t> person,
                                       double lock_timeout_seconds, bool for_reading) {
  store::OpenOptions open;
  open.lock_timeout = std::chrono::milliseconds(static_cast<long long>(lock_timeout_seconds * 1000));
  // Brings the schema up to date, or (reading) checks that it can be read as it is.
  std::string server = (for_reading ? store::OpenSwipeStoreForReading(url, open.lock_timeout)
                                    : store::OpenSwipeStore(url, open))
                           ->location();
  PostgresOptions options;
  options.lockTimeout = open.lock_timeout;
  options.readOnly = for_reading;
  ComPtr<RowSet> rows;
  std::optional<LONG> filter;
  if (person) filter = *person;
  if (HRESULT hr = OpenPostgresEnrolmentRowSet(url, filter, &rows, options); FAILED(hr) || !rows)
    throw HostError("cannot open the enrolment table of " + server + ": " + ToUtf8(TakeErrorDescription(hr)));
  return rows;
}

}  // namespace

ComPtr<RowSet> OpenEnrolmentRows(const std::string& path, std::optional<std::int32_t> person,
                                 double lock_timeout_seconds, bool for_reading) {
  if (store::IsDatabaseUrl(path)) return OpenServerEnrolmentRows(path, person, lock_timeout_seconds, for_reading);
  SqliteOptions options;
  options.busyTimeout = std::chrono::milliseconds(static_cast<long long>(lock_timeout_seconds * 1000));
  options.readOnly = for_reading;
  if (HRESULT hr = for_reading ? S_OK : CreateEnrolmentSchema(path, options); FAILED(hr))
    throw HostError("cannot prepare the enrolment table of " + path + ": " + ToUtf8(TakeErrorDescription(hr)));
  ComPtr<RowSet> rows;
  std::optional<LONG> filter;
  if (person) filter = *person;
  if (HRESULT hr = OpenEnrolmentRowSet(path, filter, &rows, options); FAILED(hr) || !rows)
    throw HostError("cannot open the enrolment table of " + path + ": " + ToUtf8(TakeErrorDescription(hr)));
  return rows;
}

long RowCount(RowSet* rows) {
  LONG count = -1;
  if (!rows || FAILED(rows->get_RecordCount(&count))) return -1;
  return count;
}

long long ColumnNumber(RowSet* rows, const char16_t* column, long long fallback) {
  Bstr name(column);
  Variant value;
  long long number = 0;
  if (!rows || FAILED(rows->get_Value(name.Get(), value.Put())) || !VariantToInt(value.Raw(), &number)) return fallback;
  return number;
}

}  // namespace vanto::cli
