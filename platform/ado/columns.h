// The columns a row set declares: names and value types, and the enrolment table's five.
#pragma once

#include <string>
#include <vector>

#include "platform/automation/abi.h"

enum class ColumnType {
  Long,    // 32-bit signed; reads as VT_I4, written values convert as the runtime converts
  Binary,  // bytes; reads as VT_ARRAY|VT_UI1, written as a byte array or through AppendChunk
};

struct ColumnSpec {
  std::u16string name;
  ColumnType type;
};

inline constexpr char16_t kColumnPersonNumber[] = u"cPsn_Num";
inline constexpr char16_t kColumnEnrolmentNumber[] = u"iFingerprintNO";
inline constexpr char16_t kColumnMachineNumber[] = u"imachineno";
inline constexpr char16_t kColumnPassword[] = u"npassword";
inline constexpr char16_t kColumnFingerprint[] = u"bFingerprint";

// cPsn_Num, iFingerprintNO, imachineno, npassword (Long) and bFingerprint (binary), in that order.
inline std::vector<ColumnSpec> EnrolmentColumns() {
  return {{kColumnPersonNumber, ColumnType::Long},
          {kColumnEnrolmentNumber, ColumnType::Long},
          {kColumnMachineNumber, ColumnType::Long},
          {kColumnPassword, ColumnType::Long},
          {kColumnFingerprint, ColumnType::Binary}};
}
