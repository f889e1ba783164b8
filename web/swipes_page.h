// The Swipes page (hr, admin): stored swipes filtered by period, person, department, port and
// terminal, paged by position (each page goes on after the last swipe of the one before, so a
// late page costs what the first does), and the same selection as a streamed CSV download with
// the columns of `vanto swipes --csv`.
#pragma once

#include <vector>

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /swipes, GET /swipes/csv.
std::vector<Route> SwipesRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
