// Tokens for programs that use the HTTP API: each has a name and scopes (an area and an access:
// "swipes:read", "people:write", ...); the token itself is shown once, when it is made, and kept
// only as its SHA-256 hash. Making and revoking a token are audited; reads are counted per token
// and hour (one counter row each); requests are limited per token and minute.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "accounts/accounts_store.h"
#include "accounts/recent_checks.h"
#include "host/db/accounts_store.h"

namespace vanto::accounts {

// Every scope a token may carry, in the order `vanto token` lists them.
const std::vector<std::string>& KnownScopes();

using store::ApiToken;
using store::TokenStore;

class TokenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "a,b,c" as scopes (each known, none twice); throws TokenError naming the first that is not.
std::vector<std::string> ParseScopes(const std::string& text);

// A token's name: the rules of a user name (Accounts::NameProblem).
bool TokenNameAllowed(const std::string& name);

// Requests per token and minute: a window that slides by whole seconds' worth of refill.
struct RateLimit {
  std::int64_t per_minute = 600;
};

class Tokens {
 public:
  // Over one store, used by one call at a time (a command).
  Tokens(std::unique_ptr<TokenStore> store, RateLimit limit = {}, Clock clock = SystemSeconds);
  // Over the process's database: each call borrows a repository and gives it back (a server). A
  // recognised token is believed for `recheck` before it is looked up again: one revoked by
  // another process is refused within it (by this one, at once).
  // `steady`: the clock that bound is measured by.
  Tokens(std::shared_ptr<db::Database> database, RateLimit limit = {}, Clock clock = SystemSeconds,
         std::chrono::milliseconds recheck = std::chrono::milliseconds(1000), SteadyClock steady = SteadyNow);

  // Makes a token; answers the token itself (shown once). Throws TokenError for a name that is
  // not allowed or taken, scopes that are not known, or an expiry (seconds since 1970) that is
  // not in the future. A token that has expired is refused like one that does not exist.
  std::string Add(const Actor& actor, const std::string& name, const std::vector<std::string>& scopes,
                  std::optional<std::int64_t> expires = std::nullopt);
  std::vector<ApiToken> List();
  // Throws TokenError when there is no such token.
  void Revoke(const Actor& actor, const std::string& name);

  // The token `secret` names, when it is one of ours.
  std::optional<ApiToken> Authenticate(const std::string& secret);
  // 0 when the token may make a request now (and counts it); else the seconds to wait.
  std::int64_t Admit(const std::string& name);
  // Counts one read of the token in the current hour.
  void CountRead(const std::string& name);
  std::int64_t ReadsThisHour(const std::string& name);
  // Audits a change made with the token.
  void AuditChange(const ApiToken& token, const std::string& origin, const std::string& action,
                   const std::string& details);

  std::int64_t Now() const { return clock_(); }

 private:
  std::string Hour() const;

  using StoreLease = accounts::StoreLease<TokenStore>;
  StoreLease Store() { return stores_.Get(); }

  StoreSource<TokenStore> stores_;
  RecentChecks<ApiToken> recognised_;  // by the token's hash
  RateLimit limit_;
  Clock clock_;
  struct Bucket {
    double tokens = 0;
    std::int64_t at = 0;
  };
  std::mutex buckets_mutex_;
  std::map<std::string, Bucket> buckets_;
};

}  // namespace vanto::accounts
