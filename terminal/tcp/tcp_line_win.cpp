// The network line on Windows (Winsock): a non-blocking connection to a serial device server,
// connected with a bounded time-out, every send and receive waiting with select up to its
// deadline. Name lookup uses getaddrinfo (the system bounds it; the connect time-out follows).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "terminal/tcp/tcp_line.h"

namespace terminal::tcp {
namespace {

using line::Clock;
using line::LineError;
using line::LineFailure;

std::string SocketText(int code) {
  if (code == 0) return {};
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = length && text ? std::string(text, length) : "socket error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return ": " + out;
}

// Winsock is started once per process, and stays started (a module may be unloaded while other
// code of the process still uses sockets).
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

timeval Until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  const long long bounded = std::clamp<long long>(left, 0, 60'000'000LL);
  return timeval{static_cast<long>(bounded / 1'000'000), static_cast<long>(bounded % 1'000'000)};
}

// Waits until the socket is readable (or writable) or the deadline passes: 1 ready, 0 time, -1 error.
int WaitFor(SOCKET socket, bool write, Clock::time_point deadline) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval timeout = Until(deadline);
  const int count = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &timeout);
  if (count == SOCKET_ERROR) return -1;
  if (count > 0 && FD_ISSET(socket, &failed)) return -1;
  return count > 0 ? 1 : 0;
}

}  // namespace

TcpLine::TcpLine(std::string device, std::chrono::milliseconds connectTimeout)
    : device_(std::move(device)), connectTimeout_(connectTimeout) {}

TcpLine::~TcpLine() { Close(); }

void TcpLine::Close() {
  if (socket_ != kNoSocket) ::closesocket(static_cast<SOCKET>(std::exchange(socket_, kNoSocket)));
}

void TcpLine::Fail(LineFailure failure, const std::string& what, int error) {
  if (failure != LineFailure::kTimeout) Close();
  throw LineError(failure, device_ + ": " + what + SocketText(error));
}

void TcpLine::Open() {
  if (socket_ != kNoSocket) return;
  std::string why;
  const auto address = ParseTcpAddress(device_, why);
  if (!address) throw LineError(LineFailure::kOpen, device_ + ": " + why);
  if (!StartSockets()) throw LineError(LineFailure::kOpen, device_ + ": cannot start Windows Sockets");
  const auto deadline = Clock::now() + connectTimeout_;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(address->port);
  if (const int error = ::getaddrinfo(address->host.c_str(), service.c_str(), &hints, &found); error != 0)
    throw LineError(LineFailure::kOpen, device_ + ": cannot find host '" + address->host + "'" + SocketText(error));
  struct FreeAddresses {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
  };
  std::unique_ptr<addrinfo, FreeAddresses> owner(found);
  int lastError = WSAEHOSTUNREACH;
  bool timedOut = false;
  for (const addrinfo* target = found; target && socket_ == kNoSocket; target = target->ai_next) {
    SOCKET socket = ::socket(target->ai_family, target->ai_socktype, target->ai_protocol);
    if (socket == INVALID_SOCKET) {
      lastError = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    if (::connect(socket, target->ai_addr, static_cast<int>(target->ai_addrlen)) == 0) {
      socket_ = socket;
      break;
    }
    lastError = WSAGetLastError();
    if (lastError == WSAEWOULDBLOCK) {
      const int ready = WaitFor(socket, true, deadline);
      if (ready == 1) {
        socket_ = socket;
        break;
      }
      int error = 0;
      int size = sizeof error;
      ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
      lastError = ready == 0 ? WSAETIMEDOUT : (error ? error : WSAGetLastError());
      timedOut = ready == 0;
    }
    ::closesocket(socket);
  }
  if (socket_ == kNoSocket) {
    const std::string cause = timedOut ? "connection timed out after " + std::to_string(connectTimeout_.count()) + " ms"
                                       : "cannot connect" + SocketText(lastError);
    throw LineError(LineFailure::kOpen, device_ + ": " + cause);
  }
  const BOOL on = TRUE;
  ::setsockopt(static_cast<SOCKET>(socket_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  ::setsockopt(static_cast<SOCKET>(socket_), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

void TcpLine::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  if (socket_ == kNoSocket) Open();
  const SOCKET socket = static_cast<SOCKET>(socket_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    const int wrote = ::send(socket, reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN || error == WSAETIMEDOUT)
      Fail(LineFailure::kHangUp, "connection dropped", error);
    if (error != WSAEWOULDBLOCK) Fail(LineFailure::kIo, "send failed", error);
    const int ready = WaitFor(socket, true, deadline);
    if (ready < 0) Fail(LineFailure::kHangUp, "connection dropped", WSAGetLastError());
    if (ready == 0 && Clock::now() >= deadline) Fail(LineFailure::kTimeout, "send timed out", 0);
  }
}

std::size_t TcpLine::ReadSome(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
  if (socket_ == kNoSocket) Open();
  const SOCKET socket = static_cast<SOCKET>(socket_);
  for (;;) {
    const int ready = WaitFor(socket, false, deadline);
    if (ready < 0) Fail(LineFailure::kHangUp, "connection dropped", WSAGetLastError());
    if (ready == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;
    }
    const int wanted = static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 20));
    const int got = ::recv(socket, reinterpret_cast<char*>(buffer.data()), wanted, 0);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) Fail(LineFailure::kHangUp, "connection closed by the server", 0);
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) continue;
    if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAETIMEDOUT)
      Fail(LineFailure::kHangUp, "connection dropped", error);
    Fail(LineFailure::kIo, "receive failed", error);
  }
}

void TcpLine::FlushInput() {
  if (socket_ == kNoSocket) return;
  std::uint8_t scratch[512];
  for (;;) {
    u_long waiting = 0;
    if (::ioctlsocket(static_cast<SOCKET>(socket_), FIONREAD, &waiting) != 0 || waiting == 0) return;
    const int got = ::recv(static_cast<SOCKET>(socket_), reinterpret_cast<char*>(scratch), sizeof scratch, 0);
    if (got <= 0) return;
  }
}

}  // namespace terminal::tcp
