// The in-memory row set: the shared row-set behaviour with nothing behind it.
#include "platform/ado/memory_rowset.h"

#include <utility>

#include "platform/ado/rowset_core.h"

namespace {
class MemoryRowSet final : public rowset_detail::RowSetCore {
 public:
  using RowSetCore::RowSetCore;
};
}  // namespace

ComPtr<RowSet> CreateMemoryRowSet(std::vector<ColumnSpec> columns) {
  if (FAILED(rowset_detail::ValidateColumns(columns))) return {};
  return ComPtr<RowSet>::Adopt(new MemoryRowSet(std::move(columns)));
}

ComPtr<RowSet> CreateEnrolmentRowSet() { return CreateMemoryRowSet(EnrolmentColumns()); }
