// The host's record store: the card swipes downloaded from terminals, in whichever database the
// location names (swipe_store.h). A swipe is keyed by (port, terminal, person, minute, k): the
// k-th occurrence of that person and minute in the terminal's delivery order. A repeated or
// resumed download therefore stores nothing twice, and two genuine swipes of one person in the
// same minute stay two records. Delivery does the keying; the store only keeps keyed rows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cli/store/civil_time.h"
#include "cli/store/swipe_store.h"

namespace vanto::store {

// One swipe as a terminal delivers it.
struct Swipe {
  std::int32_t person = 0;
  DATE time = 0;
};

// An open store, whichever engine holds it.
class RecordStore {
 public:
  // Opens (or creates) the store at `location` (an SQLite path or a database URL) and brings its
  // schema up to date. Throws StoreError with a one-line message naming the location.
  static RecordStore Open(const std::string& location, const OpenOptions& options = {});

  // Whether `location` holds a table of that name, read without writing; throws StoreError when
  // it is no database this process can read (missing, a folder, unreadable, not a database,
  // locked too long).
  static bool HasTable(const std::string& location, const std::string& table,
                       std::chrono::milliseconds lock_timeout = std::chrono::milliseconds(5000));

  explicit RecordStore(std::unique_ptr<SwipeStore> store) : store_(std::move(store)) {}

  SwipeStore& swipes() const { return *store_; }
  const std::string& path() const { return store_->location(); }

  // Stored swipes, optionally of one port and terminal, ordered by time, person, port, terminal
  // and occurrence.
  std::vector<StoredSwipe> Swipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const {
    return store_->Swipes(port, terminal);
  }
  std::int64_t CountSwipes(std::optional<int> port = {}, std::optional<int> terminal = {}) const {
    return store_->CountSwipes(port, terminal);
  }
  void Each(const SwipeQuery& query, const std::function<bool(const StoredSwipe&)>& row) const {
    store_->Each(query, row);
  }

 private:
  std::unique_ptr<SwipeStore> store_;
};

// One download run from one terminal: keys each swipe by its occurrence in delivery order and
// stores the ones the database does not hold yet. Feed it the swipes in the order the terminal
// delivered them, in as many batches as convenient; each batch is one transaction.
class Delivery {
 public:
  struct Keyed {
    Swipe swipe;
    std::string minute;
    int occurrence = 1;
    bool added = false;  // stored by this batch (false: the database had it already)
  };

  Delivery(SwipeStore& store, int port, int terminal, std::string downloaded_at = UtcNowText());
  Delivery(RecordStore& store, int port, int terminal, std::string downloaded_at = UtcNowText())
      : Delivery(store.swipes(), port, terminal, std::move(downloaded_at)) {}

  // Keys the next swipes of the delivery without storing anything: what Store would store.
  std::vector<StoredSwipe> Key(std::span<const Swipe> next) const;

  // Stores the next swipes of the delivery. On a StoreError nothing of the batch is stored and
  // the delivery stands where it stood, so the same batch can be offered again.
  std::vector<Keyed> Store(std::span<const Swipe> next);

  std::size_t delivered() const { return delivered_; }
  std::size_t added() const { return added_; }

 private:
  SwipeStore& store_;
  int port_, terminal_;
  std::string downloaded_at_;
  std::map<std::pair<std::int32_t, std::string>, int> seen_;
  std::size_t delivered_ = 0, added_ = 0;
};

}  // namespace vanto::store
