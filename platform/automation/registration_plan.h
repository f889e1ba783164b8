// Self-registration against a registry that has no transactions (the system's registry on
// Windows): values are written one by one, and a failure part-way undoes what was written, so a
// module is either registered completely or left as it was. Unregistration removes exactly the
// recorded values, then those of their keys that are left empty (deepest first); values others
// added under the same keys stay. Removing what is already gone succeeds (unregistering twice).
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/registry.h"

// What the plan needs from a registry. Every call answers false on failure (with `error` set to
// what failed, naming the key).
class RegistryStore {
 public:
  virtual ~RegistryStore() = default;
  // The value's data, or nullopt when absent; false when the key cannot be read.
  virtual bool Read(const std::string& key, const std::string& name, std::optional<std::string>* data) = 0;
  virtual bool Write(const std::string& key, const std::string& name, const std::string& data) = 0;
  // Removes the value; absent is not a failure.
  virtual bool Remove(const std::string& key, const std::string& name) = 0;
  // Removes the key when it has no values and no subkeys (else leaves it: not a failure).
  virtual bool RemoveKeyIfEmpty(const std::string& key) = 0;
  virtual bool HasKey(const std::string& key) = 0;
  std::string error;
};

namespace registration {

inline std::vector<std::string> KeysDeepestFirst(const std::vector<RegistryEntry>& entries) {
  std::vector<std::string> keys;
  for (const auto& entry : entries) {
    // The key, and its parents below the top level (CLSID, TypeLib, ...), may be left empty.
    std::string key = entry.key;
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    for (std::size_t slash = key.rfind('\\'); slash != std::string::npos; slash = key.rfind('\\')) {
      key.resize(slash);
      if (key.find('\\') == std::string::npos) break;
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
  }
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  return keys;
}

// Writes every entry; on a failure restores every value written so far and removes the keys it
// created that are empty again. True when all were written.
inline bool Register(RegistryStore& store, const std::vector<RegistryEntry>& entries) {
  struct Undo {
    const RegistryEntry* entry;
    std::optional<std::string> before;
  };
  std::vector<Undo> done;
  // The keys (the entries' and all their parents) that are not there yet: a failure removes them.
  std::vector<std::string> created;
  for (const auto& entry : entries) {
    for (std::string key = entry.key; !key.empty();) {
      if (std::find(created.begin(), created.end(), key) == created.end() && !store.HasKey(key)) created.push_back(key);
      const std::size_t slash = key.rfind('\\');
      key = slash == std::string::npos ? std::string() : key.substr(0, slash);
    }
  }
  std::stable_sort(created.begin(), created.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  bool ok = true;
  for (const auto& entry : entries) {
    std::optional<std::string> before;
    if (!store.Read(entry.key, entry.name, &before) || !store.Write(entry.key, entry.name, entry.data)) {
      ok = false;
      break;
    }
    done.push_back({&entry, std::move(before)});
  }
  if (ok) return true;
  const std::string error = store.error;
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    if (it->before)
      store.Write(it->entry->key, it->entry->name, *it->before);
    else
      store.Remove(it->entry->key, it->entry->name);
  }
  for (const auto& key : created) store.RemoveKeyIfEmpty(key);
  store.error = error;
  return false;
}

// Removes every entry's value, then the keys left empty. True when nothing failed.
inline bool Unregister(RegistryStore& store, const std::vector<RegistryEntry>& entries) {
  bool ok = true;
  for (const auto& entry : entries) ok = store.Remove(entry.key, entry.name) && ok;
  for (const auto& key : KeysDeepestFirst(entries)) ok = store.RemoveKeyIfEmpty(key) && ok;
  return ok;
}

}  // namespace registration
