// push: delivers the swipes the site file's [[push]] endpoints have not had yet (`vanto push`),
// or shows each endpoint's backlog, last success, last error and next attempt (`push status`).
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "cli/site_use.h"
#include "host/push/push.h"
#include "present/recorded_words.h"
#include "host/db/civil_time.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct PushCommandOptions {
  std::vector<std::string> words;  // [status]
  bool json = false, now = false;
  std::optional<std::string> db;
  double lock_timeout = 5.0;
};

// The [[push]] tables too wrong to name their endpoint, on standard error: kExitFalse when there is one.
int TellUnnamedProblems(const site::Site& site, Io& io) {
  int status = kExitOk;
  for (const site::SiteProblem& p : site.problems)
    if (p.part == site::SitePart::kPush && p.endpoint.empty()) {
      io.err << TrFill("a push endpoint is misconfigured: {0}", {Translate(p.said)}) << "\n";
      status = kExitFalse;
    }
  return status;
}

// A time as UTC text; "" for none (0).
std::string TimeText(std::int64_t unix_time) { return unix_time == 0 ? "" : store::UtcText(unix_time); }

// A push failure as recorded, in this process's language (--json gives it as recorded).
std::string ErrorText(const std::string& error) { return host::PushErrorText(host::Language::kProcess, error); }

push::PushOptions OptionsOf(const PushCommandOptions& o) {
  const site::Site* site = CurrentSite();
  push::PushOptions options;
  options.database = CommandDatabase(DatabaseOptions{o.db, o.lock_timeout}, DatabaseUse::kWrite);
  push::UseSiteEndpoints(options, *site);
  options.site = CommandSite(DatabaseOptions{o.db, o.lock_timeout}, DatabaseUse::kWrite).name;
  options.ignore_backoff = o.now;
  return options;
}

int RunStatus(const PushCommandOptions& o, Io& io) {
  const std::vector<push::EndpointStatus> all = push::Status(OptionsOf(o));
  if (o.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    auto text = [](const std::string& s) { return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s); };
    for (const push::EndpointStatus& s : all)
      list.push_back({{"name", s.name},
                      {"url", s.url},
                      {"format", s.format},
                      {"added", s.in_store},
                      {"backlog", s.backlog},
                      {"delivered", s.delivered},
                      {"failures", s.failures},
                      {"added_at", text(s.added_at)},
                      {"last_success", text(s.last_success)},
                      {"last_error", text(s.last_error)},
                      {"last_error_at", text(s.last_error_at)},
                      {"next_attempt", text(TimeText(s.next_attempt))},
                      {"misconfigured", text(s.problem)}});
    io.out << nlohmann::ordered_json{{"endpoints", list}}.dump(2) << "\n";
    return kExitOk;
  }
  // Status only shows: a misconfigured endpoint is named, and the exit status stays 0.
  const bool told = TellUnnamedProblems(*CurrentSite(), io) != kExitOk;
  if (all.empty()) {
    if (!told) io.out << Tr("the site file names no push endpoint ([[push]])") << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const push::EndpointStatus& s : all)
    rows.push_back({s.name, s.in_store ? std::to_string(s.backlog) : Tr("(not drained yet)"), s.last_success,
                    !s.problem.empty()       ? TrFill("misconfigured: {0}", {s.problem})
                    : s.last_error.empty() ? ""
                                           : s.last_error_at + " " + ErrorText(s.last_error),
                    TimeText(s.next_attempt)});
  WriteTable(io.out, {Tr("endpoint"), Tr("backlog"), Tr("last success"), Tr("last error"), Tr("next attempt")}, rows,
             {false, true, false, false, false});
  return kExitOk;
}

int RunPush(const PushCommandOptions& o, Io& io) {
  if (!o.words.empty() && o.words[0] != "status")
    throw UsageError(TrFill("unknown action '{0}' (status, or none to deliver)", {o.words[0]}));
  if (!o.words.empty()) {
    if (o.now) throw UsageError(Tr("--now is for delivering, not for 'status'"));
    return RunStatus(o, io);
  }
  if (o.json) throw UsageError(Tr("--json is for 'vanto push status'"));
  const push::PushOptions options = OptionsOf(o);
  const push::DrainResult result = push::Drain(options);
  int exit = TellUnnamedProblems(*CurrentSite(), io);
  for (const auto& [name, backlog] : result.dropped)
    io.err << TrFill("push endpoint {0} is no longer in the site file: removed, {1} swipes not delivered to it",
                     {name, std::to_string(backlog)})
           << "\n";
  if (options.endpoints.empty()) {
    if (exit == kExitOk) io.err << Tr("the site file names no push endpoint ([[push]])") << "\n";
    return exit;
  }
  for (const push::EndpointOutcome& e : result.endpoints) {
    switch (e.state) {
      case push::EndpointState::kDelivered:
        io.out << TrFill("{0}: {1} swipes delivered, none waiting", {e.name, std::to_string(e.sent)}) << "\n";
        break;
      case push::EndpointState::kFailed:
        io.err << TrFill("{0}: failed after {1} swipes delivered: {2}; next attempt at {3}",
                         {e.name, std::to_string(e.sent), ErrorText(e.error), TimeText(e.next_attempt)})
               << "\n";
        exit = kExitFalse;
        break;
      case push::EndpointState::kWaiting:
        if (e.failures > 0) {
          io.err << TrFill("{0}: waiting after {1} failures until {2} (last error: {3}; --now tries at once)",
                           {e.name, std::to_string(e.failures), TimeText(e.next_attempt), ErrorText(e.error)})
                 << "\n";
          exit = kExitFalse;
        } else {
          io.out << TrFill("{0}: {1} swipes delivered; the rest at its rate, from {2}",
                           {e.name, std::to_string(e.sent), TimeText(e.next_attempt)})
                 << "\n";
        }
        break;
      case push::EndpointState::kBusy:
        io.out << TrFill("{0}: another process is delivering to it", {e.name}) << "\n";
        break;
      case push::EndpointState::kMisconfigured:
        io.err << TrFill("{0}: misconfigured, nothing sent (its swipes wait for it): {1}", {e.name, e.error}) << "\n";
        exit = kExitFalse;
        break;
      case push::EndpointState::kStopped:
        io.err << TrFill("{0}: stopped after {1} swipes", {e.name, std::to_string(e.sent)}) << "\n";
        exit = kExitFalse;
        break;
    }
  }
  return exit;
}

}  // namespace

Command PushCommand() {
  return {"push", TrLater("deliver new swipes to the site's HR systems, or show their status"),
          "vanto push [--now] | push status [--json]",
          TrLater("Sends each [[push]] endpoint of the site file the swipes it has not had, in the order they were\n"
          "stored, in signed batches, and exits 0 when every endpoint has them all, 1 when one failed (named,\n"
          "with its error; it is tried again after a back-off: --now tries at once). A new endpoint gets the\n"
          "swipes stored after it is first seen (or from its 'from' date); an endpoint taken out of the site\n"
          "file is removed with its backlog. 'vanto push status' shows each endpoint's backlog, last success,\n"
          "last error and next attempt. 'vanto serve' delivers by itself while it runs."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<PushCommandOptions>();
            p.Words("[status]", &o->words, 1);
            p.Flag("json", TrLater("print the status as JSON"), &o->json);
            p.Flag("now", TrLater("try endpoints waiting after a failure at once"), &o->now);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunPush(*o, io); };
          }};
}

}  // namespace vanto::cli
