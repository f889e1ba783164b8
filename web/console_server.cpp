#include "web/console_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <optional>
#include <set>
#include <thread>

#include "accounts/passwords.h"
#include "present/recorded_words.h"
#include "web/api.h"
#include "web/dashboard_page.h"
#include "web/site_names_cache.h"
#include "web/enrolments_page.h"
#include "web/guarded_server.h"
#include "web/metrics.h"
#include "web/page.h"
#include "web/people_page.h"
#include "web/refusals.h"
#include "web/report_page.h"
#include "web/review_page.h"
#include "web/swipes_page.h"
#include "web/terminals_page.h"
#include "web/role_matrix.h"
#include "web/sites_page.h"
#include "web/attendance_setup_page.h"
#include "host/site/site.h"
#include "host/site_view.h"
#include "web/attendance_pages.h"
#include "host/db/sites.h"
#include "web/templates.h"
#include "web/words.h"

namespace vanto::web {
namespace {

using accounts::Role;
using kainjow::mustache::data;
using kainjow::mustache::list;

constexpr const char* kSessionCookie = "vanto_session";
constexpr const char* kLoginCookie = "vanto_login";  // the login form's CSRF token, before a session
constexpr const char* kSiteCookie = "vanto_site";    // the site last chosen (a preference: checked on every use)
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr std::size_t kAuditPage = 100;

std::string Trim(std::string_view text) {
  std::size_t a = 0, b = text.size();
  while (a < b && std::isspace(static_cast<unsigned char>(text[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(text[b - 1]))) --b;
  return std::string(text.substr(a, b - a));
}

std::string Cookie(const httplib::Request& req, const std::string& name) {
  // Every Cookie header, every pair: the first of that name counts.
  std::size_t count = req.get_header_value_count("Cookie");
  for (std::size_t i = 0; i < count; ++i) {
    std::string header = req.get_header_value("Cookie", i);
    std::size_t start = 0;
    while (start <= header.size()) {
      std::size_t end = header.find(';', start);
      if (end == std::string::npos) end = header.size();
      std::string pair = Trim(std::string_view(header).substr(start, end - start));
      std::size_t eq = pair.find('=');
      if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
      start = end + 1;
    }
  }
  return {};
}

std::string SetCookie(const std::string& name, const std::string& value, const std::string& path, bool secure,
                      std::optional<int> max_age) {
  std::string c = name + "=" + value + "; Path=" + path + "; HttpOnly; SameSite=Strict";
  if (secure) c += "; Secure";
  if (max_age) c += "; Max-Age=" + std::to_string(*max_age);
  return c;
}

// Where to go after login: only a path of this site ("/..." but not "//..." or "/\...").
std::string SafeNext(const std::string& next) {
  if (next.size() < 2 || next.size() > 200 || next[0] != '/' || next[1] == '/' || next[1] == '\\') return "/dashboard";
  for (unsigned char c : next)
    if (!(std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '?' || c == '=' || c == '&' ||
          c == '%' || c == '+'))
      return "/dashboard";
  return next;
}

const char* RoleWord(Role role) {
  switch (role) {
    case Role::Admin: return "role_admin";
    case Role::Hr: return "role_hr";
    case Role::Viewer: return "role_viewer";
  }
  return "role_viewer";
}

const char* ProblemWord(accounts::Problem problem) {
  switch (problem) {
    case accounts::Problem::NameInvalid: return "problem_name";
    case accounts::Problem::PasswordTooShort: return "problem_password_short";
    case accounts::Problem::PasswordTooLong: return "problem_password_long";
    case accounts::Problem::NameTaken: return "problem_name_taken";
    case accounts::Problem::NoSuchUser: return "problem_no_user";
    case accounts::Problem::LastAdmin: return "problem_last_admin";
  }
  return "bad_request";
}

int ProblemStatus(accounts::Problem problem) {
  switch (problem) {
    case accounts::Problem::NameTaken:
    case accounts::Problem::LastAdmin: return 409;
    case accounts::Problem::NoSuchUser: return 404;
    default: return 400;
  }
}

struct NavItem {
  const char* href;
  const char* word;
  Action action;
};
constexpr NavItem kNav[] = {
    {"/dashboard", "nav_dashboard", Action::ViewDashboard}, {"/review", "nav_review", Action::ReviewDays},
    {"/swipes", "nav_swipes", Action::ViewSwipes},          {"/people", "nav_people", Action::ViewPeople},
    {"/report", "nav_report", Action::ViewReports},         {"/attendance/setup", "nav_setup", Action::EditShifts},
    {"/enrolments", "nav_enrolments", Action::ViewEnrolments}, {"/terminals", "nav_terminals", Action::ViewTerminals},
    {"/users", "nav_users", Action::ManageUsers},           {"/audit", "nav_audit", Action::ViewAudit},
    {"/sites", "nav_sites", Action::ViewSites},
};

}  // namespace

std::string Field(const httplib::Request& req, const std::string& name) {
  if (req.is_multipart_form_data()) return req.has_file(name) ? req.get_file_value(name).content : std::string();
  return req.has_param(name) ? req.get_param_value(name) : std::string();
}

void ParseListen(const std::string& text, ServerOptions& options) {
  std::string host = "127.0.0.1", port = text;
  if (!text.empty() && text[0] == '[') {
    std::size_t close = text.find("]:");
    if (close == std::string::npos) throw WebError("--listen " + text + ": expected [ADDRESS]:PORT");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }) || std::stoi(port) > 65535)
    throw WebError("--listen " + text + ": expected HOST:PORT with a port from 0 to 65535");
  options.host = host;
  options.port = std::stoi(port);
}

struct ConsoleServer::Impl final : PageHost {
  ServerOptions options;
  accounts::Accounts& accounts_;
  std::unique_ptr<httplib::Server> server;
  std::vector<Route> routes;
  bool bound = false;
  // Stop and Run meet through these (see Stop): a stop asked before the server listens ends it.
  std::atomic<bool> stop_asked{false}, run_entered{false}, run_over{false};
  RefusalAudit refusals;
  SiteNamesCache site_names;  // the site chooser's names, read at most once a second
  std::set<std::string> console_paths;  // the console's own routes (set before serving, then only read)
  static thread_local std::optional<std::chrono::steady_clock::time_point> routed_at;
  static thread_local std::optional<ShownTimes> shown_times;  // this request's, when not the serving site's

  Impl(ServerOptions o, accounts::Accounts& a)
      : options(std::move(o)), accounts_(a), refusals([&a](const accounts::Actor& actor, const std::string& action, const std::string& details) {
                    a.Audit(actor, action, details);
                  },
                  [&a] { return a.Now(); }, options.refusals, [this](const std::string& line) { Log(line); }) {
    if (options.tls_cert.empty() != options.tls_key.empty())
      throw WebError("TLS needs both a certificate (--tls-cert) and its key (--tls-key)");
    if (!options.records.db)
      options.records.db = std::make_shared<ConsoleDatabase>(options.records.opened, options.records.database,
                                                             options.records.lock_timeout);
    // The serving site's file names its zone: every page's times and headings are in it, whoever
    // built the options (a console given a site file never shows UTC for a site that is not).
    if (const site::Site* file = options.records.site_file; file && file->timezone)
      if (std::optional<site::TimeZone> zone = site::TimeZone::Find(*file->timezone)) options.times = ShownTimes(*zone);
    try {
      server = MakeGuardedServer(options.connections, options.tls_cert, options.tls_key, options.trusted_proxies,
                                 [this](const std::string& line) { Log(line); });
    } catch (const std::runtime_error& e) {
      throw WebError(e.what());
    }
    Configure();
    Register();
  }

  bool tls() const { return !options.tls_cert.empty(); }

  accounts::Accounts& accounts() const override { return accounts_; }
  db::Database& database() const override { return options.records.db->Get(); }
  // The shown site's zone: the serving site's, or another site's as its last sync recorded it.
  const ShownTimes& times() const override { return shown_times ? *shown_times : options.times; }

  // One line per call: control characters a client put into a path cannot forge log lines.
  void Log(std::string line) const override {
    if (!options.log) return;
    for (char& ch : line)
      if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    options.log(line);
  }

  void Configure() {
    // Threads, deadlines and the cap per address are the guarded server's (options.connections).
    server->set_payload_max_length(options.max_body);
    // An answer goes out as its headers and then its body: without this, on a kept-alive
    // connection the body waits for the client's delayed acknowledgement (about 40 ms a page).
    server->set_tcp_nodelay(true);
    // Every answer, pages and errors alike.
    httplib::Headers headers = {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "form-action 'self'; frame-ancestors 'none'; base-uri 'none'; object-src 'none'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
    if (tls()) headers.emplace("Strict-Transport-Security", "max-age=31536000");
    server->set_default_headers(headers);
    server->set_error_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty()) return;  // a page of ours already
      Language language = PageLanguage("", req.get_header_value("Accept-Language"));
      const char* word = res.status == 413 ? "too_large" : res.status == 404 ? "not_found" : "bad_request";
      res.set_content(Page(language, nullptr, Say(language, word), Message(language, Say(language, word), "/"), "", ""),
                      kHtml);
    });
    server->set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
      Log("failure serving " + req.method + " " + req.path + ": unexpected exception");
      res.status = 500;
      res.set_content("500", "text/plain; charset=utf-8");
    });
    // A request's routing begins on the thread that answers it: its start is that thread's until
    // the answer is logged (a malformed request, answered before routing, has none).
    server->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
      routed_at = std::chrono::steady_clock::now();
      shown_times.reset();  // the serving site's zone until the request shows another site
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      if (options.requests) {
        std::optional<std::chrono::nanoseconds> took;
        if (routed_at) took = std::chrono::steady_clock::now() - *routed_at;
        routed_at.reset();
        options.requests->Count(GroupOf(req.method, req.path, console_paths.count(req.path) > 0), res.status, took);
      }
      Log(req.method + " " + req.path + " " + std::to_string(res.status) + " " + req.remote_addr);
    });
  }

  // ---- presentation ----------------------------------------------------------------------

  std::string Message(Language language, const std::string& message, const std::string& link,
                      std::optional<std::int64_t> retry_after = {}) const {
    data page;
    page.set("message", message);
    page.set("link", link);
    page.set("link_label", Say(language, link == "/login" ? "sign_in_again" : "back"));
    if (retry_after) page.set("retry_after", std::to_string(*retry_after));
    return Render(Template::Message, page, language);
  }

  // The whole page: the layout around `body` (already rendered).
  std::string Page(Language language, const Context* c, const std::string& title, const std::string& body,
                   const std::string& notice, const std::string& error) const {
    data page;
    page.set("lang", language == Language::kChinese ? "zh-CN" : "en");
    page.set("title", title);
    page.set("body", body);
    if (!notice.empty()) page.set("notice", notice);
    if (!error.empty()) page.set("error", error);
    if (c && c->who) {
      const accounts::User& user = c->who->user;
      data u;
      u.set("name", user.name);
      u.set("role_label", Say(language, RoleWord(user.role)));
      if (user.language == "en") u.set("lang_en", true);
      if (user.language == "zh_CN") u.set("lang_zh", true);
      list nav;
      for (const NavItem& item : kNav) {
        if (!Allowed(user.role, item.action)) continue;
        data entry;
        entry.set("href", item.href);
        entry.set("label", Say(language, item.word));
        if (c->route && c->req.path == item.href) entry.set("current", true);
        nav.push_back(entry);
      }
      u.set("nav", nav);
      if (c->site && !c->site_choices.empty()) {
        data chooser;
        chooser.set("path", c->req.path);
        chooser.set("shown", *c->site);
        list sites;
        for (const std::string& name : c->site_choices) {
          data s;
          s.set("name", name);
          if (name == *c->site) s.set("selected", true);
          sites.push_back(s);
        }
        chooser.set("sites", sites);
        if (!c->own_site) chooser.set("host", c->site_host.empty() ? Say(language, "unknown_host") : c->site_host);
        u.set("chooser", chooser);
      }
      page.set("user", u);
      page.set("csrf", c->who->session.csrf);
    }
    return Render(Template::Layout, page, language);
  }

  void Answer(Context& c, int status, const std::string& title, const std::string& body, const std::string& notice = "",
              const std::string& error = "") const override {
    c.res.status = status;
    c.res.set_content(Page(c.language, &c, title, body, notice, error), kHtml);
  }

  void Refuse(Context& c, int status, const char* word, const std::string& link = "/dashboard") const override {
    std::string text = Say(c.language, word);
    Answer(c, status, text, Message(c.language, text, link));
  }

  // ---- the request pipeline --------------------------------------------------------------

  bool Trusted(const std::string& address) const {
    return std::find(options.trusted_proxies.begin(), options.trusted_proxies.end(), address) !=
           options.trusted_proxies.end();
  }

  // The client: the peer, or through trusted proxies the last address before them.
  std::string ClientAddress(const httplib::Request& req) const {
    std::string client = req.remote_addr;
    if (!Trusted(client) || !req.has_header("X-Forwarded-For")) return client;
    std::string chain = req.get_header_value("X-Forwarded-For");
    std::vector<std::string> hops;
    std::size_t start = 0;
    while (start <= chain.size()) {
      std::size_t end = chain.find(',', start);
      if (end == std::string::npos) end = chain.size();
      hops.push_back(Trim(std::string_view(chain).substr(start, end - start)));
      start = end + 1;
    }
    for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
      if (it->empty()) break;
      client = *it;
      if (!Trusted(*it)) break;
    }
    return client.substr(0, 64);
  }

  bool Secure(const httplib::Request& req) const {
    if (tls()) return true;
    return Trusted(req.remote_addr) && req.get_header_value("X-Forwarded-Proto") == "https";
  }

  bool CsrfOk(const httplib::Request& req, const std::string& expected) const {
    std::string given = req.has_header("X-CSRF-Token") ? req.get_header_value("X-CSRF-Token") : Field(req, "csrf");
    return !expected.empty() && accounts::SameText(given, expected);
  }

  void Serve(const Route& route, const httplib::Request& req, httplib::Response& res) {
    Context c{req, res, {}, false, Language::kEnglish, std::nullopt, nullptr, std::nullopt, true, {}, {}};
    c.route = &route;
    c.language = PageLanguage("", req.get_header_value("Accept-Language"));
    try {
      refusals.Tick();
      c.client = ClientAddress(req);
      c.secure = Secure(req);
      if (route.access == Access::Public) return route.handler(c);
      c.who = accounts_.Authenticate(Cookie(req, kSessionCookie));
      if (!c.who) {
        if (route.access == Access::Page && req.method == "GET") {
          // Back to the page asked for after signing in, its query (a period, a filter) kept.
          res.set_redirect("/login?next=" + UrlEncode(SafeNext(req.target.empty() ? req.path : req.target)), 303);
          return;
        }
        return Refuse(c, 401, "sign_in_again", "/login");
      }
      c.language = PageLanguage(c.who->user.language, req.get_header_value("Accept-Language"));
      if (!Allowed(c.who->user.role, route.action)) {
        refusals.Refused(c.Actor(), c.who->session.token_hash,
                         req.method + " " + req.path + ": the role " + accounts::RoleName(c.who->user.role) +
                             " may not " + ActionName(route.action));
        return Refuse(c, 403, "forbidden");
      }
      if (req.method != "GET" && !CsrfOk(req, c.who->session.csrf)) {
        refusals.Refused(c.Actor(), c.who->session.token_hash,
                         req.method + " " + req.path + ": the form's token is missing or wrong");
        return Refuse(c, 403, "bad_form");
      }
      const SiteUse use = SiteUseOf(route.action);
      if (use != SiteUse::None && !ChooseSite(c)) return;
      if (use == SiteUse::OwnTerminals && !c.own_site) return ReadOnlySite(c);
      route.handler(c);
    } catch (const store::StoreError& e) {
      // The database locked past the wait, or its server gone: 503 with the cause, as the pages
      // and the API say it; the next request tries again (the pool reconnects). Any other failure
      // of the database is the server's own (500, its cause in the log only).
      if (!DatabaseAway(e.failure())) return Failed(c, e);
      Log("failure serving " + req.method + " " + req.path + " for " + c.client + ": " + e.what());
      res.headers.erase("Location");
      std::string text = Say(c.language, req.method == "GET" ? "store_unreadable" : "db_failed") + " " + host::Translate(e, c.language);
      Answer(c, 503, text, Message(c.language, text, "/dashboard"));
    } catch (const std::exception& e) {
      Failed(c, e);
    }
  }

  void Failed(Context& c, const std::exception& e) {
    Log("failure serving " + c.req.method + " " + c.req.path + " for " + c.client + ": " + e.what());
    c.res.headers.erase("Location");
    Refuse(c, 500, "server_error");
  }

  // The site the request shows, among the sites the user may see (where the database holds
  // sites): `?site=NAME` (kept as the user's choice), else the choice kept, else the serving
  // host's own site, else the first the user may see. A site asked for by name that the user may
  // not see is refused (403, audited); one the database does not hold is not found (404). False
  // when the request was answered.
  bool ChooseSite(Context& c) {
    c.site = options.records.site;
    if (options.records.database.empty() && !options.records.opened) return true;  // the page says so
    std::vector<store::SiteName> held;
    try {
      held = site_names.Get([this] {
        auto tables = database().Tables(/*read_only=*/true);
        return store::ListSiteNames(*tables);
      });
    } catch (const std::exception& e) {
      Log("choosing the site for " + c.client + ": " + e.what());
      return true;  // the page reads the database itself and says what failed
    }
    if (held.empty()) return true;  // no site yet: every row, no chooser
    const accounts::User& user = c.who->user;
    auto find = [&](const std::string& name) -> const store::SiteName* {
      for (const store::SiteName& s : held)
        if (s.name == name) return &s;
      return nullptr;
    };
    for (const store::SiteName& s : held)
      if (user.MaySee(s.name)) c.site_choices.push_back(s.name);
    const bool by_url = c.req.has_param("site");
    std::string asked = by_url ? c.req.get_param_value("site") : Cookie(c.req, kSiteCookie);
    if (!asked.empty() && (!find(asked) || !user.MaySee(asked))) {
      if (!by_url) {
        asked.clear();  // a choice kept from before: the site is gone or no longer the user's
      } else if (!find(asked)) {
        Refuse(c, 404, "no_such_site");
        return false;
      } else {
        refusals.Refused(c.Actor(), c.who->session.token_hash,
                         c.req.method + " " + c.req.path + ": the user " + user.name + " may not see site " + asked);
        Refuse(c, 403, "site_forbidden");
        return false;
      }
    }
    if (asked.empty()) {
      if (c.site_choices.empty()) {
        refusals.Refused(c.Actor(), c.who->session.token_hash,
                         c.req.method + " " + c.req.path + ": the user " + user.name + " may see no site the database holds");
        Refuse(c, 403, "site_forbidden");
        return false;
      }
      const bool own_allowed = options.records.site && find(*options.records.site) && user.MaySee(*options.records.site);
      asked = own_allowed ? *options.records.site : c.site_choices.front();
    } else if (by_url) {
      c.res.set_header("Set-Cookie", SetCookie(kSiteCookie, asked, "/", c.secure, std::nullopt));
    }
    c.site = asked;
    c.own_site = options.records.site && asked == *options.records.site;
    c.site_host = find(asked)->last_host;
    if (!c.own_site) {
      try {  // another site's times in its own zone, as its last sync recorded it
        if (std::optional<site::Site> other = host::SiteAsLastSynced(database(), asked); other && other->timezone)
          if (std::optional<site::TimeZone> zone = site::TimeZone::Find(*other->timezone)) shown_times = ShownTimes(*zone);
      } catch (const std::exception& e) {
        Log("reading site " + asked + "'s zone for " + c.client + ": " + e.what());
      }
    }
    return true;
  }

  // An action on terminals asked for while another site is shown: the terminals are that site's
  // host's to act on.
  void ReadOnlySite(Context& c) const {
    const std::string text = Say(c.language, "site_read_only") + " " + Say(c.language, "site") + ": " + c.site.value_or("") +
                             "; " + Say(c.language, "site_host") + ": " +
                             (c.site_host.empty() ? Say(c.language, "unknown_host") : c.site_host) + ".";
    Answer(c, c.req.method == "GET" ? 200 : 409, Say(c.language, "site_read_only_title"), Message(c.language, text, "/dashboard"));
  }

  // A database that is there but cannot be had now: locked past the wait, its server unreachable
  // or refusing the login.
  static bool DatabaseAway(store::StoreFailure failure) {
    return failure == store::StoreFailure::Locked || failure == store::StoreFailure::Unreachable ||
           failure == store::StoreFailure::Denied;
  }

  void Add(Route route) {
    routes.push_back(std::move(route));
  }

  void Register() {
    Add({"GET", "/", Access::Public, Action::ViewDashboard,
         [](Context& c) { c.res.set_redirect("/dashboard", 303); }});
    Add({"GET", "/static/console.css", Access::Public, Action::ViewDashboard, [](Context& c) {
           c.res.set_content(kStylesheet, "text/css; charset=utf-8");
         }});
    Add({"GET", "/static/console.js", Access::Public, Action::ViewDashboard, [](Context& c) {
           c.res.set_content(kScript, "text/javascript; charset=utf-8");
         }});
    Add({"GET", "/login", Access::Public, Action::ViewDashboard, [this](Context& c) { LoginPage(c, 200, "", {}); }});
    Add({"POST", "/login", Access::Public, Action::ViewDashboard, [this](Context& c) { Login(c); }});
    Add({"POST", "/logout", Access::Form, Action::ChooseLanguage, [this](Context& c) { Logout(c); }});
    Add({"POST", "/language", Access::Form, Action::ChooseLanguage, [this](Context& c) { ChooseLanguage(c); }});

    for (Route& route : DashboardRoutes(*this, options.sync, options.streams)) Add(std::move(route));
    for (Route& route : TerminalsRoutes(*this, options.sync, options.records.site)) Add(std::move(route));
    for (Route& route : SwipesRoutes(*this, options.records)) Add(std::move(route));
    for (Route& route : PeopleRoutes(*this, options.records)) Add(std::move(route));
    for (Route& route : ReportRoutes(*this, options.records)) Add(std::move(route));
    for (Route& route : EnrolmentsRoutes(*this, options.records, options.sync, options.terminal_wait)) Add(std::move(route));
    for (Route& route : SitesRoutes(*this)) Add(std::move(route));
    for (Route& route : AttendanceSetupRoutes(*this, options.records)) Add(std::move(route));
    for (Route& route : ReviewRoutes(*this, options.records)) Add(std::move(route));
    for (Route& route : AttendanceRoutes(*this, options.records)) Add(std::move(route));

    Add({"GET", "/users", Access::Page, Action::ManageUsers, [this](Context& c) { UsersPage(c, 200, "", ""); }});
    Add({"POST", "/users/add", Access::Form, Action::ManageUsers, [this](Context& c) { AddUser(c); }});
    Add({"POST", "/users/disable", Access::Form, Action::ManageUsers, [this](Context& c) { DisableUser(c); }});
    Add({"POST", "/users/password", Access::Form, Action::ManageUsers, [this](Context& c) { SetPassword(c); }});
    Add({"GET", "/audit", Access::Page, Action::ViewAudit, [this](Context& c) { AuditPage(c); }});

    for (const Route& route : routes) console_paths.insert(route.path);
    for (const Route& route : routes) {
      auto handler = [this, &route](const httplib::Request& req, httplib::Response& res) { Serve(route, req, res); };
      std::string pattern = route.path;  // plain paths: no regular-expression characters
      if (std::string(route.method) == "GET")
        server->Get(pattern, handler);
      else
        server->Post(pattern, handler);
    }
    if (options.api) MountApi(*server, *options.api);
  }

  // ---- login and logout ------------------------------------------------------------------

  void LoginPage(Context& c, int status, const std::string& error, std::optional<std::int64_t> retry_after,
                 const std::string& name = "") {
    std::string token = accounts::NewToken();
    c.res.set_header("Set-Cookie", SetCookie(kLoginCookie, token, "/login", c.secure, 3600));
    data d;
    d.set("login_csrf", token);
    d.set("next", SafeNext(Field(c.req, "next")));
    d.set("name", name.substr(0, accounts::kMaxName));
    std::string message = error;
    if (retry_after) message += " " + std::to_string(*retry_after);
    c.res.status = status;
    c.res.set_content(Page(c.language, nullptr, Say(c.language, "sign_in"), Render(Template::Login, d, c.language), "", message),
                      kHtml);
  }

  void Login(Context& c) {
    std::string expected = Cookie(c.req, kLoginCookie);
    if (expected.size() != 64 || !accounts::SameText(Field(c.req, "csrf"), expected)) {
      refusals.Refused({"", c.client}, "",
                       "POST /login: the form's token is missing or wrong");
      return LoginPage(c, 403, Say(c.language, "bad_form"), {});
    }
    std::string name = Field(c.req, "name");
    accounts::LoginOutcome outcome = accounts_.Login(name, Field(c.req, "password"), c.client);
    if (outcome.kind == accounts::LoginOutcome::Kind::Throttled) {
      c.res.set_header("Retry-After", std::to_string(outcome.retry_after));
      return LoginPage(c, 429, Say(c.language, "login_throttled"), outcome.retry_after, name);
    }
    if (outcome.kind != accounts::LoginOutcome::Kind::Ok)
      return LoginPage(c, 401, Say(c.language, "login_failed"), {}, name);
    c.res.set_header("Set-Cookie", SetCookie(kSessionCookie, outcome.token, "/", c.secure, {}));
    c.res.set_header("Set-Cookie", SetCookie(kLoginCookie, "", "/login", c.secure, 0));
    c.res.set_redirect(SafeNext(Field(c.req, "next")), 303);
  }

  void Logout(Context& c) {
    accounts_.Logout(Cookie(c.req, kSessionCookie), c.client);
    c.res.set_header("Set-Cookie", SetCookie(kSessionCookie, "", "/", c.secure, 0));
    c.res.set_redirect("/login", 303);
  }

  void ChooseLanguage(Context& c) {
    std::string language = Field(c.req, "language");
    if (language != "" && language != "en" && language != "zh_CN") return Refuse(c, 400, "bad_request");
    accounts_.SetLanguage(c.who->user.name, language);
    c.res.set_redirect("/dashboard", 303);
  }

  // ---- users -----------------------------------------------------------------------------

  void UsersPage(Context& c, int status, const std::string& notice, const std::string& error) {
    static const std::vector<std::pair<std::string, const char*>> kDone = {
        {"added", "done_added"}, {"password", "done_password"}, {"disabled", "done_disabled"}, {"enabled", "done_enabled"}};
    std::string shown = notice;
    if (shown.empty() && c.req.has_param("done"))
      for (const auto& [key, word] : kDone)
        if (c.req.get_param_value("done") == key) shown = Say(c.language, word);
    data d;
    d.set("csrf", c.who->session.csrf);
    d.set("zone", options.times.Note(c.language));
    list users;
    for (const accounts::User& u : accounts_.Users()) {
      data row;
      row.set("name", u.name);
      row.set("role_label", Say(c.language, RoleWord(u.role)));
      row.set("disabled", u.disabled);
      row.set("created_at", options.times.Of(u.created_at));
      users.push_back(row);
    }
    d.set("users", users);
    Answer(c, status, Say(c.language, "nav_users"), Render(Template::Users, d, c.language), shown, error);
  }

  // Runs a change to the users; a refused one shows the users page with the reason.
  void Change(Context& c, const std::function<void()>& change, const char* done) {
    try {
      change();
    } catch (const accounts::AccountError& e) {
      return UsersPage(c, ProblemStatus(e.problem()), "", Say(c.language, ProblemWord(e.problem())));
    }
    c.res.set_redirect(std::string("/users?done=") + done, 303);
  }

  void AddUser(Context& c) {
    std::optional<Role> role = accounts::ParseRole(Field(c.req, "role"));
    if (!role) return UsersPage(c, 400, "", Say(c.language, "bad_request"));
    Change(c, [&] { accounts_.AddUser(c.Actor(), Field(c.req, "name"), *role, Field(c.req, "password")); }, "added");
  }

  void DisableUser(Context& c) {
    std::string flag = Field(c.req, "disabled");
    if (flag != "0" && flag != "1") return UsersPage(c, 400, "", Say(c.language, "bad_request"));
    Change(c, [&] { accounts_.SetDisabled(c.Actor(), Field(c.req, "name"), flag == "1"); },
           flag == "1" ? "disabled" : "enabled");
  }

  void SetPassword(Context& c) {
    Change(c, [&] { accounts_.ChangePassword(c.Actor(), Field(c.req, "name"), Field(c.req, "password")); }, "password");
  }

  // ---- audit trail -----------------------------------------------------------------------

  void AuditPage(Context& c) {
    std::optional<std::int64_t> before;
    if (c.req.has_param("before")) {
      std::string text = c.req.get_param_value("before");
      if (text.empty() || text.size() > 18 ||
          !std::all_of(text.begin(), text.end(), [](unsigned char ch) { return std::isdigit(ch); }))
        return Refuse(c, 400, "bad_request", "/audit");
      before = std::stoll(text);
    }
    std::vector<accounts::AuditEntry> entries = accounts_.AuditTrail(kAuditPage, before);
    data d;
    d.set("total", std::to_string(accounts_.AuditCount()));
    d.set("zone", options.times.Note(c.language));
    list rows;
    for (const accounts::AuditEntry& e : entries) {
      data row;
      row.set("at", options.times.Of(e.at));
      row.set("actor", e.actor);
      row.set("origin", e.actor.empty() && e.origin == RefusalAudit::kManyAddresses ? Say(c.language, "many_addresses")
                                                                                   : e.origin);
      row.set("action", e.action);
      row.set("details", host::AuditDetailsText(c.language, e.action, e.details));
      rows.push_back(row);
    }
    d.set("rows", rows);
    if (entries.size() == kAuditPage) d.set("older", std::to_string(entries.back().id));
    Answer(c, 200, Say(c.language, "nav_audit"), Render(Template::Audit, d, c.language));
  }
};

thread_local std::optional<std::chrono::steady_clock::time_point> ConsoleServer::Impl::routed_at;
thread_local std::optional<ShownTimes> ConsoleServer::Impl::shown_times;

ConsoleServer::ConsoleServer(ServerOptions options, accounts::Accounts& accounts)
    : impl_(std::make_unique<Impl>(std::move(options), accounts)) {}

ConsoleServer::~ConsoleServer() { Stop(); }

int ConsoleServer::Bind() {
  const ServerOptions& o = impl_->options;
  int port = o.port == 0 ? impl_->server->bind_to_any_port(o.host) : (impl_->server->bind_to_port(o.host, o.port) ? o.port : -1);
  if (port < 0) throw WebError("cannot listen on " + o.host + ":" + std::to_string(o.port) +
                               " (address in use, not this machine's, or a port below 1024 without the right)");
  impl_->bound = true;
  return port;
}

void ConsoleServer::Run() {
  if (!impl_->bound) return;
  impl_->run_entered = true;
  if (!impl_->stop_asked) impl_->server->listen_after_bind();
  impl_->run_over = true;
}

// The server's own stop does nothing before it listens. Either Run sees the stop asked (and does
// not listen), or this sees Run entered: then it waits, at most 5 s, until the server listens or
// Run is over, and stops it again.
void ConsoleServer::Stop() {
  if (!impl_ || !impl_->server) return;
  impl_->stop_asked = true;
  impl_->server->stop();
  if (!impl_->run_entered || impl_->run_over) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!impl_->server->is_running() && !impl_->run_over && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  impl_->server->stop();
}

bool ConsoleServer::running() const { return impl_->server->is_running(); }

}  // namespace vanto::web
