// The download's list is a binary boundary: an observer that throws cannot send an exception
// through the driver's Add or Invoke; the caller gets a code with a description.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "host/observed_collection.h"
#include "platform/automation/collection.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/text.h"

using namespace vanto::host;

namespace {

struct ThrowCase {
  const char* name;
  void (*thrower)();
  HRESULT code;
  const char* description;
};

const ThrowCase kThrowCases[] = {
    {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, "内存不足"},
    {"runtime_error", [] { throw std::runtime_error("store full"); }, E_UNEXPECTED, "Collection：内部错误（store full）"},
};

TEST(ObservedCollection, AThrowingObserverIsACodeWithADescriptionOnAddAndInvoke) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    ComPtr<_Collection> list = CreateObservedCollection([&](long) { c.thrower(); });
    Variant item = Variant::I4(5), missing = MissingArgument();
    ClearErrorInfo();
    HRESULT hr = list->Add(item.Ptr(), missing.Ptr(), missing.Ptr(), missing.Ptr());
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(hr)), c.description);

    // Late bound: Add is member 1, its one argument given.
    EXCEPINFO info{};
    DISPPARAMS params{item.Ptr(), nullptr, 1, 0};
    hr = list->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &info, nullptr);
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, c.code);
    EXPECT_EQ(ToUtf8(TakeExceptionDescription(info)), c.description);

    LONG count = 0;
    EXPECT_EQ(list->Count(&count), S_OK);
    EXPECT_EQ(count, 2);  // the items themselves were added before the observer ran
  }
}

TEST(ObservedCollection, ARefusedAppendFailsAndKeepsWhatWasAppendedBefore) {
  bool refuse = false;
  long seen = 0;
  ComPtr<_Collection> list = CreateObservedCollection([&](long count) { seen = count; }, [&] { return refuse; });
  Variant item = Variant::I4(5), missing = MissingArgument();
  DISPPARAMS params{item.Ptr(), nullptr, 1, 0};
  EXCEPINFO info{};
  struct Step {
    bool refuse, late_bound;
    HRESULT code;
    LONG count;
  };
  const Step steps[] = {{false, false, S_OK, 1}, {false, true, S_OK, 2}, {true, false, E_ABORT, 2},
                        {true, true, E_ABORT, 2}, {false, false, S_OK, 3}};
  for (const Step& step : steps) {
    refuse = step.refuse;
    HRESULT hr = step.late_bound ? list->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &info, nullptr)
                                 : list->Add(item.Ptr(), missing.Ptr(), missing.Ptr(), missing.Ptr());
    EXPECT_EQ(hr, step.code);
    LONG count = 0;
    EXPECT_EQ(list->Count(&count), S_OK);
    EXPECT_EQ(count, step.count);
    EXPECT_EQ(seen, step.count);  // the observer hears of appends only
  }
}

}  // namespace

// The download's own list keeps nothing: each item goes to the taker as it is appended. A taker
// that throws, or a refusal, is the Add's failure code; the count says what was taken.
TEST(PassingCollection, TakesEachItemAndTurnsThrowsAndRefusalsIntoCodes) {
  bool refuse = false;
  std::vector<long> taken;
  long seen = 0;
  const ThrowCase* thrower = nullptr;
  ComPtr<_Collection> list = CreatePassingCollection(
      [&](const VARIANT& item) {
        if (thrower) thrower->thrower();
        taken.push_back(item.lVal);
      },
      [&](long count) { seen = count; }, [&] { return refuse; });
  Variant missing = MissingArgument();
  struct Step {
    bool refuse;
    const ThrowCase* thrower;
    HRESULT code;
    LONG count;
    std::size_t taken;
  };
  const Step steps[] = {{false, nullptr, S_OK, 1, 1},
                        {true, nullptr, E_ABORT, 1, 1},
                        {false, &kThrowCases[0], E_OUTOFMEMORY, 2, 1},
                        {false, &kThrowCases[1], E_UNEXPECTED, 3, 1},
                        {false, nullptr, S_OK, 4, 2}};
  long value = 10;
  for (const Step& step : steps) {
    refuse = step.refuse;
    thrower = step.thrower;
    Variant item = Variant::I4(++value);
    ClearErrorInfo();
    EXPECT_EQ(list->Add(item.Ptr(), missing.Ptr(), missing.Ptr(), missing.Ptr()), step.code);
    if (thrower) {
      EXPECT_EQ(ToUtf8(TakeErrorDescription(step.code)), thrower->description);
    }
    LONG count = 0;
    EXPECT_EQ(list->Count(&count), S_OK);
    EXPECT_EQ(count, step.count);
    EXPECT_EQ(taken.size(), step.taken);
  }
  EXPECT_EQ(taken, (std::vector<long>{11, 15}));
  Variant first = Variant::I4(1), out;
  EXPECT_EQ(list->Item(first.Ptr(), out.Put()), E_NOTIMPL);  // nothing kept to read back
}
