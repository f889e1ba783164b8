// A scripted stand-in for the terminal control, registered in-process under its class name.
// It records every call with its arguments, answers from a script, can raise a control error,
// answer a non-Boolean, write through by-reference arguments, and let handlers post work.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/owners.h"

// One call the control received. Arguments are in call order (first argument first).
struct ControlCall {
  DISPID member = 0;
  WORD flags = 0;
  std::vector<VARTYPE> kinds;
  std::vector<LONG> values;          // at entry: by-ref targets read, Booleans as -1/0, I2 widened
  std::vector<const void*> targets;  // the by-ref targets (nullptr for a value)
  std::vector<DISPID> named;         // named argument ids
  SHORT port = 0;                    // the serial port selected when the call arrived
  std::vector<LONG> fingerprint;     // for a template argument: its 460 values at entry
};

// Access for a handler to the arguments of the call it answers.
class CallArgs {
 public:
  CallArgs(DISPPARAMS& params, const ControlCall& call) : params_(params), call_(call) {}
  std::size_t Count() const { return params_.cArgs; }
  const ControlCall& Call() const { return call_; }
  LONG Value(std::size_t i) const { return call_.values.at(i); }
  // The Long that argument `i` refers to (argument `i` must be VT_BYREF|VT_I4).
  LONG& Ref(std::size_t i);
  // The 460-Long buffer argument `i` starts (argument `i` must be VT_BYREF|VT_I4).
  LONG* Buffer(std::size_t i) { return &Ref(i); }

 private:
  VARIANTARG& Arg(std::size_t i) { return params_.rgvarg[params_.cArgs - 1 - i]; }
  DISPPARAMS& params_;
  const ControlCall& call_;
};

// What a call answers: a value, a control error (DISP_E_EXCEPTION with a description), or a
// bare failing code.
struct ControlAnswer {
  Variant value = Variant::Bool(false);
  HRESULT code = S_OK;
  std::u16string description;

  static ControlAnswer Bool(bool v) { return {Variant::Bool(v), S_OK, {}}; }
  static ControlAnswer Of(Variant v) { return {std::move(v), S_OK, {}}; }
  static ControlAnswer Raise(std::u16string description) { return {Variant(), DISP_E_EXCEPTION, std::move(description)}; }
  static ControlAnswer Failure(HRESULT code) { return {Variant(), code, {}}; }
};

class ScriptedControl {
 public:
  using Handler = std::function<ControlAnswer(CallArgs&)>;
  static constexpr int kInitialPort = 0;

  // Registers the control class (idempotent) and makes `this` the script every control
  // instance follows. Uninstall on destruction.
  ScriptedControl();
  ~ScriptedControl();
  ScriptedControl(const ScriptedControl&) = delete;
  ScriptedControl& operator=(const ScriptedControl&) = delete;

  // Answers calls of `member` with `handler` (replacing an earlier one). Members without a
  // handler answer False.
  void On(DISPID member, Handler handler);
  // Answers calls of `member` from a fixed list; once it runs out, with `then`.
  void Answers(DISPID member, std::vector<ControlAnswer> answers, ControlAnswer then = ControlAnswer::Bool(false));

  // Every call, in order (the SerialPort put included, member 1).
  std::vector<ControlCall> calls;
  // Calls and pumps as text: "put 1 = 2", "call 25", "pump" (one "pump" per PumpMessages that
  // ran after a call, when `tracePumps` is on).
  std::vector<std::string> log;
  bool tracePumps = false;
  // The serial port the last put selected (member 1); each control instance keeps its own.
  SHORT lastPort = kInitialPort;
  // What the class factory answers; a failing code makes every creation fail.
  HRESULT creation = S_OK;

  std::vector<ControlCall> CallsOf(DISPID member) const;

  // Control instances created so far in the process.
  static std::atomic<int>& Created();
  static ScriptedControl* Current();

  HRESULT Dispatch(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                   SHORT& port);

 private:
  void MarkPump();
  std::map<DISPID, Handler> handlers_;
  bool pumpPending_ = false;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // Pump markers outliving the script see it gone.
};

// The Long arguments of a call (values at entry), for compact comparisons.
std::vector<LONG> ValuesOf(const ControlCall& call);
