#include "present/swipe_export.h"

#include <cstdint>
#include <string>
#include <map>
#include <utility>

#include "host/attendance_data.h"
#include "present/report/formats.h"

namespace vanto::host {

std::size_t ExportSwipes(const store::SwipeStore& store, const store::SwipeQuery& query, report::Format format,
                         std::ostream& out) {
  // Each swipe's name is its site's person's: keyed by site and person.
  std::map<std::pair<std::string, std::int32_t>, std::string> names;
  if (HoldsPeople(store))
    for (store::PersonName& p : store.People(query.site)) names.emplace(std::pair{std::move(p.site), p.person}, std::move(p.name));
  report::SwipeWriter writer(out, format);
  store.Each(query, [&](const store::StoredSwipe& s) {
    auto name = names.find({s.site, s.person});
    writer.Write({s.time, s.port, s.terminal, s.person, name == names.end() ? nullptr : &name->second});
    return static_cast<bool>(out);  // a closed pipe or a full disk stops the query
  });
  return writer.rows();
}

}  // namespace vanto::host
