// Enrolment rows as plain values, written to and read from any row set with the enrolment
// columns through the row-set operations alone (for hosts and tests).
#pragma once

#include <optional>
#include <vector>

#include "platform/ado/rowset.h"

// One enrolment row; an empty optional is a column with no value.
struct EnrolmentRow {
  std::optional<LONG> personNumber;     // cPsn_Num
  std::optional<LONG> enrolmentNumber;  // iFingerprintNO: 0 fingerprint, 10 password
  std::optional<LONG> machineNumber;    // imachineno
  std::optional<LONG> password;         // npassword
  std::optional<std::vector<BYTE>> fingerprint;  // bFingerprint

  bool operator==(const EnrolmentRow&) const = default;
};

// AddNew, the five columns, Update. On failure the added row is dropped (CancelUpdate) and the
// failing operation's error stays raised.
HRESULT AddEnrolmentRow(RowSet* rows, const EnrolmentRow& row);
// The current row's five columns. A Long column holding a non-Long value, or a binary column
// holding no byte array, answers DISP_E_TYPEMISMATCH.
HRESULT ReadCurrentEnrolmentRow(RowSet* rows, EnrolmentRow* row);
// Every row from the first (MoveFirst, then MoveNext to EOF); the set is left at EOF.
HRESULT ReadEnrolmentRows(RowSet* rows, std::vector<EnrolmentRow>* out);
