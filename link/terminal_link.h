// The driver's one connection to the terminal control: per thread, created at the first
// operation that needs it and kept (with the serial port it last selected) for the thread's life;
// on Windows until the thread's apartment ends, whose object the control is (see
// ReleaseBeforeApartmentEnds).
// Every member is called by its number in the control's contract; answers are read as Booleans; a
// control error throws OperationFailure with the control's description.
#pragma once

#include <cstddef>

#include "codec/template_codec.h"
#include "link/form1.h"
#include "platform/automation/abi.h"
#include "terminal/contract/fk303id_contract.h"

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
  // Calls `member` with its arguments given in reverse order, and reads the answer; the number
  // of arguments is checked against the contract when the link is built.
  template <DISPID member, std::size_t count>
  bool Call(VARIANTARG (&reversed)[count]) {
    static_assert(count == fk303id::ArgumentCount(member), "argument count differs from the control's contract");
    return Invoke(member, reversed, static_cast<UINT>(count));
  }
  bool Invoke(DISPID member, VARIANTARG* reversed, UINT count);
  Form1 form_;
};
