#include "terminal/control/port_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
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

// A folder of the test's own in place of kLockFolder, removed at the end.
class LockFolder {
 public:
  LockFolder() {
    char pattern[] = "/tmp/vanto-locks-XXXXXX";
    parent_ = ::mkdtemp(pattern);
    path_ = parent_ + "/vanto";
  }
  ~LockFolder() { std::filesystem::remove_all(parent_); }
  const std::string& path() const { return path_; }
  const std::string& parent() const { return parent_; }

 private:
  std::string parent_, path_;
};

mode_t ModeOf(const std::string& path) {
  struct stat info{};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(PortLock, NetworkDevicesLockAFile) {
  EXPECT_EQ(PortLock::LockFileOf("tcp://10.0.0.7:4001"), "/run/lock/vanto/tcp-tcp___10.0.0.7_4001.lock");
  LockFolder folder;
  const std::string device = "tcp://127.0.0.1:45999";
  PortLock first = PortLock::Acquire(device, milliseconds(0), folder.path());
  EXPECT_TRUE(std::filesystem::exists(PortLock::LockFileOf(device, folder.path())));
  try {
    PortLock::Acquire(device, milliseconds(30), folder.path());
    FAIL() << "a held network port was locked twice";
  } catch (const PortLockError& e) {
    EXPECT_EQ(e.Fault(), PortFault::kBusy);
    EXPECT_EQ(e.Holder().pid, ::getpid());
  }
  first.Release();
  EXPECT_TRUE(PortLock::Acquire(device, milliseconds(0), folder.path()).Held());
}

// Only the service's user and group can enter the lock folder, whatever the umask: the folder is
// made 2770 and its files 0660, and a file of ours with room for others is brought back to 0660.
TEST(PortLock, LockFolderAndFilesAreMadeForTheServicesUserAndGroupOnly) {
  LockFolder folder;
  const mode_t umask = ::umask(0);  // the widest: nothing may depend on the caller's umask
  const std::string device = "tcp://127.0.0.1:46001";
  {
    PortLock lock = PortLock::Acquire(device, milliseconds(0), folder.path());
    EXPECT_TRUE(lock.Held());
  }
  EXPECT_EQ(ModeOf(folder.path()), kLockFolderMode);
  const std::string file = PortLock::LockFileOf(device, folder.path());
  EXPECT_EQ(ModeOf(file), kLockFileMode);
  if (struct group* vanto = ::getgrnam(kServiceUser); vanto && ::geteuid() == 0) {
    struct stat info{};
    ::stat(folder.path().c_str(), &info);
    EXPECT_EQ(info.st_gid, vanto->gr_gid) << "the folder belongs to the group vanto when there is one";
  }
  ::chmod(file.c_str(), 0666);  // as an older version made them
  EXPECT_TRUE(PortLock::Acquire(device, milliseconds(0), folder.path()).Held());
  EXPECT_EQ(ModeOf(file), kLockFileMode);
  ::umask(umask);
}

// A folder or lock file that other users could use is refused with a message naming it.
TEST(PortLock, AFolderOrLockFileOthersCouldUseIsRefusedByName) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void(const LockFolder&, const std::string& file)> spoil;
    const char* says;
    bool needsRoot;
  } cases[] = {
      {"folder open to all", [](const LockFolder& f, const std::string&) { ::mkdir(f.path().c_str(), 0777); ::chmod(f.path().c_str(), 0777); },
       "mode 0777", false},
      {"folder a link", [](const LockFolder& f, const std::string&) { ::symlink(f.parent().c_str(), f.path().c_str()); },
       "not a folder", false},
      {"folder a stranger's",
       [](const LockFolder& f, const std::string&) {
         ::mkdir(f.path().c_str(), 0770);
         if (::chown(f.path().c_str(), 12345, 12345) != 0) ADD_FAILURE() << "chown";
       },
       "belongs to user 12345", true},
      {"lock file a link",
       [](const LockFolder& f, const std::string& file) {
         ::mkdir(f.path().c_str(), 02770);
         ::symlink("/etc/passwd", file.c_str());
       },
       "symbolic link", false},
      {"lock file a stranger's",
       [](const LockFolder& f, const std::string& file) {
         ::mkdir(f.path().c_str(), 02770);
         ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0666));
         if (::chown(file.c_str(), 12345, 12345) != 0) ADD_FAILURE() << "chown";
       },
       "belongs to user 12345", true},
  };
  const std::string device = "tcp://127.0.0.1:46002";
  for (const Case& c : cases) {
    if (c.needsRoot && !root) continue;  // only root can give a file away
    LockFolder folder;
    const std::string file = PortLock::LockFileOf(device, folder.path());
    c.spoil(folder, file);
    try {
      PortLock::Acquire(device, milliseconds(0), folder.path());
      ADD_FAILURE() << c.name << ": locked";
    } catch (const PortLockError& e) {
      EXPECT_EQ(e.Fault(), PortFault::kPermission) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(folder.path()), std::string::npos) << c.name << ": " << e.what();
    }
  }
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
