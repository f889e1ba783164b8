#include "host/text/messages.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace vanto::host {

namespace {
constexpr char kDomain[] = "vanto";

// The catalogue read by the host itself, for a language whose locale is not installed (gettext
// then answers in English, and the host sets no environment to make it do otherwise).
struct Catalogue {
  std::unordered_map<std::string, std::string> texts;
  bool loaded = false;
};
Catalogue& OwnCatalogue() {
  static Catalogue catalogue;
  return catalogue;
}

std::uint32_t Word(const std::string& data, std::size_t at, bool swap) {
  if (at + 4 > data.size()) throw std::out_of_range("catalogue");
  std::uint32_t w;
  std::memcpy(&w, data.data() + at, 4);
  return swap ? __builtin_bswap32(w) : w;
}

// Reads a compiled message catalogue (.mo); false when it is not one.
bool ReadCatalogue(const std::filesystem::path& file, Catalogue& into) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    const std::uint32_t magic = Word(data, 0, false);
    if (magic != 0x950412de && magic != 0xde120495) return false;
    const bool swap = magic == 0xde120495;
    const std::uint32_t count = Word(data, 8, swap), originals = Word(data, 12, swap), translations = Word(data, 16, swap);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t olen = Word(data, originals + 8 * i, swap), ooff = Word(data, originals + 8 * i + 4, swap);
      const std::uint32_t tlen = Word(data, translations + 8 * i, swap), toff = Word(data, translations + 8 * i + 4, swap);
      if (std::size_t(ooff) + olen > data.size() || std::size_t(toff) + tlen > data.size()) return false;
      if (olen == 0) continue;  // the header
      into.texts.emplace(data.substr(ooff, olen), data.substr(toff, tlen));
    }
  } catch (const std::out_of_range&) {
    return false;
  }
  into.loaded = true;
  return true;
}

// The folder holding the catalogues beside the running program: PREFIX/share/locale beside
// PREFIX/bin, the program's own locale folder, or (a test in the build tree) the build tree's
// share/locale a few folders up. Empty when there is none.
std::filesystem::path CatalogueFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  std::vector<std::filesystem::path> candidates = {self.parent_path().parent_path() / "share" / "locale",
                                                   self.parent_path() / "locale"};
  std::filesystem::path up = self.parent_path();
  for (int i = 0; i < 4 && up.has_parent_path() && up != up.parent_path(); ++i, up = up.parent_path())
    candidates.push_back(up / "share" / "locale");
  for (const std::filesystem::path& dir : candidates)
    if (std::filesystem::exists(dir / "zh_CN" / "LC_MESSAGES" / "vanto.mo", ec)) return dir;
  return {};
}

// The Simplified Chinese catalogue, read once on first use.
const Catalogue& ChineseCatalogue() {
  static Catalogue catalogue;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::filesystem::path dir = CatalogueFolder();
    if (!dir.empty()) ReadCatalogue(dir / "zh_CN" / "LC_MESSAGES" / "vanto.mo", catalogue);
  });
  return catalogue;
}

const char* Lookup(const Catalogue& catalogue, const char* english) {
  const auto found = catalogue.texts.find(english);
  return found == catalogue.texts.end() ? english : found->second.c_str();
}

const char* LookupN(const Catalogue& catalogue, const char* singular, const char* plural, unsigned long n) {
  // A catalogue keys a plural message by both forms, and holds its forms one after another,
  // each ended by a NUL.
  const auto found = catalogue.texts.find(std::string(singular) + '\0' + plural);
  if (found == catalogue.texts.end()) return n == 1 ? singular : plural;
  const std::string& forms = found->second;
  const std::size_t second = forms.find('\0');
  // One form (Chinese), or English's two.
  if (second == std::string::npos || n == 1) return forms.c_str();
  return forms.c_str() + second + 1;
}

const char* LookupContext(const Catalogue& catalogue, const std::string& key, const char* english) {
  const auto found = catalogue.texts.find(key);
  return found == catalogue.texts.end() ? english : found->second.c_str();
}

}  // namespace

const char* TrIn(Language language, const char* english) {
  switch (language) {
    case Language::kProcess: return Tr(english);
    case Language::kEnglish: return english;
    case Language::kChinese: return Lookup(ChineseCatalogue(), english);
  }
  return english;
}

const char* TrInContext(Language language, const char* context, const char* english) {
  // A catalogue keys a message said in a context by the context, EOT, and the message.
  const std::string key = std::string(context) + '\004' + english;
  switch (language) {
    case Language::kProcess: {
      if (OwnCatalogue().loaded) return LookupContext(OwnCatalogue(), key, english);
      const char* found = dgettext(kDomain, key.c_str());
      return found == key.c_str() || std::strcmp(found, key.c_str()) == 0 ? english : found;
    }
    case Language::kEnglish: return english;
    case Language::kChinese: return LookupContext(ChineseCatalogue(), key, english);
  }
  return english;
}

const char* TrInN(Language language, const char* singular, const char* plural, unsigned long n) {
  switch (language) {
    case Language::kProcess: return TrN(singular, plural, n);
    case Language::kEnglish: return n == 1 ? singular : plural;
    case Language::kChinese: return LookupN(ChineseCatalogue(), singular, plural, n);
  }
  return n == 1 ? singular : plural;
}

const char* Tr(const char* english) {
  const Catalogue& own = OwnCatalogue();
  if (own.loaded) return Lookup(own, english);
  return dgettext(kDomain, english);
}

const char* TrN(const char* singular, const char* plural, unsigned long n) {
  const Catalogue& own = OwnCatalogue();
  if (own.loaded) return LookupN(own, singular, plural, n);
  return dngettext(kDomain, singular, plural, n);
}

std::string Fill(const std::string& text, std::initializer_list<std::string> args) {
  return FillIn(text, std::vector<std::string>(args));
}

std::string Translate(const Message& message, Language language) {
  const std::string text = message.translated() ? TrIn(language, message.text().c_str()) : message.text();
  if (message.values().empty()) return text;
  std::vector<std::string> values;
  values.reserve(message.values().size());
  for (const Message& value : message.values()) values.push_back(Translate(value, language));
  return FillIn(text, values);
}

std::string Translate(const std::exception& error, Language language) {
  return Translate(MessageOf(error), language);
}

void SetUpMessages() {
  std::string fallback_language;  // the language to read the catalogue for ourselves
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
    if (given && *given) language = std::string(given).substr(0, std::string(given).find(':'));
    if (!language.empty() && language != "C" && language != "POSIX") fallback_language = language;
  }
  std::setlocale(LC_NUMERIC, "C");
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return;
  std::filesystem::path prefix = self.parent_path().parent_path();
  for (const std::filesystem::path& dir : {prefix / "share" / "locale", self.parent_path() / "locale"}) {
    if (std::filesystem::exists(dir / "zh_CN" / "LC_MESSAGES" / "vanto.mo", ec)) {
      bindtextdomain(kDomain, dir.c_str());
      if (!fallback_language.empty()) {
        // zh_CN, else zh: the language as named, then without its region.
        for (const std::string& name : {fallback_language, fallback_language.substr(0, fallback_language.find('_'))})
          if (ReadCatalogue(dir / name / "LC_MESSAGES" / "vanto.mo", OwnCatalogue())) break;
      }
      break;
    }
  }
  bind_textdomain_codeset(kDomain, "UTF-8");
}

}  // namespace vanto::host
