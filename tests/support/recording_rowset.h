// An in-memory enrolment row set that records every operation the driver calls on it and can
// be told to fail one of them with a description.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/ado/rowset.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"

class RecordingRowSet final : public DispatchObject<RowSet> {
 public:
  using Row = std::map<std::u16string, Variant>;  // lower-case column name -> value

  static ComPtr<RecordingRowSet> Create() { return ComPtr<RecordingRowSet>::Adopt(new RecordingRowSet()); }

  // Adds a committed row (columns by name, case as given).
  void AddRow(std::vector<std::pair<std::u16string, Variant>> columns);
  // Makes the first row current, as a freshly opened row set stands.
  void StandOnFirst() { current_ = 0; }

  // The operations received, in order: "RecordCount", "AddNew", "Collect cPsn_Num", ...
  std::vector<std::string> log;
  // An operation (its log text) that fails with `failDescription`.
  std::string failOn;
  std::u16string failDescription = u"行集操作失败";

  std::vector<Row> rows;
  long current_ = -1;
  bool updated = false;

  // The value of `column` in row `row` (VT_EMPTY when never set).
  const Variant& At(std::size_t row, std::u16string_view column) const;

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
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_RowSet; }

 private:
  RecordingRowSet() = default;
  bool Record(const std::string& operation, HRESULT* failure);
  Row* CurrentRow();
};

std::u16string Lower(std::u16string_view text);
