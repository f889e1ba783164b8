// Enrolment rows in and out of a row set.
#include "platform/ado/enrolment.h"

#include "platform/ado/byte_array.h"
#include "platform/ado/columns.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/owners.h"

namespace {
HRESULT PutLong(RowSet* rows, const char16_t* column, const std::optional<LONG>& value) {
  return rows->put_Collect(Variant::Str(column).Raw(), value ? Variant::I4(*value).Raw() : Variant::Null().Raw());
}

HRESULT GetLong(RowSet* rows, const char16_t* column, std::optional<LONG>* out) {
  Variant value;
  if (HRESULT hr = rows->get_Value(Bstr(column).Get(), value.Put()); FAILED(hr)) return hr;
  if (value.Type() == VT_NULL) {
    out->reset();
  } else if (value.Type() == VT_I4) {
    *out = value.Raw().lVal;
  } else {
    return RaiseError(DISP_E_TYPEMISMATCH, std::u16string(u"列“") + column + u"”的值不是 Long");
  }
  return S_OK;
}
}  // namespace

HRESULT AddEnrolmentRow(RowSet* rows, const EnrolmentRow& row) {
  if (!rows) return RaiseError(E_POINTER, kTextObjectNotSet);
  HRESULT hr = rows->AddNew();
  if (FAILED(hr)) return hr;
  hr = PutLong(rows, kColumnPersonNumber, row.personNumber);
  if (SUCCEEDED(hr)) hr = PutLong(rows, kColumnEnrolmentNumber, row.enrolmentNumber);
  if (SUCCEEDED(hr)) hr = PutLong(rows, kColumnMachineNumber, row.machineNumber);
  if (SUCCEEDED(hr)) hr = PutLong(rows, kColumnPassword, row.password);
  if (SUCCEEDED(hr)) {
    Variant blob = row.fingerprint ? MakeByteArray(*row.fingerprint) : Variant::Null();
    hr = rows->put_Collect(Variant::Str(kColumnFingerprint).Raw(), blob.Raw());
  }
  if (SUCCEEDED(hr)) hr = rows->Update();
  if (FAILED(hr)) {
    // Keep the failure's description: CancelUpdate raises nothing, but take no chances.
    std::u16string text = TakeErrorDescription(hr);
    rows->CancelUpdate();
    RaiseError(hr, text);
  }
  return hr;
}

HRESULT ReadCurrentEnrolmentRow(RowSet* rows, EnrolmentRow* row) {
  if (!rows || !row) return RaiseError(E_POINTER, kTextObjectNotSet);
  EnrolmentRow read;
  HRESULT hr = GetLong(rows, kColumnPersonNumber, &read.personNumber);
  if (SUCCEEDED(hr)) hr = GetLong(rows, kColumnEnrolmentNumber, &read.enrolmentNumber);
  if (SUCCEEDED(hr)) hr = GetLong(rows, kColumnMachineNumber, &read.machineNumber);
  if (SUCCEEDED(hr)) hr = GetLong(rows, kColumnPassword, &read.password);
  if (FAILED(hr)) return hr;
  Variant blob;
  if (hr = rows->get_Value(Bstr(kColumnFingerprint).Get(), blob.Put()); FAILED(hr)) return hr;
  if (blob.Type() != VT_NULL) {
    std::vector<BYTE> bytes;
    if (FAILED(ReadByteArray(blob.Raw(), &bytes)))
      return RaiseError(DISP_E_TYPEMISMATCH, u"列“bFingerprint”的值不是字节数组");
    read.fingerprint = std::move(bytes);
  }
  *row = std::move(read);
  return S_OK;
}

HRESULT ReadEnrolmentRows(RowSet* rows, std::vector<EnrolmentRow>* out) {
  if (!rows || !out) return RaiseError(E_POINTER, kTextObjectNotSet);
  std::vector<EnrolmentRow> all;
  HRESULT hr = rows->MoveFirst();
  if (FAILED(hr)) return hr;
  for (;;) {
    VARIANT_BOOL atEnd = VARIANT_FALSE;
    if (hr = rows->get_EOF(&atEnd); FAILED(hr)) return hr;
    if (atEnd) break;
    EnrolmentRow row;
    if (hr = ReadCurrentEnrolmentRow(rows, &row); FAILED(hr)) return hr;
    all.push_back(std::move(row));
    if (hr = rows->MoveNext(); FAILED(hr)) return hr;
  }
  *out = std::move(all);
  return S_OK;
}
