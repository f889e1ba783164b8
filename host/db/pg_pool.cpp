#include "host/db/pg_pool.h"

#include <libpq-fe.h>

#include <utility>

#include "host/db/postgres_store.h"
#include "host/message.h"

namespace vanto::store {

PgLease PgLease::Own(std::unique_ptr<PgConnection> connection) { return PgLease(nullptr, std::move(connection)); }

PgLease& PgLease::operator=(PgLease&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::move(other.pool_);
    connection_ = std::move(other.connection_);
  }
  return *this;
}

PgLease::~PgLease() { Release(); }

void PgLease::Release() {
  if (pool_ && connection_) pool_->Return(std::move(connection_));
  connection_.reset();
  pool_.reset();
}

bool PgConnectionReusable(PgConnection& connection) {
  pg_conn* conn = connection.get();
  if (!conn || PQstatus(conn) != CONNECTION_OK) return false;
  // Reads what the server sent meanwhile without waiting: a server that ended the session sends
  // its notice and then closes, which a second read sees (a read that finds data stops there).
  for (int read = 0; read < 2; ++read)
    if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK) return false;
  return PQtransactionStatus(conn) == PQTRANS_IDLE;
}

PgPool::PgPool(std::string url, PgOptions options, std::size_t size, std::string session)
    : url_(std::move(url)), options_(std::move(options)), size_(size == 0 ? 1 : size), session_(std::move(session)) {
  try {
    server_ = DescribePgUrl(url_);
  } catch (const StoreError&) {
    server_ = RedactUrl(url_);  // refused with its cause by the first connection
  }
}

std::shared_ptr<PgPool> PgPool::Make(std::string url, PgOptions options, std::size_t size, std::string session) {
  return std::shared_ptr<PgPool>(new PgPool(std::move(url), std::move(options), size, std::move(session)));
}

PgLease PgPool::Borrow() {
  std::unique_ptr<PgConnection> connection;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool free = returned_.wait_for(lock, options_.lock_timeout,
                                         [&] { return !idle_.empty() || lent_ + idle_.size() < size_; });
    if (!free)
      throw StoreError(StoreFailure::Locked,
                       host::Message("database {0}: all {1} connections stayed in use for {2} ms",
                                    {server_, std::to_string(size_), std::to_string(options_.lock_timeout.count())}));
    if (!idle_.empty()) {
      connection = std::move(idle_.back());
      idle_.pop_back();
    }
    ++lent_;
  }
  try {
    if (connection && !PgConnectionReusable(*connection)) connection.reset();  // dropped: a new one instead
    if (!connection) {
      try {
        connection = std::make_unique<PgConnection>(url_, options_);
      } catch (const PgError& e) {
        ThrowHostPgError(e, url_);
      }
      if (!session_.empty()) connection->Exec(session_, "setting up the connection");
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --lent_;
    }
    returned_.notify_one();
    throw;
  }
  return PgLease(shared_from_this(), std::move(connection));
}

void PgPool::Return(std::unique_ptr<PgConnection> connection) {
  if (connection && !PgConnectionReusable(*connection)) connection.reset();  // closed here, outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --lent_;
    if (connection) idle_.push_back(std::move(connection));
  }
  returned_.notify_one();
}

std::size_t PgPool::open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lent_ + idle_.size();
}

std::size_t PgPool::lent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lent_;
}

}  // namespace vanto::store

namespace vanto::store {

PgLease ConnectOwn(const std::string& url, std::chrono::milliseconds lock_timeout) {
  try {
    return PgLease::Own(std::make_unique<PgConnection>(url, HostPgOptions(lock_timeout)));
  } catch (const PgError& e) {
    ThrowHostPgError(e, url);
  }
}

}  // namespace vanto::store
