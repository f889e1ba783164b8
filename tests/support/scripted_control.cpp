#include "tests/support/scripted_control.h"

#include <deque>
#include <memory>
#include <stdexcept>

#include "driver/identifiers.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/message_queue.h"
#include "platform/automation/object.h"
#include "platform/automation/runtime.h"

namespace {
inline constexpr CLSID CLSID_ScriptedControl{0x0B1D7E40, 0x2C6A, 0x4F13, {0x9E, 0x21, 0x6A, 0x44, 0x10, 0x7C, 0x5B, 0x01}};
constexpr std::size_t kTemplateLongs = 460;

std::atomic<ScriptedControl*> current{nullptr};

class ControlObject final : public DispatchObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    ScriptedControl* script = ScriptedControl::Current();
    if (!script) return FillException(exception, E_FAIL, u"没有安装测试脚本");
    return script->Dispatch(member, flags, params, result, exception, port_);
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch; }

 private:
  SHORT port_ = ScriptedControl::kInitialPort;  // Each control instance selects its own port.
};

class ControlFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ScriptedControl* script = ScriptedControl::Current();
    if (script && FAILED(script->creation)) return script->creation;
    ComPtr<IDispatch> control = ComPtr<IDispatch>::Adopt(new ControlObject());
    ++ScriptedControl::Created();
    return control->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IClassFactory; }
};

std::string Describe(const ControlCall& call) {
  if (call.flags & DISPATCH_PROPERTYPUT)
    return "put " + std::to_string(call.member) + " = " + (call.values.empty() ? "?" : std::to_string(call.values[0]));
  return "call " + std::to_string(call.member);
}
}  // namespace

LONG& CallArgs::Ref(std::size_t i) {
  if (i >= Count()) throw std::out_of_range("no such argument");
  VARIANTARG& arg = Arg(i);
  if (arg.vt != (VT_BYREF | VT_I4) || !arg.plVal) throw std::logic_error("argument is not a by-reference Long");
  return *arg.plVal;
}

ScriptedControl::ScriptedControl() {
  ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new ControlFactory());
  RegisterInProcessClass(CLSID_ScriptedControl, kProgIdTerminalControl, factory.Get());
  current.store(this);
}

ScriptedControl::~ScriptedControl() {
  ScriptedControl* self = this;
  current.compare_exchange_strong(self, nullptr);
}

std::atomic<int>& ScriptedControl::Created() {
  static std::atomic<int> count{0};
  return count;
}

ScriptedControl* ScriptedControl::Current() { return current.load(); }

void ScriptedControl::On(DISPID member, Handler handler) { handlers_[member] = std::move(handler); }

void ScriptedControl::Answers(DISPID member, std::vector<ControlAnswer> answers, ControlAnswer then) {
  auto queue = std::make_shared<std::deque<ControlAnswer>>(answers.begin(), answers.end());
  auto last = std::make_shared<ControlAnswer>(std::move(then));
  On(member, [queue, last](CallArgs&) {
    if (queue->empty()) return *last;
    ControlAnswer next = std::move(queue->front());
    queue->pop_front();
    return next;
  });
}

std::vector<ControlCall> ScriptedControl::CallsOf(DISPID member) const {
  std::vector<ControlCall> found;
  for (const auto& call : calls)
    if (call.member == member && !(call.flags & DISPATCH_PROPERTYPUT)) found.push_back(call);
  return found;
}

void ScriptedControl::MarkPump() {
  if (!tracePumps || pumpPending_) return;
  pumpPending_ = true;
  std::weak_ptr<int> alive = alive_;
  PostThreadWork([this, alive] {
    if (alive.expired()) return;
    pumpPending_ = false;
    log.push_back("pump");
  });
}

HRESULT ScriptedControl::Dispatch(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* exception, SHORT& port) {
  if (!params) return E_POINTER;
  ControlCall call;
  call.member = member;
  call.flags = flags;
  call.port = port;
  call.named.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
  for (UINT i = 0; i < params->cArgs; ++i) {
    const VARIANTARG& arg = params->rgvarg[params->cArgs - 1 - i];
    call.kinds.push_back(arg.vt);
    LONG value = 0;
    const void* target = nullptr;
    switch (arg.vt) {
      case VT_I2: value = arg.iVal; break;
      case VT_I4: value = arg.lVal; break;
      case VT_BOOL: value = arg.boolVal; break;
      case VT_BYREF | VT_I4:
        target = arg.plVal;
        value = arg.plVal ? *arg.plVal : 0;
        break;
      default: break;
    }
    call.values.push_back(value);
    call.targets.push_back(target);
  }
  // The template argument: 460 Longs from the sixth argument of members 19 and 20.
  if ((member == 19 || member == 20) && params->cArgs == 7 && call.kinds[5] == (VT_BYREF | VT_I4) && call.targets[5]) {
    const LONG* first = static_cast<const LONG*>(call.targets[5]);
    call.fingerprint.assign(first, first + kTemplateLongs);
  }
  calls.push_back(call);
  log.push_back(Describe(call));

  if (flags & DISPATCH_PROPERTYPUT) {
    if (member != 1) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 1 || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return DISP_E_BADPARAMCOUNT;
    port = static_cast<SHORT>(call.values[0]);
    lastPort = port;
    MarkPump();
    return S_OK;
  }

  ControlAnswer answer = ControlAnswer::Bool(false);
  auto handler = handlers_.find(member);
  if (handler != handlers_.end()) {
    CallArgs args(*params, call);
    answer = handler->second(args);
  }
  MarkPump();
  if (answer.code == DISP_E_EXCEPTION) return FillException(exception, E_FAIL, answer.description, u"FK303ID");
  if (FAILED(answer.code)) return answer.code;
  if (result) *result = answer.value.Detach();
  return S_OK;
}

std::vector<LONG> ValuesOf(const ControlCall& call) { return call.values; }
