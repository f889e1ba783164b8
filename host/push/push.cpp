// The drain: reconcile the store's endpoints with the site file, then deliver to each one due.
#include "host/push/push.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "host/db/civil_time.h"
#include "host/db/push_store.h"
#include "host/db/sites.h"
#include "host/db/swipe_feed.h"

namespace vanto::push {
namespace {

db::Database& Handle(const PushOptions& o) {
  if (!o.database) throw std::invalid_argument("push: no database handle");
  return *o.database;
}

// An SQLite lease outlives a drainer that died by at most this; one pass over an endpoint ends
// after half of it (the rest goes at the next drain), so a live drainer never outlasts its lease.
constexpr std::int64_t kLeaseSeconds = 600;
constexpr std::chrono::seconds kLongestPass{kLeaseSeconds / 2};
constexpr std::size_t kHrBatch = 100;

std::int64_t UnixOf(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

using store::UtcText;

store::PushFilter FilterOf(const site::SitePush& e, const std::string& site) {
  return store::PushFilter::Of(e.ports, e.people, e.all_sites, site);
}

// A name for this drainer, unique among the processes on the database.
std::string HolderName() {
  static std::atomic<unsigned> count{0};
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string(host) + "/" + std::to_string(getpid()) + "/" + std::to_string(++count);
}

// The wait before the next attempt after `failures` failures in a row.
std::int64_t Backoff(const PushOptions& o, std::int64_t failures) {
  std::int64_t wait = o.backoff_first.count();
  for (std::int64_t i = 1; i < failures && wait < o.backoff_cap.count(); ++i) wait *= 2;
  return std::min<std::int64_t>(wait, o.backoff_cap.count());
}

std::string ErrorWords(httplib::Error error, const PushOptions& o) {
  switch (error) {
    case httplib::Error::Connection: return "cannot connect";
    case httplib::Error::ConnectionTimeout:
      return "time-out: no connection within " + std::to_string(o.connect_timeout.count()) + " ms";
    case httplib::Error::Read:
      return "time-out or connection closed: no answer within " + std::to_string(o.io_timeout.count()) + " ms";
    case httplib::Error::Write: return "connection closed while sending";
    case httplib::Error::SSLConnection: return "TLS failure: no secure connection";
    case httplib::Error::SSLLoadingCerts: return "TLS failure: cannot load the CA file";
    case httplib::Error::SSLServerVerification: return "TLS failure: the server's certificate is not trusted";
    default: return "request failed (" + httplib::to_string(error) + ")";
  }
}

// One endpoint's HTTP client for a drain (its connection kept between requests).
class Sender {
 public:
  Sender(const site::SitePush& e, const PushOptions& o) : options_(o) {
    const std::size_t scheme = e.url.find("://");
    const std::size_t slash = e.url.find('/', scheme + 3);
    std::string base = e.url.substr(0, slash);
    path_ = slash == std::string::npos ? "/" : e.url.substr(slash);
    // Credentials in the address are not sent as such: the request's signature is the proof.
    if (const std::size_t at = base.find('@', scheme + 3); at != std::string::npos)
      base = base.substr(0, scheme + 3) + base.substr(at + 1);
    client_ = std::make_unique<httplib::Client>(base);
    client_->set_connection_timeout(o.connect_timeout);
    client_->set_read_timeout(o.io_timeout);
    client_->set_write_timeout(o.io_timeout);
    client_->set_follow_location(false);
    client_->set_keep_alive(true);
    client_->set_tcp_nodelay(true);  // headers and body go in two writes: no wait for an ACK between
    if (e.url.rfind("https://", 0) == 0) {
      client_->enable_server_certificate_verification(true);
      if (e.ca_file) client_->set_ca_cert_path(*e.ca_file);
    }
  }

  // "" when the endpoint took the body, else what failed. Taken means a 2xx answer that
  // acknowledges it: in our format {"received": COUNT} with the number of swipes sent; in the
  // HR check-in format a JSON body. Any other 2xx (a web page, a proxy's or portal's answer at a
  // wrong address) is not taken, so no swipe is passed on the word of something that never read it.
  std::string Send(const std::string& body, const std::string& signature, std::size_t count, bool hr) {
    httplib::Headers headers{{kSignatureHeader, signature}};
    httplib::Result answer = client_->Post(path_, headers, body, "application/json");
    if (!answer) return ErrorWords(answer.error(), options_);
    const int status = answer->status;
    if (status >= 200 && status < 300) return Acknowledged(status, answer->body, count, hr);
    if (status >= 300 && status < 400)
      return "HTTP " + std::to_string(status) + ": a redirect (to " + answer->get_header_value("Location") +
             "), not followed: give the endpoint's own address";
    return "HTTP " + std::to_string(status) + (status >= 500 ? ": the server failed" : ": refused");
  }

 private:
  static std::string Acknowledged(int status, const std::string& answer, std::size_t count, bool hr) {
    const nlohmann::json ack = nlohmann::json::parse(answer, nullptr, false);
    if (hr ? !ack.is_discarded()
           : ack.is_object() && ack.contains("received") && ack["received"].is_number_unsigned() &&
                 ack["received"].get<std::uint64_t>() == count)
      return "";
    // The start of what came back, printable ASCII only (it is shown in status and on the dashboard).
    std::string began;
    for (char c : answer.substr(0, 40)) began += c >= 0x20 && c < 0x7f ? c : '?';
    return "HTTP " + std::to_string(status) + " without an acknowledgement (" +
           (hr ? std::string("a JSON answer") : "{\"received\": " + std::to_string(count) + "}") +
           " expected; the answer began \"" + began + "\"): nothing counted as delivered";
  }

  const PushOptions& options_;
  std::string path_;
  std::unique_ptr<httplib::Client> client_;
};

// The store's site's endpoints, by name.
// Each site's key name as the database holds it now.
KeyNames ReadKeyNames(db::Database& db) {
  KeyNames names;
  auto tables = db.Tables(/*read_only=*/true);
  for (const store::SiteRow& s : store::ListSites(*tables)) names[s.name] = s.key_name;
  return names;
}

std::map<std::string, store::PushEndpointRow> RowsByName(store::PushStore& s) {
  std::map<std::string, store::PushEndpointRow> rows;
  for (store::PushEndpointRow& r : s.Endpoints())
    if (r.site == s.site()) rows.emplace(r.name, std::move(r));
  return rows;
}

EndpointOutcome DrainOne(const PushOptions& o, const site::SitePush& e, store::PushStore& push, store::SwipeFeed& feed,
                         const std::string& holder) {
  EndpointOutcome out;
  out.name = e.name;
  if (!e.problem.empty()) {
    out.state = EndpointState::kMisconfigured;
    out.error = e.problem;
    return out;
  }
  const std::int64_t now = UnixOf(o.clock());
  auto rows = RowsByName(push);
  auto found = rows.find(e.name);
  if (found == rows.end()) return out;  // removed meanwhile
  if (found->second.next_attempt > now && !(o.ignore_backoff && found->second.failures > 0)) {
    out.state = EndpointState::kWaiting;
    out.next_attempt = found->second.next_attempt;
    out.failures = found->second.failures;
    out.error = found->second.last_error;
    return out;
  }
  std::unique_ptr<store::PushLock> lock = push.TryLock(e.name, holder, now, kLeaseSeconds);
  if (!lock) {
    out.state = EndpointState::kBusy;
    return out;
  }
  // Read again under the lock: another drainer may have delivered meanwhile.
  rows = RowsByName(push);
  found = rows.find(e.name);
  if (found == rows.end()) return out;
  const store::PushEndpointRow row = found->second;
  auto fail = [&](const std::string& error) {
    const std::int64_t at = UnixOf(o.clock());
    out.state = EndpointState::kFailed;
    out.error = error;
    out.failures = row.failures + 1;
    out.next_attempt = at + Backoff(o, row.failures + 1);
    push.Failed(e.name, row.failures + 1, out.next_attempt, error, UtcText(at));
    return out;
  };
  std::string secret;
  try {
    secret = ReadSecret(e.secret_file);
  } catch (const std::runtime_error& failure) {
    return fail(failure.what());
  }
  const bool hr = e.format == "hr-checkin";
  const std::size_t batch = std::max<std::size_t>(1, hr ? std::min(o.batch, kHrBatch) : o.batch);
  const std::size_t max_requests =
      hr ? std::min<std::size_t>(o.max_requests, static_cast<std::size_t>(e.requests_per_minute)) : o.max_requests;
  const store::PushFilter filter = FilterOf(e, o.site);
  const std::optional<store::FeedCursor> sited_from = push.SiteKeysFrom();
  KeyNames key_names;  // read when a swipe first carries its site, again for a site renamed meanwhile
  Sender sender(e, o);
  store::FeedCursor cursor = row.cursor;
  const auto pass_ends = std::chrono::steady_clock::now() + kLongestPass;
  for (std::size_t requests = 0;; ++requests) {
    if (o.stop()) {
      out.state = EndpointState::kStopped;
      return out;
    }
    if (std::chrono::steady_clock::now() > pass_ends) {  // the rest at the next drain
      out.state = EndpointState::kWaiting;
      out.next_attempt = UnixOf(o.clock());
      return out;
    }
    std::vector<store::StoredSwipe> swipes;
    std::vector<bool> sited;
    store::FeedCursor next = cursor;
    while (swipes.size() < batch) {
      store::FeedPage page = feed.Read(next, batch - swipes.size());
      if (page.swipes.empty()) break;
      for (std::size_t i = 0; i < page.swipes.size(); ++i) {
        if (!filter.Matches(page.swipes[i])) continue;  // passed over: the position moves past it
        sited.push_back(Sited(page.swipes[i], page.positions[i], sited_from));
        swipes.push_back(std::move(page.swipes[i]));
      }
      next = page.next;
    }
    // A swipe's key carries its site's key name, never its name now (a rename changes no key).
    std::string unknown_site;
    bool read_again = false;
    for (std::size_t i = 0; i < swipes.size(); ++i) {
      if (!sited[i] || key_names.count(swipes[i].site)) continue;
      if (!read_again) {
        key_names = ReadKeyNames(Handle(o));
        read_again = true;
        if (key_names.count(swipes[i].site)) continue;
      }
      unknown_site = swipes[i].site;
      break;
    }
    if (!unknown_site.empty())  // renamed between the feed's read and ours: sent at the next attempt
      return fail("site " + unknown_site + " was renamed while its swipes were read: the push key's site name is "
                  "read again at the next attempt");
    if (swipes.empty()) {
      // Only swipes the filters leave out: passed over, nothing sent.
      if (!(next == cursor)) push.Delivered(e.name, next, 0, row.last_success);
      return out;
    }
    if (requests == max_requests) {
      // Its rate is spent: the rest waits for the next minute.
      out.state = EndpointState::kWaiting;
      out.next_attempt = UnixOf(o.clock()) + (hr ? 60 : 0);
      if (hr) push.Defer(e.name, out.next_attempt);
      return out;
    }
    const std::string body = hr ? HrCheckinBody(e, swipes, sited, key_names) : JsonBody(e.name, swipes, sited, key_names);
    const std::string error = sender.Send(body, Signature(secret, UnixOf(o.clock()), body), swipes.size(), hr);
    if (!error.empty()) return fail(error);
    push.Delivered(e.name, next, static_cast<std::int64_t>(swipes.size()), UtcText(UnixOf(o.clock())));
    out.sent += static_cast<std::int64_t>(swipes.size());
    cursor = next;
  }
}

}  // namespace

DrainResult Drain(const PushOptions& o) {
  DrainResult result;
  auto push = Handle(o).Push();
  push->ForSite(o.site);
  const std::string now = UtcText(UnixOf(o.clock()));
  // An endpoint stored before endpoints had sites is the first naming site's, its position kept.
  if (!o.site.empty())
    for (const store::PushEndpointRow& r : push->Endpoints())
      if (r.site.empty() && std::any_of(o.endpoints.begin(), o.endpoints.end(), [&](const auto& e) { return e.name == r.name; }))
        push->Adopt(r.name);
  auto rows = RowsByName(*push);
  for (const site::SitePush& e : o.endpoints) {
    if (auto row = rows.find(e.name); row != rows.end()) {
      if (row->second.all_sites != e.all_sites) push->SetAllSites(e.name, e.all_sites);
      continue;
    }
    // A misconfigured endpoint is recorded all the same, so the swipes stored while it is mended
    // wait for it; only one whose start cannot be read waits until its table tells it.
    if (!e.start_known) continue;
    // A new endpoint starts after what is stored now, or at what was stored from its date on.
    const store::FeedCursor start = e.from ? push->BeforeStoredFrom(*e.from + "T00:00:00Z") : push->Head();
    push->Add(e.name, start, now);
    if (e.all_sites) push->SetAllSites(e.name, true);
  }
  for (const auto& [name, row] : rows) {
    if (o.keep_unlisted) break;  // a [[push]] table without a usable name may mean any of them
    const std::string& endpoint = name;  // a structured binding is not captured (clang 14)
    const bool named =
        std::any_of(o.endpoints.begin(), o.endpoints.end(), [&](const auto& e) { return e.name == endpoint; });
    if (named) continue;
    result.dropped.emplace_back(name, push->Backlog(row.cursor, store::PushFilter::Of({}, {}, row.all_sites, o.site)));
    push->Remove(name);
  }
  if (o.endpoints.empty()) return result;
  auto feed = Handle(o).Feed();
  const std::string holder = HolderName();
  for (const site::SitePush& e : o.endpoints) result.endpoints.push_back(DrainOne(o, e, *push, *feed, holder));
  return result;
}

void UseSiteEndpoints(PushOptions& options, const site::Site& site) {
  options.endpoints = site.pushes;
  options.site = site.name.value_or("");
  options.keep_unlisted = site.HasUnnamedPushProblem();
}

std::vector<EndpointStatus> Status(const PushOptions& o) {
  auto push = Handle(o).Push();
  push->ForSite(o.site);
  auto rows = RowsByName(*push);
  std::vector<EndpointStatus> all;
  for (const site::SitePush& e : o.endpoints) {
    EndpointStatus s;
    s.name = e.name;
    s.url = ShownUrl(e.url);
    s.format = e.format;
    s.problem = e.problem;
    if (auto row = rows.find(e.name); row != rows.end()) {
      const store::PushEndpointRow& r = row->second;
      s.in_store = true;
      s.backlog = push->Backlog(r.cursor, FilterOf(e, o.site));
      s.delivered = r.delivered;
      s.failures = r.failures;
      s.added_at = r.added_at;
      s.last_success = r.last_success;
      s.last_error = r.last_error;
      s.last_error_at = r.last_error_at;
      s.next_attempt = r.next_attempt;
    }
    all.push_back(std::move(s));
  }
  return all;
}

}  // namespace vanto::push
