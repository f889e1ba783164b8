// The host's errors carry their messages unworded: what() is the English sentence, and the
// catalogue puts the message into a language, every part of a message that quotes another too.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "host/attendance_data.h"
#include "host/db/database.h"
#include "host/errors.h"
#include "host/message.h"
#include "host/site/site.h"
#include "host/text/messages.h"

namespace vanto::host {
namespace {

// A folder of its own, removed at the end.
class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/vanto-messages-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whatever `call` throws.
template <class Call>
std::exception_ptr Thrown(Call call) {
  try {
    call();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

TEST(HostMessages, ErrorsOfEveryKindAreSaidInEnglishAndTranslatedByTheFrontEnd) {
  Folder folder;
  const std::string& dir = folder.path();
  struct Case {
    const char* what;
    std::function<void()> call;
    std::string english, chinese;
  };
  const Case cases[] = {
      {"an input error", [] { ChooseFormat(true, true); }, "give --csv or --json, not both",
       "请给出 --csv 或 --json，不要同时给出"},
      {"a store error", [&] { db::Database::Open(dir); }, "database " + dir + " is a folder, not a file",
       "数据库 " + dir + " 是文件夹，不是文件"},
      {"a site error quoting two messages", [&] { site::LoadSite(dir); },
       "cannot read the site file " + dir + ": it is a folder", "无法读取站点文件 " + dir + ": 它是一个文件夹"},
      {"a site error three deep", [] { site::ParseSite("database = 5\n", "s.toml"); },
       "s.toml:1: key 'database': must be a string, not a whole number", "s.toml:1: 键“database”：必须是字符串，而不是整数"},
  };
  for (const Case& c : cases) {
    const std::exception_ptr thrown = Thrown(c.call);
    ASSERT_TRUE(thrown) << c.what;
    try {
      std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.english) << c.what;
      EXPECT_EQ(Translate(e, Language::kEnglish), c.english) << c.what;
      EXPECT_EQ(Translate(e, Language::kChinese), c.chinese) << c.what;
      EXPECT_EQ(MessageOf(e).English(), c.english) << c.what;
    }
  }
}

TEST(HostMessages, ValuesAreSaidAsTheyAreAndNeverFilledAgain) {
  struct Case {
    const char* what;
    Message message;
    std::string english, chinese;
  };
  const Case cases[] = {
      {"a value that looks like a slot", Message("database {0} does not exist", {"/tmp/{0}{1}"}),
       "database /tmp/{0}{1} does not exist", "数据库 /tmp/{0}{1} 不存在"},
      {"a verbatim text is never looked up", Message::Verbatim("it is a folder"), "it is a folder", "it is a folder"},
      {"a nested message is looked up",
       Message::Join({"x: ", Message("it is a folder"), " {0}"}), "x: it is a folder {0}", "x: 它是一个文件夹 {0}"},
      {"a slot without its value stays", Message("database {0} does not exist"), "database {0} does not exist",
       "数据库 {0} 不存在"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.message.English(), c.english) << c.what;
    EXPECT_EQ(Translate(c.message, Language::kChinese), c.chinese) << c.what;
  }
  // Another part's error is quoted as it says itself.
  EXPECT_EQ(Translate(MessageOf(std::runtime_error("{0} raw")), Language::kChinese), "{0} raw");
  // An error re-thrown with the message it carries keeps its translation.
  const HostError again(MessageOf(InputError(Message("it is a folder"))));
  EXPECT_EQ(Translate(again, Language::kChinese), "它是一个文件夹");
}

}  // namespace
}  // namespace vanto::host
