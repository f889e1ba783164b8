// The driver's one connection to the terminal control: per thread, created at the first
// operation that needs it and kept (with the serial port it last selected) for the thread's life.
// Every member is called by number; answers are read as Booleans; a control error throws
// OperationFailure with the control's description.
#pragma once

#include "codec/template_codec.h"
#include "link/form1.h"
#include "platform/automation/abi.h"

// Member numbers of the terminal control.
namespace fk_member {
constexpr DISPID kSerialPort = 1;
constexpr DISPID kPrepareEnrollment = 4;
constexpr DISPID kBeginCardRead = 7;
constexpr DISPID kProbeMachine = 10;
constexpr DISPID kReadEnrollment = 19;
constexpr DISPID kWriteEnrollment = 20;
constexpr DISPID kNextCardRecord = 25;
}  // namespace fk_member

class TerminalLink {
 public:
  // The calling thread's link, loading Form1 and its control on first use.
  static TerminalLink& ForThread();
  // Whether this thread has loaded its link yet.
  static bool LoadedOnThread();

  void SetSerialPort(SHORT port);
  bool ProbeMachine(LONG terminal);
  bool BeginCardRead(LONG& terminal);
  // `terminal` is passed twice, as one variable: what the control writes through the first
  // reference is what the second one sees.
  bool NextCardRecord(LONG machine, LONG& terminal, LONG& person, LONG& fifth, LONG& year, LONG& month,
                      LONG& day, LONG& hour, LONG& minute);
  bool ReadEnrollment(LONG& terminal, LONG& person, LONG& third, LONG& enrolment, LONG& fifth,
                      FingerTemplate& fingerprint, LONG& password);
  // The answer is read as a Boolean (a non-Boolean answer fails) and then dropped.
  void PrepareEnrollment(LONG terminal, LONG person, LONG third, LONG enrolment);
  bool WriteEnrollment(LONG terminal, LONG person, LONG third, LONG enrolment, LONG fifth,
                       FingerTemplate& fingerprint, LONG password);

  explicit TerminalLink(Form1 form) : form_(std::move(form)) {}

 private:
  // Calls `member` with `count` arguments given in reverse order, and reads the answer.
  bool Call(DISPID member, VARIANTARG* reversed, UINT count);
  Form1 form_;
};
