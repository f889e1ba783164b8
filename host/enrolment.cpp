#include "host/enrolment.h"

#include "host/machine.h"
#include "host/terminal_control.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "host/control_status.h"
#include "host/message.h"
#include "platform/ado/columns.h"
#include "platform/ado/memory_rowset.h"
#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"

namespace vanto::host {
namespace {

std::string Describe(HRESULT hr) { return ToUtf8(TakeErrorDescription(hr)); }

// The current row's columns set to `row`'s values (a column without a value is left as it is).
HRESULT PutRow(RowSet* rows, const EnrolmentRow& row) {
  auto put = [&](const char16_t* column, const Variant& value) {
    Variant name = Variant::Str(column);
    return rows->put_Collect(name.Raw(), value.Raw());
  };
  const std::pair<const char16_t*, std::optional<LONG>> longs[] = {{kColumnPersonNumber, row.personNumber},
                                                                  {kColumnEnrolmentNumber, row.enrolmentNumber},
                                                                  {kColumnMachineNumber, row.machineNumber},
                                                                  {kColumnPassword, row.password}};
  for (const auto& [column, value] : longs)
    if (value)
      if (HRESULT hr = put(column, Variant::I4(*value)); FAILED(hr)) return hr;
  // A password row has an empty template: a rewrite refuses a row whose bFingerprint has no
  // value ("无效使用 Null").
  const std::vector<BYTE> blob = row.fingerprint.value_or(std::vector<BYTE>{});
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(blob.size()));
  if (!array) return E_OUTOFMEMORY;
  if (!blob.empty()) {
    void* data = nullptr;
    if (HRESULT hr = SafeArrayAccessData(array, &data); FAILED(hr)) {
      SafeArrayDestroy(array);
      return hr;
    }
    std::copy(blob.begin(), blob.end(), static_cast<BYTE*>(data));
    SafeArrayUnaccessData(array);
  }
  return put(kColumnFingerprint, Variant::Array(VT_UI1, array));
}

}  // namespace

Message EnrolmentKindName(long long kind) {
  if (kind == kFingerprintKind) return Message("fingerprint");
  if (kind == kPasswordKind) return Message("password");
  return Message("enrolment {0}", {std::to_string(kind)});
}

ComPtr<RowSet> EnrolmentRowsOf(db::Database& db, const SiteChoice& site, std::optional<std::int32_t> person,
                               bool for_reading, std::optional<LONG> kind) {
  ComPtr<RowSet> rows;
  if (HRESULT hr = db.EnrolmentRows(site, person, kind, &rows, for_reading); FAILED(hr) || !rows)
    throw HostError("cannot open the enrolment table of " + db.location() + ": " + Describe(hr));
  return rows;
}

void StoreEnrolment(db::Database& db, const SiteChoice& site, const EnrolmentRow& row) {
  if (!row.personNumber || !row.enrolmentNumber) throw HostError("the backup gave no person or enrolment number");
  const std::string what = "cannot store the " + EnrolmentKindName(*row.enrolmentNumber).English() + " of person " +
                           std::to_string(*row.personNumber) + " in " + db.location() + ": ";
  ComPtr<RowSet> rows = EnrolmentRowsOf(db, site, *row.personNumber, false, *row.enrolmentNumber);
  if (RowCount(rows.Get()) <= 0) {
    if (HRESULT hr = rows->AddNew(); FAILED(hr)) throw HostError(what + Describe(hr));
    if (HRESULT hr = PutRow(rows.Get(), row); FAILED(hr)) {
      rows->CancelUpdate();
      throw HostError(what + Describe(hr));
    }
    if (HRESULT hr = rows->Update(); FAILED(hr)) throw HostError(what + Describe(hr));
    return;
  }
  rows->MoveFirst();
  for (VARIANT_BOOL at_end = VARIANT_FALSE; SUCCEEDED(rows->get_EOF(&at_end)) && !at_end; rows->MoveNext()) {
    if (HRESULT hr = PutRow(rows.Get(), row); FAILED(hr)) {
      rows->CancelUpdate();
      throw HostError(what + Describe(hr));
    }
    if (HRESULT hr = rows->Update(); FAILED(hr)) throw HostError(what + Describe(hr));
  }
}

long RowCount(RowSet* rows) {
  LONG count = -1;
  if (!rows || FAILED(rows->get_RecordCount(&count))) return -1;
  return count;
}

long long ColumnNumber(RowSet* rows, const char16_t* column, long long fallback) {
  Bstr name(column);
  Variant value;
  long long number = 0;
  if (!rows || FAILED(rows->get_Value(name.Get(), value.Put())) || !VariantToInt(value.Raw(), &number)) return fallback;
  return number;
}

namespace {

// "person 17", and of which site when the rows have one ("person 17 of site north").
std::string PersonText(const SiteChoice& site, std::int32_t person) {
  return "person " + std::to_string(person) + (site.name.empty() ? "" : " of site " + site.name);
}

std::string WhereText(int port, int terminal) {
  return "port " + std::to_string(port) + " terminal " + std::to_string(terminal);
}

// "done", "refused" or "failed" after `action`, and what the details add.
std::pair<std::string, std::string> OutcomeOf(const EnrolmentResult& r) {
  switch (r.status) {
    case EnrolmentResult::Status::kDone:
      return {".done", "; " + EnrolmentKindName(r.kind).English()};
    case EnrolmentResult::Status::kNoneStored:
      return {".refused", "; none stored"};
    case EnrolmentResult::Status::kNotAnswering:
      return {".failed", "; the terminal does not answer"};
    case EnrolmentResult::Status::kNotAudited:
      return {".failed", "; not audited"};
    case EnrolmentResult::Status::kRefused:
      break;
  }
  const char* step = r.step == EnrolmentResult::Step::kBackup ? "backup"
                     : r.step == EnrolmentResult::Step::kScan ? "scan"
                                                              : "restore";
  return {".refused", std::string("; the ") + step + " answered False: " + r.outcome.message};
}

// The port's cause when the port itself could not be used; empty otherwise.
std::optional<PortCause> PortCauseOf(int port) {
  try {
    const PortCause cause = ControlStatus::Create().Status(port);
    if (cause.PortUnusable()) return cause;
  } catch (const std::exception&) {  // the status cannot be told: the driver's words stand alone
  }
  return std::nullopt;
}

// `work` between its intent's row and its outcome's row.
template <class Work>
EnrolmentResult Audited(const EnrolmentAuditHook& audit, const std::string& action, const std::string& what, Work work) {
  if (audit) {
    try {
      audit({EnrolmentAudit::Stage::kIntent, action, what});
    } catch (const std::exception& e) {
      EnrolmentResult refused;
      refused.status = EnrolmentResult::Status::kNotAudited;
      refused.failure = MessageOf(e);
      return refused;
    }
  }
  EnrolmentResult result;
  try {
    result = work();
  } catch (const std::exception& e) {
    if (audit) try {
        audit({EnrolmentAudit::Stage::kOutcome, action + ".failed", what + "; " + e.what()});
      } catch (const std::exception&) {
      }
    throw;
  }
  // The outcome's row failing leaves the intent's row standing: the action is not undone for it.
  if (audit) try {
      const auto [suffix, details] = OutcomeOf(result);
      audit({EnrolmentAudit::Stage::kOutcome, action + suffix, what + details});
    } catch (const std::exception&) {
    }
  return result;
}

EnrolmentResult BackupUnaudited(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                std::int32_t person) {
  EnrolmentResult result;
  result.step = EnrolmentResult::Step::kBackup;
  ComPtr<RowSet> rows = CreateEnrolmentRowSet();  // the driver fills its current row
  result.outcome = machine.Backup(port, terminal, std::to_string(person), rows);
  if (!rows) throw HostError("the driver handed back no row set");
  if (!result.outcome.ok) {
    result.status = EnrolmentResult::Status::kRefused;
    result.port_cause = PortCauseOf(port);
    return result;
  }
  EnrolmentRow row;
  if (HRESULT hr = ReadCurrentEnrolmentRow(rows.Get(), &row); FAILED(hr))
    throw HostError(Message("the backup of person {0} gave a row the host cannot read: {1}",
                           {std::to_string(person), ToUtf8(TakeErrorDescription(hr))}));
  StoreEnrolment(db, site, row);
  result.kind = row.enrolmentNumber.value_or(-1);
  return result;
}

EnrolmentResult RestoreUnaudited(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                 std::int32_t person, std::optional<LONG> wanted) {
  EnrolmentResult result;
  result.status = EnrolmentResult::Status::kNoneStored;
  // A database without tables yet (an SQLite file its first write makes, an empty database read
  // as it is) holds no enrolment; every schema step of a database that has one has the table.
  if (db.schema_version() == 0) return result;
  ComPtr<RowSet> rows;
  for (LONG candidate : {kFingerprintKind, kPasswordKind}) {
    if (wanted && *wanted != candidate) continue;
    rows = EnrolmentRowsOf(db, site, person, /*for_reading=*/true, candidate);
    if (RowCount(rows.Get()) > 0) {
      result.kind = candidate;
      break;
    }
    rows = ComPtr<RowSet>();
  }
  if (!rows) return result;
  std::vector<FoundTerminal> found;
  result.step = EnrolmentResult::Step::kScan;
  result.outcome = machine.Scan({port, port}, {terminal, terminal}, &found);
  if (!result.outcome.ok) {
    result.status = EnrolmentResult::Status::kRefused;
    result.port_cause = PortCauseOf(port);
    return result;
  }
  if (found.size() != 1) {
    result.port_cause = PortCauseOf(port);
    result.status = EnrolmentResult::Status::kNotAnswering;
    return result;
  }
  result.step = EnrolmentResult::Step::kRestore;
  result.outcome = machine.Restore(port, terminal, std::to_string(person), rows.Get());
  result.status = result.outcome.ok ? EnrolmentResult::Status::kDone : EnrolmentResult::Status::kRefused;
  if (!result.outcome.ok) result.port_cause = PortCauseOf(port);
  return result;
}

}  // namespace

EnrolmentResult BackupEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                std::int32_t person, const EnrolmentAuditHook& audit) {
  return Audited(audit, "enrolment.backup", PersonText(site, person) + " from " + WhereText(port, terminal),
                 [&] { return BackupUnaudited(machine, db, site, port, terminal, person); });
}

EnrolmentResult RestoreEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, int port, int terminal,
                                 std::int32_t person, std::optional<LONG> wanted, const EnrolmentAuditHook& audit) {
  std::string what = PersonText(site, person) + " to " + WhereText(port, terminal);
  if (wanted) what += " (" + EnrolmentKindName(*wanted).English() + ")";
  return Audited(audit, "enrolment.write", what,
                 [&] { return RestoreUnaudited(machine, db, site, port, terminal, person, wanted); });
}

bool EnrolmentCopy::Done() const {
  if (backup && backup->status != EnrolmentResult::Status::kDone) return false;
  for (const Write& w : writes)
    if (w.failure || w.result.status != EnrolmentResult::Status::kDone) return false;
  return true;
}

EnrolmentCopy CopyEnrolment(Machine& machine, db::Database& db, const SiteChoice& site, std::int32_t person,
                            std::optional<TerminalAt> from, const std::vector<TerminalAt>& to,
                            const EnrolmentAuditHook& audit) {
  EnrolmentCopy copy;
  std::optional<LONG> wanted;
  if (from) {
    copy.backup = BackupEnrolment(machine, db, site, from->port, from->terminal, person, audit);
    if (copy.backup->status != EnrolmentResult::Status::kDone) return copy;
    // What is copied is the kind the first terminal gave, not another kind stored from elsewhere.
    wanted = copy.backup->kind;
  }
  for (const TerminalAt& target : to) {
    if (std::any_of(copy.writes.begin(), copy.writes.end(), [&](const auto& w) { return w.to == target; })) continue;
    EnrolmentCopy::Write write;
    write.to = target;
    try {
      write.result = RestoreEnrolment(machine, db, site, target.port, target.terminal, person, wanted, audit);
    } catch (const std::exception& e) {  // the database's failure, as the host words it
      write.failure = MessageOf(e);
    }
    copy.writes.push_back(std::move(write));
  }
  return copy;
}

void ReleaseEnrolmentPorts(const std::vector<TerminalAt>& used) {
  HostControl control = HostControl::Create();
  std::vector<int> done;
  for (const TerminalAt& at : used) {
    if (std::find(done.begin(), done.end(), at.port) != done.end()) continue;
    done.push_back(at.port);
    PortRelease release(control, at.port);
    control.SelectPort(at.port);
    try {
      control.Info(at.terminal);
    } catch (const TerminalError&) {  // a silent terminal: the port is released all the same
    }
  }
}

void RunReleasingPorts(const std::vector<TerminalAt>& used, const std::function<void()>& action,
                       const std::function<void(const std::string& problem)>& release_failed) {
  std::exception_ptr failure;
  std::thread worker([&] {  // the thread's edge: nothing escapes it
    try {
      action();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      ReleaseEnrolmentPorts(used);
    } catch (const std::exception& e) {
      try {
        if (release_failed) release_failed(std::string("releasing the ports failed: ") + e.what());
      } catch (...) {
      }
    } catch (...) {
    }
  });
  worker.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vanto::host
