// The host's listings and reports over the swipe store: the people beside person numbers
// and the attendance report built from one streamed query (present/swipe_export.h lists swipes).
// Everything goes through the store seam, so every engine serves the same.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/errors.h"
#include "host/report/attendance.h"
#include "host/report/cells.h"
#include "host/report/people.h"
#include "host/db/swipe_store.h"

namespace vanto::host {

// The format of --csv / --json (a table when neither), --csv --raw the CSV for programs; both
// --csv and --json, or --raw without --csv, is an InputError.
report::Format ChooseFormat(bool csv, bool json, bool raw = false);

// The schema version that brought the people table (schema.cpp). A database read as it is,
// older than this, has no names: its swipes are listed without them.
constexpr int kPeopleSchemaVersion = 2;
bool HoldsPeople(const store::SwipeStore& store);

// The people of `site` (every site's when none: SiteChoice::filter), by site and person number,
// as the report library takes them (none when its schema predates the people table).
std::vector<report::Person> StoredPeople(const store::SwipeStore& store,
                                         const std::optional<std::string>& site = std::nullopt);

// The attendance report of `days` (working days starting at `day_starts`, minutes after
// midnight) over every stored swipe in them, with every known person; first swipes after
// `late_after` (minutes after midnight) marked late. `scope` selects the swipes within the days
// (its time bounds are the days'): with persons, only those people; with a site, only that
// site's swipes (SiteChoice::filter), as every listing selects them.
report::Report BuildReport(const store::SwipeStore& store, report::DayRange days, int day_starts,
                           std::optional<int> late_after = std::nullopt, store::SwipeQuery scope = {});
// A report's scope: the swipes of `site` (SiteChoice::filter; none: every site's), of `persons`
// only when given.
store::SwipeQuery ReportScope(std::optional<std::string> site, std::vector<std::int32_t> persons = {});

}  // namespace vanto::host
