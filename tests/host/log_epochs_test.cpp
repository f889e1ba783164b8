// Which epoch of a log a terminal reads on in, and what of that log the database misses, once a
// conflict opened an epoch part way through it: the records below the epoch's first index are
// held in the epoch it was opened from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "host/terminal_sync.h"
#include "host/db/openers.h"

namespace vanto::host {
namespace {

std::vector<store::Swipe> Log(int count, std::int32_t first_person) {
  std::vector<store::Swipe> out;
  for (int i = 0; i < count; ++i) out.push_back({first_person + i % 7, 46000.0 + i / 1440.0});
  return out;
}

TEST(LogEpochs, AnEpochOpenedPartWayKeepsTheLogBelowItInItsParent) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("vanto-epochs-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  struct Remove {
    std::filesystem::path path;
    ~Remove() { std::filesystem::remove_all(path); }
  } remove{folder};
  store::RecordStore store = store::OpenRecordStore((folder / "epochs.db").string());
  const store::LogKey log{0x5601, 3, 0};
  {
    store::Delivery first(store, 1, 1);
    first.Position(log, 0);
    first.Store(Log(10, 100));
  }
  // The same identity and generation from port 2: records 0-4 as stored, 5-9 others.
  std::vector<store::Swipe> other = Log(10, 100);
  for (int i = 5; i < 10; ++i) other[static_cast<std::size_t>(i)].person = 900 + i;
  store::Delivery second(store, 2, 1);
  second.Position(log, 0);
  second.Store(other);
  ASSERT_EQ(second.conflicts().size(), 1u);
  ASSERT_TRUE(second.log());
  EXPECT_EQ(second.log()->epoch, 1u);

  struct Case {
    int port, terminal;
    std::uint32_t epoch;
  };
  for (const Case& c : {Case{2, 1, 1}, Case{1, 1, 0}, Case{3, 1, 0}})
    EXPECT_EQ(CurrentLogAt(store.swipes(), log.identity, log.generation, c.port, c.terminal).epoch, c.epoch)
        << "port " << c.port;

  const store::LogKey opened = *second.log();
  EXPECT_TRUE(MissingOfLog(store.swipes(), opened, 10).empty());
  EXPECT_EQ(MissingOfLog(store.swipes(), opened, 12), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{10, 11}}));
  // A record of the parent below the epoch's first index is part of the log too.
  {
    const auto rows = store.swipes().Epochs(log.identity, log.generation);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].first, 5u);
  }
  EXPECT_TRUE(store.swipes().LowerEpochStart(opened, 0));
  EXPECT_EQ(MissingOfLog(store.swipes(), opened, 10), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 4}}))
      << "the log below the lowered start is not held in the epoch";
}

}  // namespace
}  // namespace vanto::host
