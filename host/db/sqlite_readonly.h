// Opening an SQLite database only to read it, also where nothing may be written: a WAL-mode
// database in a folder this process cannot write cannot get its shared-memory file, and the
// ordinary read-only open then fails at the first query ("attempt to write a readonly
// database"). There, and only when no write-ahead log holds changes the file lacks, the file is
// opened as immutable: nobody can be writing it.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vanto::sqlite {

// A "file:" URI of `path` with the characters URIs reserve escaped.
inline std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c == 0x7F) {
      const char hex[] = "0123456789ABCDEF";
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri;
}

// Whether `path` must be opened immutable to be read: neither it nor its folder is writable by
// this process and it has no write-ahead log with content.
inline bool NeedsImmutableOpen(const std::string& path) {
  std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
  if (folder.empty()) folder = "/";
  if (access(folder.c_str(), W_OK) == 0) return false;
  struct stat wal {};
  if (stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) return false;
  return true;
}

// sqlite3_open_v2 for reading only, immutable where NeedsImmutableOpen says so.
inline int OpenForReading(const std::string& path, sqlite3** db) {
  if (NeedsImmutableOpen(path))
    return sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                           nullptr);
  return sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READONLY, nullptr);
}

}  // namespace vanto::sqlite
