#include "host/db/store_failure.h"

#include <sqlite3.h>

#include <cstdio>

namespace vanto::store {

SqliteFailure ClassifySqlite(sqlite3* db, int rc) {
  SqliteFailure f;
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      f = {SqliteCause::Locked, StoreFailure::Locked, "is locked by another process", u"数据库被其他连接锁定", {}};
      break;
    case SQLITE_READONLY:
      f = {SqliteCause::ReadOnly, StoreFailure::ReadOnly, "is read-only", u"数据库是只读的，不能写入", {}};
      break;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      f = {SqliteCause::NoAccess, StoreFailure::ReadOnly, "is not accessible (no permission)", u"没有访问权限", {}};
      break;
    case SQLITE_CANTOPEN:
      f = {SqliteCause::CantOpen, StoreFailure::Missing, "cannot be opened (missing or no access)",
           u"无法打开数据库文件（文件不存在或无权访问）", {}};
      break;
    case SQLITE_NOTADB:
      f = {SqliteCause::NotADatabase, StoreFailure::Invalid, "is not a usable database", u"文件不是 SQLite 数据库", {}};
      break;
    case SQLITE_CORRUPT:
      f = {SqliteCause::Corrupt, StoreFailure::Invalid, "is not a usable database (damaged)", u"数据库文件已损坏", {}};
      break;
    case SQLITE_FULL: f = {SqliteCause::Full, StoreFailure::Other, "cannot grow: the disk is full", u"磁盘已满", {}}; break;
    case SQLITE_IOERR: f = {SqliteCause::Io, StoreFailure::Other, "could not be read or written", u"读写数据库文件出错", {}}; break;
    case SQLITE_CONSTRAINT:
      f = {SqliteCause::Constraint, StoreFailure::Other, "refused a value (constraint)", u"违反表的约束", {}};
      break;
    case SQLITE_NOMEM: f = {SqliteCause::NoMemory, StoreFailure::Other, "ran out of memory", u"内存不足", {}}; break;
    default: f = {SqliteCause::Other, StoreFailure::Other, "failed", u"数据库操作出错", {}}; break;
  }
  const char* detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  f.detail = detail ? detail : "";
  return f;
}

std::string SqliteMessage(const SqliteFailure& f, const std::string& path, const std::string& step,
                          std::chrono::milliseconds lock_wait) {
  switch (f.cause) {
    case SqliteCause::Locked: {
      char wait[32];
      std::snprintf(wait, sizeof wait, "%.1f s", static_cast<double>(lock_wait.count()) / 1000.0);
      return "database " + path + " is locked by another process (gave up after " + wait + " while " + step + ")";
    }
    case SqliteCause::ReadOnly:
    case SqliteCause::NoAccess:
      return "database " + path + " " + f.reason + " (" + step + ": " + f.detail + ")";
    case SqliteCause::NotADatabase:
    case SqliteCause::Corrupt:
    case SqliteCause::CantOpen:
      return "database " + path + " " + f.reason + " (" + f.detail + ")";
    default:
      return "database " + path + ": " + step + " failed: " + f.detail;
  }
}

void ThrowSqlite(sqlite3* db, int rc, const std::string& path, const std::string& step,
                 std::chrono::milliseconds lock_wait, SqliteWording wording) {
  SqliteFailure f = ClassifySqlite(db, rc);
  throw StoreError(f.failure, wording ? wording(f, path, step, lock_wait)
                                       : host::Message::Verbatim(SqliteMessage(f, path, step, lock_wait)));
}

}  // namespace vanto::store
