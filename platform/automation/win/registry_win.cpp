// Self-registration on Windows: the module's entries go to the system's registry
// (HKEY_CLASSES_ROOT) as one all-or-nothing change (registration_plan.h).
#include "platform/automation/errorinfo.h"
#include "platform/automation/registration_plan.h"
#include "platform/automation/registry.h"
#include "platform/automation/text.h"
#include "platform/automation/win/system_win.h"

namespace {
using vanto::win::Root;

class SystemStore final : public RegistryStore {
 public:
  bool Read(const std::string& key, const std::string& name, std::optional<std::string>* data) override {
    return vanto::win::ReadValue(Root::kClassesRoot, key, name, data, &error);
  }
  bool Write(const std::string& key, const std::string& name, const std::string& data) override {
    return vanto::win::WriteValue(Root::kClassesRoot, key, name, data, &error);
  }
  bool Remove(const std::string& key, const std::string& name) override {
    return vanto::win::RemoveValue(Root::kClassesRoot, key, name, &error);
  }
  bool RemoveKeyIfEmpty(const std::string& key) override {
    return vanto::win::RemoveKeyIfEmpty(Root::kClassesRoot, key, &error);
  }
  bool HasKey(const std::string& key) override { return vanto::win::HasKey(Root::kClassesRoot, key); }
};

constexpr char16_t kSource[] = u"VANTO 注册表";
}  // namespace

HRESULT RegisterServerEntries(const std::vector<RegistryEntry>& entries) {
  SystemStore store;
  if (registration::Register(store, entries)) return S_OK;
  return RaiseError(REGDB_E_WRITEREGDB, ToUtf16(store.error), kSource);
}

HRESULT UnregisterServerEntries(const std::vector<RegistryEntry>& entries) {
  SystemStore store;
  if (registration::Unregister(store, entries)) return S_OK;
  return RaiseError(REGDB_E_WRITEREGDB, ToUtf16(store.error), kSource);
}

HRESULT ReadRegistryValue(std::string_view key, std::string_view name, std::string* data) {
  std::optional<std::string> value;
  std::string error;
  if (!vanto::win::ReadValue(Root::kClassesRoot, std::string(key), std::string(name), &value, &error))
    return RaiseError(REGDB_E_READREGDB, ToUtf16(error), kSource);
  if (!value) return REGDB_E_KEYMISSING;
  if (data) *data = *value;
  return S_OK;
}
