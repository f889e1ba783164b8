#include "host/db/pg_location.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <optional>

namespace vanto::store {
namespace {

constexpr char kHidden[] = "***";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX sequences decoded (a malformed one is kept as written).
std::string PercentDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A part of the location to hide: [begin, end) as written, and the value it stands for.
struct Secret {
  std::size_t begin = 0, end = 0;
  std::string value;
};

bool IsUrl(const std::string& location) {
  const std::string lower = Lower(location.substr(0, 13));
  return lower.rfind("postgresql://", 0) == 0 || lower.rfind("postgres://", 0) == 0;
}

std::vector<Secret> SecretsIn(const std::string& location, int depth);

// A nested location (a dbname that is itself a URL or key=value text) holding a password.
bool NestedHoldsPassword(const std::string& value, int depth) { return depth < 3 && !SecretsIn(value, depth + 1).empty(); }

// The user part's password and every "password" parameter of a URL.
std::vector<Secret> UrlSecrets(const std::string& url, int depth) {
  std::vector<Secret> found;
  std::size_t start = url.find("://") + 3;
  std::size_t stop = url.find_first_of("@/", start);
  std::size_t after_user = start;
  if (stop != std::string::npos && url[stop] == '@') {
    std::size_t colon = url.find(':', start);
    if (colon != std::string::npos && colon < stop)
      found.push_back({colon + 1, stop, PercentDecoded(url.substr(colon + 1, stop - colon - 1))});
    after_user = stop + 1;
  }
  std::size_t query = url.find('?', after_user);
  if (query == std::string::npos) return found;
  for (std::size_t at = query + 1; at <= url.size();) {
    std::size_t end = url.find('&', at);
    if (end == std::string::npos) end = url.size();
    std::size_t eq = url.find('=', at);
    if (eq != std::string::npos && eq < end) {
      const std::string key = Lower(PercentDecoded(url.substr(at, eq - at)));
      const std::string value = PercentDecoded(url.substr(eq + 1, end - eq - 1));
      if (key == "password" || (key == "dbname" && NestedHoldsPassword(value, depth)))
        found.push_back({eq + 1, end, value});
    }
    at = end + 1;
  }
  return found;
}

// The values of "password" (and of a "dbname" holding one) in key=value text, read the way the
// client library reads them: blanks around '=', a value quoted in '...' or bare up to a blank,
// a backslash taking the next character as it is. nullopt when the text is not of that form.
std::optional<std::vector<Secret>> TextSecrets(const std::string& text, int depth) {
  std::vector<Secret> found;
  std::size_t i = 0;
  auto blank = [&](std::size_t at) { return at < text.size() && std::isspace(static_cast<unsigned char>(text[at])); };
  bool any = false;
  while (true) {
    while (blank(i)) ++i;
    if (i >= text.size()) break;
    std::size_t key_begin = i;
    while (i < text.size() && text[i] != '=' && !blank(i)) ++i;
    const std::string key = Lower(text.substr(key_begin, i - key_begin));
    while (blank(i)) ++i;
    if (i >= text.size() || text[i] != '=' || key.empty()) return std::nullopt;
    ++i;
    while (blank(i)) ++i;
    std::size_t value_begin = i;
    std::string value;
    if (i < text.size() && text[i] == '\'') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '\\' && i + 1 < text.size()) {
          value += text[i + 1];
          i += 2;
        } else if (text[i] == '\'') {
          ++i;
          closed = true;
          break;
        } else {
          value += text[i++];
        }
      }
      if (!closed) {
        // An unterminated quote: the library refuses it, but what follows is still hidden.
        found.push_back({value_begin, text.size(), value});
        return found;
      }
    } else {
      while (i < text.size() && !blank(i)) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
    }
    any = true;
    if (key == "password" || (key == "dbname" && NestedHoldsPassword(value, depth)))
      found.push_back({value_begin, i, value});
  }
  if (!any) return std::nullopt;
  return found;
}

std::vector<Secret> SecretsIn(const std::string& location, int depth) {
  if (IsUrl(location)) return UrlSecrets(location, depth);
  if (location.find('=') == std::string::npos) return {};
  return TextSecrets(location, depth).value_or(std::vector<Secret>{});
}

// The password the client library itself reads from `location`, when it reads the location.
std::optional<std::string> LibraryPassword(const std::string& location) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &error);
  PQfreemem(error);
  if (!options) return std::nullopt;
  std::optional<std::string> password;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (std::string(o->keyword) == "password" && o->val && *o->val) password = o->val;
  PQconninfoFree(options);
  return password;
}

void ReplaceAll(std::string& text, const std::string& part) {
  if (part.empty()) return;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + sizeof kHidden - 1))
    text.replace(at, part.size(), kHidden);
}

}  // namespace

bool IsConnectionText(const std::string& location) {
  if (IsUrl(location) || location.find('=') == std::string::npos || location.find("://") != std::string::npos)
    return false;
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &error);
  PQfreemem(error);
  if (!options) return false;
  PQconninfoFree(options);
  return true;
}

std::vector<std::string> PasswordsIn(const std::string& location) {
  std::vector<std::string> passwords;
  auto add = [&](const std::string& p) {
    if (!p.empty() && std::find(passwords.begin(), passwords.end(), p) == passwords.end()) passwords.push_back(p);
  };
  for (const Secret& s : SecretsIn(location, 0)) {
    add(location.substr(s.begin, s.end - s.begin));
    add(s.value);
    // A location inside (a dbname holding one): its own passwords too, as a message may quote them.
    if (s.value.size() < location.size())
      for (const std::string& inner : PasswordsIn(s.value)) add(inner);
  }
  if (auto p = LibraryPassword(location)) add(*p);
  // Longest first, so a password that holds another is hidden whole.
  std::sort(passwords.begin(), passwords.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return passwords;
}

bool HoldsPassword(const std::string& location) { return !PasswordsIn(location).empty(); }

std::string RedactLocation(const std::string& location) {
  std::vector<Secret> secrets = SecretsIn(location, 0);
  std::string shown = location;
  // From the back, so the earlier positions stay valid.
  std::sort(secrets.begin(), secrets.end(), [](const Secret& a, const Secret& b) { return a.begin > b.begin; });
  for (const Secret& s : secrets)
    if (s.end > s.begin) shown.replace(s.begin, s.end - s.begin, kHidden);
  // What the library reads as the password, wherever else it is written.
  return ScrubPasswords(shown, location);
}

std::string ScrubPasswords(const std::string& text, const std::string& location) {
  std::string scrubbed = text;
  for (const std::string& p : PasswordsIn(location)) ReplaceAll(scrubbed, p);
  return scrubbed;
}

}  // namespace vanto::store
