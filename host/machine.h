// The host's view of the driver: one VANTO.clsMachine object, created through the component
// runtime by its ProgID, and the IMachine operations as the host calls them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/ports.h"
#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"

namespace vanto::host {


// What an operation answered: its Boolean result and its strMsg (UTF-8, as the driver gave it).
struct Outcome {
  bool ok = false;
  std::string message;
};

struct FoundTerminal {
  int port = 0;
  int terminal = 0;
};

class Machine {
 public:
  // Makes the host's own classes and the built modules known to the component runtime (once
  // per process), then creates VANTO.clsMachine. Throws HostError saying what failed.
  static Machine Create();
  // Wraps an object the caller created some other way (tests).
  static Machine Wrap(ComPtr<IMachine> machine) { return Machine(std::move(machine)); }

  Outcome Scan(Range ports, Range terminals, std::vector<FoundTerminal>* found);
  // Appends the terminal's swipes to `cdata` (a Collection the host owns).
  Outcome Download(int port, int terminal, _Collection* cdata);
  // Backs up one person's enrolment into the current row of `rows` (not committed).
  Outcome Backup(int port, int terminal, const std::string& person, ComPtr<RowSet>& rows);
  // Writes the person's enrolment from `rows` to the terminal over the port last selected.
  Outcome Restore(int port, int terminal, const std::string& person, RowSet* rows);

  IMachine* get() const { return machine_.Get(); }

 private:
  Outcome ScanOnce(Range ports, Range terminals, std::vector<FoundTerminal>* found);
  explicit Machine(ComPtr<IMachine> machine) : machine_(std::move(machine)) {}
  ComPtr<IMachine> machine_;
};

// A variant holding a number (by value or by reference) as a 64-bit integer; false when it
// holds something else.
bool VariantToInt(const VARIANT& value, long long* out);

}  // namespace vanto::host
