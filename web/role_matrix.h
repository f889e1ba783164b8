// Who may do what in the console: one table of actions against roles. Every route names the
// action it performs and is refused (403) to a role the table does not allow.
#pragma once

#include <span>

#include "accounts/accounts_store.h"

namespace vanto::web {

enum class Action {
  ViewDashboard,
  ViewReports,
  ChooseLanguage,       // the signed-in user's own page language
  ViewSwipes,
  ViewPeople,
  EditPeople,
  ImportPeople,
  ViewTerminals,
  ViewEnrolments,
  ViewRejected,         // rejected and conflicting records
  Sync,
  ClearTerminal,
  BackupEnrolment,
  WriteEnrolment,
  AcknowledgeConflict,
  FoldDoubles,          // swipes stored twice under two epochs of one log
  ManageUsers,
  ViewAudit,
  ViewSites,            // the view over every site of the database
  ViewAttendance,       // the days' statuses, leave and corrections
  EditShifts,           // shifts, patterns, assignments, holidays and rest days
  EditLeave,
  EditCorrections,      // a missed swipe added, a swipe set aside, either withdrawn
  CloseMonth,
  ReopenMonth,          // a closed month judged again
  ReviewDays,           // the To review page: the days that need a look, marked reviewed or not
};

// Where the database holds sites, a route of an action that follows the site shows the site the
// user chose (the chooser in the page frame, or `?site=NAME`), among the sites the user may see;
// one that acts on terminals runs only on the serving host's own site.
enum class SiteUse { None, Follows, OwnTerminals };

struct Permission {
  Action action;
  const char* name;  // as the audit trail and the tests name it
  bool viewer, hr, admin;
  SiteUse site = SiteUse::None;
};

// The role matrix.
std::span<const Permission> RoleMatrix();
bool Allowed(accounts::Role role, Action action);
const char* ActionName(Action action);
SiteUse SiteUseOf(Action action);

}  // namespace vanto::web
