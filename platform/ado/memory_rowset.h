// A row set held in memory, for hosts and tests: declared columns, rows added with AddNew and
// committed with Update.
#pragma once

#include <vector>

#include "platform/ado/columns.h"
#include "platform/ado/rowset.h"
#include "platform/automation/owners.h"

// An empty row set with `columns`; null (with the reason raised) when the declaration is not
// valid: no column, an empty name, or a name declared twice (names compare without case).
ComPtr<RowSet> CreateMemoryRowSet(std::vector<ColumnSpec> columns);
// An empty row set with the enrolment columns (EnrolmentColumns()).
ComPtr<RowSet> CreateEnrolmentRowSet();
