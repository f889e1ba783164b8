// Exclusive use of a port across processes and threads. A serial device is locked with an
// advisory lock on the device itself and, once the line is open, TIOCEXCL (so a program that
// does not lock cannot open it either); a network device (tcp://HOST:PORT) with a lock file.
// A second user waits up to a bound, then fails naming the process that holds the port.
// On Windows (port_lock_win.cpp) every port's lock is a named system semaphore our processes
// share, and a COM port's exclusive open keeps every other program out.
#pragma once

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

class PortLock {
 public:
  PortLock() = default;
  // Takes the lock of `device`, waiting up to `wait` while someone else holds it. Throws
  // PortLockError (missing, permission, not-serial, busy with the holder, open).
  static PortLock Acquire(const std::string& device, std::chrono::milliseconds wait);
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
  static std::string LockFileOf(const std::string& device);

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
