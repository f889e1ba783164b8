#include "platform/automation/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool ReadWholeFile(const std::string& path, std::string* text, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text->size() + static_cast<std::size_t>(got > 0 ? got : 0) > limit) {
      int saved = got < 0 ? errno : EFBIG;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    text->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return true;
}
