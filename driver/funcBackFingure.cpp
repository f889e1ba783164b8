// Enrolment backup: one person's fingerprint (or, failing that, password) read from a terminal
// into the current row of the host's enrolment row set. The row is left uncommitted.
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
constexpr LONG kFingerprintEnrolment = 0;
constexpr LONG kPasswordEnrolment = 10;
}  // namespace

namespace operations {
HRESULT funcBackFingure(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                        BSTR sPersonNum, RowSet** rsData, BSTR* strMsg, VARIANT_BOOL* result) {
  return RunOperation(
      self, strMsg, result, MessageAtEntry::kKeep,
      [&]() -> bool {
        const std::u16string ip = PrivateCopy(strIp);  // Serial ports only: the address is not used.
        const std::u16string personText = PrivateCopy(sPersonNum);
        // A missing row set fails before the terminal is asked for anything.
        RowSetView rows(rsData ? *rsData : nullptr);
        if (!rsData || !*rsData) Fail(kTextObjectNotSet);

        TerminalLink& link = TerminalLink::ForThread();
        link.SetSerialPort(iPort);

        // Fresh working variables every call: the control writes through all of them.
        LONG terminal = imachineno;
        LONG person = 0;
        CheckRuntimeCall(ParseI4(personText, &person));
        LONG third = 0, enrolment = kFingerprintEnrolment, fifth = 0, password = 0;
        FingerTemplate fingerprint;

        PumpMessages();
        bool read = link.ReadEnrollment(terminal, person, third, enrolment, fifth, fingerprint, password);
        if (!read) {
          enrolment = kPasswordEnrolment;
          PumpMessages();
          read = link.ReadEnrollment(terminal, person, third, enrolment, fifth, fingerprint, password);
          if (!read) return false;  // No enrolment on the terminal: the row set stays untouched.
        }

        if (rows.RecordCount() == 0) rows.AddNew();
        rows.PutCollect(kColumnPersonNumber, Variant::I4(person));
        rows.PutCollect(kColumnEnrolmentNumber, Variant::I4(enrolment));
        rows.PutCollect(kColumnMachineNumber, Variant::I4(terminal));
        if (enrolment == kPasswordEnrolment) {
          rows.PutCollect(kColumnPassword, Variant::I4(password));
        } else {
          TemplateBlob blob;
          CheckRuntimeCall(EncodeTemplate(fingerprint, &blob));
          rows.AppendChunk(kColumnFingerprint, blob.data(), blob.size());
        }
        return read;
      },
      FailureTextAsMessage);
}
}  // namespace operations
