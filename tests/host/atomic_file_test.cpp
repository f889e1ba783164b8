// The atomic file writer: the file is replaced whole with the mode asked for, or left as it was,
// and no temporary file stays behind either way.
#include "host/atomic_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using namespace vanto::host;

namespace {

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AtomicFile, ReplacesWholeOrLeavesTheFileAsItWas) {
  char pattern[] = "/tmp/vanto-atomic-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  fs::create_directory(folder / "a-folder");
  std::ofstream(folder / "old.txt") << "old text";
  const mode_t umask_before = ::umask(022);
  struct Case {
    const char* name;
    fs::path target;
    std::string text;
    mode_t mode;
    bool ok;
    std::string after;  // the target's text afterwards ("" and !ok: does not exist or is a folder)
  } cases[] = {
      {"new file, private", folder / "new.html", "<p>王小明</p>", kPrivateFileMode, true, "<p>王小明</p>"},
      {"replaces an old file", folder / "old.txt", "new text", kSharedFileMode, true, "new text"},
      {"empty text", folder / "empty.txt", "", kPrivateFileMode, true, ""},
      {"missing folder", folder / "no" / "such.txt", "x", kPrivateFileMode, false, ""},
      {"target is a folder", folder / "a-folder", "x", kPrivateFileMode, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto failed = ReplaceFileAtomically(c.target.string(), c.text, c.mode);
    EXPECT_EQ(!failed.has_value(), c.ok) << failed.value_or("");
    if (c.ok) {
      EXPECT_EQ(Read(c.target), c.after);
      struct stat st {};
      ASSERT_EQ(::stat(c.target.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, c.mode);
    } else {
      ASSERT_TRUE(failed.has_value());
      EXPECT_NE(failed->find(c.target.filename().string()), std::string::npos) << *failed;
    }
  }
  EXPECT_TRUE(fs::is_directory(folder / "a-folder"));
  // Nothing but the targets: no temporary file left behind.
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    ++entries;
    EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos) << entry.path();
  }
  EXPECT_EQ(entries, 4u);  // new.html, old.txt, empty.txt, a-folder
  ::umask(umask_before);
  fs::remove_all(folder);
}

}  // namespace
