// The serial line on Windows: a COM port opened exclusively (the open is the port's lock against
// every other program), raw 8N1 at the port's speed, every wait bounded by COMMTIMEOUTS set from
// the deadline of each call.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "terminal/serial/serial_port.h"

namespace terminal::serial {
namespace {

constexpr unsigned kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

std::string SystemText(DWORD code) {
  if (code == 0) return {};
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string out;
  if (length && text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  }
  if (text) LocalFree(text);
  return ": " + (out.empty() ? "error " + std::to_string(code) : out);
}

// "COM3" -> "\\.\COM3" (so that COM10 and above open too); other paths as they are.
std::wstring DevicePath(const std::string& path) {
  std::string device = path;
  if (device.rfind("\\\\.\\", 0) != 0 && device.size() > 3 && _strnicmp(device.c_str(), "COM", 3) == 0)
    device = "\\\\.\\" + device;
  const int size = MultiByteToWideChar(CP_UTF8, 0, device.data(), static_cast<int>(device.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, device.data(), static_cast<int>(device.size()), wide.data(), size);
  return wide;
}

// Milliseconds left until `deadline`, at least 1 (a zero total time-out would mean "no limit"
// for writes) and at most a minute.
DWORD MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1;
  return static_cast<DWORD>(std::clamp<long long>(left, 1, 60'000));
}

}  // namespace

std::span<const unsigned> SupportedSpeeds() { return kBauds; }

bool IsSupportedSpeed(unsigned baud) { return std::find(std::begin(kBauds), std::end(kBauds), baud) != std::end(kBauds); }

std::string SupportedSpeedsText() {
  std::string text;
  for (unsigned baud : kBauds) text += (text.empty() ? "" : ", ") + std::to_string(baud);
  return text;
}

SerialPort::SerialPort(std::string path, unsigned baud) : path_(std::move(path)), baud_(baud) {}

SerialPort::~SerialPort() { Close(); }

void SerialPort::Close() {
  if (handle_) CloseHandle(std::exchange(handle_, nullptr));
}

void SerialPort::Fail(SerialFailure failure, const std::string& what, int error) {
  if (failure != SerialFailure::kTimeout) Close();
  throw SerialError(failure, what + " " + path_ + SystemText(static_cast<DWORD>(error)));
}

void SerialPort::Open() {
  if (handle_) return;
  if (!IsSupportedSpeed(baud_))
    throw SerialError(SerialFailure::kOpen, "unsupported speed " + std::to_string(baud_) + " for " + path_);
  HANDLE handle = CreateFileW(DevicePath(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
      Fail(SerialFailure::kOpen, "in use by another program (or not permitted):", static_cast<int>(error));
    Fail(SerialFailure::kOpen, "cannot open", static_cast<int>(error));
  }
  handle_ = handle;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) Fail(SerialFailure::kOpen, "not a serial port:", static_cast<int>(GetLastError()));
  dcb.BaudRate = baud_;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(handle, &dcb)) Fail(SerialFailure::kOpen, "cannot set up", static_cast<int>(GetLastError()));
  PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

void SerialPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  Open();
  while (!bytes.empty()) {
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = MillisecondsUntil(deadline);
    if (!SetCommTimeouts(handle_, &timeouts)) Fail(SerialFailure::kIo, "cannot set time-outs of", static_cast<int>(GetLastError()));
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    if (!WriteFile(handle_, bytes.data(), chunk, &wrote, nullptr))
      Fail(SerialFailure::kHangUp, "write failed on", static_cast<int>(GetLastError()));
    bytes = bytes.subspan(wrote);
    if (!bytes.empty() && Clock::now() >= deadline) Fail(SerialFailure::kTimeout, "write timed out on", 0);
  }
}

std::size_t SerialPort::ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
  Open();
  if (buffer.empty()) return 0;
  // Return as soon as anything has come, or at the deadline with nothing.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = Clock::now() >= deadline ? 1 : MillisecondsUntil(deadline);
  if (!SetCommTimeouts(handle_, &timeouts)) Fail(SerialFailure::kIo, "cannot set time-outs of", static_cast<int>(GetLastError()));
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1 << 20));
  if (!ReadFile(handle_, buffer.data(), wanted, &got, nullptr))
    Fail(SerialFailure::kHangUp, "read failed on", static_cast<int>(GetLastError()));
  return got;
}

void SerialPort::FlushInput() {
  if (handle_) PurgeComm(handle_, PURGE_RXCLEAR);
}

}  // namespace terminal::serial
