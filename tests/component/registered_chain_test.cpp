// A host that knows only class names: the driver, the terminal control and the record classes
// all come from modules found through the registry, nothing registered in-process.
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "driver/identifiers.h"
#include "platform/automation/collection.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"
#include "terminal/control/fk303id.h"
#include "tests/component/module_fixture.h"

#ifdef FK303ID_MODULE_PATH
namespace {
const std::string kControlModule = FK303ID_MODULE_PATH;

class RegisteredChain : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& module : {kCorvelModule, kControlModule, kVantoModule})
      ASSERT_EQ((CallEntry<DllRegisterServerFunction>(module, "DllRegisterServer")), S_OK) << module;
    // Serial port 7 of the control is a device that does not exist.
    ::setenv("VANTO_FK_PORT_7", (registry_.Directory() / "no-such-tty").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VANTO_FK_PORT_7");
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(kVantoModule));
    EXPECT_FALSE(IsLoaded(kControlModule)) << "the control outlived its last user";
  }
  TempRegistry registry_;
};

TEST_F(RegisteredChain, TheControlModuleRegistersItsClassAndUnloadsWhenUnused) {
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  const std::string* server = hive.Find("CLSID\\" + ToUtf8(GuidToString(CLSID_FK303ID)) + "\\InprocServer32");
  ASSERT_NE(server, nullptr);
  ComPtr<IDispatch> control;
  ASSERT_EQ(CreateObjectByProgId(kProgIdTerminalControl, IID_IDispatch, reinterpret_cast<void**>(control.Put())), S_OK);
  EXPECT_TRUE(IsLoaded(*server));
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(*server)) << "unloaded while a control is alive";
  control.Reset();
  ASSERT_EQ((CallEntry<DllUnregisterServerFunction>(kControlModule, "DllUnregisterServer")), S_OK);
  EXPECT_EQ(CreateObjectByProgId(kProgIdTerminalControl, IID_IDispatch, reinterpret_cast<void**>(control.Put())),
            CO_E_CLASSSTRING);
}

// What hosts that bind early and object browsers look up: the control's class names its
// description, registered with the file that carries it, whose members are the contract's and
// those the control answers to by name; unregistering takes all of it away.
TEST_F(RegisteredChain, TheControlRegistersTheDescriptionItCarries) {
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  const std::string clsid = ToUtf8(GuidToString(CLSID_FK303ID)), libid = ToUtf8(GuidToString(LIBID_FK303IDLib)),
                    diid = ToUtf8(GuidToString(DIID__DFK303ID));
  const std::string* server = hive.Find("CLSID\\" + clsid + "\\InprocServer32");
  ASSERT_NE(server, nullptr);
  struct Expected {
    std::string key, name, data;
  } expected[] = {
      {"CLSID\\" + clsid + "\\TypeLib", "", libid},
      {"TypeLib\\" + libid + "\\1.0", "", "FK303IDLib"},
      {"TypeLib\\" + libid + "\\1.0\\0\\linux64", "", *server},
      {"Interface\\" + diid, "", "_DFK303ID"},
      {"Interface\\" + diid + "\\TypeLib", "", libid},
      {"Interface\\" + diid + "\\TypeLib", "Version", "1.0"},
  };
  for (const auto& e : expected) {
    const std::string* data = hive.Find(e.key, e.name);
    ASSERT_NE(data, nullptr) << e.key << " " << e.name;
    EXPECT_EQ(*data, e.data) << e.key;
  }

  std::string text;
  ASSERT_EQ(ReadModuleResource(*server, "TYPELIB", 1, &text), S_OK);
  for (const std::string& part :
       {"library FK303IDLib 1.0 " + libid + "\n",
        "coclass FK303ID " + clsid + " control\n  interface _DFK303ID default\nend\n",
        "dispinterface _DFK303ID " + diid + " hidden\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  ComPtr<IDispatch> control;
  ASSERT_EQ(CreateObjectByProgId(kProgIdTerminalControl, IID_IDispatch, reinterpret_cast<void**>(control.Put())), S_OK);
  const std::regex method(R"(^  method (\d+) (\w+)\((vararg )?inout Variant\(\) arguments\) As Variant$)");
  std::istringstream lines(text);
  std::size_t at = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, method)) continue;
    ASSERT_LT(at, std::size(fk303id::kMembers)) << line;
    const fk303id::Member& member = fk303id::kMembers[at++];
    EXPECT_EQ(std::stoi(m[1]), member.number) << line;
    EXPECT_EQ(ToUtf16(m[2].str()), member.name) << line;
    EXPECT_EQ(m[3].matched, member.kind == fk303id::Kind::kMethod) << line;
    std::u16string name = ToUtf16(m[2].str());
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(control->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK) << line;
    EXPECT_EQ(id, member.number) << line;
  }
  EXPECT_EQ(at, std::size(fk303id::kMembers)) << text;
  control.Reset();

  ASSERT_EQ((CallEntry<DllUnregisterServerFunction>(kControlModule, "DllUnregisterServer")), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  for (const auto& e : expected) EXPECT_EQ(hive.Find(e.key, e.name), nullptr) << e.key;
  EXPECT_FALSE(hive.HasKey("TypeLib\\" + libid));
  EXPECT_FALSE(hive.HasKey("Interface\\" + diid));
}

// On a thread of its own, so that the thread's terminal link is made from the registered control.
TEST_F(RegisteredChain, AllSixOperationsRunThroughRegisteredModules) {
  std::thread([] {
    CoInitialize(nullptr);
    {
      ComPtr<IMachine> machine;
      ASSERT_EQ(CreateObjectByProgId(u"VANTO.clsMachine", IID_IMachine, reinterpret_cast<void**>(machine.Put())), S_OK);
      Bstr ip(u""), person(u"1");
      VARIANT_BOOL result = VARIANT_TRUE;
      auto message = [](std::u16string_view text) { return Bstr(text).Detach(); };

      // Discovery over a port whose device is missing: no terminal answers there.
      _Collection* list = nullptr;
      BSTR text = message(u"主机的消息");
      EXPECT_EQ(machine->funcRegister(&list, VARIANT_TRUE, 7, 7, ip.Get(), ip.Get(), 1, 1, &text, &result), S_OK);
      ComPtr<_Collection> found = ComPtr<_Collection>::Adopt(list);
      Bstr failure = Bstr::Adopt(text);
      EXPECT_EQ(result, VARIANT_TRUE);
      LONG count = -1;
      ASSERT_TRUE(found);
      found->Count(&count);
      EXPECT_EQ(count, 0);
      EXPECT_EQ(failure.Str(), u"主机的消息");

      ComPtr<_Collection> cards = CreateCollection();
      _Collection* raw = cards.Get();
      text = message(u"x");
      EXPECT_EQ(machine->DownloadCarddata(VARIANT_TRUE, ip.Get(), 7, 3, &raw, &text, &result), S_OK);
      EXPECT_EQ(result, VARIANT_FALSE);
      EXPECT_EQ(Bstr::Adopt(text).Str(), u"编号为3的考勤机不能下载刷卡数据！ ");

      RowSet* rows = nullptr;
      text = message(u"x");
      EXPECT_EQ(machine->funcBackFingure(VARIANT_TRUE, ip.Get(), 7, 1, person.Get(), &rows, &text, &result), S_OK);
      EXPECT_EQ(result, VARIANT_FALSE);
      Bstr::Adopt(text);
      text = message(u"x");
      EXPECT_EQ(machine->funcReWrite(VARIANT_TRUE, ip.Get(), 7, 1, person.Get(), nullptr, &text, &result), S_OK);
      EXPECT_EQ(result, VARIANT_FALSE);
      Bstr::Adopt(text);
      text = message(u"留着");
      EXPECT_EQ(machine->funcWriteCard(VARIANT_TRUE, ip.Get(), 7, 1, cards.Get(), &text, &result), S_OK);
      EXPECT_EQ(result, VARIANT_FALSE);
      EXPECT_EQ(Bstr::Adopt(text).Str(), u"留着");
      result = VARIANT_TRUE;
      EXPECT_EQ(machine->delCardData(VARIANT_TRUE, ip.Get(), 7, 1, &result), S_OK);
      EXPECT_EQ(result, VARIANT_FALSE);
    }
    CoUninitialize();
  }).join();
}
}  // namespace
#endif
