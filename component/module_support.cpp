// Class factories, lock counting and registration entries shared by the system's modules.
#include "component/module_support.h"

#include "platform/automation/errorinfo.h"
#include "platform/automation/module_path.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

namespace {
std::string GuidText(REFGUID guid) { return ToUtf8(GuidToString(guid)); }

// The standard proxy of dispatch interfaces.
constexpr CLSID kDispatchProxy{0x00020420, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}  // namespace

ServerLocks& ModuleLocks() {
  static ServerLocks locks;
  return locks;
}

HRESULT ModuleCanUnloadNow(long servedElsewhere) {
  return CanUnloadServer(ModuleObjectCount() + servedElsewhere, ModuleLocks());
}

std::string ModuleFilePath() { return ModulePathOfAddress(reinterpret_cast<const void*>(&ModuleFilePath)); }

HRESULT HandOutFactory(CreateObjectFunction create, std::u16string_view source, REFIID iid, void** object) {
  return HandOutFactory(create, ModuleLocks(), source, iid, object);
}

std::vector<RegistryEntry> ClassEntries(const ClassRecord& record, const std::string& modulePath) {
  std::string clsid = GuidText(record.clsid);
  std::string key = "CLSID\\" + clsid;
  std::vector<RegistryEntry> entries = {
      {key, "", record.progId},
      {key + "\\InprocServer32", "", modulePath},
      {key + "\\InprocServer32", "ThreadingModel", record.threadingModel},
      {key + "\\ProgID", "", record.progId},
      {record.progId, "", record.progId},
      {record.progId + "\\CLSID", "", clsid},
  };
  if (record.typeLib) entries.push_back({key + "\\TypeLib", "", GuidText(*record.typeLib)});
  return entries;
}

std::vector<RegistryEntry> TypeLibEntries(const TypeLibRecord& record, const std::string& modulePath) {
  std::string libid = GuidText(record.libid);
  std::string key = "TypeLib\\" + libid + "\\" + record.version;
  std::vector<RegistryEntry> entries = {
      {key, "", record.name},
      {key + "\\0\\" + TypeLibPlatformKey(), "", modulePath},
      {key + "\\FLAGS", "", "0"},
      {key + "\\HELPDIR", "", ModuleDirectoryOf(modulePath)},
  };
  for (const auto& interface : record.interfaces) {
    std::string ikey = "Interface\\" + GuidText(interface.iid);
    entries.push_back({ikey, "", interface.name});
    entries.push_back({ikey + "\\ProxyStubClsid32", "", GuidText(kDispatchProxy)});
    entries.push_back({ikey + "\\TypeLib", "", libid});
    entries.push_back({ikey + "\\TypeLib", "Version", record.version});
  }
  return entries;
}

HRESULT RegisterModule(const std::vector<RegistryEntry>& entries) {
  HRESULT hr = RegisterServerEntries(entries);
  if (SUCCEEDED(hr)) return S_OK;
  return RaiseError(SELFREG_E_CLASS, u"注册失败：" + TakeErrorDescription(hr));
}

HRESULT UnregisterModule(const std::vector<RegistryEntry>& entries) {
  HRESULT hr = UnregisterServerEntries(entries);
  if (SUCCEEDED(hr)) return S_OK;
  return RaiseError(SELFREG_E_CLASS, u"注销失败：" + TakeErrorDescription(hr));
}
