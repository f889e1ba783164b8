// A view over the host's enrolment row set: the row-set operations the driver uses, each
// failing call thrown as OperationFailure with the row set's own description.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

class RowSetView {
 public:
  // Holds a reference on `rows` for the view's life; a null row set fails at first use.
  explicit RowSetView(RowSet* rows) : rows_(rows) {}

  LONG RecordCount();
  void AddNew();
  void PutCollect(std::u16string_view column, const Variant& value);
  // Appends `size` bytes to the binary field `field` of the current row.
  void AppendChunk(std::u16string_view field, const BYTE* data, std::size_t size);
  Variant Value(std::u16string_view field);
  void MoveFirst();
  void MoveNext();
  bool AtEnd();

 private:
  RowSet& Rows();
  ComPtr<RowSet> rows_;
};
