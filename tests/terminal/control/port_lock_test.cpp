#include "terminal/control/port_lock.h"

#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "terminal/control/settings.h"

namespace terminal::control {
namespace {

using std::chrono::milliseconds;

class Pty {
 public:
  Pty() {
    char name[256];
    EXPECT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

std::string OwnName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(PortLock, ASecondUserWaitsThenFailsNamingTheHolder) {
  Pty pty;
  PortLock first = PortLock::Acquire(pty.path(), milliseconds(0));
  ASSERT_TRUE(first.Held());
  try {
    PortLock::Acquire(pty.path(), milliseconds(60));
    FAIL() << "a held port was locked twice";
  } catch (const PortLockError& e) {
    EXPECT_EQ(e.Fault(), PortFault::kBusy);
    EXPECT_EQ(e.Holder().pid, ::getpid());
    EXPECT_EQ(e.Holder().name, OwnName());
    EXPECT_NE(std::string(e.what()).find(pty.path()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("process " + std::to_string(::getpid())), std::string::npos) << e.what();
  }
  auto holder = FindLockHolder(pty.path());
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(holder->pid, ::getpid());
  first.Release();
  EXPECT_FALSE(FindLockHolder(pty.path()).has_value());
  PortLock again = PortLock::Acquire(pty.path(), milliseconds(0));
  EXPECT_TRUE(again.Held());
}

TEST(PortLock, ExclusiveLineIsReleasedWithTheLock) {
  Pty pty;
  {
    PortLock lock = PortLock::Acquire(pty.path(), milliseconds(0));
    lock.MakeExclusive();
  }
  // TIOCEXCL must not outlive the lock, or nobody (but root) could open the line again.
  PortLock next = PortLock::Acquire(pty.path(), milliseconds(0));
  EXPECT_TRUE(next.Held());
}

TEST(PortLock, DevicesThatAreNoSerialLineAreNamed) {
  char folder_pattern[] = "/tmp/vanto-lock-XXXXXX";
  std::filesystem::path folder = mkdtemp(folder_pattern);
  std::ofstream(folder / "file") << "not a line\n";
  struct Case {
    std::string device;
    PortFault fault;
  } cases[] = {
      {(folder / "missing").string(), PortFault::kMissing},
      {(folder / "no-folder" / "tty").string(), PortFault::kMissing},
      {(folder / "file").string(), PortFault::kNotSerial},
      {"/dev/null", PortFault::kNotSerial},
      {folder.string(), PortFault::kNotSerial},
  };
  for (const Case& c : cases) {
    try {
      PortLock::Acquire(c.device, milliseconds(0));
      ADD_FAILURE() << c.device << " was locked";
    } catch (const PortLockError& e) {
      EXPECT_EQ(PortFaultWord(e.Fault()), std::string(PortFaultWord(c.fault))) << c.device << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.device), std::string::npos) << e.what();
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(PortLock, NetworkDevicesLockAFile) {
  const std::string device = "tcp://127.0.0.1:45999";
  PortLock first = PortLock::Acquire(device, milliseconds(0));
  EXPECT_TRUE(std::filesystem::exists(PortLock::LockFileOf(device)));
  try {
    PortLock::Acquire(device, milliseconds(30));
    FAIL() << "a held network port was locked twice";
  } catch (const PortLockError& e) {
    EXPECT_EQ(e.Fault(), PortFault::kBusy);
    EXPECT_EQ(e.Holder().pid, ::getpid());
  }
  first.Release();
  EXPECT_TRUE(PortLock::Acquire(device, milliseconds(0)).Held());
}

TEST(ControlSettings, PortsOverrideTheLineDefaults) {
  for (const char* name : {"VANTO_FK_SPEED", "VANTO_FK_SPEED_2", "VANTO_FK_TIMEOUT_MS_2", "VANTO_FK_LOCK_TIMEOUT_MS",
                           "VANTO_FK_RETRIES_3"})
    ::unsetenv(name);
  ::setenv("VANTO_FK_SPEED", "9600", 1);
  ::setenv("VANTO_FK_SPEED_2", "57600", 1);
  ::setenv("VANTO_FK_TIMEOUT_MS_2", "400", 1);
  ::setenv("VANTO_FK_LOCK_TIMEOUT_MS", "2500", 1);
  ControlSettings settings = ControlSettings::Resolve();
  EXPECT_EQ(settings.invalid, "");
  EXPECT_EQ(settings.BaudOf(1), 9600u);
  EXPECT_EQ(settings.BaudOf(2), 57600u);
  EXPECT_EQ(settings.AnswerTimeoutOf(2), milliseconds(400));
  EXPECT_EQ(settings.AnswerTimeoutOf(1), milliseconds(100));
  EXPECT_EQ(settings.lockTimeout, milliseconds(2500));
  ::setenv("VANTO_FK_RETRIES_3", "99", 1);
  EXPECT_EQ(ControlSettings::Resolve().invalid, "VANTO_FK_RETRIES_3=99");
  for (const char* name : {"VANTO_FK_SPEED", "VANTO_FK_SPEED_2", "VANTO_FK_TIMEOUT_MS_2", "VANTO_FK_LOCK_TIMEOUT_MS",
                           "VANTO_FK_RETRIES_3"})
    ::unsetenv(name);
  EXPECT_EQ(CheckSetting(kSpeedVariable, "12345"), "is not a line speed the serial line supports");
  EXPECT_EQ(CheckSetting(kBatchVariable, "0"), "must be a whole number from 1 to 255");
  EXPECT_EQ(CheckSetting(kBatchVariable, "255"), "");
}

}  // namespace
}  // namespace terminal::control
