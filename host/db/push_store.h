// The push endpoints' rows in the site's database, whichever engine holds it. The feed of swipes
// is the outbox: an endpoint keeps only the feed position it has been delivered up to, so storing
// a swipe costs nothing more for any endpoint, and there is nothing delivered to prune. The row
// also keeps when the endpoint was added, its failures in a row, when it is tried next, its last
// error and its last success. One drainer at a time works on an endpoint (TryLock).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/db/swipe_feed.h"

namespace vanto::store {

struct PushEndpointRow {
  std::string name;
  std::string site;           // the site it belongs to ('' stored before endpoints had sites)
  bool all_sites = false;     // it is sent every site's swipes (else its site's only)
  FeedCursor cursor;          // delivered up to here
  std::string added_at;       // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::int64_t failures = 0;  // failed attempts since the last success
  std::int64_t next_attempt = 0;  // seconds since 1970 (0: at once)
  std::string last_error, last_error_at, last_success;  // "" when none
  std::int64_t delivered = 0;  // swipes delivered in all
};

// Which swipes an endpoint is sent: these ports and people only (empty: all), of this site only
// (none: every site's).
struct PushFilter {
  std::vector<int> ports;
  std::vector<std::int32_t> people;
  std::optional<std::string> site{};
  bool Matches(const StoredSwipe& swipe) const;
  // An endpoint's: its ports and people, of `site` only unless it takes every site's swipes (a
  // database that holds no site, `site` '': every swipe, as before sites).
  static PushFilter Of(std::vector<int> ports, std::vector<std::int32_t> people, bool all_sites, const std::string& site) {
    PushFilter filter{std::move(ports), std::move(people), std::nullopt};
    if (!all_sites && !site.empty()) filter.site = site;
    return filter;
  }
};

// Held while one drainer works on an endpoint; released when destroyed.
class PushLock {
 public:
  virtual ~PushLock() = default;
};

// The endpoints are keyed by site and name: every call that names an endpoint acts on the one of
// the store's site (ForSite; '' until set). Endpoints() lists every site's.
class PushStore {
 public:
  virtual ~PushStore() = default;
  void ForSite(std::string site) { site_ = std::move(site); }
  const std::string& site() const { return site_; }
  virtual std::vector<PushEndpointRow> Endpoints() = 0;
  // The endpoint of no site named `name` becomes the store's site's, unless it has one of that
  // name (an endpoint stored before endpoints had sites goes to the first site that names it).
  virtual void Adopt(const std::string& name) = 0;
  // Whether the endpoint takes every site's swipes.
  virtual void SetAllSites(const std::string& name, bool all_sites) = 0;
  // The feed position after which a swipe without identity carries its site in its push key
  // (none: the database has not held two sites yet). Written once, never changed.
  virtual std::optional<FeedCursor> SiteKeysFrom() = 0;
  // The position after the last swipe the feed serves now.
  virtual FeedCursor Head() = 0;
  // The position before the first swipe (in feed order) downloaded at or after `utc`
  // ("YYYY-MM-DDTHH:MM:SSZ"); Head() when there is none.
  virtual FeedCursor BeforeStoredFrom(const std::string& utc) = 0;
  // Adds an endpoint starting after `cursor`; false when it exists already (left as it is).
  virtual bool Add(const std::string& name, const FeedCursor& cursor, const std::string& added_at) = 0;
  virtual void Remove(const std::string& name) = 0;
  // Swipes after `after` that `filter` matches.
  virtual std::int64_t Backlog(const FeedCursor& after, const PushFilter& filter) = 0;
  // Records a delivery up to `cursor` of `count` swipes (clearing the failures).
  virtual void Delivered(const std::string& name, const FeedCursor& cursor, std::int64_t count, const std::string& at) = 0;
  // Records a failed attempt: the failures in a row, when to try next and what failed.
  virtual void Failed(const std::string& name, std::int64_t failures, std::int64_t next_attempt, const std::string& error,
                      const std::string& at) = 0;
  // Pushes the next attempt to `next_attempt` without counting a failure (a rate limit's wait).
  virtual void Defer(const std::string& name, std::int64_t next_attempt) = 0;
  // The endpoint's lock for `holder` (a name unique to the drainer), or nothing while another
  // drainer holds it. SQLite: a lease in the endpoint's row until `now` + `lease` seconds
  // (renewed by taking it again); PostgreSQL: a session advisory lock.
  virtual std::unique_ptr<PushLock> TryLock(const std::string& name, const std::string& holder, std::int64_t now,
                                            std::int64_t lease) = 0;

 protected:
  std::string site_;
};


}  // namespace vanto::store
