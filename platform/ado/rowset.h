// The enrolment row set contract: the row-set operations a driver calls on the host's row set,
// plus the commit and cancel the host itself uses. Errors raise through the per-thread error
// info with a description (Simplified Chinese) naming the column or operation.
#pragma once

#include "platform/automation/abi.h"

inline constexpr IID IID_RowSet{0x7D2A4B30, 0x1E5F, 0x4C82, {0xB6, 0x07, 0x5E, 0x91, 0x2C, 0x44, 0xA8, 0x30}};

// Column names match case-insensitively. A column with no value reads as VT_NULL.
struct RowSet : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_RecordCount(LONG* count) = 0;
  // Starts a new row, which becomes the current row (buffered until Update).
  virtual HRESULT STDMETHODCALLTYPE AddNew() = 0;
  // The value of `column` (a name as VT_BSTR) in the current row.
  virtual HRESULT STDMETHODCALLTYPE get_Collect(VARIANT column, VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Collect(VARIANT column, VARIANT value) = 0;
  // Fields(field).AppendChunk data: appends bytes (VT_ARRAY|VT_UI1) to a binary column of the
  // current row.
  virtual HRESULT STDMETHODCALLTYPE AppendChunk(BSTR field, VARIANT data) = 0;
  // Fields(field).Value.
  virtual HRESULT STDMETHODCALLTYPE get_Value(BSTR field, VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveFirst() = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveNext() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* atEnd) = 0;
  // Commits the added or changed current row; CancelUpdate drops its pending changes.
  virtual HRESULT STDMETHODCALLTYPE Update() = 0;
  virtual HRESULT STDMETHODCALLTYPE CancelUpdate() = 0;
};
