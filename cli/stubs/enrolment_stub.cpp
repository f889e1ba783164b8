// STUB, built only while the SQLite row set is not part of the tree.
#include "cli/enrolment.h"
#include "cli/machine.h"

namespace vanto::cli {
ComPtr<RowSet> OpenEnrolmentRows(const std::string& path, std::optional<std::int32_t>, double) {
  throw HostError("the enrolment table of " + path + " cannot be opened in this build");
}
long RowCount(RowSet*) { return -1; }
long long ColumnNumber(RowSet*, const char16_t*, long long fallback) { return fallback; }
}  // namespace vanto::cli
