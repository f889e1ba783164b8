// serve: the web console over HTTP (or HTTPS with a certificate), until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <mutex>
#include <sstream>
#include <thread>

#include "accounts/accounts.h"
#include "accounts/api_tokens.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/site_use.h"
#include "host/attendance_data.h"
#include "host/database_location.h"
#include "host/db/database.h"
#include "host/machine.h"
#include "host/metrics.h"
#include "host/push/push_loop.h"
#include "host/schedule.h"
#include "present/sync_words.h"
#include "host/sync_jobs.h"
#include "host/text/messages.h"
#include "web/api.h"
#include "web/console_server.h"
#include "web/metrics.h"
#include "present/report/date_options.h"

namespace vanto::cli {
namespace {

struct ServeOptions {
  std::optional<std::string> listen, tls_cert, tls_key, trusted_proxies, db;
  double lock_timeout = 5.0;
};

int RunServe(const ServeOptions& o, Io& io) {
  web::ServerOptions options;
  try {
    web::ParseListen(o.listen.value_or("127.0.0.1:8080"), options);
  } catch (const web::WebError& e) {
    throw UsageError(e.what());
  }
  // [console] is the console's own part of the site file: wrong, it stops the console alone (every
  // other command runs); --trusted-proxies stands in for it.
  // So is api_requests_per_minute: the rate of the API it serves.
  if (const site::Site* site = CurrentSite()) {
    if (const site::SiteProblem* problem = site->ProblemOf(site::SitePart::kConsole); problem && !o.trusted_proxies)
      throw site::SiteError(SiteProblemText(*problem));
    if (const site::SiteProblem* problem = site->ProblemOf(site::SitePart::kApi))
      throw site::SiteError(SiteProblemText(*problem));
  }
  options.tls_cert = o.tls_cert.value_or("");
  options.tls_key = o.tls_key.value_or("");
  // --trusted-proxies, else the site file's [console] trusted_proxies, else none.
  try {
    options.trusted_proxies = site::ResolveTrustedProxies(CurrentSite(), o.trusted_proxies).addresses;
  } catch (const site::SiteError& e) {
    throw UsageError(e.message());
  }
  std::mutex log_mutex;
  const std::string location = DatabasePath(o.db, true);
  // A log line may quote a database failure: never with its password.
  options.log = [&](const std::string& line) {
    std::lock_guard lock(log_mutex);
    io.err << ShownMessage(line, location) << std::endl;
  };

  // SIGINT and SIGTERM are taken by one waiting thread (every thread started from here on
  // inherits the blocked set), which stops the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  struct RestoreMask {
    sigset_t mask;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};

  const std::string& database = location;
  const auto lock_timeout = std::chrono::milliseconds(static_cast<long long>(o.lock_timeout * 1000));
  // The process's one database: every page, API call, session and token check borrows a
  // repository from it for its request and gives it back.
  db::DatabaseOptions db_options;
  db_options.lock_timeout = lock_timeout;
  if (const site::Site* site = CurrentSite()) {
    // Beside the pages' connections: a sync keeps one for each port and one for its run's
    // record, and the push drain one for its endpoints and one for the feed.
    db_options.pool_size += site->ports.size() + 1 + (site->pushes.empty() ? 0 : 2);
  }
  const std::shared_ptr<db::Database> db = db::Database::Open(database, db_options);
  // The site this server serves: its syncs store as it, its pages and API list its swipes.
  const SiteChoice served = ChooseSite(*db, RequestedSiteName(), true, OsUser());
  accounts::Accounts accounts(db);
  // The site's syncs: "Sync now" and the site file's schedule, each recorded like every sync.
  std::unique_ptr<SyncJobs> jobs;
  if (const site::Site* site = CurrentSite()) {
    // A wrong [schedule] or [[push]] stops that feature alone: said once, the console serves.
    for (const site::SiteProblem& problem : site->problems)
      if (problem.part != site::SitePart::kConsole)
        io.err << "vanto serve: " << Tr("warning") << ": " << SiteProblemText(problem) << std::endl;
    SyncSettings settings;
    settings.recorded_cause = [](const TerminalSync& row) { return CauseText(Language::kEnglish, row); };
    settings.db = db;  // every sync of the server shares the process's one handle
    settings.site_name = served.name;
    settings.lock_timeout = o.lock_timeout;
    settings.on_record_failure = [&options](const SyncNote& failure) {
      options.log("sync: " + NoteText(Language::kProcess, failure));
    };
    jobs = std::make_unique<SyncJobs>(*site, settings);
    if (site->sync_every) {
      if (auto both = BothSchedules(*site))
        io.err << "vanto serve: " << Tr("warning") << ": " << BothSchedulesText(Language::kProcess, *both) << std::endl;
      jobs->Schedule(*site->sync_every, [&options](const std::vector<TerminalSync>& rows) {
        std::size_t synced = 0, added = 0;
        for (const TerminalSync& r : rows) synced += r.ok, added += r.added;
        options.log(TrFill("scheduled sync: {0} of {1} terminals synced, {2} new records",
                           {std::to_string(synced), std::to_string(rows.size()), std::to_string(added)}));
      });
    }
  }
  options.sync = jobs.get();
  // The site's push endpoints are drained on a thread of their own, so a failing one never
  // holds up a sync or a page.
  std::unique_ptr<push::PushLoop> pushing;
  if (const site::Site* site = CurrentSite(); site && !site->pushes.empty()) {
    push::PushOptions push_options;
    push_options.database = db;
    push::UseSiteEndpoints(push_options, *site);
    push_options.site = served.name;
    pushing = std::make_unique<push::PushLoop>(push_options, std::chrono::seconds(30),
                                               [&options](const std::string& line) { options.log(line); });
  }
  // The records pages read the same database, with the site's working day (the site file's
  // times were checked when it was read).
  options.records.database = database;
  options.records.opened = db;
  options.records.lock_timeout = lock_timeout;
  options.records.site = served.filter;
  options.records.site_file = CurrentSite();
  if (const site::Site* site = CurrentSite()) {
    options.records.day_starts = ParseDates([&] { return report::ParseDayStarts(site->day_starts, "day_starts"); });
    if (site->late_after)
      options.records.late_after = ParseDates([&] { return report::ParseDayStarts(*site->late_after, "late_after"); });
  }
  // Every page shows times in the site's zone (the site file's timezone, else $TZ, else the host's).
  options.times = web::ShownTimes(SiteTimeZone(CurrentSite() ? *CurrentSite() : site::Site{}));
  // The HTTP API for programs, on the same server.
  accounts::Tokens tokens(db, accounts::RateLimit{CurrentSite() ? CurrentSite()->api_requests_per_minute
                                                            : accounts::RateLimit{}.per_minute});
  web::ApiOptions api_options;
  api_options.database = database;
  api_options.db = db;
  api_options.lock_timeout = lock_timeout;
  api_options.sync = jobs.get();  // also gates the enrolment copy with the console's actions
  api_options.terminal_wait = options.terminal_wait;
  api_options.day_starts = options.records.day_starts;
  api_options.late_after = options.records.late_after;
  api_options.site = served.filter;
  api_options.served = served;  // attendance: the site's rows and its file's settings
  api_options.site_file = CurrentSite();
  api_options.log = options.log;
  if (const site::Site* site = CurrentSite())
    for (const site::SitePort& port : site->ports) api_options.ports.push_back({port.number, port.device, port.terminals});
  // GET /metrics: the site's figures and every request the console answers.
  web::RequestCounters requests;
  options.requests = &requests;
  api_options.requests = &requests;
  if (const site::Site* site = CurrentSite()) api_options.figures = host::FigureScopeOf(*site, served.name);
  web::ApiServer api(api_options, tokens);
  options.api = &api;
  std::unique_ptr<web::ConsoleServer> server;
  int port = 0;
  try {
    server = std::make_unique<web::ConsoleServer>(options, accounts);
    port = server->Bind();
  } catch (const web::WebError& e) {
    throw HostError(e.what());
  }
  if (accounts.Users().empty())
    io.err << Tr("warning: there are no users yet: add one with 'vanto user add NAME --role admin'") << std::endl;
  std::string host = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  io.out << TrFill("listening on {0}", {(options.tls_cert.empty() ? "http://" : "https://") + host + ":" +
                                        std::to_string(port)})
         << std::endl;

  std::thread waiter([&] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    server->Stop();
  });
  server->Run();
  // Run returns once stopped; wake the waiter when it was not a signal that stopped it.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  // A running sync is cancelled (what it delivered is stored) and its end recorded and audited
  // while the console's pages, which its end reports through, still exist.
  if (jobs) jobs->Stop();
  if (pushing) pushing->Stop();
  server.reset();
  tokens.WriteReads();  // the API's reads counted since the last write
  return kExitOk;
}

}  // namespace

Command ServeCommand() {
  return {"serve", TrLater("run the web console for HR and administrators"),
          "vanto serve [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE] [--trusted-proxies ADDR,...]",
          TrLater("Serves the console on 127.0.0.1:8080 unless --listen says otherwise (port 0: any free port; the\n"
          "address is printed). With --tls-cert and --tls-key it speaks HTTPS only. Behind a reverse proxy,\n"
          "--trusted-proxies lists the proxies' addresses whose X-Forwarded-For and X-Forwarded-Proto are\n"
          "believed (without it, the site file's [console] trusted_proxies). Users come from 'vanto user add'.\n"
          "With a site file, the dashboard shows its ports and terminals and an admin syncs them; a\n"
          "[schedule] sync_every = \"5m\" in the site file has the console sync the site that often (use it or\n"
          "the package's vanto-sync.timer, not both). Stops on SIGINT or SIGTERM."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ServeOptions>();
            p.Text("listen", "HOST:PORT", TrLater("where to listen (default 127.0.0.1:8080)"), &o->listen);
            p.Text("tls-cert", "FILE", TrLater("the server's certificate chain (PEM)"), &o->tls_cert);
            p.Text("tls-key", "FILE", TrLater("the certificate's private key (PEM)"), &o->tls_key);
            p.Text("trusted-proxies", "ADDR,...", TrLater("reverse proxies whose forwarded headers are believed"),
                   &o->trusted_proxies);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunServe(*o, io); };
          }};
}

}  // namespace vanto::cli
