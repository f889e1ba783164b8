#include "tests/support/recording_rowset.h"

#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace {
std::u16string NameOf(const VARIANT& column) {
  if (column.vt != VT_BSTR) return {};
  return std::u16string(column.bstrVal ? column.bstrVal : u"", SysStringLen(column.bstrVal));
}
}  // namespace

std::u16string Lower(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

void RecordingRowSet::AddRow(std::vector<std::pair<std::u16string, Variant>> columns) {
  Row row;
  for (auto& [name, value] : columns) row[Lower(name)] = std::move(value);
  rows.push_back(std::move(row));
  if (current_ < 0) current_ = 0;
}

const Variant& RecordingRowSet::At(std::size_t row, std::u16string_view column) const {
  static const Variant empty;
  auto found = rows.at(row).find(Lower(column));
  return found == rows.at(row).end() ? empty : found->second;
}

bool RecordingRowSet::Record(const std::string& operation, HRESULT* failure) {
  log.push_back(operation);
  if (!failOn.empty() && operation == failOn) {
    *failure = RaiseError(E_FAIL, failDescription, u"RecordingRowSet");
    return false;
  }
  return true;
}

RecordingRowSet::Row* RecordingRowSet::CurrentRow() {
  if (current_ < 0 || static_cast<std::size_t>(current_) >= rows.size()) return nullptr;
  return &rows[static_cast<std::size_t>(current_)];
}

HRESULT RecordingRowSet::get_RecordCount(LONG* count) {
  HRESULT hr;
  if (!Record("RecordCount", &hr)) return hr;
  *count = static_cast<LONG>(rows.size());
  return S_OK;
}

HRESULT RecordingRowSet::AddNew() {
  HRESULT hr;
  if (!Record("AddNew", &hr)) return hr;
  rows.emplace_back();
  current_ = static_cast<long>(rows.size()) - 1;
  return S_OK;
}

HRESULT RecordingRowSet::get_Collect(VARIANT column, VARIANT* value) {
  HRESULT hr;
  if (!Record("Collect get " + ToUtf8(NameOf(column)), &hr)) return hr;
  Row* row = CurrentRow();
  if (!row) return RaiseError(E_FAIL, u"没有当前行", u"RecordingRowSet");
  auto found = row->find(Lower(NameOf(column)));
  VariantInit(value);
  if (found == row->end()) {
    value->vt = VT_NULL;
    return S_OK;
  }
  return VariantCopy(value, found->second.Ptr());
}

HRESULT RecordingRowSet::put_Collect(VARIANT column, VARIANT value) {
  HRESULT hr;
  if (!Record("Collect " + ToUtf8(NameOf(column)), &hr)) return hr;
  Row* row = CurrentRow();
  if (!row) return RaiseError(E_FAIL, u"没有当前行", u"RecordingRowSet");
  (*row)[Lower(NameOf(column))] = Variant::Copy(value);
  return S_OK;
}

HRESULT RecordingRowSet::AppendChunk(BSTR field, VARIANT data) {
  HRESULT hr;
  std::u16string name(field ? field : u"", SysStringLen(field));
  if (!Record("AppendChunk " + ToUtf8(name), &hr)) return hr;
  Row* row = CurrentRow();
  if (!row) return RaiseError(E_FAIL, u"没有当前行", u"RecordingRowSet");
  if (data.vt != (VT_ARRAY | VT_UI1)) return RaiseError(DISP_E_TYPEMISMATCH, u"AppendChunk 需要字节数组", u"RecordingRowSet");
  Variant& target = (*row)[Lower(name)];
  std::vector<BYTE> bytes;
  if (target.Type() == (VT_ARRAY | VT_UI1)) {
    SAFEARRAY* old = target.Raw().parray;
    bytes.assign(static_cast<BYTE*>(old->pvData), static_cast<BYTE*>(old->pvData) + old->rgsabound[0].cElements);
  }
  SAFEARRAY* add = data.parray;
  bytes.insert(bytes.end(), static_cast<BYTE*>(add->pvData), static_cast<BYTE*>(add->pvData) + add->rgsabound[0].cElements);
  SAFEARRAY* joined = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(joined->pvData));
  target = Variant::Array(VT_UI1, joined);
  return S_OK;
}

HRESULT RecordingRowSet::get_Value(BSTR field, VARIANT* value) {
  HRESULT hr;
  std::u16string name(field ? field : u"", SysStringLen(field));
  if (!Record("Value " + ToUtf8(name), &hr)) return hr;
  Row* row = CurrentRow();
  if (!row) return RaiseError(E_FAIL, u"没有当前行", u"RecordingRowSet");
  VariantInit(value);
  auto found = row->find(Lower(name));
  if (found == row->end() || found->second.Type() == VT_EMPTY) {
    value->vt = VT_NULL;
    return S_OK;
  }
  return VariantCopy(value, found->second.Ptr());
}

HRESULT RecordingRowSet::MoveFirst() {
  HRESULT hr;
  if (!Record("MoveFirst", &hr)) return hr;
  current_ = 0;
  return S_OK;
}

HRESULT RecordingRowSet::MoveNext() {
  HRESULT hr;
  if (!Record("MoveNext", &hr)) return hr;
  if (static_cast<std::size_t>(current_) >= rows.size()) return RaiseError(E_FAIL, u"已在行集末尾", u"RecordingRowSet");
  ++current_;
  return S_OK;
}

HRESULT RecordingRowSet::get_EOF(VARIANT_BOOL* atEnd) {
  HRESULT hr;
  if (!Record("EOF", &hr)) return hr;
  *atEnd = (current_ < 0 || static_cast<std::size_t>(current_) >= rows.size()) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT RecordingRowSet::Update() {
  HRESULT hr;
  if (!Record("Update", &hr)) return hr;
  updated = true;
  return S_OK;
}

HRESULT RecordingRowSet::CancelUpdate() {
  HRESULT hr;
  if (!Record("CancelUpdate", &hr)) return hr;
  return S_OK;
}
