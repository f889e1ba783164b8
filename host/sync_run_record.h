// The record of one site sync in the database (store/sync_runs.h): begun when made, before the
// ports are reached, and finished with the sync's rows. A failure to record does not stop the
// sync: it is told through SyncSettings::on_record_failure.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/sync.h"

namespace vanto::host {

class SyncRunRecord {
 public:
  SyncRunRecord(const site::Site& site, const SyncSettings& settings);
  ~SyncRunRecord();
  void Finish(const std::vector<TerminalSync>& rows);
  // Each terminal's row of the newest finished run before this one (empty when none could be read).
  const std::map<std::pair<int, int>, store::LastSync>& previous() const { return previous_; }
  // The run's id in the database (absent when its start could not be recorded).
  std::optional<std::int64_t> id() const { return id_; }

 private:
  const SyncSettings& settings_;
  std::unique_ptr<store::SyncRunStore> store_;
  std::optional<std::int64_t> id_;
  std::map<std::pair<int, int>, store::LastSync> previous_;
};

// A sync's row as the record keeps it; a failed row's words from `cause_words` (when given).
store::RunTerminal RunTerminalOf(const TerminalSync& row,
                                 const std::function<std::string(const TerminalSync&)>& cause_words = nullptr);

}  // namespace vanto::host
