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
  // `steady`: the clock that bound is measured by. Reads are counted in memory and written at
  // most every `write_reads_every` (see CountRead).
  Tokens(std::shared_ptr<db::Database> database, RateLimit limit = {}, Clock clock = SystemSeconds,
         std::chrono::milliseconds recheck = std::chrono::milliseconds(1000), SteadyClock steady = SteadyNow,
         std::chrono::milliseconds write_reads_every = std::chrono::milliseconds(5000));
  // Writes the reads not written yet (a failure to write them is not reported: call WriteReads).
  ~Tokens();
  Tokens(const Tokens&) = delete;
  Tokens& operator=(const Tokens&) = delete;

  // Makes a token; answers the token itself (shown once). Throws TokenError for a name that is
  // not allowed or taken, scopes that are not known, or an expiry (seconds since 1970) that is
  // not in the future. A token that has expired is refused like one that does not exist.
  // `sites`: the sites it may read (empty: every site); the caller checks them against the
  // sites the database holds.
  std::string Add(const Actor& actor, const std::string& name, const std::vector<std::string>& scopes,
                  std::optional<std::int64_t> expires = std::nullopt, const std::vector<std::string>& sites = {});
  std::vector<ApiToken> List();
  // Throws TokenError when there is no such token.
  void Revoke(const Actor& actor, const std::string& name);

  // The token `secret` names, when it is one of ours.
  std::optional<ApiToken> Authenticate(const std::string& secret);
  // 0 when the token may make a request now (and counts it); else the seconds to wait.
  std::int64_t Admit(const std::string& name);
  // Counts one read of the token in the current hour. Over one store it is written at once; over
  // the process's database it is kept in memory with the others and written by the first read
  // after `write_reads_every` has passed since the last write (a failure then keeps the counts for
  // the next write), by WriteReads and when the Tokens are destroyed: a read is not a write.
  void CountRead(const std::string& name);
  // The token's reads in the current hour: those written and those not written yet.
  std::int64_t ReadsThisHour(const std::string& name);
  // Writes every read counted and not written yet. Throws store::StoreError when the database
  // fails; what was not written then is kept for the next write.
  void WriteReads();
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

  // Reads counted and not written, by token and hour ("YYYY-MM-DDTHH").
  using ReadKey = std::pair<std::string, std::string>;
  const bool buffer_reads_;
  const std::chrono::milliseconds write_reads_every_;
  SteadyClock steady_;
  std::mutex reads_mutex_;
  std::map<ReadKey, std::int64_t> unwritten_;
  std::chrono::steady_clock::time_point reads_written_at_;
  bool writing_reads_ = false;  // a read's write is under way (others do not wait for it)
  std::mutex write_mutex_;      // one write at a time
};

}  // namespace vanto::accounts
