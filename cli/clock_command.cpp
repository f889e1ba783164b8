// clock: every terminal's clock against the host's time in the site's time zone, and --set to
// set them from the host's clock (audited under the operating-system user's name).
#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/site_use.h"
#include "host/clock.h"
#include "present/clock_words.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct ClockOptions : DatabaseOptions {
  bool json = false;
  bool set = false;
  bool even_if_unsynchronised = false;
};

const char* StateName(ClockState state) {
  switch (state) {
    case ClockState::kRead: return "read";
    case ClockState::kNoClock: return "no-clock";
    case ClockState::kSilent: return "silent";
    case ClockState::kInvalid: return "invalid";
    case ClockState::kPortFailed: return "port-failed";
  }
  return "?";
}

const char* SetName(ClockSet set) {
  switch (set) {
    case ClockSet::kNotAsked: return "not-asked";
    case ClockSet::kSet: return "set";
    case ClockSet::kRefused: return "refused";
    case ClockSet::kFailed: return "failed";
    case ClockSet::kUnsynchronised: return "unsynchronised";
    case ClockSet::kNotAudited: return "not-audited";
    case ClockSet::kUnknown: return "unknown";
  }
  return "?";
}

// Why a terminal's clock could not be read, by how the exchange failed.
std::string NotReadText(const std::string& fault) {
  if (fault == "damaged") return Tr("its answers are damaged");
  if (fault == "busy") return Tr("it stays busy");
  if (fault == "refused") return Tr("it refused the request");
  if (fault == "hangup") return Tr("the line broke");
  return Tr("does not answer");
}

// Why a set failed, by how the exchange failed.
std::string NotSetText(const TerminalClock& c) {
  if (c.read_back) return TrFill("not set: its answer was lost and its clock reads {0}", {site::WallText(*c.read_back)});
  if (c.fault == "damaged") return Tr("not set: its answers were damaged");
  if (c.fault == "busy") return Tr("not set: it stayed busy");
  if (c.fault == "refused") return Tr("not set: it refused the request");
  if (c.fault == "hangup") return Tr("not set: the line broke");
  return Tr("not set: the terminal did not answer");
}

std::string RefusalText(int refusal) {
  switch (refusal) {
    case 1: return Tr("it has no clock commands");
    case 9: return Tr("it cannot keep that time");
    case 10: return Tr("its clock is locked on the terminal");
    default: return TrFill("refusal {0}", {std::to_string(refusal)});
  }
}

std::string StateText(const TerminalClock& c) {
  switch (c.state) {
    case ClockState::kRead: break;
    case ClockState::kNoClock:
      return TrFill("no clock (protocol version {0})", {std::to_string(c.version)});
    case ClockState::kSilent: return NotReadText(c.fault);
    case ClockState::kInvalid: return Tr("its clock shows no valid date and time");
    case ClockState::kPortFailed: return ClockPortFailedText(Language::kProcess, c);
  }
  switch (c.set) {
    case ClockSet::kNotAsked: return c.drift == 0 ? Tr("in step") : (c.drift > 0 ? Tr("ahead") : Tr("behind"));
    case ClockSet::kSet:
      if (c.read_back)
        return TrFill("set to {0} (its answer was lost; the clock read back shows it set)", {site::WallText(c.set_to)});
      return TrFill("set to {0}", {site::WallText(c.set_to)});
    case ClockSet::kRefused: return TrFill("not set: {0}", {RefusalText(c.refusal)});
    case ClockSet::kFailed: return NotSetText(c);
    case ClockSet::kUnknown:
      return Tr("not known whether set: its answers were lost and its clock could not be read back");
    case ClockSet::kUnsynchronised: return Tr("not set: the host's clock is not synchronised");
    case ClockSet::kNotAudited: return Tr("not set: the audit trail could not be written");
  }
  return "";
}

// An invalid clock that was set is mended: its row tells the set, not the old state.
std::string OutcomeText(const TerminalClock& c) {
  if (c.state == ClockState::kInvalid && c.set != ClockSet::kNotAsked) {
    TerminalClock shown = c;
    shown.state = ClockState::kRead;
    return StateText(c) + "; " + StateText(shown);
  }
  return StateText(c);
}

// A terminal that could not be asked, or an asked set not done. A clock that shows no valid date
// and time is a warning, as a far-off clock is: the terminal answered and its state is shown
// (and 'vanto sync' exits 0 for it too).
bool Failed(const TerminalClock& c) {
  if (c.state == ClockState::kSilent || c.state == ClockState::kPortFailed) return true;
  return c.set != ClockSet::kNotAsked && c.set != ClockSet::kSet;
}

int RunClock(const ClockOptions& o, Io& io) {
  const site::Site* site = CurrentSite();
  if (!site) throw HostError("no site");  // UseSite(required) refused before
  if (o.even_if_unsynchronised && !o.set) throw UsageError(Tr("--even-if-unsynchronised is for 'vanto clock --set'"));
  host::ClockOptions options;
  options.zone = SiteTimeZone(*site);
  options.set = o.set;
  options.host_clock = ReadHostClockState();
  options.even_if_unsynchronised = o.even_if_unsynchronised;
  std::optional<accounts::Accounts> accounts;
  const bool may_set = o.set && (options.host_clock.synchronised || o.even_if_unsynchronised);
  if (may_set) {
    // The audit trail lives in the site's database: opened (created when new) before any set.
    accounts.emplace(CommandDatabase(o, DatabaseUse::kWrite)->Accounts());
    const accounts::Actor actor{OsUser(), "command line"};
    options.audit = [&accounts, actor](const ClockAudit& a) { accounts->Audit(actor, a.action, a.details); };
  }
  if (o.set && !options.host_clock.synchronised) {
    if (o.even_if_unsynchronised)
      io.err << "vanto clock: " << Tr("warning") << ": "
             << TrFill("the host's clock is not synchronised ({0}); setting the terminals' clocks from it as asked",
                       {options.host_clock.reason})
             << "\n";
    else
      io.err << "vanto clock: "
             << TrFill("the host's clock is not synchronised ({0}): no terminal clock is set (give "
                       "--even-if-unsynchronised to set them from it all the same)",
                       {options.host_clock.reason})
             << "\n";
  }
  const std::vector<TerminalClock> clocks = SiteClocks(*site, options);

  if (o.json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const TerminalClock& c : clocks) {
      nlohmann::ordered_json row = {{"port", c.port},
                                    {"terminal", c.terminal ? nlohmann::ordered_json(c.terminal) : nlohmann::ordered_json(nullptr)},
                                    {"state", StateName(c.state)}};
      if (c.version) row["version"] = c.version;
      if (c.state == ClockState::kSilent && !c.fault.empty()) row["fault"] = c.fault;
      if (c.state == ClockState::kRead) {
        row["clock"] = site::WallText(c.clock);
        row["host"] = site::WallText(c.host);
        row["drift_seconds"] = c.drift;
      }
      if (c.set != ClockSet::kNotAsked) row["set"] = SetName(c.set);
      if (c.set == ClockSet::kSet) row["set_to"] = site::WallText(c.set_to);
      if (c.read_back) row["read_back"] = site::WallText(*c.read_back);
      if (c.refusal) row["refusal"] = c.refusal;
      if (!c.message.English().empty()) row["message"] = c.message.English();
      if (c.state == ClockState::kPortFailed) {
        // The code as a sync's row gives it (the port's fault, or no terminal answering), beside the words.
        row["cause_code"] = c.port_cause ? c.port_cause->fault : std::string("no-terminal");
        row["cause"] = ClockPortFailedText(Language::kProcess, c);
      }
      rows.push_back(row);
    }
    nlohmann::ordered_json summary = {{"site", site->path},
                                      {"timezone", options.zone.name()},
                                      {"host_clock_synchronised", options.host_clock.synchronised},
                                      {"terminals", rows}};
    io.out << summary.dump(2) << "\n";
  } else {
    std::vector<std::vector<std::string>> table;
    for (const TerminalClock& c : clocks) {
      const bool read = c.state == ClockState::kRead;
      table.push_back({std::to_string(c.port), c.terminal ? std::to_string(c.terminal) : "-",
                       read ? site::WallText(c.clock) : "-", read ? site::WallText(c.host) : "-",
                       read ? DriftText(c.drift) : "-", OutcomeText(c)});
    }
    WriteTable(io.out,
               {Tr("PORT"), Tr("TERMINAL"), Tr("CLOCK"), TrFill("HOST ({0})", {options.zone.name()}), Tr("DRIFT"),
                Tr("OUTCOME")},
               table, {true, true, false, false, true, false});
  }
  bool failed = false;
  for (const TerminalClock& c : clocks) {
    if (c.state == ClockState::kInvalid && c.set == ClockSet::kNotAsked) {
      io.err << "vanto clock: " << Tr("warning") << ": "
             << TrFill("port {0}, terminal {1}", {std::to_string(c.port), std::to_string(c.terminal)}) << ": "
             << TrFill("its clock shows no valid date and time ({0}); 'vanto clock --set' sets it",
                       {ClockSaid(c)})
             << "\n";
      continue;
    }
    if (!Failed(c)) continue;
    failed = true;
    if (c.set == ClockSet::kUnsynchronised) continue;  // said once above
    const std::string where = c.terminal ? TrFill("port {0}, terminal {1}", {std::to_string(c.port), std::to_string(c.terminal)})
                                         : TrFill("port {0}", {std::to_string(c.port)});
    std::string text = OutcomeText(c);
    if (c.set == ClockSet::kNotAudited || c.set == ClockSet::kFailed || c.set == ClockSet::kUnknown ||
        c.state == ClockState::kInvalid || c.state == ClockState::kSilent)
      if (!c.message.English().empty()) text += " (" + ClockSaid(c) + ")";
    io.err << "vanto clock: " << where << ": " << text << "\n";
  }
  return failed ? kExitFalse : kExitOk;
}

}  // namespace

Command ClockCommand() {
  return {"clock", TrLater("show every terminal's clock and its drift, or set them from the host's clock"),
          "vanto clock [--site FILE] [--json] [--set [--even-if-unsynchronised]] [--db PATH]",
          TrLater("Every terminal of the site: its clock, the host's time in the site's time zone (the site\n"
          "file's timezone, else the host's) and the drift (positive: the terminal is ahead). A\n"
          "terminal of protocol version 1 or 2 has no clock and gets a row saying so. --set sets every\n"
          "clock from the host's clock; each set is written to the audit trail under your\n"
          "operating-system user's name. While the host's own clock is not synchronised to a time\n"
          "source nothing is set unless --even-if-unsynchronised is given. Setting a clock changes no\n"
          "stored swipe. A set whose answers were lost is settled by reading the clock back. Exit 0\n"
          "when every terminal answered (and every asked set was done; a clock that shows no valid\n"
          "date and time is a warning), 1 otherwise, each failure named on standard error."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<ClockOptions>();
            p.Flag("json", TrLater("print the clocks as JSON"), &o->json);
            p.Flag("set", TrLater("set every terminal's clock from the host's clock"), &o->set);
            p.Flag("even-if-unsynchronised", TrLater("set the clocks although the host's clock is not synchronised"),
                   &o->even_if_unsynchronised);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kRequired);
            return [o](Io& io) { return RunClock(*o, io); };
          }};
}

}  // namespace vanto::cli
