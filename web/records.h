// What the Swipes, People and Report pages share: where the site's records are (the process's one
// database and the working-day settings), a repository borrowed from it per request (one serves
// one thread, and gives its connection back when done), and the checks of the fields their forms
// and links carry.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <kainjow/mustache.hpp>

#include "host/db/database.h"
#include "host/attendance_host.h"
#include "host/db/swipe_store.h"
#include "host/site_choice.h"
#include "web/words.h"

namespace httplib {
struct Request;
}

namespace vanto::site {
struct Site;
}

namespace vanto::web {

// The console's one database: the handle the process opened (`vanto serve` opens it once), or,
// when it was given only a location, one opened at the first request that needs it (never
// creating a database; tried again after a failure) and kept.
class ConsoleDatabase {
 public:
  ConsoleDatabase(std::shared_ptr<db::Database> opened, std::string location, std::chrono::milliseconds lock_timeout)
      : opened_(std::move(opened)), ready_(opened_.get()), location_(std::move(location)), lock_timeout_(lock_timeout) {}
  // Throws store::StoreError naming the location (no database: StoreFailure::Invalid). Once
  // there, every request has it without taking a lock.
  db::Database& Get();
  // The months judged over it, kept between requests (host::JudgedMonth).
  host::JudgedMonths& Judged() { return judged_; }

 private:
  host::JudgedMonths judged_;
  std::mutex mutex_;  // opening it
  std::shared_ptr<db::Database> opened_;
  std::atomic<db::Database*> ready_;  // opened_, once set (never unset)
  const std::string location_;
  const std::chrono::milliseconds lock_timeout_;
};

struct RecordsSource {
  std::string database;  // an SQLite path or a database URL; empty: none (the pages say so)
  // The process's handle over `database` (null: the server opens one at the first request).
  std::shared_ptr<db::Database> opened;
  std::chrono::milliseconds lock_timeout{5000};
  int day_starts = 0;             // the site's working day start, minutes after midnight
  std::optional<int> late_after;  // a first swipe after this (minutes after midnight) is late
  // The serving site's swipes only (host::SiteChoice::filter; none: every swipe, a database of no site).
  std::optional<std::string> site;
  // The serving site's file (its zone, terminals and pending limit for the report's day statuses);
  // null: none, and another site shown is judged without it.
  const site::Site* site_file = nullptr;
  // Set by the server from `opened` (or `database`): what every page borrows from.
  std::shared_ptr<ConsoleDatabase> db;
};

// Borrows the site's swipes repository from the console's database. Throws store::StoreError
// naming the location.
std::unique_ptr<store::SwipeStore> OpenRecords(const RecordsSource& source);

// A query or form field, trimmed of surrounding spaces; nothing when it is longer than `max`
// bytes or not UTF-8 (a caller answers 400).
std::optional<std::string> FieldText(const httplib::Request& req, const std::string& name, std::size_t max = 200);
// A whole number from `lo` to `hi` (decimal, an optional minus), or nothing.
std::optional<std::int64_t> WholeNumber(std::string_view text, std::int64_t lo, std::int64_t hi);
// `text` for a query string (RFC 3986 unreserved characters kept, every other byte %XX).
std::string UrlEncode(std::string_view text);

// "YYYY-MM" of the month holding today (the server's local time).
std::string ThisMonth();

}  // namespace vanto::web
