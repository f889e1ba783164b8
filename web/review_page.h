// The To review page (HR and admin): the days of the chosen site whose status needs a look
// (host::ToReview), over a period (today and the six days before, in the site's time zone, by
// default), with each day's actions in place: add the missed swipe, set a swipe aside, record
// leave, mark reviewed or unmark. Each action is a plain form post that comes back to the same
// view with a notice, or with the host's refusal in the reader's language.
#pragma once

#include <vector>

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /review; POST /review/add-swipe, /review/set-aside, /review/leave, /review/mark,
// /review/unmark.
std::vector<Route> ReviewRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
