// Self-registration against a registry without transactions (the Windows build's): a failure at
// any step leaves the registry exactly as it was; unregistering removes exactly what registering
// wrote, keeps what others added under the same keys, and succeeds when run twice.
#include "platform/automation/registration_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

// A registry in memory whose N-th write or removal fails.
class FakeStore final : public RegistryStore {
 public:
  std::map<std::pair<std::string, std::string>, std::string> values;
  std::set<std::string> keys;
  int failAt = -1;  // the step (writes and removals counted from 0) that fails
  int step = 0;

  bool Read(const std::string& key, const std::string& name, std::optional<std::string>* data) override {
    auto found = values.find({key, name});
    *data = found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
    return true;
  }
  bool Write(const std::string& key, const std::string& name, const std::string& data) override {
    if (step++ == failAt) return Fail(key);
    for (std::string k = key;; k.resize(k.rfind('\\'))) {
      keys.insert(k);
      if (k.find('\\') == std::string::npos) break;
    }
    values[{key, name}] = data;
    return true;
  }
  bool Remove(const std::string& key, const std::string& name) override {
    if (step++ == failAt) return Fail(key);
    values.erase({key, name});
    return true;
  }
  bool HasKey(const std::string& key) override { return keys.count(key) > 0; }
  bool RemoveKeyIfEmpty(const std::string& key) override {
    for (const auto& [where, data] : values)
      if (where.first == key) return true;
    for (const auto& k : keys)
      if (k.size() > key.size() && k.compare(0, key.size() + 1, key + "\\") == 0) return true;
    keys.erase(key);
    return true;
  }

 private:
  bool Fail(const std::string& key) {
    error = "cannot write " + key;
    return false;
  }
};

const std::vector<RegistryEntry> kEntries = {
    {"CLSID\\{X}", "", "VANTO.clsMachine"},
    {"CLSID\\{X}\\InprocServer32", "", "C:\\vanto\\VANTO.dll"},
    {"CLSID\\{X}\\InprocServer32", "ThreadingModel", "Apartment"},
    {"VANTO.clsMachine\\CLSID", "", "{X}"},
    {"TypeLib\\{L}\\1.0\\0\\win64", "", "C:\\vanto\\VANTO.dll"},
};

FakeStore Existing() {
  FakeStore store;
  store.keys = {"CLSID", "TypeLib"};
  store.values[{"CLSID\\{X}\\InprocServer32", ""}] = "C:\\old\\VANTO.dll";  // an older registration
  store.values[{"CLSID\\{Other}", ""}] = "someone else";
  store.keys.insert("CLSID\\{X}");
  store.keys.insert("CLSID\\{X}\\InprocServer32");
  store.keys.insert("CLSID\\{Other}");
  return store;
}

TEST(RegistrationPlan, AFailureAtAnyStepLeavesTheRegistryAsItWas) {
  for (int failAt = 0; failAt < static_cast<int>(kEntries.size()); ++failAt) {
    SCOPED_TRACE(failAt);
    FakeStore store = Existing();
    const auto valuesBefore = store.values;
    const auto keysBefore = store.keys;
    store.failAt = failAt;
    EXPECT_FALSE(registration::Register(store, kEntries));
    EXPECT_NE(store.error.find("cannot write"), std::string::npos) << "the failure names what failed";
    EXPECT_EQ(store.values, valuesBefore);
    EXPECT_EQ(store.keys, keysBefore);
  }
}

TEST(RegistrationPlan, UnregisterRemovesWhatRegisterWroteAndKeepsOthers) {
  FakeStore store = Existing();
  store.values.erase({"CLSID\\{X}\\InprocServer32", ""});
  store.keys.erase("CLSID\\{X}\\InprocServer32");
  store.keys.erase("CLSID\\{X}");
  const auto valuesBefore = store.values;
  const auto keysBefore = store.keys;
  ASSERT_TRUE(registration::Register(store, kEntries));
  EXPECT_EQ(store.values.at({"CLSID\\{X}\\InprocServer32", "ThreadingModel"}), "Apartment");
  store.values[{"VANTO.clsMachine", "Note"}] = "added by someone else";
  for (int round = 0; round < 2; ++round) {  // twice: the second finds nothing and succeeds
    SCOPED_TRACE(round);
    EXPECT_TRUE(registration::Unregister(store, kEntries));
    auto expected = valuesBefore;
    expected[{"VANTO.clsMachine", "Note"}] = "added by someone else";
    EXPECT_EQ(store.values, expected);
    auto expectedKeys = keysBefore;
    expectedKeys.insert("VANTO.clsMachine");  // kept: it still holds another's value
    EXPECT_EQ(store.keys, expectedKeys);
  }
}

TEST(RegistrationPlan, KeysAreRemovedDeepestFirstAndNeverAtTheTopLevel) {
  const auto keys = registration::KeysDeepestFirst(kEntries);
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys.front(), "TypeLib\\{L}\\1.0\\0\\win64");
  for (const auto& key : keys) EXPECT_NE(key.find('\\'), std::string::npos) << key;
  EXPECT_NE(std::find(keys.begin(), keys.end(), "TypeLib\\{L}"), keys.end());
}

}  // namespace
