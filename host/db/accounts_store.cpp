#include "host/db/accounts_store.h"

namespace vanto::store {

const char* RoleName(Role role) {
  switch (role) {
    case Role::Admin: return "admin";
    case Role::Hr: return "hr";
    case Role::Viewer: return "viewer";
  }
  return "viewer";
}

std::optional<Role> ParseRole(std::string_view text) {
  if (text == "admin") return Role::Admin;
  if (text == "hr") return Role::Hr;
  if (text == "viewer") return Role::Viewer;
  return std::nullopt;
}

}  // namespace vanto::store
