// Pushing swipes to HR systems: each [[push]] endpoint of the site file is sent every swipe after
// its delivered feed position (matching its filters), in feed order, in signed batches. The feed
// is the outbox (host/db/push_store.h). A drain reconciles the store's endpoints with the site
// file, then delivers to each endpoint that is due; a failure is recorded with its next attempt
// (exponential back-off with a cap, from the clock the caller gives). The library prints nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/db/database.h"
#include "host/site/site.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/site_choice.h"

namespace vanto::push {

using Clock = std::function<std::chrono::system_clock::time_point()>;

struct PushOptions {
  // The process's database handle (required): the endpoints' rows and the feed come from it.
  std::shared_ptr<db::Database> database;
  // The site the endpoints belong to (host::SiteChoice::name; '' a database that holds no site):
  // a drain adds, removes and delivers to that site's endpoints only.
  std::string site;
  std::vector<site::SitePush> endpoints;
  Clock clock = [] { return std::chrono::system_clock::now(); };
  // Every request's bounds: connecting, and each read or write on the connection.
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds io_timeout{15000};
  std::size_t batch = 1000;  // swipes a request at most (json); hr-checkin sends at most 100
  // The wait after the first failure, doubled with each failure in a row, never above the cap.
  std::chrono::seconds backoff_first{30};
  std::chrono::seconds backoff_cap{3600};
  // Requests an endpoint is sent in one drain at most (then it waits for the next drain).
  std::size_t max_requests = 1000;
  // Asked between requests: true stops the drain (the delivered stays delivered).
  std::function<bool()> stop = [] { return false; };
  // Tries endpoints in back-off at once (an administrator who has mended the receiver).
  bool ignore_backoff = false;
  // Keeps an endpoint in the store that `endpoints` does not name (set while a [[push]] table of
  // the site file is too wrong to name its endpoint: that may be the one).
  bool keep_unlisted = false;
};

// The site's endpoints (a misconfigured one with its problem) into `options`, and the site file's
// `site` as theirs (a front end that chose the site, host::ChooseSite, sets its choice instead).
void UseSiteEndpoints(PushOptions& options, const site::Site& site);

enum class EndpointState {
  kDelivered,  // everything due was sent (or there was nothing to send)
  kFailed,     // a request failed: recorded, with the next attempt
  kWaiting,    // not yet due (back-off or its rate): nothing sent
  kBusy,       // another drainer works on it
  kStopped,    // asked to stop part way
  kMisconfigured,  // the site file's table of it is wrong (`error` says why): nothing sent, its backlog kept
};

struct EndpointOutcome {
  std::string name;
  EndpointState state = EndpointState::kDelivered;
  std::int64_t sent = 0;  // swipes delivered by this drain
  std::string error;      // kFailed: what failed; kWaiting after failures: the last error
  std::int64_t failures = 0;  // in a row, after this drain
  std::int64_t next_attempt = 0;
};

struct DrainResult {
  std::vector<EndpointOutcome> endpoints;  // in the site file's order
  // Endpoints in the store the site file no longer names: dropped, with their backlog.
  std::vector<std::pair<std::string, std::int64_t>> dropped;
};

// Reconciles and delivers once. Throws StoreError when the database fails (a failing endpoint
// does not throw: its outcome says what failed).
DrainResult Drain(const PushOptions& options);

struct EndpointStatus {
  std::string name;
  std::string url;       // without any user or password part
  std::string format;
  bool in_store = false;  // false: not drained yet (added at the next drain)
  std::int64_t backlog = 0;
  std::int64_t delivered = 0;
  std::int64_t failures = 0;
  std::string added_at, last_success, last_error, last_error_at;
  std::int64_t next_attempt = 0;  // seconds since 1970; 0: at once
  std::string problem;  // the site file's table of it is wrong: why ("" when it is fine)
};

// Each endpoint of the site file as the store has it (no delivery, no change).
std::vector<EndpointStatus> Status(const PushOptions& options);

// ---- what goes on the wire (push_format.cpp) ------------------------------------------------

// A swipe's idempotency key: "v2:IDENTITY:GENERATION:EPOCH:INDEX" for a terminal that tells its
// identity; "v1:PORT:TERMINAL:PERSON:YYYY-MM-DDTHH:MM:OCCURRENCE" for one that does not, and
// "v1:SITE:PORT:TERMINAL:PERSON:YYYY-MM-DDTHH:MM:OCCURRENCE" for such a swipe that `sited` (see
// Sited), SITE its site's key name (store::SiteRow::key_name: `key_name`, '' the swipe's site),
// which a rename of the site never changes. A key never changes once it may have been delivered.
std::string SwipeKey(const store::StoredSwipe& swipe, bool sited = false, const std::string& key_name = "");

// Each site's key name by its name (store::SiteRow::key_name); a site missing keys with its name.
using KeyNames = std::map<std::string, std::string>;

// Whether a swipe at feed position `position` carries its site in its key and hr-checkin device:
// a swipe without identity of a site, after `from` (PushStore::SiteKeysFrom: where the database
// came to hold a second site; none: not yet).
bool Sited(const store::StoredSwipe& swipe, const store::FeedCursor& position, const std::optional<store::FeedCursor>& from);

// The request body of `swipes` in our format and in the HR check-in format; `sited` (beside the
// swipes, or empty: none) tells which carry their site's key name (`key_names`) in the key and
// device (Sited). The JSON's `site` is the swipe's site as it is named now.
std::string JsonBody(const std::string& endpoint, const std::vector<store::StoredSwipe>& swipes,
                     const std::vector<bool>& sited = {}, const KeyNames& key_names = {});
std::string HrCheckinBody(const site::SitePush& endpoint, const std::vector<store::StoredSwipe>& swipes,
                          const std::vector<bool>& sited = {}, const KeyNames& key_names = {});

// The signature header's value: "t=UNIX,v1=HEX" with HEX the HMAC-SHA256 of "UNIX.BODY" under
// `secret`.
inline constexpr char kSignatureHeader[] = "Vanto-Signature";
std::string Signature(const std::string& secret, std::int64_t unix_time, const std::string& body);

// The secret of `file`: its first line, without the line end. Throws std::runtime_error naming
// the file when it cannot be read, is empty, or may be read by other users.
std::string ReadSecret(const std::string& file);

// The url as shown: any user:password@ left out.
std::string ShownUrl(const std::string& url);

}  // namespace vanto::push
