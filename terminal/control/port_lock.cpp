#include "terminal/control/port_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace terminal::control {
namespace {

using Clock = std::chrono::steady_clock;

bool IsNetworkDevice(const std::string& device) { return device.find("://") != std::string::npos; }

std::string ErrorText(int error) { return std::strerror(error); }

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The ids of the service's user and group, when they exist on this machine.
std::optional<uid_t> ServiceUser() {
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (::getpwnam_r(kServiceUser, &entry, buffer, sizeof buffer, &found) != 0 || !found) return std::nullopt;
  return found->pw_uid;
}
std::optional<gid_t> ServiceGroup() {
  group entry{}, *found = nullptr;
  char buffer[16384];
  if (::getgrnam_r(kServiceUser, &entry, buffer, sizeof buffer, &found) != 0 || !found) return std::nullopt;
  return found->gr_gid;
}

// Who may own the lock folder and the files in it: root, this process's user, the service's user.
bool TrustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid() || owner == ServiceUser(); }

std::string OwnerText(uid_t owner) {
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  const bool named = ::getpwuid_r(owner, &entry, buffer, sizeof buffer, &found) == 0 && found;
  return "user " + (named ? std::string(found->pw_name) + " (" + std::to_string(owner) + ")" : std::to_string(owner));
}

// The folder of the lock files, made when missing and checked always: a folder others can enter,
// or one a stranger owns, would let any local user take or hold a port's lock.
void PrepareLockFolder(const std::string& folder) {
  struct stat info{};
  if (::lstat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT)
      throw PortLockError(PortFault::kOpen, "cannot use the lock folder " + folder + ": " + ErrorText(errno));
    if (::mkdir(folder.c_str(), 0700) == 0) {
      // Group first, mode second (the umask played no part in either).
      if (const auto group = ServiceGroup()) {
        // Neither root nor a member of the group: the folder keeps this user's group.
        if (::chown(folder.c_str(), static_cast<uid_t>(-1), *group) != 0) errno = 0;
      }
      ::chmod(folder.c_str(), kLockFolderMode);
    } else if (errno != EEXIST) {
      const int error = errno;
      throw PortLockError(error == EACCES || error == EPERM ? PortFault::kPermission : PortFault::kOpen,
                          "cannot create the lock folder " + folder + ": " + ErrorText(error));
    }
    if (::lstat(folder.c_str(), &info) != 0)
      throw PortLockError(PortFault::kOpen, "cannot use the lock folder " + folder + ": " + ErrorText(errno));
  }
  if (!S_ISDIR(info.st_mode))
    throw PortLockError(PortFault::kPermission, "the lock folder " + folder + " is not a folder (a link or a file): "
                                                "remove it, it is made again");
  if (!TrustedOwner(info.st_uid))
    throw PortLockError(PortFault::kPermission, "the lock folder " + folder + " belongs to " + OwnerText(info.st_uid) +
                                                    ", not to root or the service's user: remove it, it is made again");
  if (info.st_mode & 0007)
    throw PortLockError(PortFault::kPermission, "the lock folder " + folder + " has mode " + ModeText(info.st_mode) +
                                                    ": other users could take or hold the ports' locks (it must be " +
                                                    ModeText(kLockFolderMode) + ")");
}

// Opens (creating it 0660 when missing) a lock file of the lock folder; -1 with errno when it
// cannot be opened. A lock file that is not a plain file of a trusted owner is refused.
int OpenLockFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
  if (fd < 0) {
    if (errno == ELOOP)
      throw PortLockError(PortFault::kPermission, "the lock file " + path + " is a symbolic link: remove it");
    return -1;
  }
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw PortLockError(PortFault::kPermission, "the lock file " + path + " is not a plain file: remove it");
  }
  if (!TrustedOwner(info.st_uid)) {
    ::close(fd);
    throw PortLockError(PortFault::kPermission, "the lock file " + path + " belongs to " + OwnerText(info.st_uid) +
                                                    ", not to root or the service's user: remove it");
  }
  // A file of ours gets the lock file's mode whatever the umask (or an older version) made of it;
  // another trusted owner's file with room for others is refused.
  if ((info.st_mode & 07777) != kLockFileMode && info.st_uid == ::geteuid()) ::fchmod(fd, kLockFileMode);
  else if (info.st_mode & 0007) {
    ::close(fd);
    throw PortLockError(PortFault::kPermission, "the lock file " + path + " has mode " + ModeText(info.st_mode) +
                                                    ": other users could take or hold it (it must be " +
                                                    ModeText(kLockFileMode) + ")");
  }
  return fd;
}

std::string HolderText(const LockHolder& holder) {
  if (holder.pid <= 0) return "another process";
  return "process " + std::to_string(holder.pid) + (holder.name.empty() ? "" : " (" + holder.name + ")");
}

std::string CommandName(int pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::optional<LockHolder> HolderOf(dev_t device, ino_t inode) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF" (a blocked waiter has "->" after the number).
    std::istringstream words(line);
    std::string number, kind, mode, access, pid, where;
    words >> number >> kind;
    if (kind == "->") words >> kind;
    words >> mode >> access >> pid >> where;
    if (kind != "FLOCK" || number.find("->") != std::string::npos) continue;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long node = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_number, &minor_number, &node) != 3) continue;
    if (major_number != major(device) || minor_number != minor(device) || node != inode) continue;
    LockHolder holder;
    holder.pid = std::atoi(pid.c_str());
    holder.name = CommandName(holder.pid);
    return holder;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LockHolder> FindLockHolder(const std::string& device) {
  const std::string path = IsNetworkDevice(device) ? PortLock::LockFileOf(device, kLockFolder) : device;
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return HolderOf(info.st_dev, info.st_ino);
}

std::string PortLock::LockFileOf(const std::string& device, const std::string& folder) {
  std::string name;
  for (char c : device)
    name += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
  return folder + "/tcp-" + name + ".lock";
}

PortLock PortLock::Acquire(const std::string& device, std::chrono::milliseconds wait, const std::string& folder) {
  const bool network = IsNetworkDevice(device);
  const std::string path = network ? LockFileOf(device, folder) : device;
  if (network) PrepareLockFolder(folder);
  const auto deadline = Clock::now() + wait;
  for (;;) {
    const int fd = network ? OpenLockFile(path)
                           : ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EBUSY && Clock::now() < deadline) {  // another process set TIOCEXCL
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      if (error == EBUSY) {
        const auto holder = FindLockHolder(path).value_or(LockHolder{});
        throw PortLockError(PortFault::kBusy, device + " is in use by " + HolderText(holder), holder);
      }
      if (network && (error == EACCES || error == EPERM))
        throw PortLockError(PortFault::kPermission,
                            "cannot create the lock file " + path + ": " + ErrorText(error) +
                                " (only the service's user and the members of its group '" + kServiceUser +
                                "' may use the ports' locks)");
      if (network) throw PortLockError(PortFault::kOpen, "cannot create the lock file " + path + ": " + ErrorText(error));
      if (error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV)
        throw PortLockError(PortFault::kMissing, device + ": no such device (" + ErrorText(error) + ")");
      if (error == EACCES || error == EPERM)
        throw PortLockError(PortFault::kPermission, device + ": permission denied");
      if (error == EISDIR) throw PortLockError(PortFault::kNotSerial, device + " is a folder, not a serial line");
      throw PortLockError(PortFault::kOpen, "cannot open " + device + ": " + ErrorText(error));
    }
    if (!network && !::isatty(fd)) {
      ::close(fd);
      throw PortLockError(PortFault::kNotSerial, device + " is not a serial line");
    }
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return PortLock(fd, !network);
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EWOULDBLOCK) {
        ::close(fd);
        throw PortLockError(PortFault::kOpen, "cannot lock " + path + ": " + ErrorText(error));
      }
      if (Clock::now() >= deadline) {
        struct stat info{};
        std::optional<LockHolder> holder;
        if (::fstat(fd, &info) == 0) holder = HolderOf(info.st_dev, info.st_ino);
        ::close(fd);
        const LockHolder who = holder.value_or(LockHolder{});
        char waited[32];
        std::snprintf(waited, sizeof waited, "%.1f", static_cast<double>(wait.count()) / 1000.0);
        throw PortLockError(PortFault::kBusy, device + " is in use by " + HolderText(who) + " (waited " + waited + " s)",
                            who);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

PortLock::PortLock(PortLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), tty_(other.tty_), exclusive_(std::exchange(other.exclusive_, false)) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    tty_ = other.tty_;
    exclusive_ = std::exchange(other.exclusive_, false);
  }
  return *this;
}

PortLock::~PortLock() { Release(); }

void PortLock::MakeExclusive() {
  if (fd_ < 0 || !tty_ || exclusive_) return;
  exclusive_ = ::ioctl(fd_, TIOCEXCL) == 0;
}

void PortLock::AllowOpens() {
  if (exclusive_) ::ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
}

void PortLock::Release() {
  if (fd_ < 0) return;
  if (exclusive_) ::ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
  ::flock(fd_, LOCK_UN);
  ::close(std::exchange(fd_, -1));
}

}  // namespace terminal::control
