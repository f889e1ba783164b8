#include "cli/messages.h"

#include <libintl.h>
#include <stdlib.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>

namespace vanto::cli {

namespace {
constexpr char kDomain[] = "vanto";
}

const char* Tr(const char* english) { return dgettext(kDomain, english); }

std::string Fill(const std::string& text, std::initializer_list<std::string> args) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{') {
      std::size_t end = i + 1, n = 0;
      while (end < text.size() && end < i + 4 && text[end] >= '0' && text[end] <= '9')
        n = n * 10 + static_cast<std::size_t>(text[end++] - '0');
      if (end > i + 1 && end < text.size() && text[end] == '}' && n < args.size()) {
        out += *(args.begin() + n);
        i = end;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

void SetUpMessages() {
  if (!std::setlocale(LC_ALL, "")) {
    // The locale the environment names is not installed: keep its language for the messages.
    std::string wanted;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
      if (const char* value = std::getenv(name); value && *value) {
        wanted = value;
        break;
      }
    std::setlocale(LC_ALL, "C.UTF-8");
    std::string language = wanted.substr(0, wanted.find_first_of(".@"));
    const char* given = std::getenv("LANGUAGE");
    if (!language.empty() && language != "C" && language != "POSIX" && !(given && *given))
      setenv("LANGUAGE", language.c_str(), 1);
  }
  std::setlocale(LC_NUMERIC, "C");
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return;
  std::filesystem::path prefix = self.parent_path().parent_path();
  for (const std::filesystem::path& dir : {prefix / "share" / "locale", self.parent_path() / "locale"}) {
    if (std::filesystem::exists(dir / "zh_CN" / "LC_MESSAGES" / "vanto.mo", ec)) {
      bindtextdomain(kDomain, dir.c_str());
      break;
    }
  }
  bind_textdomain_codeset(kDomain, "UTF-8");
}

}  // namespace vanto::cli
