// vanto-regsvr: registers and unregisters in-process server modules, lists what the registry
// holds, and prints a module's interface description and version texts.
//
//   vanto-regsvr [-s] MODULE        register (calls the module's DllRegisterServer)
//   vanto-regsvr -u [-s] MODULE     unregister (DllUnregisterServer)
//   vanto-regsvr -l                 list registered classes
//   vanto-regsvr -d MODULE          print TYPELIB 1 and VERSION 1 of the module file (not loaded)
//   vanto-regsvr -h                 this help
// The registry is the runtime's own (VANTO_REGISTRY, else the per-user default).
#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/automation/errorinfo.h"
#include "platform/automation/module_resources.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

namespace {
constexpr int kUsageError = 2;

void Usage(std::FILE* out) {
  std::fputs(
      "用法：vanto-regsvr [-s] 模块        注册模块\n"
      "      vanto-regsvr -u [-s] 模块     注销模块\n"
      "      vanto-regsvr -l               列出已注册的类\n"
      "      vanto-regsvr -d 模块          显示模块的接口描述和版本信息\n"
      "注册表位置：环境变量 VANTO_REGISTRY，否则 ~/.config/vanto/registry\n",
      out);
}

std::string Describe(HRESULT hr) { return ToUtf8(TakeErrorDescription(hr)); }

// An absolute path, so that dlopen loads this very file and the module records a full path.
std::string Absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path.find('/') == std::string::npos ? "./" + path : path;
}

int CallEntry(const std::string& given, const char* entry, bool silent) {
  std::string path = Absolute(given);
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    std::fprintf(stderr, "无法加载模块 %s：%s\n", path.c_str(), why ? why : "未知原因");
    return 1;
  }
  auto function = reinterpret_cast<DllRegisterServerFunction>(::dlsym(handle, entry));
  if (!function) {
    std::fprintf(stderr, "模块 %s 没有入口 %s\n", path.c_str(), entry);
    ::dlclose(handle);
    return 1;
  }
  HRESULT hr = function();
  // Keep the module loaded until the process ends: the description may come from its code.
  if (FAILED(hr)) {
    std::fprintf(stderr, "%s 在 %s 中失败（0x%08X）：%s\n", entry, path.c_str(), static_cast<unsigned>(hr),
                 Describe(hr).c_str());
    return 1;
  }
  if (!silent) std::printf("%s 在 %s 中成功。\n", entry, path.c_str());
  return 0;
}

int List() {
  RegistryHive hive;
  HRESULT hr = LoadRegistry(&hive);
  if (FAILED(hr)) {
    std::fprintf(stderr, "%s\n", Describe(hr).c_str());
    return 1;
  }
  std::printf("注册表：%s\n", RegistryLocation().c_str());
  int count = 0;
  for (const auto& clsid : hive.SubKeys("CLSID")) {
    std::string key = "CLSID\\" + clsid;
    const std::string* server = hive.Find(key + "\\InprocServer32");
    const std::string* progId = hive.Find(key + "\\ProgID");
    const std::string* model = hive.Find(key + "\\InprocServer32", "ThreadingModel");
    std::printf("%s  %s\n    模块：%s\n    线程模型：%s\n", clsid.c_str(), progId ? progId->c_str() : "(无类名)",
                server ? server->c_str() : "(无)", model ? model->c_str() : "(无)");
    ++count;
  }
  std::printf("共 %d 个类。\n", count);
  return 0;
}

int DescribeModule(const std::string& path) {
  int status = 0;
  for (const char* type : {"TYPELIB", "VERSION"}) {
    std::string text;
    HRESULT hr = ReadModuleResource(path, type, 1, &text);
    std::printf("== %s 1\n", type);
    if (FAILED(hr)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s\n", Describe(hr).c_str());
      status = 1;
      continue;
    }
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
  }
  return status;
}
}  // namespace

int main(int argc, char** argv) {
  bool unregister = false, silent = false, list = false, describe = false;
  std::vector<std::string> modules;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-u" || arg == "/u") unregister = true;
    else if (arg == "-s" || arg == "/s") silent = true;
    else if (arg == "-l" || arg == "--list") list = true;
    else if (arg == "-d" || arg == "--describe") describe = true;
    else if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "未知选项：%s\n", arg.c_str());
      Usage(stderr);
      return kUsageError;
    } else {
      modules.push_back(arg);
    }
  }
  int modes = int(list) + int(describe) + int(unregister);
  if (modes > 1 || (list && !modules.empty()) || (!list && modules.size() != 1)) {
    Usage(stderr);
    return kUsageError;
  }
  CoInitialize(nullptr);
  int status;
  if (list) status = List();
  else if (describe) status = DescribeModule(modules[0]);
  else status = CallEntry(modules[0], unregister ? "DllUnregisterServer" : "DllRegisterServer", silent);
  CoUninitialize();
  return status;
}
