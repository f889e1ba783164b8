#include "web/role_matrix.h"

namespace vanto::web {
namespace {

// viewer: the dashboard and reports; hr: also swipes, people, terminals (read), enrolments
// (list), rejected and conflicting records; admin: also sync, clear, back up and write
// enrolments, acknowledge conflicts, fold doubles, users and the audit trail.
constexpr Permission kRoleMatrix[] = {
    //  action                        name                    viewer  hr     admin
    {Action::ViewDashboard,       "dashboard",            true,  true,  true},
    {Action::ViewReports,         "reports",              true,  true,  true},
    {Action::ChooseLanguage,      "language",             true,  true,  true},
    {Action::ViewSwipes,          "swipes",               false, true,  true},
    {Action::ViewPeople,          "people",               false, true,  true},
    {Action::EditPeople,          "people.edit",          false, true,  true},
    {Action::ImportPeople,        "people.import",        false, true,  true},
    {Action::ViewTerminals,       "terminals",            false, true,  true},
    {Action::ViewEnrolments,      "enrolments",           false, true,  true},
    {Action::ViewRejected,        "rejected",             false, true,  true},
    {Action::Sync,                "sync",                 false, false, true},
    {Action::ClearTerminal,       "terminal.clear",       false, false, true},
    {Action::BackupEnrolment,     "enrolment.backup",     false, false, true},
    {Action::WriteEnrolment,      "enrolment.write",      false, false, true},
    {Action::AcknowledgeConflict, "conflict.acknowledge", false, false, true},
    {Action::FoldDoubles,         "swipes.fold",          false, false, true},
    {Action::ManageUsers,         "users",                false, false, true},
    {Action::ViewAudit,           "audit",                false, false, true},
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

const char* ActionName(Action action) {
  const Permission* p = Find(action);
  return p ? p->name : "unknown";
}

}  // namespace vanto::web
