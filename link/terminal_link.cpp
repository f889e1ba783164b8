#include "link/terminal_link.h"

#include <memory>

#include "failure/failure.h"
#include "platform/automation/conversions.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/runtime.h"
#include "platform/automation/thread_slot.h"

namespace {
ThreadSlot<TerminalLink> threadLink;

// Argument builders: plain variants without owned contents, so no clean-up is needed.
VARIANTARG Long(LONG value) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_I4;
  arg.lVal = value;
  return arg;
}
VARIANTARG Boolean(bool value) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_BOOL;
  arg.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return arg;
}
VARIANTARG LongRef(LONG& target) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = static_cast<VARTYPE>(VT_BYREF | VT_I4);
  arg.plVal = &target;
  return arg;
}
VARIANTARG TemplateRef(FingerTemplate& fingerprint) { return LongRef(fingerprint.values[0]); }

// A call's answer as a Boolean: any non-zero value is True; what cannot be read as one fails.
bool AnswerAsBoolean(VARIANT& answer) {
  if (answer.vt == VT_BOOL) return answer.boolVal != VARIANT_FALSE;
  Variant owned = Variant::Adopt(answer);
  Variant converted;
  HRESULT hr = VariantChangeType(converted.Put(), owned.Ptr(), 0, VT_BOOL);
  CheckRuntimeCall(hr);
  if (converted.Type() != VT_BOOL) Fail(kTextTypeMismatch);
  return converted.Raw().boolVal != VARIANT_FALSE;
}

[[noreturn]] void FailControlCall(HRESULT hr, EXCEPINFO& exception) {
  std::u16string description = TakeExceptionDescription(exception);
  if (hr == DISP_E_EXCEPTION) Fail(description);
  Fail(DescribeError(hr));
}
}  // namespace

TerminalLink& TerminalLink::ForThread() {
  if (TerminalLink* link = threadLink.Get()) return *link;
  auto made = std::make_unique<TerminalLink>(Form1::Load());
  TerminalLink& link = *made;
  if (!threadLink.Set(std::move(made))) Fail(u"no per-thread storage left for the terminal link");
  // The control is an object of the thread's apartment: it goes before the apartment does.
  ReleaseBeforeApartmentEnds([] { threadLink.Reset(); });
  return link;
}

bool TerminalLink::LoadedOnThread() { return threadLink.Get() != nullptr; }

bool TerminalLink::Invoke(DISPID member, VARIANTARG* reversed, UINT count) {
  DISPPARAMS params{reversed, nullptr, count, 0};
  VARIANT answer;
  VariantInit(&answer);
  EXCEPINFO exception{};
  UINT argError = 0;
  HRESULT hr = form_.FK().Invoke(member, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &answer,
                                 &exception, &argError);
  if (FAILED(hr)) {
    VariantClear(&answer);
    FailControlCall(hr, exception);
  }
  return AnswerAsBoolean(answer);
}

void TerminalLink::SetSerialPort(SHORT port) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_I2;
  arg.iVal = port;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  EXCEPINFO exception{};
  UINT argError = 0;
  HRESULT hr = form_.FK().Invoke(fk303id::member::kSerialPort, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                 &params, nullptr, &exception, &argError);
  if (FAILED(hr)) FailControlCall(hr, exception);
}

bool TerminalLink::ProbeMachine(LONG terminal) {
  VARIANTARG args[] = {Boolean(true), Long(terminal)};
  return Call<fk303id::member::kProbeMachine>(args);
}

bool TerminalLink::BeginCardRead(LONG& terminal) {
  VARIANTARG args[] = {LongRef(terminal)};
  return Call<fk303id::member::kBeginCardRead>(args);
}

bool TerminalLink::NextCardRecord(LONG machine, LONG& terminal, LONG& person, LONG& fifth, LONG& year,
                                  LONG& month, LONG& day, LONG& hour, LONG& minute) {
  VARIANTARG args[] = {LongRef(minute), LongRef(hour),     LongRef(day),    LongRef(month), LongRef(year),
                       LongRef(fifth),  LongRef(terminal), LongRef(person), LongRef(terminal), Long(machine)};
  return Call<fk303id::member::kNextCardRecord>(args);
}

bool TerminalLink::ReadEnrollment(LONG& terminal, LONG& person, LONG& third, LONG& enrolment, LONG& fifth,
                                  FingerTemplate& fingerprint, LONG& password) {
  VARIANTARG args[] = {LongRef(password), TemplateRef(fingerprint), LongRef(fifth),   LongRef(enrolment),
                       LongRef(third),    LongRef(person),          LongRef(terminal)};
  return Call<fk303id::member::kReadEnrollment>(args);
}

void TerminalLink::PrepareEnrollment(LONG terminal, LONG person, LONG third, LONG enrolment) {
  VARIANTARG args[] = {Long(enrolment), Long(third), Long(person), Long(terminal)};
  Call<fk303id::member::kPrepareEnrollment>(args);
}

bool TerminalLink::WriteEnrollment(LONG terminal, LONG person, LONG third, LONG enrolment, LONG fifth,
                                   FingerTemplate& fingerprint, LONG password) {
  VARIANTARG args[] = {Long(password), TemplateRef(fingerprint), Long(fifth), Long(enrolment),
                       Long(third),    Long(person),             Long(terminal)};
  return Call<fk303id::member::kWriteEnrollment>(args);
}
