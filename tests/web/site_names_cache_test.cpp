// The site chooser's names: read once within the bound, read again after it, and a failed read
// never kept.
#include "web/site_names_cache.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vanto::web {
namespace {

TEST(SiteNamesCache, ReadsAtMostOnceABoundAndKeepsNoFailure) {
  struct Step {
    int at_ms;         // the steady clock when asked
    bool fails;        // the database read fails (if it is read)
    int reads;         // reads so far after it
    std::size_t sites; // names answered (the database gains a site at each read)
    bool throws;
  } steps[] = {
      {0, false, 1, 1, false},      // first request: read
      {999, false, 1, 1, false},    // within the bound: kept
      {1000, false, 2, 2, false},   // a site added is seen once the bound has passed
      {1500, true, 2, 2, false},    // kept: the database is not asked
      {2000, true, 3, 0, true},     // read, fails: the failure passes on
      {2001, false, 4, 3, false},   // not kept: read again at once
      {1000, false, 5, 4, false},   // a clock that went back is no reason to keep
  };
  std::chrono::steady_clock::time_point now{};
  SiteNamesCache cache(std::chrono::seconds(1), [&] { return now; });
  int reads = 0;
  std::size_t held = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at_ms);
    now = std::chrono::steady_clock::time_point(std::chrono::milliseconds(s.at_ms));
    auto read = [&] {
      ++reads;
      if (s.fails) throw std::runtime_error("database gone");
      return std::vector<store::SiteName>(++held, store::SiteName{"north", "host-a"});
    };
    if (s.throws) {
      EXPECT_THROW(cache.Get(read), std::runtime_error);
    } else {
      EXPECT_EQ(cache.Get(read).size(), s.sites);
    }
    EXPECT_EQ(reads, s.reads);
  }
}

}  // namespace
}  // namespace vanto::web
