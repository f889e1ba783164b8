#include "present/sync_words.h"

#include "host/said_values.h"
#include "host/sync.h"

namespace vanto::host {
namespace {

std::string ValueOf(const store::CauseValues& values, const char* name) {
  for (const auto& [key, value] : values)
    if (key == name) return value;
  return {};
}

// The error kept under "error", in `l` (its message when the values keep one, else as it was kept).
std::string ErrorText(Language l, const store::CauseValues& values) { return Translate(ErrorValue(values, "error"), l); }

unsigned long Count(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 10); }

std::string PortFaultText(Language l, const std::string& fault, const store::CauseValues& values) {
  auto v = [&](const char* name) { return ValueOf(values, name); };
  const std::string where = TrInFill(l, "port {0} ({1})", {v("port"), v("device")});
  if (fault == "missing")
    return TrInFill(l,
                    "{0}: the device does not exist (is the adapter plugged in? its lasting name is under "
                    "/dev/serial/by-id/)",
                    {where});
  if (fault == "permission")
    return TrInFill(l,
                    "{0}: no permission to open the device (join the 'dialout' group: sudo usermod -aG dialout "
                    "$USER, then log in again)",
                    {where});
  if (fault == "busy") {
    const std::string pid = v("holder_pid"), name = v("holder_name");
    const std::string holder = pid.empty() || pid == "0" ? TrIn(l, "another process")
                               : name.empty()          ? TrInFill(l, "process {0}", {pid})
                                                       : TrInFill(l, "process {0} ({1})", {pid, name});
    return TrInFill(l, "{0}: busy, in use by {1}", {where, holder});
  }
  if (fault == "not-serial") return TrInFill(l, "{0}: not a serial device", {where});
  if (fault == "setting") return where + ": " + v("detail");
  if (fault == "open") return TrInFill(l, "{0}: cannot be opened: {1}", {where, v("detail")});
  if (fault == "line") {
    const std::string terminal = v("terminal");
    return (terminal.empty() || terminal == "0" ? where : TrInFill(l, "{0}, terminal {1}", {where, terminal})) + ": " +
           v("detail");
  }
  return TrInFill(l, "{0}: no fault recorded", {where});
}

// "terminal T on port P", as the host names a terminal.
std::string WhereText(Language l, const std::string& port, const std::string& terminal) {
  return TrInFill(l, "terminal {0} on port {1}", {terminal, port});
}

// The places an identity answered at besides this one: "port/terminal" each, comma-separated
// (rows recorded by an earlier version hold them in words already: given as they are).
std::string ElsewhereText(Language l, const std::string& places) {
  std::string text;
  std::size_t at = 0;
  while (at <= places.size()) {
    std::size_t end = places.find(',', at);
    if (end == std::string::npos) end = places.size();
    const std::string place = places.substr(at, end - at);
    const std::size_t slash = place.find('/');
    const auto digits = [](const std::string& t) {
      return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (slash == std::string::npos || !digits(place.substr(0, slash)) || !digits(place.substr(slash + 1))) return places;
    text += (text.empty() ? "" : ", ") + WhereText(l, place.substr(0, slash), place.substr(slash + 1));
    at = end + 1;
  }
  return text;
}

std::string CloneText(Language l, const std::string& serial, const std::string& elsewhere) {
  return TrInFill(l, "serial {0} also answered as {1}: a cloned identity; each log is kept in its own epoch",
                  {serial, ElsewhereText(l, elsewhere)});
}

// What a download that stopped had done: "{cause}; N records delivered, M new stored".
std::string WithCounts(Language l, const std::string& cause, const store::CauseValues& values) {
  const std::string delivered = ValueOf(values, "delivered");
  if (delivered.empty()) return cause;
  return TrInNFill(l, "{0}; {1} record delivered, {2} new stored", "{0}; {1} records delivered, {2} new stored",
                   Count(delivered), {cause, delivered, ValueOf(values, "added")});
}

std::string MainText(Language l, const std::string& code, const store::CauseValues& values) {
  auto v = [&](const char* name) { return ValueOf(values, name); };
  if (IsPortFault(code)) return WithCounts(l, PortFaultText(l, code, values), values);
  if (code == "download") return WithCounts(l, TrIn(l, "the download failed"), values);
  if (code == "no-terminal") return TrInFill(l, "no terminal answered ({0}-{1})", {v("first"), v("last")});
  if (code == "terminal") {
    if (v("reason") == "silent")
      return TrIn(l, "it answered an earlier sync but not this scan (if it was taken off the line, narrow the port's "
                     "range in the site file)");
    return ErrorText(l, values);
  }
  if (code == "store") {
    if (v("reason") == "other-terminal") return TrIn(l, "not read: the database failed on another terminal");
    return TrInNFill(l, "{0}; {1} record read, {2} stored", "{0}; {1} records read, {2} stored", Count(v("read")),
                     {ErrorText(l, values), v("read"), v("delivered")});
  }
  if (code == "conflict")
    return TrInFill(l, "the log is not the one stored: all records kept, the log going on as epoch {0}", {v("epoch")});
  if (code == "quarantined")
    return TrInNFill(l, "{0} record quarantined ('vanto rejected' lists it)",
                     "{0} records quarantined ('vanto rejected' lists them)", Count(v("count")), {v("count")});
  if (code == "host") {
    if (v("reason") == "port-thread") return TrIn(l, "the host failed on this port's thread");
    if (v("reason") == "sync-thread") return TrIn(l, "the host failed on the sync's thread");
    return ErrorText(l, values);
  }
  if (code == "cancelled" || code == "clone" || code.empty()) return {};
  return code;
}

}  // namespace

std::string DescribePortCause(Language l, int port, const PortCause& cause) {
  return PortFaultText(l, cause.fault, PortFaultValues(port, cause));
}

std::string DescribeCause(int port, const PortCause& cause) { return DescribePortCause(Language::kProcess, port, cause); }

std::string CauseText(Language l, const std::string& code, const store::CauseValues& values) {
  std::string text = MainText(l, code, values);
  // One identity answering at two places, with conflicts: said after the cause.
  const std::string serial = ValueOf(values, "clone_serial");
  if (!serial.empty()) {
    const std::string clone = CloneText(l, serial, ValueOf(values, "clone_elsewhere"));
    text = text.empty() ? clone : text + "; " + clone;
  }
  return text;
}

std::string CauseText(Language l, const TerminalSync& row) { return CauseText(l, row.cause_code, row.cause_values); }

std::string CauseText(Language l, const store::RunTerminal& row) {
  if (row.cause_values.empty() && !row.cause.empty()) return row.cause;
  return CauseText(l, row.cause_code, row.cause_values);
}

std::string BothSchedulesText(Language l, const std::string& where) {
  return TrInFill(l,
                  "the site file {0} has a [schedule] for 'vanto serve' and vanto-sync.timer is enabled too: use one "
                  "('systemctl disable --now vanto-sync.timer', or remove [schedule] from the site file)",
                  {where});
}

std::string NoteText(Language l, const SyncNote& note) {
  auto v = [&](const char* name) { return ValueOf(note.values, name); };
  if (note.code == "nearly-full")
    return TrInNFill(l, "{0} holds {1} of {2} record ({3} %): clear it after a complete sync",
                     "{0} holds {1} of {2} records ({3} %): clear it after a complete sync", Count(v("capacity")),
                     {WhereText(l, v("port"), v("terminal")), v("held"), v("capacity"), v("percent")});
  if (note.code == "clone-elsewhere") return CloneText(l, v("serial"), v("elsewhere"));
  // Why a read read every record.
  if (note.code == "no-identity")
    return v("version") == "1" || v("version") == "0"
               ? TrIn(l, "the terminal tells no identity (protocol version 1)")
               : TrInFill(l, "the terminal tells no identity (protocol version {0}, identity 0)", {v("version")});
  if (note.code == "asked-all") return "--all";
  if (note.code == "none-stored") return TrIn(l, "the database holds no record of this terminal's log yet");
  if (note.code == "gaps")
    return TrInNFill(l, "the database misses {0} of the first {1} record of this log",
                     "the database misses {0} of the first {1} records of this log", Count(v("first")),
                     {v("missing"), v("first")});
  if (note.code == "fewer-held")
    return TrInNFill(l, "the terminal holds {0} record, fewer than the {1} stored",
                     "the terminal holds {0} records, fewer than the {1} stored", Count(v("held")),
                     {v("held"), v("stored")});
  if (note.code == "log-not-told") return TrIn(l, "the terminal did not tell its log");
  // The run's record in the database (the sync itself went on).
  if (note.code == "record-start") return TrInFill(l, "the sync's start could not be recorded: {0}", {ErrorText(l, note.values)});
  if (note.code == "record-end") return TrInFill(l, "the sync's end could not be recorded: {0}", {ErrorText(l, note.values)});
  if (note.code == "conflict")
    return TrInFill(l,
                    "{0}: serial {1}, log generation {2}: record {3} is not the one stored (stored: person {4} at {5}; "
                    "delivered: person {6} at {7}); both are kept, the terminal's log going on as epoch {8}",
                    {WhereText(l, v("port"), v("terminal")), v("serial"), v("generation"), v("index"),
                     v("stored_person"), v("stored_time"), v("person"), v("time"), v("epoch")});
  std::string text = note.code;
  for (const auto& [key, value] : note.values)
    if (!IsSaidValue(key)) text += " " + key + "=" + value;
  return text;
}

std::string NotesText(Language l, const std::vector<SyncNote>& notes) {
  std::string text;
  for (const SyncNote& note : notes) text += (text.empty() ? "" : "; ") + NoteText(l, note);
  return text;
}

}  // namespace vanto::host
