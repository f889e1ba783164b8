// The People page (hr, admin): the people the store knows, searched by number, name or
// department; a person's page with name and department to edit and a month calendar (days
// present, first and last swipe, span; days with one swipe and late days marked); a CSV import
// under the rules of `vanto people import`. Every change writes its audit row in its own
// transaction.
#pragma once

#include <vector>

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// GET /people, GET /people/person, POST /people/edit, POST /people/import.
std::vector<Route> PeopleRoutes(const PageHost& host, const RecordsSource& records);

}  // namespace vanto::web
