// Port locks on Windows: a named semaphore per port ("Local\VANTO.port.<device>", count 1) is
// taken with a bounded wait by every user in our processes; a COM port is then opened
// exclusively, which keeps every other program out. A semaphore (not a mutex) because the lock
// may be released by another thread than the one that took it.
#include <windows.h>

#include <cctype>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "terminal/control/port_lock.h"

namespace terminal::control {
namespace {

std::wstring SemaphoreName(const std::string& device) {
  std::wstring name = L"Local\\VANTO.port.";
  for (char c : device) {
    const unsigned char u = static_cast<unsigned char>(c);
    name += std::isalnum(u) || c == '.' || c == '-' ? static_cast<wchar_t>(std::tolower(u)) : L'_';
  }
  return name;
}

}  // namespace

std::optional<LockHolder> FindLockHolder(const std::string&) { return std::nullopt; }

std::string PortLock::LockFileOf(const std::string& device, const std::string& /*folder: a POSIX lock file's*/) {
  const std::wstring wide = SemaphoreName(device);
  return std::string(wide.begin(), wide.end());  // ASCII by construction
}

PortLock PortLock::Acquire(const std::string& device, std::chrono::milliseconds wait,
                           const std::string& /*folder: a POSIX lock file's*/) {
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, SemaphoreName(device).c_str());
  if (!semaphore)
    throw PortLockError(PortFault::kOpen, "cannot create the lock of " + device + " (error " +
                                              std::to_string(GetLastError()) + ")");
  const DWORD millis = static_cast<DWORD>(std::min<long long>(wait.count(), 0x7FFFFFFF));
  const DWORD result = WaitForSingleObject(semaphore, millis);
  if (result == WAIT_OBJECT_0) return PortLock(semaphore);
  CloseHandle(semaphore);
  if (result == WAIT_TIMEOUT) {
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.1f", static_cast<double>(wait.count()) / 1000.0);
    throw PortLockError(PortFault::kBusy, device + " is in use by another process (waited " + waited + " s)");
  }
  throw PortLockError(PortFault::kOpen, "cannot take the lock of " + device + " (error " +
                                            std::to_string(GetLastError()) + ")");
}

PortLock::PortLock(PortLock&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

PortLock::~PortLock() { Release(); }

// The COM port's own exclusive open does this on Windows.
void PortLock::MakeExclusive() {}
void PortLock::AllowOpens() {}

void PortLock::Release() {
  if (!handle_) return;
  ReleaseSemaphore(static_cast<HANDLE>(handle_), 1, nullptr);
  CloseHandle(static_cast<HANDLE>(std::exchange(handle_, nullptr)));
}

}  // namespace terminal::control
