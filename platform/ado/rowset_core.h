// The row-set behaviour shared by every row set of this folder: declared columns, a forward
// cursor, the current row's pending changes (an added row or edits to a stored one) held until
// Update or CancelUpdate, and the errors. A backing store joins in through two hooks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ado/columns.h"
#include "platform/ado/rowset.h"
#include "platform/automation/object.h"

namespace rowset_detail {

// One column value: no value, a Long, or bytes.
using Cell = std::variant<std::monostate, LONG, std::vector<BYTE>>;

struct Row {
  std::vector<Cell> cells;
  std::int64_t key = 0;  // the backing store's identity of the row (0 until stored)
};

// Compares column names as the row set does: ASCII letters without regard to case.
bool SameColumnName(std::u16string_view a, std::u16string_view b);
// Checks a declaration: at least one column, no empty name, no name twice. Raises on failure.
HRESULT ValidateColumns(const std::vector<ColumnSpec>& columns);

class RowSetCore : public DispatchObject<RowSet> {
 public:
  // `columns` must have passed ValidateColumns.
  explicit RowSetCore(std::vector<ColumnSpec> columns);

  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override;

  HRESULT STDMETHODCALLTYPE get_RecordCount(LONG* count) override;
  HRESULT STDMETHODCALLTYPE AddNew() override;
  HRESULT STDMETHODCALLTYPE get_Collect(VARIANT column, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE put_Collect(VARIANT column, VARIANT value) override;
  HRESULT STDMETHODCALLTYPE AppendChunk(BSTR field, VARIANT data) override;
  HRESULT STDMETHODCALLTYPE get_Value(BSTR field, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE MoveFirst() override;
  HRESULT STDMETHODCALLTYPE MoveNext() override;
  HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* atEnd) override;
  HRESULT STDMETHODCALLTYPE Update() override;
  HRESULT STDMETHODCALLTYPE CancelUpdate() override;

  const std::vector<ColumnSpec>& Columns() const { return columns_; }
  // Adds a row that is already stored (loading); the cursor stays where it is.
  void LoadRow(Row row);

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_RowSet; }

  // Stores a new row; may set its key. On failure: raise, store nothing, leave `row` as it was.
  virtual HRESULT StoreAdded(Row& row) { return S_OK; }
  // Stores the changed columns of a stored row. On failure: raise and store nothing.
  virtual HRESULT StoreChanged(const Row& row, const std::vector<bool>& changed) { return S_OK; }

 private:
  enum class Pending { None, Adding, Editing };

  HRESULT FindColumn(const VARIANT& column, std::size_t* index, std::u16string_view operation);
  HRESULT FindColumn(std::u16string_view name, std::size_t* index);
  bool HasCurrentRow() const;
  const Row& CurrentRow() const;
  // The row that writes go to: starts an edit of the stored current row when none is pending.
  Row& WritableRow();
  HRESULT NoPendingChanges(std::u16string_view operation) const;
  HRESULT ReadCell(std::size_t column, VARIANT* value);
  void DropPending();

  std::vector<ColumnSpec> columns_;
  std::vector<Row> rows_;
  std::size_t position_ = 0;  // rows_.size() is EOF
  Pending pending_ = Pending::None;
  Row edited_;
  std::vector<bool> changed_;
  std::size_t positionBeforeAdd_ = 0;
  // The binary column an AppendChunk run is filling: its first chunk replaces the column's value,
  // later chunks append, until another column is touched or the current row changes.
  std::optional<std::size_t> chunkColumn_;
};

}  // namespace rowset_detail
