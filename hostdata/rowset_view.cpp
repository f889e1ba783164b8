#include "hostdata/rowset_view.h"

#include <cstring>

#include "failure/failure.h"
#include "platform/automation/errorinfo.h"

RowSet& RowSetView::Rows() {
  if (!rows_) Fail(kTextObjectNotSet);
  ClearErrorInfo();
  return *rows_.Get();
}

LONG RowSetView::RecordCount() {
  LONG count = 0;
  CheckHostCall(Rows().get_RecordCount(&count));
  return count;
}

void RowSetView::AddNew() { CheckHostCall(Rows().AddNew()); }

void RowSetView::PutCollect(std::u16string_view column, const Variant& value) {
  Variant name = Variant::Str(column);
  CheckHostCall(Rows().put_Collect(name.Raw(), value.Raw()));
}

void RowSetView::AppendChunk(std::u16string_view field, const BYTE* data, std::size_t size) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  if (!array) Fail(kTextOutOfMemory);
  Variant bytes = Variant::Array(VT_UI1, array);
  if (size) {
    void* target = nullptr;
    CheckRuntimeCall(SafeArrayAccessData(array, &target));
    std::memcpy(target, data, size);
    SafeArrayUnaccessData(array);
  }
  Bstr name(field);
  CheckHostCall(Rows().AppendChunk(name.Get(), bytes.Raw()));
}

Variant RowSetView::Value(std::u16string_view field) {
  Bstr name(field);
  Variant value;
  CheckHostCall(Rows().get_Value(name.Get(), value.Put()));
  return value;
}

void RowSetView::MoveFirst() { CheckHostCall(Rows().MoveFirst()); }
void RowSetView::MoveNext() { CheckHostCall(Rows().MoveNext()); }

bool RowSetView::AtEnd() {
  VARIANT_BOOL atEnd = VARIANT_FALSE;
  CheckHostCall(Rows().get_EOF(&atEnd));
  return atEnd != VARIANT_FALSE;
}
