#include "cli/enrolment.h"

#include "cli/machine.h"

namespace vanto::cli {

// STUB (until the SQLite row set lands on main).
ComPtr<RowSet> OpenEnrolmentRows(const std::string& path, std::int32_t, double) {
  throw HostError("the enrolment table of " + path + " cannot be opened in this build");
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
