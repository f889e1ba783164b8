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
};

struct Permission {
  Action action;
  const char* name;  // as the audit trail and the tests name it
  bool viewer, hr, admin;
};

// The role matrix.
std::span<const Permission> RoleMatrix();
bool Allowed(accounts::Role role, Action action);
const char* ActionName(Action action);

}  // namespace vanto::web
