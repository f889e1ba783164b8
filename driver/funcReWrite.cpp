// Enrolment rewrite: the enrolment held in the host's row set (the last row's values win)
// written to a terminal over the port the thread's link last selected.
#include <vector>

#include "codec/template_codec.h"
#include "driver/frame.h"
#include "driver/operations.h"
#include "failure/failure.h"
#include "hostdata/rowset_view.h"
#include "link/terminal_link.h"
#include "platform/ado/columns.h"
#include "platform/automation/conversions.h"
#include "platform/automation/message_queue.h"

namespace {
// A value the row set gave, as text; a value that has none fails as the runtime fails on Null.
std::u16string TextOf(const Variant& value) {
  if (value.Type() == VT_NULL) Fail(kTextInvalidUseOfNull);
  if (value.Type() == VT_BSTR) return PrivateCopy(value.Raw().bstrVal);
  Variant text;
  CheckRuntimeCall(VariantChangeType(text.Put(), value.Ptr(), 0, VT_BSTR));
  if (text.Type() != VT_BSTR) Fail(kTextTypeMismatch);
  return PrivateCopy(text.Raw().bstrVal);
}

// The stored template: the bytes of a binary value, or the UTF-16LE bytes of another value's text.
std::vector<BYTE> BlobOf(const Variant& value) {
  std::vector<BYTE> blob;
  if (value.Type() == (VT_ARRAY | VT_UI1)) {
    SAFEARRAY* array = value.Raw().parray;
    if (!array) return blob;
    LONG lower = 0, upper = -1;
    CheckRuntimeCall(SafeArrayGetLBound(array, 1, &lower));
    CheckRuntimeCall(SafeArrayGetUBound(array, 1, &upper));
    if (upper < lower) return blob;
    void* data = nullptr;
    CheckRuntimeCall(SafeArrayAccessData(array, &data));
    const BYTE* bytes = static_cast<const BYTE*>(data);
    blob.assign(bytes, bytes + (static_cast<std::size_t>(upper) - static_cast<std::size_t>(lower) + 1));
    SafeArrayUnaccessData(array);
    return blob;
  }
  for (char16_t unit : TextOf(value)) {
    blob.push_back(static_cast<BYTE>(unit & 0xFF));
    blob.push_back(static_cast<BYTE>(unit >> 8));
  }
  return blob;
}

SHORT IntegerOf(const Variant& value) {
  if (value.Type() == VT_NULL) Fail(kTextInvalidUseOfNull);
  Variant integer;
  CheckRuntimeCall(VariantChangeType(integer.Put(), value.Ptr(), 0, VT_I2));
  if (integer.Type() != VT_I2) Fail(kTextTypeMismatch);
  return integer.Raw().iVal;
}

// The stored password: no value or blanks only is 0, any other text an Integer.
SHORT PasswordOf(const Variant& value) {
  std::u16string text = value.Type() == VT_NULL ? std::u16string() : TextOf(value);
  std::size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string::npos) return 0;
  std::size_t last = text.find_last_not_of(u' ');
  SHORT password = 0;
  CheckRuntimeCall(ParseI2(std::u16string_view(text).substr(first, last - first + 1), &password));
  return password;
}

// Whether the blob, read as 16-bit little-endian units, holds a complete unit other than a blank.
bool HoldsTemplate(const std::vector<BYTE>& blob) {
  for (std::size_t at = 0; at + 1 < blob.size(); at += 2)
    if (blob[at] != 0x20 || blob[at + 1] != 0x00) return true;
  return false;
}
}  // namespace

namespace operations {
HRESULT funcReWrite(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                    BSTR sPersonNum, RowSet* rsData, BSTR* strMsg, VARIANT_BOOL* result) {
  return RunOperation(
      self, strMsg, result, MessageAtEntry::kClear,
      [&]() -> bool {
        const std::u16string ip = PrivateCopy(strIp);  // Serial ports only: the address is not used.
        const std::u16string personText = PrivateCopy(sPersonNum);
        RowSetView rows(rsData);
        if (!rsData) Fail(kTextObjectNotSet);

        SHORT person = 0;
        CheckRuntimeCall(ParseI2(personText, &person));

        std::vector<BYTE> blob;
        SHORT enrolment = 0;
        SHORT password = 0;
        rows.MoveFirst();
        while (!rows.AtEnd()) {
          blob = BlobOf(rows.Value(kColumnFingerprint));
          enrolment = IntegerOf(rows.Value(kColumnEnrolmentNumber));
          password = PasswordOf(rows.Value(kColumnPassword));
          rows.MoveNext();
        }

        FingerTemplate fingerprint;
        if (HoldsTemplate(blob)) CheckRuntimeCall(DecodeTemplate(blob.data(), blob.size(), &fingerprint));

        PumpMessages();
        TerminalLink& link = TerminalLink::ForThread();
        link.PrepareEnrollment(imachineno, person, 1, enrolment);
        return link.WriteEnrollment(imachineno, person, 1, enrolment, 1, fingerprint, password);
      },
      FailureTextAsMessage);
}
}  // namespace operations
