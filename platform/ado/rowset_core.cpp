// The shared row-set behaviour: columns, cursor, pending changes and their errors.
#include "platform/ado/rowset_core.h"

#include <cstring>
#include <utility>

#include "platform/ado/byte_array.h"
#include "platform/automation/boundary.h"
#include "platform/automation/conversions.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/owners.h"

namespace rowset_detail {
namespace {

// Every vtable method runs inside the boundary guard: whatever a backing store's hook or an
// allocation throws becomes a code with a description for the caller.
constexpr char16_t kSource[] = u"RowSet";

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

std::u16string Decimal(long long value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Quoted(std::u16string_view name) { return u"“" + std::u16string(name) + u"”"; }

HRESULT NoCurrentRow(std::u16string_view operation) {
  return RaiseError(ROWSET_E_NOCURRENTROW,
                    std::u16string(operation) + u"失败：没有当前行（记录集为空或已到末尾）");
}

HRESULT NullPointer(std::u16string_view operation) {
  return RaiseError(E_POINTER, std::u16string(operation) + u"失败：输出参数为空指针");
}

}  // namespace

bool SameColumnName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

HRESULT ValidateColumns(const std::vector<ColumnSpec>& columns) {
  if (columns.empty()) return RaiseError(E_INVALIDARG, u"记录集至少要声明一列");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name.empty()) return RaiseError(E_INVALIDARG, u"列名不能为空");
    for (std::size_t j = 0; j < i; ++j)
      if (SameColumnName(columns[i].name, columns[j].name))
        return RaiseError(E_INVALIDARG, u"列" + Quoted(columns[i].name) + u"重复声明");
  }
  return S_OK;
}

RowSetCore::RowSetCore(std::vector<ColumnSpec> columns)
    : columns_(std::move(columns)), changed_(columns_.size(), false) {}

HRESULT RowSetCore::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* exception, UINT*) {
  return GuardInvoke(exception, kSource, []() -> HRESULT { return DISP_E_MEMBERNOTFOUND; });
}

void RowSetCore::LoadRow(Row row) {
  row.cells.resize(columns_.size());
  rows_.push_back(std::move(row));
}

HRESULT RowSetCore::FindColumn(std::u16string_view name, std::size_t* index) {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (SameColumnName(columns_[i].name, name)) {
      *index = i;
      return S_OK;
    }
  }
  return RaiseError(ROWSET_E_COLUMNNOTFOUND, u"列" + Quoted(name) + u"不存在");
}

HRESULT RowSetCore::FindColumn(const VARIANT& column, std::size_t* index, std::u16string_view operation) {
  Variant plain;
  if (FAILED(VariantCopyInd(plain.Put(), &column)))
    return RaiseError(DISP_E_TYPEMISMATCH, std::u16string(operation) + u"失败：列必须以名称或序号指明");
  const VARIANT& v = plain.Raw();
  long long ordinal;
  switch (v.vt) {
    case VT_BSTR: return FindColumn(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)), index);
    case VT_I2: ordinal = v.iVal; break;
    case VT_I4: ordinal = v.lVal; break;
    case VT_UI1: ordinal = v.bVal; break;
    default:
      return RaiseError(DISP_E_TYPEMISMATCH, std::u16string(operation) + u"失败：列必须以名称或序号指明");
  }
  // A column may also be given by its 0-based position.
  if (ordinal < 0 || ordinal >= static_cast<long long>(columns_.size()))
    return RaiseError(ROWSET_E_COLUMNNOTFOUND, u"列序号 " + Decimal(ordinal) + u" 不存在（共 " +
                                                   Decimal(static_cast<long long>(columns_.size())) + u" 列）");
  *index = static_cast<std::size_t>(ordinal);
  return S_OK;
}

bool RowSetCore::HasCurrentRow() const { return pending_ == Pending::Adding || position_ < rows_.size(); }

const Row& RowSetCore::CurrentRow() const { return pending_ != Pending::None ? edited_ : rows_[position_]; }

Row& RowSetCore::WritableRow() {
  if (pending_ == Pending::None) {
    edited_ = rows_[position_];
    changed_.assign(columns_.size(), false);
    pending_ = Pending::Editing;
  }
  return edited_;
}

HRESULT RowSetCore::NoPendingChanges(std::u16string_view operation) const {
  if (pending_ == Pending::None) return S_OK;
  return RaiseError(ROWSET_E_PENDINGCHANGES,
                    std::u16string(operation) + u"失败：当前行有未提交的更改，请先调用 Update 或 CancelUpdate");
}

void RowSetCore::DropPending() {
  pending_ = Pending::None;
  edited_ = Row{};
  changed_.assign(columns_.size(), false);
  chunkColumn_.reset();
}

HRESULT RowSetCore::ReadCell(std::size_t column, VARIANT* value) {
  VariantInit(value);
  const Cell& cell = CurrentRow().cells[column];
  if (std::holds_alternative<std::monostate>(cell)) {
    value->vt = VT_NULL;
  } else if (const LONG* number = std::get_if<LONG>(&cell)) {
    value->vt = VT_I4;
    value->lVal = *number;
  } else {
    Variant bytes = MakeByteArray(std::get<std::vector<BYTE>>(cell));
    if (bytes.Type() != (VT_ARRAY | VT_UI1))
      return RaiseError(E_OUTOFMEMORY, u"读取列" + Quoted(columns_[column].name) + u"失败：内存不足");
    *value = bytes.Detach();
  }
  return S_OK;
}

HRESULT RowSetCore::get_RecordCount(LONG* count) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (!count) return NullPointer(u"RecordCount");
    *count = static_cast<LONG>(rows_.size() + (pending_ == Pending::Adding ? 1 : 0));
    return S_OK;
  });
}

HRESULT RowSetCore::AddNew() {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (HRESULT hr = NoPendingChanges(u"AddNew"); FAILED(hr)) return hr;
    positionBeforeAdd_ = position_;
    edited_ = Row{};
    edited_.cells.resize(columns_.size());
    changed_.assign(columns_.size(), false);
    chunkColumn_.reset();
    pending_ = Pending::Adding;
    return S_OK;
  });
}

HRESULT RowSetCore::get_Collect(VARIANT column, VARIANT* value) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (!value) return NullPointer(u"读取列值");
    std::size_t index = 0;
    if (HRESULT hr = FindColumn(column, &index, u"读取列值"); FAILED(hr)) return hr;
    if (!HasCurrentRow()) return NoCurrentRow(u"读取列" + Quoted(columns_[index].name));
    if (chunkColumn_ && *chunkColumn_ != index) chunkColumn_.reset();
    return ReadCell(index, value);
  });
}

HRESULT RowSetCore::get_Value(BSTR field, VARIANT* value) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (!value) return NullPointer(u"读取字段值");
    std::size_t index = 0;
    if (HRESULT hr = FindColumn(std::u16string_view(field ? field : u"", SysStringLen(field)), &index); FAILED(hr))
      return hr;
    if (!HasCurrentRow()) return NoCurrentRow(u"读取列" + Quoted(columns_[index].name));
    if (chunkColumn_ && *chunkColumn_ != index) chunkColumn_.reset();
    return ReadCell(index, value);
  });
}

HRESULT RowSetCore::put_Collect(VARIANT column, VARIANT value) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    std::size_t index = 0;
    if (HRESULT hr = FindColumn(column, &index, u"写入列值"); FAILED(hr)) return hr;
    const ColumnSpec& spec = columns_[index];
    const std::u16string what = u"写入列" + Quoted(spec.name);
    if (!HasCurrentRow()) return NoCurrentRow(what);

    Variant plain;
    if (FAILED(VariantCopyInd(plain.Put(), &value)))
      return RaiseError(DISP_E_TYPEMISMATCH, what + u"失败：" + kTextTypeMismatch);
    Cell cell;
    if (plain.Type() == VT_NULL) {
      cell = std::monostate{};
    } else if (spec.type == ColumnType::Long) {
      Variant number;
      ClearErrorInfo();
      HRESULT hr = VariantChangeType(number.Put(), plain.Ptr(), 0, VT_I4);
      if (FAILED(hr)) return RaiseError(hr, what + u"失败：" + TakeErrorDescription(hr));
      cell = number.Raw().lVal;
    } else {
      std::vector<BYTE> bytes;
      if (FAILED(ReadByteArray(plain.Raw(), &bytes)))
        return RaiseError(DISP_E_TYPEMISMATCH, what + u"失败：二进制列只接受字节数组或 Null");
      cell = std::move(bytes);
    }
    Row& row = WritableRow();
    row.cells[index] = std::move(cell);
    changed_[index] = true;
    chunkColumn_.reset();
    return S_OK;
  });
}

HRESULT RowSetCore::AppendChunk(BSTR field, VARIANT data) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    std::size_t index = 0;
    if (HRESULT hr = FindColumn(std::u16string_view(field ? field : u"", SysStringLen(field)), &index); FAILED(hr))
      return hr;
    const ColumnSpec& spec = columns_[index];
    const std::u16string what = u"向列" + Quoted(spec.name) + u"追加数据";
    if (!HasCurrentRow()) return NoCurrentRow(what);
    if (spec.type != ColumnType::Binary)
      return RaiseError(DISP_E_TYPEMISMATCH, what + u"失败：该列不是二进制列");
    Variant plain;
    std::vector<BYTE> chunk;
    if (FAILED(VariantCopyInd(plain.Put(), &data)) || FAILED(ReadByteArray(plain.Raw(), &chunk)))
      return RaiseError(DISP_E_TYPEMISMATCH, what + u"失败：数据必须是字节数组");

    Row& row = WritableRow();
    Cell& cell = row.cells[index];
    auto* existing = std::get_if<std::vector<BYTE>>(&cell);
    if (chunkColumn_ == index && existing) {
      existing->insert(existing->end(), chunk.begin(), chunk.end());
    } else {
      cell = std::move(chunk);
    }
    changed_[index] = true;
    chunkColumn_ = index;
    return S_OK;
  });
}

HRESULT RowSetCore::MoveFirst() {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (HRESULT hr = NoPendingChanges(u"MoveFirst"); FAILED(hr)) return hr;
    position_ = 0;
    chunkColumn_.reset();
    return S_OK;
  });
}

HRESULT RowSetCore::MoveNext() {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (HRESULT hr = NoPendingChanges(u"MoveNext"); FAILED(hr)) return hr;
    if (position_ >= rows_.size())
      return RaiseError(ROWSET_E_NOCURRENTROW, u"MoveNext 失败：已到记录集末尾，没有下一行");
    ++position_;
    chunkColumn_.reset();
    return S_OK;
  });
}

HRESULT RowSetCore::get_EOF(VARIANT_BOOL* atEnd) {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (!atEnd) return NullPointer(u"EOF");
    bool end = pending_ != Pending::Adding && position_ >= rows_.size();
    *atEnd = end ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
}

HRESULT RowSetCore::Update() {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    switch (pending_) {
      case Pending::None: return S_OK;
      case Pending::Adding: {
        if (HRESULT hr = StoreAdded(edited_); FAILED(hr)) return hr;
        rows_.push_back(std::move(edited_));
        position_ = rows_.size() - 1;
        break;
      }
      case Pending::Editing: {
        if (HRESULT hr = StoreChanged(edited_, changed_); FAILED(hr)) return hr;
        rows_[position_] = std::move(edited_);
        break;
      }
    }
    DropPending();
    return S_OK;
  });
}

HRESULT RowSetCore::CancelUpdate() {
  return GuardBoundary(kSource, [&]() -> HRESULT {
    if (pending_ == Pending::Adding) position_ = positionBeforeAdd_;
    DropPending();
    return S_OK;
  });
}

}  // namespace rowset_detail
