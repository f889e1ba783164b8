// Arbitrary bytes as a registry file and as a module file. The first byte picks which. A registry
// text that parses must serialise to text that parses back to the same registry.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/automation/errorinfo.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    RegistryHive hive;
    std::string error;
    if (RegistryHive::Parse(bytes, &hive, &error)) {
      RegistryHive back;
      if (!RegistryHive::Parse(hive.Serialize(), &back, &error) || !(back == hive)) std::abort();
    }
  } else {
    std::string text;
    for (const char* type : {"TYPELIB", "VERSION"}) ReadModuleResourceFromImage(bytes, "fuzz", type, 1, &text);
    ClearErrorInfo();
  }
  return 0;
}
