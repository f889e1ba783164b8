// Shared set-up of the driver's tests: Corvel's classes registered, a scripted control installed
// as the thread's terminal control, a clsMachine, and a check that no object outlives a test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/clsMachine.h"
#include "link/terminal_link.h"
#include "platform/automation/collection.h"
#include "platform/automation/message_queue.h"
#include "platform/automation/object.h"
#include "platform/automation/text.h"
#include "platform/corvel/corvel.h"
#include "tests/support/scripted_control.h"

struct Outcome {
  HRESULT hr = E_FAIL;
  bool result = false;
  std::u16string message;
};

inline std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegisterCorvelClasses(), S_OK);
    control_ = std::make_unique<ScriptedControl>();
    TerminalLink::ForThread();  // The thread's link exists before the object count is taken.
    PumpMessages();
    control_->calls.clear();
    control_->log.clear();
    objectsBefore_ = LiveObjectCount().load();
    machine_ = CreateClsMachine();
  }
  void TearDown() override {
    PumpMessages();
    machine_.Reset();
    ReleaseTestObjects();
    EXPECT_EQ(LiveObjectCount().load(), objectsBefore_) << "objects outlived the test";
    control_.reset();
  }
  // Tests release the objects they hold here, before the leak check.
  virtual void ReleaseTestObjects() {}

  ScriptedControl& control() { return *control_; }

  // The operations, called through IMachine with a message text that the call may replace.
  Outcome Register(ComPtr<_Collection>& col, bool blnPort, SHORT iPortMin, SHORT iPortMax, SHORT iMin, SHORT iMax,
                   std::u16string message = u"主机的消息") {
    Bstr ipMin(u"192.168.0.1"), ipMax(u"192.168.0.9");
    _Collection* raw = col.Detach();
    Outcome out = WithMessage(message, [&](BSTR* msg, VARIANT_BOOL* result) {
      return machine_->funcRegister(&raw, blnPort ? VARIANT_TRUE : VARIANT_FALSE, iPortMin, iPortMax, ipMin.Get(),
                                    ipMax.Get(), iMin, iMax, msg, result);
    });
    col = ComPtr<_Collection>::Adopt(raw);
    return out;
  }
  Outcome Download(SHORT iPort, SHORT imachineno, _Collection* list, std::u16string message = u"主机的消息") {
    _Collection* raw = list;
    return WithMessage(message, [&](BSTR* msg, VARIANT_BOOL* result) {
      return machine_->DownloadCarddata(VARIANT_TRUE, nullptr, iPort, imachineno, &raw, msg, result);
    });
  }
  Outcome Backup(SHORT iPort, SHORT imachineno, std::u16string_view person, RowSet* rows,
                 std::u16string message = u"主机的消息") {
    Bstr personText(person);
    RowSet* raw = rows;
    return WithMessage(message, [&](BSTR* msg, VARIANT_BOOL* result) {
      return machine_->funcBackFingure(VARIANT_TRUE, nullptr, iPort, imachineno, personText.Get(), &raw, msg, result);
    });
  }
  Outcome Rewrite(SHORT iPort, SHORT imachineno, std::u16string_view person, RowSet* rows,
                  std::u16string message = u"主机的消息") {
    Bstr personText(person);
    return WithMessage(message, [&](BSTR* msg, VARIANT_BOOL* result) {
      return machine_->funcReWrite(VARIANT_TRUE, nullptr, iPort, imachineno, personText.Get(), rows, msg, result);
    });
  }

  template <class Call>
  static Outcome WithMessage(const std::u16string& message, Call call) {
    BSTR msg = Bstr(message).Detach();
    VARIANT_BOOL result = 7;  // neither True nor False: the call must store its result
    Outcome out;
    out.hr = call(&msg, &result);
    EXPECT_TRUE(result == VARIANT_TRUE || result == VARIANT_FALSE) << "result not stored: " << result;
    out.result = result == VARIANT_TRUE;
    Bstr owned = Bstr::Adopt(msg);
    out.message = owned.Str();
    return out;
  }
  IMachine& machine() { return *machine_.Get(); }

  std::unique_ptr<ScriptedControl> control_;
  ComPtr<IMachine> machine_;
  long objectsBefore_ = 0;
};

// The items of a Collection, as dispatch pointers.
inline std::vector<ComPtr<IDispatch>> ItemsOf(_Collection* list) {
  std::vector<ComPtr<IDispatch>> items;
  LONG count = 0;
  EXPECT_EQ(list->Count(&count), S_OK);
  for (LONG i = 1; i <= count; ++i) {
    Variant index = Variant::I4(i);
    Variant item;
    EXPECT_EQ(list->Item(index.Ptr(), item.Put()), S_OK);
    EXPECT_EQ(item.Type(), VT_DISPATCH);
    items.emplace_back(item.Raw().pdispVal);
  }
  return items;
}

inline ComPtr<_Collection> ListHolding(int count) {
  ComPtr<_Collection> list = CreateCollection();
  for (int i = 0; i < count; ++i) {
    ComPtr<_Collection> filler = CreateCollection();
    EXPECT_EQ(AppendToCollection(list.Get(), filler.Get()), S_OK);
  }
  return list;
}

inline LONG CountOf(_Collection* list) {
  LONG count = -1;
  EXPECT_EQ(list->Count(&count), S_OK);
  return count;
}

// Long argument lists of the calls made to one member.
inline std::vector<std::vector<LONG>> ArgumentsOf(const ScriptedControl& control, DISPID member) {
  std::vector<std::vector<LONG>> out;
  for (const auto& call : control.CallsOf(member)) out.push_back(call.values);
  return out;
}

inline std::vector<SHORT> PortsPut(const ScriptedControl& control) {
  std::vector<SHORT> ports;
  for (const auto& call : control.calls)
    if (call.member == 1 && (call.flags & DISPATCH_PROPERTYPUT)) ports.push_back(static_cast<SHORT>(call.values[0]));
  return ports;
}

constexpr VARTYPE kRefLong = VT_BYREF | VT_I4;
