// The registry file: its text form, its location, transactions, self-registration helpers, and
// writers racing each other.
#include "platform/automation/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/automation/errorinfo.h"
#include "platform/automation/text.h"
#include "tests/platform/runtime/temp_registry.h"

namespace {
std::string Description(HRESULT hr) { return ToUtf8(TakeErrorDescription(hr)); }

TEST(RegistryHive, RoundTripsEveryKindOfText) {
  RegistryHive hive;
  ASSERT_TRUE(hive.Set("CLSID\\{A}", "", "默认值"));
  ASSERT_TRUE(hive.Set("CLSID\\{A}\\InprocServer32", "", "/opt/a b/\"x\".so"));
  ASSERT_TRUE(hive.Set("CLSID\\{A}\\InprocServer32", "ThreadingModel", "Apartment"));
  ASSERT_TRUE(hive.Set("Odd", "name with \"quotes\" and \\", "line1\nline2\ttab\r\x01\x7f"));
  ASSERT_TRUE(hive.Set("Odd", "@", "a value named @ is not the default"));
  ASSERT_TRUE(hive.CreateKey("Empty\\Key"));
  RegistryHive back;
  std::string error;
  ASSERT_TRUE(RegistryHive::Parse(hive.Serialize(), &back, &error)) << error << "\n" << hive.Serialize();
  EXPECT_EQ(back, hive);
  EXPECT_EQ(*back.Find("odd", "@"), "a value named @ is not the default");
  EXPECT_EQ(back.Find("odd"), nullptr);  // No default value was set.
}

TEST(RegistryHive, NamesMatchIgnoringCaseAndKeyPathsNormalise) {
  RegistryHive hive;
  hive.Set("\\VANTO.clsMachine\\\\CLSID\\", "", "{X}");
  ASSERT_NE(hive.Find("vanto.CLSMACHINE\\clsid"), nullptr);
  EXPECT_EQ(*hive.Find("vanto.CLSMACHINE\\clsid"), "{X}");
  EXPECT_TRUE(hive.HasKey("VANTO.CLSMACHINE"));  // Exists through its subkey.
  EXPECT_FALSE(hive.HasKey("VANTO"));
  hive.Set("vanto.clsmachine\\CLSID", "", "{Y}");  // Same value, other spelling.
  EXPECT_EQ(*hive.Find("VANTO.clsMachine\\CLSID"), "{Y}");
  EXPECT_EQ(hive.SubKeys(""), std::vector<std::string>{"VANTO.clsMachine"});
  EXPECT_FALSE(hive.Set("bad\x01key", "", "x"));
  EXPECT_FALSE(hive.Set("\\\\", "", "x"));
}

TEST(RegistryHive, SubKeysListsDirectChildrenOnce) {
  RegistryHive hive;
  hive.Set("CLSID\\{B}\\InprocServer32", "", "b");
  hive.Set("CLSID\\{A}", "", "a");
  hive.Set("CLSID\\{A}\\ProgID", "", "a");
  hive.Set("CLSIDX", "", "not a child");
  EXPECT_EQ(hive.SubKeys("clsid"), (std::vector<std::string>{"{A}", "{B}"}));
  EXPECT_EQ(hive.SubKeys(""), (std::vector<std::string>{"CLSID", "CLSIDX"}));
}

TEST(RegistryHive, RemovesOnlyEmptyKeysWithoutChildren) {
  RegistryHive hive;
  hive.Set("A", "", "1");
  hive.Set("A\\B", "", "2");
  EXPECT_TRUE(hive.Remove("A", ""));
  EXPECT_FALSE(hive.Remove("A", ""));
  EXPECT_FALSE(hive.RemoveKeyIfEmpty("A"));  // Still has A\B.
  EXPECT_FALSE(hive.RemoveKeyIfEmpty("A\\B"));  // Still has a value.
  hive.Remove("A\\B", "");
  EXPECT_TRUE(hive.RemoveKeyIfEmpty("A\\B"));
  EXPECT_TRUE(hive.RemoveKeyIfEmpty("A"));
  EXPECT_EQ(hive, RegistryHive());
}

TEST(RegistryHive, RejectsMalformedTextNamingTheLine) {
  struct Case {
    const char* text;
    const char* line;
  } cases[] = {
      {"[A]\n@=\"x\"\n", "第 1 行"},
      {"VANTO REGISTRY 1\n@=\"x\"\n", "第 2 行"},
      {"VANTO REGISTRY 1\n[A]\n@=\"x\n", "第 3 行"},
      {"VANTO REGISTRY 1\n[A]\n@=\"\\q\"\n", "第 3 行"},
      {"VANTO REGISTRY 1\n[A]\n@=\"x\" junk\n", "第 3 行"},
      {"VANTO REGISTRY 1\n[A]\n\"n\" \"x\"\n", "第 3 行"},
      {"VANTO REGISTRY 1\n[A\n", "第 2 行"},
      {"VANTO REGISTRY 1\n[\\\\]\n", "第 2 行"},
      {"VANTO REGISTRY 1\n[A]\n@=\"\\x4\"\n", "第 3 行"},
  };
  for (const auto& c : cases) {
    RegistryHive hive;
    std::string error;
    EXPECT_FALSE(RegistryHive::Parse(c.text, &hive, &error)) << c.text;
    EXPECT_NE(error.find(c.line), std::string::npos) << c.text << " -> " << error;
  }
  RegistryHive hive;
  std::string error;
  EXPECT_TRUE(RegistryHive::Parse("", &hive, &error));
  EXPECT_TRUE(RegistryHive::Parse("; comment\r\nVANTO REGISTRY 1\r\n\r\n[A]\r\n  @ = \"x\"\r\n", &hive, &error))
      << error;
  EXPECT_EQ(*hive.Find("A"), "x");
}

TEST(RegistryLocation, FollowsTheEnvironmentThenTheConfigFolder) {
  TempRegistry registry;  // Restores VANTO_REGISTRY afterwards.
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  std::string config = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  bool hadConfig = std::getenv("XDG_CONFIG_HOME") != nullptr;
  EXPECT_EQ(RegistryLocation(), registry.Path());
  ::unsetenv("VANTO_REGISTRY");
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(RegistryLocation(), "/cfg/vanto/registry");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegistryLocation(), home + "/.config/vanto/registry");
  if (hadConfig) ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ::setenv("VANTO_REGISTRY", registry.Path().c_str(), 1);
}

TEST(RegistryFile, UpdatesCreateTheFolderAndPersist) {
  TempRegistry registry;
  std::string nested = (registry.Directory() / "a" / "b" / "registry").string();
  ::setenv("VANTO_REGISTRY", nested.c_str(), 1);
  ASSERT_EQ(UpdateRegistry([](RegistryHive& hive) {
              hive.Set("K", "v", "值");
              return S_OK;
            }),
            S_OK);
  std::string data;
  ASSERT_EQ(ReadRegistryValue("k", "V", &data), S_OK);
  EXPECT_EQ(data, "值");
  EXPECT_EQ(ReadRegistryValue("k", "", &data), REGDB_E_KEYMISSING);
  EXPECT_EQ(ReadRegistryValue("none", "", &data), REGDB_E_KEYMISSING);
  ::setenv("VANTO_REGISTRY", registry.Path().c_str(), 1);
}

TEST(RegistryFile, AMissingFileIsAnEmptyRegistry) {
  TempRegistry registry;
  RegistryHive hive;
  hive.Set("stale", "", "x");
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive, RegistryHive());
}

TEST(RegistryFile, ADamagedFileIsReportedAndNeverOverwritten) {
  TempRegistry registry;
  registry.Write("VANTO REGISTRY 1\n[A]\n@=\"unterminated\n");
  RegistryHive hive;
  HRESULT hr = LoadRegistry(&hive);
  EXPECT_EQ(hr, REGDB_E_READREGDB);
  std::string text = Description(hr);
  EXPECT_NE(text.find(registry.Path()), std::string::npos) << text;
  EXPECT_NE(text.find("第 3 行"), std::string::npos) << text;

  hr = UpdateRegistry([](RegistryHive& h) {
    h.Set("B", "", "x");
    return S_OK;
  });
  EXPECT_EQ(hr, REGDB_E_READREGDB);
  ClearErrorInfo();
  EXPECT_EQ(registry.Contents(), "VANTO REGISTRY 1\n[A]\n@=\"unterminated\n");
}

TEST(RegistryFile, AFailedChangeWritesNothing) {
  TempRegistry registry;
  ASSERT_EQ(RegisterServerEntries({{"A", "", "1"}}), S_OK);
  std::string before = registry.Contents();
  EXPECT_EQ(UpdateRegistry([](RegistryHive& h) {
              h.Set("B", "", "2");
              return E_FAIL;
            }),
            E_FAIL);
  EXPECT_EQ(registry.Contents(), before);
}

TEST(RegistryFile, LeftoversOfAnInterruptedWriterDoNoHarm) {
  TempRegistry registry;
  ASSERT_EQ(RegisterServerEntries({{"A", "", "1"}}), S_OK);
  // A writer that died after creating its new file and holding the lock.
  std::ofstream(registry.Path() + ".new-99999-1") << "VANTO REGISTRY 1\n[Half";
  std::ofstream(registry.Path() + ".lock") << "";
  ASSERT_EQ(RegisterServerEntries({{"B", "", "2"}}), S_OK);
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(*hive.Find("A"), "1");
  EXPECT_EQ(*hive.Find("B"), "2");
}

TEST(RegistryFile, AnUnwritableLocationFailsWithTheReason) {
  TempRegistry registry;
  std::string blocked = (registry.Directory() / "file").string();
  std::ofstream(blocked) << "x";
  ::setenv("VANTO_REGISTRY", (blocked + "/registry").c_str(), 1);
  HRESULT hr = RegisterServerEntries({{"A", "", "1"}});
  EXPECT_EQ(hr, REGDB_E_WRITEREGDB);
  EXPECT_NE(Description(hr).find(blocked), std::string::npos);
  ::setenv("VANTO_REGISTRY", registry.Path().c_str(), 1);
}

TEST(SelfRegistration, UnregisterRemovesExactlyWhatWasRecorded) {
  TempRegistry registry;
  ASSERT_EQ(RegisterServerEntries({{"CLSID\\{Other}", "", "someone else"},
                                   {"CLSID\\{Mine}", "AppID", "added by someone else"}}),
            S_OK);
  std::vector<RegistryEntry> mine = {
      {"CLSID\\{Mine}", "", "Mine.Class"},
      {"CLSID\\{Mine}\\InprocServer32", "", "/x/mine.so"},
      {"CLSID\\{Mine}\\InprocServer32", "ThreadingModel", "Apartment"},
      {"CLSID\\{Mine}\\ProgID", "", "Mine.Class"},
      {"Mine.Class\\CLSID", "", "{Mine}"},
      {"Mine.Class", "", "Mine.Class"},
  };
  ASSERT_EQ(RegisterServerEntries(mine), S_OK);
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  for (const auto& entry : mine) {
    ASSERT_NE(hive.Find(entry.key, entry.name), nullptr) << entry.key;
    EXPECT_EQ(*hive.Find(entry.key, entry.name), entry.data);
  }
  ASSERT_EQ(UnregisterServerEntries(mine), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  RegistryHive expected;
  expected.Set("CLSID\\{Other}", "", "someone else");
  expected.Set("CLSID\\{Mine}", "AppID", "added by someone else");
  EXPECT_EQ(hive, expected) << hive.Serialize();
  // A second unregistration finds nothing more to remove.
  ASSERT_EQ(UnregisterServerEntries(mine), S_OK);
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive, expected);
}

TEST(SelfRegistration, RejectsAnInvalidKeyBeforeWritingAnything) {
  TempRegistry registry;
  EXPECT_EQ(RegisterServerEntries({{"Good", "", "1"}, {"\\", "", "2"}}), E_INVALIDARG);
  ClearErrorInfo();
  EXPECT_FALSE(std::filesystem::exists(registry.Path()));
}

// Another writer's lock (an flock on "<registry>.lock", held here through a descriptor of the
// test's own) makes a writer wait up to the bound and then give up naming the lock file, with
// nothing written; released in time, the waiting writer gets through.
TEST(RegistryFile, AHeldWriterLockTimesOutBoundedThenLetsWritersThrough) {
  TempRegistry registry;
  ASSERT_EQ(RegisterServerEntries({{"A", "", "1"}}), S_OK);
  const std::string before = registry.Contents();
  const std::string lock = registry.Path() + ".lock";
  int held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  auto previous = SetRegistryLockWait(std::chrono::milliseconds(100));
  auto started = std::chrono::steady_clock::now();
  HRESULT hr = RegisterServerEntries({{"B", "", "2"}});
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(hr, REGDB_E_WRITEREGDB);
  std::string text = Description(hr);
  EXPECT_NE(text.find(lock), std::string::npos) << text;
  EXPECT_NE(text.find("超时"), std::string::npos) << text;
  EXPECT_GE(waited, std::chrono::milliseconds(100)) << "gave up before the wait ran out";
  EXPECT_EQ(registry.Contents(), before);

  // A writer with a long wait is let through as soon as the lock is released.
  SetRegistryLockWait(std::chrono::seconds(30));
  std::atomic<HRESULT> waiting{E_FAIL};
  std::thread writer([&] { waiting = RegisterServerEntries({{"C", "", "3"}}); });
  ::close(held);  // releases the lock
  writer.join();
  SetRegistryLockWait(previous);
  EXPECT_EQ(waiting.load(), S_OK);
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  EXPECT_EQ(hive.Find("B"), nullptr);
  ASSERT_NE(hive.Find("C"), nullptr);
  EXPECT_EQ(*hive.Find("C"), "3");
}

// Writers in several threads and several processes, each adding its own values: none is lost
// and the file stays well-formed.
TEST(RegistryFile, ConcurrentWritersLoseNothing) {
  TempRegistry registry;
  constexpr int kProcesses = 3, kThreads = 4, kWrites = 15;
  auto writeMany = [](int writer) {
    for (int i = 0; i < kWrites; ++i) {
      std::string key = "W" + std::to_string(writer) + "\\" + std::to_string(i);
      if (FAILED(RegisterServerEntries({{key, "", std::to_string(writer * 1000 + i)}}))) return false;
    }
    return true;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writeMany(100 + p) ? 0 : 1);
    children.push_back(child);
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      if (!writeMany(t)) ++failures;
    });
  for (auto& thread : threads) thread.join();
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child " << child << " ended with status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "child " << child;
  }
  EXPECT_EQ(failures, 0);
  RegistryHive hive;
  ASSERT_EQ(LoadRegistry(&hive), S_OK);
  std::vector<int> writers;
  for (int t = 0; t < kThreads; ++t) writers.push_back(t);
  for (int p = 0; p < kProcesses; ++p) writers.push_back(100 + p);
  for (int writer : writers)
    for (int i = 0; i < kWrites; ++i) {
      const std::string* data = hive.Find("W" + std::to_string(writer) + "\\" + std::to_string(i));
      ASSERT_NE(data, nullptr) << writer << " " << i;
      EXPECT_EQ(*data, std::to_string(writer * 1000 + i));
    }
  for (const auto& entry : std::filesystem::directory_iterator(registry.Directory()))
    EXPECT_EQ(entry.path().string().find(".new-"), std::string::npos) << entry.path();
}
}  // namespace
