// Shared set-up of the module tests: a registry of the test's own with the freshly built VANTO
// and Corvel modules registered in it, the terminal double in-process, and helpers to reach the
// modules' entry points and to run the registration command.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/automation/errorinfo.h"
#include "platform/automation/registry.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "tests/component/terminal_double.h"
#include "tests/platform/runtime/temp_registry.h"

inline const std::string kVantoModule = VANTO_MODULE_PATH;
inline const std::string kCorvelModule = CORVEL_MODULE_PATH;
inline const std::string kRegsvr = REGSVR_PATH;

inline bool IsLoaded(const std::string& path) {
  for (const auto& loaded : LoadedModules())
    if (loaded == path) return true;
  return false;
}

// Calls one entry point of a module without keeping it loaded beyond what others hold.
template <class Function>
HRESULT CallEntry(const std::string& module, const char* entry) {
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    ADD_FAILURE() << ::dlerror();
    return E_FAIL;
  }
  auto function = reinterpret_cast<Function>(::dlsym(handle, entry));
  HRESULT hr = function ? function() : E_FAIL;
  ::dlclose(handle);
  return hr;
}

// The output and exit status of a command.
struct CommandResult {
  int status = -1;
  std::string output;
};
inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ((CallEntry<DllRegisterServerFunction>(kCorvelModule, "DllRegisterServer")), S_OK);
    ASSERT_EQ((CallEntry<DllRegisterServerFunction>(kVantoModule, "DllRegisterServer")), S_OK);
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(kVantoModule)) << "an object of the module outlived the test";
  }

  TempRegistry registry_;
  TerminalDouble terminal_;
};
