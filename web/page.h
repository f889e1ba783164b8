// What a page of the console gets from the server: its route (method, path, how it is reached
// without a session, the action the role matrix checks), the request's context (client, language,
// the signed-in user), and the server's presentation (the page frame, refusals, the log). The
// server checks the session, the role and the CSRF token before a handler runs. Internal to web/.
#pragma once

#include <httplib.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "host/db/database.h"
#include "web/role_matrix.h"
#include "web/times.h"
#include "web/words.h"

namespace vanto::web {

// How a route is reached without a session: a page sends the browser to the login page; a form
// or data request is answered 401.
enum class Access { Public, Page, Form };

struct Route;

struct Context {
  const httplib::Request& req;
  httplib::Response& res;
  std::string client;   // the client's address (through trusted proxies)
  bool secure = false;  // HTTPS, directly or at a trusted proxy
  Language language = Language::kEnglish;
  std::optional<accounts::SignedIn> who;
  const Route* route = nullptr;
  // Where the database holds sites, for a route that follows the site: the site the request
  // shows (nullopt: every row, a database that holds no site), whether it is the serving host's
  // own, the host that last synced it, and the sites the user may choose among (empty: no chooser).
  std::optional<std::string> site;
  bool own_site = true;
  std::string site_host;
  std::vector<std::string> site_choices;

  accounts::Actor Actor() const { return {who ? who->user.name : std::string(), client}; }
};

using Handler = std::function<void(Context&)>;

struct Route {
  const char* method;  // "GET" or "POST"
  const char* path;
  Access access;
  Action action;       // checked against the role matrix (not for Public routes)
  Handler handler;
};

class PageHost {
 public:
  virtual ~PageHost() = default;
  // The whole page: the frame around `body` (already rendered), with a notice or an error.
  virtual void Answer(Context& c, int status, const std::string& title, const std::string& body,
                      const std::string& notice = "", const std::string& error = "") const = 0;
  // A page that only says `word` (one of the words), with a link.
  virtual void Refuse(Context& c, int status, const char* word, const std::string& link = "/dashboard") const = 0;
  virtual accounts::Accounts& accounts() const = 0;
  // The process's one database, which a page borrows repositories from for its request; throws
  // store::StoreError naming the location when there is none or it cannot be opened.
  virtual db::Database& database() const = 0;
  // The site's time zone, as the pages show times.
  virtual const ShownTimes& times() const = 0;
  virtual void Log(std::string line) const = 0;
};

// A form field (url-encoded or multipart).
std::string Field(const httplib::Request& req, const std::string& name);

}  // namespace vanto::web
