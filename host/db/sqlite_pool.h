// The SQLite side of a handle's pool: repositories released by their borrowers wait, each kind on
// an idle list of its own (at most `idle_per_kind`; beyond that one is closed), and the next
// borrow of that kind takes one back with its connection and the statements it has prepared.
// A repository comes back clean: a statement left stepping is reset and a transaction left open
// is rolled back; one whose connection failed (anything but a lock wait or a read-only refusal)
// is closed instead. The lists are guarded: any thread may borrow and release; one thread uses a
// repository at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "host/db/accounts_store.h"
#include "host/db/swipe_feed.h"
#include "host/db/swipe_store.h"
#include "host/db/sync_runs.h"
#include "host/db/table_rows.h"

namespace vanto::store {

template <class Repository>
class SqliteShelf;

class SqlitePool {
 public:
  explicit SqlitePool(std::size_t idle_per_kind);
  ~SqlitePool();
  SqlitePool(const SqlitePool&) = delete;
  SqlitePool& operator=(const SqlitePool&) = delete;

  // An idle repository of the kind, or a new one from `open` (returned as it is, unpooled, when
  // it has no SQLite connection of its own). Released, it comes back here.
  template <class Repository>
  using Opener = std::function<std::unique_ptr<Repository>()>;
  std::unique_ptr<SwipeStore> Swipes(const Opener<SwipeStore>& open);
  std::unique_ptr<SwipeFeed> Feed(const Opener<SwipeFeed>& open);
  std::unique_ptr<SyncRunStore> SyncRuns(const Opener<SyncRunStore>& open);
  std::unique_ptr<AccountsStore> Accounts(const Opener<AccountsStore>& open);
  std::unique_ptr<TokenStore> Tokens(const Opener<TokenStore>& open);
  std::unique_ptr<TableConnection> Tables(bool read_only, const Opener<TableConnection>& open);

  // Repositories idle now, every kind together.
  std::size_t idle() const;

 private:
  std::shared_ptr<SqliteShelf<SwipeStore>> swipes_;
  std::shared_ptr<SqliteShelf<SwipeFeed>> feed_;
  std::shared_ptr<SqliteShelf<SyncRunStore>> runs_;
  std::shared_ptr<SqliteShelf<AccountsStore>> accounts_;
  std::shared_ptr<SqliteShelf<TokenStore>> tokens_;
  std::shared_ptr<SqliteShelf<TableConnection>> tables_;
  std::shared_ptr<SqliteShelf<TableConnection>> tables_reading_;
};

}  // namespace vanto::store
