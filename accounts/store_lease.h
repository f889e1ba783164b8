// Where the accounts and the API tokens take their rows for one call: a repository borrowed from
// the process's one database (any number of calls at once, each giving its connection back when
// done), or the one store they were given, used by one call at a time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace vanto::accounts {

template <class Store>
class StoreLease {
 public:
  explicit StoreLease(std::unique_ptr<Store> borrowed) : owned_(std::move(borrowed)), store_(owned_.get()) {}
  StoreLease(std::mutex& one_at_a_time, Store* store) : lock_(one_at_a_time), store_(store) {}
  Store* operator->() const { return store_; }
  Store& operator*() const { return *store_; }

 private:
  std::unique_lock<std::mutex> lock_;
  std::unique_ptr<Store> owned_;
  Store* store_;
};

template <class Store>
class StoreSource {
 public:
  explicit StoreSource(std::unique_ptr<Store> one) : one_(std::move(one)) {}
  explicit StoreSource(std::function<std::unique_ptr<Store>()> borrow) : borrow_(std::move(borrow)) {}
  StoreLease<Store> Get() { return borrow_ ? StoreLease<Store>(borrow_()) : StoreLease<Store>(mutex_, one_.get()); }

 private:
  std::function<std::unique_ptr<Store>()> borrow_;
  std::unique_ptr<Store> one_;
  std::mutex mutex_;
};

}  // namespace vanto::accounts
