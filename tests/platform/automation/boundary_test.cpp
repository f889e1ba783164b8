// The guard at binary boundaries and the one class factory: an exception never crosses, it
// becomes a code with a description; server locks never go below zero; one unload rule.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/boundary.h"
#include "platform/automation/class_factory.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/text.h"

namespace {

struct ThrowCase {
  const char* name;
  void (*body)();
  HRESULT code;
  std::u16string description;
};

const ThrowCase kThrowCases[] = {
    {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, u"内存不足"},
    {"runtime_error", [] { throw std::runtime_error("disk on fire"); }, E_UNEXPECTED, u"Test.Object：内部错误（disk on fire）"},
    {"logic_error", [] { throw std::out_of_range("index 7"); }, E_UNEXPECTED, u"Test.Object：内部错误（index 7）"},
    {"not an exception class", [] { throw 42; }, E_UNEXPECTED, u"Test.Object：内部错误（未知异常）"},
};

TEST(GuardBoundary, AnyExceptionBecomesItsCodeWithTheDescriptionAsErrorInfo) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    ClearErrorInfo();
    HRESULT hr = GuardBoundary(u"Test.Object", [&]() -> HRESULT {
      c.body();
      return S_OK;
    });
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(hr)), ToUtf8(c.description));
  }
}

TEST(GuardBoundary, WhatTheBodyReturnsPassesUnchanged) {
  for (HRESULT code : {S_OK, S_FALSE, E_POINTER, DISP_E_MEMBERNOTFOUND}) {
    EXPECT_EQ(GuardBoundary(u"Test.Object", [&] { return code; }), code);
  }
}

TEST(GuardInvoke, AnyExceptionFillsTheCallersExcepinfo) {
  for (const ThrowCase& c : kThrowCases) {
    SCOPED_TRACE(c.name);
    EXCEPINFO info{};
    HRESULT hr = GuardInvoke(&info, u"Test.Object", [&]() -> HRESULT {
      c.body();
      return S_OK;
    });
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, c.code);
    EXPECT_EQ(ToUtf8(TakeExceptionDescription(info)), ToUtf8(c.description));

    // Without an EXCEPINFO the code itself comes back, with the description as error info.
    ClearErrorInfo();
    hr = GuardInvoke(nullptr, u"Test.Object", [&]() -> HRESULT {
      c.body();
      return S_OK;
    });
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(hr)), ToUtf8(c.description));
  }
}

// An object whose methods throw, as a faulty implementation would: the vtable method and Invoke
// are guarded as the system's objects guard theirs.
class Faulty final : public DispatchObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* exception,
                                   UINT*) override {
    return GuardInvoke(exception, u"Test.Faulty", [&]() -> HRESULT {
      if (member == 1) throw std::bad_alloc();
      throw std::runtime_error("member " + std::to_string(member));
    });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return GuardBoundary(u"Test.Faulty", []() -> HRESULT { throw std::length_error("names"); });
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch; }
};

TEST(GuardInvoke, AThrowingObjectAnswersErrorsNotExceptions) {
  ComPtr<IDispatch> object = ComPtr<IDispatch>::Adopt(new Faulty());
  EXCEPINFO info{};
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &info, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_OUTOFMEMORY);
  EXPECT_EQ(ToUtf8(TakeExceptionDescription(info)), "内存不足");
  EXPECT_EQ(object->Invoke(9, GUID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &info, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(ToUtf8(TakeExceptionDescription(info)), "Test.Faulty：内部错误（member 9）");
  DISPID id = 0;
  EXPECT_EQ(object->GetIDsOfNames(GUID_NULL, nullptr, 0, 0, &id), E_UNEXPECTED);
  EXPECT_EQ(ToUtf8(TakeErrorDescription(E_UNEXPECTED)), "Test.Faulty：内部错误（names）");
}

TEST(ServerLocks, AnUnlockWithoutALockIsRefusedAndTheCountStaysAtZero) {
  ServerLocks locks;
  EXPECT_EQ(locks.Change(FALSE), E_UNEXPECTED);
  EXPECT_EQ(locks.Held(), 0);
  EXPECT_EQ(locks.Change(TRUE), S_OK);
  EXPECT_EQ(locks.Change(TRUE), S_OK);
  EXPECT_EQ(locks.Held(), 2);
  EXPECT_EQ(locks.Change(FALSE), S_OK);
  EXPECT_EQ(locks.Change(FALSE), S_OK);
  EXPECT_EQ(locks.Change(FALSE), E_UNEXPECTED);
  EXPECT_EQ(locks.Held(), 0);
}

TEST(ServerLocks, ConcurrentUnlocksNeverTakeTheCountBelowZero) {
  ServerLocks locks;
  constexpr int kThreads = 4, kRounds = 2000;
  std::atomic<int> refused{0};
  std::atomic<bool> negative{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        // Even threads lock then unlock; odd threads unlock twice as often as they lock.
        if (t % 2 == 0) {
          locks.Change(TRUE);
          if (FAILED(locks.Change(FALSE))) ++refused;
        } else {
          if (i % 2 == 0) locks.Change(TRUE);
          if (FAILED(locks.Change(FALSE))) ++refused;
        }
        if (locks.Held() < 0) negative = true;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(negative.load());
  EXPECT_EQ(locks.Held(), 0);
  // Locks taken: 2*2000 + 2*1000 = 6000; unlocks asked: 8000; exactly the surplus was refused.
  EXPECT_EQ(refused.load(), 2000);
}

TEST(CanUnloadServer, OnlyWithNoObjectAliveAndNoLockHeld) {
  ServerLocks locks;
  EXPECT_EQ(CanUnloadServer(0, locks), S_OK);
  EXPECT_EQ(CanUnloadServer(1, locks), S_FALSE);
  locks.Change(TRUE);
  EXPECT_EQ(CanUnloadServer(0, locks), S_FALSE);
  EXPECT_EQ(CanUnloadServer(3, locks), S_FALSE);
  locks.Change(FALSE);
  EXPECT_EQ(CanUnloadServer(0, locks), S_OK);
}

HRESULT CreateThrowingBadAlloc(REFIID, void**) { throw std::bad_alloc(); }
HRESULT CreateThrowingRuntimeError(REFIID, void**) { throw std::runtime_error("settings unreadable"); }
HRESULT CreateFaulty(REFIID iid, void** object) {
  ComPtr<IDispatch> fresh = ComPtr<IDispatch>::Adopt(new Faulty());
  return fresh->QueryInterface(iid, object);
}

TEST(ClassFactory, AConstructorThatThrowsIsACodeWithADescription) {
  ServerLocks locks;
  struct Case {
    CreateObjectFunction create;
    HRESULT code;
    const char* description;
  } cases[] = {{&CreateThrowingBadAlloc, E_OUTOFMEMORY, "内存不足"},
               {&CreateThrowingRuntimeError, E_UNEXPECTED, "Test.Class：内部错误（settings unreadable）"}};
  for (const Case& c : cases) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(HandOutFactory(c.create, locks, u"Test.Class", IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
              S_OK);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &object), c.code);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ToUtf8(TakeErrorDescription(c.code)), c.description);
  }
}

TEST(ClassFactory, CreatesRefusesAggregationAndLocksTheServer) {
  ServerLocks locks;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(HandOutFactory(&CreateFaulty, locks, u"Test.Class", IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
            S_OK);
  ComPtr<IDispatch> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.Put())), S_OK);
  EXPECT_NE(object.Get(), nullptr);
  ComPtr<IDispatch> aggregated;
  EXPECT_EQ(factory->CreateInstance(object.Get(), IID_IDispatch, reinterpret_cast<void**>(aggregated.Put())),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(locks.Held(), 1);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
  EXPECT_EQ(locks.Held(), 0);
  EXPECT_EQ(HandOutFactory(&CreateFaulty, locks, u"Test.Class", IID_IClassFactory, nullptr), E_POINTER);
}

}  // namespace
