// The Enrolments page (hr, admin): what the host's enrolment table holds, whose, which kind and
// from or for which terminal. It says plainly that this is the host's copy: the protocol cannot
// list a terminal's enrolled people, and the page never pretends to.
#pragma once

#include <vector>

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /enrolments.
std::vector<Route> EnrolmentsRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
