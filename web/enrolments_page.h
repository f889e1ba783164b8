// The Enrolments page (hr, admin): what the host's enrolment table holds, whose, which kind and
// from or for which terminal. It says plainly that this is the host's copy: the protocol cannot
// list a terminal's enrolled people, and the page never pretends to. An admin backs up a person
// from a terminal of the site into the table, and copies a person's enrolment (the stored one,
// or one backed up from a terminal first) to chosen terminals, with a result per terminal. Each
// action on a terminal has its audit rows (intent, outcome) under the signed-in user and waits
// a short bound for a sync or another action holding the port, then says the port is busy.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "host/enrolment.h"
#include "host/sync_jobs.h"

#include "web/page.h"
#include "web/records.h"

namespace vanto::web {

// The terminals the console's forms on terminals offer: each listed terminal of the site's ports;
// of a scanned port, the terminals a sync has reached (this server's last sync or the recorded
// runs, read from `database`), or its whole range when none has and the range is small.
std::vector<host::TerminalAt> OfferedTerminals(const host::SyncJobs& jobs, const std::function<db::Database&()>& database);
// The same, over the console's database.
std::vector<host::TerminalAt> OfferedTerminals(const host::SyncJobs& jobs, const PageHost& host);

// GET /enrolments, POST /enrolments/backup and /enrolments/write, and POST /terminals/clear (the
// Terminals page's form: a terminal cleared when the database holds every record of it, with
// "understood" confirmed): the console's actions on terminals, which share one gate (one at a
// time, none while a sync holds their port). `jobs`: the site's syncs (its
// terminals, and the syncs an action waits for); null without a site (no actions then).
// `wait`: how long an action waits for its ports before it answers that they are busy.
std::vector<Route> EnrolmentsRoutes(const PageHost& host, const RecordsSource& records, host::SyncJobs* jobs,
                                    std::chrono::milliseconds wait);

}  // namespace vanto::web
