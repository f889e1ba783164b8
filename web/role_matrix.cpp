#include "web/role_matrix.h"

namespace vanto::web {
namespace {

// viewer: the dashboard and reports; hr: also swipes, people, terminals (read), enrolments
// (list), rejected and conflicting records; admin: also sync, clear, back up and write
// enrolments, acknowledge conflicts, fold doubles, users, the audit trail and the Sites page.
// Attendance: every role reads it; HR and admin edit shifts, leave and corrections and close a
// month; only an admin reopens one. The To review page (its days, their swipes, marking them
// reviewed) is HR's and admin's.
// The last column: whether the action follows the chosen site, or acts on the serving host's
// own terminals (another site's are shown read-only).
constexpr SiteUse F = SiteUse::Follows, T = SiteUse::OwnTerminals, N = SiteUse::None;
constexpr Permission kRoleMatrix[] = {
    //  action                        name                    viewer  hr     admin  site
    {Action::ViewDashboard,       "dashboard",            true,  true,  true,  F},
    {Action::ViewReports,         "reports",              true,  true,  true,  F},
    {Action::ChooseLanguage,      "language",             true,  true,  true,  N},
    {Action::ViewSwipes,          "swipes",               false, true,  true,  F},
    {Action::ViewPeople,          "people",               false, true,  true,  F},
    {Action::EditPeople,          "people.edit",          false, true,  true,  F},
    {Action::ImportPeople,        "people.import",        false, true,  true,  F},
    {Action::ViewTerminals,       "terminals",            false, true,  true,  T},
    {Action::ViewEnrolments,      "enrolments",           false, true,  true,  T},
    {Action::ViewRejected,        "rejected",             false, true,  true,  F},
    {Action::Sync,                "sync",                 false, false, true,  T},
    {Action::ClearTerminal,       "terminal.clear",       false, false, true,  T},
    {Action::BackupEnrolment,     "enrolment.backup",     false, false, true,  T},
    {Action::WriteEnrolment,      "enrolment.write",      false, false, true,  T},
    {Action::AcknowledgeConflict, "conflict.acknowledge", false, false, true,  F},
    {Action::FoldDoubles,         "swipes.fold",          false, false, true,  T},
    {Action::ManageUsers,         "users",                false, false, true,  N},
    {Action::ViewAudit,           "audit",                false, false, true,  N},
    {Action::ViewSites,           "sites",                false, false, true,  N},
    {Action::ViewAttendance,      "attendance",           true,  true,  true,  F},
    {Action::EditShifts,          "shifts.edit",          false, true,  true,  F},
    {Action::EditLeave,           "leave.edit",           false, true,  true,  F},
    {Action::EditCorrections,     "corrections.edit",     false, true,  true,  F},
    {Action::CloseMonth,          "month.close",          false, true,  true,  F},
    {Action::ReopenMonth,         "month.reopen",         false, false, true,  F},
    {Action::ReviewDays,          "days.review",          false, true,  true,  F},
};

const Permission* Find(Action action) {
  for (const Permission& p : kRoleMatrix)
    if (p.action == action) return &p;
  return nullptr;
}

}  // namespace

std::span<const Permission> RoleMatrix() { return kRoleMatrix; }

bool Allowed(accounts::Role role, Action action) {
  const Permission* p = Find(action);
  if (!p) return false;  // an action missing from the table is allowed to no one
  switch (role) {
    case accounts::Role::Viewer: return p->viewer;
    case accounts::Role::Hr: return p->hr;
    case accounts::Role::Admin: return p->admin;
  }
  return false;
}

SiteUse SiteUseOf(Action action) {
  const Permission* p = Find(action);
  return p ? p->site : SiteUse::None;
}

const char* ActionName(Action action) {
  const Permission* p = Find(action);
  return p ? p->name : "unknown";
}

}  // namespace vanto::web
