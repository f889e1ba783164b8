// token: tokens for programs that use the HTTP API: add (printed once, kept only as a hash),
// list, revoke. Each change is audited under the operating-system user's name.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <iomanip>

#include <ctime>

#include "accounts/api_tokens.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "host/db/database.h"
#include "host/db/sites.h"
#include "host/report/dates.h"
#include "host/site/site.h"
#include "host/text/messages.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct TokenOptions {
  std::vector<std::string> words;  // action [NAME]
  std::optional<std::string> scope, expires, sites;
  std::optional<std::string> db;
  double lock_timeout = 5.0;
};

std::string OsUserName() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  return "uid " + std::to_string(geteuid());
}

// --expires: a span from now ("90d", "12h", "30m") or a day ("YYYY-MM-DD": from 00:00 UTC on) ->
// seconds since 1970.
std::int64_t ExpiryOf(const std::string& text) {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  if (const std::optional<long long> span = site::ParseDuration(text); span && *span > 0 && *span <= 3650LL * 86400)
    return now + *span;
  try {
    return report::DaysFromDate(report::ParseDate(text, "--expires")) * 86400;
  } catch (const report::DateError&) {
    throw UsageError(TrFill("--expires '{0}' is neither a span such as \"90d\" or \"12h\" nor a day YYYY-MM-DD", {text}));
  }
}

// --sites "A,B": each a site the database holds, none twice.
std::vector<std::string> SitesOf(const std::string& text, db::Database& db) {
  std::vector<std::string> held;
  auto tables = db.Tables(false);
  for (const store::SiteRow& row : store::ListSites(*tables)) held.push_back(row.name);
  std::string names;
  for (const std::string& s : held) names += (names.empty() ? "" : ", ") + s;
  const std::vector<std::string> sites = store::SplitScopes(text);
  if (sites.empty()) throw UsageError(TrFill("--sites '{0}' names no site", {text}));
  for (std::size_t i = 0; i < sites.size(); ++i) {
    if (std::find(held.begin(), held.end(), sites[i]) == held.end())
      throw UsageError(held.empty() ? TrFill("--sites: database {0} holds no site yet", {db.location()})
                                    : TrFill("--sites: database {0} holds no site {1} (it holds: {2})",
                                             {db.location(), sites[i], names}));
    if (std::find(sites.begin(), sites.begin() + static_cast<std::ptrdiff_t>(i), sites[i]) != sites.begin() + static_cast<std::ptrdiff_t>(i))
      throw UsageError(TrFill("--sites names {0} twice", {sites[i]}));
  }
  return sites;
}

std::string Scopes() {
  std::string all;
  for (const std::string& s : accounts::KnownScopes()) all += (all.empty() ? "" : ",") + s;
  return all;
}

int RunToken(const TokenOptions& o, Io& io) {
  const std::string action = o.words.empty() ? "" : o.words[0];
  const bool needs_name = action == "add" || action == "revoke";
  if (action != "list" && !needs_name)
    throw UsageError(action.empty() ? std::string(Tr("'vanto token' needs its action: add, list or revoke"))
                                    : TrFill("unknown action '{0}' (add, list or revoke)", {action}));
  if (needs_name != (o.words.size() == 2))
    throw UsageError(needs_name ? TrFill("'vanto token {0}' needs the token's name", {action})
                                : std::string(Tr("'vanto token list' takes no name")));
  if (o.scope && action != "add") throw UsageError(Tr("--scope is for 'vanto token add'"));
  if (o.expires && action != "add") throw UsageError(Tr("--expires is for 'vanto token add'"));
  if (o.sites && action != "add") throw UsageError(Tr("--sites is for 'vanto token add'"));
  std::optional<std::int64_t> expires;
  if (o.expires) {
    expires = ExpiryOf(*o.expires);
    if (*expires <= static_cast<std::int64_t>(std::time(nullptr)))
      throw UsageError(TrFill("--expires '{0}' has passed already", {*o.expires}));
  }
  std::vector<std::string> scopes;
  if (action == "add") {
    if (!o.scope) throw UsageError(TrFill("'vanto token add' needs --scope with some of: {0}", {Scopes()}));
    try {
      scopes = accounts::ParseScopes(*o.scope);
    } catch (const accounts::TokenError&) {
      throw UsageError(TrFill("--scope '{0}' is not a list of: {1}", {*o.scope, Scopes()}));
    }
    if (!accounts::TokenNameAllowed(o.words[1]))
      throw UsageError(
          TrFill("token name '{0}' is not allowed: 1 to 64 letters, digits, '.', '_', '-' or '@'", {o.words[1]}));
  }
  auto database = CommandDatabase(DatabaseOptions{o.db, o.lock_timeout},
                                  action == "add" ? DatabaseUse::kWrite : DatabaseUse::kExisting);
  const std::vector<std::string> sites = o.sites ? SitesOf(*o.sites, *database) : std::vector<std::string>{};
  accounts::Tokens tokens(database->Tokens());
  const accounts::Actor actor{OsUserName(), "command line"};
  if (action == "list") {
    std::vector<std::vector<std::string>> rows;
    const std::int64_t now = tokens.Now();
    for (const accounts::ApiToken& t : tokens.List()) {
      std::string list;
      for (const std::string& s : t.scopes) list += (list.empty() ? "" : ",") + s;
      const std::string expiry = t.expires_at.empty()   ? Tr("never")
                                 : t.ExpiredAt(now)    ? TrFill("{0} (expired)", {t.expires_at})
                                                       : t.expires_at;
      rows.push_back({t.name, list, t.sites.empty() ? Tr("all") : store::JoinScopes(t.sites), t.created_at,
                      t.created_by, expiry});
    }
    WriteTable(io.out, {Tr("NAME"), Tr("SCOPES"), Tr("SITES"), Tr("CREATED"), Tr("BY"), Tr("EXPIRES")}, rows,
               {false, false, false, false, false, false});
    return kExitOk;
  }
  const std::string& name = o.words[1];
  if (action == "revoke") {
    try {
      tokens.Revoke(actor, name);
    } catch (const accounts::TokenError&) {
      throw UsageError(TrFill("there is no token {0}", {name}));
    }
    io.out << TrFill("token {0} revoked: programs using it are refused from now on", {name}) << "\n";
    return kExitOk;
  }
  std::string secret;
  try {
    secret = tokens.Add(actor, name, scopes, expires, sites);
  } catch (const accounts::TokenError&) {
    throw UsageError(TrFill("token {0} exists already", {name}));
  }
  // The token goes to standard output alone on its line, for a program to capture; the note to
  // standard error.
  io.out << secret << "\n";
  io.err << TrFill("token {0} added; it is shown only now: keep it where the program reads it", {name}) << "\n";
  return kExitOk;
}

}  // namespace

Command TokenCommand() {
  return {"token", TrLater("manage tokens for programs that use the HTTP API (add, list, revoke)"),
          "vanto token add NAME --scope SCOPE,... [--expires SPAN|DAY] [--sites SITE,...] | list | revoke NAME",
          TrLater("A program sends its token as 'Authorization: Bearer TOKEN' to /api/v1 of 'vanto serve'. The token\n"
          "is printed once, when it is added; the database keeps only its hash. Scopes: swipes:read,\n"
          "people:read, people:write, terminals:read, syncs:read, syncs:write, reports:read,\n"
          "enrolments:read, enrolments:write, metrics:read (GET /metrics, for a monitor), attendance:read\n"
          "(the days' statuses, leave and corrections), attendance:write (corrections), leave:write. Each\n"
          "token may make api_requests_per_minute requests a minute (a site file setting, 600 unless set). A\n"
          "token given --expires (a span from now such as \"90d\" or \"12h\", or a day YYYY-MM-DD, from 00:00\n"
          "UTC) is refused from then on; 'token list' shows when each expires. A token given --sites reaches\n"
          "only those sites (the feed, swipes, reports and attendance); others are refused. Changes are\n"
          "written to the audit trail."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<TokenOptions>();
            p.Words("add|list|revoke [NAME]", &o->words, 2);
            p.Text("scope", "SCOPE,...", TrLater("what the new token may do"), &o->scope);
            p.Text("expires", "SPAN|DAY", TrLater("when the new token expires: \"90d\", \"12h\" or YYYY-MM-DD (UTC)"),
                   &o->expires);
            p.Text("sites", "SITE,...", TrLater("the sites the new token may reach (default: every site)"),
                   &o->sites);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunToken(*o, io); };
          }};
}

}  // namespace vanto::cli
