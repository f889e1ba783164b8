// The whole chain for end-to-end tests and benchmarks: driver -> terminal control -> pseudo-
// terminal -> simulated terminals. Each scenario runs its driver calls on a fresh thread, so
// every scenario gets a freshly created terminal control that reads the settings in force.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "driver/clsMachine.h"
#include "platform/automation/collection.h"
#include "platform/automation/conversions.h"
#include "platform/automation/owners.h"
#include "platform/automation/text.h"
#include "platform/corvel/corvel.h"
#include "terminal/control/fk303id.h"
#include "terminal/control/settings.h"
#include "terminal/sim/simulator.h"

extern char** environ;

namespace e2e {

// Registers the host's record classes and the terminal control in this process.
inline bool RegisterClasses() { return RegisterCorvelClasses() == S_OK && RegisterFK303IDInProcess() == S_OK; }

// The transports a simulated port is served over.
enum class Transport { kPty, kTcp };
inline const char* TransportName(Transport transport) { return transport == Transport::kPty ? "Pty" : "Tcp"; }

// Removes every setting of the control from the environment (per-port ones included).
inline void ClearControlSettings() {
  std::vector<std::string> names;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text(*entry);
    if (text.rfind("VANTO_FK_", 0) == 0) names.push_back(text.substr(0, text.find('=')));
  }
  for (const std::string& name : names) ::unsetenv(name.c_str());
}

// Points the control's ports at `site`'s lines (`paths`, as Start gave them) and sets further
// settings; every other setting of the control is cleared. A port the site does not serve
// leads nowhere.
inline void UseSite(const terminal::sim::SimulatorSite& site, const std::map<int, std::string>& paths,
                    const std::map<std::string, std::string>& settings = {}) {
  ClearControlSettings();
  const std::string pattern = site.LinkDir().empty() ? "/nonexistent/vanto-port{N}" : site.LinkDir() + "/port{N}";
  ::setenv(terminal::control::kPortPatternVariable, pattern.c_str(), 1);
  for (const auto& [port, path] : paths) ::setenv(terminal::control::PortVariable(port).c_str(), path.c_str(), 1);
  for (const auto& [name, value] : settings) ::setenv(name.c_str(), value.c_str(), 1);
}

// Runs `work` on a new thread and waits for it.
inline void OnFreshThread(const std::function<void()>& work) {
  std::thread worker(work);
  worker.join();
}

struct Result {
  bool ok = false;
  std::string message;
};

inline Result Finish(VARIANT_BOOL result, BSTR message) {
  Bstr owned = Bstr::Adopt(message);
  return {result == VARIANT_TRUE, ToUtf8(owned.View())};
}

inline Result Download(IMachine* machine, SHORT port, SHORT terminal, _Collection* list) {
  BSTR message = Bstr(u"主机的消息").Detach();
  VARIANT_BOOL result = VARIANT_FALSE;
  _Collection* raw = list;
  machine->DownloadCarddata(VARIANT_TRUE, nullptr, port, terminal, &raw, &message, &result);
  return Finish(result, message);
}

inline Result Register(IMachine* machine, ComPtr<_Collection>& found, SHORT portMin, SHORT portMax, SHORT min, SHORT max) {
  BSTR message = Bstr(u"").Detach();
  VARIANT_BOOL result = VARIANT_FALSE;
  _Collection* raw = nullptr;
  machine->funcRegister(&raw, VARIANT_TRUE, portMin, portMax, nullptr, nullptr, min, max, &message, &result);
  found = ComPtr<_Collection>::Adopt(raw);
  return Finish(result, message);
}

inline Result Backup(IMachine* machine, SHORT port, SHORT terminal, std::u16string_view person, RowSet* rows) {
  BSTR message = Bstr(u"").Detach();
  VARIANT_BOOL result = VARIANT_FALSE;
  Bstr personText(person);
  RowSet* raw = rows;
  machine->funcBackFingure(VARIANT_TRUE, nullptr, port, terminal, personText.Get(), &raw, &message, &result);
  return Finish(result, message);
}

inline Result Rewrite(IMachine* machine, SHORT port, SHORT terminal, std::u16string_view person, RowSet* rows) {
  BSTR message = Bstr(u"").Detach();
  VARIANT_BOOL result = VARIANT_FALSE;
  Bstr personText(person);
  machine->funcReWrite(VARIANT_TRUE, nullptr, port, terminal, personText.Get(), rows, &message, &result);
  return Finish(result, message);
}

inline LONG CountOf(_Collection* list) {
  LONG count = -1;
  list->Count(&count);
  return count;
}

inline ComPtr<IDispatch> ItemOf(_Collection* list, LONG position) {
  Variant index = Variant::I4(position);
  Variant item;
  if (list->Item(index.Ptr(), item.Put()) != S_OK || item.Type() != VT_DISPATCH) return {};
  return ComPtr<IDispatch>(item.Raw().pdispVal);
}

struct Swipe {
  LONG person = 0;
  DATE when = 0;
};

inline Swipe SwipeAt(_Collection* list, LONG position) {
  ComPtr<IDispatch> item = ItemOf(list, position);
  ComPtr<ICardRecord> record;
  Swipe swipe;
  if (!item || item.As(IID_ICardRecord, &record) != S_OK) return {-1, -1};
  Variant person, when;
  record->get_PersonNo(person.Put());
  record->get_SwipeTime(when.Put());
  Variant personLong, whenDate;
  if (VariantChangeType(personLong.Ptr(), person.Ptr(), 0, VT_I4) == S_OK) swipe.person = personLong.Raw().lVal;
  if (VariantChangeType(whenDate.Ptr(), when.Ptr(), 0, VT_DATE) == S_OK) swipe.when = whenDate.Raw().date;
  return swipe;
}

inline DATE DateOf(const terminal::protocol::CardRecordFields& r) {
  DATE date = 0;
  DateFromParts(r.year, r.month, r.day, r.hour, r.minute, 0, &date);
  return date;
}

// Whether `when` is the record's minute exactly (dates are days; a second is 1/86400).
inline bool SameMinute(DATE when, const terminal::protocol::CardRecordFields& r) {
  return std::fabs(when - DateOf(r)) < 0.5 / 86400.0;
}

}  // namespace e2e
