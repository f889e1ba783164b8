// The host's record store: the card swipes downloaded from terminals, in whichever database the
// location names (swipe_store.h). A swipe of a terminal that tells its identity (protocol
// version 2) is keyed by (identity, log generation, epoch, record index): the same record read again,
// from another port or by another download, is the same row. A swipe of a version 1 terminal is
// keyed by (port, terminal, person, minute, k): the k-th occurrence of that person and minute in
// the terminal's delivery order. Either way a repeated or resumed download stores nothing twice,
// and two genuine swipes of one person in the same minute stay two records. Delivery does the
// keying; the store only keeps keyed rows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/db/civil_time.h"
#include "host/db/swipe_store.h"

namespace vanto::store {

// One swipe as a terminal delivers it.
struct Swipe {
  std::int32_t person = 0;
  DATE time = 0;
};

// An open store, whichever engine holds it.
class RecordStore {
 public:

  // `site`: the site whose terminals deliver the swipes stored through it ('' none named).
  explicit RecordStore(std::unique_ptr<SwipeStore> store, std::string site = "")
      : store_(std::move(store)), site_(std::move(site)) {}

  SwipeStore& swipes() const { return *store_; }
  const std::string& site() const { return site_; }
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
  LogCoverage Coverage(const LogKey& log) const { return store_->Coverage(log); }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Missing(const LogKey& log, std::uint32_t held,
                                                               std::size_t limit = 10) const {
    return store_->Missing(log, held, limit);
  }
  // Keeps `record` as this store's site's.
  bool AddRejected(RejectedRecord record) {
    record.site = site_;
    return store_->AddRejected(record);
  }
  std::vector<RejectedRecord> Rejected(const std::optional<std::string>& site = {}) const {
    return store_->Rejected(site);
  }

 private:
  std::unique_ptr<SwipeStore> store_;
  std::string site_;
};

// Counts per person and minute (minutes since 1970), kept small: a delivery
// holds one per distinct person and minute it has seen, so a long log's count would otherwise
// cost more than its records. A minute from 1800 to 9966 is packed with the person into one
// 64-bit key; any other (a terminal's clock far off) goes to a side map.
class MinuteCounts {
 public:
  // The count of (person, minute), or null when there is none.
  const int* Find(std::int32_t person, std::int64_t minute) const;
  // The count of (person, minute), made 0 when there is none.
  int& operator()(std::int32_t person, std::int64_t minute);
  void clear() {
    packed_.clear();
    wide_.clear();
  }

 private:
  static bool Packs(std::int64_t minute);
  static std::uint64_t Pack(std::int32_t person, std::int64_t minute);
  std::unordered_map<std::uint64_t, int> packed_;
  std::map<std::pair<std::int32_t, std::int64_t>, int> wide_;
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
    bool conflict = false;  // held under its key with other content: stored in a new epoch
  };

  // Every swipe it stores is `site`'s (a version 1 terminal's are keyed with it).
  Delivery(SwipeStore& store, int port, int terminal, std::string downloaded_at = UtcNowText(), std::string site = "");
  Delivery(RecordStore& store, int port, int terminal, std::string downloaded_at = UtcNowText())
      : Delivery(store.swipes(), port, terminal, std::move(downloaded_at), store.site()) {}

  // Keys the next swipes of the delivery without storing anything: what Store would store.
  std::vector<StoredSwipe> Key(std::span<const Swipe> next) const;

  // Stores the next swipes of the delivery. On a StoreError nothing of the batch is stored and
  // the delivery stands where it stood, so the same batch can be offered again. In a log, a
  // swipe the database holds under its key with other content is a conflict: it is listed, and
  // it and the rest of the delivery are stored in a new epoch of the log (log() tells which), in
  // the transaction that opens it. Should that transaction fail, the swipes before the conflict
  // stay stored and held, and the batch offered again finds the same conflict and opens the
  // epoch then.
  std::vector<Keyed> Store(std::span<const Swipe> next);

  // The log the next swipes are stored in (absent: a version 1 terminal), and the conflicts
  // this delivery found (each also listed in the database).
  const std::optional<LogKey>& log() const { return log_; }
  const std::vector<RecordConflict>& conflicts() const { return conflicts_; }

  std::size_t delivered() const { return delivered_; }
  std::size_t added() const { return added_; }

  // Where the next swipes come from: `index` of `log` (absent: a version 1 terminal, keyed by
  // port, terminal and occurrence as before; the index is kept beside). Call before a record
  // read's first swipes, and again when a read starts somewhere else. For a terminal that tells
  // its identity, name the log's current epoch (SwipeStore::CurrentLog): a record below that
  // epoch's first index is keyed in the epoch it was opened from, so reading the whole log
  // again stores nothing twice.
  void Position(std::optional<LogKey> log, std::uint32_t index);
  std::uint32_t next_index() const { return next_index_; }

 private:
  SwipeStore& store_;
  int port_, terminal_;
  std::string downloaded_at_;
  std::string site_;
  MinuteCounts seen_;  // occurrences committed so far, per person and minute
  std::size_t delivered_ = 0, added_ = 0;
  std::optional<LogKey> log_;
  std::uint32_t first_index_ = 0, next_index_ = 0;
  // The epochs of log_'s identity and generation (read when positioned in one, and those this
  // delivery opened): a record below an epoch's first index belongs to its parent.
  std::vector<LogEpoch> epochs_;
  std::vector<RecordConflict> conflicts_;

  // Key, also answering each swipe's minute number (for seen_) when `minutes` is given.
  std::vector<StoredSwipe> Key(std::span<const Swipe> next, std::vector<std::int64_t>* minutes) const;
  const LogEpoch* Find(std::uint32_t epoch) const;
  std::uint32_t EpochOf(std::uint32_t index) const;
  bool Descends(std::uint32_t epoch, std::uint32_t from) const;
  // Occurrences of (person, minute) in `log_` before `first_index_`, as stored (a cache).
  mutable MinuteCounts before_;
};

}  // namespace vanto::store
