// What the Swipes, People and Report pages share: where the site's records are (the database
// and the working-day settings), a store opened per request (one store serves one thread),
// and the checks of the fields their forms and links carry.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <kainjow/mustache.hpp>

#include "host/db/swipe_store.h"
#include "web/words.h"

namespace httplib {
struct Request;
}

namespace vanto::web {

struct RecordsSource {
  std::string database;  // an SQLite path or a database URL; empty: none (the pages say so)
  std::chrono::milliseconds lock_timeout{5000};
  int day_starts = 0;             // the site's working day start, minutes after midnight
  std::optional<int> late_after;  // a first swipe after this (minutes after midnight) is late
};

// Opens the site's store, bringing its schema up to date; never creates a database. Throws
// store::StoreError naming the location.
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
