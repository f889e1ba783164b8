#include "accounts/accounts.h"

#include <chrono>
#include <ctime>

#include "accounts/passwords.h"
#include "host/db/database.h"

namespace vanto::accounts {

std::int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

namespace {
constexpr std::size_t kMaxRecognised = 4096;  // sessions believed without a look-up, at most
}  // namespace

Accounts::Accounts(std::unique_ptr<AccountsStore> store, SessionPolicy policy, ThrottlePolicy throttle, Clock clock)
    : stores_(std::move(store)),
      policy_(policy),
      recognised_(policy.recheck, kMaxRecognised),
      throttle_(throttle),
      clock_(std::move(clock)) {}

Accounts::Accounts(std::shared_ptr<db::Database> database, SessionPolicy policy, ThrottlePolicy throttle, Clock clock,
                   SteadyClock steady)
    : stores_(std::function<std::unique_ptr<AccountsStore>()>([database] { return database->Accounts(); })),
      policy_(policy),
      recognised_(policy.recheck, kMaxRecognised, std::move(steady)),
      throttle_(throttle),
      clock_(std::move(clock)) {}

void Accounts::ForgetSessions() { recognised_.Clear(); }

std::optional<Problem> Accounts::NameProblem(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return Problem::NameInvalid;
  for (unsigned char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
          c == '-' || c == '@'))
      return Problem::NameInvalid;
  return std::nullopt;
}

std::optional<Problem> Accounts::PasswordProblem(const std::string& password) {
  std::size_t characters = 0;  // UTF-8 lead bytes
  for (unsigned char c : password)
    if ((c & 0xC0) != 0x80) ++characters;
  if (characters < kMinPassword) return Problem::PasswordTooShort;
  if (password.size() > kMaxPassword) return Problem::PasswordTooLong;
  return std::nullopt;
}

AuditEntry Accounts::Entry(const Actor& actor, const std::string& action, const std::string& details) const {
  return AuditEntry{0, UtcText(clock_()), actor.name, actor.origin, action, details};
}

std::vector<User> Accounts::Users() {
  StoreLease store = Store();
  return store->Users();
}

std::optional<User> Accounts::FindUser(const std::string& name) {
  StoreLease store = Store();
  return store->FindUser(name, nullptr);
}

void Accounts::AddUser(const Actor& actor, const std::string& name, Role role, const std::string& password,
                       const std::vector<std::string>& sites) {
  if (NameProblem(name)) throw AccountError(Problem::NameInvalid, "user name '" + name + "' is not allowed");
  if (auto p = PasswordProblem(password)) throw AccountError(*p, "the password is not allowed");
  std::string hash = HashPassword(password);
  User user{name, role, false, "", UtcText(clock_()), sites};
  StoreLease store = Store();
  const std::string limited = sites.empty() ? "" : ", sites " + store::JoinSites(sites);
  if (!store->AddUser(user, hash, Entry(actor, "user.add", name + " (" + RoleName(role) + limited + ")")))
    throw AccountError(Problem::NameTaken, "user " + name + " exists already");
}

void Accounts::SetSites(const Actor& actor, const std::string& name, const std::vector<std::string>& sites) {
  StoreLease store = Store();
  const bool changed = store->SetSites(
      name, sites, Entry(actor, "user.sites", name + ": " + (sites.empty() ? "every site" : store::JoinSites(sites))));
  ForgetSessions();
  if (!changed) throw AccountError(Problem::NoSuchUser, "there is no user " + name);
}

void Accounts::ChangePassword(const Actor& actor, const std::string& name, const std::string& password) {
  if (auto p = PasswordProblem(password)) throw AccountError(*p, "the password is not allowed");
  std::string hash = HashPassword(password);
  StoreLease store = Store();
  const bool changed = store->SetPassword(name, hash, Entry(actor, "user.password", name));
  ForgetSessions();
  if (!changed) throw AccountError(Problem::NoSuchUser, "there is no user " + name);
}

void Accounts::SetDisabled(const Actor& actor, const std::string& name, bool disabled) {
  std::lock_guard changing(changes_mutex_);
  StoreLease store = Store();
  std::optional<User> user = store->FindUser(name, nullptr);
  if (!user) throw AccountError(Problem::NoSuchUser, "there is no user " + name);
  if (disabled && user->role == Role::Admin && !user->disabled) {
    int admins = 0;
    for (const User& u : store->Users()) admins += u.role == Role::Admin && !u.disabled;
    if (admins <= 1) throw AccountError(Problem::LastAdmin, "user " + name + " is the last enabled admin");
  }
  const bool changed = store->SetDisabled(name, disabled, Entry(actor, disabled ? "user.disable" : "user.enable", name));
  ForgetSessions();
  if (!changed) throw AccountError(Problem::NoSuchUser, "there is no user " + name);
}

void Accounts::SetLanguage(const std::string& name, const std::string& language) {
  Store()->SetLanguage(name, language);
  ForgetSessions();
}

LoginOutcome Accounts::Login(const std::string& name, const std::string& password, const std::string& origin) {
  LoginOutcome outcome;
  std::int64_t now = clock_();
  // Names longer than any allowed one are counted under one key, so they cannot grow the table.
  std::string key = name.size() > kMaxName ? std::string("(too long)") : name;
  Actor who{key, origin};
  if (std::int64_t wait = throttle_.Wait(key, origin, now)) {
    outcome.kind = LoginOutcome::Kind::Throttled;
    outcome.retry_after = wait;
    StoreLease store = Store();
    store->Audit(Entry(who, "login.throttled", "refused without checking; locked for " + std::to_string(wait) + " s"));
    return outcome;
  }
  std::optional<User> user;
  std::string hash;
  {
    StoreLease store = Store();
    if (!NameProblem(name)) user = store->FindUser(name, &hash);
  }
  if (!user) {
    // As long as a real check, so the answer's time does not tell which names exist.
    std::call_once(dummy_once_, [this] { dummy_hash_ = HashPassword(NewToken()); });
    VerifyPassword(password, dummy_hash_);
  }
  bool ok = user && password.size() <= kMaxPassword && VerifyPassword(password, hash) && !user->disabled;
  if (!ok) {
    std::int64_t lock = throttle_.Failed(key, origin, clock_());
    std::string details = !user ? "no such user" : user->disabled ? "user disabled" : "wrong password";
    if (lock) details += "; locked for " + std::to_string(lock) + " s";
    StoreLease store = Store();
    store->Audit(Entry(who, "login.failed", details));
    return outcome;
  }
  throttle_.Succeeded(key);
  outcome.kind = LoginOutcome::Kind::Ok;
  outcome.token = NewToken();
  now = clock_();
  SessionRecord session{TokenHash(outcome.token), user->name, NewToken(), now, now, origin};
  {
    StoreLease store = Store();
    store->RemoveExpiredSessions(now - policy_.absolute, now - policy_.idle);
    store->AddSession(session, Entry(who, "login", ""));
  }
  outcome.signed_in = SignedIn{session, *user};
  return outcome;
}

std::optional<SignedIn> Accounts::Authenticate(const std::string& token) {
  if (token.size() != 64) return std::nullopt;
  std::string hash = TokenHash(token);
  std::int64_t now = clock_();
  const auto expired = [&](const SessionRecord& s) {
    return now - s.created >= policy_.absolute || now - s.last_seen >= policy_.idle;
  };
  if (std::optional<SignedIn> known = recognised_.Find(hash)) {
    if (!expired(known->session)) return known;
    recognised_.Forget(hash);
  }
  const auto ticket = recognised_.Begin();
  std::optional<SignedIn> who;
  {
    StoreLease store = Store();
    std::optional<SessionRecord> session = store->FindSession(hash);
    if (!session) return std::nullopt;
    if (expired(*session)) {
      store->RemoveSession(hash, nullptr);
      return std::nullopt;
    }
    std::optional<User> user = store->FindUser(session->user, nullptr);
    if (!user || user->disabled) return std::nullopt;
    // Written at most once a minute: the idle expiry needs no finer grain.
    if (now - session->last_seen >= 60) {
      store->TouchSession(hash, now);
      session->last_seen = now;
    }
    who = SignedIn{*session, *user};
  }
  recognised_.Put(hash, *who, ticket);
  return who;
}

void Accounts::Logout(const std::string& token, const std::string& origin) {
  if (token.size() != 64) return;
  std::string hash = TokenHash(token);
  recognised_.Forget(hash);
  StoreLease store = Store();
  std::optional<SessionRecord> session = store->FindSession(hash);
  if (!session) return;
  AuditEntry entry = Entry(Actor{session->user, origin}, "logout", "");
  store->RemoveSession(hash, &entry);
}

void Accounts::Audit(const Actor& actor, const std::string& action, const std::string& details) {
  StoreLease store = Store();
  store->Audit(Entry(actor, action, details));
}

bool Accounts::AcknowledgeConflict(const Actor& actor, std::int64_t id) {
  AuditEntry entry = Entry(actor, "conflict.acknowledge", "conflict " + std::to_string(id));
  StoreLease store = Store();
  return store->AcknowledgeConflict(id, actor.name, entry);
}

std::vector<AuditEntry> Accounts::AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id) {
  StoreLease store = Store();
  return store->AuditTrail(limit, before_id);
}

std::int64_t Accounts::AuditCount() {
  StoreLease store = Store();
  return store->AuditCount();
}

}  // namespace vanto::accounts
