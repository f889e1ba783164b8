#include "accounts/api_tokens.h"

#include <algorithm>
#include <cmath>

#include "accounts/passwords.h"
#include "host/db/database.h"

namespace vanto::accounts {
namespace {

using store::JoinScopes;

constexpr const char* kTokenPrefix = "vnt_";
constexpr std::size_t kMaxRecognised = 1024;  // tokens believed without a look-up, at most

}  // namespace

const std::vector<std::string>& KnownScopes() {
  static const std::vector<std::string> scopes = {"swipes:read",   "people:read",  "people:write",    "terminals:read",
                                                   "syncs:read",    "syncs:write",  "reports:read",    "enrolments:read",
                                                   "enrolments:write", "metrics:read", "attendance:read",
                                                   "attendance:write", "leave:write"};
  return scopes;
}

std::vector<std::string> ParseScopes(const std::string& text) {
  std::vector<std::string> scopes;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = text.find(',', start);
    std::string scope = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto& known = KnownScopes();
    if (std::find(known.begin(), known.end(), scope) == known.end())
      throw TokenError("unknown scope '" + scope + "' (known: " + JoinScopes(known) + ")");
    if (std::find(scopes.begin(), scopes.end(), scope) != scopes.end())
      throw TokenError("scope '" + scope + "' is named twice");
    scopes.push_back(scope);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return scopes;
}

bool TokenNameAllowed(const std::string& name) { return !Accounts::NameProblem(name); }

Tokens::Tokens(std::unique_ptr<TokenStore> store, RateLimit limit, Clock clock)
    : stores_(std::move(store)),
      recognised_(std::chrono::milliseconds(0), 0),
      limit_(limit),
      clock_(std::move(clock)),
      buffer_reads_(false),
      write_reads_every_(0),
      steady_(SteadyNow) {
  if (limit_.per_minute < 1) limit_.per_minute = 1;
}

Tokens::Tokens(std::shared_ptr<db::Database> database, RateLimit limit, Clock clock, std::chrono::milliseconds recheck,
               SteadyClock steady, std::chrono::milliseconds write_reads_every)
    : stores_(std::function<std::unique_ptr<TokenStore>()>([database] { return database->Tokens(); })),
      recognised_(recheck, kMaxRecognised, steady),
      limit_(limit),
      clock_(std::move(clock)),
      buffer_reads_(true),
      write_reads_every_(write_reads_every),
      steady_(std::move(steady)),
      reads_written_at_(steady_()) {
  if (limit_.per_minute < 1) limit_.per_minute = 1;
}

Tokens::~Tokens() {
  try {
    WriteReads();
  } catch (const std::exception&) {  // a destructor cannot report it; a server calls WriteReads first
  }
}

std::string Tokens::Add(const Actor& actor, const std::string& name, const std::vector<std::string>& scopes,
                        std::optional<std::int64_t> expires, const std::vector<std::string>& sites) {
  if (!TokenNameAllowed(name))
    throw TokenError("token name '" + name + "' is not allowed: 1 to 64 letters, digits, '.', '_', '-' or '@'");
  if (scopes.empty()) throw TokenError("a token needs at least one scope (known: " + JoinScopes(KnownScopes()) + ")");
  const std::int64_t now = clock_();
  if (expires && *expires <= now) throw TokenError("a token's expiry must lie in the future");
  std::string secret = kTokenPrefix + NewToken();
  std::string at = UtcText(now);
  ApiToken token{name, scopes, at, actor.name, expires ? UtcText(*expires) : std::string(), sites};
  AuditEntry audit{0, at, actor.name, actor.origin, "token.add",
                   name + " " + JoinScopes(scopes) + (expires ? " expires " + token.expires_at : std::string()) +
                       (sites.empty() ? std::string() : " sites " + JoinScopes(sites))};
  StoreLease store = Store();
  if (!store->Add(token, TokenHash(secret), audit)) throw TokenError("token " + name + " exists already");
  return secret;
}

std::vector<ApiToken> Tokens::List() {
  StoreLease store = Store();
  return store->List();
}

void Tokens::Revoke(const Actor& actor, const std::string& name) {
  AuditEntry audit{0, UtcText(clock_()), actor.name, actor.origin, "token.revoke", name};
  const bool revoked = Store()->Revoke(name, audit);
  recognised_.Clear();
  if (!revoked) throw TokenError("there is no token " + name);
}

std::optional<ApiToken> Tokens::Authenticate(const std::string& secret) {
  // Only texts of our form are looked up; the hash makes the look-up's time independent of the
  // secret's content.
  if (secret.size() != 4 + 64 || secret.compare(0, 4, kTokenPrefix) != 0) return std::nullopt;
  const std::string hash = TokenHash(secret);
  std::optional<ApiToken> token = recognised_.Find(hash);
  if (!token) {
    const auto ticket = recognised_.Begin();
    token = Store()->FindByHash(hash);
    if (token) recognised_.Put(hash, *token, ticket);
  }
  if (token && token->ExpiredAt(clock_())) return std::nullopt;  // refused as a token that is no more
  return token;
}

std::int64_t Tokens::Admit(const std::string& name) {
  std::int64_t now = clock_();
  const double per_second = static_cast<double>(limit_.per_minute) / 60.0;
  std::lock_guard lock(buckets_mutex_);
  auto [it, fresh] = buckets_.try_emplace(name);
  Bucket& b = it->second;
  if (fresh) b = {static_cast<double>(limit_.per_minute), now};
  if (now > b.at) {
    b.tokens = std::min(static_cast<double>(limit_.per_minute), b.tokens + static_cast<double>(now - b.at) * per_second);
    b.at = now;
  }
  if (b.tokens >= 1.0) {
    b.tokens -= 1.0;
    return 0;
  }
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil((1.0 - b.tokens) / per_second)));
}

std::string Tokens::Hour() const { return UtcText(clock_()).substr(0, 13); }

void Tokens::CountRead(const std::string& name) {
  std::string hour = Hour();
  if (!buffer_reads_) {
    StoreLease store = Store();
    store->CountReads(name, hour, 1);
    return;
  }
  {
    std::lock_guard lock(reads_mutex_);
    ++unwritten_[{name, std::move(hour)}];
    const auto now = steady_();
    if (writing_reads_ || now - reads_written_at_ < write_reads_every_) return;
    writing_reads_ = true;
    reads_written_at_ = now;
  }
  try {
    WriteReads();
  } catch (const std::exception&) {  // the read was served; its count stays for the next write
  }
  std::lock_guard lock(reads_mutex_);
  writing_reads_ = false;
}

std::int64_t Tokens::ReadsThisHour(const std::string& name) {
  std::string hour = Hour();
  std::int64_t unwritten = 0;
  std::unique_lock<std::mutex> no_write;  // none moves counts from memory to the store meanwhile
  if (buffer_reads_) {
    no_write = std::unique_lock(write_mutex_);
    std::lock_guard lock(reads_mutex_);
    if (auto it = unwritten_.find({name, hour}); it != unwritten_.end()) unwritten = it->second;
  }
  StoreLease store = Store();
  return store->Reads(name, hour) + unwritten;
}

void Tokens::WriteReads() {
  std::lock_guard one_at_a_time(write_mutex_);
  std::map<ReadKey, std::int64_t> writing;
  {
    std::lock_guard lock(reads_mutex_);
    writing.swap(unwritten_);
  }
  auto it = writing.begin();
  try {
    if (it != writing.end()) {
      StoreLease store = Store();
      for (; it != writing.end(); ++it) store->CountReads(it->first.first, it->first.second, it->second);
    }
  } catch (...) {
    // What was not written goes back, beside what was counted meanwhile.
    std::lock_guard lock(reads_mutex_);
    for (; it != writing.end(); ++it) unwritten_[it->first] += it->second;
    throw;
  }
}

void Tokens::AuditChange(const ApiToken& token, const std::string& origin, const std::string& action,
                         const std::string& details) {
  AuditEntry entry{0, UtcText(clock_()), "token:" + token.name, origin, action, details};
  StoreLease store = Store();
  store->Audit(entry);
}

}  // namespace vanto::accounts
