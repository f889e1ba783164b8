#include "host/site_choice.h"

#include "host/db/database.h"
#include "host/db/sites.h"
#include "host/message.h"
#include "host/site/site.h"

namespace vanto::host {

namespace {
std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return list;
}
}  // namespace

SiteChoice ChooseSite(db::Database& db, const std::optional<std::string>& requested, bool adopt,
                      const std::string& by) {
  SiteChoice choice;
  if (requested)
    if (auto problem = site::SiteNameProblem(*requested)) throw site::SiteError(*problem);
  // A file to be made by its first write holds nothing yet: the requested site is taken as it is.
  if (db.schema_version() == 0) {
    if (requested) choice.name = *requested;
    return choice;
  }
  auto tables = db.Tables(!adopt);
  for (const store::SiteRow& row : store::ListSites(*tables)) choice.sites.push_back(row.name);
  if (choice.sites.empty()) {
    if (!requested) return choice;
    choice.name = *requested;
    if (adopt && db.schema_version() >= store::kSitesSchemaVersion) {
      choice.adopted = store::AdoptFirstSite(*tables, *requested, by);
      if (choice.adopted) {
        choice.sites = {*requested};
        choice.filter = *requested;
      }
    }
    return choice;
  }
  if (!requested) {
    if (choice.sites.size() > 1)
      throw site::SiteError(Message(
          "database {0} holds the sites {1}: name one (site = \"NAME\" in the site file, or --site-name NAME)",
          {db.location(), NameList(choice.sites)}));
    choice.name = choice.filter.emplace(choice.sites.front());
    return choice;
  }
  for (const std::string& held : choice.sites)
    if (held == *requested) {
      choice.name = choice.filter.emplace(held);
      return choice;
    }
  throw site::SiteError(Message(
      "database {0} holds no site {1} (it holds {2}): add it with 'vanto site add {1}', or rename one with "
      "'vanto site rename OLD {1}'",
      {db.location(), *requested, NameList(choice.sites)}));
}

}  // namespace vanto::host
