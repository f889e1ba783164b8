// The file-backed component registry: its text form, its location, and transactional updates
// (writers' lock, new file, flush, rename).
#include "platform/automation/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/automation/errorinfo.h"
#include "platform/automation/files.h"
#include "platform/automation/text.h"

namespace {
constexpr std::string_view kHeader = "VANTO REGISTRY 1";
// How long a writer waits for another writer before giving up.
std::atomic<long long> lockWaitMs{10000};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool HasPrefixKey(std::string_view key, std::string_view parent) {
  // True when `key` lies strictly below `parent` ("" is the top level).
  if (parent.empty()) return !key.empty();
  if (key.size() <= parent.size() + 1 || key[parent.size()] != '\\') return false;
  for (std::size_t i = 0; i < parent.size(); ++i)
    if (Lower(key[i]) != Lower(parent[i])) return false;
  return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buffer[5];
          std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
          out += buffer;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at text[*at] == '"'; leaves *at after the closing quote.
bool ReadQuoted(std::string_view text, std::size_t* at, std::string* out) {
  std::size_t i = *at;
  if (i >= text.size() || text[i] != '"') return false;
  ++i;
  out->clear();
  while (i < text.size()) {
    char c = text[i++];
    if (c == '"') {
      *at = i;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (i >= text.size()) return false;
    char e = text[i++];
    switch (e) {
      case '\\': out->push_back('\\'); break;
      case '"': out->push_back('"'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'x': {
        if (i + 2 > text.size()) return false;
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return false;
}

std::u16string Wide(std::string_view text) { return ToUtf16(text); }

std::string ErrnoText(int error) { return std::strerror(error); }

HRESULT WriteFailure(const std::string& what, int error) {
  return RaiseError(REGDB_E_WRITEREGDB,
                    Wide("无法写入注册表 " + what + "：" + ErrnoText(error)), u"VANTO 注册表");
}

// Makes the directory and its missing parents (owner-only for the ones it creates).
bool MakeDirectories(const std::string& directory, int* error) {
  if (directory.empty()) return true;
  struct stat info;
  if (::stat(directory.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    *error = ENOTDIR;
    return false;
  }
  std::size_t slash = directory.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(directory.substr(0, slash), error))
    return false;
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = errno;
    return false;
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HRESULT LoadFrom(const std::string& path, RegistryHive* hive) {
  std::string text;
  *hive = RegistryHive();
  if (!ReadWholeFile(path, &text)) {
    if (errno == ENOENT) return S_OK;
    return RaiseError(REGDB_E_READREGDB, Wide("无法读取注册表 " + path + "：" + ErrnoText(errno)),
                      u"VANTO 注册表");
  }
  std::string error;
  if (!RegistryHive::Parse(text, hive, &error)) {
    *hive = RegistryHive();
    return RaiseError(REGDB_E_READREGDB, Wide("注册表 " + path + " 已损坏：" + error), u"VANTO 注册表");
  }
  return S_OK;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Writes `text` to a new file beside `path`, flushes it and renames it over `path`.
HRESULT ReplaceFile(const std::string& path, const std::string& text) {
  std::string temp = path + ".new-" + std::to_string(::getpid()) + "-" +
                     std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return WriteFailure(temp, errno);
  if (!WriteAll(fd, text) || ::fsync(fd) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return WriteFailure(temp, saved);
  }
  if (::close(fd) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    return WriteFailure(temp, saved);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    return WriteFailure(path, saved);
  }
  // Make the rename itself durable.
  int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return S_OK;
}

// Holds the writers' lock: an flock on "<registry>.lock" (never removed, so every writer locks
// the same file).
class WriterLock {
 public:
  explicit WriterLock(const std::string& path) : path_(path + ".lock") {}
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // Closing releases the lock.
  }
  HRESULT Acquire() {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return WriteFailure(path_, errno);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockWaitMs.load());
    auto pause = std::chrono::microseconds(200);
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return S_OK;
      if (errno != EWOULDBLOCK && errno != EINTR) return WriteFailure(path_, errno);
      if (std::chrono::steady_clock::now() >= deadline)
        return RaiseError(REGDB_E_WRITEREGDB,
                          Wide("无法写入注册表：等待锁 " + path_ + " 超时（另一注册仍在进行）"),
                          u"VANTO 注册表");
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(10)) pause *= 2;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};
}  // namespace

std::chrono::milliseconds SetRegistryLockWait(std::chrono::milliseconds wait) {
  return std::chrono::milliseconds(lockWaitMs.exchange(wait.count() < 0 ? 0 : wait.count()));
}

bool RegistryNameLess::operator()(std::string_view a, std::string_view b) const {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

std::string NormalizeRegistryKey(std::string_view key) {
  std::string out;
  std::size_t i = 0;
  while (i < key.size()) {
    std::size_t end = key.find('\\', i);
    if (end == std::string_view::npos) end = key.size();
    std::string_view part = key.substr(i, end - i);
    if (!part.empty()) {
      for (unsigned char c : part)
        if (c < 0x20 || c == 0x7F) return {};
      if (!out.empty()) out.push_back('\\');
      out += part;
    }
    i = end + 1;
  }
  return out;
}

const std::string* RegistryHive::Find(std::string_view key, std::string_view name) const {
  auto it = keys_.find(NormalizeRegistryKey(key));
  if (it == keys_.end()) return nullptr;
  auto value = it->second.find(name);
  return value == it->second.end() ? nullptr : &value->second;
}

bool RegistryHive::HasKey(std::string_view key) const {
  std::string normal = NormalizeRegistryKey(key);
  if (normal.empty()) return false;
  if (keys_.count(normal)) return true;
  for (const auto& entry : keys_)
    if (HasPrefixKey(entry.first, normal)) return true;
  return false;
}

const RegistryHive::Values* RegistryHive::ValuesOf(std::string_view key) const {
  auto it = keys_.find(NormalizeRegistryKey(key));
  if (it == keys_.end() || it->second.empty()) return nullptr;
  return &it->second;
}

std::vector<std::string> RegistryHive::SubKeys(std::string_view key) const {
  std::string parent = NormalizeRegistryKey(key);
  std::vector<std::string> names;
  for (const auto& [path, values] : keys_) {
    if (!HasPrefixKey(path, parent)) continue;
    std::size_t start = parent.empty() ? 0 : parent.size() + 1;
    std::size_t end = path.find('\\', start);
    std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (names.empty() || RegistryNameLess()(names.back(), name) || RegistryNameLess()(name, names.back()))
      names.push_back(std::move(name));
  }
  // Keys are ordered case-insensitively, so equal names are neighbours except when a longer
  // sibling sorts between them; remove any such repeats.
  std::vector<std::string> unique;
  for (auto& name : names) {
    bool seen = false;
    for (const auto& other : unique)
      if (!RegistryNameLess()(name, other) && !RegistryNameLess()(other, name)) seen = true;
    if (!seen) unique.push_back(std::move(name));
  }
  return unique;
}

bool RegistryHive::Set(std::string_view key, std::string_view name, std::string_view data) {
  std::string normal = NormalizeRegistryKey(key);
  if (normal.empty()) return false;
  auto& values = keys_[normal];
  auto it = values.find(name);
  if (it == values.end()) values.emplace(std::string(name), std::string(data));
  else it->second = std::string(data);
  return true;
}

bool RegistryHive::CreateKey(std::string_view key) {
  std::string normal = NormalizeRegistryKey(key);
  if (normal.empty()) return false;
  keys_[normal];
  return true;
}

bool RegistryHive::Remove(std::string_view key, std::string_view name) {
  auto it = keys_.find(NormalizeRegistryKey(key));
  if (it == keys_.end()) return false;
  return it->second.erase(std::string(name)) > 0;
}

bool RegistryHive::RemoveKeyIfEmpty(std::string_view key) {
  std::string normal = NormalizeRegistryKey(key);
  auto it = keys_.find(normal);
  if (it == keys_.end() || !it->second.empty()) return false;
  for (const auto& entry : keys_)
    if (HasPrefixKey(entry.first, normal)) return false;
  keys_.erase(it);
  return true;
}

std::string RegistryHive::Serialize() const {
  std::string out(kHeader);
  out += "\n";
  for (const auto& [key, values] : keys_) {
    out += "\n[";
    out += key;
    out += "]\n";
    for (const auto& [name, data] : values) {
      if (name.empty()) out += "@";
      else AppendQuoted(out, name);
      out += "=";
      AppendQuoted(out, data);
      out += "\n";
    }
  }
  return out;
}

bool RegistryHive::Parse(std::string_view text, RegistryHive* hive, std::string* error) {
  RegistryHive result;
  std::string current;
  bool sawHeader = false;
  std::size_t lineNumber = 0;
  auto fail = [&](std::string_view why) {
    if (error) *error = "第 " + std::to_string(lineNumber) + " 行" + std::string(why);
    return false;
  };
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    line.remove_prefix(first);
    if (line[0] == ';' || line[0] == '#') continue;
    if (!sawHeader) {
      if (line != kHeader) return fail("：缺少文件头 \"VANTO REGISTRY 1\"");
      sawHeader = true;
      continue;
    }
    if (line[0] == '[') {
      std::size_t close = line.find_last_of(']');
      if (close == std::string_view::npos || close == 0) return fail("：键名缺少 ']'");
      current = NormalizeRegistryKey(line.substr(1, close - 1));
      if (current.empty()) return fail("：键名无效");
      result.CreateKey(current);
      continue;
    }
    if (current.empty()) return fail("：值不属于任何键");
    std::string name;
    std::size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (!ReadQuoted(line, &i, &name)) {
      return fail("：值名格式错误");
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != '=') return fail("：缺少 '='");
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::string data;
    if (!ReadQuoted(line, &i, &data)) return fail("：值格式错误");
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i != line.size()) return fail("：值后有多余内容");
    result.Set(current, name, data);
  }
  if (!sawHeader && !text.empty()) {
    // Only blank lines and comments: treat as an empty registry with no header.
    bool onlyBlank = text.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!onlyBlank) return fail("：缺少文件头 \"VANTO REGISTRY 1\"");
  }
  *hive = std::move(result);
  return true;
}

std::string RegistryLocation() {
  if (const char* explicitPath = std::getenv(kRegistryVariable); explicitPath && *explicitPath)
    return explicitPath;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
    return std::string(config) + "/vanto/registry";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/vanto/registry";
}

HRESULT LoadRegistry(RegistryHive* hive) {
  if (!hive) return E_POINTER;
  return LoadFrom(RegistryLocation(), hive);
}

HRESULT ReadRegistryValue(std::string_view key, std::string_view name, std::string* data) {
  if (!data) return E_POINTER;
  RegistryHive hive;
  HRESULT hr = LoadRegistry(&hive);
  if (FAILED(hr)) return hr;
  const std::string* found = hive.Find(key, name);
  if (!found) return REGDB_E_KEYMISSING;
  *data = *found;
  return S_OK;
}

HRESULT UpdateRegistry(const std::function<HRESULT(RegistryHive&)>& change) {
  if (!change) return E_POINTER;
  std::string path = RegistryLocation();
  int error = 0;
  if (!MakeDirectories(DirectoryOf(path), &error)) return WriteFailure(DirectoryOf(path), error);
  WriterLock lock(path);
  HRESULT hr = lock.Acquire();
  if (FAILED(hr)) return hr;
  RegistryHive hive;
  hr = LoadFrom(path, &hive);
  if (FAILED(hr)) return hr;  // A damaged registry is never overwritten.
  RegistryHive before = hive;
  hr = change(hive);
  if (FAILED(hr)) return hr;
  if (hive == before) return S_OK;
  return ReplaceFile(path, hive.Serialize());
}

HRESULT RegisterServerEntries(const std::vector<RegistryEntry>& entries) {
  for (const auto& entry : entries)
    if (NormalizeRegistryKey(entry.key).empty())
      return RaiseError(E_INVALIDARG, Wide("注册项的键名无效：\"" + entry.key + "\""), u"VANTO 注册表");
  return UpdateRegistry([&](RegistryHive& hive) {
    for (const auto& entry : entries) hive.Set(entry.key, entry.name, entry.data);
    return S_OK;
  });
}

HRESULT UnregisterServerEntries(const std::vector<RegistryEntry>& entries) {
  return UpdateRegistry([&](RegistryHive& hive) {
    for (const auto& entry : entries) hive.Remove(entry.key, entry.name);
    // Deeper keys first, so a parent empties once its recorded children are gone.
    std::vector<std::string> keys;
    for (const auto& entry : entries) keys.push_back(NormalizeRegistryKey(entry.key));
    std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
      return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
    });
    for (const auto& key : keys) hive.RemoveKeyIfEmpty(key);
    return S_OK;
  });
}
