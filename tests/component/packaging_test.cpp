// The module files as shipped: exactly four exported entry points, the interface description and
// version texts read back from the file, and the registration command.
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "driver/identifiers.h"
#include "platform/automation/module_resources.h"
#include "platform/corvel/corvel.h"
#include "tests/component/module_fixture.h"

namespace {
std::set<std::string> DefinedDynamicSymbols(const std::string& module) {
  CommandResult nm = RunCommand("nm -D --defined-only '" + module + "'");
  EXPECT_EQ(nm.status, 0) << nm.output;
  std::set<std::string> names;
  std::istringstream lines(nm.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t space = line.find_last_of(' ');
    if (space != std::string::npos) names.insert(line.substr(space + 1));
  }
  return names;
}

TEST(Packaging, ModulesExportExactlyTheFourEntryPoints) {
  const std::set<std::string> entryPoints = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                             "DllUnregisterServer"};
  for (const auto& module : {kVantoModule, kCorvelModule}) EXPECT_EQ(DefinedDynamicSymbols(module), entryPoints) << module;
#ifdef FK303ID_MODULE_PATH
  EXPECT_EQ(DefinedDynamicSymbols(FK303ID_MODULE_PATH), entryPoints);
#endif
  EXPECT_EQ(kVantoModule.substr(kVantoModule.size() - 9), "/VANTO.so");
}

// One method line of the description: id, name, parameters (direction, type, name), result.
struct MethodLine {
  int id;
  std::string name;
  std::vector<std::string> parameters;  // "in Integer iPort"
  std::string result;
};

std::vector<MethodLine> MethodsOf(const std::string& text) {
  std::vector<MethodLine> methods;
  std::regex pattern(R"(^  method (\d+) (\w+)\((.*)\) As (\w+)$)");
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, pattern)) continue;
    MethodLine method{std::stoi(m[1]), m[2], {}, m[4]};
    std::string list = m[3];
    std::size_t at = 0;
    while (at < list.size()) {
      std::size_t comma = list.find(", ", at);
      method.parameters.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      at = comma == std::string::npos ? list.size() : comma + 2;
    }
    methods.push_back(method);
  }
  return methods;
}

TEST(Packaging, TheInterfaceDescriptionReadsBackFromTheFile) {
  std::string text;
  ASSERT_EQ(ReadModuleResource(kVantoModule, "TYPELIB", 1, &text), S_OK);
  EXPECT_FALSE(IsLoaded(kVantoModule)) << "read without loading the module";
  std::string libid = ToUtf8(GuidToString(LIBID_VANTO));
  EXPECT_NE(text.find("library VANTO 1.0 " + libid + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("coclass clsMachine " + ToUtf8(GuidToString(CLSID_clsMachine)) + "\n"
                      "  interface _clsMachine default\n"
                      "  interface IMachine " + ToUtf8(GuidToString(IID_IMachine)) + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("dispinterface _clsMachine " + ToUtf8(GuidToString(IID__clsMachine)) + "\n"), std::string::npos);
  for (const char* reference : {"importlib \"stdole2.tlb\" 2.0 ", "importlib \"libvanto_automation.so\" 6.0 ",
                                "importlib \"msado26.tlb\" ", "importlib \"Corvel.so\" 1.1 Corvel "})
    EXPECT_NE(text.find(reference), std::string::npos) << reference;

  const std::vector<MethodLine> expected = {
      {1, "IMachine_funcRegister",
       {"inout Collection col", "in Boolean blnPort", "in Integer iPortMin", "in Integer iPortMax",
        "in String strIPMin", "in String strIPMax", "in Integer iMin", "in Integer iMax", "inout String strMsg"},
       "Boolean"},
      {2, "IMachine_funcBackFingure",
       {"in Boolean blnPort", "in String strIp", "in Integer iPort", "in Integer imachineno", "in String sPersonNum",
        "inout Recordset rsData", "inout String strMsg"},
       "Boolean"},
      {3, "IMachine_funcReWrite",
       {"in Boolean blnPort", "in String strIp", "in Integer iPort", "in Integer imachineno", "in String sPersonNum",
        "in Recordset rsData", "inout String strMsg"},
       "Boolean"},
      {4, "IMachine_DownloadCarddata",
       {"in Boolean blnPort", "in String strIp", "in Integer iPort", "in Integer imachineno",
        "inout Collection cdata", "inout String strMsg"},
       "Boolean"},
      {5, "IMachine_funcWriteCard",
       {"in Boolean blnPort", "in String strIp", "in Integer iPort", "in Integer imachineno", "in Collection c",
        "inout String strMsg"},
       "Boolean"},
      {6, "IMachine_delCardData",
       {"in Boolean blnPort", "in String strIp", "in Integer iPort", "in Integer imachineno"}, "Boolean"},
  };
  auto methods = MethodsOf(text);
  ASSERT_EQ(methods.size(), expected.size()) << text;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(methods[i].id, expected[i].id);
    EXPECT_EQ(methods[i].name, expected[i].name);
    EXPECT_EQ(methods[i].parameters, expected[i].parameters) << expected[i].name;
    EXPECT_EQ(methods[i].result, expected[i].result);
  }
}

// The member numbers in the description are those the object answers to by name.
TEST_F(ModuleTest, TheDescriptionsMemberNumbersAreTheObjectsOwn) {
  std::string text;
  ASSERT_EQ(ReadModuleResource(kVantoModule, "TYPELIB", 1, &text), S_OK);
  ComPtr<IDispatch> late;
  ASSERT_EQ(CreateObjectByProgId(u"VANTO.clsMachine", IID__clsMachine, reinterpret_cast<void**>(late.Put())), S_OK);
  for (const auto& method : MethodsOf(text)) {
    std::u16string name = ToUtf16(method.name);
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(late->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, method.id) << method.name;
  }
}

TEST(Packaging, CorvelCarriesTheDescriptionItRegisters) {
  std::string text;
  ASSERT_EQ(ReadModuleResource(kCorvelModule, "TYPELIB", 1, &text), S_OK);
  auto guid = [](REFGUID g) { return ToUtf8(GuidToString(g)); };
  for (const std::string& line :
       {"library Corvel 1.1 " + guid(LIBID_Corvel), "interface IMachine " + guid(IID_IMachine) + " dual",
        "interface IMachineInfo " + guid(IID_IMachineInfo) + " dual",
        "interface ICardRecord " + guid(IID_ICardRecord) + " dual", "coclass MachineInfo " + guid(CLSID_MachineInfo),
        "coclass CardRecord " + guid(CLSID_CardRecord)})
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
  auto methods = MethodsOf(text);
  ASSERT_EQ(methods.size(), 6u);
  EXPECT_EQ(methods[0].name, "funcRegister");
  EXPECT_EQ(methods[5].name, "delCardData");
}

TEST(Packaging, EachModulesVersionTextsReadBackFromTheFile) {
  struct Case {
    std::string module;
    const char* name;
    const char* file_version;
    const char* original;
  };
  std::vector<Case> cases = {{kVantoModule, "VANTO", "1.00.0000", "VANTO.dll"},
                             {kCorvelModule, "Corvel", "1.10.0000", "Corvel.so"}};
#ifdef FK303ID_MODULE_PATH
  cases.push_back({FK303ID_MODULE_PATH, "FK303ID", "1.00.0000", "FK303ID.so"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module);
    std::string text;
    ASSERT_EQ(ReadModuleResource(c.module, "VERSION", 1, &text), S_OK);
    std::map<std::string, std::string> strings;
    std::string block;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line[0] == '[') {
        block = line;
        continue;
      }
      std::size_t equals = line.find('=');
      if (block == "[StringFileInfo\\080404B0]" && equals != std::string::npos)
        strings[line.substr(0, equals)] = line.substr(equals + 1);
    }
    EXPECT_EQ(strings["ProductName"], c.name);
    EXPECT_EQ(strings["InternalName"], c.name);
    EXPECT_EQ(strings["OriginalFilename"], c.original);
    EXPECT_EQ(strings["FileVersion"], c.file_version);
    EXPECT_EQ(strings["ProductVersion"], c.file_version);
    EXPECT_FALSE(strings["CompanyName"].empty());
    ASSERT_EQ(strings.count("OLESelfRegister"), 1u);
    EXPECT_EQ(strings["OLESelfRegister"], "");
    EXPECT_NE(text.find("Translation=0x0804 0x04B0"), std::string::npos);
  }
}

class Regsvr : public ::testing::Test {
 protected:
  CommandResult Command(const std::string& arguments) {
    return RunCommand("VANTO_REGISTRY='" + registry_.Path() + "' '" + kRegsvr + "' " + arguments);
  }
  TempRegistry registry_;
};

TEST_F(Regsvr, RegistersListsDescribesAndUnregisters) {
  CommandResult r = Command("'" + kVantoModule + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("DllRegisterServer"), std::string::npos);
  r = Command("-s '" + kCorvelModule + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");

  r = Command("-l");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(ToUtf8(GuidToString(CLSID_clsMachine)) + "  VANTO.clsMachine"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Corvel.CardRecord"), std::string::npos);
  EXPECT_NE(r.output.find("Apartment"), std::string::npos);
  EXPECT_NE(r.output.find("共 3 个类"), std::string::npos) << r.output;

  r = Command("-d '" + kVantoModule + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("== TYPELIB 1\nVANTO TYPELIB 1\nlibrary VANTO 1.0"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("== VERSION 1\n"), std::string::npos);
  EXPECT_NE(r.output.find("OriginalFilename=VANTO.dll"), std::string::npos);

  r = Command("-u '" + kVantoModule + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  r = Command("-u -s '" + kCorvelModule + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive, RegistryHive()) << hive.Serialize();
}

TEST_F(Regsvr, ReportsBadUseAndBadModules) {
  struct Case {
    std::string arguments;
    int status;
    std::string says;
  } cases[] = {
      {"", 2, "用法"},
      {"-x", 2, "未知选项"},
      {"-l extra", 2, "用法"},
      {"-u -d m.so", 2, "用法"},
      {"/nonexistent/m.so", 1, "/nonexistent/m.so"},
      {"-d /nonexistent/m.so", 1, "/nonexistent/m.so"},
      {"-d '" + kRegsvr + "'", 1, "TYPELIB"},  // An executable without resources.
  };
  for (const auto& c : cases) {
    CommandResult r = Command(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.arguments << "\n" << r.output;
  }
  registry_.Write("damaged\n");
  CommandResult r = Command("-l");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("已损坏"), std::string::npos) << r.output;
}
}  // namespace
