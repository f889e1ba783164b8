// PostgreSQL connections shared by one process: a bounded set, reused across repositories with
// the statements each has prepared. A repository borrows one for as long as it lives (a lease);
// a connection given back broken, or in the middle of a transaction, is closed rather than kept,
// and one found broken when borrowed is replaced by a new one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ado/pg_connection.h"

namespace vanto::store {

class PgPool;

// One borrowed connection (or, for the openers of a single repository, one owned outright).
class PgLease {
 public:
  PgLease() = default;
  // A connection of no pool: closed with the lease.
  static PgLease Own(std::unique_ptr<PgConnection> connection);
  PgLease(PgLease&& other) noexcept = default;
  PgLease& operator=(PgLease&& other) noexcept;
  ~PgLease();

  PgConnection& operator*() const { return *connection_; }
  PgConnection* operator->() const { return connection_.get(); }

 private:
  friend class PgPool;
  PgLease(std::shared_ptr<PgPool> pool, std::unique_ptr<PgConnection> connection)
      : pool_(std::move(pool)), connection_(std::move(connection)) {}
  void Release();

  std::shared_ptr<PgPool> pool_;
  std::unique_ptr<PgConnection> connection_;
};

class PgPool : public std::enable_shared_from_this<PgPool> {
 public:
  // At most `size` connections to `url`; `session` is run on each new connection (empty: none).
  static std::shared_ptr<PgPool> Make(std::string url, PgOptions options, std::size_t size, std::string session = {});

  // A connection: an idle one (checked without a round trip), or a new one while fewer than
  // `size` are open. With all of them lent, waits up to the lock timeout for one to come back,
  // then throws StoreError (Locked) naming the server. A connection that cannot be made throws
  // StoreError with the server's or libpq's cause.
  PgLease Borrow();

  // Connections open now (idle and lent) and lent now: for tests and diagnostics.
  std::size_t open() const;
  std::size_t lent() const;
  std::size_t size() const { return size_; }
  const std::string& server() const { return server_; }

 private:
  PgPool(std::string url, PgOptions options, std::size_t size, std::string session);
  friend class PgLease;
  void Return(std::unique_ptr<PgConnection> connection);

  const std::string url_;
  const PgOptions options_;
  const std::size_t size_;
  const std::string session_;
  std::string server_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<PgConnection>> idle_;
  std::size_t lent_ = 0;
};

// Whether the connection can be used as it is: connected (a closure the server announced is seen
// without a round trip) and outside any transaction.
bool PgConnectionReusable(PgConnection& connection);

}  // namespace vanto::store

namespace vanto::store {
// A connection of its own to `url` with the host's settings (HostPgOptions), for an opener of one
// repository; a failure to connect is worded as ThrowHostPgError does.
PgLease ConnectOwn(const std::string& url, std::chrono::milliseconds lock_timeout);
}  // namespace vanto::store
