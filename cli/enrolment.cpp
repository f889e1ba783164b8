#include "cli/enrolment.h"

#include "cli/machine.h"
#include "platform/ado/sqlite_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::cli {

ComPtr<RowSet> OpenEnrolmentRows(const std::string& path, std::optional<std::int32_t> person,
                                 double lock_timeout_seconds, bool for_reading) {
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
