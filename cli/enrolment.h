// The enrolment table of the host's database, seen through the SQLite row set the driver
// writes (backup) and reads (restore): one person's rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

namespace vanto::cli {

// Opens the rows of `person` (everyone's when none) in the enrolment table of the database at `path` (which exists;
// the table is created when missing). Throws HostError with a one-line message.
// With `for_reading` the file is opened read-only and the table must exist already.
ComPtr<RowSet> OpenEnrolmentRows(const std::string& path, std::optional<std::int32_t> person,
                                 double lock_timeout_seconds, bool for_reading = false);

// The row count of a row set, or -1 when it cannot tell.
long RowCount(RowSet* rows);
// A Long column of the current row; nullopt-like `fallback` when it holds no number.
long long ColumnNumber(RowSet* rows, const char16_t* column, long long fallback);

}  // namespace vanto::cli
