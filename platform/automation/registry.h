// The component registry: a per-user text file of keys and named values (classes, class names,
// interface descriptions) that modules write when they register and the runtime reads when it
// creates an object. Readers see a whole file; writers hold a lock and replace the file atomically.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/abi.h"

// ASCII-case-insensitive ordering: key and value names match as the platform's registry does.
struct RegistryNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// One value to record: `name` empty is the key's default value ("@" in the file).
struct RegistryEntry {
  std::string key;
  std::string name;
  std::string data;
};

// An image of the registry in memory. Keys are paths of names joined by '\'; a key exists when it
// was created or has a subkey. Texts are UTF-8.
class VANTO_EXPORT RegistryHive {
 public:
  using Values = std::map<std::string, std::string, RegistryNameLess>;

  // The value, or nullptr when the key or the value is absent.
  const std::string* Find(std::string_view key, std::string_view name = {}) const;
  bool HasKey(std::string_view key) const;
  // The values of a key (nullptr when the key has none of its own).
  const Values* ValuesOf(std::string_view key) const;
  // Names of the direct subkeys of `key` ("" for the top level), in order.
  std::vector<std::string> SubKeys(std::string_view key) const;

  // Creates the key if needed and sets the value; false for an invalid key path.
  bool Set(std::string_view key, std::string_view name, std::string_view data);
  bool CreateKey(std::string_view key);
  // Removes one value; true when it was there.
  bool Remove(std::string_view key, std::string_view name);
  // Removes a key that has no values and no subkeys; true when it did.
  bool RemoveKeyIfEmpty(std::string_view key);

  // The file form, and back. Parse fills `error` (with the line number) on malformed text.
  std::string Serialize() const;
  static bool Parse(std::string_view text, RegistryHive* hive, std::string* error);

  bool operator==(const RegistryHive&) const = default;

 private:
  std::map<std::string, Values, RegistryNameLess> keys_;
};

// Normalises a key path: '/' is not special, empty components and outer '\' are dropped.
// Answers "" for a path with a control character.
VANTO_EXPORT std::string NormalizeRegistryKey(std::string_view key);

// The variable naming the registry's file, when it is not the default one.
inline constexpr char kRegistryVariable[] = "VANTO_REGISTRY";
// Where the registry lives: $VANTO_REGISTRY if set, else $XDG_CONFIG_HOME/vanto/registry,
// else ~/.config/vanto/registry.
VANTO_EXPORT std::string RegistryLocation();

// Reads the registry (a missing file is an empty registry). A damaged file answers
// REGDB_E_READREGDB with an error description naming the file and line.
VANTO_EXPORT HRESULT LoadRegistry(RegistryHive* hive);
// Reads one value; REGDB_E_KEYMISSING when the key or the value is absent.
VANTO_EXPORT HRESULT ReadRegistryValue(std::string_view key, std::string_view name, std::string* data);

// Changes the registry as one transaction: takes the writers' lock (bounded wait), reads the
// current file, runs `change` on it and, when `change` succeeds and altered anything, writes a
// new file beside the old one, flushes it and renames it over the old one. A failure of any step
// leaves the old file as it was and answers REGDB_E_WRITEREGDB (or `change`'s own failure).
VANTO_EXPORT HRESULT UpdateRegistry(const std::function<HRESULT(RegistryHive&)>& change);

// How long UpdateRegistry waits for another writer's lock (10 s unless changed); answers the
// wait it replaces.
VANTO_EXPORT std::chrono::milliseconds SetRegistryLockWait(std::chrono::milliseconds wait);

// Self-registration helpers for modules: records the entries in one transaction, or removes
// exactly those values and then the keys among them that are left empty.
VANTO_EXPORT HRESULT RegisterServerEntries(const std::vector<RegistryEntry>& entries);
VANTO_EXPORT HRESULT UnregisterServerEntries(const std::vector<RegistryEntry>& entries);

constexpr HRESULT REGDB_E_KEYMISSING = MakeHResult(0x80040152);
