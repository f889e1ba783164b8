// Reading resources out of module files without loading them, including files that are not
// modules or are cut short.
#include "platform/automation/module_resources.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/automation/errorinfo.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"

namespace {
const std::string kModule = TEST_MODULE_PATH;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ModuleResources, ReadsNamedResourcesWithoutLoadingTheModule) {
  std::string text;
  ASSERT_EQ(ReadModuleResource(kModule, "TYPELIB", 1, &text), S_OK);
  EXPECT_EQ(text, "library RuntimeTest 1.0\n");
  ASSERT_EQ(ReadModuleResource(kModule, "VERSION", 1, &text), S_OK);
  EXPECT_EQ(text, "ProductName=RuntimeTest\n");
  EXPECT_TRUE(LoadedModules().empty());
  EXPECT_EQ(ModuleResourceSection("TYPELIB", 1), ".vanto_rsrc.TYPELIB.1");
}

TEST(ModuleResources, ReportsWhatIsMissingOrMalformed) {
  std::string text;
  HRESULT hr = ReadModuleResource(kModule, "TYPELIB", 2, &text);
  EXPECT_EQ(hr, HRESULT_RESOURCE_NOT_FOUND);
  EXPECT_NE(ToUtf8(TakeErrorDescription(hr)).find(kModule), std::string::npos);
  EXPECT_EQ(ReadModuleResource("/nonexistent/module.so", "TYPELIB", 1, &text), HRESULT_FILE_NOT_FOUND);
  ClearErrorInfo();
  EXPECT_EQ(ReadModuleResourceFromImage("#!/bin/sh\n", "script", "TYPELIB", 1, &text), HRESULT_BAD_EXE_FORMAT);
  ClearErrorInfo();
}

// Every cut of a real module and some damaged headers answer cleanly (never read out of bounds).
TEST(ModuleResources, TruncatedAndDamagedImagesFailCleanly) {
  std::string image = ReadFile(kModule);
  ASSERT_GT(image.size(), 1000u);
  std::string text;
  std::size_t step = image.size() / 300 + 1;
  for (std::size_t size = 0; size < image.size(); size += step) {
    HRESULT hr = ReadModuleResourceFromImage(std::string_view(image).substr(0, size), "cut", "TYPELIB", 1, &text);
    EXPECT_TRUE(hr == HRESULT_BAD_EXE_FORMAT || hr == HRESULT_RESOURCE_NOT_FOUND || hr == S_OK) << size;
    ClearErrorInfo();
  }
  // Section-header fields pointing anywhere.
  for (std::size_t offset : {0x28u, 0x3Au, 0x3Cu, 0x3Eu}) {
    for (unsigned char byte : {0x00, 0x7F, 0xFF}) {
      std::string damaged = image;
      for (std::size_t i = offset; i < offset + 2; ++i) damaged[i] = static_cast<char>(byte);
      HRESULT hr = ReadModuleResourceFromImage(damaged, "damaged", "TYPELIB", 1, &text);
      EXPECT_TRUE(hr == HRESULT_BAD_EXE_FORMAT || hr == HRESULT_RESOURCE_NOT_FOUND || hr == S_OK);
      ClearErrorInfo();
    }
  }
}
}  // namespace
