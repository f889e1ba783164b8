// The feed of swipes: every stored swipe in the order it became visible, read page by page
// behind a cursor, so a consumer that keeps the cursor after each page sees each swipe once,
// however many writers commit at once (how each engine orders the feed: schema.cpp, step 8).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/db/swipe_store.h"

namespace vanto::store {

// A position in the feed: after the swipe of writing transaction `xid` (0 on SQLite) and number
// `seq`. The empty cursor is before the first swipe.
struct FeedCursor {
  std::uint64_t xid = 0;
  std::uint64_t seq = 0;
  bool operator==(const FeedCursor&) const = default;
};

// "XID.SEQ" (decimal); "" for the start.
std::string FormatFeedCursor(const FeedCursor& cursor);
// The cursor `text` names, or nothing when it is not one FormatFeedCursor writes.
std::optional<FeedCursor> ParseFeedCursor(const std::string& text);

struct FeedPage {
  std::vector<StoredSwipe> swipes;
  std::vector<FeedCursor> positions;  // each swipe's position in the feed
  FeedCursor next;  // after the last swipe served (the cursor given when the page is empty)
};

// A cursor of the database this one was copied from (`vanto db copy`): never read as a position
// here. `here` is where it is in this database: a consumer goes on after it.
class FeedCursorMoved : public StoreError {
 public:
  FeedCursorMoved(host::Message message, FeedCursor here) : StoreError(StoreFailure::Invalid, std::move(message)), here_(here) {}
  const FeedCursor& here() const { return here_; }

 private:
  FeedCursor here_;
};

// One open feed is used by one thread at a time.
class SwipeFeed {
 public:
  virtual ~SwipeFeed() = default;
  // Up to `limit` swipes after `after`, in feed order. Throws StoreError; FeedCursorMoved for a
  // cursor of the database this one was copied from (one a copy mapped, naming no swipe here).
  virtual FeedPage Read(const FeedCursor& after, std::size_t limit) { return Read(after, limit, {}); }
  // Of these sites only (empty: every site's); `next` is after the last swipe served.
  virtual FeedPage Read(const FeedCursor& after, std::size_t limit, const std::vector<std::string>& sites) = 0;
};


}  // namespace vanto::store
