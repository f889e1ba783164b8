// What the console and the `vanto user` commands do with accounts: add users, change passwords,
// disable, log in and out (throttled, audited), recognise a session. Words are the front ends':
// failures carry a Problem for them to put into their language.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/accounts_store.h"
#include "accounts/login_throttle.h"
#include "accounts/recent_checks.h"
#include "accounts/store_lease.h"
#include "host/db/civil_time.h"

namespace vanto::db {
class Database;
}

namespace vanto::accounts {

// Seconds since the epoch (UTC); tests give a clock of their own.
using Clock = std::function<std::int64_t()>;
std::int64_t SystemSeconds();
// "YYYY-MM-DDTHH:MM:SSZ" of `seconds`.
using store::UtcText;

struct SessionPolicy {
  std::int64_t idle = 30 * 60;          // a session not used this long ends
  std::int64_t absolute = 12 * 60 * 60;  // no session lives longer
  // A recognised session is believed this long before it is looked up again: a session ended, a
  // user disabled or a password changed by another process is refused within it (by this one, at
  // once). Zero: looked up on every request.
  std::chrono::milliseconds recheck{1000};
};

enum class Problem {
  NameInvalid,       // 1-64 characters of letters, digits, '.', '_', '-', '@'
  PasswordTooShort,  // fewer than kMinPassword characters
  PasswordTooLong,   // more than kMaxPassword bytes
  NameTaken,
  NoSuchUser,
  LastAdmin,         // disabling would leave no admin who can log in
};
inline constexpr std::size_t kMinPassword = 8;
inline constexpr std::size_t kMaxPassword = 1024;
inline constexpr std::size_t kMaxName = 64;

class AccountError : public std::runtime_error {
 public:
  AccountError(Problem problem, const std::string& message) : std::runtime_error(message), problem_(problem) {}
  Problem problem() const { return problem_; }

 private:
  Problem problem_;
};

// Who acts, and from where (a client address, or "command line").
struct Actor {
  std::string name;
  std::string origin;
};

// A recognised session and its user.
struct SignedIn {
  SessionRecord session;
  User user;
};

struct LoginOutcome {
  enum class Kind { Ok, Refused, Throttled } kind = Kind::Refused;
  std::int64_t retry_after = 0;  // Throttled: seconds to wait
  std::string token;             // Ok: the new session's token, for the cookie only
  SignedIn signed_in;            // Ok
};

class Accounts {
 public:
  // Over one store, used by one call at a time (a command).
  Accounts(std::unique_ptr<AccountsStore> store, SessionPolicy policy = {}, ThrottlePolicy throttle = {},
           Clock clock = SystemSeconds);
  // Over the process's database: each call borrows a repository and gives it back (a server).
  // `steady`: the clock the recheck bound is measured by.
  Accounts(std::shared_ptr<db::Database> database, SessionPolicy policy = {}, ThrottlePolicy throttle = {},
           Clock clock = SystemSeconds, SteadyClock steady = SteadyNow);

  static std::optional<Problem> NameProblem(const std::string& name);
  static std::optional<Problem> PasswordProblem(const std::string& password);

  std::vector<User> Users();
  std::optional<User> FindUser(const std::string& name);
  // Each throws AccountError for a refused change and StoreError for a database failure; each
  // change is audited in its own transaction.
  // `sites`: the sites the user may see (none: every site); the caller checks the database holds them.
  void AddUser(const Actor& actor, const std::string& name, Role role, const std::string& password,
               const std::vector<std::string>& sites = {});
  void SetSites(const Actor& actor, const std::string& name, const std::vector<std::string>& sites);
  void ChangePassword(const Actor& actor, const std::string& name, const std::string& password);
  void SetDisabled(const Actor& actor, const std::string& name, bool disabled);
  void SetLanguage(const std::string& name, const std::string& language);

  // Checks the password (as long for an unknown name as for a known one), audits the outcome,
  // and on success opens a new session.
  LoginOutcome Login(const std::string& name, const std::string& password, const std::string& origin);
  // The session of `token` when it exists, has not expired and its user is enabled.
  std::optional<SignedIn> Authenticate(const std::string& token);
  void Logout(const std::string& token, const std::string& origin);

  void Audit(const Actor& actor, const std::string& action, const std::string& details);
  // Marks the record conflict `id` acknowledged by the actor, with its audit row in the same
  // transaction; false (nothing written) when there is no such conflict or it was acknowledged.
  bool AcknowledgeConflict(const Actor& actor, std::int64_t id);
  std::vector<AuditEntry> AuditTrail(std::size_t limit, std::optional<std::int64_t> before_id = {});
  std::int64_t AuditCount();  // the whole trail's entries

  std::int64_t Now() const { return clock_(); }
  const SessionPolicy& policy() const { return policy_; }

 private:
  AuditEntry Entry(const Actor& actor, const std::string& action, const std::string& details) const;

  using StoreLease = accounts::StoreLease<AccountsStore>;
  StoreLease Store() { return stores_.Get(); }
  // Forgets every recognised session (a change to users or sessions).
  void ForgetSessions();

  StoreSource<AccountsStore> stores_;
  std::mutex changes_mutex_;  // one change to the users at a time (the last admin's check)
  SessionPolicy policy_;
  RecentChecks<SignedIn> recognised_;  // by the token's hash
  LoginThrottle throttle_;
  Clock clock_;
  std::once_flag dummy_once_;
  std::string dummy_hash_;  // verified against for unknown names
};

}  // namespace vanto::accounts
