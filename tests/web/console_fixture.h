// A console on 127.0.0.1 (any free port) over a fresh SQLite database, with a clock the test
// moves, three users (one per role), and a client that logs in and fills in forms.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "accounts/accounts.h"
#include "host/sync_jobs.h"
#include "web/console_server.h"
#include "host/db/database.h"

namespace vanto::web::testing {

inline constexpr const char* kPassword = "correct horse battery";

struct Users {
  std::string admin = "ada", hr = "hal", viewer = "vic";
  std::string Of(accounts::Role role) const {
    return role == accounts::Role::Admin ? admin : role == accounts::Role::Hr ? hr : viewer;
  }
};

// A signed-in client: its session cookie and the session's form token.
struct Session {
  std::string cookie;  // "vanto_session=..."
  std::string csrf;
};

class Console {
 public:
  // `make_sync`: the site's syncs over the console's database (none: a console without a site).
  explicit Console(ServerOptions options = {},
                   std::function<std::unique_ptr<host::SyncJobs>(const std::string& database)> make_sync = {}) {
    char pattern[] = "/tmp/vanto-web-XXXXXX";
    folder_ = mkdtemp(pattern);
    now_ = accounts::SystemSeconds();
    accounts_ = std::make_unique<accounts::Accounts>(
        vanto::db::Database::Open((folder_ / "site.db").string())->Accounts(),
        accounts::SessionPolicy{}, accounts::ThrottlePolicy{}, [this] { return now_.load(); });
    accounts::Actor setup{"test", "command line"};
    accounts_->AddUser(setup, users.admin, accounts::Role::Admin, kPassword);
    accounts_->AddUser(setup, users.hr, accounts::Role::Hr, kPassword);
    accounts_->AddUser(setup, users.viewer, accounts::Role::Viewer, kPassword);
    if (make_sync) sync_ = make_sync((folder_ / "site.db").string());
    options.sync = sync_.get();
    tls_ca_ = options.tls_cert;
    options.host = "127.0.0.1";
    options.port = 0;
    // The records pages read the same database (a test may name another, e.g. one that fails).
    if (options.records.database.empty()) options.records.database = database();
    options.log = [this](const std::string& line) {
      std::lock_guard lock(log_mutex_);
      log_ += line + "\n";
    };
    try {
      server_ = std::make_unique<ConsoleServer>(options, *accounts_);
      port_ = server_->Bind();
    } catch (...) {
      sync_.reset();
      accounts_.reset();
      std::error_code ec;
      std::filesystem::remove_all(folder_, ec);
      throw;
    }
    thread_ = std::thread([this] { server_->Run(); });
  }
  ~Console() {
    server_->Stop();
    thread_.join();
    sync_.reset();  // before the pages its syncs report through
    server_.reset();
    accounts_.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  httplib::Client Client() const {
    httplib::Client client((tls_ca_.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_));
    if (!tls_ca_.empty()) client.set_ca_cert_path(tls_ca_.c_str());
    client.set_connection_timeout(std::chrono::seconds(10));
    client.set_read_timeout(std::chrono::seconds(30));
    return client;
  }

  httplib::Result Get(const std::string& path, const std::string& cookie = "", httplib::Headers headers = {}) const {
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return Client().Get(path.c_str(), headers);
  }
  httplib::Result Post(const std::string& path, const httplib::Params& form, const std::string& cookie = "",
                       httplib::Headers headers = {}) const {
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return Client().Post(path.c_str(), headers, form);
  }

  // The value of a cookie the answer sets ("" when it sets none of that name).
  static std::string SetCookieOf(const httplib::Result& r, const std::string& name, std::string* whole = nullptr) {
    for (std::size_t i = 0; i < r->get_header_value_count("Set-Cookie"); ++i) {
      std::string c = r->get_header_value("Set-Cookie", i);
      if (c.rfind(name + "=", 0) == 0) {
        if (whole) *whole = c;
        return c.substr(name.size() + 1, c.find(';') - name.size() - 1);
      }
    }
    return {};
  }
  static std::string FormToken(const std::string& page) {
    std::smatch m;
    static const std::regex token("name=\"csrf\" value=\"([0-9a-f]{64})\"");
    return std::regex_search(page, m, token) ? m[1].str() : std::string();
  }

  // Posts the login form as a browser would; the answer.
  httplib::Result LoginAttempt(const std::string& name, const std::string& password, httplib::Headers headers = {}) const {
    httplib::Result form = Get("/login", "", headers);
    std::string token = SetCookieOf(form, "vanto_login");
    return Post("/login", {{"csrf", token}, {"name", name}, {"password", password}}, "vanto_login=" + token, headers);
  }
  Session Login(const std::string& name, const std::string& password = kPassword) const {
    httplib::Result r = LoginAttempt(name, password);
    EXPECT_EQ(r->status, 303) << name;
    Session s;
    s.cookie = "vanto_session=" + SetCookieOf(r, "vanto_session");
    s.csrf = FormToken(Get("/dashboard", s.cookie)->body);
    EXPECT_EQ(s.csrf.size(), 64u);
    return s;
  }

  accounts::Accounts& accounts() { return *accounts_; }
  void Advance(std::int64_t seconds) { now_ += seconds; }
  std::string log() {
    std::lock_guard lock(log_mutex_);
    return log_;
  }
  int port() const { return port_; }
  host::SyncJobs* sync() { return sync_.get(); }
  std::string database() const { return (folder_ / "site.db").string(); }

  Users users;

 private:
  std::filesystem::path folder_;
  std::atomic<std::int64_t> now_{0};
  std::unique_ptr<accounts::Accounts> accounts_;
  std::unique_ptr<host::SyncJobs> sync_;
  std::unique_ptr<ConsoleServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::string tls_ca_;  // the server's own (self-signed) certificate, trusted by the client
  std::mutex log_mutex_;
  std::string log_;
};

}  // namespace vanto::web::testing
