// The VANTO module as a host meets it: registered into a registry of the test's own, created by
// its class name, called through IMachine and late-bound through _clsMachine, unloaded when
// unused, unregistered.
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/stage_signal.h"
#include "driver/identifiers.h"
#include "platform/ado/memory_rowset.h"
#include "platform/automation/collection.h"
#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"
#include "tests/component/module_fixture.h"

namespace {
std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

ComPtr<IMachine> CreateMachine() {
  ComPtr<IMachine> machine;
  EXPECT_EQ(CreateObjectByProgId(u"VANTO.clsMachine", IID_IMachine, reinterpret_cast<void**>(machine.Put())), S_OK);
  return machine;
}

LONG CountOf(_Collection* list) {
  LONG count = -1;
  if (list) list->Count(&count);
  return count;
}

VARIANT Get(IDispatch* object, DISPID member) {
  VARIANT value;
  VariantInit(&value);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  object->Invoke(member, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
  return value;
}

LONG LongOf(const VARIANT& raw) {
  Variant owned = Variant::Copy(raw);
  Variant converted;
  VariantChangeType(converted.Put(), owned.Ptr(), 0, VT_I4);
  return converted.Raw().lVal;
}

// The port of the first MachineInfo in a list.
LONG FirstPort(_Collection* list) {
  Variant index = Variant::I4(1), item;
  if (FAILED(list->Item(index.Ptr(), item.Put())) || item.Type() != VT_DISPATCH) return -1;
  VARIANT port = Get(item.Raw().pdispVal, 3);  // PortNo
  LONG value = LongOf(port);
  VariantClear(&port);
  return value;
}

// funcRegister over one port, through IMachine.
struct Scan {
  bool result = false;
  LONG found = -1;
  LONG port = -1;
};
Scan ScanPort(IMachine* machine, SHORT port) {
  _Collection* list = nullptr;
  Bstr ip(u"");
  BSTR message = Bstr(u"未动").Detach();
  VARIANT_BOOL result = VARIANT_FALSE;
  Scan scan;
  HRESULT hr = machine->funcRegister(&list, VARIANT_TRUE, port, port, ip.Get(), ip.Get(), 1, 3, &message, &result);
  ComPtr<_Collection> owned = ComPtr<_Collection>::Adopt(list);
  Bstr ownedMessage = Bstr::Adopt(message);
  scan.result = hr == S_OK && result != VARIANT_FALSE;
  scan.found = CountOf(owned.Get());
  if (scan.found > 0) scan.port = FirstPort(owned.Get());
  return scan;
}

TEST_F(ModuleTest, CreatesByClassNameOnTwoThreadsEachWithItsOwnTerminalLink) {
  int before = TerminalDouble::Created();
  Scan scans[2];
  std::thread threads[2];
  for (int i = 0; i < 2; ++i)
    threads[i] = std::thread([&, i] {
      CoInitialize(nullptr);
      {
        ComPtr<IMachine> machine = CreateMachine();
        if (machine) {
          scans[i] = ScanPort(machine.Get(), static_cast<SHORT>(i + 1));
          ScanPort(machine.Get(), static_cast<SHORT>(i + 1));  // The same link again.
        }
      }
      CoUninitialize();
    });
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(scans[i].result) << i;
    EXPECT_EQ(scans[i].found, 1) << i;
    EXPECT_EQ(scans[i].port, i + 1) << i;
  }
  EXPECT_EQ(TerminalDouble::Created() - before, 2) << "one control per thread, kept between calls";
  EXPECT_GE(TerminalDouble::CreatorThreads().size(), 2u);
}
}  // namespace

namespace {
// What one operation did, through either binding.
struct Outcome {
  HRESULT hr = E_FAIL;
  bool result = false;
  std::string message;
  LONG listCount = -1;  // Items in the list argument afterwards (-1: no list).
  bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << "{hr=" << std::hex << o.hr << std::dec << " result=" << o.result << " message=\"" << o.message
             << "\" list=" << o.listCount << "}";
}

constexpr char16_t kHostText[] = u"主机的消息";

// The six operations through IMachine, each with the same arguments as LateBound below.
Outcome EarlyBound(IMachine* m, int operation) {
  Outcome out;
  Bstr ip(u"10.0.0.1"), person(u"1001");
  BSTR message = Bstr(kHostText).Detach();
  VARIANT_BOOL result = VARIANT_TRUE;
  ComPtr<_Collection> list;
  ComPtr<RowSet> rows = CreateEnrolmentRowSet();
  switch (operation) {
    case 1: {
      _Collection* raw = nullptr;
      out.hr = m->funcRegister(&raw, VARIANT_TRUE, 1, 2, ip.Get(), ip.Get(), 1, 3, &message, &result);
      list = ComPtr<_Collection>::Adopt(raw);
      break;
    }
    case 2: {
      RowSet* raw = rows.Detach();
      out.hr = m->funcBackFingure(VARIANT_TRUE, ip.Get(), 1, 1, person.Get(), &raw, &message, &result);
      rows = ComPtr<RowSet>::Adopt(raw);
      break;
    }
    case 3: out.hr = m->funcReWrite(VARIANT_TRUE, ip.Get(), 1, 1, person.Get(), rows.Get(), &message, &result); break;
    case 4: {
      list = CreateCollection();
      _Collection* raw = list.Detach();
      out.hr = m->DownloadCarddata(VARIANT_TRUE, ip.Get(), 2, 2, &raw, &message, &result);
      list = ComPtr<_Collection>::Adopt(raw);
      break;
    }
    case 5:
      list = CreateCollection();
      out.hr = m->funcWriteCard(VARIANT_TRUE, ip.Get(), 1, 1, list.Get(), &message, &result);
      break;
    case 6: out.hr = m->delCardData(VARIANT_TRUE, ip.Get(), 1, 1, &result); break;
  }
  Bstr owned = Bstr::Adopt(message);
  out.result = result != VARIANT_FALSE;
  if (operation != 6) out.message = Utf8(owned.View());
  if (list) out.listCount = CountOf(list.Get());
  return out;
}

const char16_t* const kMethodNames[] = {nullptr, u"IMachine_funcRegister", u"IMachine_funcBackFingure",
                                        u"IMachine_funcReWrite", u"IMachine_DownloadCarddata",
                                        u"IMachine_funcWriteCard", u"IMachine_delCardData"};

// Arguments of a late-bound call, in call order; by-reference ones point at `strings`/`objects`.
class LateArgs {
 public:
  void Value(Variant v) { args_.push_back(v.Detach()); }
  void RefString(std::u16string_view text) {
    strings_.push_back(std::make_unique<BSTR>(Bstr(text).Detach()));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = strings_.back().get();
    args_.push_back(v);
  }
  void RefObject(IDispatch* object) {
    objects_.push_back(std::make_unique<IDispatch*>(ComPtr<IDispatch>(object).Detach()));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_DISPATCH;
    v.ppdispVal = objects_.back().get();
    args_.push_back(v);
  }
  ~LateArgs() {
    for (auto& v : args_) VariantClear(&v);
    for (auto& s : strings_) Bstr::Adopt(*s);
    for (auto& o : objects_) ComPtr<IDispatch>::Adopt(*o);
  }
  HRESULT Invoke(IDispatch* target, DISPID member, Variant& result, UINT* argError) {
    std::vector<VARIANT> reversed(args_.rbegin(), args_.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return target->Invoke(member, GUID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(), nullptr,
                          argError);
  }
  std::u16string String(std::size_t i) const { return Bstr::Copy(*strings_.at(i)).Str(); }
  IDispatch* Object(std::size_t i) const { return *objects_.at(i); }

 private:
  std::vector<VARIANT> args_;
  std::vector<std::unique_ptr<BSTR>> strings_;
  std::vector<std::unique_ptr<IDispatch*>> objects_;
};

DISPID IdOf(IDispatch* target, const char16_t* name) {
  std::u16string text(name);
  LPOLESTR names[] = {text.data()};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(target->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << Utf8(name);
  return id;
}

// The same operations late-bound through _clsMachine: names to numbers, by-reference in-out
// arguments, Integers given as Longs and texts, Booleans as numbers.
Outcome LateBound(IDispatch* d, int operation) {
  Outcome out;
  LateArgs args;
  auto common = [&](SHORT port, SHORT machine) {
    args.Value(Variant::I4(1));  // blnPort: any non-zero number is True
    args.Value(Variant::Str(u"10.0.0.1"));
    args.Value(Variant::Str(std::u16string(1, u'0' + port)));  // iPort as text
    args.Value(Variant::I4(machine));
  };
  ComPtr<_Collection> list;
  ComPtr<RowSet> rows = CreateEnrolmentRowSet();
  switch (operation) {
    case 1:
      args.RefObject(nullptr);
      args.Value(Variant::Bool(true));
      args.Value(Variant::I4(1));
      args.Value(Variant::R8(2.0));
      args.Value(Variant::Str(u"10.0.0.1"));
      args.Value(Variant::Str(u"10.0.0.1"));
      args.Value(Variant::Str(u"1"));
      args.Value(Variant::I2(3));
      args.RefString(kHostText);
      break;
    case 2:
      common(1, 1);
      args.Value(Variant::I4(1001));  // sPersonNum from a number
      args.RefObject(rows.Get());
      args.RefString(kHostText);
      break;
    case 3:
      common(1, 1);
      args.Value(Variant::Str(u"1001"));
      args.Value(Variant::Dispatch(rows.Get()));
      args.RefString(kHostText);
      break;
    case 4:
      list = CreateCollection();
      common(2, 2);
      args.RefObject(list.Get());
      args.RefString(kHostText);
      break;
    case 5:
      list = CreateCollection();
      common(1, 1);
      args.Value(Variant::Dispatch(list.Get()));
      args.RefString(kHostText);
      break;
    case 6: common(1, 1); break;
  }
  Variant result;
  UINT argError = 0;
  out.hr = args.Invoke(d, IdOf(d, kMethodNames[operation]), result, &argError);
  EXPECT_EQ(result.Type(), VT_BOOL);
  out.result = result.Raw().boolVal != VARIANT_FALSE;
  if (operation != 6) out.message = Utf8(args.String(0));
  if (operation == 1 || operation == 4) {
    ComPtr<_Collection> back;
    IDispatch* object = args.Object(0);
    if (object) object->QueryInterface(IID__Collection, reinterpret_cast<void**>(back.Put()));
    out.listCount = CountOf(back.Get());
    if (operation == 4) {
      EXPECT_EQ(back.Get(), list.Get()) << "the caller's own list";
    }
  } else if (operation == 5) {
    out.listCount = CountOf(list.Get());
  }
  return out;
}

TEST_F(ModuleTest, AllSixOperationsGiveTheSameOutcomeEarlyAndLateBound) {
  ComPtr<IMachine> machine = CreateMachine();
  ASSERT_TRUE(machine);
  ComPtr<IDispatch> late;
  ASSERT_EQ(machine.As(IID__clsMachine, &late), S_OK);
  const Outcome expected[] = {
      {},
      {S_OK, true, Utf8(kHostText), 2},   // terminals 1 and 2 answer on ports 1 and 2
      {S_OK, false, Utf8(kHostText), -1},  // nothing enrolled: False, message as passed
      {},                                   // rewrite: compared between the bindings only
      {S_OK, true, "", 1},                  // one record, message cleared
      {S_OK, false, Utf8(kHostText), 0},    // unsupported
      {S_OK, false, "", -1},                // unsupported, no message
  };
  for (int operation = 1; operation <= 6; ++operation) {
    Outcome early = EarlyBound(machine.Get(), operation);
    Outcome lateOutcome = LateBound(late.Get(), operation);
    EXPECT_EQ(early, lateOutcome) << Utf8(kMethodNames[operation]);
    if (operation != 3) {
      EXPECT_EQ(early, expected[operation]) << Utf8(kMethodNames[operation]);
    }
  }
}

TEST_F(ModuleTest, LateBindingNamesMatchIgnoringCaseAndUnknownNamesAreRefused) {
  ComPtr<IDispatch> late;
  ASSERT_EQ(CreateObjectByProgId(u"vanto.CLSMACHINE", IID__clsMachine, reinterpret_cast<void**>(late.Put())), S_OK);
  for (int operation = 1; operation <= 6; ++operation) {
    std::u16string upper(kMethodNames[operation]);
    for (auto& c : upper)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    EXPECT_EQ(IdOf(late.Get(), upper.c_str()), IdOf(late.Get(), kMethodNames[operation]));
  }
  std::u16string unknown = u"funcRegister", parameter = u"col";
  LPOLESTR names[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(late->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  std::u16string known = u"IMachine_delCardData";
  LPOLESTR both[] = {known.data(), parameter.data()};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(late->GetIDsOfNames(GUID_NULL, both, 2, 0, ids), DISP_E_UNKNOWNNAME);  // Positional only.
  EXPECT_EQ(ids[0], IdOf(late.Get(), known.c_str()));
}

TEST_F(ModuleTest, LateBoundCallsWithBadArgumentsAnswerTheStandardErrors) {
  ComPtr<IDispatch> late;
  ASSERT_EQ(CreateObjectByProgId(u"VANTO.clsMachine", IID_IDispatch, reinterpret_cast<void**>(late.Put())), S_OK);
  DISPID del = IdOf(late.Get(), u"IMachine_delCardData");
  DISPID download = IdOf(late.Get(), u"IMachine_DownloadCarddata");
  struct Case {
    const char* what;
    std::function<void(LateArgs&)> fill;
    DISPID member;
    HRESULT code;
    UINT argError;  // Position in DISPPARAMS (reverse order), when the code names an argument.
  };
  auto four = [](Variant a, Variant b, Variant c, Variant d) {
    return [=](LateArgs& args) {
      args.Value(a), args.Value(b), args.Value(c), args.Value(d);
    };
  };
  const Case cases[] = {
      {"too few", [](LateArgs& a) { a.Value(Variant::Bool(true)); }, del, DISP_E_BADPARAMCOUNT, 99},
      {"too many", [&](LateArgs& a) { four(Variant::Bool(true), Variant::Str(u""), Variant::I2(1), Variant::I2(1))(a), a.Value(Variant::I2(0)); },
       del, DISP_E_BADPARAMCOUNT, 99},
      {"text for an Integer", four(Variant::Bool(true), Variant::Str(u""), Variant::Str(u"abc"), Variant::I2(1)), del,
       DISP_E_TYPEMISMATCH, 1},
      {"Integer overflow", four(Variant::Bool(true), Variant::Str(u""), Variant::I2(1), Variant::I4(40000)), del,
       DISP_E_OVERFLOW, 0},
      {"text for a Boolean", four(Variant::Str(u"maybe"), Variant::Str(u""), Variant::I2(1), Variant::I2(1)), del,
       DISP_E_TYPEMISMATCH, 3},
      {"object for a String", four(Variant::Bool(true), Variant::Dispatch(CreateCollection().Get()), Variant::I2(1), Variant::I2(1)),
       del, DISP_E_TYPEMISMATCH, 2},
      {"no such member", four(Variant::Bool(true), Variant::Str(u""), Variant::I2(1), Variant::I2(1)), 77,
       DISP_E_MEMBERNOTFOUND, 99},
      {"number for a list",
       [&](LateArgs& a) {
         four(Variant::Bool(true), Variant::Str(u""), Variant::I2(1), Variant::I2(1))(a);
         a.Value(Variant::I4(5));
         a.RefString(u"");
       },
       download, DISP_E_TYPEMISMATCH, 1},
      {"reference to a Long for strMsg",
       [&](LateArgs& a) {
         four(Variant::Bool(true), Variant::Str(u""), Variant::I2(1), Variant::I2(1))(a);
         a.RefObject(nullptr);
         static LONG target = 0;
         a.Value(Variant::RefI4(&target));
       },
       download, DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    LateArgs args;
    c.fill(args);
    Variant result;
    UINT argError = 99;
    EXPECT_EQ(args.Invoke(late.Get(), c.member, result, &argError), c.code) << c.what;
    EXPECT_EQ(argError, c.argError) << c.what;
  }
  // Named arguments are not taken; a property access is no method call.
  Variant args[4] = {Variant::I2(1), Variant::I2(1), Variant::Str(u""), Variant::Bool(true)};
  VARIANT raw[4] = {args[0].Raw(), args[1].Raw(), args[2].Raw(), args[3].Raw()};
  DISPID named[] = {0};
  DISPPARAMS withNames{raw, named, 4, 1};
  Variant result;
  EXPECT_EQ(late->Invoke(del, GUID_NULL, 0, DISPATCH_METHOD, &withNames, result.Put(), nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS plain{raw, nullptr, 4, 0};
  EXPECT_EQ(late->Invoke(del, GUID_NULL, 0, DISPATCH_PROPERTYGET, &plain, result.Put(), nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(late->Invoke(del, GUID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &plain, result.Put(), nullptr,
                         nullptr),
            S_OK);
  EXPECT_EQ(result.Type(), VT_BOOL);
}

HRESULT CanUnloadNow() {
  void* handle = ::dlopen(kVantoModule.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!handle) return E_UNEXPECTED;
  auto function = reinterpret_cast<DllCanUnloadNowFunction>(::dlsym(handle, "DllCanUnloadNow"));
  HRESULT hr = function ? function() : E_FAIL;
  ::dlclose(handle);
  return hr;
}

TEST_F(ModuleTest, CanUnloadOnlyWithNoObjectAliveAndNoLockHeld) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_clsMachine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the factory is an object of the module";
  ComPtr<IMachine> machine;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMachine, reinterpret_cast<void**>(machine.Put())), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "object alive, lock held";
  machine.Reset();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "lock held";
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kVantoModule));

  ASSERT_EQ(CoGetClassObject(CLSID_clsMachine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(machine.Put())), S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "object alive";
  machine.Reset();
  EXPECT_EQ(CanUnloadNow(), S_OK) << "neither";
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kVantoModule));
}

TEST_F(ModuleTest, TheFactoryServesOnlyClsMachineWithoutAggregation) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(CoGetClassObject(CLSID_MachineInfo, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.Put())),
            S_OK) << "served by Corvel.so";
  void* handle = ::dlopen(kVantoModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto get = reinterpret_cast<DllGetClassObjectFunction>(::dlsym(handle, "DllGetClassObject"));
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get(CLSID_MachineInfo, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(factory);
  EXPECT_EQ(get(CLSID_clsMachine, IID_IMachine, reinterpret_cast<void**>(factory.Put())), E_NOINTERFACE);
  ASSERT_EQ(get(CLSID_clsMachine, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
  ComPtr<IUnknown> object;
  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(outer.Put())), S_OK);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, reinterpret_cast<void**>(object.Put())),
            CLASS_E_NOAGGREGATION);
  for (const IID* iid : {&IID_IDispatch, &IID_IMachine, &IID__clsMachine}) {
    ComPtr<IUnknown> answer;
    EXPECT_EQ(outer->QueryInterface(*iid, reinterpret_cast<void**>(answer.Put())), S_OK);
  }
  object.Reset(), outer.Reset(), factory.Reset();
  ::dlclose(handle);
}

TEST_F(ModuleTest, UnregisteringRemovesExactlyWhatRegistrationRecorded) {
  std::string path = kVantoModule;
  {
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(kVantoModule.c_str(), resolved), nullptr);
    path = resolved;
  }
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  std::string clsid = Utf8(GuidToString(CLSID_clsMachine)), libid = Utf8(GuidToString(LIBID_VANTO)),
              iid = Utf8(GuidToString(IID__clsMachine));
  struct Expected {
    std::string key, name, data;
  } expected[] = {
      {"CLSID\\" + clsid, "", "VANTO.clsMachine"},
      {"CLSID\\" + clsid + "\\InprocServer32", "", path},
      {"CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {"CLSID\\" + clsid + "\\ProgID", "", "VANTO.clsMachine"},
      {"CLSID\\" + clsid + "\\TypeLib", "", libid},
      {"VANTO.clsMachine\\CLSID", "", clsid},
      {"TypeLib\\" + libid + "\\1.0", "", "VANTO"},
      {"TypeLib\\" + libid + "\\1.0\\0\\linux64", "", path},
      {"Interface\\" + iid, "", "_clsMachine"},
      {"Interface\\" + iid + "\\TypeLib", "", libid},
  };
  for (const auto& e : expected) {
    const std::string* data = hive.Find(e.key, e.name);
    ASSERT_NE(data, nullptr) << e.key << " " << e.name;
    EXPECT_EQ(*data, e.data) << e.key;
  }

  // Someone else's value under the class's key, and the Corvel classes, stay.
  ASSERT_EQ(RegisterServerEntries({{"CLSID\\" + clsid, "AppID", "kept"}}), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  RegistryHive before = hive;
  ASSERT_EQ((CallEntry<DllUnregisterServerFunction>(kVantoModule, "DllUnregisterServer")), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(*hive.Find("CLSID\\" + clsid, "AppID"), "kept");
  EXPECT_NE(hive.Find("Corvel.MachineInfo\\CLSID"), nullptr);
  for (const auto& e : expected) EXPECT_EQ(hive.Find(e.key, e.name), nullptr) << e.key;
  EXPECT_EQ(hive.SubKeys("CLSID\\" + clsid), std::vector<std::string>());
  EXPECT_FALSE(hive.HasKey("TypeLib\\" + libid));
  EXPECT_FALSE(hive.HasKey("VANTO.clsMachine"));

  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(CLSID_clsMachine, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(object.Put())),
            REGDB_E_CLASSNOTREG);
  CLSID found;
  EXPECT_EQ(CLSIDFromProgID(u"VANTO.clsMachine", &found), CO_E_CLASSSTRING);

  // Registering again restores exactly the state before unregistering.
  ASSERT_EQ((CallEntry<DllRegisterServerFunction>(kVantoModule, "DllRegisterServer")), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive, before);
}

// A thread keeps its terminal link after its objects are gone; the module is unloaded while it
// does, and the link is torn down at the thread's end without harm. In a fresh process, so that
// no other thread's link keeps the module mapped anyway.
void UnloadWhileAThreadHoldsItsLink(const std::filesystem::path& scratch) {
  auto check = [](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", what);
      std::_Exit(1);
    }
  };
  StageSignal stages;
  auto waitFor = [&](int wanted) { return stages.WaitFor(wanted); };
  auto advance = [&](int to) { stages.Advance(to); };
  Scan scan;
  std::thread worker([&] {
    {
      ComPtr<IMachine> machine = CreateMachine();
      if (machine) scan = ScanPort(machine.Get(), 1);
    }
    advance(1);
    waitFor(2);
  });
  check(waitFor(1), "worker ran");
  check(scan.result && scan.found == 1, "scan through the link");
  CoFreeUnusedLibraries();
  check(!IsLoaded(kVantoModule), "module unloaded while the worker holds its link");
  advance(2);
  worker.join();
  std::thread([&] {
    ComPtr<IMachine> machine = CreateMachine();
    check(machine && ScanPort(machine.Get(), 2).found == 1, "created and used again");
  }).join();
  CoFreeUnusedLibraries();
  std::filesystem::remove_all(scratch);  // This process ends here; its registry goes with it.
  std::exit(0);
}

TEST_F(ModuleTest, UnloadingWhileAThreadHoldsItsLinkIsSafe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(UnloadWhileAThreadHoldsItsLink(registry_.Directory()), ::testing::ExitedWithCode(0), "");
}
}  // namespace
