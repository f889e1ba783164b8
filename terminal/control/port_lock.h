// Exclusive use of a port across processes and threads. A serial device is locked with an
// advisory lock on the device itself and, once the line is open, TIOCEXCL (so a program that
// does not lock cannot open it either); a network device (tcp://HOST:PORT) with a lock file in
// kLockFolder, a folder only the service's user and group can enter, so no other local user can
// take or hold a port's lock. A second user waits up to a bound, then fails naming the process
// that holds the port.
// On Windows (port_lock_win.cpp) every port's lock is a named system semaphore our processes
// share, and a COM port's exclusive open keeps every other program out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace terminal::control {

// Why a port could not be used.
enum class PortFault {
  kNone,
  kMissing,     // no such device (or folder)
  kPermission,  // the device exists, this user may not open it
  kBusy,        // another process (or thread) holds it past the bound
  kNotSerial,   // a regular file, /dev/null, a folder: not a serial line
  kBadSetting,  // a setting of the control that cannot be used
  kOpen,        // opening or setting up failed otherwise
  kLine,        // the line broke, or the terminal did not answer properly
};
// A stable word for the fault ("missing", "permission", "busy", "not-serial", "setting", "open",
// "line"), used in the control's status text.
const char* PortFaultWord(PortFault fault);

// Who holds a lock: a process id and its command name (from /proc); pid 0 when unknown.
struct LockHolder {
  int pid = 0;
  std::string name;
};

class PortLockError : public std::runtime_error {
 public:
  PortLockError(PortFault fault, std::string what, LockHolder holder = {})
      : std::runtime_error(std::move(what)), fault_(fault), holder_(std::move(holder)) {}
  PortFault Fault() const { return fault_; }
  const LockHolder& Holder() const { return holder_; }

 private:
  PortFault fault_;
  LockHolder holder_;
};

// Where the lock files of network devices live: under /run/lock (which the service and the
// command line both see, unlike a private /tmp), in a folder of mode 2770 owned by root or the
// service's user `vanto`, of group `vanto` when that group exists (the package has it made at
// boot; the first user makes it otherwise). Lock files in it are created 0660.
inline constexpr char kLockFolder[] = "/run/lock/vanto";
inline constexpr char kServiceUser[] = "vanto";   // also the service's group
inline constexpr mode_t kLockFolderMode = 02770;  // setgid: files take the folder's group
inline constexpr mode_t kLockFileMode = 0660;

class PortLock {
 public:
  PortLock() = default;
  // Takes the lock of `device`, waiting up to `wait` while someone else holds it. Throws
  // PortLockError (missing, permission, not-serial, busy with the holder, open). A network
  // device's lock file goes into `folder` (tests name their own).
  static PortLock Acquire(const std::string& device, std::chrono::milliseconds wait,
                          const std::string& folder = kLockFolder);
  PortLock(PortLock&& other) noexcept;
  PortLock& operator=(PortLock&& other) noexcept;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock();

#ifdef _WIN32
  bool Held() const { return handle_ != nullptr; }
#else
  bool Held() const { return fd_ >= 0; }
#endif
  // After the line is open: refuse other opens of a serial device (TIOCEXCL) until released.
  void MakeExclusive();
  // Undoes MakeExclusive while the lock stays held (before the lock passes to another user of
  // this process, who opens the line anew).
  void AllowOpens();
  void Release();

  // The lock file used for a network device.
  static std::string LockFileOf(const std::string& device, const std::string& folder = kLockFolder);

 private:
#ifdef _WIN32
  explicit PortLock(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;  // the semaphore, taken
#else
  explicit PortLock(int fd, bool tty) : fd_(fd), tty_(tty) {}
  int fd_ = -1;
#endif
  bool tty_ = false;
  bool exclusive_ = false;
};

// Who holds the lock of `device` (from /proc/locks); nullopt when nobody (that this process can see).
std::optional<LockHolder> FindLockHolder(const std::string& device);

}  // namespace terminal::control
