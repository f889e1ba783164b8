#include "terminal/control/port_lock.h"

#include <fcntl.h>
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

const char* PortFaultWord(PortFault fault) {
  switch (fault) {
    case PortFault::kNone: return "none";
    case PortFault::kMissing: return "missing";
    case PortFault::kPermission: return "permission";
    case PortFault::kBusy: return "busy";
    case PortFault::kNotSerial: return "not-serial";
    case PortFault::kBadSetting: return "setting";
    case PortFault::kOpen: return "open";
    case PortFault::kLine: return "line";
  }
  return "open";
}

std::optional<LockHolder> FindLockHolder(const std::string& device) {
  const std::string path = IsNetworkDevice(device) ? PortLock::LockFileOf(device) : device;
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return HolderOf(info.st_dev, info.st_ino);
}

std::string PortLock::LockFileOf(const std::string& device) {
  std::string name;
  for (char c : device)
    name += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
  std::string folder = "/tmp";
  if (::access("/run/lock", W_OK) == 0)
    folder = "/run/lock";
  else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && ::access(runtime, W_OK) == 0)
    folder = runtime;
  return folder + "/vanto-tcp-" + name + ".lock";
}

PortLock PortLock::Acquire(const std::string& device, std::chrono::milliseconds wait) {
  const bool network = IsNetworkDevice(device);
  const std::string path = network ? LockFileOf(device) : device;
  const auto deadline = Clock::now() + wait;
  for (;;) {
    // A lock file only needs to be readable to be locked: one another user created will do.
    const int fd = network ? ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666)
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
