// The enrolment row set contract: the row-set operations a driver calls on the host's row set,
// plus the commit and cancel the host itself uses. Errors raise through the per-thread error
// info with a description (Simplified Chinese) naming the column or operation.
#pragma once

#include "platform/automation/abi.h"

// Failures of the row-set operations themselves (each also raises a description).
// No current row: an empty set, a set at EOF, or MoveNext past the last row.
inline constexpr HRESULT ROWSET_E_NOCURRENTROW = MakeRuntimeError(3021);
// The column named is not in the row set.
inline constexpr HRESULT ROWSET_E_COLUMNNOTFOUND = MakeRuntimeError(3265);
// The operation needs the current row's pending changes committed (Update) or dropped
// (CancelUpdate) first: moving or adding a row never commits or drops them silently.
inline constexpr HRESULT ROWSET_E_PENDINGCHANGES = MakeRuntimeError(3219);
// A value of the wrong type for the column answers DISP_E_TYPEMISMATCH; a value that converts
// to a Long column with the runtime's conversion failure answers that failure's code.

inline constexpr IID IID_RowSet{0x7D2A4B30, 0x1E5F, 0x4C82, {0xB6, 0x07, 0x5E, 0x91, 0x2C, 0x44, 0xA8, 0x30}};

// Column names match case-insensitively. A column with no value reads as VT_NULL.
struct RowSet : IDispatch {
  // The stored rows, plus the added row while it is pending.
  virtual HRESULT STDMETHODCALLTYPE get_RecordCount(LONG* count) = 0;
  // Starts a new row, which becomes the current row (buffered until Update).
  virtual HRESULT STDMETHODCALLTYPE AddNew() = 0;
  // The value of `column` (a name as VT_BSTR) in the current row.
  virtual HRESULT STDMETHODCALLTYPE get_Collect(VARIANT column, VARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Collect(VARIANT column, VARIANT value) = 0;
  // Fields(field).AppendChunk data: appends bytes (VT_ARRAY|VT_UI1) to a binary column of the
  // current row. The first chunk of a run replaces the column's value; a run ends when another
  // column is read or written or the current row changes.
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
