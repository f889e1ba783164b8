// The control's overrides on Windows: the values of HKEY_CURRENT_USER\Software\VANTO\FK303ID,
// then those of HKEY_LOCAL_MACHINE\Software\VANTO\FK303ID that the user's key does not have. Value
// names are the setting names of settings.h ("VANTO_FK_PORT_1" = "COM3", "VANTO_FK_TIMEOUT_MS" =
// 200, ...); texts (REG_SZ) and numbers (REG_DWORD) are both taken.
#include <windows.h>

#include <set>
#include <vector>

#include "terminal/control/settings_overrides.h"

namespace terminal::control {
namespace {

constexpr wchar_t kKey[] = L"Software\\VANTO\\FK303ID";

std::string Narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

void ReadKey(HKEY root, SettingPairs& pairs, std::set<std::string>& seen) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256, type = 0, size = 0;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    if ((type != REG_SZ && type != REG_DWORD) || size > 65536) continue;
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    nameLength = 256;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) continue;
    std::string value;
    if (type == REG_DWORD) {
      DWORD number = 0;
      memcpy(&number, data.data(), sizeof number);
      value = std::to_string(number);
    } else {
      const auto* text = reinterpret_cast<const wchar_t*>(data.data());
      std::size_t length = size / sizeof(wchar_t);
      while (length > 0 && text[length - 1] == L'\0') --length;
      value = Narrow(text, length);
    }
    std::string settingName = Narrow(name, nameLength);
    if (seen.insert(settingName).second) pairs.emplace_back(std::move(settingName), std::move(value));
  }
  RegCloseKey(key);
}

}  // namespace

SettingPairs ReadSettingOverrides() {
  SettingPairs pairs;
  std::set<std::string> seen;
  ReadKey(HKEY_CURRENT_USER, pairs, seen);
  ReadKey(HKEY_LOCAL_MACHINE, pairs, seen);
  return pairs;
}

const char* DefaultPortPattern() { return "COM{N}"; }

}  // namespace terminal::control
