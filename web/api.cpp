#include "web/api.h"

#include <charconv>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

#include "host/store/swipe_feed.h"
#include "host/store/swipe_store.h"

namespace vanto::web {
namespace {

using nlohmann::json;
using vanto::store::FeedCursor;
using vanto::store::StoredSwipe;

const char* kProblem = "application/problem+json";

// Thrown by a handler: answered as a problem.
struct Problem {
  int status;
  std::string title;
  std::string detail;
  std::string field;  // the parameter at fault, when there is one
};

ApiResponse ProblemResponse(const Problem& p) {
  json body = {{"type", "about:blank"}, {"title", p.title}, {"status", p.status}, {"detail", p.detail}};
  if (!p.field.empty()) body["field"] = p.field;
  return {p.status, kProblem, body.dump(), {}};
}

Problem BadParameter(const std::string& field, const std::string& detail) {
  return {400, "Bad Request", detail, field};
}

// Connections used by one request at a time, kept for the next one.
template <class T>
class Pool {
 public:
  explicit Pool(std::function<std::unique_ptr<T>()> make) : make_(std::move(make)) {}
  class Lease {
   public:
    Lease(Pool& pool, std::unique_ptr<T> item) : pool_(pool), item_(std::move(item)) {}
    ~Lease() {
      if (item_ && std::uncaught_exceptions() == 0) pool_.Put(std::move(item_));
    }
    T* operator->() { return item_.get(); }

   private:
    Pool& pool_;
    std::unique_ptr<T> item_;
  };
  Lease Get() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<T> item = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(item));
      }
    }
    return Lease(*this, make_());
  }

 private:
  void Put(std::unique_ptr<T> item) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < 8) idle_.push_back(std::move(item));
  }
  std::function<std::unique_ptr<T>()> make_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<T>> idle_;
};

std::optional<std::string> Param(const ApiRequest& r, const std::string& name) {
  auto it = r.params.find(name);
  if (it == r.params.end()) return std::nullopt;
  return it->second;
}

std::optional<std::int64_t> IntParam(const ApiRequest& r, const std::string& name, std::int64_t low, std::int64_t high) {
  std::optional<std::string> text = Param(r, name);
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (text->empty() || ec != std::errc() || end != text->data() + text->size() || value < low || value > high)
    throw BadParameter(name, "'" + name + "' must be a whole number from " + std::to_string(low) + " to " +
                                 std::to_string(high));
  return value;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (a 'T' may stand for the space).
std::optional<std::string> TimeParam(const ApiRequest& r, const std::string& name) {
  std::optional<std::string> text = Param(r, name);
  if (!text) return std::nullopt;
  std::string t = *text;
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  static const std::string shape = "dddd-dd-dd dd:dd:dd";
  bool ok = t.size() == 10 || t.size() == 16 || t.size() == 19;
  for (std::size_t i = 0; ok && i < t.size(); ++i)
    ok = shape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == shape[i];
  if (!ok) throw BadParameter(name, "'" + name + "' must be a date (YYYY-MM-DD), optionally with a time (HH:MM[:SS])");
  return t;
}

json SwipeJson(const StoredSwipe& s) {
  json j = {{"port", s.port},   {"terminal", s.terminal},     {"person", s.person},
            {"time", s.time},   {"occurrence", s.occurrence}, {"downloaded_at", s.downloaded_at}};
  if (s.identity) {
    j["identity"] = *s.identity;
    j["generation"] = *s.generation;
    j["index"] = *s.index;
    j["epoch"] = s.epoch;
  }
  return j;
}

// The keyset position of a swipe in a listing: its sort key.
std::string ListingCursor(const StoredSwipe& s) {
  std::string t = s.time;
  if (t.size() > 10) t[10] = 'T';
  return t + "_" + std::to_string(s.person) + "_" + std::to_string(s.port) + "_" + std::to_string(s.terminal) + "_" +
         std::to_string(s.occurrence);
}

struct ListingKey {
  std::string time;
  std::int64_t person = 0, port = 0, terminal = 0, occurrence = 0;
  auto Tie() const { return std::tie(time, person, port, terminal, occurrence); }
};

std::optional<ListingKey> ParseListingCursor(const std::string& text) {
  if (text.size() < 20 || text[10] != 'T' || text[19] != '_') return std::nullopt;
  ListingKey k;
  k.time = text.substr(0, 19);
  k.time[10] = ' ';
  std::int64_t* parts[] = {&k.person, &k.port, &k.terminal, &k.occurrence};
  std::size_t at = 20;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = i < 3 ? text.find('_', at) : text.size();
    if (end == std::string::npos || end == at) return std::nullopt;
    auto [p, ec] = std::from_chars(text.data() + at, text.data() + end, *parts[i]);
    if (ec != std::errc() || p != text.data() + end) return std::nullopt;
    at = end + 1;
  }
  for (std::size_t i = 0; i < 19; ++i)
    if (i != 4 && i != 7 && i != 10 && i != 13 && i != 16 && (k.time[i] < '0' || k.time[i] > '9')) return std::nullopt;
  return k;
}

ListingKey KeyOf(const StoredSwipe& s) { return {s.time, s.person, s.port, s.terminal, s.occurrence}; }

}  // namespace

const std::vector<ApiRoute>& ApiRoutes() {
  static const std::vector<ApiRoute> routes = {
      {"GET", "/api/v1/openapi.json", "", "This document.", {}, "", "OpenApi"},
      {"GET", "/api/v1/terminals", "terminals:read", "The site's ports and their terminals.", {}, "", "Terminals"},
      {"GET",
       "/api/v1/swipes",
       "swipes:read",
       "Stored swipes in time order, a page at a time (keyset paging).",
       {{"from", "string", "swipes at or after this date or time (YYYY-MM-DD[ HH:MM[:SS]])"},
        {"to", "string", "swipes at or before this date or time (a date covers its whole day)"},
        {"person", "integer", "only this person's swipes"},
        {"port", "integer", "only swipes read on this port"},
        {"terminal", "integer", "only swipes of this terminal number"},
        {"after", "string", "the 'next' of the previous page"},
        {"limit", "integer", "swipes per page (at most the maximum the answer names)"}},
       "",
       "SwipePage"},
      {"GET",
       "/api/v1/swipes/feed",
       "swipes:read",
       "Every swipe once, in the order they became visible; keep 'next' after each page.",
       {{"after", "string", "the 'next' of the previous page (none: from the first swipe)"},
        {"limit", "integer", "swipes per page (at most the maximum the answer names)"}},
       "",
       "FeedPage"},
      {"GET", "/api/v1/people", "people:read", "Every person's name and department.", {}, "", "People"},
      {"POST", "/api/v1/people", "people:write", "Adds or updates people by person number (all or none).", {},
       "PeopleInput", "PeopleResult"},
  };
  return routes;
}

struct ApiServer::Impl {
  Impl(ApiOptions o, accounts::Tokens& t)
      : options(std::move(o)),
        tokens(t),
        stores([this] { return vanto::store::OpenSwipeStore(options.database, {.create = false}); }),
        feeds([this] { return vanto::store::OpenSwipeFeed(options.database); }) {}

  ApiOptions options;
  accounts::Tokens& tokens;
  Pool<vanto::store::SwipeStore> stores;
  Pool<vanto::store::SwipeFeed> feeds;

  std::size_t Limit(const ApiRequest& r, bool& clamped) {
    std::optional<std::int64_t> asked = IntParam(r, "limit", 1, INT32_MAX);
    clamped = asked && static_cast<std::size_t>(*asked) > options.max_limit;
    if (!asked) return options.default_limit;
    return clamped ? options.max_limit : static_cast<std::size_t>(*asked);
  }

  json PageInfo(std::size_t limit, bool clamped) {
    json j = {{"limit", limit}, {"max_limit", options.max_limit}};
    if (clamped) j["limit_clamped"] = true;
    return j;
  }

  ApiResponse Terminals(const ApiRequest&, const accounts::ApiToken&) {
    json ports = json::array();
    for (const ApiPort& p : options.ports) ports.push_back({{"port", p.number}, {"device", p.device}, {"terminals", p.terminals}});
    return {200, "application/json", json{{"ports", ports}}.dump(), {}};
  }

  ApiResponse Feed(const ApiRequest& r, const accounts::ApiToken&) {
    std::string after_text = Param(r, "after").value_or("");
    std::optional<FeedCursor> after = vanto::store::ParseFeedCursor(after_text);
    if (!after) throw BadParameter("after", "'after' is not a cursor this feed handed out");
    bool clamped = false;
    std::size_t limit = Limit(r, clamped);
    auto feed = feeds.Get();
    vanto::store::FeedPage page = feed->Read(*after, limit);
    json swipes = json::array();
    for (const StoredSwipe& s : page.swipes) swipes.push_back(SwipeJson(s));
    json body = PageInfo(limit, clamped);
    body["swipes"] = std::move(swipes);
    body["next"] = vanto::store::FormatFeedCursor(page.next);
    return {200, "application/json", body.dump(), {}};
  }

  ApiResponse Swipes(const ApiRequest& r, const accounts::ApiToken&) {
    vanto::store::SwipeQuery q;
    q.from = TimeParam(r, "from");
    q.to = TimeParam(r, "to");
    if (auto person = IntParam(r, "person", INT32_MIN, INT32_MAX)) q.persons.push_back(static_cast<std::int32_t>(*person));
    if (auto port = IntParam(r, "port", 0, INT32_MAX)) q.port = static_cast<int>(*port);
    if (auto terminal = IntParam(r, "terminal", 0, INT32_MAX)) q.terminal = static_cast<int>(*terminal);
    std::optional<ListingKey> after;
    if (auto text = Param(r, "after")) {
      after = ParseListingCursor(*text);
      if (!after) throw BadParameter("after", "'after' is not a cursor this listing handed out");
      if (!q.from || *q.from < after->time) q.from = after->time;
    }
    bool clamped = false;
    std::size_t limit = Limit(r, clamped);
    json swipes = json::array();
    std::optional<StoredSwipe> last;
    bool more = false;
    auto store = stores.Get();
    store->Each(q, [&](const StoredSwipe& s) {
      if (after && KeyOf(s).Tie() <= after->Tie()) return true;
      if (swipes.size() == limit) {
        more = true;
        return false;
      }
      swipes.push_back(SwipeJson(s));
      last = s;
      return true;
    });
    json body = PageInfo(limit, clamped);
    body["swipes"] = std::move(swipes);
    body["next"] = more && last ? json(ListingCursor(*last)) : json(nullptr);
    return {200, "application/json", body.dump(), {}};
  }

  ApiResponse People(const ApiRequest&, const accounts::ApiToken&) {
    json people = json::array();
    auto store = stores.Get();
    for (const auto& p : store->People())
      people.push_back({{"person", p.person}, {"name", p.name}, {"department", p.department}});
    return {200, "application/json", json{{"people", people}}.dump(), {}};
  }

  ApiResponse PutPeople(const ApiRequest& r, const accounts::ApiToken& token) {
    if (r.content_type.rfind("application/json", 0) != 0)
      throw Problem{415, "Unsupported Media Type", "send the people as application/json", "body"};
    json input = json::parse(r.body, nullptr, false);
    if (input.is_discarded()) throw BadParameter("body", "the body is not JSON");
    if (input.is_object() && input.contains("people")) input = input["people"];
    if (!input.is_array() || input.empty())
      throw BadParameter("people", "'people' must be a non-empty list of {person, name, department}");
    std::vector<vanto::store::PersonName> people;
    for (std::size_t i = 0; i < input.size(); ++i) {
      const json& p = input[i];
      std::string at = "people[" + std::to_string(i) + "]";
      if (!p.is_object()) throw BadParameter(at, "'" + at + "' must be an object");
      if (!p.contains("person") || !p["person"].is_number_integer() || p["person"].get<std::int64_t>() < INT32_MIN ||
          p["person"].get<std::int64_t>() > INT32_MAX)
        throw BadParameter(at + ".person", "'" + at + ".person' must be a whole number");
      if (!p.contains("name") || !p["name"].is_string() || p["name"].get<std::string>().empty())
        throw BadParameter(at + ".name", "'" + at + ".name' must be a non-empty text");
      if (p.contains("department") && !p["department"].is_string())
        throw BadParameter(at + ".department", "'" + at + ".department' must be a text");
      people.push_back({static_cast<std::int32_t>(p["person"].get<std::int64_t>()), p["name"].get<std::string>(),
                        p.value("department", std::string())});
    }
    vanto::store::PeopleImport result;
    {
      auto store = stores.Get();
      result = store->PutPeople(people);
    }
    tokens.AuditChange(token, r.origin, "people.put",
                       std::to_string(result.added) + " added, " + std::to_string(result.updated) + " updated, " +
                           std::to_string(result.unchanged) + " unchanged");
    json body = {{"added", result.added}, {"updated", result.updated}, {"unchanged", result.unchanged}};
    return {200, "application/json", body.dump(), {}};
  }

  using Handler = ApiResponse (Impl::*)(const ApiRequest&, const accounts::ApiToken&);
  Handler HandlerOf(const ApiRoute& route) {
    if (route.path == "/api/v1/terminals") return &Impl::Terminals;
    if (route.path == "/api/v1/swipes") return &Impl::Swipes;
    if (route.path == "/api/v1/swipes/feed") return &Impl::Feed;
    if (route.path == "/api/v1/people") return route.method == "GET" ? &Impl::People : &Impl::PutPeople;
    return nullptr;
  }

  ApiResponse Dispatch(const ApiRequest& r) {
    const ApiRoute* route = nullptr;
    bool path_known = false;
    for (const ApiRoute& candidate : ApiRoutes()) {
      if (candidate.path != r.path) continue;
      path_known = true;
      if (candidate.method == r.method || (candidate.method == "GET" && r.method == "HEAD")) route = &candidate;
    }
    if (!route && path_known) {
      ApiResponse res = ProblemResponse({405, "Method Not Allowed", r.method + " is not served at " + r.path, ""});
      std::string allow;
      for (const ApiRoute& c : ApiRoutes())
        if (c.path == r.path) allow += (allow.empty() ? "" : ", ") + c.method;
      res.headers.push_back({"Allow", allow});
      return res;
    }
    if (!route) return ProblemResponse({404, "Not Found", "there is no " + r.path + " in this API", ""});
    if (route->scope.empty()) return {200, "application/json", OpenApiDocument(), {}};

    static const std::string kBearer = "Bearer ";
    std::optional<accounts::ApiToken> token;
    if (r.authorization.size() > kBearer.size() && r.authorization.compare(0, kBearer.size(), kBearer) == 0)
      token = tokens.Authenticate(r.authorization.substr(kBearer.size()));
    if (!token) {
      ApiResponse res = ProblemResponse(
          {401, "Unauthorized", r.authorization.empty() ? "send a token: Authorization: Bearer TOKEN"
                                                        : "the token is not known (revoked, or never made)",
           ""});
      res.headers.push_back({"WWW-Authenticate", "Bearer realm=\"vanto\""});
      return res;
    }
    if (std::int64_t wait = tokens.Admit(token->name); wait > 0) {
      ApiResponse res = ProblemResponse(
          {429, "Too Many Requests", "token " + token->name + " has made too many requests; try again later", ""});
      res.headers.push_back({"Retry-After", std::to_string(wait)});
      return res;
    }
    if (!token->Allows(route->scope))
      return ProblemResponse({403, "Forbidden", "token " + token->name + " lacks the scope " + route->scope, ""});
    ApiResponse res = (this->*HandlerOf(*route))(r, *token);
    if (route->method == "GET") tokens.CountRead(token->name);
    return res;
  }
};

ApiServer::ApiServer(ApiOptions options, accounts::Tokens& tokens)
    : impl_(std::make_unique<Impl>(std::move(options), tokens)) {}
ApiServer::~ApiServer() = default;

ApiResponse ApiServer::Handle(const ApiRequest& request) {
  try {
    return impl_->Dispatch(request);
  } catch (const Problem& p) {
    return ProblemResponse(p);
  } catch (const vanto::store::StoreError& e) {
    return ProblemResponse({503, "Service Unavailable", std::string("the database failed: ") + e.what(), ""});
  } catch (const std::exception& e) {
    return ProblemResponse({500, "Internal Server Error", e.what(), ""});
  } catch (...) {
    return ProblemResponse({500, "Internal Server Error", "an unknown failure", ""});
  }
}

}  // namespace vanto::web
