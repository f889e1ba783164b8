#include "host/sync_words.h"

#include "host/sync.h"

namespace vanto::host {
namespace {

std::string ValueOf(const store::CauseValues& values, const char* name) {
  for (const auto& [key, value] : values)
    if (key == name) return value;
  return {};
}

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
    return v("error");
  }
  if (code == "store") {
    if (v("reason") == "other-terminal") return TrIn(l, "not read: the database failed on another terminal");
    return TrInNFill(l, "{0}; {1} record read, {2} stored", "{0}; {1} records read, {2} stored", Count(v("read")),
                     {v("error"), v("read"), v("delivered")});
  }
  if (code == "conflict")
    return TrInFill(l, "the log is not the one stored: all records kept, the log going on as epoch {0}", {v("epoch")});
  if (code == "quarantined")
    return TrInNFill(l, "{0} record quarantined ('vanto rejected' lists it)",
                     "{0} records quarantined ('vanto rejected' lists them)", Count(v("count")), {v("count")});
  if (code == "host") {
    if (v("reason") == "port-thread") return TrIn(l, "the host failed on this port's thread");
    if (v("reason") == "sync-thread") return TrIn(l, "the host failed on the sync's thread");
    return v("error");
  }
  if (code == "cancelled" || code == "clone" || code.empty()) return {};
  return code;
}

}  // namespace

store::CauseValues PortFaultValues(int port, const PortCause& cause) {
  store::CauseValues values = {{"port", std::to_string(port)}, {"device", cause.device}};
  if (!cause.detail.empty()) values.emplace_back("detail", cause.detail);
  if (cause.terminal) values.emplace_back("terminal", std::to_string(cause.terminal));
  if (cause.holder_pid > 0) values.emplace_back("holder_pid", std::to_string(cause.holder_pid));
  if (!cause.holder_name.empty()) values.emplace_back("holder_name", cause.holder_name);
  return values;
}

std::string DescribePortCause(Language l, int port, const PortCause& cause) {
  return PortFaultText(l, cause.fault, PortFaultValues(port, cause));
}

bool IsPortFault(const std::string& code) {
  return code == "missing" || code == "permission" || code == "busy" || code == "not-serial" || code == "setting" ||
         code == "open" || code == "line";
}

std::string CauseText(Language l, const std::string& code, const store::CauseValues& values) {
  std::string text = MainText(l, code, values);
  // One identity answering at two places, with conflicts: said after the cause.
  const std::string serial = ValueOf(values, "clone_serial");
  if (!serial.empty()) {
    const std::string clone =
        TrInFill(l, "serial {0} also answered as {1}: a cloned identity; each log is kept in its own epoch",
                 {serial, ValueOf(values, "clone_elsewhere")});
    text = text.empty() ? clone : text + "; " + clone;
  }
  return text;
}

std::string CauseText(Language l, const TerminalSync& row) { return CauseText(l, row.cause_code, row.cause_values); }

std::string CauseText(Language l, const store::RunTerminal& row) {
  if (row.cause_values.empty() && !row.cause.empty()) return row.cause;
  return CauseText(l, row.cause_code, row.cause_values);
}

}  // namespace vanto::host
