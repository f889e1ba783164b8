#include "web/records.h"

#include <httplib.h>

#include <ctime>
#include <vector>

#include "host/report/people.h"
#include "web/page.h"
#include "present/report/people_file.h"

namespace vanto::web {

db::Database& ConsoleDatabase::Get() {
  if (db::Database* ready = ready_.load(std::memory_order_acquire)) return *ready;
  std::lock_guard lock(mutex_);
  if (!opened_) {
    if (location_.empty()) throw store::StoreError(store::StoreFailure::Invalid, "the console has no database");
    db::DatabaseOptions options;
    options.create = false;
    options.lock_timeout = lock_timeout_;
    opened_ = db::Database::Open(location_, options);
    ready_.store(opened_.get(), std::memory_order_release);
  }
  return *opened_;
}

std::unique_ptr<store::SwipeStore> OpenRecords(const RecordsSource& source) {
  if (!source.db) throw store::StoreError(store::StoreFailure::Invalid, "the console has no database");
  return source.db->Get().Swipes();
}

std::optional<std::string> FieldText(const httplib::Request& req, const std::string& name, std::size_t max) {
  std::string text = Field(req, name);
  if (text.size() > max || !report::IsUtf8(text)) return std::nullopt;
  std::size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  return text.substr(a, b - a);
}

std::optional<std::int64_t> WholeNumber(std::string_view text, std::int64_t lo, std::int64_t hi) {
  bool negative = !text.empty() && text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
        c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string ThisMonth() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d", local.tm_year + 1900, local.tm_mon + 1);
  return text;
}

}  // namespace vanto::web
