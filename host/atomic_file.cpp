#include "host/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

namespace vanto::host {
namespace {

std::string Failure(const std::string& file, int error) { return file + ": " + std::strerror(error); }

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

std::optional<std::string> ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode) {
  // Unique per process and thread, so two writers never share a temporary file.
  const std::string temporary = path + ".new-" + std::to_string(::getpid()) + "-" +
                                std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Failure(temporary, errno);
  // The mode asked for, whatever the umask leaves of it (a private file stays private).
  if (::fchmod(fd, mode) != 0 || !WriteAll(fd, text) || ::fsync(fd) != 0) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return Failure(temporary, saved);
  }
  if (::close(fd) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return Failure(temporary, saved);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return Failure(path, saved);
  }
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

}  // namespace vanto::host
