// A registry of the test's own: a fresh temporary folder, with VANTO_REGISTRY pointing at a file
// in it for the test's lifetime (never the user's registry).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

class TempRegistry {
 public:
  TempRegistry() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vanto-registry-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    path_ = (directory_ / "registry").string();
    if (const char* old = std::getenv("VANTO_REGISTRY")) previous_ = old, hadPrevious_ = true;
    ::setenv("VANTO_REGISTRY", path_.c_str(), 1);
  }
  ~TempRegistry() {
    if (hadPrevious_) ::setenv("VANTO_REGISTRY", previous_.c_str(), 1);
    else ::unsetenv("VANTO_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& Path() const { return path_; }
  const std::filesystem::path& Directory() const { return directory_; }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string& text) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }

 private:
  std::filesystem::path directory_;
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};
